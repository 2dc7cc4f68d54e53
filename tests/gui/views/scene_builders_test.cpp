// The 3D scene builders, checked on the VTK objects they create: props in the
// renderer, parts of assemblies, user transforms and vertex coordinates. Poses
// use non-trivial rotations, so that a transposed matrix shows.

#include "gui/views/scene_builders.h"
#include "test_helpers.h"
#include "vtk_test_helpers.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkAxes.h>
#include <vtkCamera.h>
#include <vtkCellArray.h>
#include <vtkFollower.h>
#include <vtkIdList.h>
#include <vtkImageData.h>
#include <vtkLinearTransform.h>
#include <vtkMapper.h>
#include <vtkMatrix4x4.h>
#include <vtkNew.h>
#include <vtkPlaneSource.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProp3DCollection.h>
#include <vtkPropCollection.h>
#include <vtkProperty.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkTexture.h>
#include <vtkVectorText.h>

#include <array>
#include <cmath>
#include <functional>
#include <vector>

namespace {

using testing_support::parts;
using testing_support::props;

using Vec3 = std::array<double, 3>;

cv::Mat rotation(double rx, double ry, double rz)
{
    cv::Mat R;
    cv::Rodrigues(cv::Mat(cv::Vec3d(rx, ry, rz)), R);
    return R;
}

const cv::Mat kR = rotation(0.4, -0.7, 1.1);
const cv::Mat kT = (cv::Mat_<double>(3, 1) << 120.0, -340.0, 2500.0);

Vec3 apply(const cv::Mat& R, const cv::Mat& t, const Vec3& p)
{
    cv::Mat q = R * cv::Mat(cv::Vec3d(p[0], p[1], p[2])) + t;
    return {q.at<double>(0), q.at<double>(1), q.at<double>(2)};
}

Vec3 apply(vtkMatrix4x4* m, const Vec3& p)
{
    const double in[4] = {p[0], p[1], p[2], 1.0};
    double out[4];
    m->MultiplyPoint(in, out);
    return {out[0], out[1], out[2]};
}

void expectPointNear(const Vec3& a, const Vec3& b, double tol)
{
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(a[k], b[k], tol) << "coordinate " << k << " of (" << a[0] << ", " << a[1] << ", " << a[2]
                                     << ") vs (" << b[0] << ", " << b[1] << ", " << b[2] << ")";
}

vtkPolyData* polyOf(vtkActor* actor)
{
    actor->GetMapper()->Update();
    return vtkPolyData::SafeDownCast(actor->GetMapper()->GetInputAsDataSet());
}

Vec3 pointOf(vtkPolyData* poly, vtkIdType i)
{
    Vec3 p;
    poly->GetPoint(i, p.data());
    return p;
}

std::string textOf(vtkActor* actor)
{
    auto* text = vtkVectorText::SafeDownCast(actor->GetMapper()->GetInputAlgorithm());
    return text && text->GetText() ? text->GetText() : std::string("<no text>");
}

// The 4x4 matrix of a prop's user transform, or nullptr.
vtkMatrix4x4* userMatrix(vtkProp3D* prop)
{
    return prop->GetUserTransform() ? prop->GetUserTransform()->GetMatrix() : prop->GetUserMatrix();
}

void expectPoseMatrix(vtkMatrix4x4* m, const cv::Mat& R, const cv::Mat& t)
{
    ASSERT_NE(m, nullptr);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(m->GetElement(r, c), R.at<double>(r, c), 1e-12) << "R(" << r << "," << c << ")";
        EXPECT_NEAR(m->GetElement(r, 3), t.at<double>(r), 1e-9) << "t(" << r << ")";
        EXPECT_EQ(m->GetElement(3, r), 0.0);
    }
    EXPECT_EQ(m->GetElement(3, 3), 1.0);
}

// Fixed label: scale, y mirrored, translated by `at`.
void expectFixedLabel(vtkActor* label, double scale, const Vec3& at)
{
    vtkMatrix4x4* m = label->GetMatrix();
    const double expected[3][4] = {{scale, 0, 0, at[0]}, {0, -scale, 0, at[1]}, {0, 0, scale, at[2]}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(m->GetElement(r, c), expected[r][c], 1e-12) << "element (" << r << "," << c << ")";
}

void expectColour(vtkActor* actor, const Vec3& rgb)
{
    double c[3];
    actor->GetProperty()->GetColor(c);
    expectPointNear({c[0], c[1], c[2]}, rgb, 1e-12);
}

// The corners of a frustum built from K, in the camera's frame.
std::array<Vec3, 4> frustumCorners(double fx, double fy, double cx, double cy, double w, double h, double d)
{
    return {{{-cx * d / fx, -cy * d / fy, d},
             {(w - cx) * d / fx, -cy * d / fy, d},
             {(w - cx) * d / fx, (h - cy) * d / fy, d},
             {-cx * d / fx, (h - cy) * d / fy, d}}};
}

void expectFrustumPoly(vtkPolyData* poly, const std::array<Vec3, 4>& corners)
{
    ASSERT_NE(poly, nullptr);
    ASSERT_EQ(poly->GetNumberOfPoints(), 5);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        expectPointNear(pointOf(poly, i), corners[i], 1e-9);
    }
    expectPointNear(pointOf(poly, 4), {0, 0, 0}, 0);
    ASSERT_EQ(poly->GetNumberOfPolys(), 4);
    vtkNew<vtkIdList> ids;
    for (vtkIdType c = 0; c < 4; ++c) {
        poly->GetCellPoints(c, ids);
        ASSERT_EQ(ids->GetNumberOfIds(), 3);
        EXPECT_EQ(ids->GetId(0), c);
        EXPECT_EQ(ids->GetId(1), (c + 1) % 4);
        EXPECT_EQ(ids->GetId(2), 4);
    }
}

void expectFrustumLook(vtkActor* actor)
{
    EXPECT_DOUBLE_EQ(actor->GetProperty()->GetOpacity(), 0.1);
    EXPECT_TRUE(actor->GetProperty()->GetEdgeVisibility());
    double e[3];
    actor->GetProperty()->GetEdgeColor(e);
    expectPointNear({e[0], e[1], e[2]}, {1, 1, 1}, 0);
}

const cv::Mat kCamera = (cv::Mat_<double>(3, 3) << 800.0, 0.0, 300.0, 0.0, 760.0, 210.0, 0.0, 0.0, 1.0);
const cv::Size kImage(640, 480);

} // namespace

TEST(SceneBuilders, SetActorPoseGivesTheUserTransformRowByRowAndReplacesThePrevious)
{
    vtkNew<vtkActor> actor;
    actor->SetPosition(5, 6, 7);
    setActorPose(actor, rotation(-0.2, 0.1, 0.3), cv::Mat(cv::Vec3d(1, 2, 3)));
    setActorPose(actor, kR, kT);
    expectPoseMatrix(userMatrix(actor), kR, kT);
    double pos[3];
    actor->GetPosition(pos);
    expectPointNear({pos[0], pos[1], pos[2]}, {5, 6, 7}, 0);

    // Matrices of floats are read as doubles; an assembly takes the same pose.
    vtkNew<vtkAssembly> assembly;
    cv::Mat Rf, tf;
    kR.convertTo(Rf, CV_32F);
    kT.convertTo(tf, CV_32F);
    setActorPose(assembly, Rf, tf);
    const Vec3 p{10, -20, 30};
    expectPointNear(apply(assembly->GetMatrix(), p), apply(kR, kT, p), 1e-3);
}

TEST(SceneBuilders, BuildFrustumUsesFxAndFyAndReusesTheCallersActor)
{
    vtkSmartPointer<vtkActor> frustum;
    ASSERT_TRUE(buildFrustum(frustum, kCamera, kImage, 1000));
    ASSERT_TRUE(frustum);
    expectFrustumPoly(polyOf(frustum), frustumCorners(800, 760, 300, 210, 640, 480, 1000));
    expectFrustumLook(frustum);

    vtkActor* first = frustum;
    vtkMapper* firstMapper = frustum->GetMapper();
    const cv::Mat K2 = (cv::Mat_<double>(3, 3) << 1200.0, 0.0, 320.0, 0.0, 1200.0, 240.0, 0.0, 0.0, 1.0);
    ASSERT_TRUE(buildFrustum(frustum, K2, cv::Size(640, 480), 500));
    EXPECT_EQ(frustum.Get(), first);
    EXPECT_NE(frustum->GetMapper(), firstMapper);
    const auto centred = frustumCorners(1200, 1200, 320, 240, 640, 480, 500);
    expectFrustumPoly(polyOf(frustum), centred);
    // Principal point at the centre: symmetric corners at x = +-(w/2) d / fx.
    EXPECT_NEAR(centred[0][0], -320.0 * 500 / 1200, 1e-12);
    EXPECT_NEAR(centred[1][0], 320.0 * 500 / 1200, 1e-12);

    // Posed inside an assembly, the corners land at R c + t.
    vtkNew<vtkAssembly> assembly;
    assembly->AddPart(frustum);
    setActorPose(assembly, kR, kT);
    vtkPolyData* poly = polyOf(frustum);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const Vec3 c = pointOf(poly, i);
        expectPointNear(apply(assembly->GetMatrix(), c), apply(kR, kT, c), 1e-9);
    }
}

TEST(SceneBuilders, DrawFrustumScalesBothAxesByFxAndLabelsOnlyANamedCamera)
{
    vtkNew<vtkRenderer> renderer;
    vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, kCamera, kImage, 1000, "Cam3");
    ASSERT_TRUE(frustum);
    expectFrustumPoly(polyOf(frustum), frustumCorners(800, 800, 300, 210, 640, 480, 1000));
    expectFrustumLook(frustum);
    auto shown = props(renderer);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], frustum.Get());
    auto* label = vtkActor::SafeDownCast(shown[1]);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(textOf(label), "Cam3");
    expectFixedLabel(label, 60, {10, -40, 10});
    expectColour(label, {1, 1, 1});

    // Posing the returned frustum leaves the label where it was.
    setActorPose(frustum, kR, kT);
    expectFixedLabel(label, 60, {10, -40, 10});

    vtkNew<vtkRenderer> unnamed;
    ASSERT_TRUE(drawFrustum(unnamed, kCamera, kImage, 1000, ""));
    EXPECT_EQ(props(unnamed).size(), 1u);
}

TEST(SceneBuilders, NoFrustumOrImagePlaneFromAnUnusableCamera)
{
    auto withK = [](double fx, double fy) {
        return cv::Mat((cv::Mat_<double>(3, 3) << fx, 0.0, 320.0, 0.0, fy, 240.0, 0.0, 0.0, 1.0));
    };
    struct Case {
        const char* what;
        cv::Mat K;
        cv::Size size;
        double depth;
    };
    const Case cases[] = {
        {"zero fx", withK(0, 800), kImage, 1000},
        {"negative fy", withK(800, -800), kImage, 1000},
        {"zero fy", withK(800, 0), kImage, 1000},
        {"NaN fx", withK(NAN, 800), kImage, 1000},
        {"infinite cx", (cv::Mat_<double>(3, 3) << 800, 0, INFINITY, 0, 800, 240, 0, 0, 1), kImage, 1000},
        {"empty K", cv::Mat(), kImage, 1000},
        {"K of 2x3", cv::Mat::eye(2, 3, CV_64F), kImage, 1000},
        {"zero image width", withK(800, 800), cv::Size(0, 480), 1000},
        {"zero image height", withK(800, 800), cv::Size(640, 0), 1000},
        {"zero depth", withK(800, 800), kImage, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtkSmartPointer<vtkActor> none;
        EXPECT_FALSE(buildFrustum(none, c.K, c.size, c.depth));
        EXPECT_FALSE(none);

        vtkSmartPointer<vtkActor> kept;
        ASSERT_TRUE(buildFrustum(kept, kCamera, kImage, 1000));
        vtkMapper* mapper = kept->GetMapper();
        EXPECT_FALSE(buildFrustum(kept, c.K, c.size, c.depth));
        EXPECT_EQ(kept->GetMapper(), mapper);

        vtkNew<vtkRenderer> renderer;
        EXPECT_FALSE(drawFrustum(renderer, c.K, c.size, c.depth, "Cam0"));
        if (c.depth > 0 && !c.size.empty())
            drawImagePlane(
                renderer,
                cv::Mat(std::max(c.size.height, 1), std::max(c.size.width, 1), CV_8UC3, cv::Scalar(1, 2, 3)),
                c.K, "Cam0");
        EXPECT_TRUE(props(renderer).empty());
    }
}

// The axes of 500 and the letters of a sensor, posed with the assembly.
void expectSensorAxes(vtkAssembly* assembly)
{
    auto p = parts(assembly);
    ASSERT_EQ(p.size(), 4u);

    auto* axes = vtkActor::SafeDownCast(p[0]);
    ASSERT_NE(axes, nullptr);
    auto* source = vtkAxes::SafeDownCast(axes->GetMapper()->GetInputAlgorithm());
    ASSERT_NE(source, nullptr);
    EXPECT_DOUBLE_EQ(source->GetScaleFactor(), 500);
    EXPECT_DOUBLE_EQ(axes->GetProperty()->GetLineWidth(), 4);
    EXPECT_FALSE(axes->GetProperty()->GetLighting());

    const std::array<const char*, 3> letters = {"X", "Y", "Z"};
    const std::array<Vec3, 3> at = {{{500, 40, 0}, {-50, 600, 0}, {-40, 40, 550}}};
    const std::array<Vec3, 3> colours = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    setActorPose(assembly, kR, kT);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(letters[i]);
        auto* letter = vtkActor::SafeDownCast(p[i + 1]);
        ASSERT_NE(letter, nullptr);
        EXPECT_EQ(textOf(letter), letters[i]);
        expectFixedLabel(letter, 80, at[i]);
        expectColour(letter, colours[i]);
        EXPECT_FALSE(letter->GetProperty()->GetLighting());
        // Each letter's anchor sits at R a + t once the sensor is posed.
        vtkNew<vtkMatrix4x4> world;
        vtkMatrix4x4::Multiply4x4(assembly->GetMatrix(), letter->GetMatrix(), world);
        expectPointNear(apply(world, {0, 0, 0}), apply(kR, kT, at[i]), 1e-9);
    }
}

TEST(SceneBuilders, SensorAxesAndLettersArePartsThatFollowTheAssemblysPose)
{
    vtkNew<vtkAssembly> assembly;
    buildSensorAxes(assembly);
    expectSensorAxes(assembly);
}

// Sensors built with one shared geometry look as with their own; they have
// actors of their own that draw with the same mappers.
TEST(SceneBuilders, SensorsSharingTheirAxesGeometryLookTheSame)
{
    SensorAxesGeometry shared;
    vtkNew<vtkAssembly> first, second;
    buildSensorAxes(first, shared);
    buildSensorAxes(second, shared);
    ASSERT_TRUE(shared.axes);
    for (vtkAssembly* assembly : {first.Get(), second.Get()}) {
        expectSensorAxes(assembly);
        const auto p = parts(assembly);
        ASSERT_EQ(p.size(), 4u);
        EXPECT_EQ(vtkActor::SafeDownCast(p[0])->GetMapper(), shared.axes.Get());
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(vtkActor::SafeDownCast(p[i + 1])->GetMapper(), shared.letters[i].Get());
    }
    EXPECT_NE(parts(first)[0], parts(second)[0]);
}

TEST(SceneBuilders, WorldAxesAndFramesLabelAsTheirNamesSay)
{
    struct Case {
        const char* builder;
        std::string name;
        size_t props; // axes (or assembly) plus the label, if any
    };
    const Case cases[] = {{"world", "World", 2}, {"world", "", 1},       {"frame", "Cam1", 2},
                          {"frame", "", 1},      {"labeled", "Cam2", 2}, {"labeled", "", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.builder) + " '" + c.name + "'");
        vtkNew<vtkRenderer> renderer;
        const std::string builder = c.builder;
        if (builder == "world")
            drawWorldAxes(renderer, c.name);
        else if (builder == "frame")
            drawFrame(renderer, kR, kT, c.name);
        else
            drawLabeledFrame(renderer, kR, kT, c.name);
        auto shown = props(renderer);
        ASSERT_EQ(shown.size(), c.props);

        if (builder == "world") {
            auto* assembly = vtkAssembly::SafeDownCast(shown[0]);
            ASSERT_NE(assembly, nullptr);
            auto p = parts(assembly);
            ASSERT_EQ(p.size(), 4u);
            auto* axes = vtkActor::SafeDownCast(p[0]);
            EXPECT_DOUBLE_EQ(vtkAxes::SafeDownCast(axes->GetMapper()->GetInputAlgorithm())->GetScaleFactor(),
                             600);
            expectColour(axes, {1, 0, 0});
            expectFixedLabel(vtkActor::SafeDownCast(p[1]), 100, {600, 50, 0});
            expectFixedLabel(vtkActor::SafeDownCast(p[2]), 100, {-60, 750, 0});
            expectFixedLabel(vtkActor::SafeDownCast(p[3]), 100, {-60, 60, 650});
        } else {
            auto* axes = vtkActor::SafeDownCast(shown[0]);
            ASSERT_NE(axes, nullptr);
            EXPECT_DOUBLE_EQ(vtkAxes::SafeDownCast(axes->GetMapper()->GetInputAlgorithm())->GetScaleFactor(),
                             builder == "frame" ? 600 : 500);
            expectPoseMatrix(axes->GetUserMatrix(), kR, kT);
            expectPointNear(apply(axes->GetMatrix(), {600, 0, 0}), apply(kR, kT, {600, 0, 0}), 1e-9);
        }
        if (c.props == 2) {
            auto* label = vtkFollower::SafeDownCast(shown[1]);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(textOf(label), c.name);
            EXPECT_EQ(label->GetCamera(), renderer->GetActiveCamera());
            EXPECT_DOUBLE_EQ(label->GetScale()[0], 50);
            expectColour(label, {1, 1, 1});
            const Vec3 anchor = builder == "world" ? Vec3{0, 0, 0} : Vec3{120, -340, 2500};
            if (builder != "world") {
                vtkMatrix4x4* m = userMatrix(label);
                ASSERT_NE(m, nullptr);
                expectPointNear(apply(m, {0, 0, 0}), anchor, 1e-9);
            }
            // The follower turns about its anchor, which stays put.
            expectPointNear(apply(label->GetMatrix(), {0, 0, 0}), anchor, 1e-9);
        }
    }
}

TEST(SceneBuilders, SensorLabelIsMadeOnceAndRelabelledInPlace)
{
    vtkNew<vtkRenderer> renderer;
    vtkSmartPointer<vtkVectorText> text;
    vtkSmartPointer<vtkFollower> follower;
    addSensorLabel(renderer, text, follower, "");
    EXPECT_FALSE(text);
    EXPECT_FALSE(follower);
    EXPECT_TRUE(props(renderer).empty());

    addSensorLabel(renderer, text, follower, "Cam0");
    ASSERT_TRUE(text && follower);
    EXPECT_STREQ(text->GetText(), "Cam0");
    EXPECT_EQ(follower->GetCamera(), renderer->GetActiveCamera());
    EXPECT_FALSE(follower->GetProperty()->GetLighting());
    EXPECT_DOUBLE_EQ(follower->GetScale()[0], 50);
    double pos[3];
    follower->GetPosition(pos);
    expectPointNear({pos[0], pos[1], pos[2]}, {-50, 0, -50}, 0);
    ASSERT_EQ(props(renderer).size(), 1u);

    vtkVectorText* keptText = text;
    vtkFollower* keptFollower = follower;
    addSensorLabel(renderer, text, follower, "Left camera");
    EXPECT_EQ(text.Get(), keptText);
    EXPECT_EQ(follower.Get(), keptFollower);
    EXPECT_STREQ(text->GetText(), "Left camera");
    EXPECT_EQ(props(renderer).size(), 1u);
}

TEST(SceneBuilders, ImagePlaneTexturesGreyBgrAndBgraImagesAsRgb)
{
    const int w = 40, h = 30;
    cv::Mat bgr(h, w, CV_8UC3);
    cv::randu(bgr, 0, 256);
    cv::Mat grey, bgra;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 50.0, 0.0, 18.0, 0.0, 70.0, 13.0, 0.0, 0.0, 1.0);

    struct Case {
        const char* what;
        cv::Mat image;
        cv::Mat expectedBgr;
    };
    cv::Mat greyAsBgr;
    cv::cvtColor(grey, greyAsBgr, cv::COLOR_GRAY2BGR);
    const Case cases[] = {{"BGR", bgr, bgr}, {"grey", grey, greyAsBgr}, {"BGRA", bgra, bgr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtkNew<vtkRenderer> renderer;
        drawImagePlane(renderer, c.image, K, "");
        auto shown = props(renderer);
        ASSERT_EQ(shown.size(), 2u);
        auto* assembly = vtkAssembly::SafeDownCast(shown[0]);
        ASSERT_NE(assembly, nullptr);
        auto p = parts(assembly);
        ASSERT_EQ(p.size(), 2u);

        auto* plane = vtkActor::SafeDownCast(p[0]);
        ASSERT_NE(plane->GetTexture(), nullptr);
        EXPECT_TRUE(plane->GetTexture()->GetInterpolate());
        EXPECT_FALSE(plane->GetProperty()->GetLighting());
        vtkImageData* texels = plane->GetTexture()->GetInput();
        ASSERT_NE(texels, nullptr);
        int dims[3];
        texels->GetDimensions(dims);
        EXPECT_EQ(dims[0], w);
        EXPECT_EQ(dims[1], h);
        EXPECT_EQ(dims[2], 1);
        ASSERT_EQ(texels->GetNumberOfScalarComponents(), 3);
        int wrong = 0;
        for (int i = 0; i < h; ++i)
            for (int j = 0; j < w; ++j) {
                const auto* t = static_cast<unsigned char*>(texels->GetScalarPointer(j, i, 0));
                const cv::Vec3b b = c.expectedBgr.at<cv::Vec3b>(i, j);
                wrong += t[0] != b[2] || t[1] != b[1] || t[2] != b[0];
            }
        EXPECT_EQ(wrong, 0);

        // The plane spans the image at depth 1000 with fx for both axes.
        const double s = 50.0 / 1000;
        auto* source = vtkPlaneSource::SafeDownCast(plane->GetMapper()->GetInputAlgorithm());
        ASSERT_NE(source, nullptr);
        expectPointNear({source->GetOrigin()[0], source->GetOrigin()[1], source->GetOrigin()[2]},
                        {-18 / s, -13 / s, 1000}, 1e-9);
        expectPointNear({source->GetPoint1()[0], source->GetPoint1()[1], source->GetPoint1()[2]},
                        {(w - 18) / s, -13 / s, 1000}, 1e-9);
        expectPointNear({source->GetPoint2()[0], source->GetPoint2()[1], source->GetPoint2()[2]},
                        {-18 / s, (h - 13) / s, 1000}, 1e-9);

        auto* frustum = vtkActor::SafeDownCast(p[1]);
        expectFrustumPoly(polyOf(frustum), frustumCorners(50, 50, 18, 13, w, h, 1000));
        expectFrustumLook(frustum);

        auto* label = vtkActor::SafeDownCast(shown[1]);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(textOf(label), "");
        expectFixedLabel(label, 60, {10, -40, 10});
    }

    for (const cv::Mat& refused : {cv::Mat(), cv::Mat(h, w, CV_16UC3, cv::Scalar::all(7)),
                                   cv::Mat(h, w, CV_8UC2, cv::Scalar::all(7))}) {
        SCOPED_TRACE(refused.type());
        vtkNew<vtkRenderer> renderer;
        drawImagePlane(renderer, refused, K, "Cam0");
        EXPECT_TRUE(props(renderer).empty());
    }
}

TEST(SceneBuilders, ImagePlaneOfAGreyImageRendersWithoutVtkComplaints)
{
    cv::Mat grey(48, 64, CV_8UC1);
    cv::randu(grey, 0, 256);
    vtkNew<vtkRenderer> renderer;
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 80.0, 0.0, 32.0, 0.0, 80.0, 24.0, 0.0, 0.0, 1.0);
    drawImagePlane(renderer, grey, K, "Cam0");
    vtkNew<vtkRenderWindow> window;
    window->SetOffScreenRendering(1);
    window->SetSize(160, 120);
    window->AddRenderer(renderer);
    window->Render();
    EXPECT_EQ(props(renderer).size(), 2u);
}

TEST(SceneBuilders, TargetsSpanPatternTimesSquareAtTheirPose)
{
    // Squares of 22.5 x 25.25 mm: real sizes, never rounded to whole millimetres.
    const cv::Size pattern(9, 6);
    const cv::Size2d square(22.5, 25.25);
    const double W = 9 * 22.5, H = 6 * 25.25;
    const cv::Point3d colour(0.2, 0.6, 0.9);
    const cv::Mat rvec = (cv::Mat_<double>(3, 1) << 0.3, -0.5, 0.8);
    const cv::Mat tvec = (cv::Mat_<double>(3, 1) << -80.0, 45.0, 900.0);
    cv::Mat R;
    cv::Rodrigues(rvec, R);
    const cv::Mat zero = cv::Mat::zeros(3, 1, CV_64F);

    struct Case {
        const char* what;
        cv::Mat rvec, tvec;
        bool invert, assembly;
        std::function<Vec3(const Vec3&)> place;
    };
    const Case cases[] = {
        {"drawTarget at the origin", zero, zero, false, false, [](const Vec3& p) { return p; }},
        {"drawTarget posed", rvec, tvec, false, false, [&](const Vec3& p) { return apply(R, tvec, p); }},
        {"drawTarget inverted", rvec, tvec, true, false,
         [&](const Vec3& p) { return apply(R.t(), -R.t() * tvec, p); }},
        {"drawTargetAssembly posed", rvec, tvec, false, true,
         [&](const Vec3& p) { return apply(R, tvec, p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtkNew<vtkRenderer> renderer;
        vtkNew<vtkAssembly> assembly;
        std::vector<vtkProp3D*> actors;
        if (c.assembly) {
            drawTargetAssembly(renderer, assembly, c.rvec, c.tvec, pattern, square, colour, c.invert);
            auto shown = props(renderer);
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0], assembly.Get());
            actors = parts(assembly);
        } else {
            drawTarget(renderer, c.rvec, c.tvec, pattern, square, colour, c.invert);
            for (vtkProp* p : props(renderer))
                actors.push_back(vtkProp3D::SafeDownCast(p));
        }
        ASSERT_EQ(actors.size(), 2u);

        auto* plane = vtkActor::SafeDownCast(actors[0]);
        auto* source = vtkPlaneSource::SafeDownCast(plane->GetMapper()->GetInputAlgorithm());
        ASSERT_NE(source, nullptr);
        const Vec3 o = c.place({0, 0, 0}), a = c.place({W, 0, 0}), b = c.place({0, H, 0});
        expectPointNear({source->GetOrigin()[0], source->GetOrigin()[1], source->GetOrigin()[2]}, o, 1e-9);
        expectPointNear({source->GetPoint1()[0], source->GetPoint1()[1], source->GetPoint1()[2]}, a, 1e-9);
        expectPointNear({source->GetPoint2()[0], source->GetPoint2()[1], source->GetPoint2()[2]}, b, 1e-9);
        expectColour(plane, {0.2, 0.6, 0.9});
        EXPECT_DOUBLE_EQ(plane->GetProperty()->GetOpacity(), 0.5);
        EXPECT_TRUE(plane->GetProperty()->GetEdgeVisibility());

        auto* lines = vtkActor::SafeDownCast(actors[1]);
        vtkPolyData* poly = polyOf(lines);
        ASSERT_EQ(poly->GetNumberOfPoints(), 3);
        ASSERT_EQ(poly->GetNumberOfLines(), 2);
        const double reach = c.assembly ? 1.0 : 0.5;
        expectPointNear(pointOf(poly, 0), o, 1e-9);
        expectPointNear(pointOf(poly, 1), c.place({W * reach, 0, 0}), 1e-9);
        expectPointNear(pointOf(poly, 2), c.place({0, H * reach, 0}), 1e-9);
        EXPECT_DOUBLE_EQ(lines->GetProperty()->GetLineWidth(), 2);
        expectColour(lines, {0.2, 0.6, 0.9});
    }
}
