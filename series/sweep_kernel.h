// The kernels of the sweep engine. A sweep subtracts the terms n .. n+terms-1, held in turn by
// `term` (10^15 wide words, least significant first, `wide_words` of them, all above top-first wide
// word `first` zero), adding each into `subtracted`, and leaves term n+terms in `term`. Unless
// `nonzero` is null, nonzero[u] is zero exactly when term n+u+1 is zero. With a gate, the sweep may
// follow another on another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "numbers/series_constants.h"

// The sweep engine's unit, a wide word: fifteen decimal digits, below 10^15 once normalised.
using WideWord = std::uint64_t;

// Lets a sweep follow the sweep before it through the wide words on another thread. Progress is the
// next stage a sweep will do (every stage before it is done); the last term of a sweep of T terms
// finishes wide word x at stage x + T - 1, so wide word x may be read once that sweep's progress
// passes it.
struct SweepGate {
  std::atomic<std::int64_t>* own = nullptr;           // this sweep's progress, or none
  const std::atomic<std::int64_t>* leader = nullptr;  // the sweep it follows, or none
  int leader_terms = 0;
  std::int32_t stages = 64;  // stages between two looks at the gate
};

inline constexpr std::int64_t SWEEP_DONE = INT64_MAX;

// One round of a spin-wait: a pause at first, then the processor given away, in case the thread
// waited for shares it.
inline void relax(int round) {
#if defined(__x86_64__) || defined(__i386__)
  if (round < 256) {
    __builtin_ia32_pause();
    return;
  }
#else
  (void)round;
#endif
  std::this_thread::yield();
}

// Stages between two looks at `gate`: all of them without one.
inline std::int32_t gate_stages(const SweepGate* gate) {
  return gate != nullptr ? gate->stages : INT32_MAX;
}

// Before stages s .. s + gate->stages - 1: publishes s, then waits until the leader has finished
// every wide word those stages read or write.
inline void pass_gate(const SweepGate* gate, std::int64_t s) {
  if (gate == nullptr) return;
  if (gate->own != nullptr) gate->own->store(s, std::memory_order_release);
  if (gate->leader == nullptr) return;
  const std::int64_t needed = s + gate->stages - 1 + gate->leader_terms;
  for (int round = 0; gate->leader->load(std::memory_order_acquire) < needed; ++round) relax(round);
}

inline void close_gate(const SweepGate* gate) {
  if (gate != nullptr && gate->own != nullptr)
    gate->own->store(SWEEP_DONE, std::memory_order_release);
}

inline constexpr WideWord WIDE_WORD_BASE = 1000000000000000ull;  // 10^15
inline constexpr int WIDE_WORD_DIGITS = 15;

// Any processor, every index up to the limit; at most PORTABLE_MAX_TERMS terms.
inline constexpr int PORTABLE_MAX_TERMS = 8;
void sweep_portable(WideWord* term, WideWord* subtracted, std::int32_t wide_words,
                    std::int32_t first, int terms, std::uint32_t n, WideWord* nonzero,
                    const SweepGate* gate);

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TINDERMOSS_HAVE_IFMA_KERNEL 1
// AVX-512 F, DQ and IFMA; every divisor (2i+2) K below 2^50, i.e. n + terms <= IFMA_INDEX_BOUND;
// at most IFMA_MAX_TERMS terms.
inline constexpr int IFMA_MAX_TERMS = 56;
inline constexpr std::uint32_t IFMA_INDEX_BOUND =
    static_cast<std::uint32_t>((1ull << 49) / SERIES_X_DENOMINATOR - 1);
bool ifma_available();
void sweep_ifma(WideWord* term, WideWord* subtracted, std::int32_t wide_words, std::int32_t first,
                int terms, std::uint32_t n, WideWord* nonzero, const SweepGate* gate);
#endif
