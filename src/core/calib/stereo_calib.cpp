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
        const int f = flags[k];
        imgPt[k].convertTo(P.imagePoints[k], CV_64F);
        P.K[k] = cv::Matx33d::eye();
        P.dist[k] = cv::Mat::zeros(1, 14, CV_64F);
        if (f & kReadsCameraMatrix)
            P.K[k] = cv::Matx33d(K[k]);
        if (f & kReadsDistortion) {
            const cv::Mat d = D[k].reshape(1, 1);
            d.copyTo(P.dist[k].colRange(0, d.cols));
        }
        if (!usesGivenIntrinsics(f)) {
            cv::Mat Kc(P.K[k]), Dc = P.dist[k].clone();
            cv::calibrateCamera(
                objectPoints, k == 0 ? imagePoints1 : imagePoints2, imageSize[k], Kc, Dc, cv::noArray(),
                cv::noArray(), f,
                cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, DBL_EPSILON));
            P.K[k] = cv::Matx33d(Kc);
            const cv::Mat d = Dc.reshape(1, 1);
            d.copyTo(P.dist[k].colRange(0, std::min(d.cols, 14)));
        }
    }

    // Shared focal length: the device whose focal length is fixed leads;
    // otherwise both start from the mean. Principal points stay separate.
    const int anyFlags = flags1 | flags2;
    P.refineIntrinsics = !((flags1 & cv::CALIB_FIX_INTRINSIC) && (flags2 & cv::CALIB_FIX_INTRINSIC));
    if ((anyFlags & cv::CALIB_SAME_FOCAL_LENGTH) && P.refineIntrinsics) {
        const bool fixedFocal[2] = {(flags1 & (cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_INTRINSIC)) != 0,
                                    (flags2 & (cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_INTRINSIC)) != 0};
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

    const int nparams = 6 * (P.nimages + 1) + (P.refineIntrinsics ? 36 : 0);
    P.param = cv::Mat::zeros(nparams, 1, CV_64F);
    P.mask = cv::Mat::ones(nparams, 1, CV_8U);
    for (int k = 0; k < 2; ++k) {
        int f = flags[k];
        if (!(f & cv::CALIB_RATIONAL_MODEL))
            f |= cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 | cv::CALIB_FIX_K6;
        if (!(f & cv::CALIB_THIN_PRISM_MODEL))
            f |= cv::CALIB_FIX_S1_S2_S3_S4;
        if (!(f & cv::CALIB_TILTED_MODEL))
            f |= cv::CALIB_FIX_TAUX_TAUY;
        P.flags[k] = f;
        if (!P.refineIntrinsics)
            continue;
        uchar* m = P.mask.ptr<uchar>() + P.intrinsicStart(k);
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

    // Board pose of every view in both devices, and the relative pose it implies.
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
        cv::Matx33d R1, R2;
        cv::Rodrigues(r[0], R1);
        cv::Rodrigues(r[1], R2);
        const cv::Matx33d Rrel = R2 * R1.t();
        const cv::Vec3d trel = t[1] - Rrel * t[0];
        cv::Vec3d rrel;
        cv::Rodrigues(Rrel, rrel);
        for (int a = 0; a < 3; ++a) {
            relative[a].push_back(rrel[a]);
            relative[3 + a].push_back(trel[a]);
        }
        offset += ni;
    }

    if (!Rguess.empty()) {
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
    } else {
        for (int a = 0; a < 6; ++a)
            p[a] = median(relative[a]);
    }

    if (P.refineIntrinsics) {
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
    return P;
}

double StereoProblem::evaluate(cv::Mat& param, cv::Mat* prevParam, cv::Mat* JtJ, cv::Mat* JtErr,
                               cv::Mat* perViewErrors, std::vector<double>* residuals)
{
    CV_Assert(param.type() == CV_64F && param.isContinuous() &&
              (int)param.total() == 6 * (nimages + 1) + (refineIntrinsics ? 36 : 0));
    const bool linearise = JtJ && JtErr;
    double* p = param.ptr<double>();

    // Global parameter index of each of a device's 18 intrinsic values.
    int intrinsicIndex[2][18];
    if (refineIntrinsics) {
        auto tie = [this](double* q) {
            for (int k = 0; k < 2; ++k)
                if (aspectRatio[k] > 0)
                    q[intrinsicStart(k)] = aspectRatio[k] * q[intrinsicStart(k) + 1];
            if (focalLeader >= 0) {
                const int lead = intrinsicStart(focalLeader), follow = intrinsicStart(1 - focalLeader);
                q[follow] = q[lead];
                q[follow + 1] = q[lead + 1];
            }
        };
        tie(p);
        if (prevParam)
            tie(prevParam->ptr<double>());
        for (int k = 0; k < 2; ++k) {
            const double* c = p + intrinsicStart(k);
            K[k] = cv::Matx33d(c[0], 0, c[2], 0, c[1], c[3], 0, 0, 1);
            std::copy(c + 4, c + 18, dist[k].ptr<double>());
            for (int j = 0; j < 18; ++j)
                intrinsicIndex[k][j] = intrinsicStart(k) + j;
        }
        if (focalLeader >= 0)
            for (int j = 0; j < 2; ++j)
                intrinsicIndex[1 - focalLeader][j] = intrinsicStart(focalLeader) + j;
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
    std::vector<int>& index = w.index;

    const cv::Vec3d rrel(p[0], p[1], p[2]), trel(p[3], p[4], p[5]);
    double total = 0;
    if (residuals)
        residuals->clear();
    for (int i = 0, offset = 0; i < nimages; ++i) {
        const int ni = npoints[i], e = 6 * (i + 1);
        const cv::Vec3d r1(p[e], p[e + 1], p[e + 2]), t1(p[e + 3], p[e + 4], p[e + 5]);
        cv::Vec3d r2, t2;
        cv::Matx33d dr3dr1, dr3dr2, dt3dt1, dt3dr2, dt3dt2;
        if (linearise)
            cv::composeRT(r1, t1, rrel, trel, r2, t2, dr3dr1, cv::noArray(), dr3dr2, cv::noArray(),
                          cv::noArray(), dt3dt1, dt3dr2, dt3dt2);
        else
            cv::composeRT(r1, t1, rrel, trel, r2, t2);
        const cv::Mat obj = objectPoints.colRange(offset, offset + ni);

        for (int k = 0; k < 2; ++k) {
            cv::Mat proj = w.projected.rowRange(0, ni), J = w.jacobian[k].rowRange(0, 2 * ni);
            const double ar = aspectRatio[k];
            const cv::Mat distk = dist[k].colRange(0, ndist[k]);
            if (linearise)
                cv::projectPoints(obj, k ? r2 : r1, k ? t2 : t1, K[k], distk, proj, J, ar);
            else
                cv::projectPoints(obj, k ? r2 : r1, k ? t2 : t1, K[k], distk, proj, cv::noArray(), ar);

            const double* pr = proj.ptr<double>();
            const double* detected = imagePoints[k].ptr<double>() + 2 * offset;
            double* res = w.residual.ptr<double>();
            double s = 0;
            for (int a = 0; a < 2 * ni; ++a) {
                res[a] = pr[a] - detected[a];
                s += res[a] * res[a];
            }
            if (residuals)
                residuals->insert(residuals->end(), res, res + 2 * ni);

            if (linearise) {
                // Columns of this device's block and their parameter indices:
                // [relative pose (device 2 only) | view pose in device 1 | intrinsics].
                int m = 0;
                cv::Mat A;
                if (k == 0) {
                    A = J.colRange(0, 6 + nintr[k]);
                    for (int a = 0; a < 6; ++a)
                        index[m++] = e + a;
                } else {
                    A = w.block.rowRange(0, 2 * ni);
                    for (int row = 0; row < 2 * ni; ++row) {
                        const double* j = J.ptr<double>(row);
                        double* b = A.ptr<double>(row);
                        for (int c = 0; c < 3; ++c) {
                            double drrel = 0, dtrel = 0, dr1 = 0, dt1 = 0;
                            for (int a = 0; a < 3; ++a) {
                                drrel += j[a] * dr3dr2(a, c) + j[3 + a] * dt3dr2(a, c);
                                dtrel += j[3 + a] * dt3dt2(a, c);
                                dr1 += j[a] * dr3dr1(a, c);
                                dt1 += j[3 + a] * dt3dt1(a, c);
                            }
                            b[c] = drrel;
                            b[3 + c] = dtrel;
                            b[6 + c] = dr1;
                            b[9 + c] = dt1;
                        }
                        std::copy(j + 6, j + 6 + nintr[k], b + 12);
                    }
                    for (int a = 0; a < 6; ++a)
                        index[m++] = a;
                    for (int a = 0; a < 6; ++a)
                        index[m++] = e + a;
                }
                for (int a = 0; a < nintr[k]; ++a)
                    index[m++] = intrinsicIndex[k][a];

                // Upper triangle of A^T A and A^T r, row by row (the blocks are
                // too narrow for a general matrix product to pay off).
                cv::Mat& G = w.G[k];
                cv::Mat& g = w.g[k];
                G.create(m, m, CV_64F);
                g.create(m, 1, CV_64F);
                G.setTo(0);
                g.setTo(0);
                double* gv = g.ptr<double>();
                for (int row = 0; row < 2 * ni; ++row) {
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
                double* jtj = JtJ->ptr<double>();
                double* jte = JtErr->ptr<double>();
                const size_t stride = JtJ->step1();
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

            if (perViewErrors)
                perViewErrors->at<double>(i, k) = std::sqrt(s / ni);
            total += s;
        }
        offset += ni;
    }
    return total;
}

} // namespace stereo_calib

double stereoCalibrateDual(cv::InputArrayOfArrays objectPoints, cv::InputArrayOfArrays imagePoints1,
                           cv::InputArrayOfArrays imagePoints2, cv::InputOutputArray cameraMatrix1,
                           cv::InputOutputArray distCoeffs1, cv::InputOutputArray cameraMatrix2,
                           cv::InputOutputArray distCoeffs2, cv::Size imageSize1, cv::Size imageSize2,
                           cv::InputOutputArray R, cv::InputOutputArray T, cv::OutputArray E,
                           cv::OutputArray F, cv::OutputArray perViewErrors, int flags1, int flags2,
                           cv::TermCriteria criteria, StereoRefinementReport* report)
{
    const char* func = "stereoCalibrateDual";
    const int flags[2] = {flags1, flags2};
    const cv::Mat givenK[2] = {cameraMatrix1.getMat(), cameraMatrix2.getMat()};
    const cv::Mat givenD[2] = {distCoeffs1.getMat(), distCoeffs2.getMat()};
    const cv::Size imageSize[2] = {imageSize1, imageSize2};

    cv::Mat K[2], D14[2], D[2];
    for (int k = 0; k < 2; ++k) {
        K[k] = prepareCameraMatrix(givenK[k], flags[k], k + 1);
        D14[k] = prepareDistCoeffs(givenD[k], CV_64F, 14);
        D[k] = D14[k];
        if (!(flags[k] & kExtendedModels)) {
            // The five-coefficient model: what lies beyond k3 cannot be used.
            const cv::Mat beyond = D14[k].rows == 1 ? D14[k].colRange(5, 14) : D14[k].rowRange(5, 14);
            if ((flags[k] & kReadsDistortion) && cv::countNonZero(beyond) > 0)
                cv::error(
                    cv::Error::StsBadArg,
                    cv::format(
                        "distCoeffs%d holds non-zero coefficients beyond k1, k2, p1, p2, k3, but flags%d "
                        "select none of CALIB_RATIONAL_MODEL, CALIB_THIN_PRISM_MODEL, CALIB_TILTED_MODEL",
                        k + 1, k + 1),
                    func, __FILE__, __LINE__);
            D[k] = D14[k].rows == 1 ? D14[k].colRange(0, 5) : D14[k].rowRange(0, 5);
        }
        if (usesGivenIntrinsics(flags[k]) && !cv::checkRange(D[k]))
            cv::error(cv::Error::StsBadArg, cv::format("distCoeffs%d must be finite", k + 1), func, __FILE__,
                      __LINE__);
    }

    // The extrinsic guess is read from the caller's R and T, which keep their storage.
    const bool extrinsicGuess = ((flags1 | flags2) & cv::CALIB_USE_EXTRINSIC_GUESS) != 0;
    cv::Mat Rguess, Tguess;
    if (extrinsicGuess) {
        Rguess = R.getMat();
        Tguess = T.getMat();
        const int rdepth = Rguess.depth(), tdepth = Tguess.depth();
        const bool rOk = Rguess.channels() == 1 && (rdepth == CV_32F || rdepth == CV_64F) &&
                         ((Rguess.rows == 3 && Rguess.cols == 3) ||
                          (Rguess.total() == 3 && (Rguess.rows == 1 || Rguess.cols == 1)));
        if (!rOk)
            cv::error(
                cv::Error::StsBadArg,
                "R must be a 3x3 rotation matrix or a 3x1 or 1x3 rotation vector of type CV_32F or CV_64F "
                "when CALIB_USE_EXTRINSIC_GUESS is set",
                func, __FILE__, __LINE__);
        const bool tOk = Tguess.channels() == 1 && (tdepth == CV_32F || tdepth == CV_64F) &&
                         Tguess.total() == 3 && (Tguess.rows == 1 || Tguess.cols == 1);
        if (!tOk)
            cv::error(cv::Error::StsBadArg,
                      "T must be a 3x1 or 1x3 vector of type CV_32F or CV_64F when CALIB_USE_EXTRINSIC_GUESS "
                      "is set",
                      func, __FILE__, __LINE__);
        if (!cv::checkRange(Rguess) || !cv::checkRange(Tguess))
            cv::error(cv::Error::StsBadArg, "R and T must be finite when CALIB_USE_EXTRINSIC_GUESS is set",
                      func, __FILE__, __LINE__);
    }

    stereo_calib::StereoProblem P = stereo_calib::initStereoProblem(
        objectPoints, imagePoints1, imagePoints2, K, D, imageSize, Rguess, Tguess, flags1, flags2);

    // Joint refinement.
    LevMarq solver(P.param.rows, criteria, ((flags1 | flags2) & cv::CALIB_USE_LU) != 0);
    P.param.copyTo(solver.param);
    P.mask.copyTo(solver.mask);
    cv::Mat viewErrors(P.nimages, 2, CV_64F);
    double sumSq = 0;
    for (;;) {
        cv::Mat *JtJ, *JtErr;
        double* errNorm;
        if (!solver.updateAlt(JtJ, JtErr, errNorm))
            break;
        sumSq = P.evaluate(solver.param, &solver.prevParam, JtJ, JtErr, &viewErrors);
        *errNorm = sumSq;
    }

    // Results, checked before anything is handed back.
    const double* p = solver.param.ptr<double>();
    const cv::Vec3d rvec(p[0], p[1], p[2]), tvec(p[3], p[4], p[5]);
    cv::Matx33d Rmat;
    cv::Rodrigues(rvec, Rmat);
    cv::Mat Kout[2], Dout[2];
    for (int k = 0; k < 2; ++k) {
        if (P.refineIntrinsics) {
            Kout[k] = cv::Mat(P.K[k], true);
            Dout[k] = D[k].clone();
            P.dist[k].colRange(0, (int)D[k].total()).reshape(1, D[k].rows).copyTo(Dout[k]);
        } else {
            Kout[k] = K[k].clone();
            Dout[k] = D[k].clone();
        }
    }
    const cv::Matx33d tx(0, -tvec[2], tvec[1], tvec[2], 0, -tvec[0], -tvec[1], tvec[0], 0);
    const cv::Matx33d Emat = tx * Rmat;
    cv::Matx33d Fmat =
        cv::Matx33d(Kout[1]).inv(cv::DECOMP_LU).t() * Emat * cv::Matx33d(Kout[0]).inv(cv::DECOMP_LU);
    if (std::fabs(Fmat(2, 2)) > 0)
        Fmat *= 1.0 / Fmat(2, 2);
    const double rms = std::sqrt(sumSq / (2.0 * P.pointsTotal));

    if (!std::isfinite(rms) || !cv::checkRange(Rmat) || !cv::checkRange(tvec) || !isFinite(Kout[0]) ||
        !isFinite(Kout[1]) || !isFinite(Dout[0]) || !isFinite(Dout[1]) || !cv::checkRange(Emat) ||
        !cv::checkRange(Fmat) || !cv::checkRange(viewErrors))
        cv::error(cv::Error::StsNoConv, "the stereo calibration did not reach a finite result", func,
                  __FILE__, __LINE__);

    if (extrinsicGuess) {
        const cv::Mat Rcaller = R.getMat();
        if (Rcaller.rows == 3 && Rcaller.cols == 3)
            writeInPlace(cv::Mat(Rmat), Rcaller);
        else
            writeInPlace(cv::Mat(rvec), Rcaller);
        writeInPlace(cv::Mat(tvec), T.getMat());
    } else {
        R.create(3, 3, CV_64F);
        cv::Mat(Rmat).copyTo(R.getMat());
        T.create(3, 1, CV_64F);
        cv::Mat(tvec).copyTo(T.getMat());
    }
    if (E.needed())
        cv::Mat(Emat).copyTo(E);
    if (F.needed())
        cv::Mat(Fmat).copyTo(F);
    if (perViewErrors.needed())
        viewErrors.copyTo(perViewErrors);
    if (report) {
        report->iterations = solver.iterations();
        report->maxIterations = solver.maxIterations();
        report->epsilon = solver.epsilon();
        report->reachedIterationLimit = solver.stoppedAtIterationLimit();
        report->lastChange = solver.lastRelativeChange();
    }
    const cv::_InputOutputArray* cameraMatrices[2] = {&cameraMatrix1, &cameraMatrix2};
    const cv::_InputOutputArray* distCoeffs[2] = {&distCoeffs1, &distCoeffs2};
    for (int k = 0; k < 2; ++k) {
        if (cameraMatrices[k]->needed())
            Kout[k].copyTo(*cameraMatrices[k]);
        if (distCoeffs[k]->needed())
            Dout[k].copyTo(*distCoeffs[k]);
    }
    return rms;
}
