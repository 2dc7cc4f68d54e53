#include "core/lines/NfaTable.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// -log10(NT * P[Binomial(n, p) >= k]) by direct summation in long double
double referenceNfa(int n, int k, double p, double logNT)
{
    long double tail = 0;
    for (int i = k; i <= n; ++i) {
        const long double lt = std::lgamma((long double)n + 1) - std::lgamma((long double)i + 1) -
                               std::lgamma((long double)(n - i) + 1) + i * std::log((long double)p) +
                               (n - i) * std::log1p(-(long double)p);
        tail += std::exp(lt);
    }
    return (double)(-std::log10(tail) - logNT);
}

} // namespace

TEST(NfaTable, EdgeValuesOfTheNfa)
{
    const NfaTable t(250, 0.125, 12.0);
    EXPECT_DOUBLE_EQ(t.nfaValue(40, 0), -12.0);
    EXPECT_DOUBLE_EQ(t.nfaValue(0, 0), -12.0);
    EXPECT_DOUBLE_EQ(t.nfaValue(30, 30), -12.0 - 30 * std::log10(0.125));
    EXPECT_DOUBLE_EQ(t.nfaValue(10, 11), -1.0);
    EXPECT_DOUBLE_EQ(t.nfaValue(-1, 0), -1.0);
    EXPECT_DOUBLE_EQ(t.nfaValue(10, -1), -1.0);
    for (double p : {0.0, 1.0, -0.5, 1.5}) {
        SCOPED_TRACE(p);
        EXPECT_DOUBLE_EQ(NfaTable(10, p, 1.0).nfaValue(10, 5), -1.0);
    }
}

TEST(NfaTable, NfaMatchesTheBinomialTail)
{
    const double logNT = 2 * (std::log10(1000.0) + std::log10(1000.0));
    const NfaTable t(250, 0.125, logNT);
    const int cases[][2] = {{10, 3},   {20, 8},     {50, 12},    {100, 30},
                            {300, 80}, {1000, 200}, {1000, 126}, {2000, 600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "n=" << c[0] << " k=" << c[1]);
        const double ref = referenceNfa(c[0], c[1], 0.125, logNT);
        // the tail sum stops once its relative error is below a tenth of the value's distance from 0
        EXPECT_NEAR(t.nfaValue(c[0], c[1]), ref, 0.05 * std::abs(ref + logNT) + 1e-9);
        EXPECT_EQ(t.nfaValue(c[0], c[1]) >= 0, ref >= 0);
    }
}

TEST(NfaTable, TableHoldsTheLeastMeaningfulCount)
{
    // a 1000 x 1000 image: (W + H) / 8 = 250 entries, logNT = 12
    const NfaTable t((1000 + 1000) / 8, 0.125, 2 * (std::log10(1000.0) + std::log10(1000.0)));
    ASSERT_EQ(t.size(), 250);
    EXPECT_DOUBLE_EQ(t.logNT(), 12.0);
    EXPECT_EQ(t.leastAligned(0), 1);
    for (int n = 1; n < t.size(); ++n) {
        SCOPED_TRACE(n);
        const int k = t.leastAligned(n);
        if (k > n) {
            EXPECT_EQ(k, t.size() + 1);
            EXPECT_LT(t.nfaValue(n, n), 0);
            continue;
        }
        EXPECT_GE(t.nfaValue(n, k), 0);
        EXPECT_LT(t.nfaValue(n, k - 1), 0);
        EXPECT_TRUE(t.isMeaningful(n, k));
        EXPECT_FALSE(t.isMeaningful(n, k - 1));
    }
    // few pixels can never be meaningful with 12 decades of tests
    EXPECT_EQ(t.leastAligned(5), t.size() + 1);
}

TEST(NfaTable, BeyondTheTableTheNfaIsComputed)
{
    const NfaTable t(50, 0.125, 6.0);
    for (int n : {50, 51, 400}) {
        SCOPED_TRACE(n);
        for (int k = 0; k <= n; k += 7)
            EXPECT_EQ(t.isMeaningful(n, k), t.nfaValue(n, k) >= 0) << "k=" << k;
    }
    const NfaTable empty(0, 0.125, 6.0);
    EXPECT_TRUE(empty.isMeaningful(30, 30));
    EXPECT_FALSE(empty.isMeaningful(30, 2));
}

TEST(NfaTable, LogGammaOnBothBranches)
{
    for (double x : {0.5, 1.0, 2.5, 7.0, 14.9, 15.1, 40.0, 1000.0, 1e5}) {
        SCOPED_TRACE(x);
        EXPECT_NEAR(logGamma(x), std::lgamma(x), 1e-9 * std::max(1.0, std::abs(std::lgamma(x))));
    }
}
