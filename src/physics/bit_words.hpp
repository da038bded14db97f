#pragma once

// Bit sets kept as 64-bit words, item i in bit i % 64 of word i / 64, so that
// walking the set bits upwards visits the items in index order.

#include <bit>
#include <cstddef>
#include <cstdint>

// Calls visit(i) for every set bit i of a bit set of n_words words, upwards.
template <class Visit>
inline void for_each_bit(const std::uint64_t* words, std::size_t n_words, Visit&& visit) {
    for (std::size_t w = 0; w < n_words; ++w) {
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
            visit(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
        }
    }
}

// The bits above bit b of a word (b < 64).
inline std::uint64_t bits_above(std::size_t b) { return ~((std::uint64_t{2} << b) - 1); }
