#include "core/calib/manhattan_pose.h"

#include "core/lines/line_detection.h"

#include "core/jlinkage/VPCluster.h"
#include "core/jlinkage/VPSample.h"

#include "box_room.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include <functional>
#include <random>

namespace {

constexpr double kVpTolDeg = 0.5;     // vanishing directions from noisy or detected segments
constexpr double kExactTol = 1e-6;    // pose from exact pixels and exact directions
constexpr double kRotTolDeg = 1.0;    // rotation from fitted vanishing points
constexpr double kTransTolRel = 0.02; // translation from fitted vanishing points, relative

cv::Mat matOf(const cv::Matx33d& m)
{
    return cv::Mat(m, true);
}

cv::Matx33d toMatx33(const cv::Mat& m)
{
    cv::Mat m64;
    m.convertTo(m64, CV_64F);
    return cv::Matx33d(m64);
}

// Axes X, Y, Z with the true directions of the scene.
std::vector<AxisAssignment> trueAxes(const synth::BoxRoomScene& scene)
{
    std::vector<AxisAssignment> axes(3);
    for (int i = 0; i < 3; ++i)
        axes[std::size_t(i)] = {i, false, scene.directions[std::size_t(i)]};
    return axes;
}

cv::Point2f pixel(const synth::BoxRoomScene& scene, const cv::Point3d& world)
{
    cv::Point2d p;
    EXPECT_TRUE(synth::projectIdeal(scene.K, scene.R, scene.t, world, p));
    return cv::Point2f(p);
}

// Pose of the camera relative to a world frame with its origin at room point O
// and the room's axes.
void truePose(const synth::BoxRoomScene& scene, const cv::Point3d& O, cv::Mat& R, cv::Mat& t)
{
    R = matOf(scene.R);
    const cv::Vec3d tt = scene.R * cv::Vec3d(O.x, O.y, O.z) + scene.t;
    t = (cv::Mat_<double>(3, 1) << tt[0], tt[1], tt[2]);
}

// A camera of focal length 1000 px looking along the world's Z axis, O at its
// principal point and P 100 px along X, 100 mm apart: O lies 1000 mm ahead.
ManhattanPoseInput examplePoseInput()
{
    ManhattanPoseInput in;
    in.K = testing_support::camera(1000, 1000, 500, 400);
    in.vanishingPoints = {{1e8f, 400}, {500, 1e8f}, {500, 400}};
    in.axes = {{0, false, {1, 0, 0}}, {1, false, {0, 1, 0}}, {2, false, {0, 0, 1}}};
    in.O = {500, 400};
    in.P = {600, 400};
    in.length = 100;
    return in;
}

// The pose of the example input after `change`.
ManhattanPoseResult poseAfter(const std::function<void(ManhattanPoseInput&)>& change)
{
    ManhattanPoseInput in = examplePoseInput();
    change(in);
    return manhattanCameraPose(in);
}

} // namespace

// The fit does not depend on which way the segments point: reversing any of
// them gives the same vanishing point, on a level view too.
TEST(ManhattanPose, VanishingPointIndependentOfSegmentDirection)
{
    for (auto view : {synth::RoomView::Corner, synth::RoomView::Level}) {
        synth::BoxRoomOptions o;
        o.view = view;
        const synth::BoxRoomScene scene = synth::renderBoxRoom(o);
        for (int axis = 0; axis < 3; ++axis) {
            SCOPED_TRACE(testing::Message()
                         << (view == synth::RoomView::Corner ? "corner" : "level") << " view, axis " << axis);
            std::vector<cv::Vec4f> cluster;
            for (std::size_t i = 0; i < scene.segments.size(); ++i)
                if (scene.segmentAxes[i] == axis && cv::norm(scene.segments[i]) > 0 &&
                    std::hypot(scene.segments[i][2] - scene.segments[i][0],
                               scene.segments[i][3] - scene.segments[i][1]) >= 20)
                    cluster.push_back(scene.segments[i]);
            ASSERT_GE(cluster.size(), 4u);
            std::mt19937 rng(axis);
            std::normal_distribution<float> n(0.f, 0.3f);
            for (auto& s : cluster)
                for (int k = 0; k < 4; ++k)
                    s[k] += n(rng);
            float rms0 = 0;
            const cv::Vec3d d0 = vanishingDirection(scene.K, clusterVanishingPoint(cluster, rms0));
            EXPECT_LT(synth::lineAngleDeg(d0, scene.directions[std::size_t(axis)]), kVpTolDeg);
            for (int trial = 0; trial < 5; ++trial) {
                std::vector<cv::Vec4f> mixed = cluster;
                std::bernoulli_distribution flip(0.5);
                for (auto& s : mixed)
                    if (flip(rng))
                        s = cv::Vec4f(s[2], s[3], s[0], s[1]);
                float rms = 0;
                const cv::Vec3d d = vanishingDirection(scene.K, clusterVanishingPoint(mixed, rms));
                EXPECT_LT(synth::lineAngleDeg(d, d0), 1e-6);
            }
        }
    }
}

// J-Linkage on the room's segments (noisy, mixed directions) finds the three
// vanishing directions, for every seed, and the same ones for the same seed.
TEST(ManhattanPose, ClustersGiveTheRoomsVanishingPoints)
{
    for (auto view : {synth::RoomView::Corner, synth::RoomView::Level}) {
        synth::BoxRoomOptions o;
        o.view = view;
        const synth::BoxRoomScene scene = synth::renderBoxRoom(o);
        const std::vector<cv::Vec4f> segs = synth::noisySegments(scene, 0.1, 1);
        std::vector<cv::Point2f> first;
        for (unsigned seed : {1u, 2u, 3u, 1u}) {
            SCOPED_TRACE(testing::Message()
                         << (view == synth::RoomView::Corner ? "corner" : "level") << " view, seed " << seed);
            VPSample sampler;
            sampler.setSeed(seed);
            VPCluster clusterer;
            const SegmentClusters c = clusterSegmentsJLinkage(segs, 3, sampler, clusterer);
            ASSERT_EQ(c.clusters.size(), 3u);
            std::vector<cv::Point2f> vps;
            for (const auto& cl : c.clusters) {
                float rms = 0;
                vps.push_back(clusterVanishingPoint(cl, rms));
            }
            for (int axis = 0; axis < 3; ++axis) {
                double best = 180;
                for (const auto& vp : vps)
                    best = std::min(best, synth::lineAngleDeg(vanishingDirection(scene.K, vp),
                                                              scene.directions[std::size_t(axis)]));
                EXPECT_LT(best, kVpTolDeg) << "axis " << axis;
            }
            if (first.empty())
                first = vps;
            else if (seed == 1u) {
                EXPECT_EQ(vps, first);
            }
        }
    }
}

TEST(ManhattanPose, ExamplePose)
{
    const ManhattanPoseResult r = manhattanCameraPose(examplePoseInput());
    ASSERT_EQ(r.error, ManhattanPoseError::None) << r.message;
    EXPECT_EQ(r.nearestAxis, 0);
    EXPECT_NEAR(r.distance, 1000, 1e-9);
    EXPECT_TRUE(testing_support::matNear(r.t, testing_support::vec3(0, 0, 1000), 1e-9));
}

// From exact pixels and directions the pose is exact, with fx != fy, for OP
// along each axis, in both views (in the level view the vertical vanishing
// point is near infinity).
TEST(ManhattanPose, ExactPoseAlongEachAxis)
{
    for (auto view : {synth::RoomView::Corner, synth::RoomView::Level}) {
        synth::BoxRoomOptions o;
        o.view = view;
        o.fyOverFx = 1.15;
        const synth::BoxRoomScene scene = synth::renderBoxRoom(o);
        const cv::Point3d O(0, 0, 0);
        const cv::Point3d along[] = {{1000, 0, 0}, {0, 1500, 0}, {0, 0, 2000}};
        for (int axis = 0; axis < 3; ++axis) {
            SCOPED_TRACE(testing::Message() << (view == synth::RoomView::Corner ? "corner" : "level")
                                            << " view, OP along axis " << axis);
            ManhattanPoseInput in;
            in.K = matOf(scene.K);
            in.axes = trueAxes(scene);
            for (int i = 0; i < 3; ++i) {
                const cv::Vec3d& h = scene.vanishingHomogeneous[std::size_t(i)];
                in.vanishingPoints.push_back(std::abs(h[2]) > 1e-9
                                                 ? cv::Point2f(float(h[0] / h[2]), float(h[1] / h[2]))
                                                 : cv::Point2f(float(1e8 * h[0]), float(1e8 * h[1])));
            }
            in.O = pixel(scene, O);
            in.P = pixel(scene, along[axis]);
            in.length = cv::norm(along[axis] - O);
            const ManhattanPoseResult r = manhattanCameraPose(in);
            ASSERT_EQ(r.error, ManhattanPoseError::None) << r.message;
            EXPECT_EQ(r.nearestAxis, axis);
            cv::Mat R, t;
            truePose(scene, O, R, t);
            EXPECT_TRUE(testing_support::matNear(r.R, R, kExactTol));
            EXPECT_LT(cv::norm(r.t - t) / cv::norm(t), 1e-4);
        }
    }
}

// The whole chain from segments: clusters, fitted vanishing points, the
// best triple, the axes matched to the room's, then the pose.
TEST(ManhattanPose, PoseFromClusteredSegments)
{
    for (auto view : {synth::RoomView::Corner, synth::RoomView::Level}) {
        SCOPED_TRACE(view == synth::RoomView::Corner ? "corner" : "level");
        synth::BoxRoomOptions o;
        o.view = view;
        const synth::BoxRoomScene scene = synth::renderBoxRoom(o);
        VPSample sampler;
        sampler.setSeed(5);
        VPCluster clusterer;
        const SegmentClusters c =
            clusterSegmentsJLinkage(synth::noisySegments(scene, 0.1, 2), 4, sampler, clusterer);
        std::vector<cv::Point2f> vps;
        for (const auto& cl : c.clusters) {
            float rms = 0;
            vps.push_back(clusterVanishingPoint(cl, rms));
        }
        int k, l, m;
        ASSERT_TRUE(bestOrthogonalTriple(scene.K, vps, k, l, m));
        vps = {vps[std::size_t(k)], vps[std::size_t(l)], vps[std::size_t(m)]};
        bool flipped = false;
        std::vector<AxisAssignment> axes = assignAxes(scene.K, vps, &flipped);
        double det = axes[0].direction.dot(axes[1].direction.cross(axes[2].direction));
        EXPECT_GT(det, 0);
        // as the user does with the combo and check boxes: match the room's axes
        std::vector<AxisAssignment> matched(3);
        for (int i = 0; i < 3; ++i)
            for (const auto& a : axes)
                if (synth::lineAngleDeg(a.direction, scene.directions[std::size_t(i)]) < 5) {
                    matched[std::size_t(i)] = a;
                    if (a.direction.dot(scene.directions[std::size_t(i)]) < 0) {
                        matched[std::size_t(i)].direction = -a.direction;
                        matched[std::size_t(i)].inverted = !a.inverted;
                    }
                }
        ManhattanPoseInput in;
        in.K = matOf(scene.K);
        in.axes = matched;
        in.vanishingPoints = vps;
        in.O = pixel(scene, {0, 0, 0});
        in.P = pixel(scene, {1000, 0, 0});
        in.length = 1000;
        const ManhattanPoseResult r = manhattanCameraPose(in);
        ASSERT_EQ(r.error, ManhattanPoseError::None) << r.message;
        cv::Mat R, t;
        truePose(scene, {0, 0, 0}, R, t);
        EXPECT_LT(testing_support::rotationDiffDeg(r.R, R), kRotTolDeg);
        EXPECT_LT(cv::norm(r.t - t) / cv::norm(t), kTransTolRel);
    }
}

TEST(ManhattanPose, BadInputsAreRefused)
{
    struct Case {
        const char* name;
        std::function<void(ManhattanPoseInput&)> change;
        ManhattanPoseError error;
    };
    const std::vector<Case> cases = {
        {"no intrinsics", [](ManhattanPoseInput& i) { i.K = cv::Mat(); }, ManhattanPoseError::NoIntrinsics},
        {"zero focal length", [](ManhattanPoseInput& i) { i.K.at<double>(0, 0) = 0; },
         ManhattanPoseError::NoIntrinsics},
        {"O unset",
         [](ManhattanPoseInput& i) {
             i.O = {-1, -1};
         },
         ManhattanPoseError::PointsUnset},
        {"P unset",
         [](ManhattanPoseInput& i) {
             i.P = {-1, -1};
         },
         ManhattanPoseError::PointsUnset},
        {"zero length", [](ManhattanPoseInput& i) { i.length = 0; }, ManhattanPoseError::NoLength},
        {"NaN length", [](ManhattanPoseInput& i) { i.length = std::nan(""); }, ManhattanPoseError::NoLength},
        {"two axes", [](ManhattanPoseInput& i) { i.axes.pop_back(); }, ManhattanPoseError::MissingAxes},
        {"axis past the vanishing points", [](ManhattanPoseInput& i) { i.axes[2].vpIndex = 3; },
         ManhattanPoseError::MissingAxes},
        {"O equal to P", [](ManhattanPoseInput& i) { i.P = i.O; }, ManhattanPoseError::SamePoints},
        {"P at (-1, 5) counts as set",
         [](ManhattanPoseInput& i) {
             i.P = {-1, 5};
         },
         ManhattanPoseError::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ManhattanPoseResult r = poseAfter(c.change);
        EXPECT_EQ(r.error, c.error) << r.message;
        if (c.error != ManhattanPoseError::None) {
            EXPECT_TRUE(r.R.empty() && r.t.empty());
        }
    }
}

// A left-handed rotation (a user's choice of axes) becomes the nearest
// proper rotation, and the result says so.
TEST(ManhattanPose, RotationIsOrthonormalWithPositiveDeterminant)
{
    ManhattanPoseInput in = examplePoseInput();
    in.axes = {{0, false, {1, 0.01, 0}}, {1, false, {0.02, 1, 0}}, {2, false, {0, 0, 1}}};
    ManhattanPoseResult r = manhattanCameraPose(in);
    std::string msg;
    ASSERT_EQ(r.error, ManhattanPoseError::None);
    EXPECT_NEAR(cv::determinant(r.R), 1.0, 1e-12);
    EXPECT_TRUE(testing_support::matNear(r.R * r.R.t(), cv::Mat::eye(3, 3, CV_64F), 1e-12));
    EXPECT_FALSE(r.flippedDeterminant);
    in.axes[2].direction = {0, 0, -1};
    r = manhattanCameraPose(in);
    EXPECT_NEAR(cv::determinant(r.R), 1.0, 1e-12);
    EXPECT_TRUE(r.flippedDeterminant);
}

TEST(ManhattanPose, AxisAssignment)
{
    const cv::Matx33d K(800, 0, 320, 0, 800, 240, 0, 0, 1);
    // left, above and below the principal point: X left, Y above, Z below
    const std::vector<cv::Point2f> vps{{320, 5000}, {-2000, 240}, {320, -3000}};
    bool flipped = false;
    std::vector<AxisAssignment> axes = assignAxes(K, vps, &flipped);
    EXPECT_EQ(axes[0].vpIndex, 1);
    EXPECT_EQ(axes[1].vpIndex, 2);
    EXPECT_EQ(axes[2].vpIndex, 0);
    EXPECT_GT(axes[0].direction.dot(axes[1].direction.cross(axes[2].direction)), 0);
    // every order of the same points gives a right-handed frame
    std::vector<cv::Point2f> p{{-900, 300}, {1500, 280}, {330, 4000}};
    std::sort(p.begin(), p.end(), [](auto a, auto b) { return a.x < b.x; });
    do {
        axes = assignAxes(K, p, &flipped);
        EXPECT_GT(axes[0].direction.dot(axes[1].direction.cross(axes[2].direction)), 0);
        EXPECT_EQ(axes[2].inverted, flipped);
    } while (std::next_permutation(p.begin(), p.end(), [](auto a, auto b) { return a.x < b.x; }));

    // inverting X toggles Y too; twice restores both
    const auto before = axes;
    invertAxis(axes, 0, 3);
    EXPECT_NE(axes[0].inverted, before[0].inverted);
    EXPECT_NE(axes[1].inverted, before[1].inverted);
    EXPECT_EQ(axes[2].inverted, before[2].inverted);
    EXPECT_EQ(axes[0].direction, -before[0].direction);
    invertAxis(axes, 0, 3);
    EXPECT_EQ(axes[0].inverted, before[0].inverted);
    invertAxis(axes, 3, 3); // outside: nothing
    invertAxis(axes, 0, 0); // no vanishing points: nothing
    EXPECT_EQ(axes[0].inverted, before[0].inverted);

    // choosing Z's vanishing point for X swaps the records and inverts Z
    const int zVp = axes[2].vpIndex, xVp = axes[0].vpIndex;
    assignVanishingPointToAxis(axes, xVp, zVp, 3);
    EXPECT_EQ(axes[0].vpIndex, zVp);
    EXPECT_EQ(axes[2].vpIndex, xVp);
    EXPECT_NE(axes[2].inverted, before[0].inverted);
    EXPECT_GT(axes[0].direction.dot(axes[1].direction.cross(axes[2].direction)), 0);
}

TEST(ManhattanPose, BestTripleAndThirdPoint)
{
    const cv::Matx33d K(800, 0, 320, 0, 800, 240, 0, 0, 1);
    const cv::Vec3d x(1, 0, 0.2), y(-0.2, 0.1, 1), z = cv::normalize(x).cross(cv::normalize(y));
    auto vpOf = [&](const cv::Vec3d& d) {
        const cv::Vec3d p = K * d;
        return cv::Point2f(float(p[0] / p[2]), float(p[1] / p[2]));
    };
    // four points, two of them equal: the triple never holds both
    const std::vector<cv::Point2f> vps{vpOf(x), vpOf(y), vpOf(y), vpOf(z)};
    int k = -1, l = -1, m = -1;
    ASSERT_TRUE(bestOrthogonalTriple(K, vps, k, l, m));
    EXPECT_FALSE((k == 1 || k == 2) && (l == 1 || l == 2));
    EXPECT_FALSE((k == 1 || k == 2) && (m == 1 || m == 2));
    EXPECT_FALSE((l == 1 || l == 2) && (m == 1 || m == 2));
    // all in one plane: none
    const std::vector<cv::Point2f> flat{{0, 240}, {100, 240}, {500, 240}, {900, 240}};
    EXPECT_FALSE(bestOrthogonalTriple(K, flat, k, l, m));

    const cv::Point2f third = thirdVanishingPoint(K, vpOf(cv::normalize(x)), vpOf(cv::normalize(y)));
    EXPECT_LT(std::min(angleDeg(vanishingDirection(K, third), z), angleDeg(vanishingDirection(K, third), -z)),
              1e-4);
}

// Rendered rooms through the line detector: the vanishing points of the
// clusters lie within 0.5 degree of the truth.
TEST(ManhattanPose, DetectedSegmentsOfRenderedRooms)
{
    for (auto view : {synth::RoomView::Corner, synth::RoomView::Level})
        for (bool distorted : {false, true}) {
            SCOPED_TRACE(testing::Message() << (view == synth::RoomView::Corner ? "corner" : "level")
                                            << (distorted ? ", distorted" : ""));
            synth::BoxRoomOptions o;
            o.view = view;
            o.distorted = distorted;
            const synth::BoxRoomScene scene = synth::renderBoxRoom(o);
            LineDetectionInput in;
            in.gray = scene.image;
            in.K = matOf(scene.K);
            in.kc = scene.kc;
            in.minLineLength = 50;
            const LineDetectionResult det = runLineDetection(in);
            ASSERT_TRUE(det.ok) << det.error;
            const cv::Matx33d K = toMatx33(det.K);
            for (unsigned seed = 1; seed <= 3; ++seed) {
                VPSample sampler;
                sampler.setSeed(seed);
                VPCluster clusterer;
                const SegmentClusters c = clusterSegmentsJLinkage(det.segments, 3, sampler, clusterer);
                ASSERT_EQ(c.clusters.size(), 3u);
                for (int axis = 0; axis < 3; ++axis) {
                    double best = 180;
                    for (const auto& cl : c.clusters) {
                        float rms = 0;
                        best = std::min(
                            best, synth::lineAngleDeg(vanishingDirection(K, clusterVanishingPoint(cl, rms)),
                                                      scene.directions[std::size_t(axis)]));
                    }
                    EXPECT_LT(best, kVpTolDeg) << "axis " << axis << ", seed " << seed;
                }
            }
        }
}

// Inputs that once gave a read outside the axis list, an infinite
// translation, a rotation that was not one, or a pose from axes that are no
// frame: each is refused with its own error, or computed correctly.
TEST(ManhattanPose, UnsoundInputsAreRefusedOrComputedCorrectly)
{
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const auto tilt = [](double deg) { // Y turned towards X by deg
        const double r = deg * CV_PI / 180;
        return cv::Vec3d(std::sin(r), std::cos(r), 0);
    };
    struct Case {
        const char* name;
        std::function<void(ManhattanPoseInput&)> change;
        ManhattanPoseError error;
        int first = -1, second = -1; // least orthogonal pair, when refused for it
        double angleDeg = 0;
    };
    const std::vector<Case> cases = {
        {"O not a number", [&](ManhattanPoseInput& i) { i.O.x = nan; }, ManhattanPoseError::InvalidPoints},
        {"P infinite", [&](ManhattanPoseInput& i) { i.P.y = inf; }, ManhattanPoseError::InvalidPoints},
        {"translation beyond double",
         [](ManhattanPoseInput& i) {
             i.length = 2e305;
             i.P = {501, 400};
         },
         ManhattanPoseError::NotFinite},
        {"directions of length 1e-160",
         [](ManhattanPoseInput& i) {
             for (auto& a : i.axes)
                 a.direction *= 1e-160;
         },
         ManhattanPoseError::None},
        {"directions of length 1e300",
         [](ManhattanPoseInput& i) {
             for (auto& a : i.axes)
                 a.direction *= 1e300;
         },
         ManhattanPoseError::None},
        {"an infinite direction", [](ManhattanPoseInput& i) { i.axes[1].direction[1] = HUGE_VAL; },
         ManhattanPoseError::MissingAxes},
        {"X equal to Y", [](ManhattanPoseInput& i) { i.axes[1].direction = i.axes[0].direction; },
         ManhattanPoseError::NotOrthogonal, 0, 1, 0.0},
        {"Z in the plane of X and Y",
         [](ManhattanPoseInput& i) { i.axes[2].direction = cv::normalize(cv::Vec3d(1, 1, 0)); },
         ManhattanPoseError::NotOrthogonal, 0, 2, 45.0},
        {"Y 6 degrees from orthogonal", [&](ManhattanPoseInput& i) { i.axes[1].direction = tilt(6); },
         ManhattanPoseError::NotOrthogonal, 0, 1, 84.0},
        {"Y 4 degrees from orthogonal", [&](ManhattanPoseInput& i) { i.axes[1].direction = tilt(4); },
         ManhattanPoseError::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ManhattanPoseResult r = poseAfter(c.change);
        EXPECT_EQ(r.error, c.error) << r.message;
        if (c.error != ManhattanPoseError::None) {
            EXPECT_FALSE(r.message.empty());
            EXPECT_TRUE(r.R.empty() && r.t.empty());
        } else {
            ASSERT_FALSE(r.R.empty());
            EXPECT_NEAR(cv::determinant(r.R), 1.0, 1e-12);
            EXPECT_TRUE(testing_support::matNear(r.R * r.R.t(), cv::Mat::eye(3, 3, CV_64F), 1e-12));
            EXPECT_TRUE(cv::checkRange(r.t));
        }
        if (c.error == ManhattanPoseError::NotOrthogonal) {
            EXPECT_EQ(r.leastOrthogonal.first, c.first);
            EXPECT_EQ(r.leastOrthogonal.second, c.second);
            EXPECT_NEAR(r.leastOrthogonal.angleDeg, c.angleDeg, 1e-6);
        }
    }
}

namespace {

// n exact segments of 40 to 120 px in a 1280 x 960 image whose lines pass
// through the vanishing point of direction d seen by K.
std::vector<cv::Vec4f> segmentsAlong(const cv::Matx33d& K, const cv::Vec3d& d, int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> x(100, 1180), y(100, 860), len(40, 120);
    const cv::Vec3d v = K * d;
    std::vector<cv::Vec4f> out;
    for (int i = 0; i < n; ++i) {
        const double py = y(rng), px = x(rng);
        const cv::Point2d p(px, py);
        // towards v from p, also for a point at infinity
        cv::Point2d u(v[0] - v[2] * p.x, v[1] - v[2] * p.y);
        u /= cv::norm(u);
        const cv::Point2d q = p + len(rng) * u;
        out.emplace_back(float(p.x), float(p.y), float(q.x), float(q.y));
    }
    return out;
}

} // namespace

// The axes run names each vanishing point by the rank of its cluster: the
// three found keep 1, 2, 3; of more, the chosen triple keeps its own numbers;
// of two, the estimated third is 3.
TEST(ManhattanAxes, ChoiceOfThreeKeepsTheNumbers)
{
    const cv::Matx33d K(1000, 0, 640, 0, 1000, 480, 0, 0, 1);
    const cv::Matx33d R = [] {
        cv::Matx33d r;
        cv::Rodrigues(cv::Vec3d(0.3, -0.5, 0.2), r);
        return r;
    }();
    const cv::Vec3d X(R(0, 0), R(1, 0), R(2, 0)), Y(R(0, 1), R(1, 1), R(2, 1)), Z(R(0, 2), R(1, 2), R(2, 2));
    const cv::Vec3d W = cv::normalize(X + Y); // in the plane of X and Y
    struct Family {
        cv::Vec3d d;
        int n;
    };
    struct Case {
        const char* what;
        std::vector<Family> families; // largest first: their ranks
        int count;
        AxesSelection selection;
        std::vector<int> numbers;
    };
    const Case cases[] = {
        {"three", {{X, 40}, {Y, 30}, {Z, 20}}, 3, AxesSelection::Three, {1, 2, 3}},
        {"four, the second in the plane of two others",
         {{X, 40}, {W, 32}, {Y, 25}, {Z, 20}},
         4,
         AxesSelection::BestTriple,
         {1, 3, 4}},
        {"two of three asked for", {{X, 40}, {Y, 30}, {Z, 20}}, 2, AxesSelection::FromTwo, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ManhattanAxesInput in;
        unsigned seed = 1;
        for (const Family& f : c.families) {
            const auto s = segmentsAlong(K, f.d, f.n, seed++);
            in.search.segments.insert(in.search.segments.end(), s.begin(), s.end());
        }
        in.search.count = c.count;
        in.search.seed = 11;
        in.K = cv::Mat(K);
        const ManhattanAxesResult r = findManhattanAxes(in);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(r.selection, c.selection);
        ASSERT_EQ(r.vanishingPoints.size(), 3u);
        std::vector<int> numbers;
        for (const auto& v : r.vanishingPoints)
            numbers.push_back(v.number);
        EXPECT_EQ(numbers, c.numbers);
        // a number names the point of the cluster of that rank
        for (const auto& v : r.vanishingPoints) {
            if (c.selection != AxesSelection::FromTwo || v.number < 3) {
                EXPECT_EQ(v.point, r.search.clusters[std::size_t(v.number - 1)].point);
            }
        }
        // the axes are the room's, right-handed, at right angles
        ASSERT_EQ(r.axes.size(), 3u);
        std::array<cv::Vec3d, 3> dirs;
        for (int i = 0; i < 3; ++i)
            dirs[std::size_t(i)] = r.axes[std::size_t(i)].direction;
        EXPECT_GT(dirs[0].dot(dirs[1].cross(dirs[2])), 0);
        EXPECT_NEAR(leastOrthogonalPair(dirs).angleDeg, 90, 0.05);
        for (const cv::Vec3d& truth : {X, Y, Z}) {
            double best = 180;
            for (const auto& d : dirs)
                best = std::min(best, synth::lineAngleDeg(d, truth));
            EXPECT_LT(best, 0.05);
        }
        if (c.selection != AxesSelection::FromTwo) {
            for (double a : r.angles)
                EXPECT_NEAR(a, 90, 0.05);
        }
    }
}

TEST(ManhattanAxes, RunsThatStopShort)
{
    const cv::Matx33d K(1000, 0, 640, 0, 1000, 480, 0, 0, 1);
    std::vector<cv::Vec4f> three = segmentsAlong(K, {1, 0, 0.2}, 30, 1);
    for (const cv::Vec3d& d : {cv::Vec3d(0, 1, 0.1), cv::Vec3d(-0.2, -0.1, 1)}) {
        const auto s = segmentsAlong(K, cv::normalize(d), 25, unsigned(three.size()));
        three.insert(three.end(), s.begin(), s.end());
    }
    struct Case {
        const char* what;
        cv::Mat K;
        int count;
        ManhattanAxesError error;
        std::size_t points; // vanishing points left in the result
    };
    const Case cases[] = {
        {"no camera", cv::Mat(), 3, ManhattanAxesError::NoCamera, 3},
        {"a camera matrix that is none", cv::Mat::zeros(3, 3, CV_64F), 3, ManhattanAxesError::NoCamera, 3},
        {"one vanishing point asked for", cv::Mat(K), 1, ManhattanAxesError::OnlyOne, 1},
        {"no vanishing point asked for", cv::Mat(K), 0, ManhattanAxesError::Search, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ManhattanAxesInput in;
        in.search.segments = three;
        in.search.count = c.count;
        in.search.seed = 2;
        in.K = c.K;
        const ManhattanAxesResult r = findManhattanAxes(in);
        EXPECT_EQ(r.error, c.error);
        EXPECT_FALSE(r.message.empty());
        EXPECT_EQ(r.vanishingPoints.size(), c.points);
        EXPECT_TRUE(r.axes.empty());
        EXPECT_EQ(r.selection, AxesSelection::None);
    }
}

// A camera matrix of extreme focal length (accepted as a camera matrix:
// positive and finite) gives unit directions, or no axes at all, never axes
// whose directions are not numbers.
TEST(ManhattanAxes, ExtremeFocalLengthsGiveUnitDirectionsOrNoAxes)
{
    const cv::Matx33d K(1000, 0, 640, 0, 1000, 480, 0, 0, 1);
    std::vector<cv::Vec4f> segments;
    unsigned seed = 1;
    for (const cv::Vec3d& d : {cv::Vec3d(1, 0, 0.2), cv::Vec3d(0, 1, 0.1), cv::Vec3d(-0.2, -0.1, 1)}) {
        const auto s = segmentsAlong(K, cv::normalize(d), 25, seed++);
        segments.insert(segments.end(), s.begin(), s.end());
    }
    for (double f : {1e-300, 1e-160, 1e160, 1e300}) {
        SCOPED_TRACE(testing::Message() << "fx " << f);
        const cv::Matx33d extreme(f, 0, 640, 0, 1000, 480, 0, 0, 1);
        const cv::Vec3d d = vanishingDirection(extreme, {900.f, 300.f});
        EXPECT_NEAR(cv::norm(d), 1.0, 1e-12);
        ManhattanAxesInput in;
        in.search.segments = segments;
        in.search.seed = 4;
        in.K = cv::Mat(extreme);
        const ManhattanAxesResult r = findManhattanAxes(in);
        if (r.ok()) {
            ASSERT_EQ(r.axes.size(), 3u);
            for (const auto& a : r.axes)
                EXPECT_NEAR(cv::norm(a.direction), 1.0, 1e-12);
        } else {
            EXPECT_TRUE(r.axes.empty());
            EXPECT_FALSE(r.message.empty());
        }
    }
}
