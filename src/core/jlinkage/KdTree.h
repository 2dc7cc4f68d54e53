#pragma once

// kd-tree over point records it does not own, with the number of compared
// dimensions chosen at run time. The J-Linkage clusterer uses it to pair each
// point with its k nearest points, the hypothesis sampler to draw the later
// points of a sample set near the first one.
//
// A point record P provides
//   float coordinate(std::size_t i) const   (i below the tree's dimension)
//   bool excludedFromSearch                 (never a search result while set)
// Only the first `dimension` coordinates count; the rest are ignored.
// Distances are Euclidean, in single precision.
//
// A node at depth d splits on axis d mod dimension: its lower subtree holds
// smaller coordinates on that axis, its upper subtree greater or equal ones.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

template <class P> class KdTree {
public:
    explicit KdTree(std::size_t dimension) : dim(dimension) {}
    KdTree(const KdTree&) = delete;
    KdTree& operator=(const KdTree&) = delete;

    std::size_t dimension() const { return dim; }
    std::size_t size() const { return nodes.size(); }
    bool empty() const { return nodes.empty(); }

    void clear() { nodes.clear(); }

    void insert(P* p)
    {
        Node node;
        node.point = p;
        if (nodes.empty()) {
            nodes.push_back(node);
            return;
        }
        int cur = 0;
        std::size_t depth = 0;
        for (;;) {
            Node& n = nodes[std::size_t(cur)];
            const std::size_t s = depth % dim;
            const bool lower = n.point->coordinate(s) > p->coordinate(s);
            const int child = lower ? n.lower : n.upper;
            if (child < 0) {
                node.parent = cur;
                const int idx = int(nodes.size());
                // n may move when nodes grows: set the link first
                if (lower)
                    n.lower = idx;
                else
                    n.upper = idx;
                nodes.push_back(node);
                return;
            }
            cur = child;
            ++depth;
        }
    }

    // Rebuilds the tree balanced: the median of each range on its split axis
    // becomes the node (the upper of the two middle points for an even count).
    void rebuild()
    {
        std::vector<P*> points;
        points.reserve(nodes.size());
        if (!nodes.empty())
            collectInOrder(0, points);
        clear();
        nodes.reserve(points.size());
        build(points.begin(), points.end(), 0);
    }

    // Nearest point to q that is not excluded, within maxDistance (a point
    // exactly at maxDistance counts): (point or null, distance). Among equally
    // near points the first met wins (a node before its subtrees, the lower
    // subtree before the upper).
    std::pair<P*, float> findNearest(const P& q, float maxDistance) const
    {
        if (nodes.empty())
            return {nullptr, maxDistance};
        std::vector<float> lo(dim), hi(dim), qc(dim);
        for (std::size_t i = 0; i < dim; ++i)
            lo[i] = hi[i] = qc[i] = q.coordinate(i);
        float best = maxDistance;
        const Result r = search(0, 0, qc, lo, hi, best);
        if (r.node < 0 || r.distance > maxDistance)
            return {nullptr, r.distance};
        return {nodes[std::size_t(r.node)].point, r.distance};
    }

    // Up to min(k, n) nearest points of q, nearest first, never q itself.
    // Exclusion marks are set during the search and all cleared afterwards.
    std::vector<P*> nearestPoints(P& q, float maxDistance, int k, std::size_t n) const
    {
        std::vector<P*> result;
        q.excludedFromSearch = true;
        const std::size_t steps = k <= 0 ? 0 : std::min<std::size_t>(std::size_t(k), n);
        for (std::size_t i = 0; i < steps; ++i) {
            const auto found = findNearest(q, maxDistance);
            if (!found.first)
                break;
            result.push_back(found.first);
            found.first->excludedFromSearch = true;
        }
        for (P* p : result)
            p->excludedFromSearch = false;
        q.excludedFromSearch = false;
        return result;
    }

    // Depth of the deepest node plus one (0 for an empty tree).
    std::size_t levels() const { return nodes.empty() ? 0 : levelsBelow(0); }

private:
    struct Node {
        int parent = -1, lower = -1, upper = -1;
        P* point = nullptr;
    };
    struct Result {
        int node;
        float distance;
    };

    void collectInOrder(int idx, std::vector<P*>& out) const
    {
        const Node& n = nodes[std::size_t(idx)];
        if (n.lower >= 0)
            collectInOrder(n.lower, out);
        out.push_back(n.point);
        if (n.upper >= 0)
            collectInOrder(n.upper, out);
    }

    template <class It> void build(It begin, It end, std::size_t depth)
    {
        if (begin == end)
            return;
        const std::size_t s = depth % dim;
        std::sort(begin, end, [s](const P* a, const P* b) { return a->coordinate(s) < b->coordinate(s); });
        const It median = begin + (end - begin) / 2;
        insert(*median);
        build(begin, median, depth + 1);
        build(median + 1, end, depth + 1);
    }

    std::size_t levelsBelow(int idx) const
    {
        const Node& n = nodes[std::size_t(idx)];
        std::size_t l = n.lower >= 0 ? levelsBelow(n.lower) : 0;
        std::size_t u = n.upper >= 0 ? levelsBelow(n.upper) : 0;
        return 1 + std::max(l, u);
    }

    float distance(const P& p, const std::vector<float>& q) const
    {
        float sum = 0;
        for (std::size_t i = 0; i < dim; ++i) {
            const float d = p.coordinate(i) - q[i];
            sum += d * d;
        }
        return std::sqrt(sum);
    }

    bool reachable(const std::vector<float>& q, const std::vector<float>& lo, const std::vector<float>& hi,
                   float best) const
    {
        for (std::size_t i = 0; i < dim; ++i)
            if (!(lo[i] - best <= q[i] && q[i] <= hi[i] + best))
                return false;
        return true;
    }

    // A found point beats no point at all, even at the distance that stood
    // for "nothing nearer yet" (a point exactly at the limit); between two
    // found points the strictly nearer one wins, so the first met keeps ties.
    static bool better(const Result& candidate, const Result& current)
    {
        if (candidate.node < 0)
            return false;
        return current.node < 0 ? candidate.distance <= current.distance
                                : candidate.distance < current.distance;
    }

    Result search(int idx, std::size_t depth, const std::vector<float>& q, std::vector<float>& lo,
                  std::vector<float>& hi, float& best) const
    {
        const Node& n = nodes[std::size_t(idx)];
        const std::size_t s = depth % dim;
        Result result{-1, best};
        if (!n.point->excludedFromSearch) {
            const float d = distance(*n.point, q);
            result = {idx, d};
            best = std::min(best, d);
        }
        const float split = n.point->coordinate(s);
        if (n.lower >= 0) {
            const float saved = hi[s];
            hi[s] = split;
            if (reachable(q, lo, hi, best)) {
                const Result r = search(n.lower, depth + 1, q, lo, hi, best);
                if (better(r, result))
                    result = r;
                best = std::min(best, result.distance);
            }
            hi[s] = saved;
        }
        if (n.upper >= 0) {
            const float saved = lo[s];
            lo[s] = split;
            if (reachable(q, lo, hi, best)) {
                const Result r = search(n.upper, depth + 1, q, lo, hi, best);
                if (better(r, result))
                    result = r;
                best = std::min(best, result.distance);
            }
            lo[s] = saved;
        }
        return result;
    }

    std::size_t dim;
    std::vector<Node> nodes; // nodes[0] is the root
};
