// The powers of ten that fit in 64 bits.
#pragma once

#include <cstdint>

inline constexpr int POWERS_OF_TEN_COUNT = 20;

// POWERS_OF_TEN[k] = 10^k for 0 <= k <= 19.
inline constexpr std::uint64_t POWERS_OF_TEN[POWERS_OF_TEN_COUNT] = {
    1ull,
    10ull,
    100ull,
    1000ull,
    10000ull,
    100000ull,
    1000000ull,
    10000000ull,
    100000000ull,
    1000000000ull,
    10000000000ull,
    100000000000ull,
    1000000000000ull,
    10000000000000ull,
    100000000000000ull,
    1000000000000000ull,
    10000000000000000ull,
    100000000000000000ull,
    1000000000000000000ull,
    10000000000000000000ull,
};
