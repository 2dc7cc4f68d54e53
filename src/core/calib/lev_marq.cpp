#include "core/calib/lev_marq.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

LevMarq::LevMarq(int nparams, int residualCount, const cv::TermCriteria& criteria, bool useLU)
    : residualCount_(residualCount), useLU_(useLU)
{
    CV_Assert(nparams > 0 && residualCount > 0);
    param = cv::Mat::zeros(nparams, 1, CV_64F);
    prevParam = cv::Mat::zeros(nparams, 1, CV_64F);
    mask = cv::Mat::ones(nparams, 1, CV_8U);
    JtJ_ = cv::Mat::zeros(nparams, nparams, CV_64F);
    JtErr_ = cv::Mat::zeros(nparams, 1, CV_64F);
    maxIter_ =
        (criteria.type & cv::TermCriteria::COUNT) ? std::min(std::max(criteria.maxCount, 1), 1000) : 30;
    epsilon_ = (criteria.type & cv::TermCriteria::EPS) ? std::max(criteria.epsilon, 0.0) : DBL_EPSILON;
}

bool LevMarq::updateAlt(cv::Mat*& JtJ, cv::Mat*& JtErr, double*& errNorm)
{
    JtJ = nullptr;
    JtErr = nullptr;
    errNorm = nullptr;
    switch (state_) {
    case Started:
        CV_Assert(param.rows == JtJ_.rows && param.cols == 1 && param.type() == CV_64F);
        CV_Assert(mask.rows == JtJ_.rows && mask.cols == 1 && mask.type() == CV_8U);
        iters_ = 0;
        remainingShift_ = 0;
        stop_ = Stop::Converged;
        refused_ = false;
        break; // to the first linearisation
    case CalcJ:
        cv::completeSymm(JtJ_, false);
        prevErrNorm_ = errNorm_;
        param.copyTo(prevParam);
        freeIndices(free_);
        if (iters_ > 0 && finishAtLinearisation()) {
            if (stop_ == Stop::Converged && remainingShift_ > 0) {
                step(fullStep_);
                errNorm_ = 0;
                errNorm = &errNorm_;
                state_ = FinalStep;
                return true;
            }
            state_ = Done;
            return false;
        }
        step(solveFree(free_, std::pow(10.0, lambdaLg10_)));
        errNorm_ = 0;
        errNorm = &errNorm_;
        state_ = CheckErr;
        return true;
    case CheckErr:
        // A larger or non-finite error rejects the step: more damping.
        if (!(errNorm_ <= prevErrNorm_)) {
            if (++lambdaLg10_ <= 16) {
                step(solveFree(free_, std::pow(10.0, lambdaLg10_)));
                errNorm_ = 0;
                errNorm = &errNorm_;
                return true;
            }
            // No step improves: the result is where the solver last linearised
            // (whose full step is solved only now when that was the start,
            // which may have been converged already).
            prevParam.copyTo(param);
            if (iters_ == 0)
                solveFullStep();
            stop_ = converged() ? Stop::Converged : Stop::NoDescent;
            refused_ = true;
            state_ = Done;
            return false;
        }
        lambdaLg10_ = std::max(lambdaLg10_ - 1, -16);
        acceptedErrNorm_ = prevErrNorm_;
        ++iters_;
        break; // to the next linearisation, which also tells whether this was the last step
    case FinalStep:
        if (!(errNorm_ <= prevErrNorm_)) {
            prevParam.copyTo(param);
            refused_ = true;
        }
        state_ = Done;
        return false;
    case Done:
        return false;
    }
    JtJ_.setTo(0);
    JtErr_.setTo(0);
    errNorm_ = 0;
    JtJ = &JtJ_;
    JtErr = &JtErr_;
    errNorm = &errNorm_;
    state_ = CalcJ;
    return true;
}

// At a linearisation after an accepted step: the solver ends here when a
// full Gauss-Newton step would move the model by less than epsilon (RMS over
// the residuals), that is, when it has converged; when the last accepted
// step no longer changed the error; or at the step limit. (Called only after
// a step was accepted: the start is seldom converged, and its undamped
// normal equations often need the costly SVD.)
bool LevMarq::finishAtLinearisation()
{
    solveFullStep();
    if (converged()) {
        stop_ = Stop::Converged;
        return true;
    }
    // The error can no longer tell the steps apart at double precision.
    const bool stationary = !(acceptedErrNorm_ - errNorm_ > 4 * DBL_EPSILON * acceptedErrNorm_);
    if (stationary) {
        stop_ = Stop::Stalled;
        return true;
    }
    if (iters_ >= maxIter_) {
        stop_ = Stop::IterationLimit;
        return true;
    }
    return false;
}

void LevMarq::freeIndices(std::vector<int>& free) const
{
    free.clear();
    for (int i = 0; i < JtJ_.rows; ++i)
        if (mask.at<uchar>(i))
            free.push_back(i);
}

// Solves (A + lambda diag(A)) d = J^T e over the free parameters.
cv::Mat LevMarq::solveFree(const std::vector<int>& free, double lambda) const
{
    const int m = (int)free.size();
    if (m == 0)
        return cv::Mat();
    cv::Mat A(m, m, CV_64F), b(m, 1, CV_64F), d;
    for (int a = 0; a < m; ++a) {
        const double* src = JtJ_.ptr<double>(free[a]);
        double* dst = A.ptr<double>(a);
        for (int c = 0; c < m; ++c)
            dst[c] = src[free[c]];
        dst[a] *= 1.0 + lambda;
        b.at<double>(a) = JtErr_.at<double>(free[a]);
    }
    // No decomposition is defined for values that are not finite (LAPACK's
    // SVD ends the process on them).
    if (!cv::checkRange(A) || !cv::checkRange(b))
        cv::error(cv::Error::StsNoConv, "the normal equations are not finite", "LevMarq", __FILE__, __LINE__);
    const bool solved = cv::solve(A, b, d, useLU_ ? cv::DECOMP_LU : cv::DECOMP_CHOLESKY);
    if (!solved || !solvesNormalEquations(A, b, d))
        cv::solve(A, b, d, cv::DECOMP_SVD);
    return d;
}

// Whether d is a solution of A d = b for a symmetric positive semi-definite
// A: finite, d^T A d > 0, and d^T A d equal to d^T b up to rounding. Cholesky
// and LU report success on matrices that are singular to double precision
// (a condition number of 1e16 and more) and then return a d that solves
// nothing: hundreds of times too long, with d^T A d of either sign. (A zero b
// has d = 0, which no decomposition needs to be checked for.)
bool LevMarq::solvesNormalEquations(const cv::Mat& A, const cv::Mat& b, const cv::Mat& d)
{
    if (!cv::checkRange(d))
        return false;
    if (cv::countNonZero(b) == 0)
        return true;
    const double dAd = d.dot(A * d);
    const double db = d.dot(b);
    return dAd > 0 && std::fabs(dAd - db) <= kSolveTolerance * dAd;
}

// The undamped step d from the accepted parameters, and how far it would
// move the model: the RMS over the residuals of J d, sqrt(d^T J^T J d /
// count). Where a problem has flat valleys (focal length against distance),
// this stays above epsilon while the error itself hardly changes any more.
void LevMarq::solveFullStep()
{
    if (free_.empty()) {
        fullStep_.release();
        remainingShift_ = 0;
        return;
    }
    fullStep_ = solveFree(free_, 0.0);
    double dAd = 0;
    for (size_t a = 0; a < free_.size(); ++a) {
        const double* row = JtJ_.ptr<double>(free_[a]);
        double Ad = 0;
        for (size_t c = 0; c < free_.size(); ++c)
            Ad += row[free_[c]] * fullStep_.at<double>((int)c);
        dAd += fullStep_.at<double>((int)a) * Ad;
    }
    // A step that moves nothing is either no step (an exact fit: J^T e = 0)
    // or a failed solve, which tells nothing of convergence.
    if (cv::countNonZero(fullStep_) == 0)
        remainingShift_ = 0;
    else if (!(dAd > 0))
        remainingShift_ = HUGE_VAL;
    else
        remainingShift_ = std::sqrt(dAd / residualCount_);
}

// Whether the last full step moves the model by less than epsilon. No shift
// at all (no free parameter, or an exact fit) is converged at any epsilon.
bool LevMarq::converged() const
{
    return remainingShift_ < epsilon_ || remainingShift_ == 0;
}

// A step d over the free parameters from prevParam: param = prevParam - d.
void LevMarq::step(const cv::Mat& d)
{
    prevParam.copyTo(param);
    for (size_t a = 0; a < free_.size(); ++a)
        param.at<double>(free_[a]) = prevParam.at<double>(free_[a]) - d.at<double>((int)a);
}
