// The long division taken piece by piece, against GMP's own, at sizes that give one piece, a
// piece and a bit, and many; and given up part way.
#include <gtest/gtest.h>
#include <gmp.h>

#include <atomic>

#include "bignum/division_in_pieces.h"

namespace {

TEST(DivisionInPieces, EqualsGmpsDivisionAtEverySizeAndGivesUpWhenAsked) {
  gmp_randstate_t random;
  gmp_randinit_mt(random);
  gmp_randseed_ui(random, 20261207);
  mpz_t n, d, q, r, expected_q, expected_r;
  mpz_inits(n, d, q, r, expected_q, expected_r, nullptr);
  const std::atomic<bool> going_on{false};
  for (const unsigned long divisor_bits : {1ul, 64ul, 65ul, 3000ul, 20000ul}) {
    for (const unsigned long dividend_bits : {0ul, 1ul, 63ul, 64ul, 129ul, 2999ul, 3000ul, 6001ul,
                                              19999ul, 20001ul, 100000ul}) {
      mpz_rrandomb(d, random, divisor_bits);
      mpz_rrandomb(n, random, dividend_bits);  // long runs of ones and zeros
      mpz_tdiv_qr(expected_q, expected_r, n, d);
      mpz_set(q, n);
      ASSERT_TRUE(divide_in_pieces(q, r, d, going_on));
      EXPECT_EQ(mpz_cmp(q, expected_q), 0) << dividend_bits << " / " << divisor_bits;
      EXPECT_EQ(mpz_cmp(r, expected_r), 0) << dividend_bits << " / " << divisor_bits;
    }
  }
  const std::atomic<bool> abandoned{true};
  mpz_urandomb(n, random, 10000);
  mpz_urandomb(d, random, 1000);
  EXPECT_FALSE(divide_in_pieces(n, r, d, abandoned));
  EXPECT_EQ(mpz_sgn(r), 0);
  mpz_clears(n, d, q, r, expected_q, expected_r, nullptr);
  gmp_randclear(random);
}

}  // namespace
