#include "core/jlinkage/vanishing_point_search.h"

#include "core/geometry/vanishing_points.h"
#include "core/jlinkage/VPCluster.h"
#include "core/jlinkage/VPSample.h"

#include <algorithm>
#include <cmath>

SegmentClusters clusterSegmentsJLinkage(const std::vector<cv::Vec4f>& segments, int N, VPSample& sampler,
                                        VPCluster& clusterer, unsigned hypotheses)
{
    SegmentClusters out;
    std::vector<std::vector<float>> points;
    points.reserve(segments.size());
    for (const auto& s : segments)
        points.push_back({s[0], s[1], s[2], s[3]});

    const std::vector<std::vector<float>> models =
        sampler.sample(points, hypotheses, nullptr, 3, 1.0, 10, 0.8, 0.2);
    std::vector<int> labels;
    std::vector<std::pair<unsigned, unsigned>> sizes;
    std::vector<std::vector<int>> clusterHyps;
    int found = 0;
    if (!models.empty())
        found = clusterer.cluster(labels, sizes, clusterHyps, points, models, 2.0f, -1, {});
    out.found = found;
    N = std::max(0, std::min(found, N));
    out.clusters.resize(std::size_t(N));
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const int label = i < labels.size() ? labels[i] : N;
        if (label < N)
            out.clusters[std::size_t(label)].push_back(segments[i]);
        else
            out.outliers.push_back(segments[i]);
    }
    return out;
}

namespace {

bool finiteSegment(const cv::Vec4f& s)
{
    return std::isfinite(s[0]) && std::isfinite(s[1]) && std::isfinite(s[2]) && std::isfinite(s[3]);
}

VanishingPointSearchResult failed(VanishingPointSearchError error, const std::string& message)
{
    VanishingPointSearchResult r;
    r.error = error;
    r.message = message;
    return r;
}

} // namespace

VanishingPointSearchResult searchVanishingPoints(const VanishingPointSearchInput& in,
                                                 const SearchProgress& progress)
{
    if (in.count < 1)
        return failed(VanishingPointSearchError::BadCount, "the number of vanishing points is below 1");
    if (!std::all_of(in.segments.begin(), in.segments.end(), finiteSegment))
        return failed(VanishingPointSearchError::InvalidSegment,
                      "a segment has a coordinate that is not finite");
    if (in.segments.size() < 3)
        return failed(VanishingPointSearchError::TooFewSegments, "J-Linkage needs at least 3 line segments");

    // The runners report through their signals; the answer of the callback
    // is kept and asked for by their stop checks.
    bool stop = false;
    const auto report = [&](int percent) {
        if (progress && !progress(percent))
            stop = true;
    };
    VPSample sampler;
    if (in.seed)
        sampler.setSeed(*in.seed);
    VPCluster clusterer;
    QObject::connect(&sampler, &VPSample::progress, report);
    QObject::connect(&clusterer, &VPCluster::progress, report);
    sampler.setStopCheck([&] { return stop; });
    clusterer.setStopCheck([&] { return stop; });
    SegmentClusters clusters =
        clusterSegmentsJLinkage(in.segments, in.count, sampler, clusterer, in.hypotheses);
    if (stop)
        return failed(VanishingPointSearchError::Aborted, "the search was aborted");

    VanishingPointSearchResult r;
    r.found = clusters.found;
    r.outliers = std::move(clusters.outliers);
    for (std::size_t i = 0; i < clusters.clusters.size(); ++i) {
        VanishingPointCluster c;
        c.segments = std::move(clusters.clusters[i]);
        if (!r.firstWithoutPoint) {
            try {
                c.point = clusterVanishingPoint(c.segments, c.rms, in.weighted);
            } catch (const cv::Exception& e) {
                if (e.code != cv::Error::StsBadSize)
                    throw;
                r.firstWithoutPoint = int(i);
            }
        }
        if (r.firstWithoutPoint)
            r.outliers.insert(r.outliers.end(), c.segments.begin(), c.segments.end());
        else
            r.clusters.push_back(std::move(c));
    }
    report(100);
    return r;
}
