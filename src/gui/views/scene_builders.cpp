#include "gui/views/scene_builders.h"

#include "core/geometry/camera_checks.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkAxes.h>
#include <vtkCamera.h>
#include <vtkCellArray.h>
#include <vtkDataSetMapper.h>
#include <vtkFollower.h>
#include <vtkImageData.h>
#include <vtkLine.h>
#include <vtkMatrix4x4.h>
#include <vtkPlaneSource.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProp3D.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>
#include <vtkTexture.h>
#include <vtkTransform.h>
#include <vtkTriangle.h>
#include <vtkVectorText.h>

#include <array>
#include <cstring>

namespace {

using Vec3 = std::array<double, 3>;

cv::Mat asDouble(const cv::Mat& m)
{
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return d;
}

vtkSmartPointer<vtkPolyDataMapper> axesMapper(double scale)
{
    auto axes = vtkSmartPointer<vtkAxes>::New();
    axes->SetOrigin(0, 0, 0);
    axes->SetScaleFactor(scale);
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(axes->GetOutputPort());
    return mapper;
}

// Axes of the given size, or drawn by the given mapper of axesMapper.
vtkSmartPointer<vtkActor> makeAxes(double scale, vtkPolyDataMapper* mapper = nullptr)
{
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper ? mapper : axesMapper(scale).Get());
    actor->GetProperty()->SetLineWidth(4);
    actor->GetProperty()->LightingOff();
    return actor;
}

// The axes' user matrix [R t; 0 0 0 1].
void setUserMatrix(vtkProp3D* prop, const cv::Mat& R, const cv::Mat& t)
{
    const cv::Mat R64 = asDouble(R), t64 = asDouble(t);
    auto m = vtkSmartPointer<vtkMatrix4x4>::New();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            m->SetElement(r, c, R64.at<double>(r, c));
        m->SetElement(r, 3, t64.at<double>(r));
    }
    prop->SetUserMatrix(m);
}

vtkSmartPointer<vtkVectorText> makeText(const std::string& text)
{
    auto vt = vtkSmartPointer<vtkVectorText>::New();
    vt->SetText(text.c_str());
    vt->Update();
    return vt;
}

vtkSmartPointer<vtkPolyDataMapper> mapperFor(vtkVectorText* text)
{
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(text->GetOutputPort());
    return mapper;
}

// A label that stays where it is put: scaled, y mirrored, then translated.
vtkSmartPointer<vtkActor> makeFixedLabel(vtkPolyDataMapper* mapper, double scale, const Vec3& at)
{
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper);
    actor->SetScale(scale);
    auto m = vtkSmartPointer<vtkMatrix4x4>::New();
    m->Identity();
    m->SetElement(1, 1, -1.0);
    m->SetElement(0, 3, at[0]);
    m->SetElement(1, 3, at[1]);
    m->SetElement(2, 3, at[2]);
    actor->SetUserMatrix(m);
    return actor;
}

// A label that turns towards the renderer's active camera.
vtkSmartPointer<vtkFollower> makeFollowerLabel(vtkRenderer* renderer, vtkVectorText* text, double scale)
{
    auto follower = vtkSmartPointer<vtkFollower>::New();
    follower->SetMapper(mapperFor(text));
    follower->SetScale(scale);
    follower->GetProperty()->SetColor(1, 1, 1);
    follower->SetCamera(renderer->GetActiveCamera());
    return follower;
}

void translateBy(vtkProp3D* prop, const cv::Mat& t)
{
    const cv::Mat t64 = asDouble(t);
    auto transform = vtkSmartPointer<vtkTransform>::New();
    transform->Translate(t64.at<double>(0), t64.at<double>(1), t64.at<double>(2));
    prop->SetUserTransform(transform);
}

struct Letter {
    const char* text;
    Vec3 colour;
};
const std::array<Letter, 3> kLetters = {{{"X", {1, 0, 0}}, {"Y", {0, 1, 0}}, {"Z", {0, 0, 1}}}};

using LetterMappers = std::array<vtkSmartPointer<vtkPolyDataMapper>, 3>;

LetterMappers letterMappers()
{
    LetterMappers mappers;
    for (size_t i = 0; i < 3; ++i)
        mappers[i] = mapperFor(makeText(kLetters[i].text));
    return mappers;
}

// The letters X, Y, Z at the given places, drawn by the given mappers of
// letterMappers or by new ones.
std::array<vtkSmartPointer<vtkActor>, 3> makeLetters(double scale, const std::array<Vec3, 3>& at,
                                                     const LetterMappers& mappers = letterMappers())
{
    std::array<vtkSmartPointer<vtkActor>, 3> letters;
    for (size_t i = 0; i < 3; ++i) {
        letters[i] = makeFixedLabel(mappers[i], scale, at[i]);
        letters[i]->GetProperty()->SetColor(kLetters[i].colour[0], kLetters[i].colour[1],
                                            kLetters[i].colour[2]);
        letters[i]->GetProperty()->LightingOff();
    }
    return letters;
}

// Side faces of a pyramid: corners 0..3 around the base, point 4 the apex.
vtkSmartPointer<vtkPolyData> pyramid(const std::array<Vec3, 4>& corners)
{
    auto points = vtkSmartPointer<vtkPoints>::New();
    points->SetDataTypeToDouble();
    for (const Vec3& c : corners)
        points->InsertNextPoint(c.data());
    points->InsertNextPoint(0, 0, 0);
    auto cells = vtkSmartPointer<vtkCellArray>::New();
    for (vtkIdType i = 0; i < 4; ++i) {
        auto triangle = vtkSmartPointer<vtkTriangle>::New();
        triangle->GetPointIds()->SetId(0, i);
        triangle->GetPointIds()->SetId(1, (i + 1) % 4);
        triangle->GetPointIds()->SetId(2, 4);
        cells->InsertNextCell(triangle);
    }
    auto poly = vtkSmartPointer<vtkPolyData>::New();
    poly->SetPoints(points);
    poly->SetPolys(cells);
    return poly;
}

void showAsFrustum(vtkActor* actor, vtkPolyData* poly)
{
    auto mapper = vtkSmartPointer<vtkDataSetMapper>::New();
    mapper->SetInputData(poly);
    actor->SetMapper(mapper);
    actor->GetProperty()->SetOpacity(0.1);
    actor->GetProperty()->SetEdgeColor(1, 1, 1);
    actor->GetProperty()->EdgeVisibilityOn();
}

// Image corners at the given depth, x scaled by fx and y by fy.
std::array<Vec3, 4> frustumCorners(const cv::Mat& K, const cv::Size& imgSize, double depth, bool fxForBoth)
{
    const cv::Mat K64 = asDouble(K);
    const double fx = K64.at<double>(0, 0);
    const double fy = fxForBoth ? fx : K64.at<double>(1, 1);
    const double cx = K64.at<double>(0, 2), cy = K64.at<double>(1, 2);
    const double w = imgSize.width, h = imgSize.height, d = depth;
    return {{{-cx * d / fx, -cy * d / fy, d},
             {(w - cx) * d / fx, -cy * d / fy, d},
             {(w - cx) * d / fx, (h - cy) * d / fy, d},
             {-cx * d / fx, (h - cy) * d / fy, d}}};
}

// 8-bit image as 3-channel BGR; empty when the image cannot be shown.
cv::Mat toBgr(const cv::Mat& image)
{
    if (image.empty() || image.dims != 2 || image.depth() != CV_8U)
        return {};
    cv::Mat bgr;
    switch (image.channels()) {
    case 1:
        cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
        break;
    case 3:
        bgr = image;
        break;
    case 4:
        cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
        break;
    default:
        return {};
    }
    return bgr;
}

struct TargetGeometry {
    Vec3 origin, a, b; // posed corners O', A', B'
};

TargetGeometry targetGeometry(const cv::Mat& rvec, const cv::Mat& tvec, const cv::Size& patternSize,
                              const cv::Size2d& squareSize, bool invert)
{
    cv::Mat R;
    cv::Rodrigues(asDouble(rvec).reshape(1, 3), R);
    const cv::Mat t = asDouble(tvec).reshape(1, 3);
    const double W = patternSize.width * squareSize.width;
    const double H = patternSize.height * squareSize.height;
    auto place = [&](double x, double y) {
        const cv::Mat p = (cv::Mat_<double>(3, 1) << x, y, 0.0);
        const cv::Mat q = invert ? cv::Mat(R.t() * (p - t)) : cv::Mat(R * p + t);
        return Vec3{q.at<double>(0), q.at<double>(1), q.at<double>(2)};
    };
    return {place(0, 0), place(W, 0), place(0, H)};
}

vtkSmartPointer<vtkActor> makeTargetPlane(const TargetGeometry& g, const cv::Point3d& colour)
{
    auto plane = vtkSmartPointer<vtkPlaneSource>::New();
    plane->SetOrigin(g.origin[0], g.origin[1], g.origin[2]);
    plane->SetPoint1(g.a[0], g.a[1], g.a[2]);
    plane->SetPoint2(g.b[0], g.b[1], g.b[2]);
    plane->Modified();
    plane->Update();
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(plane->GetOutputPort());
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper);
    actor->GetProperty()->SetColor(colour.x, colour.y, colour.z);
    actor->GetProperty()->SetOpacity(0.5);
    actor->GetProperty()->LightingOff();
    actor->GetProperty()->SetEdgeColor(colour.x, colour.y, colour.z);
    actor->GetProperty()->EdgeVisibilityOn();
    return actor;
}

vtkSmartPointer<vtkActor> makeTargetLines(const Vec3& o, const Vec3& endX, const Vec3& endY,
                                          const cv::Point3d& colour)
{
    auto points = vtkSmartPointer<vtkPoints>::New();
    points->SetDataTypeToDouble();
    points->InsertNextPoint(o.data());
    points->InsertNextPoint(endX.data());
    points->InsertNextPoint(endY.data());
    auto lines = vtkSmartPointer<vtkCellArray>::New();
    for (vtkIdType end : {1, 2}) {
        auto line = vtkSmartPointer<vtkLine>::New();
        line->GetPointIds()->SetId(0, 0);
        line->GetPointIds()->SetId(1, end);
        lines->InsertNextCell(line);
    }
    auto poly = vtkSmartPointer<vtkPolyData>::New();
    poly->SetPoints(points);
    poly->SetLines(lines);
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputData(poly);
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper);
    actor->GetProperty()->SetColor(colour.x, colour.y, colour.z);
    actor->GetProperty()->SetLineWidth(2);
    return actor;
}

Vec3 midpoint(const Vec3& p, const Vec3& q)
{
    return {(p[0] + q[0]) / 2, (p[1] + q[1]) / 2, (p[2] + q[2]) / 2};
}

} // namespace

void setActorPose(vtkProp3D* prop, const cv::Mat& R, const cv::Mat& t)
{
    const cv::Mat R64 = asDouble(R), t64 = asDouble(t);
    const double elements[16] = {R64.at<double>(0, 0),
                                 R64.at<double>(0, 1),
                                 R64.at<double>(0, 2),
                                 t64.at<double>(0),
                                 R64.at<double>(1, 0),
                                 R64.at<double>(1, 1),
                                 R64.at<double>(1, 2),
                                 t64.at<double>(1),
                                 R64.at<double>(2, 0),
                                 R64.at<double>(2, 1),
                                 R64.at<double>(2, 2),
                                 t64.at<double>(2),
                                 0.0,
                                 0.0,
                                 0.0,
                                 1.0};
    auto matrix = vtkSmartPointer<vtkMatrix4x4>::New();
    matrix->DeepCopy(elements);
    auto transform = vtkSmartPointer<vtkTransform>::New();
    transform->Identity();
    transform->Concatenate(matrix);
    prop->SetUserTransform(transform);
}

void drawWorldAxes(vtkRenderer* renderer, const std::string& name)
{
    auto axes = makeAxes(600);
    axes->GetProperty()->SetColor(1, 0, 0);
    const auto letters = makeLetters(100, {{{600, 50, 0}, {-60, 750, 0}, {-60, 60, 650}}});
    auto assembly = vtkSmartPointer<vtkAssembly>::New();
    assembly->AddPart(axes);
    for (const auto& letter : letters)
        assembly->AddPart(letter);
    renderer->AddActor(assembly);

    if (!name.empty()) {
        auto text = makeText(name);
        renderer->AddActor(makeFollowerLabel(renderer, text, 50));
    }
}

void drawFrame(vtkRenderer* renderer, const cv::Mat& R, const cv::Mat& t, const std::string& name)
{
    auto axes = makeAxes(600);
    setUserMatrix(axes, R, t);
    renderer->AddActor(axes);
    if (!name.empty()) {
        auto label = makeFollowerLabel(renderer, makeText(name), 50);
        translateBy(label, t);
        renderer->AddActor(label);
    }
}

void drawLabeledFrame(vtkRenderer* renderer, const cv::Mat& R, const cv::Mat& t, const std::string& name)
{
    auto axes = makeAxes(500);
    setUserMatrix(axes, R, t);
    renderer->AddActor(axes);
    auto label = makeFollowerLabel(renderer, makeText(name), 50);
    translateBy(label, t);
    renderer->AddActor(label);
}

void buildSensorAxes(vtkAssembly* assembly)
{
    SensorAxesGeometry own;
    buildSensorAxes(assembly, own);
}

void buildSensorAxes(vtkAssembly* assembly, SensorAxesGeometry& shared)
{
    if (!shared.axes) {
        shared.axes = axesMapper(500);
        shared.letters = letterMappers();
    }
    assembly->AddPart(makeAxes(500, shared.axes));
    for (const auto& letter :
         makeLetters(80, {{{500, 40, 0}, {-50, 600, 0}, {-40, 40, 550}}}, shared.letters))
        assembly->AddPart(letter);
}

void addSensorLabel(vtkRenderer* renderer, vtkSmartPointer<vtkVectorText>& text,
                    vtkSmartPointer<vtkFollower>& follower, const std::string& name)
{
    if (name.empty())
        return;
    if (!text)
        text = vtkSmartPointer<vtkVectorText>::New();
    text->SetText(name.c_str());
    text->Update();
    if (!follower)
        follower = vtkSmartPointer<vtkFollower>::New();
    follower->SetMapper(mapperFor(text));
    follower->SetScale(50);
    follower->SetPosition(-50, 0, -50);
    follower->GetProperty()->SetColor(1, 1, 1);
    follower->GetProperty()->LightingOff();
    follower->SetCamera(renderer->GetActiveCamera());
    renderer->AddActor(follower);
}

bool canBuildFrustum(const cv::Mat& K, const cv::Size& imgSize)
{
    return imgSize.width >= 1 && imgSize.height >= 1 && isCameraMatrix(K);
}

bool buildFrustum(vtkSmartPointer<vtkActor>& frustum, const cv::Mat& K, const cv::Size& imgSize, double depth)
{
    if (!canBuildFrustum(K, imgSize) || !(depth > 0))
        return false;
    if (!frustum)
        frustum = vtkSmartPointer<vtkActor>::New();
    showAsFrustum(frustum, pyramid(frustumCorners(K, imgSize, depth, false)));
    return true;
}

vtkSmartPointer<vtkActor> drawFrustum(vtkRenderer* renderer, const cv::Mat& K, const cv::Size& imgSize,
                                      double depth, const std::string& name)
{
    if (!canBuildFrustum(K, imgSize) || !(depth > 0))
        return nullptr;
    auto frustum = vtkSmartPointer<vtkActor>::New();
    showAsFrustum(frustum, pyramid(frustumCorners(K, imgSize, depth, true)));
    renderer->AddActor(frustum);
    if (!name.empty()) {
        auto label = makeFixedLabel(mapperFor(makeText(name)), 60, {10, -40, 10});
        label->GetProperty()->SetColor(1, 1, 1);
        renderer->AddActor(label);
    }
    return frustum;
}

void drawImagePlane(vtkRenderer* renderer, const cv::Mat& image, const cv::Mat& K, const std::string& name)
{
    const cv::Mat bgr = toBgr(image);
    if (bgr.empty() || !canBuildFrustum(K, bgr.size()))
        return;
    const int w = bgr.cols, h = bgr.rows;

    auto texels = vtkSmartPointer<vtkImageData>::New();
    texels->SetDimensions(w, h, 1);
    texels->AllocateScalars(VTK_UNSIGNED_CHAR, 3);
    for (int i = 0; i < h; ++i) {
        const uchar* src = bgr.ptr<uchar>(i);
        auto* dst = static_cast<unsigned char*>(texels->GetScalarPointer(0, i, 0));
        for (int j = 0; j < w; ++j) {
            dst[3 * j + 0] = src[3 * j + 2];
            dst[3 * j + 1] = src[3 * j + 1];
            dst[3 * j + 2] = src[3 * j + 0];
        }
    }
    texels->Modified();

    const std::array<Vec3, 4> corners = frustumCorners(K, bgr.size(), 1000, true);
    auto plane = vtkSmartPointer<vtkPlaneSource>::New();
    plane->SetOrigin(corners[0][0], corners[0][1], corners[0][2]);
    plane->SetPoint1(corners[1][0], corners[1][1], corners[1][2]);
    plane->SetPoint2(corners[3][0], corners[3][1], corners[3][2]);
    plane->Modified();
    plane->Update();
    auto planeMapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    planeMapper->SetInputConnection(plane->GetOutputPort());
    auto texture = vtkSmartPointer<vtkTexture>::New();
    texture->SetInputData(texels);
    texture->InterpolateOn();
    auto planeActor = vtkSmartPointer<vtkActor>::New();
    planeActor->SetMapper(planeMapper);
    planeActor->SetTexture(texture);
    planeActor->GetProperty()->LightingOff();

    auto frustum = vtkSmartPointer<vtkActor>::New();
    showAsFrustum(frustum, pyramid(corners));

    auto assembly = vtkSmartPointer<vtkAssembly>::New();
    assembly->AddPart(planeActor);
    assembly->AddPart(frustum);
    renderer->AddActor(assembly);

    vtkSmartPointer<vtkVectorText> text;
    vtkSmartPointer<vtkActor> label;
    addNameLabel(renderer, text, label, name);
    renderer->ResetCamera();
}

void addNameLabel(vtkRenderer* renderer, vtkSmartPointer<vtkVectorText>& text,
                  vtkSmartPointer<vtkActor>& actor, const std::string& name)
{
    text = makeText(name);
    actor = makeFixedLabel(mapperFor(text), 60, {10, -40, 10});
    actor->GetProperty()->SetColor(1, 1, 1);
    renderer->AddActor(actor);
}

void drawTarget(vtkRenderer* renderer, const cv::Mat& rvec, const cv::Mat& tvec, const cv::Size& patternSize,
                const cv::Size2d& squareSize, const cv::Point3d& colour, bool invert)
{
    const TargetGeometry g = targetGeometry(rvec, tvec, patternSize, squareSize, invert);
    renderer->AddActor(makeTargetPlane(g, colour));
    renderer->AddActor(makeTargetLines(g.origin, midpoint(g.origin, g.a), midpoint(g.origin, g.b), colour));
}

void drawTargetAssembly(vtkRenderer* renderer, vtkAssembly* assembly, const cv::Mat& rvec,
                        const cv::Mat& tvec, const cv::Size& patternSize, const cv::Size2d& squareSize,
                        const cv::Point3d& colour, bool invert)
{
    const TargetGeometry g = targetGeometry(rvec, tvec, patternSize, squareSize, invert);
    assembly->AddPart(makeTargetPlane(g, colour));
    assembly->AddPart(makeTargetLines(g.origin, g.a, g.b, colour));
    renderer->AddActor(assembly);
}
