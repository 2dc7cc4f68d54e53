#pragma once

// A contrario validation of line segments: the number of false alarms (NFA)
// of k aligned pixels among n, with the binomial tail of the LSD line segment
// detector (Grompone von Gioi et al., "LSD: a fast line segment detector with
// a false detection control", PAMI 2010), and a lookup table of the least
// aligned count that makes n pixels meaningful.

#include <cstddef>
#include <vector>

class NfaTable {
public:
    // size entries (n = 0 .. size-1); p the chance probability of an aligned
    // pixel (0 < p < 1 for a meaningful answer); logNT log10 of the number of tests.
    NfaTable(int size, double p, double logNT);

    // -log10 of the NFA of k aligned pixels out of n; meaningful when >= 0.
    // -1 for invalid arguments (n < 0, k < 0, k > n, p outside (0, 1)).
    double nfaValue(int n, int k) const;

    // n pixels with k aligned are meaningful: a table lookup for n < size,
    // the NFA computed directly beyond.
    bool isMeaningful(int n, int k) const;

    int size() const { return size_; }
    double p() const { return p_; }
    double logNT() const { return logNT_; }
    // least aligned count for n pixels (n < size), size + 1 when none is
    int leastAligned(int n) const { return table_[(std::size_t)n]; }

private:
    int size_;
    double p_, logNT_;
    std::vector<int> table_;
};

// natural log of the Gamma function (Windschitl above 15, Lanczos below)
double logGamma(double x);
