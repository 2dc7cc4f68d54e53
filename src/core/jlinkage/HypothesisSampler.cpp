#include "core/jlinkage/HypothesisSampler.h"

#include <cmath>
#include <ctime>
#include <limits>

HypothesisSampler::HypothesisSampler(ModelFunction modelFunction, std::size_t dimension,
                                     unsigned minimalSetSize, unsigned capacity, bool copyData)
    : copyData(copyData), minimalSetSize(minimalSetSize), tree(std::max<std::size_t>(dimension, 1)),
      capacity(capacity), modelFunction(std::move(modelFunction)),
      rng(static_cast<std::uint32_t>(std::time(nullptr)))
{
}

float HypothesisSampler::draw()
{
    return float(double(rng()) / double(std::mt19937::max()));
}

void HypothesisSampler::cumulative(const std::vector<float>& w, std::vector<float>& cdf)
{
    if (w.size() != cdf.size())
        return;
    const std::size_t m = w.size();
    float mean = 0;
    for (std::size_t i = 1; i <= m; ++i)
        mean += (w[i - 1] - mean) / float(i);
    float acc = 0;
    for (std::size_t i = 0; i < m; ++i) {
        acc += w[i] / mean / float(m);
        cdf[i] = acc;
    }
}

unsigned HypothesisSampler::drawFrom(const std::vector<float>& cdf, float r)
{
    for (std::size_t j = 0; j < cdf.size(); ++j)
        if (cdf[j] > r)
            return unsigned(j);
    return cdf.empty() ? 0 : unsigned(cdf.size() - 1);
}

int HypothesisSampler::assignPoints(const std::vector<std::vector<float>>& list)
{
    if (minimalSetSize >= list.size())
        return -1;
    if (capacity == 0)
        capacity = unsigned(list.size());
    tree.clear();
    pointList.clear();
    const unsigned m = std::min(unsigned(list.size()), capacity);
    pointList.resize(m);
    for (unsigned i = 0; i < m; ++i) {
        SamplerPoint& p = pointList[i];
        p.index = i;
        if (copyData) {
            p.ownCoordinates = list[i];
            p.coords = &p.ownCoordinates;
        } else {
            p.coords = &list[i];
        }
    }
    weights.assign(m, 1.f);
    cdfValues.assign(m, 0.f);
    cumulative(weights, cdfValues);
    activeCount = m;
    return int(m);
}

void HypothesisSampler::weightPoint(unsigned i, float w)
{
    if (i >= weights.size())
        return;
    weights[i] = w;
    cumulative(weights, cdfValues);
}

void HypothesisSampler::useExponentialSampling(float s)
{
    type = 1;
    sigma = s;
    const std::size_t m = pointList.size();
    for (auto& p : pointList) {
        p.distances.assign(m, 0.f);
        p.nextWeights.assign(m, 0.f);
        p.nextCdf.assign(m, 0.f);
    }
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = i + 1; j < m; ++j) {
            const auto& a = pointList[i].coordinates();
            const auto& b = pointList[j].coordinates();
            float sum = 0;
            for (std::size_t k = 0; k < a.size() && k < b.size(); ++k)
                sum += (a[k] - b[k]) * (a[k] - b[k]);
            const float d = std::sqrt(sum);
            const float w = std::exp(-sigma / d);
            pointList[i].distances[j] = pointList[j].distances[i] = d;
            pointList[i].nextWeights[j] = pointList[j].nextWeights[i] = w;
        }
    for (auto& p : pointList)
        cumulative(p.nextWeights, p.nextCdf);
}

void HypothesisSampler::useNeighbourSampling(int k, float near, float far, bool drawAmongNeighbours)
{
    type = drawAmongNeighbours ? 3 : 2;
    kNeighbours = k;
    nearP = near / (near + far);
    farP = far / (near + far);
    tree.clear();
    for (auto& p : pointList) {
        p.excludedFromSearch = false;
        tree.insert(&p);
    }
    tree.rebuild();
    if (type != 2)
        return;
    const std::size_t m = pointList.size();
    for (auto& p : pointList) {
        p.nextWeights.assign(m, farP);
        p.nextCdf.assign(m, 0.f);
        for (SamplerPoint* nb :
             tree.nearestPoints(p, std::numeric_limits<float>::max(), kNeighbours, activeCount))
            p.nextWeights[nb->index] = nearP;
        cumulative(p.nextWeights, p.nextCdf);
    }
}

unsigned HypothesisSampler::drawUniform()
{
    // The last point only when r is exactly 1, as the draws have always been made.
    return unsigned(float(activeCount - 1) * draw());
}

std::vector<unsigned> HypothesisSampler::pickMinimalSet()
{
    std::vector<unsigned> set(minimalSetSize, 0);
    if (minimalSetSize == 0)
        return set;
    set[0] = drawFrom(cdfValues, draw());
    unsigned rejected = 0;
    for (unsigned i = 1; i < minimalSetSize;) {
        if (rejected > 1000) {
            for (unsigned k = 1; k < minimalSetSize; ++k)
                set[k] = (set[k - 1] + 1) % activeCount;
            return set;
        }
        unsigned pick = 0;
        switch (type) {
        case 1:
        case 2:
            pick = drawFrom(pointList[set[0]].nextCdf, draw());
            break;
        case 3: {
            const float r = draw();
            if (nearP > r) {
                const auto nbs = tree.nearestPoints(pointList[set[0]], std::numeric_limits<float>::max(),
                                                    kNeighbours, activeCount);
                const std::size_t c = nbs.size();
                if (c > minimalSetSize) {
                    const float r2 = draw();
                    pick = nbs[std::size_t(std::floor(r2 * float(c - 2))) + 1]->index;
                    break;
                }
            }
            pick = drawUniform();
            break;
        }
        default:
            pick = drawUniform();
            break;
        }
        set[i] = pick;
        bool repeated = false;
        for (unsigned k = 0; k < i; ++k)
            if (set[k] == pick)
                repeated = true;
        if (repeated)
            ++rejected;
        else
            ++i;
    }
    return set;
}

bool HypothesisSampler::drawHypotheses(unsigned N, unsigned start, std::vector<std::vector<float>>& output,
                                       const Progress& progress, const std::function<bool()>& stop)
{
    if (activeCount < minimalSetSize || activeCount == 0)
        return false;
    if (output.size() < std::size_t(start) + N)
        output.resize(std::size_t(start) + N);
    for (unsigned i = 0; i < N; ++i) {
        if (progress)
            progress(float(i) / float(N));
        if (stop && stop())
            return false;
        const std::vector<unsigned> set = pickMinimalSet();
        output[std::size_t(start) + i] = modelFunction(pointList, set);
    }
    return true;
}
