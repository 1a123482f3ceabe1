// The kernels of the sweep engine. A sweep subtracts the terms n .. n+terms-1, held in turn by
// `term` (10^15 limbs, least significant first, `limbs` of them, all above top-first limb `first`
// zero), adding each into `subtracted`, and leaves term n+terms in `term`. nonzero[u] is zero
// exactly when term n+u+1 is zero.
#pragma once

#include <cstdint>

using Limb = std::uint64_t;

inline constexpr Limb LIMB_BASE = 1000000000000000ull;  // 10^15
inline constexpr int LIMB_DIGITS = 15;

// Any processor, every index up to the limit; at most PORTABLE_MAX_TERMS terms.
inline constexpr int PORTABLE_MAX_TERMS = 8;
void sweep_portable(Limb* term, Limb* subtracted, std::int32_t limbs, std::int32_t first, int terms,
                    std::uint32_t n, Limb* nonzero);

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TINDERMOSS_HAVE_IFMA_KERNEL 1
// AVX-512 F, DQ and IFMA; every divisor (2i+2) K below 2^50, i.e. n + terms <= IFMA_INDEX_BOUND;
// at most IFMA_MAX_TERMS terms.
inline constexpr int IFMA_MAX_TERMS = 56;
inline constexpr std::uint32_t IFMA_INDEX_BOUND =
    static_cast<std::uint32_t>((1ull << 49) / 65918162u - 1);
bool ifma_available();
void sweep_ifma(Limb* term, Limb* subtracted, std::int32_t limbs, std::int32_t first, int terms,
                std::uint32_t n, Limb* nonzero);
#endif
