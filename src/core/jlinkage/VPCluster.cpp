#include "core/jlinkage/VPCluster.h"

#include "core/jlinkage/JLinkageClusterer.h"
#include "core/jlinkage/vp_models.h"

#include <algorithm>
#include <cmath>

void VPCluster::report(int value)
{
    if (value == 50 || value == 75)
        progressBase = value;
    if (value != lastProgress) {
        lastProgress = value;
        emit progress(value);
    }
}

int VPCluster::cluster(std::vector<int>& labels, std::vector<std::pair<unsigned, unsigned>>& clusterSizes,
                       std::vector<std::vector<int>>& clusterHypotheses,
                       const std::vector<std::vector<float>>& points,
                       const std::vector<std::vector<float>>& hypotheses, float threshold, int kNeighbours,
                       std::vector<std::vector<unsigned>> manualMerges, ClusteringTimes* times)
{
    if (!(threshold > 0))
        return 0;
    const std::size_t H = hypotheses.size(), P = points.size();
    const std::size_t dimension = P > 0 ? points.front().size() : 4;
    JLinkageClusterer clusterer(vpSegmentResidual, threshold, std::uint32_t(H), true, dimension, kNeighbours);

    const auto stopped = [this] { return stopCheck && stopCheck(); };
    for (std::size_t i = 0; i < H; ++i) {
        clusterer.addHypothesis(hypotheses[i]);
        report(progressBase + int(std::floor(25.f * float(i + 1) / float(H))));
        if (stopped())
            return 0;
    }
    for (std::size_t j = 0; j < P; ++j) {
        clusterer.insertPoint(points[j]); // its index is j
        report(progressBase + int(std::floor(25.f * float(j + 1) / float(P))));
        if (stopped())
            return 0;
    }
    for (auto& merge : manualMerges)
        if (!clusterer.mergePointsManually(std::vector<std::uint32_t>(merge.begin(), merge.end())))
            return 0;

    const std::vector<PreferenceCluster*> found = clusterer.runClustering(
        [this](float p) { report(progressBase + int(std::floor(25.f * p))); }, stopCheck);
    if (stopped())
        return 0;
    if (times)
        *times = clusterer.times();

    labels.assign(P, 0);
    std::vector<std::pair<unsigned, unsigned>> sizes;
    std::vector<std::vector<int>> hyps;
    for (std::size_t c = 0; c < found.size(); ++c) {
        for (const PreferencePoint* m : found[c]->members)
            labels[m->index] = int(c);
        sizes.emplace_back(unsigned(found[c]->members.size()), unsigned(c));
        hyps.push_back(found[c]->preferenceSet.setBits());
    }
    std::sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second > b.second;
    });
    std::vector<int> rank(found.size());
    for (std::size_t r = 0; r < sizes.size(); ++r)
        rank[sizes[r].second] = int(r);

    clusterSizes = sizes;
    for (const auto& s : sizes)
        clusterHypotheses.push_back(hyps[s.second]);
    for (int& l : labels)
        l = rank[std::size_t(l)];
    return int(found.size());
}
