#pragma once
// A small fixed-seed generator, so that scripted matches and benchmark
// actions are the same on every machine.

#include <cstdint>

struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::int64_t below(std::uint64_t n) { return static_cast<std::int64_t>(next() % n); }
};
