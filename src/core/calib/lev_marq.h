#pragma once

// A small masked Levenberg-Marquardt solver driven by its caller (reverse
// communication): the caller owns the model and evaluates it whenever the
// solver asks, filling the normal equations J^T J and J^T e itself. This
// suits problems whose Jacobian is sparse in blocks, such as bundle-like
// calibrations, where only the blocks of J^T J that are non-zero are formed.

#include <opencv2/core.hpp>

#include <vector>

class LevMarq {
public:
    // How the solver ended. Only Converged is a converged end: at each of
    // the others a full Gauss-Newton step from the result would still move
    // the model by epsilon or more. The full step that showed convergence is
    // taken unless it raises the error.
    enum class Stop {
        Converged,      // a full step would move the model by less than epsilon
        IterationLimit, // maxIterations() steps taken
        NoDescent,      // no damped step from the result lowered the error
        Stalled         // the last step no longer changed the error at double precision
    };

    // nparams parameters (> 0) fitted to residualCount residuals (> 0). The
    // criteria bound the number of accepted steps (COUNT: maxCount clamped to
    // 1..1000, else 30) and set the convergence threshold epsilon (EPS, else
    // DBL_EPSILON), in the residuals' unit: the solver has converged once a
    // full Gauss-Newton step from the accepted parameters would move the
    // model by less than epsilon, as the RMS over the residuals of J d. (A
    // bound on the parameters' relative change stops far too early where
    // they mix units and magnitudes, as focal lengths in pixels and
    // translations in millimetres do; a bound on the change of the RMS error
    // stops early in the flat valleys such problems have.)
    // Once converged, that full step, already solved for the test, is taken
    // as the last one: one more evaluation, without a linearisation, and
    // kept unless it raises the error. A shift just below epsilon can still
    // be a fair part of a standard error: moving the parameters by one
    // standard error moves the model by only about the residuals' noise over
    // sqrt(residualCount), RMS. The full step removes nearly all of what is
    // left. The solver also ends, without converging, at the step limit,
    // where no damped step lowers the error, and where an accepted step no
    // longer changes the error at double precision (stop()).
    // The damped normal equations are solved by Cholesky decomposition, or by
    // LU when useLU is set; where that is no solution (the system is singular
    // to double precision: d^T A d not positive, or not d^T J^T e to
    // rounding) they are solved by SVD. A full step that still does not move
    // the model by a positive amount is a failed solve, not convergence: its
    // shift counts as infinite. Normal equations that are not finite raise
    // StsNoConv.
    LevMarq(int nparams, int residualCount, const cv::TermCriteria& criteria, bool useLU = false);

    // Alternate-update protocol. Call in a loop until it returns false:
    //  - the caller evaluates the model at `param` (it may write ties into
    //    `param` and `prevParam`),
    //  - stores the sum of squared residuals into *errNorm,
    //  - and when JtJ and JtErr are non-null (a linearisation), adds J^T J into
    //    the upper triangle of *JtJ (the solver mirrors it) and J^T e into
    //    *JtErr, both zeroed by the solver, e being "model minus observation".
    // After the last call `param` holds the accepted parameters. The caller's
    // last evaluation was made at exactly these parameters, unless
    // lastEvaluationRefused(): then it was a step the solver refused, and the
    // caller's last linearisation was made at `param`.
    bool updateAlt(cv::Mat*& JtJ, cv::Mat*& JtErr, double*& errNorm);

    // True while the evaluation the solver asked for is a linearisation.
    bool linearising() const { return state_ == CalcJ; }
    // Accepted damped steps (the final full step of a converged run is not counted).
    int iterations() const { return iters_; }
    int maxIterations() const { return maxIter_; }
    double epsilon() const { return epsilon_; }
    // Once updateAlt has returned false: how the solver ended; how far a
    // full Gauss-Newton step would move the model (RMS over the residuals)
    // from the returned parameters, or, when converged, from the parameters
    // before the final step; and whether the caller's last evaluation was
    // at a refused step.
    Stop stop() const { return stop_; }
    double remainingShift() const { return remainingShift_; }
    bool lastEvaluationRefused() const { return refused_; }

    cv::Mat param;     // nparams x 1, CV_64F: the current parameters (set the start before the first call)
    cv::Mat prevParam; // nparams x 1, CV_64F: the last accepted parameters while a step is tried
    cv::Mat mask;      // nparams x 1, CV_8U: 1 = free, 0 = fixed (keeps its value)

private:
    enum State { Started, CalcJ, CheckErr, FinalStep, Done };

    void freeIndices(std::vector<int>& free) const;
    cv::Mat solveFree(const std::vector<int>& free, double lambda) const;
    void solveFullStep();
    bool converged() const;
    bool finishAtLinearisation();
    void step(const cv::Mat& d);
    static bool solvesNormalEquations(const cv::Mat& A, const cv::Mat& b, const cv::Mat& d);

    // How closely d^T A d must equal d^T b for a solution to be accepted,
    // relative to d^T A d.
    static constexpr double kSolveTolerance = 1e-6;

    cv::Mat JtJ_, JtErr_;
    std::vector<int> free_; // the free parameters' indices, at the last linearisation
    cv::Mat fullStep_;      // the undamped step over free_ from the last linearisation
    double errNorm_ = 0, prevErrNorm_ = 0;
    double acceptedErrNorm_ = 0; // the error before the last accepted step
    int lambdaLg10_ = -3;
    int iters_ = 0;
    int residualCount_;
    double remainingShift_ = 0;
    Stop stop_ = Stop::Converged;
    bool refused_ = false;
    int maxIter_;
    double epsilon_;
    bool useLU_;
    State state_ = Started;
};
