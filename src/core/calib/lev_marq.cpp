#include "core/calib/lev_marq.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

LevMarq::LevMarq(int nparams, const cv::TermCriteria& criteria, bool useLU) : useLU_(useLU)
{
    CV_Assert(nparams > 0);
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
        JtJ_.setTo(0);
        JtErr_.setTo(0);
        errNorm_ = 0;
        JtJ = &JtJ_;
        JtErr = &JtErr_;
        errNorm = &errNorm_;
        iters_ = 0;
        lastChange_ = 0;
        stoppedAtLimit_ = false;
        state_ = CalcJ;
        return true;
    case CalcJ:
        cv::completeSymm(JtJ_, false);
        prevErrNorm_ = errNorm_;
        param.copyTo(prevParam);
        step();
        errNorm_ = 0;
        errNorm = &errNorm_;
        state_ = CheckErr;
        return true;
    case CheckErr:
        // A larger or non-finite error rejects the step: more damping.
        if (!(errNorm_ <= prevErrNorm_)) {
            if (++lambdaLg10_ <= 16) {
                step();
                errNorm_ = 0;
                errNorm = &errNorm_;
                return true;
            }
            // No step improves: return to the accepted parameters and have
            // them evaluated once more, so the caller's last evaluation is theirs.
            prevParam.copyTo(param);
            errNorm_ = 0;
            errNorm = &errNorm_;
            state_ = FinalEval;
            return true;
        }
        lambdaLg10_ = std::max(lambdaLg10_ - 1, -16);
        {
            const double change = cv::norm(param, prevParam, cv::NORM_L2);
            const double size = cv::norm(prevParam, cv::NORM_L2);
            lastChange_ = size > 0 ? change / size : change;
            const bool converged = change <= epsilon_ * size;
            if (++iters_ >= maxIter_ || converged) {
                stoppedAtLimit_ = !converged;
                state_ = Done;
                return false;
            }
        }
        prevErrNorm_ = errNorm_;
        JtJ_.setTo(0);
        JtErr_.setTo(0);
        JtJ = &JtJ_;
        JtErr = &JtErr_;
        errNorm = &errNorm_;
        state_ = CalcJ;
        return true;
    case FinalEval:
        state_ = Done;
        return false;
    case Done:
        break;
    }
    return false;
}

// One damped Gauss-Newton step from prevParam over the free parameters:
// (A + lambda diag(A)) d = J^T e, param = prevParam - d.
void LevMarq::step()
{
    const int n = JtJ_.rows;
    std::vector<int> free;
    free.reserve(n);
    for (int i = 0; i < n; ++i)
        if (mask.at<uchar>(i))
            free.push_back(i);
    const int m = (int)free.size();
    prevParam.copyTo(param);
    if (m == 0)
        return;
    const double lambda = std::pow(10.0, lambdaLg10_);
    cv::Mat A(m, m, CV_64F), b(m, 1, CV_64F), d;
    for (int a = 0; a < m; ++a) {
        const double* src = JtJ_.ptr<double>(free[a]);
        double* dst = A.ptr<double>(a);
        for (int c = 0; c < m; ++c)
            dst[c] = src[free[c]];
        dst[a] *= 1.0 + lambda;
        b.at<double>(a) = JtErr_.at<double>(free[a]);
    }
    bool solved = cv::solve(A, b, d, useLU_ ? cv::DECOMP_LU : cv::DECOMP_CHOLESKY);
    if (!solved || !cv::checkRange(d))
        cv::solve(A, b, d, cv::DECOMP_SVD);
    for (int a = 0; a < m; ++a)
        param.at<double>(free[a]) = prevParam.at<double>(free[a]) - d.at<double>(a);
}
