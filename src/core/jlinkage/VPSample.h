#pragma once

// Draws vanishing-point hypotheses from line segments with the J-Linkage
// hypothesis sampler; reports progress 1 to 24 (of a 0-100 scale shared with
// VPCluster) through the signal `progress`.

#include <QObject>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class VPSample : public QObject {
    Q_OBJECT

public:
    explicit VPSample(QObject* parent = nullptr) : QObject(parent) {}

    // Fixes the random seed of the next sample() calls; without it each
    // call is seeded from the clock in seconds.
    void setSeed(std::uint32_t seed) { fixedSeed = seed; }

    // Asked after each hypothesis; when it answers true, sample() stops and
    // returns an empty list.
    void setStopCheck(std::function<bool()> check) { stopCheck = std::move(check); }

    // N hypotheses (3 floats each) from the segments (x1, y1, x2, y2), or an
    // empty list when N is 0, there are fewer than three segments, a segment
    // has fewer than 2 coordinates, samplingType is 4 or more, kNeighbours is
    // 0 or less, or sigma is negative. weights: one per segment, or null.
    std::vector<std::vector<float>> sample(const std::vector<std::vector<float>>& points, unsigned N,
                                           const std::vector<double>* weights, int samplingType, double sigma,
                                           int kNeighbours, double near, double far);

signals:
    void progress(int newValue);

private:
    int lastProgress = 0;
    std::optional<std::uint32_t> fixedSeed;
    std::function<bool()> stopCheck;
};
