#pragma once

// A plain bit vector of 64-bit words for the J-Linkage preference sets.
//
// A preference set holds one bit per model hypothesis (a few thousand); the
// clusterer needs set/clear/test, in-place AND, the number of set bits and
// the sizes of the AND and the OR of two sets. The counts are taken word by
// word with popcount, without building the AND or OR vector.
//
// Bits beyond size() are always zero, so counts over two sets of different
// sizes treat the shorter one as padded with zeros.

#include <cstddef>
#include <cstdint>
#include <vector>

class BitSet {
public:
    BitSet() = default;
    explicit BitSet(std::size_t bits) { resize(bits); }

    std::size_t size() const { return bitCount; }
    // Grows or shrinks to `bits` bits; new bits are zero.
    void resize(std::size_t bits);

    bool test(std::size_t i) const { return i < bitCount && ((words[i >> 6] >> (i & 63)) & 1u); }
    // Sets bit i to `value`; i must be below size().
    void set(std::size_t i, bool value = true);
    void reset(std::size_t i) { set(i, false); }
    // Clears every bit, keeping the size.
    void clear();

    // this = this AND other (bits beyond other's size become zero).
    BitSet& operator&=(const BitSet& other);

    std::size_t count() const;
    bool any() const;

    // |a AND b| and |a OR b| in one pass.
    static void andOrCount(const BitSet& a, const BitSet& b, std::uint32_t& andCount, std::uint32_t& orCount);
    static std::size_t andCount(const BitSet& a, const BitSet& b);
    static std::size_t orCount(const BitSet& a, const BitSet& b);

    // Indices of the set bits, ascending.
    std::vector<int> setBits() const;

    bool operator==(const BitSet& other) const;

private:
    std::vector<std::uint64_t> words;
    std::size_t bitCount = 0;
};
