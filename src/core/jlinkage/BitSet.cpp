#include "core/jlinkage/BitSet.h"

#include <algorithm>
#include <cassert>

namespace {

inline int popcount(std::uint64_t w)
{
    return __builtin_popcountll(w);
}

} // namespace

void BitSet::resize(std::size_t bits)
{
    words.resize((bits + 63) / 64, 0);
    bitCount = bits;
    // keep the bits past the end zero after a shrink
    if (bits & 63)
        words.back() &= (std::uint64_t(1) << (bits & 63)) - 1;
}

void BitSet::set(std::size_t i, bool value)
{
    assert(i < bitCount);
    const std::uint64_t mask = std::uint64_t(1) << (i & 63);
    if (value)
        words[i >> 6] |= mask;
    else
        words[i >> 6] &= ~mask;
}

void BitSet::clear()
{
    std::fill(words.begin(), words.end(), 0);
}

BitSet& BitSet::operator&=(const BitSet& other)
{
    const std::size_t n = std::min(words.size(), other.words.size());
    for (std::size_t i = 0; i < n; ++i)
        words[i] &= other.words[i];
    for (std::size_t i = n; i < words.size(); ++i)
        words[i] = 0;
    return *this;
}

std::size_t BitSet::count() const
{
    std::size_t c = 0;
    for (std::uint64_t w : words)
        c += popcount(w);
    return c;
}

bool BitSet::any() const
{
    for (std::uint64_t w : words)
        if (w)
            return true;
    return false;
}

// The hot loop of the clusterer: built also for processors with a popcount
// instruction, chosen when the program starts.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("popcnt", "default")))
#endif
void BitSet::andOrCount(const BitSet& a, const BitSet& b, std::uint32_t& andCount, std::uint32_t& orCount)
{
    const std::size_t n = std::min(a.words.size(), b.words.size());
    const std::uint64_t* wa = a.words.data();
    const std::uint64_t* wb = b.words.data();
    std::uint32_t ca = 0, co = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ca += popcount(wa[i] & wb[i]);
        co += popcount(wa[i] | wb[i]);
    }
    const BitSet& longer = a.words.size() > n ? a : b;
    for (std::size_t i = n; i < longer.words.size(); ++i)
        co += popcount(longer.words[i]);
    andCount = ca;
    orCount = co;
}

std::size_t BitSet::andCount(const BitSet& a, const BitSet& b)
{
    std::uint32_t ca, co;
    andOrCount(a, b, ca, co);
    return ca;
}

std::size_t BitSet::orCount(const BitSet& a, const BitSet& b)
{
    std::uint32_t ca, co;
    andOrCount(a, b, ca, co);
    return co;
}

std::vector<int> BitSet::setBits() const
{
    std::vector<int> bits;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::uint64_t w = words[i];
        while (w) {
            bits.push_back(int(i * 64 + __builtin_ctzll(w)));
            w &= w - 1;
        }
    }
    return bits;
}

bool BitSet::operator==(const BitSet& other) const
{
    return bitCount == other.bitCount && words == other.words;
}
