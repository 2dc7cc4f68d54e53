// Dual-device stereo calibration.
//
// Each device is first calibrated alone at its own image size (unless its
// flags provide the intrinsics), the board pose of every view is found in
// both devices, and the relative pose starts at the per-coordinate median of
// the per-view relative poses. The relative pose, the board poses in device
// 1 and, unless both devices' intrinsics are fixed, both devices' camera
// matrices and 14 distortion coefficients are then refined jointly by
// Levenberg-Marquardt, minimising the squared reprojection error of every
// board point in both devices. The board pose in device 2 is never a
// parameter: it is the composition of the pose in device 1 and the relative
// pose.

#include "core/calib/stereo_calib.h"
#include "core/geometry/camera_checks.h"

#include "core/calib/lev_marq.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

constexpr int kExtendedModels =
    cv::CALIB_RATIONAL_MODEL | cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_TILTED_MODEL;
constexpr int kGivenIntrinsics = cv::CALIB_FIX_INTRINSIC | cv::CALIB_USE_INTRINSIC_GUESS;
constexpr int kReadsCameraMatrix = kGivenIntrinsics | cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_FOCAL_LENGTH;
constexpr int kReadsDistortion = kGivenIntrinsics | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 |
                                 cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 | cv::CALIB_FIX_K6 |
                                 cv::CALIB_FIX_TANGENT_DIST;

// Raises StsAssert with the condition's text as the message, naming `func`.
#define STEREO_ASSERT(expr, func)                                                                            \
    do {                                                                                                     \
        if (!(expr))                                                                                         \
            cv::error(cv::Error::StsAssert, #expr, func, __FILE__, __LINE__);                                \
    } while (0)

bool usesGivenIntrinsics(int flags)
{
    return (flags & kGivenIntrinsics) != 0;
}

// The five-coefficient model: k1, k2, p1, p2, k3.
bool usesFiveCoefficients(int flags)
{
    return (flags & kExtendedModels) == 0;
}

// 3x3 CV_64F camera matrix from the caller's, the identity when none is
// given; an error when the flags take the caller's values as they are.
cv::Mat prepareCameraMatrix(const cv::Mat& cameraMatrix0, int flags, int device)
{
    cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
    const bool given = cameraMatrix0.rows == 3 && cameraMatrix0.cols == 3 && cameraMatrix0.channels() == 1;
    if (given)
        cameraMatrix0.convertTo(K, CV_64F);
    if (usesGivenIntrinsics(flags)) {
        if (!given)
            cv::error(
                cv::Error::StsBadArg,
                cv::format("cameraMatrix%d must be a 3x3 matrix when flags%d hold CALIB_USE_INTRINSIC_GUESS "
                           "or CALIB_FIX_INTRINSIC",
                           device, device),
                "stereoCalibrateDual", __FILE__, __LINE__);
        if (!isCameraMatrix(K))
            cv::error(cv::Error::StsBadArg,
                      cv::format("cameraMatrix%d must be finite with positive fx and fy", device),
                      "stereoCalibrateDual", __FILE__, __LINE__);
    }
    return K;
}

// outputSize coefficients of type rtype: a column when the input is one
// column, else a row; the given values fill the leading entries.
cv::Mat prepareDistCoeffs(const cv::Mat& input, int rtype, int outputSize)
{
    const cv::Mat distCoeffs0 = input.channels() == 1 ? input : input.reshape(1, (int)input.total());
    STEREO_ASSERT((int)distCoeffs0.total() <= outputSize, "prepareDistCoeffs");
    const bool column = distCoeffs0.cols == 1 && !distCoeffs0.empty();
    cv::Mat out = column ? cv::Mat::zeros(outputSize, 1, rtype) : cv::Mat::zeros(1, outputSize, rtype);
    if (distCoeffs0.empty())
        return out;
    if (distCoeffs0.rows != 1 && distCoeffs0.cols != 1)
        cv::error(cv::Error::StsBadSize, "distortion coefficients must be one row or one column",
                  "prepareDistCoeffs", __FILE__, __LINE__);
    cv::Mat values;
    distCoeffs0.reshape(1, 1).convertTo(values, rtype); // reshape copies nothing but needs continuity
    values.reshape(1, column ? (int)values.total() : 1)
        .copyTo(column ? out.rowRange(0, (int)values.total()) : out.colRange(0, (int)values.total()));
    return out;
}

// Packs the views into one row each of board points and image points.
void collectCalibrationData(cv::InputArrayOfArrays objectPoints, cv::InputArrayOfArrays imagePoints1,
                            cv::InputArrayOfArrays imagePoints2, cv::Mat& objPtMat, cv::Mat& imgPtMat1,
                            cv::Mat* imgPtMat2, cv::Mat& npoints)
{
    const char* func = "collectCalibrationData";
    const int nimages = (int)objectPoints.total();
    STEREO_ASSERT(nimages > 0 && nimages == (int)imagePoints1.total() &&
                      (!imgPtMat2 || nimages == (int)imagePoints2.total()),
                  func);
    int pointsTotal = 0;
    for (int i = 0; i < nimages; ++i) {
        const int ni = objectPoints.getMat(i).checkVector(3, CV_32F);
        if (ni <= 0)
            cv::error(cv::Error::StsUnsupportedFormat,
                      "objectPoints should contain vector of vectors of points of type Point3f", func,
                      __FILE__, __LINE__);
        const int ni1 = imagePoints1.getMat(i).checkVector(2, CV_32F);
        if (ni1 <= 0)
            cv::error(cv::Error::StsUnsupportedFormat,
                      "imagePoints1 should contain vector of vectors of points of type Point2f", func,
                      __FILE__, __LINE__);
        STEREO_ASSERT(ni == ni1, func);
        pointsTotal += ni;
    }
    npoints.create(1, nimages, CV_32S);
    objPtMat.create(1, pointsTotal, CV_32FC3);
    imgPtMat1.create(1, pointsTotal, CV_32FC2);
    if (imgPtMat2)
        imgPtMat2->create(1, pointsTotal, CV_32FC2);
    for (int i = 0, j = 0; i < nimages; ++i) {
        const cv::Mat objpt = objectPoints.getMat(i);
        const cv::Mat imgpt1 = imagePoints1.getMat(i);
        const int ni = objpt.checkVector(3, CV_32F);
        npoints.at<int>(i) = ni;
        objpt.reshape(3, 1).copyTo(objPtMat.colRange(j, j + ni));
        imgpt1.reshape(2, 1).copyTo(imgPtMat1.colRange(j, j + ni));
        if (imgPtMat2) {
            const cv::Mat imgpt2 = imagePoints2.getMat(i);
            const int ni2 = imgpt2.checkVector(2, CV_32F);
            STEREO_ASSERT(ni == ni2, func);
            imgpt2.reshape(2, 1).copyTo(imgPtMat2->colRange(j, j + ni));
        }
        j += ni;
    }
    if (!cv::checkRange(objPtMat) || !cv::checkRange(imgPtMat1) || (imgPtMat2 && !cv::checkRange(*imgPtMat2)))
        cv::error(cv::Error::StsBadArg, "objectPoints and imagePoints must hold finite values", func,
                  __FILE__, __LINE__);
}

// Median of a row of values (mean of the two middle ones for an even count).
double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

bool isFinite(const cv::Mat& m)
{
    return m.empty() || cv::checkRange(m);
}

// Copies `src` (any number of values) into `dst` keeping dst's storage and type.
void writeInPlace(const cv::Mat& src, cv::Mat dst)
{
    cv::Mat converted;
    src.reshape(1, 1).convertTo(converted, dst.type());
    converted.reshape(dst.channels(), dst.rows).copyTo(dst);
}

// One device's camera matrix, fixed coefficients and starting values: the
// caller's where the flags read them, else from a calibration of that device
// alone at its own image size.
void startDeviceIntrinsics(stereo_calib::StereoProblem& P, int k, int flags, const cv::Mat& K,
                           const cv::Mat& D, cv::InputArrayOfArrays objectPoints,
                           cv::InputArrayOfArrays imagePoints, cv::Size imageSize)
{
    P.K[k] = cv::Matx33d::eye();
    P.dist[k] = cv::Mat::zeros(1, 14, CV_64F);
    if (flags & kReadsCameraMatrix)
        P.K[k] = cv::Matx33d(K);
    if (flags & kReadsDistortion) {
        const cv::Mat d = D.reshape(1, 1);
        d.copyTo(P.dist[k].colRange(0, d.cols));
    }
    if (usesGivenIntrinsics(flags))
        return;
    // Points far outside the image are no measurement, and near the end of
    // the float range they make calibrateCamera end the process instead of
    // raising an error.
    cv::Mat points;
    P.imagePoints[k].convertTo(points, CV_32F);
    std::string why;
    if (!imagePointsWithinBound({points.begin<cv::Point2f>(), points.end<cv::Point2f>()}, imageSize, why))
        cv::error(cv::Error::StsBadArg, cv::format("imagePoints%d: %s", k + 1, why.c_str()),
                  "stereoCalibrateDual", __FILE__, __LINE__);
    cv::Mat Kc(P.K[k]), Dc = P.dist[k].clone();
    cv::calibrateCamera(objectPoints, imagePoints, imageSize, Kc, Dc, cv::noArray(), cv::noArray(), flags,
                        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, DBL_EPSILON));
    P.K[k] = cv::Matx33d(Kc);
    const cv::Mat d = Dc.reshape(1, 1);
    d.copyTo(P.dist[k].colRange(0, std::min(d.cols, 14)));
}

// Decides whether intrinsics are refined at all and which values are tied:
// under CALIB_SAME_FOCAL_LENGTH the device whose focal length is fixed leads
// (both start from the mean when neither is fixed; principal points stay
// separate), and CALIB_FIX_ASPECT_RATIO keeps fx / fy.
void tieFocalLengths(stereo_calib::StereoProblem& P, const int flags[2])
{
    const int anyFlags = flags[0] | flags[1];
    P.refineIntrinsics = !((flags[0] & cv::CALIB_FIX_INTRINSIC) && (flags[1] & cv::CALIB_FIX_INTRINSIC));
    if ((anyFlags & cv::CALIB_SAME_FOCAL_LENGTH) && P.refineIntrinsics) {
        const bool fixedFocal[2] = {(flags[0] & (cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_INTRINSIC)) != 0,
                                    (flags[1] & (cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_INTRINSIC)) != 0};
        if (!fixedFocal[0] && !fixedFocal[1]) {
            P.focalLeader = 0;
            for (int a = 0; a < 2; ++a) {
                const double mean = 0.5 * (P.K[0](a, a) + P.K[1](a, a));
                P.K[0](a, a) = P.K[1](a, a) = mean;
            }
        } else if (fixedFocal[0] != fixedFocal[1]) {
            P.focalLeader = fixedFocal[0] ? 0 : 1;
            const int follower = 1 - P.focalLeader;
            P.K[follower](0, 0) = P.K[P.focalLeader](0, 0);
            P.K[follower](1, 1) = P.K[P.focalLeader](1, 1);
        }
    }
    for (int k = 0; k < 2; ++k)
        if (flags[k] & cv::CALIB_FIX_ASPECT_RATIO)
            P.aspectRatio[k] = P.K[k](0, 0) / P.K[k](1, 1);
    if (P.focalLeader >= 0 && (P.aspectRatio[0] > 0 || P.aspectRatio[1] > 0))
        P.aspectRatio[0] = P.aspectRatio[1] = P.K[P.focalLeader](0, 0) / P.K[P.focalLeader](1, 1);
}

// The device's flags with the coefficients of every model it does not
// select marked fixed.
int completeModelFlags(int f)
{
    if (!(f & cv::CALIB_RATIONAL_MODEL))
        f |= cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 | cv::CALIB_FIX_K6;
    if (!(f & cv::CALIB_THIN_PRISM_MODEL))
        f |= cv::CALIB_FIX_S1_S2_S3_S4;
    if (!(f & cv::CALIB_TILTED_MODEL))
        f |= cv::CALIB_FIX_TAUX_TAUY;
    return f;
}

// Clears the mask entries of device k's 18 intrinsic values (fx, fy, cx, cy,
// then the 14 coefficients k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4 taux tauy)
// that its completed flags or the ties hold fixed.
void fixDeviceIntrinsics(const stereo_calib::StereoProblem& P, int k, uchar* m)
{
    const int f = P.flags[k];
    auto fix = [m](int from, int to) { std::fill(m + from, m + to + 1, uchar(0)); };
    if (f & cv::CALIB_FIX_INTRINSIC)
        fix(0, 17);
    if (P.aspectRatio[k] > 0)
        fix(0, 0);
    if (f & cv::CALIB_FIX_FOCAL_LENGTH)
        fix(0, 1);
    if (f & cv::CALIB_FIX_PRINCIPAL_POINT)
        fix(2, 3);
    if (f & (cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_TANGENT_DIST))
        fix(6, 7);
    if (f & cv::CALIB_FIX_K1)
        fix(4, 4);
    if (f & cv::CALIB_FIX_K2)
        fix(5, 5);
    if (f & cv::CALIB_FIX_K3)
        fix(8, 8);
    if (f & cv::CALIB_FIX_K4)
        fix(9, 9);
    if (f & cv::CALIB_FIX_K5)
        fix(10, 10);
    if (f & cv::CALIB_FIX_K6)
        fix(11, 11);
    if (f & cv::CALIB_FIX_S1_S2_S3_S4)
        fix(12, 15);
    if (f & cv::CALIB_FIX_TAUX_TAUY)
        fix(16, 17);
    if (P.focalLeader >= 0 && k != P.focalLeader)
        fix(0, 1); // follows the leader's fx, fy
}

// Writes the board pose of every view in device 1 into the parameters and
// starts the relative pose at the caller's guess or, without one, at the
// per-coordinate median of the relative poses the single views imply.
void startPoses(stereo_calib::StereoProblem& P, const cv::Mat& Rguess, const cv::Mat& Tguess)
{
    std::vector<double> relative[6];
    double* p = P.param.ptr<double>();
    for (int i = 0, offset = 0; i < P.nimages; ++i) {
        const int ni = P.npoints[i];
        const cv::Mat obj = P.objectPoints.colRange(offset, offset + ni);
        cv::Vec3d r[2], t[2];
        for (int k = 0; k < 2; ++k) {
            cv::solvePnP(obj, P.imagePoints[k].colRange(offset, offset + ni), P.K[k], P.dist[k], r[k], t[k],
                         false, cv::SOLVEPNP_ITERATIVE);
            if (!cv::checkRange(r[k]) || !cv::checkRange(t[k]))
                cv::error(
                    cv::Error::StsNoConv,
                    cv::format("the board pose of view %d in device %d could not be estimated", i, k + 1),
                    "stereoCalibrateDual", __FILE__, __LINE__);
        }
        for (int a = 0; a < 3; ++a) {
            p[6 * (i + 1) + a] = r[0][a];
            p[6 * (i + 1) + 3 + a] = t[0][a];
        }
        cv::Matx33d R_1_board, R_2_board;
        cv::Rodrigues(r[0], R_1_board);
        cv::Rodrigues(r[1], R_2_board);
        const cv::Matx33d R_2_1 = R_2_board * R_1_board.t();
        const cv::Vec3d t_2_1 = t[1] - R_2_1 * t[0];
        cv::Vec3d r_2_1;
        cv::Rodrigues(R_2_1, r_2_1);
        for (int a = 0; a < 3; ++a) {
            relative[a].push_back(r_2_1[a]);
            relative[3 + a].push_back(t_2_1[a]);
        }
        offset += ni;
    }

    if (Rguess.empty()) {
        for (int a = 0; a < 6; ++a)
            p[a] = median(relative[a]);
        return;
    }
    cv::Mat T64, R64;
    Tguess.convertTo(T64, CV_64F);
    Rguess.convertTo(R64, CV_64F);
    cv::Vec3d rvec;
    if (R64.rows == 3 && R64.cols == 3)
        cv::Rodrigues(R64, rvec);
    else
        rvec = cv::Vec3d(R64.ptr<double>());
    for (int a = 0; a < 3; ++a) {
        p[a] = rvec[a];
        p[3 + a] = T64.ptr<double>()[a];
    }
}

// Copies both devices' starting intrinsics into the parameter vector.
void writeIntrinsicParams(stereo_calib::StereoProblem& P)
{
    double* p = P.param.ptr<double>();
    for (int k = 0; k < 2; ++k) {
        double* d = P.dist[k].ptr<double>();
        if (P.flags[k] & cv::CALIB_ZERO_TANGENT_DIST)
            d[2] = d[3] = 0;
        double* c = p + P.intrinsicStart(k);
        c[0] = P.K[k](0, 0);
        c[1] = P.K[k](1, 1);
        c[2] = P.K[k](0, 2);
        c[3] = P.K[k](1, 2);
        std::copy(d, d + 14, c + 4);
    }
}

// Writes the ties (fixed aspect ratio, shared focal length) into a
// parameter vector.
void tieIntrinsics(const stereo_calib::StereoProblem& P, double* q)
{
    for (int k = 0; k < 2; ++k)
        if (P.aspectRatio[k] > 0)
            q[P.intrinsicStart(k)] = P.aspectRatio[k] * q[P.intrinsicStart(k) + 1];
    if (P.focalLeader >= 0) {
        const int lead = P.intrinsicStart(P.focalLeader), follow = P.intrinsicStart(1 - P.focalLeader);
        q[follow] = q[lead];
        q[follow + 1] = q[lead + 1];
    }
}

// Loads K and dist from the parameters and gives the global parameter index
// of each of a device's 18 intrinsic values (a follower's fx, fy are the
// leader's).
void loadIntrinsics(stereo_calib::StereoProblem& P, const double* p, int intrinsicIndex[2][18])
{
    for (int k = 0; k < 2; ++k) {
        const double* c = p + P.intrinsicStart(k);
        P.K[k] = cv::Matx33d(c[0], 0, c[2], 0, c[1], c[3], 0, 0, 1);
        std::copy(c + 4, c + 18, P.dist[k].ptr<double>());
        for (int j = 0; j < 18; ++j)
            intrinsicIndex[k][j] = P.intrinsicStart(k) + j;
    }
    if (P.focalLeader >= 0)
        for (int j = 0; j < 2; ++j)
            intrinsicIndex[1 - P.focalLeader][j] = P.intrinsicStart(P.focalLeader) + j;
}

// A view's board pose in both devices: r[0], t[0] are parameters, r[1], t[1]
// their composition with the relative pose, with the derivatives of the
// composition when linearising.
struct ViewPose {
    cv::Vec3d r[2], t[2];
    cv::Matx33d dr3dr1, dr3dr2, dt3dt1, dt3dr2, dt3dt2;
};

ViewPose composeViewPose(const double* viewParams, const cv::Vec3d& rrel, const cv::Vec3d& trel,
                         bool linearise)
{
    ViewPose v;
    v.r[0] = cv::Vec3d(viewParams[0], viewParams[1], viewParams[2]);
    v.t[0] = cv::Vec3d(viewParams[3], viewParams[4], viewParams[5]);
    if (linearise)
        cv::composeRT(v.r[0], v.t[0], rrel, trel, v.r[1], v.t[1], v.dr3dr1, cv::noArray(), v.dr3dr2,
                      cv::noArray(), cv::noArray(), v.dt3dt1, v.dt3dr2, v.dt3dt2);
    else
        cv::composeRT(v.r[0], v.t[0], rrel, trel, v.r[1], v.t[1]);
    return v;
}

// Projected minus detected coordinates into res; returns their sum of squares.
double writeResiduals(const cv::Mat& projected, const double* detected, int n, double* res)
{
    const double* pr = projected.ptr<double>();
    double s = 0;
    for (int a = 0; a < n; ++a) {
        res[a] = pr[a] - detected[a];
        s += res[a] * res[a];
    }
    return s;
}

// Device 2's block by the chain rule: the projection's derivatives by its
// own pose (first 6 columns of J) become derivatives by the relative pose
// and by the view pose in device 1; the intrinsic columns are copied.
// Columns of A: [relative pose | view pose in device 1 | intrinsics].
void chainToDevice2(const cv::Mat& J, const ViewPose& v, int nintr, cv::Mat& A)
{
    for (int row = 0; row < J.rows; ++row) {
        const double* j = J.ptr<double>(row);
        double* b = A.ptr<double>(row);
        for (int c = 0; c < 3; ++c) {
            double drrel = 0, dtrel = 0, dr1 = 0, dt1 = 0;
            for (int a = 0; a < 3; ++a) {
                drrel += j[a] * v.dr3dr2(a, c) + j[3 + a] * v.dt3dr2(a, c);
                dtrel += j[3 + a] * v.dt3dt2(a, c);
                dr1 += j[a] * v.dr3dr1(a, c);
                dt1 += j[3 + a] * v.dt3dt1(a, c);
            }
            b[c] = drrel;
            b[3 + c] = dtrel;
            b[6 + c] = dr1;
            b[9 + c] = dt1;
        }
        std::copy(j + 6, j + 6 + nintr, b + 12);
    }
}

// Adds A^T A (upper triangle) and A^T r of one device's block into the
// normal equations, column a of A being parameter index[a]. The blocks are
// too narrow for a general matrix product to pay off, so the products are
// summed row by row into G and g first.
void accumulateBlock(const cv::Mat& A, const double* res, const std::vector<int>& index, int m, cv::Mat& G,
                     cv::Mat& g, cv::Mat& JtJ, cv::Mat& JtErr)
{
    G.create(m, m, CV_64F);
    g.create(m, 1, CV_64F);
    G.setTo(0);
    g.setTo(0);
    double* gv = g.ptr<double>();
    for (int row = 0; row < A.rows; ++row) {
        const double* arow = A.ptr<double>(row);
        const double rr = res[row];
        for (int a = 0; a < m; ++a) {
            const double av = arow[a];
            if (av == 0)
                continue;
            double* Ga = G.ptr<double>(a);
            for (int b = a; b < m; ++b)
                Ga[b] += av * arow[b];
            gv[a] += av * rr;
        }
    }
    double* jtj = JtJ.ptr<double>();
    double* jte = JtErr.ptr<double>();
    const size_t stride = JtJ.step1();
    for (int a = 0; a < m; ++a) {
        const double* Ga = G.ptr<double>(a);
        const int pa = index[a];
        for (int b = a; b < m; ++b) {
            const int pb = index[b];
            jtj[pa <= pb ? pa * stride + pb : pb * stride + pa] += Ga[b];
        }
        jte[pa] += gv[a];
    }
}

} // namespace

namespace stereo_calib {

StereoProblem initStereoProblem(cv::InputArrayOfArrays objectPoints, cv::InputArrayOfArrays imagePoints1,
                                cv::InputArrayOfArrays imagePoints2, const cv::Mat K[2], const cv::Mat D[2],
                                const cv::Size imageSize[2], const cv::Mat& Rguess, const cv::Mat& Tguess,
                                int flags1, int flags2)
{
    StereoProblem P;
    cv::Mat objPt, imgPt[2], npts;
    collectCalibrationData(objectPoints, imagePoints1, imagePoints2, objPt, imgPt[0], &imgPt[1], npts);
    P.nimages = npts.cols;
    P.npoints.assign(npts.ptr<int>(), npts.ptr<int>() + P.nimages);
    for (int ni : P.npoints) {
        P.pointsTotal += ni;
        P.maxPoints = std::max(P.maxPoints, ni);
    }
    objPt.convertTo(P.objectPoints, CV_64F);

    const int flags[2] = {flags1, flags2};
    for (int k = 0; k < 2; ++k) {
        imgPt[k].convertTo(P.imagePoints[k], CV_64F);
        startDeviceIntrinsics(P, k, flags[k], K[k], D[k], objectPoints, k == 0 ? imagePoints1 : imagePoints2,
                              imageSize[k]);
    }
    tieFocalLengths(P, flags);

    const int nparams = 6 * (P.nimages + 1) + (P.refineIntrinsics ? 36 : 0);
    P.param = cv::Mat::zeros(nparams, 1, CV_64F);
    P.mask = cv::Mat::ones(nparams, 1, CV_8U);
    for (int k = 0; k < 2; ++k) {
        P.flags[k] = completeModelFlags(flags[k]);
        if (P.refineIntrinsics)
            fixDeviceIntrinsics(P, k, P.mask.ptr<uchar>() + P.intrinsicStart(k));
    }
    startPoses(P, Rguess, Tguess);
    if (P.refineIntrinsics)
        writeIntrinsicParams(P);
    return P;
}

double StereoProblem::evaluate(cv::Mat& param, cv::Mat* prevParam, cv::Mat* JtJ, cv::Mat* JtErr,
                               cv::Mat* perViewErrors, std::vector<double>* residuals)
{
    CV_Assert(param.type() == CV_64F && param.isContinuous() &&
              (int)param.total() == 6 * (nimages + 1) + (refineIntrinsics ? 36 : 0));
    const bool linearise = JtJ && JtErr;
    double* p = param.ptr<double>();

    int intrinsicIndex[2][18];
    if (refineIntrinsics) {
        tieIntrinsics(*this, p);
        if (prevParam)
            tieIntrinsics(*this, prevParam->ptr<double>());
        loadIntrinsics(*this, p, intrinsicIndex);
    }

    // A device without an extended model projects with its 5 coefficients
    // (the others are 0 and fixed). Working buffers are sized once for the
    // largest view; each view uses their leading rows.
    int ndist[2], nintr[2];
    for (int k = 0; k < 2; ++k) {
        ndist[k] = (flags[k] & kExtendedModels) ? 14 : 5;
        nintr[k] = refineIntrinsics ? 4 + ndist[k] : 0;
    }
    Workspace& w = work_;
    if (w.projected.rows != maxPoints) {
        w.projected.create(maxPoints, 1, CV_64FC2);
        for (int k = 0; k < 2; ++k)
            w.jacobian[k].create(2 * maxPoints, 10 + ndist[k], CV_64F);
        w.block.create(2 * maxPoints, 12 + nintr[1], CV_64F);
        w.residual.create(2 * maxPoints, 1, CV_64F);
        w.index.resize(12 + 18);
    }

    const cv::Vec3d rrel(p[0], p[1], p[2]), trel(p[3], p[4], p[5]);
    double total = 0;
    if (residuals)
        residuals->clear();
    for (int i = 0, offset = 0; i < nimages; ++i) {
        const int ni = npoints[i], e = 6 * (i + 1);
        const ViewPose v = composeViewPose(p + e, rrel, trel, linearise);
        const cv::Mat obj = objectPoints.colRange(offset, offset + ni);
        for (int k = 0; k < 2; ++k) {
            cv::Mat proj = w.projected.rowRange(0, ni), J = w.jacobian[k].rowRange(0, 2 * ni);
            const cv::Mat distk = dist[k].colRange(0, ndist[k]);
            if (linearise)
                cv::projectPoints(obj, v.r[k], v.t[k], K[k], distk, proj, J, aspectRatio[k]);
            else
                cv::projectPoints(obj, v.r[k], v.t[k], K[k], distk, proj, cv::noArray(), aspectRatio[k]);
            double* res = w.residual.ptr<double>();
            const double s = writeResiduals(proj, imagePoints[k].ptr<double>() + 2 * offset, 2 * ni, res);
            if (residuals)
                residuals->insert(residuals->end(), res, res + 2 * ni);

            if (linearise) {
                // Parameter index of each column of the device's block.
                int m = 0;
                cv::Mat A;
                if (k == 0) {
                    A = J.colRange(0, 6 + nintr[k]);
                } else {
                    A = w.block.rowRange(0, 2 * ni);
                    chainToDevice2(J, v, nintr[k], A);
                    for (int a = 0; a < 6; ++a)
                        w.index[m++] = a;
                }
                for (int a = 0; a < 6; ++a)
                    w.index[m++] = e + a;
                for (int a = 0; a < nintr[k]; ++a)
                    w.index[m++] = intrinsicIndex[k][a];
                accumulateBlock(A, res, w.index, m, w.G[k], w.g[k], *JtJ, *JtErr);
            }

            if (perViewErrors)
                perViewErrors->at<double>(i, k) = std::sqrt(s / ni);
            total += s;
        }
        offset += ni;
    }
    return total;
}

} // namespace stereo_calib

namespace {

// Device k's camera matrix (3x3 CV_64F) and distortion coefficients (14, or
// 5 when it selects no extended model) as the refinement reads them.
void prepareDevice(const cv::Mat& givenK, const cv::Mat& givenD, int flags, int device, cv::Mat& K,
                   cv::Mat& D)
{
    K = prepareCameraMatrix(givenK, flags, device);
    const cv::Mat D14 = prepareDistCoeffs(givenD, CV_64F, 14);
    D = D14;
    // The five-coefficient model reads and returns k1, k2, p1, p2, k3 only:
    // coefficients of a richer model (an earlier rational run, a sensor's
    // imported k4-k6) are cut off, as the model has no place for them
    // (startCoefficientCut tells the caller which).
    if (usesFiveCoefficients(flags))
        D = D14.rows == 1 ? D14.colRange(0, 5) : D14.rowRange(0, 5);
    if (usesGivenIntrinsics(flags) && !cv::checkRange(D))
        cv::error(cv::Error::StsBadArg, cv::format("distCoeffs%d must be finite", device),
                  "stereoCalibrateDual", __FILE__, __LINE__);
}

// The caller's R and T as the extrinsic guess, after checking their shape,
// type and values. The returned headers share the caller's storage.
void readExtrinsicGuess(cv::InputOutputArray R, cv::InputOutputArray T, cv::Mat& Rguess, cv::Mat& Tguess)
{
    const char* func = "stereoCalibrateDual";
    Rguess = R.getMat();
    Tguess = T.getMat();
    const int rdepth = Rguess.depth(), tdepth = Tguess.depth();
    const bool rOk = Rguess.channels() == 1 && (rdepth == CV_32F || rdepth == CV_64F) &&
                     ((Rguess.rows == 3 && Rguess.cols == 3) ||
                      (Rguess.total() == 3 && (Rguess.rows == 1 || Rguess.cols == 1)));
    if (!rOk)
        cv::error(cv::Error::StsBadArg,
                  "R must be a 3x3 rotation matrix or a 3x1 or 1x3 rotation vector of type CV_32F or CV_64F "
                  "when CALIB_USE_EXTRINSIC_GUESS is set",
                  func, __FILE__, __LINE__);
    const bool tOk = Tguess.channels() == 1 && (tdepth == CV_32F || tdepth == CV_64F) &&
                     Tguess.total() == 3 && (Tguess.rows == 1 || Tguess.cols == 1);
    if (!tOk)
        cv::error(
            cv::Error::StsBadArg,
            "T must be a 3x1 or 1x3 vector of type CV_32F or CV_64F when CALIB_USE_EXTRINSIC_GUESS is set",
            func, __FILE__, __LINE__);
    if (!cv::checkRange(Rguess) || !cv::checkRange(Tguess))
        cv::error(cv::Error::StsBadArg, "R and T must be finite when CALIB_USE_EXTRINSIC_GUESS is set", func,
                  __FILE__, __LINE__);
}

// Runs the Levenberg-Marquardt loop on the problem; returns the final sum of
// squared residuals and fills each view's RMS error in both devices, both at
// the parameters the solver returns, with K and dist loaded from them.
double refineJointly(stereo_calib::StereoProblem& P, LevMarq& solver, cv::Mat& viewErrors)
{
    P.param.copyTo(solver.param);
    P.mask.copyTo(solver.mask);
    viewErrors.create(P.nimages, 2, CV_64F);
    double sumSq = 0, linearisedSumSq = 0;
    cv::Mat linearisedViewErrors;
    for (;;) {
        cv::Mat *JtJ, *JtErr;
        double* errNorm;
        if (!solver.updateAlt(JtJ, JtErr, errNorm))
            break;
        sumSq = P.evaluate(solver.param, &solver.prevParam, JtJ, JtErr, &viewErrors);
        *errNorm = sumSq;
        if (JtJ) {
            linearisedSumSq = sumSq;
            viewErrors.copyTo(linearisedViewErrors);
        }
    }
    // The solver refused the step evaluated last: the result is the last
    // linearisation's, which is kept rather than evaluated again.
    if (solver.lastEvaluationRefused()) {
        sumSq = linearisedSumSq;
        linearisedViewErrors.copyTo(viewErrors);
        if (P.refineIntrinsics) {
            int intrinsicIndex[2][18];
            loadIntrinsics(P, solver.param.ptr<double>(), intrinsicIndex);
        }
    }
    return sumSq;
}

// What the calibration hands back: the relative pose (device 1 -> device 2),
// the essential and fundamental matrices, both devices' intrinsics in the
// caller's layout, and the RMS reprojection error over all coordinates.
struct StereoResult {
    cv::Vec3d rvec, tvec;
    cv::Matx33d R, E, F;
    cv::Mat K[2], D[2];
    double rms = 0;
};

StereoResult collectResult(const stereo_calib::StereoProblem& P, const cv::Mat& param, const cv::Mat K[2],
                           const cv::Mat D[2], double sumSq)
{
    StereoResult out;
    const double* p = param.ptr<double>();
    out.rvec = cv::Vec3d(p[0], p[1], p[2]);
    out.tvec = cv::Vec3d(p[3], p[4], p[5]);
    cv::Rodrigues(out.rvec, out.R);
    for (int k = 0; k < 2; ++k) {
        if (P.refineIntrinsics) {
            out.K[k] = cv::Mat(P.K[k], true);
            out.D[k] = D[k].clone();
            P.dist[k].colRange(0, (int)D[k].total()).reshape(1, D[k].rows).copyTo(out.D[k]);
        } else {
            out.K[k] = K[k].clone();
            out.D[k] = D[k].clone();
        }
    }
    const cv::Vec3d& t = out.tvec;
    const cv::Matx33d tx(0, -t[2], t[1], t[2], 0, -t[0], -t[1], t[0], 0);
    out.E = tx * out.R;
    out.F = cv::Matx33d(out.K[1]).inv(cv::DECOMP_LU).t() * out.E * cv::Matx33d(out.K[0]).inv(cv::DECOMP_LU);
    if (std::fabs(out.F(2, 2)) > 0)
        out.F *= 1.0 / out.F(2, 2);
    out.rms = std::sqrt(sumSq / (2.0 * P.pointsTotal));
    return out;
}

bool isFiniteResult(const StereoResult& r, const cv::Mat& viewErrors)
{
    return std::isfinite(r.rms) && cv::checkRange(r.R) && cv::checkRange(r.tvec) && isFinite(r.K[0]) &&
           isFinite(r.K[1]) && isFinite(r.D[0]) && isFinite(r.D[1]) && cv::checkRange(r.E) &&
           cv::checkRange(r.F) && cv::checkRange(viewErrors);
}

// Hands the relative pose back: into the caller's own R and T (matrix or
// vector, as given) after an extrinsic guess, else as new 3x3 and 3x1
// CV_64F matrices.
void writeRelativePose(const StereoResult& r, bool extrinsicGuess, cv::InputOutputArray R,
                       cv::InputOutputArray T)
{
    if (extrinsicGuess) {
        const cv::Mat Rcaller = R.getMat();
        if (Rcaller.rows == 3 && Rcaller.cols == 3)
            writeInPlace(cv::Mat(r.R), Rcaller);
        else
            writeInPlace(cv::Mat(r.rvec), Rcaller);
        writeInPlace(cv::Mat(r.tvec), T.getMat());
        return;
    }
    R.create(3, 3, CV_64F);
    cv::Mat(r.R).copyTo(R.getMat());
    T.create(3, 1, CV_64F);
    cv::Mat(r.tvec).copyTo(T.getMat());
}

void fillReport(const LevMarq& solver, StereoRefinementReport& report)
{
    report.iterations = solver.iterations();
    report.maxIterations = solver.maxIterations();
    report.epsilon = solver.epsilon();
    report.end = solver.stop();
    report.remainingShift = solver.remainingShift();
}

} // namespace

CoefficientCut startCoefficientCut(cv::InputArray distCoeffs, int flags)
{
    CoefficientCut cut;
    const cv::Mat given = distCoeffs.getMat();
    cut.given = (int)given.total();
    if (!usesFiveCoefficients(flags) || !(flags & kReadsDistortion))
        return cut;
    const cv::Mat D14 = prepareDistCoeffs(given, CV_64F, 14).reshape(1, 1);
    for (int k = 5; k < 14; ++k)
        if (D14.at<double>(k) != 0)
            cut.leftOut.emplace_back(k, D14.at<double>(k));
    return cut;
}

const char* distortionCoefficientName(int index)
{
    static const char* const names[14] = {"k1", "k2", "p1", "p2", "k3", "k4",   "k5",
                                          "k6", "s1", "s2", "s3", "s4", "taux", "tauy"};
    return index >= 0 && index < 14 ? names[index] : "?";
}

double stereoCalibrateDual(cv::InputArrayOfArrays objectPoints, cv::InputArrayOfArrays imagePoints1,
                           cv::InputArrayOfArrays imagePoints2, cv::InputOutputArray cameraMatrix1,
                           cv::InputOutputArray distCoeffs1, cv::InputOutputArray cameraMatrix2,
                           cv::InputOutputArray distCoeffs2, cv::Size imageSize1, cv::Size imageSize2,
                           cv::InputOutputArray R, cv::InputOutputArray T, cv::OutputArray E,
                           cv::OutputArray F, cv::OutputArray perViewErrors, int flags1, int flags2,
                           cv::TermCriteria criteria, StereoRefinementReport* report)
{
    const int flags[2] = {flags1, flags2};
    const cv::Size imageSize[2] = {imageSize1, imageSize2};
    cv::Mat K[2], D[2];
    prepareDevice(cameraMatrix1.getMat(), distCoeffs1.getMat(), flags1, 1, K[0], D[0]);
    prepareDevice(cameraMatrix2.getMat(), distCoeffs2.getMat(), flags2, 2, K[1], D[1]);

    const bool extrinsicGuess = ((flags1 | flags2) & cv::CALIB_USE_EXTRINSIC_GUESS) != 0;
    cv::Mat Rguess, Tguess;
    if (extrinsicGuess)
        readExtrinsicGuess(R, T, Rguess, Tguess);

    stereo_calib::StereoProblem P = stereo_calib::initStereoProblem(
        objectPoints, imagePoints1, imagePoints2, K, D, imageSize, Rguess, Tguess, flags[0], flags[1]);
    // The solver's residuals are counted per point and device, so that its
    // epsilon is a shift of the reprojected points in pixels.
    LevMarq solver(P.param.rows, 2 * P.pointsTotal, criteria, ((flags1 | flags2) & cv::CALIB_USE_LU) != 0);
    cv::Mat viewErrors;
    const double sumSq = refineJointly(P, solver, viewErrors);

    // Results, checked before anything is handed back.
    const StereoResult result = collectResult(P, solver.param, K, D, sumSq);
    if (!isFiniteResult(result, viewErrors))
        cv::error(cv::Error::StsNoConv, "the stereo calibration did not reach a finite result",
                  "stereoCalibrateDual", __FILE__, __LINE__);

    writeRelativePose(result, extrinsicGuess, R, T);
    if (E.needed())
        cv::Mat(result.E).copyTo(E);
    if (F.needed())
        cv::Mat(result.F).copyTo(F);
    if (perViewErrors.needed())
        viewErrors.copyTo(perViewErrors);
    if (report)
        fillReport(solver, *report);
    if (cameraMatrix1.needed())
        result.K[0].copyTo(cameraMatrix1);
    if (distCoeffs1.needed())
        result.D[0].copyTo(distCoeffs1);
    if (cameraMatrix2.needed())
        result.K[1].copyTo(cameraMatrix2);
    if (distCoeffs2.needed())
        result.D[1].copyTo(distCoeffs2);
    return result.rms;
}
