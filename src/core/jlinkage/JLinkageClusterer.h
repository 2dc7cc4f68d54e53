#pragma once

// J-Linkage clustering (R. Toldo, A. Fusiello, "Robust multiple structures
// estimation with J-Linkage", ECCV 2008): agglomerative clustering of data
// points by their preference sets over a fixed collection of model
// hypotheses.
//
// A point prefers a hypothesis when its residual is strictly below the
// threshold; a cluster's preference set is the AND of its members' sets.
// Starting from one cluster per point, the pair of clusters with the smallest
// Jaccard distance of their sets is merged, as long as any pair shares at
// least one hypothesis. Points and models are float vectors whose meaning
// comes from the residual callback.
//
// Pairs are formed between all clusters (kNeighbours <= 0) or only between
// each point and its k nearest points (kd-tree over the first `dimension`
// coordinates). Pairs live in one contiguous array; a cluster lists the
// indices of its pairs.
//
// Merge order: the candidate pairs are sorted once; a distance that a merge
// lowers gets an entry in a heap, a distance it raises is re-entered when its
// old entry comes up. So every merge takes the pair of the smallest current
// distance among all pairs still sharing a hypothesis (ties: the smaller pair
// index), and the run ends only when no such pair is left.

#include "core/jlinkage/BitSet.h"
#include "core/jlinkage/KdTree.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct PreferenceCluster;

struct PreferencePoint {
    const std::vector<float>& coordinates() const { return *coords; }
    float coordinate(std::size_t i) const { return (*coords)[i]; }

    std::vector<float> ownCoordinates; // the copy, when the clusterer copies data
    const std::vector<float>* coords = nullptr;
    BitSet preferenceSet;
    PreferenceCluster* cluster = nullptr;
    bool pendingNeighbourSearch = false;
    std::uint32_t index = 0;
    bool excludedFromSearch = false;
};

struct PreferenceCluster {
    BitSet preferenceSet;
    std::vector<std::uint32_t> pairs; // indices into the clusterer's pairs; may hold dissolved ones
    std::vector<PreferencePoint*> members;
    std::uint32_t id = 0; // creation number: position in the clusterer's cluster list
};

struct ClusterPair {
    static constexpr std::uint32_t kNone = 0xffffffffu;
    std::uint32_t first = kNone;  // surviving cluster of a merge
    std::uint32_t second = kNone; // absorbed cluster; both kNone once dissolved
    float distance = 1.f;
    std::uint32_t unionCount = 0;
    std::uint32_t intersectionCount = 0;
    bool queued = false;
    bool vetoed = false;   // the merge veto refused it at its last recomputation
    bool computed = false; // the counts have been computed at least once

    bool stale() const { return first == kNone; }
    // Shares at least one hypothesis (an exact count, not a distance
    // compared with 1 - 1/n, which single precision cannot tell apart from
    // 1 at thousands of hypotheses) and is not refused.
    bool mergeable() const { return !stale() && intersectionCount > 0 && !vetoed; }
};

// Time spent in each step of the last runClustering, in seconds.
struct ClusteringTimes {
    double neighbourPairs = 0; // tree mode: forming the neighbour pairs
    double pairDistances = 0;  // the queued pairs' Jaccard distances
    double sort = 0;           // sorting the candidates
    double merges = 0;         // merging, with the survivor's distances recomputed
    double reorders = 0;       // keeping recomputed distances in order (heap upkeep)
};

class JLinkageClusterer {
public:
    using DistanceFunction =
        std::function<float(const std::vector<float>& model, const std::vector<float>& point)>;
    using MergeAllowed = std::function<bool(const PreferenceCluster&, const PreferenceCluster&)>;
    using ClusterCallback = std::function<void(const PreferenceCluster&)>;
    using Progress = std::function<void(float)>;

    // modelBufferSize 0: hypotheses are appended without limit; otherwise a
    // ring of that many slots. copyData false: the caller's model and point
    // vectors are referenced and must outlive the clusterer.
    JLinkageClusterer(DistanceFunction distanceFunction, float threshold, std::uint32_t modelBufferSize,
                      bool copyData, std::size_t dimension, int kNeighbours = -1,
                      MergeAllowed mergeAllowed = {}, ClusterCallback clusterCreated = {},
                      ClusterCallback clusterMerged = {}, ClusterCallback clusterDestroyed = {});
    ~JLinkageClusterer();
    JLinkageClusterer(const JLinkageClusterer&) = delete;
    JLinkageClusterer& operator=(const JLinkageClusterer&) = delete;

    // Returns the slot index the hypothesis took.
    std::uint32_t addHypothesis(const std::vector<float>& model);
    void removeHypothesis(std::uint32_t slot);
    PreferencePoint* insertPoint(const std::vector<float>& coordinates);
    // Puts the given points (each still alone in its cluster, with at least
    // one common hypothesis) into one cluster; false, changing nothing, when
    // refused.
    bool mergePointsManually(std::vector<std::uint32_t> indices);
    // The live clusters, in creation order; they stay owned by the clusterer.
    // stop, when given, is asked after each progress report; when it answers
    // true the merging ends there and the clusters reached so far are returned.
    std::vector<PreferenceCluster*> runClustering(const Progress& progress = {},
                                                  const std::function<bool()>& stop = {});

    static float jaccardDistance(const BitSet& a, const BitSet& b, std::uint32_t& unionCount,
                                 std::uint32_t& intersectionCount);
    static float jaccardDistance(const PreferenceCluster& a, const PreferenceCluster& b,
                                 std::uint32_t& unionCount, std::uint32_t& intersectionCount)
    {
        return jaccardDistance(a.preferenceSet, b.preferenceSet, unionCount, intersectionCount);
    }

    const std::vector<std::unique_ptr<PreferencePoint>>& points() const { return pointList; }
    std::vector<PreferenceCluster*> liveClusters() const;
    std::uint32_t hypothesisSlots() const;
    std::size_t pairCount() const { return pairStore.size(); }
    const ClusteringTimes& times() const { return lastTimes; }

private:
    std::uint32_t newPair(std::uint32_t first, std::uint32_t second);
    void queuePair(std::uint32_t pairIdx);
    void queueClusterPairs(PreferenceCluster& c);
    void dissolvePair(std::uint32_t pairIdx);
    bool pairedWith(const PreferenceCluster& c, std::uint32_t otherId) const;
    void computeDistance(ClusterPair& p);
    void mergePair(std::uint32_t pairIdx, std::vector<struct HeapEntry>& heap);
    // the steps of runClustering
    void pairNearestNeighbours();
    std::vector<std::uint32_t> collectCandidates();
    bool mergeInOrder(const std::vector<struct HeapEntry>& sorted, const std::function<bool(float)>& report);
    void releaseCluster(std::uint32_t id);
    const std::vector<float>& modelAt(std::uint32_t slot) const
    {
        return copyData ? modelCopies[slot] : *modelRefs[slot];
    }

    std::uint32_t modelBufferSize;
    std::uint32_t nextModelIndex = 0;
    bool copyData;
    float threshold;
    std::vector<std::unique_ptr<PreferencePoint>> pointList;
    std::uint32_t pointCount = 0;
    std::vector<std::unique_ptr<PreferenceCluster>> clusters; // by id; null once released
    // one entry per hypothesis slot: the copy (copyData) or the caller's vector
    std::vector<std::vector<float>> modelCopies;
    std::vector<const std::vector<float>*> modelRefs;
    std::vector<char> occupied;
    std::vector<std::uint32_t> pairsToUpdate;
    std::vector<ClusterPair> pairStore;
    DistanceFunction distanceFunction;
    int kNeighbours;
    KdTree<PreferencePoint> tree;
    bool useTree;
    MergeAllowed mergeAllowed;
    ClusterCallback clusterCreated, clusterMerged, clusterDestroyed;
    std::vector<std::uint32_t> mark; // per cluster id: scratch for "paired with the survivor"
    std::uint32_t markStamp = 0;
    ClusteringTimes lastTimes;
};
