// The millisecond clock. Only differences of two readings, taken modulo 2^32, are meaningful.
#pragma once

#include <cstdint>

std::uint32_t clock_ms();
