#include "products/fft_product.h"

#include <flint/fft_small.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "products/memory_arena.h"
#include "products/product_tuning.h"

namespace {

// The first prime of FLINT's own default context: the FFT works modulo it and the primes after it.
constexpr ulong FIRST_PRIME = UWORD(0x0003f00000000001);

// FLINT's large allocations (a context's buffer and tables, which go with it) come from the arena
// while there is one; its small ones (caches of primes that outlive every context) from malloc,
// so that nothing of FLINT's is left in a region that has been given back.
constexpr std::size_t SMALLEST_FROM_ARENA = std::size_t{64} << 10;

void* allocate(std::size_t bytes) {
  return bytes >= SMALLEST_FROM_ARENA ? arena_allocate(bytes) : std::malloc(bytes);
}

void* allocate_zeroed(std::size_t count, std::size_t size) {
  void* chunk = allocate(count * size);
  if (chunk != nullptr) std::memset(chunk, 0, count * size);
  return chunk;
}

// A chunk stays where it was first allocated (arena_reallocate keeps one from malloc there).
void* reallocate(void* chunk, std::size_t bytes) {
  return chunk == nullptr ? allocate(bytes) : arena_reallocate(chunk, bytes);
}

void release(void* chunk) { arena_free(chunk); }

// Aligned memory from the arena: the chunk holds room for the alignment, and its start is kept in
// the word just below the aligned address.
void* allocate_aligned(std::size_t alignment, std::size_t bytes) {
  char* chunk = static_cast<char*>(allocate(bytes + alignment + sizeof(void*)));
  if (chunk == nullptr) return nullptr;
  const std::uintptr_t past_link = reinterpret_cast<std::uintptr_t>(chunk) + sizeof(void*);
  char* aligned = chunk + ((past_link + alignment - 1) / alignment * alignment -
                           reinterpret_cast<std::uintptr_t>(chunk));
  std::memcpy(aligned - sizeof(void*), &chunk, sizeof chunk);
  return aligned;
}

void release_aligned(void* aligned) {
  if (aligned == nullptr) return;
  void* chunk;
  std::memcpy(&chunk, static_cast<char*>(aligned) - sizeof(void*), sizeof chunk);
  arena_free(chunk);
}

// The calling thread's FFT context, made at its first product and cleared by fft_release_scratch,
// which every thread that multiplied calls before it ends, with FLINT's sets of primes as the
// context was made (see fewest_primes). Plain data, with no destructor to run when the thread
// ends: on Windows a thread's own storage can be gone before such a destructor runs.
struct ThreadContext {
  mpn_ctx_t context;
  bool ready;
  unsigned threads;  // the FFT's, as fft_set_threads left them (0: one)
  profile_entry_struct profiles[MAX_NPROFILES];
  ulong profile_count;
};
thread_local ThreadContext own;

void make_context() {
  mpn_ctx_init(own.context, FIRST_PRIME);
  own.profile_count = own.context->profiles_size;
  std::memcpy(own.profiles, own.context->profiles, sizeof own.profiles);
  own.ready = true;
}

ulong ceil_div(ulong a, ulong b) { return (a + b - 1) / b; }

// FLINT's scratch for a product {a, an} {b, bn} with `np` primes of `bits` bits a coefficient:
// its buffer (two transforms a prime) and its tables of roots (half a transform's length a prime).
std::size_t scratch_with(ulong an, ulong bn, ulong np, ulong bits) {
  const ulong coefficients = ceil_div(64 * an, bits) + ceil_div(64 * bn, bits) - 1;
  const ulong truncated = ceil_div(coefficients, BLK_SZ) * BLK_SZ;
  ulong depth = LG_BLK_SZ;
  while ((ulong{1} << depth) < truncated) ++depth;
  const ulong stride = ceil_div(sd_fft_ctx_data_size(depth), 128) * 128;
  return (2 * np * stride + np * (ulong{1} << (depth - 1))) * sizeof(double);
}

// FLINT chooses among its sets of primes (4 to 8) the one of the shortest transforms; but the
// recombination of the primes' results costs the square of their count a coefficient, which its
// choice leaves out. Fewer primes, where their transforms' scratch stays within `allowance`
// bytes, are quicker: measured for one thread from 10^6 limbs on 16 to 21% (4 primes where FLINT
// took 6 or 7), the same below 10^5; runs with -r 5% at 10^7 digits and 2.5% at 10^8. Leaves the
// context with the sets of the fewest primes that fit (of an even count when the FFT runs on two
// threads, which share the primes out), or all of them where none fits; the products are the same
// whichever set is used.
void fewest_primes(ulong an, ulong bn, std::size_t allowance) {
  ulong chosen = 0;
  for (ulong np = 4; np <= 8 && chosen == 0; ++np) {
    if (own.threads >= 2 && np % own.threads != 0) continue;
    ulong bits = 0;  // the most bits of np primes that bn allows
    for (ulong i = 0; i < own.profile_count; ++i) {
      if (own.profiles[i].np == np && bn <= own.profiles[i].bn_bound) {
        bits = std::max(bits, own.profiles[i].bits);
      }
    }
    if (bits > 0 && scratch_with(an, bn, np, bits) <= allowance) chosen = np;
  }
  ulong count = 0;
  for (ulong i = 0; i < own.profile_count; ++i) {
    if (chosen == 0 || own.profiles[i].np == chosen)
      own.context->profiles[count++] = own.profiles[i];
  }
  own.context->profiles_size = count;
}

}  // namespace

void fft_prepare() {
  static std::once_flag prepared;
  std::call_once(prepared, [] {
    __flint_set_all_memory_functions(allocate, allocate_zeroed, reallocate, release,
                                     allocate_aligned, release_aligned);
  });
}

void fft_multiply(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b, mp_size_t bn,
                  bool keep) {
  assert(an >= bn && bn >= 1);
  assert(r + an + bn <= a || a + an <= r);
  assert(r + an + bn <= b || b + bn <= r);
  if (!own.ready) make_context();
  const std::size_t limbs = static_cast<std::size_t>(an + bn);
  fewest_primes(static_cast<ulong>(an), static_cast<ulong>(bn),
                fft_scratch_bytes(limbs, own.threads) - FFT_CONTEXT_BYTES);
  mpn_ctx_mpn_mul(own.context, r, a, static_cast<ulong>(an), b, static_cast<ulong>(bn));
  if (!keep && fft_scratch_bytes(limbs) > FFT_KEPT_SCRATCH_BYTES) {
    mpn_ctx_clear(own.context);
    own.ready = false;
  }
}

void fft_release_context() {
  if (own.ready) mpn_ctx_clear(own.context);
  own.ready = false;
}

bool fft_pool_ready() {
  static bool ready = [] {
    try {
      std::thread([] {}).join();
    } catch (const std::system_error&) {
      return false;
    }
    flint_set_num_threads(2);
    flint_reset_num_workers(0);
    return true;
  }();
  return ready;
}

void fft_set_threads(unsigned threads) {
  assert(threads == 1 || (threads == 2 && fft_pool_ready()));
  flint_reset_num_workers(static_cast<int>(threads) - 1);
  own.threads = threads;
}

void fft_release_scratch() {
  fft_release_context();
  // Also the caches FLINT keeps for the thread (its tables of small primes).
  flint_cleanup();
}
