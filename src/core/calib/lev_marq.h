#pragma once

// A small masked Levenberg-Marquardt solver driven by its caller (reverse
// communication): the caller owns the model and evaluates it whenever the
// solver asks, filling the normal equations J^T J and J^T e itself. This
// suits problems whose Jacobian is sparse in blocks, such as bundle-like
// calibrations, where only the blocks of J^T J that are non-zero are formed.

#include <opencv2/core.hpp>

class LevMarq {
public:
    // nparams parameters (> 0). The criteria bound the number of accepted
    // steps (COUNT: maxCount clamped to 1..1000, else 30) and stop when a
    // step changes the parameter vector by less than epsilon relative to its
    // norm (EPS, else DBL_EPSILON). The damped normal equations are solved by
    // Cholesky decomposition, or by LU when useLU is set; a singular system
    // falls back to SVD.
    LevMarq(int nparams, const cv::TermCriteria& criteria, bool useLU = false);

    // Alternate-update protocol. Call in a loop until it returns false:
    //  - the caller evaluates the model at `param` (it may write ties into
    //    `param` and `prevParam`),
    //  - stores the sum of squared residuals into *errNorm,
    //  - and when JtJ and JtErr are non-null (a linearisation), adds J^T J into
    //    the upper triangle of *JtJ (the solver mirrors it) and J^T e into
    //    *JtErr, both zeroed by the solver, e being "model minus observation".
    // After the last call `param` holds the accepted parameters, and the last
    // evaluation the caller made was at exactly these parameters.
    bool updateAlt(cv::Mat*& JtJ, cv::Mat*& JtErr, double*& errNorm);

    // True while the evaluation the solver asked for is a linearisation.
    bool linearising() const { return state_ == CalcJ; }
    int iterations() const { return iters_; }
    int maxIterations() const { return maxIter_; }
    double epsilon() const { return epsilon_; }
    // Once updateAlt has returned false: whether the solver stopped because
    // it had taken maxIterations() steps while the last one still changed the
    // parameters by more than epsilon (not converged), and that last change
    // relative to the parameter vector's norm (0 before the first step).
    bool stoppedAtIterationLimit() const { return stoppedAtLimit_; }
    double lastRelativeChange() const { return lastChange_; }

    cv::Mat param;     // nparams x 1, CV_64F: the current parameters (set the start before the first call)
    cv::Mat prevParam; // nparams x 1, CV_64F: the last accepted parameters while a step is tried
    cv::Mat mask;      // nparams x 1, CV_8U: 1 = free, 0 = fixed (keeps its value)

private:
    enum State { Started, CalcJ, CheckErr, FinalEval, Done };

    void step();

    cv::Mat JtJ_, JtErr_;
    double errNorm_ = 0, prevErrNorm_ = 0;
    int lambdaLg10_ = -3;
    int iters_ = 0;
    double lastChange_ = 0;
    bool stoppedAtLimit_ = false;
    int maxIter_;
    double epsilon_;
    bool useLU_;
    State state_ = Started;
};
