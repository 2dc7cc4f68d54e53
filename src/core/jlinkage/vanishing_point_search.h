#pragma once

// The search for vanishing points among line segments: J-Linkage clusters
// the segments by the vanishing-point hypotheses they agree on (VPSample,
// VPCluster), the largest clusters are kept and each gets its vanishing point
// (clusterVanishingPoint). Segments are (x1, y1, x2, y2) in image pixels.

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class VPSample;
class VPCluster;

struct SegmentClusters {
    int found = 0;                                // clusters J-Linkage found
    std::vector<std::vector<cv::Vec4f>> clusters; // the min(found, N) largest, largest first
    std::vector<cv::Vec4f> outliers;              // segments of the other clusters, in segment order
};

// Clusters the segments by vanishing point with J-Linkage: `hypotheses`
// (the dialog's 5000) drawn among near segments (sampling type 3, k 10, near
// 0.8, far 0.2),
// threshold 2 px, all pairs. The runners report progress through their own
// signals and stop when their stop checks say so (then nothing is found).
// Fewer than three segments give no hypotheses and no clusters (found 0,
// every segment an outlier).
SegmentClusters clusterSegmentsJLinkage(const std::vector<cv::Vec4f>& segments, int N, VPSample& sampler,
                                        VPCluster& clusterer, unsigned hypotheses = 5000);

// Progress of a search in percent (0 to 100); the answer false asks the
// search to stop. Called in the caller's thread whenever the percentage
// changes.
using SearchProgress = std::function<bool(int percent)>;

struct VanishingPointSearchInput {
    std::vector<cv::Vec4f> segments;
    int count = 3;                     // N, the number of strongest clusters kept; 1 or more
    bool weighted = false;             // fit by vanishingPointSvd instead of vanishingPointFitLine
    std::optional<std::uint32_t> seed; // of the hypotheses; the clock's (in seconds) when missing
    unsigned hypotheses = 5000;        // number of vanishing-point hypotheses drawn
};

// One kept cluster with its vanishing point.
struct VanishingPointCluster {
    std::vector<cv::Vec4f> segments;
    cv::Point2f point; // px; a point at infinity stands at kFarVanishingPoint px (vanishing_points.h)
    float rms = 0;     // px, RMS distance of the point from the segments' lines
};

enum class VanishingPointSearchError {
    None,
    BadCount,       // count below 1
    InvalidSegment, // a segment with a coordinate that is not finite
    TooFewSegments, // fewer than three segments: no hypotheses can be drawn
    Aborted         // the progress callback asked to stop
};

struct VanishingPointSearchResult {
    VanishingPointSearchError error = VanishingPointSearchError::None;
    std::string message;                         // the reason when error is not None
    int found = 0;                               // clusters J-Linkage found
    std::vector<VanishingPointCluster> clusters; // the kept clusters with their points, largest first
    std::vector<cv::Vec4f> outliers;             // every other segment: other clusters, unclustered
    // Clusters come largest first; the first kept cluster whose segments
    // give no vanishing point (fewer than two with a direction) ends the list
    // there: its index, and its segments and those of the later ones join
    // the outliers.
    std::optional<int> firstWithoutPoint;
    bool ok() const { return error == VanishingPointSearchError::None; }
};

// The search. Never throws for the failures listed in
// VanishingPointSearchError; with one of them the result holds no clusters.
VanishingPointSearchResult searchVanishingPoints(const VanishingPointSearchInput& input,
                                                 const SearchProgress& progress = {});
