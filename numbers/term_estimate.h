// The size of the series' exact terms, estimated in double precision.
#pragma once

#include <cstdint>

// ln T_n, where T_n = B / (2K) * C(2n-2, n-1) / (4^(n-1) n K^(n-1)) is the exact n-th term in
// units of the last word of a number of `positions` digit positions (B = 10^(9W-1) is 1.0):
// for finding where to look, and for checks with a wide margin. Requires n >= 1.
double log_term_estimate(std::uint32_t positions, double n);
