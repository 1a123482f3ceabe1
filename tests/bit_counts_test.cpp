// The digit counts each exact route takes where GMP's bit counts have 32 bits (Windows).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "products/bit_counts.h"

namespace {

constexpr std::uint64_t LARGEST_32 = 0xFFFFFFFFu;

std::uint64_t largest_places(std::uint64_t bits_per_place) {
  std::uint64_t low = 0, high = std::uint64_t{1} << 40;
  while (high - low > 1) {
    const std::uint64_t middle = low + (high - low) / 2;
    (bit_counts_fit(middle, bits_per_place, LARGEST_32) ? low : high) = middle;
  }
  return low;
}

// The bits of a number of `places` decimal places, as the routes lay it out in 32-bit limbs.
std::uint64_t number_bits(std::uint64_t places) {
  const double limbs = std::ceil(static_cast<double>(places) * std::log2(10.0) / 32);
  return 32 * (static_cast<std::uint64_t>(limbs) + 2 + 64);
}

TEST(BitCounts, LargestCountsOfEachRouteFitA32BitLong) {
  const std::uint64_t direct = largest_places(DIRECT_ROUTE_BITS_PER_PLACE);
  // The root of 10^9 digits still goes the direct way; its bit counts fit at the largest count.
  EXPECT_GE(direct, 1000000000u + 64);
  EXPECT_LT(number_bits(direct) + 1, LARGEST_32);
  EXPECT_FALSE(bit_counts_fit(direct + 1, DIRECT_ROUTE_BITS_PER_PLACE, LARGEST_32));

  // The block engine shifts by a number's bits twice over in its conversions.
  const std::uint64_t split = largest_places(BLOCK_ENGINE_BITS_PER_PLACE);
  EXPECT_GE(split, 600000000u);
  EXPECT_LT(2 * number_bits(split) + 1, LARGEST_32);
  EXPECT_FALSE(bit_counts_fit(split + 1, BLOCK_ENGINE_BITS_PER_PLACE, LARGEST_32));

  // With a 64-bit long every request fits either route.
  EXPECT_TRUE(
      bit_counts_fit(std::uint64_t{1} << 32, BLOCK_ENGINE_BITS_PER_PLACE, ~std::uint64_t{0}));
}

}  // namespace
