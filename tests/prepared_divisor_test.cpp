// The prepared division against the hardware's 128-bit division.
#include <gtest/gtest.h>

#include <random>

#include "compute/prepared_divisor.h"

#if defined(TINDERMOSS_HAVE_INT128)
namespace {

void expect_division(u128 value, std::uint64_t d) {
  PreparedDivisor divisor = prepare_divisor(d);
  u128 shifted = value << divisor.shift;
  std::uint64_t remainder = 0;
  std::uint64_t quotient = divide_normalized(static_cast<std::uint64_t>(shifted >> 64),
                                             static_cast<std::uint64_t>(shifted), divisor, &remainder);
  ASSERT_EQ(quotient, static_cast<std::uint64_t>(value / d)) << static_cast<std::uint64_t>(value) << " / " << d;
  ASSERT_EQ(remainder >> divisor.shift, static_cast<std::uint64_t>(value % d));
  ASSERT_EQ(remainder & ((std::uint64_t{1} << divisor.shift) - 1), 0u);
}

TEST(PreparedDivisor, EdgeValues) {
  const std::uint64_t divisors[] = {1, 2, 3, 7, 131836324, 4 * 65918162ull, 65918162ull * 1000000000,
                                    (1ull << 50) - 1, 1ull << 50, (1ull << 56) - 5, (1ull << 63) - 1,
                                    1ull << 63, ~0ull};
  for (std::uint64_t d : divisors) {
    u128 largest = (static_cast<u128>(d) << 64) - 1;  // the quotient just fits in 64 bits
    for (u128 value : {u128{0}, u128{1}, u128{d - 1}, u128{d}, u128{d} + 1, largest, largest - d,
                       largest / 2, u128{d} * 1000000000000000000ull - 1}) {
      if (value > largest) continue;
      expect_division(value, d);
    }
  }
}

TEST(PreparedDivisor, RandomValues) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 200000; ++round) {
    std::uint64_t d = rng() >> (rng() % 64);
    if (d == 0) d = 1;
    u128 value = (static_cast<u128>(rng() % d) << 64) | rng();
    expect_division(value, d);
  }
}

}  // namespace
#endif
