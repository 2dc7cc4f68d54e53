#pragma once

// Hypothesis sampler of J-Linkage (R. Toldo, A. Fusiello, ECCV 2008): draws
// random minimal sample sets of data points and turns each set into one
// model hypothesis through a callback.
//
// The first point of a set is drawn from the per-point weights; the further
// points by the sampling type:
//   0 uniformly, 1 by an exponential weight of the distance to the first
//   point (exp(-sigma / d): far points are more likely), 2 by weights that
//   favour the first point's k nearest neighbours, 3 directly among those
//   neighbours (with probability near, else uniformly).
//
// Random numbers: a Mersenne twister, seeded from the clock in seconds at
// construction (two samplers made within one second draw alike) or by
// setSeed. Each draw r is the generator's value divided by its largest value,
// a float in [0, 1].

#include "core/jlinkage/KdTree.h"

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

struct SamplerPoint {
    float coordinate(std::size_t i) const { return (*coords)[i]; }
    const std::vector<float>& coordinates() const { return *coords; }

    std::vector<float> ownCoordinates;
    const std::vector<float>* coords = nullptr;
    unsigned index = 0;
    std::vector<float> distances;   // exponential mode: distance to every point
    std::vector<float> nextWeights; // modes 1 and 2: weight of every point as a further point
    std::vector<float> nextCdf;
    bool excludedFromSearch = false;
};

class HypothesisSampler {
public:
    using ModelFunction = std::function<std::vector<float>(const std::vector<SamplerPoint>& points,
                                                           const std::vector<unsigned>& set)>;
    using Progress = std::function<void(float)>;

    // capacity 0: as many points as the first assignPoints brings.
    HypothesisSampler(ModelFunction modelFunction, std::size_t dimension, unsigned minimalSetSize,
                      unsigned capacity = 0, bool copyData = true);
    HypothesisSampler(const HypothesisSampler&) = delete;
    HypothesisSampler& operator=(const HypothesisSampler&) = delete;

    void setSeed(std::uint32_t seed) { rng.seed(seed); }

    // Number of points taken, or -1 (nothing changed) when there are not more
    // points than minimalSetSize.
    int assignPoints(const std::vector<std::vector<float>>& pointList);
    void weightPoint(unsigned i, float w);
    void useExponentialSampling(float sigma);
    void useNeighbourSampling(int k, float near, float far, bool drawAmongNeighbours);

    // Draws N hypotheses into output[start ... start + N - 1], enlarging it as
    // needed. false (output untouched) when too few points are active.
    // stop, when given, is asked after each progress report; when it answers
    // true the drawing ends there and false is returned (output then holds
    // the hypotheses drawn so far and empty ones after them).
    bool drawHypotheses(unsigned N, unsigned start, std::vector<std::vector<float>>& output,
                        const Progress& progress = {}, const std::function<bool()>& stop = {});

    // One sample set (exposed for tests).
    std::vector<unsigned> pickMinimalSet();
    float draw();

    int samplingType() const { return type; }
    float nearProbability() const { return nearP; }
    float farProbability() const { return farP; }
    const std::vector<float>& cdf() const { return cdfValues; }
    const std::vector<SamplerPoint>& points() const { return pointList; }

    // Cumulative distribution of w as the sampler uses it (nothing when the
    // lengths differ).
    static void cumulative(const std::vector<float>& w, std::vector<float>& cdf);
    // First j with cdf[j] > r, else the last index.
    static unsigned drawFrom(const std::vector<float>& cdf, float r);

private:
    unsigned drawUniform();

    std::vector<SamplerPoint> pointList;
    bool copyData;
    int type = 0;
    float sigma = 1.f;
    int kNeighbours = 10;
    float nearP = 1.f;
    float farP = 2.f;
    std::vector<float> weights;
    std::vector<float> cdfValues;
    unsigned minimalSetSize;
    KdTree<SamplerPoint> tree;
    unsigned capacity;
    unsigned activeCount = 0;
    ModelFunction modelFunction;
    std::mt19937 rng;
};
