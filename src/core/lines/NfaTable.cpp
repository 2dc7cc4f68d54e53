#include "core/lines/NfaTable.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

// 1/i for i < 100000, computed once (thread-safe static initialisation)
const std::vector<double>& reciprocals()
{
    static const std::vector<double> table = [] {
        std::vector<double> r(100000, 0.0);
        for (size_t i = 1; i < r.size(); ++i)
            r[i] = 1.0 / (double)i;
        return r;
    }();
    return table;
}

bool nearlyEqual(double a, double b)
{
    if (a == b)
        return true;
    const double scale = std::max(std::max(std::abs(a), std::abs(b)), 2.2250738585072014e-308);
    return std::abs(a - b) / scale <= 2.220446049250313e-14;
}

} // namespace

double logGamma(double x)
{
    if (x > 15.0)
        return 0.918938533204673 + (x - 0.5) * std::log(x) - x +
               0.5 * x * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * std::pow(x, 6.0)));
    static const double q[7] = {75122.6331530, 80916.6278952, 36308.2951477, 8687.24529705,
                                1168.92649479, 83.8676043424, 2.50662827511};
    double a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5);
    double b = 0.0;
    for (int n = 0; n < 7; ++n) {
        a -= std::log(x + n);
        b += q[n] * std::pow(x, (double)n);
    }
    return a + std::log(b);
}

NfaTable::NfaTable(int size, double p, double logNT) : size_(std::max(0, size)), p_(p), logNT_(logNT)
{
    table_.assign((size_t)size_, size_ + 1);
    if (size_ == 0)
        return;
    table_[0] = 1;
    int k = 1;
    for (int n = 1; n < size_; ++n) {
        table_[(size_t)n] = size_ + 1;
        if (nfaValue(n, k) < 0) {
            bool found = false;
            while (k < n) {
                ++k;
                if (nfaValue(n, k) >= 0) {
                    found = true;
                    break;
                }
            }
            if (!found)
                continue;
        }
        table_[(size_t)n] = k;
    }
}

double NfaTable::nfaValue(int n, int k) const
{
    if (n < 0 || k < 0 || k > n || p_ <= 0 || p_ >= 1)
        return -1.0;
    if (n == 0 || k == 0)
        return -logNT_;
    if (n == k)
        return -logNT_ - (double)n * std::log10(p_);

    const double lnTerm = logGamma(n + 1.0) - logGamma(k + 1.0) - logGamma(n - k + 1.0) + k * std::log(p_) +
                          (n - k) * std::log(1.0 - p_);
    double term = std::exp(lnTerm);
    if (nearlyEqual(term, 0.0))
        return (k > n * p_) ? -lnTerm / M_LN10 - logNT_ : -logNT_;

    const std::vector<double>& inv = reciprocals();
    double tail = term;
    for (int i = k + 1; i <= n; ++i) {
        const double b = (n - i + 1) * (i < 100000 ? inv[(size_t)i] : 1.0 / i);
        const double m = b * p_ / (1.0 - p_);
        term *= m;
        tail += term;
        if (b < 1.0) {
            const double err = term * ((1.0 - std::pow(m, (double)(n - i + 1))) / (1.0 - m) - 1.0);
            if (err < 0.1 * std::abs(-std::log10(tail) - logNT_) * tail)
                break;
        }
    }
    return -std::log10(tail) - logNT_;
}

bool NfaTable::isMeaningful(int n, int k) const
{
    if (n >= 0 && n < size_)
        return table_[(size_t)n] <= k;
    return nfaValue(n, k) >= 0;
}
