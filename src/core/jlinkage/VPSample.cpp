#include "core/jlinkage/VPSample.h"

#include "core/jlinkage/HypothesisSampler.h"
#include "core/jlinkage/vp_models.h"

#include <cmath>

std::vector<std::vector<float>> VPSample::sample(const std::vector<std::vector<float>>& points, unsigned N,
                                                 const std::vector<double>* weights, int samplingType,
                                                 double sigma, int kNeighbours, double near, double far)
{
    if (N == 0 || points.empty())
        return {};
    if (points.front().size() < 2 || samplingType >= 4 || kNeighbours <= 0 || sigma < 0)
        return {};
    for (const auto& p : points)
        if (p.size() < 4)
            return {};

    HypothesisSampler sampler(vpFromSegments, points.front().size() - 1, 2, unsigned(points.size()), true);
    if (fixedSeed)
        sampler.setSeed(*fixedSeed);
    if (sampler.assignPoints(points) < 0)
        return {};
    if (weights)
        for (std::size_t i = 0; i < points.size() && i < weights->size(); ++i)
            sampler.weightPoint(unsigned(i), float((*weights)[i]));
    if (samplingType == 1)
        sampler.useExponentialSampling(float(sigma));
    else if (samplingType == 2 || samplingType == 3)
        sampler.useNeighbourSampling(kNeighbours, float(near), float(far), samplingType == 3);

    lastProgress = 0;
    std::vector<std::vector<float>> models;
    const bool ok = sampler.drawHypotheses(
        N, 0, models,
        [this](float p) {
            const int value = int(std::floor(25.f * p));
            if (value != lastProgress) {
                lastProgress = value;
                emit progress(value);
            }
        },
        stopCheck);
    if (!ok)
        return {};
    return models;
}
