#include "core/jlinkage/JLinkageClusterer.h"

#include <algorithm>
#include <chrono>
#include <limits>

struct HeapEntry {
    float distance; // the pair's distance when the entry was made
    std::uint32_t pair;
};

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Orders by distance, then by pair index; for a min-heap the comparison is reversed.
inline bool before(float da, std::uint32_t pa, float db, std::uint32_t pb)
{
    return da < db || (da == db && pa < pb);
}

struct HeapGreater {
    bool operator()(const HeapEntry& a, const HeapEntry& b) const
    {
        return before(b.distance, b.pair, a.distance, a.pair);
    }
};

void pushEntry(std::vector<HeapEntry>& heap, const HeapEntry& e)
{
    heap.push_back(e);
    std::push_heap(heap.begin(), heap.end(), HeapGreater());
}

// The candidates as (distance, pair) entries sorted by distance, then by
// pair index. The entries hold the distances by value: a merge changes the
// pairs' distances, not the entries. Frees `candidates`.
std::vector<HeapEntry> sortedEntries(const std::vector<ClusterPair>& pairs,
                                     std::vector<std::uint32_t>& candidates)
{
    std::vector<HeapEntry> sorted;
    sorted.reserve(candidates.size());
    for (std::uint32_t q : candidates)
        sorted.push_back({pairs[q].distance, q});
    std::vector<std::uint32_t>().swap(candidates);
    std::sort(sorted.begin(), sorted.end(), [](const HeapEntry& a, const HeapEntry& b) {
        return before(a.distance, a.pair, b.distance, b.pair);
    });
    return sorted;
}

// Takes into e the smaller of the next sorted entry (sorted[next]) and the
// heap's top, the sorted one on a tie; false when both are used up.
bool takeNextEntry(const std::vector<HeapEntry>& sorted, std::size_t& next, std::vector<HeapEntry>& heap,
                   HeapEntry& e)
{
    const bool fromList = next < sorted.size();
    const bool fromHeap = !heap.empty();
    if (!fromList && !fromHeap)
        return false;
    if (fromList && (!fromHeap || !before(heap.front().distance, heap.front().pair, sorted[next].distance,
                                          sorted[next].pair))) {
        e = sorted[next++];
    } else {
        e = heap.front();
        std::pop_heap(heap.begin(), heap.end(), HeapGreater());
        heap.pop_back();
    }
    return true;
}

} // namespace

JLinkageClusterer::JLinkageClusterer(DistanceFunction distanceFunction, float threshold,
                                     std::uint32_t modelBufferSize, bool copyData, std::size_t dimension,
                                     int kNeighbours, MergeAllowed mergeAllowed,
                                     ClusterCallback clusterCreated, ClusterCallback clusterMerged,
                                     ClusterCallback clusterDestroyed)
    : modelBufferSize(modelBufferSize), copyData(copyData), threshold(threshold),
      distanceFunction(std::move(distanceFunction)), kNeighbours(kNeighbours),
      tree(std::max<std::size_t>(dimension, 1)), useTree(kNeighbours > 0),
      mergeAllowed(std::move(mergeAllowed)), clusterCreated(std::move(clusterCreated)),
      clusterMerged(std::move(clusterMerged)), clusterDestroyed(std::move(clusterDestroyed))
{
    if (modelBufferSize > 0) {
        modelCopies.resize(modelBufferSize);
        modelRefs.assign(modelBufferSize, nullptr);
        occupied.assign(modelBufferSize, 0);
    }
}

JLinkageClusterer::~JLinkageClusterer()
{
    if (clusterDestroyed)
        for (const auto& c : clusters)
            if (c)
                clusterDestroyed(*c);
}

std::uint32_t JLinkageClusterer::hypothesisSlots() const
{
    return modelBufferSize > 0 ? modelBufferSize : std::uint32_t(occupied.size());
}

std::vector<PreferenceCluster*> JLinkageClusterer::liveClusters() const
{
    std::vector<PreferenceCluster*> live;
    for (const auto& c : clusters)
        if (c)
            live.push_back(c.get());
    return live;
}

float JLinkageClusterer::jaccardDistance(const BitSet& a, const BitSet& b, std::uint32_t& unionCount,
                                         std::uint32_t& intersectionCount)
{
    BitSet::andOrCount(a, b, intersectionCount, unionCount);
    if (intersectionCount == 0)
        return 1.f;
    return 1.f - float(intersectionCount) / float(unionCount);
}

std::uint32_t JLinkageClusterer::newPair(std::uint32_t first, std::uint32_t second)
{
    const auto idx = std::uint32_t(pairStore.size());
    ClusterPair p;
    p.first = first;
    p.second = second;
    pairStore.push_back(p);
    clusters[first]->pairs.push_back(idx);
    clusters[second]->pairs.push_back(idx);
    return idx;
}

void JLinkageClusterer::queuePair(std::uint32_t pairIdx)
{
    ClusterPair& p = pairStore[pairIdx];
    if (p.queued || p.stale())
        return;
    p.queued = true;
    pairsToUpdate.push_back(pairIdx);
}

void JLinkageClusterer::queueClusterPairs(PreferenceCluster& c)
{
    for (std::uint32_t q : c.pairs)
        queuePair(q);
}

void JLinkageClusterer::dissolvePair(std::uint32_t pairIdx)
{
    // The index stays in the clusters' lists; readers skip stale pairs and
    // the survivor of a merge drops them from its list.
    ClusterPair& p = pairStore[pairIdx];
    p.first = p.second = ClusterPair::kNone;
}

bool JLinkageClusterer::pairedWith(const PreferenceCluster& c, std::uint32_t otherId) const
{
    for (std::uint32_t q : c.pairs) {
        const ClusterPair& p = pairStore[q];
        if (!p.stale() && (p.first == otherId || p.second == otherId))
            return true;
    }
    return false;
}

void JLinkageClusterer::computeDistance(ClusterPair& p)
{
    p.distance = jaccardDistance(*clusters[p.first], *clusters[p.second], p.unionCount, p.intersectionCount);
    p.computed = true;
}

std::uint32_t JLinkageClusterer::addHypothesis(const std::vector<float>& model)
{
    const std::uint32_t slot = nextModelIndex;
    if (modelBufferSize > 0) {
        if (occupied[slot])
            removeHypothesis(slot);
        if (copyData)
            modelCopies[slot] = model;
        else
            modelRefs[slot] = &model;
        occupied[slot] = 1;
    } else {
        if (copyData)
            modelCopies.push_back(model);
        else
            modelRefs.push_back(&model);
        occupied.push_back(1);
    }
    const std::vector<float>& m = modelAt(slot);
    for (auto& pt : pointList) {
        if (modelBufferSize == 0)
            pt->preferenceSet.resize(slot + 1);
        if (distanceFunction(m, pt->coordinates()) < threshold)
            pt->preferenceSet.set(slot);
    }
    for (auto& c : clusters) {
        if (!c)
            continue;
        if (modelBufferSize == 0)
            c->preferenceSet.resize(slot + 1);
        bool all = true;
        for (const PreferencePoint* member : c->members)
            if (!member->preferenceSet.test(slot)) {
                all = false;
                break;
            }
        if (all) {
            c->preferenceSet.set(slot);
            queueClusterPairs(*c);
        } else {
            c->preferenceSet.reset(slot);
        }
    }
    nextModelIndex = modelBufferSize > 0 ? (slot + 1) % modelBufferSize : slot + 1;
    return slot;
}

void JLinkageClusterer::removeHypothesis(std::uint32_t slot)
{
    if (slot >= occupied.size() || !occupied[slot])
        return;
    occupied[slot] = 0;
    if (copyData)
        std::vector<float>().swap(modelCopies[slot]);
    else
        modelRefs[slot] = nullptr;
    for (auto& pt : pointList)
        if (slot < pt->preferenceSet.size())
            pt->preferenceSet.reset(slot);
    for (auto& c : clusters)
        if (c && c->preferenceSet.test(slot)) {
            c->preferenceSet.reset(slot);
            queueClusterPairs(*c);
        }
}

PreferencePoint* JLinkageClusterer::insertPoint(const std::vector<float>& coordinates)
{
    auto point = std::make_unique<PreferencePoint>();
    auto cluster = std::make_unique<PreferenceCluster>();
    PreferencePoint* pt = point.get();
    PreferenceCluster* cl = cluster.get();
    cl->id = std::uint32_t(clusters.size());
    cl->members.push_back(pt);
    pt->cluster = cl;

    const std::uint32_t slots = hypothesisSlots();
    pt->preferenceSet.resize(slots);
    cl->preferenceSet.resize(slots);
    if (copyData) {
        pt->ownCoordinates = coordinates;
        pt->coords = &pt->ownCoordinates;
    } else {
        pt->coords = &coordinates;
    }
    for (std::uint32_t i = 0; i < slots; ++i)
        if (occupied[i] && threshold > distanceFunction(modelAt(i), pt->coordinates())) {
            pt->preferenceSet.set(i);
            cl->preferenceSet.set(i);
        }

    clusters.push_back(std::move(cluster));
    mark.push_back(0);
    if (useTree) {
        pt->excludedFromSearch = false;
        tree.insert(pt);
        pt->pendingNeighbourSearch = true;
    } else {
        cl->pairs.reserve(clusters.size() - 1);
        for (const auto& x : clusters) {
            if (!x || x.get() == cl)
                continue;
            const std::uint32_t q = newPair(cl->id, x->id);
            queuePair(q);
        }
    }
    pt->index = pointCount++;
    pointList.push_back(std::move(point));
    if (clusterCreated)
        clusterCreated(*cl);
    return pt;
}

void JLinkageClusterer::releaseCluster(std::uint32_t id)
{
    if (clusterDestroyed)
        clusterDestroyed(*clusters[id]);
    clusters[id].reset();
}

bool JLinkageClusterer::mergePointsManually(std::vector<std::uint32_t> indices)
{
    std::sort(indices.begin(), indices.end());
    if (indices.empty() || indices.back() >= pointCount)
        return false;

    // Walk the points once, matching the sorted indices in turn; a repeated
    // index is looked for after the point that matched it, so matching stops there.
    std::vector<PreferencePoint*> matched;
    std::size_t k = 0;
    for (const auto& pt : pointList) {
        if (k >= indices.size())
            break;
        if (pt->index == indices[k]) {
            if (pt->cluster->members.size() > 1)
                return false;
            matched.push_back(pt.get());
            ++k;
        }
    }
    if (matched.empty())
        return false;
    BitSet intersection = matched.front()->preferenceSet;
    for (std::size_t i = 1; i < matched.size(); ++i)
        intersection &= matched[i]->preferenceSet;
    if (!intersection.any())
        return false;

    PreferenceCluster* target = matched.front()->cluster;
    target->members = matched;
    target->preferenceSet = intersection;
    if (useTree) {
        for (PreferencePoint* m : matched)
            m->pendingNeighbourSearch = true;
    } else {
        queueClusterPairs(*target);
    }
    for (std::size_t i = 1; i < matched.size(); ++i) {
        PreferenceCluster* former = matched[i]->cluster;
        for (std::uint32_t q : former->pairs) {
            if (!pairStore[q].stale())
                dissolvePair(q);
        }
        matched[i]->cluster = target;
        releaseCluster(former->id);
    }
    // drop the dissolved pairs from the queue and from the target's list
    pairsToUpdate.erase(std::remove_if(pairsToUpdate.begin(), pairsToUpdate.end(),
                                       [&](std::uint32_t q) { return pairStore[q].stale(); }),
                        pairsToUpdate.end());
    target->pairs.erase(std::remove_if(target->pairs.begin(), target->pairs.end(),
                                       [&](std::uint32_t q) { return pairStore[q].stale(); }),
                        target->pairs.end());
    return true;
}

void JLinkageClusterer::mergePair(std::uint32_t pairIdx, std::vector<HeapEntry>& heap)
{
    const std::uint32_t aId = pairStore[pairIdx].first, bId = pairStore[pairIdx].second;
    PreferenceCluster& A = *clusters[aId];
    PreferenceCluster& B = *clusters[bId];
    dissolvePair(pairIdx);

    // Tree mode: the clusters paired with B but not with A get a pair with A.
    std::vector<std::uint32_t> collected;
    if (useTree) {
        ++markStamp;
        for (std::uint32_t q : A.pairs) {
            const ClusterPair& p = pairStore[q];
            if (!p.stale())
                mark[p.first == aId ? p.second : p.first] = markStamp;
        }
        for (std::uint32_t q : B.pairs) {
            const ClusterPair& p = pairStore[q];
            if (p.stale())
                continue;
            const std::uint32_t x = p.first == bId ? p.second : p.first;
            if (mark[x] != markStamp) {
                mark[x] = markStamp;
                collected.push_back(x);
            }
        }
    }

    for (PreferencePoint* m : B.members) {
        m->cluster = &A;
        A.members.push_back(m);
    }
    A.preferenceSet &= B.preferenceSet;

    for (std::uint32_t x : collected)
        newPair(aId, x);
    for (std::uint32_t q : B.pairs)
        if (!pairStore[q].stale())
            dissolvePair(q);

    if (clusterMerged)
        clusterMerged(A);

    // Recompute the survivor's pairs, dropping dissolved ones from its list.
    auto& list = A.pairs;
    std::size_t w = 0;
    for (std::size_t r = 0; r < list.size(); ++r) {
        ClusterPair& q = pairStore[list[r]];
        if (q.stale())
            continue;
        list[w++] = list[r];
        // A pair without a common hypothesis keeps none: the survivor's set
        // only loses bits. Its distance stays 1 and is not recomputed.
        if (q.computed && q.intersectionCount == 0)
            continue;
        const float before = q.computed && !q.vetoed ? q.distance : 2.f;
        computeDistance(q);
        q.vetoed = false;
        if (q.intersectionCount > 0 && mergeAllowed &&
            !mergeAllowed(*clusters[q.first], *clusters[q.second])) {
            q.distance = 1.f;
            q.vetoed = true;
        }
        // Every mergeable pair has an entry keyed at most at its distance: a
        // smaller distance gets a new entry now, a larger one is re-keyed
        // when its old entry comes up.
        if (q.mergeable() && q.distance < before)
            pushEntry(heap, {q.distance, list[r]});
    }
    list.resize(w);

    releaseCluster(bId);
}

// Tree mode: each point whose neighbourhood is new (inserted or manually
// merged since the last run) gets a pair between its cluster and the cluster
// of each of its k nearest points, unless the two are one or already paired.
void JLinkageClusterer::pairNearestNeighbours()
{
    tree.rebuild();
    for (auto& pt : pointList) {
        if (!pt->pendingNeighbourSearch)
            continue;
        const auto neighbours =
            tree.nearestPoints(*pt, std::numeric_limits<float>::max(), kNeighbours, pointCount);
        for (PreferencePoint* nb : neighbours) {
            PreferenceCluster* own = pt->cluster;
            PreferenceCluster* other = nb->cluster;
            if (other == own || pairedWith(*other, own->id))
                continue;
            queuePair(newPair(own->id, other->id));
        }
        pt->pendingNeighbourSearch = false;
    }
}

// Empties the queue of pairs to update, recomputing their distances, and
// returns the pairs that can be merged: the queued ones in the order they
// leave the queue, then the others in index order.
std::vector<std::uint32_t> JLinkageClusterer::collectCandidates()
{
    // A pair is a candidate while it shares a hypothesis; merging never makes
    // disjoint sets overlap, so a pair without one is dropped for good.
    std::vector<std::uint32_t> candidates;
    candidates.reserve(pairsToUpdate.size());
    while (!pairsToUpdate.empty()) {
        const std::uint32_t q = pairsToUpdate.back();
        pairsToUpdate.pop_back();
        ClusterPair& p = pairStore[q];
        p.queued = false;
        if (p.stale())
            continue;
        computeDistance(p);
        p.vetoed = false;
        if (p.mergeable())
            candidates.push_back(q);
    }
    // Pairs not queued keep their distance from an earlier run, if any.
    std::vector<char> isCandidate(pairStore.size(), 0);
    for (std::uint32_t q : candidates)
        isCandidate[q] = 1;
    for (std::uint32_t q = 0; q < pairStore.size(); ++q) {
        ClusterPair& p = pairStore[q];
        if (!isCandidate[q] && p.mergeable())
            candidates.push_back(q);
    }
    return candidates;
}

// Merges pairs, smallest distance first, until no pair can be merged.
// Returns true when `report` asked to stop after a merge.
//
// Entries come from the sorted list and from a heap of later ones, the
// smaller first. An entry is taken when its key is its pair's distance;
// a pair whose distance has grown since is put back at that distance, so
// the pair merged is always one of the smallest distance.
bool JLinkageClusterer::mergeInOrder(const std::vector<HeapEntry>& sorted,
                                     const std::function<bool(float)>& report)
{
    const std::size_t initialCount = sorted.size();
    std::size_t c = 0;
    std::vector<HeapEntry> heap;
    const auto loopStart = Clock::now();
    HeapEntry e;
    while (takeNextEntry(sorted, c, heap, e)) {
        const ClusterPair& p = pairStore[e.pair];
        if (!p.mergeable() || e.distance > p.distance)
            continue; // gone, or a smaller entry exists
        if (e.distance < p.distance) {
            pushEntry(heap, {p.distance, e.pair});
            continue;
        }
        auto h2 = Clock::now();
        mergePair(e.pair, heap); // the heap pushes count with the merge
        lastTimes.merges += seconds(h2, Clock::now());
        if (initialCount > 0 && report(1.f - float(sorted.size() - c) / float(initialCount)))
            return true;
    }
    // the entries' upkeep: the loop without the merges
    lastTimes.reorders = seconds(loopStart, Clock::now()) - lastTimes.merges;
    return false;
}

std::vector<PreferenceCluster*> JLinkageClusterer::runClustering(const Progress& progress,
                                                                 const std::function<bool()>& stop)
{
    lastTimes = ClusteringTimes();
    auto t0 = Clock::now();
    // Reports progress; true once stop has answered true (it stays so).
    bool stopped = false;
    const auto report = [&](float v) {
        if (progress)
            progress(v);
        if (stop && stop())
            stopped = true;
        return stopped;
    };

    if (useTree)
        pairNearestNeighbours();
    auto t1 = Clock::now();
    lastTimes.neighbourPairs = seconds(t0, t1);
    report(0.01f);

    std::vector<std::uint32_t> candidates = collectCandidates();
    auto t2 = Clock::now();
    lastTimes.pairDistances = seconds(t1, t2);
    if (report(0.02f))
        return liveClusters();

    const std::vector<HeapEntry> sorted = sortedEntries(pairStore, candidates);
    auto t3 = Clock::now();
    lastTimes.sort = seconds(t2, t3);

    if (mergeInOrder(sorted, report))
        return liveClusters();
    report(1.f);
    return liveClusters();
}
