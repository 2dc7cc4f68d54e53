#pragma once

// Clusters line segments by their vanishing-point hypotheses with J-Linkage
// and numbers the clusters by size; reports progress 26 to 100 (of a 0-100
// scale shared with VPSample) through the signal `progress`.

#include <QObject>

#include <functional>
#include <utility>
#include <vector>

struct ClusteringTimes;

class VPCluster : public QObject {
    Q_OBJECT

public:
    explicit VPCluster(QObject* parent = nullptr) : QObject(parent) {}

    // Asked after each progress step; when it answers true, cluster() stops
    // and returns 0 with the outputs untouched.
    void setStopCheck(std::function<bool()> check) { stopCheck = std::move(check); }

    // Returns the number of clusters (0, outputs untouched, for a threshold of
    // 0 or less, a refused manual merge or a stop).
    // labels: per segment, the rank of its cluster (0 = the largest; among
    // equal sizes the cluster made later ranks first).
    // clusterSizes: (member count, cluster number) in rank order.
    // clusterHypotheses: appended, per cluster in rank order, the indices of
    // the hypotheses all its members prefer, ascending.
    // kNeighbours <= 0 pairs all clusters; above 0 only near segments.
    // times, when given, receives the clusterer's step times.
    int cluster(std::vector<int>& labels, std::vector<std::pair<unsigned, unsigned>>& clusterSizes,
                std::vector<std::vector<int>>& clusterHypotheses,
                const std::vector<std::vector<float>>& points,
                const std::vector<std::vector<float>>& hypotheses, float threshold, int kNeighbours,
                std::vector<std::vector<unsigned>> manualMerges, ClusteringTimes* times = nullptr);

signals:
    void progress(int newValue);

private:
    void report(int value);

    int lastProgress = 25;
    int progressBase = 25;
    std::function<bool()> stopCheck;
};
