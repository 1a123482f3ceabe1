#include "products/fft_product.h"

#include <flint/fft_small.h>
#include <flint/crt_helpers.h>
#include <flint/thread_pool.h>
#include <flint/thread_support.h>
#include <flint/ulong_extras.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
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

// Kept operands' transforms are aligned as FLINT aligns its buffers.
constexpr std::size_t KEPT_OPERAND_ALIGNMENT = 4096;

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

ulong transform_stride(ulong depth) { return ceil_div(sd_fft_ctx_data_size(depth), 128) * 128; }

// FLINT's scratch for transforms of 2^depth coefficients under `np` primes: its buffer
// (`transforms` transforms a prime) and its tables of roots (half a transform's length a prime).
std::size_t transforms_scratch(ulong np, ulong depth, ulong transforms) {
  return (transforms * np * transform_stride(depth) + np * (ulong{1} << (depth - 1))) *
         sizeof(double);
}

// The transforms of a full product {a, an} {b, bn} with `bits` bits a coefficient: its
// coefficients rounded up to whole blocks, and the depth of the transforms that hold them.
struct FullTransforms {
  ulong truncated;
  ulong depth;
};
FullTransforms full_transforms(ulong an, ulong bn, ulong bits) {
  const ulong coefficients = ceil_div(64 * an, bits) + ceil_div(64 * bn, bits) - 1;
  const ulong truncated = ceil_div(coefficients, BLK_SZ) * BLK_SZ;
  ulong depth = LG_BLK_SZ;
  while ((ulong{1} << depth) < truncated) ++depth;
  return FullTransforms{truncated, depth};
}

// FLINT's scratch for a product {a, an} {b, bn} with `np` primes of `bits` bits a coefficient.
std::size_t scratch_with(ulong an, ulong bn, ulong np, ulong bits) {
  return transforms_scratch(np, full_transforms(an, bn, bits).depth, 2);
}

// FLINT chooses among its sets of primes (4 to 8) the one of the shortest transforms; but the
// recombination of the primes' results costs the square of their count a coefficient, which its
// choice leaves out. Fewer primes, where their transforms' scratch stays within `allowance`
// bytes, are quicker: measured for one thread from 10^6 limbs on 16 to 21% (4 primes where FLINT
// took 6 or 7), the same below 10^5; runs with -r 5% at 10^7 digits and 2.5% at 10^8. Leaves the
// context with the sets of the fewest primes that fit (of an even count when the FFT runs on two
// threads, which share the primes out), or all of them where none fits; the products are the same
// whichever set is used. Returns the count of primes chosen, 0 where none fits.
ulong fewest_primes(ulong an, ulong bn, std::size_t allowance) {
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
  return chosen;
}

// FLINT's sets of primes as every context has them (see fft_prepare), for choosing the shape of a
// product modulo B^n - 1 before the calling thread has a context.
struct ProfileFacts {
  ulong np;
  ulong bits;
  ulong bn_bound;
};
ProfileFacts profile_facts[MAX_NPROFILES];
ulong profile_facts_count = 0;

// A product modulo B^n - 1 by whole transforms: 2^depth coefficients of the profile's bits.
struct WrappedShape {
  ulong profile = 0;
  ulong depth = 0;
  bool found = false;
};

// Relative cost of a shape: about 20 ns a coefficient and prime, and half a nanosecond more a
// prime for the recombination (measured from 10^4 to 3 10^6 limbs).
double wrapped_cost(const WrappedShape& shape) {
  const double np = static_cast<double>(profile_facts[shape.profile].np);
  return std::ldexp(np * (40 + np), static_cast<int>(shape.depth));
}

// The cheapest shape of a size n >= at_least (n == at_least when `exact`) whose primes hold the
// coefficients of products whose shorter operand has up to `shorter` limbs (n where 0): each
// coefficient, wrapped or not, sums at most as many terms as that operand has coefficients; with
// n.
WrappedShape cheapest_shape(mp_size_t at_least, bool exact, mp_size_t shorter, mp_size_t* size) {
  WrappedShape best;
  for (ulong i = 0; i < profile_facts_count; ++i) {
    const ulong bits = profile_facts[i].bits;
    for (ulong depth = LG_BLK_SZ; depth <= 40; ++depth) {
      if ((bits << depth) % GMP_NUMB_BITS != 0) continue;
      const auto n = static_cast<mp_size_t>((bits << depth) / GMP_NUMB_BITS);
      if (n < at_least) continue;
      const WrappedShape shape{i, depth, true};
      const ulong operand_limbs = static_cast<ulong>(shorter != 0 ? shorter : n);
      if (operand_limbs <= profile_facts[i].bn_bound && (!exact || n == at_least) &&
          (!best.found || wrapped_cost(shape) < wrapped_cost(best))) {
        best = shape;
        *size = n;
      }
      break;  // deeper is only longer for these primes
    }
  }
  return best;
}

// Coefficients of the second operand loaded at a time in the lean layout (below), for transforms
// of 2^depth: an eighth of them from 2^11 on, up to 2^14; a divisor of a region of FLINT's buffer
// without padding (2^(BLK_SHIFT + 2) blocks), so that a chunk's place in the buffer is contiguous.
constexpr ulong LOAD_CHUNK_MAX = ulong{1} << 14;
static_assert((ulong{BLK_SZ} << (BLK_SHIFT + 2)) % LOAD_CHUNK_MAX == 0);
ulong load_chunk(ulong depth) {
  return std::min(LOAD_CHUNK_MAX,
                  ulong{BLK_SZ} << (depth > LG_BLK_SZ + 3 ? depth - LG_BLK_SZ - 3 : 0));
}

// How a product modulo B^n - 1 holds its transforms. Wide: both operands' transforms of every
// prime and every prime's tables of roots at once (the context's). Lean: the first operand's
// transforms of every prime, the second's of one prime at a time (loaded a chunk at a time for
// that prime alone, which loads it once a prime: about 7% more time), and one prime's tables at a
// time; about two thirds of the wide scratch, for products the wide one would not fit.
enum class Layout { WIDE, LEAN };

// A prime's tables of roots for transforms of 2^depth: FLINT allocates them a depth at a time,
// each aligned to a page.
std::size_t prime_tables_bytes(ulong depth) {
  return (std::size_t{1} << (depth - 1)) * sizeof(double) +
         2 * 4096 * static_cast<std::size_t>(depth);
}

// The lean layout's second operand: one prime's transform and the chunk it is loaded through.
std::size_t lean_second_operand_bytes(const WrappedShape& shape) {
  const ulong np = profile_facts[shape.profile].np;
  return (transform_stride(shape.depth) + np * load_chunk(shape.depth)) * sizeof(double);
}

// A shape's FFT scratch (a square's, one transform a prime, when `squaring`) in `layout`, its
// context's included.
std::size_t wrapped_scratch(const WrappedShape& shape, bool squaring, Layout layout) {
  const ulong np = profile_facts[shape.profile].np;
  if (layout == Layout::WIDE) {
    return transforms_scratch(np, shape.depth, squaring ? 1 : 2) + FFT_CONTEXT_BYTES;
  }
  const std::size_t second = squaring ? 0 : lean_second_operand_bytes(shape);
  return np * transform_stride(shape.depth) * sizeof(double) + second +
         prime_tables_bytes(shape.depth) + FFT_CONTEXT_BYTES;
}

// Whether the lean layout of a product that is no square fits `allowance` with a second thread's
// share (see wrapped_product): a second operand's transform and chunk, and a prime's tables, of
// its own.
bool lean_fits_two_threads(const WrappedShape& shape, std::size_t allowance) {
  return wrapped_scratch(shape, false, Layout::LEAN) + lean_second_operand_bytes(shape) +
             prime_tables_bytes(shape.depth) <=
         allowance;
}

// Two limbs' worth, for products of a limb by a limb (GCC's and Clang's, on the 64-bit targets
// FLINT's FFT is built for).
__extension__ typedef unsigned __int128 DoubleLimb;

// Limbs of the largest recombined coefficient (FLINT's for eight primes): a shifted one reaches
// one limb further, and the sum of all is below the last of them.
constexpr ulong MAX_COEFFICIENT_LIMBS = 7;
static_assert(FFT_WRAPPED_EXTRA_LIMBS >= MAX_COEFFICIENT_LIMBS + 2);

// FLINT's inline helpers for its own recombination (crt_helpers.h), chosen by the CRT's length N
// and the cofactors' limbs M: r, t <- C y, or += C y with ADD (r's limbs at even places of the
// product and t's at odd ones, so that no carry runs along); r <- r + t reduced below the primes'
// product; z[0 .. K) += a[0 .. K).
template <ulong N, ulong M, bool ADD>
void big_multiply(ulong* r, ulong* t, ulong* c, ulong y) {
  if constexpr (N == 4 && M == 3) ADD ? _big_addmul_4_3(r, t, c, y) : _big_mul_4_3(r, t, c, y);
  if constexpr (N == 4 && M == 4) ADD ? _big_addmul_4_4(r, t, c, y) : _big_mul_4_4(r, t, c, y);
  if constexpr (N == 5 && M == 4) ADD ? _big_addmul_5_4(r, t, c, y) : _big_mul_5_4(r, t, c, y);
  if constexpr (N == 6 && M == 5) ADD ? _big_addmul_6_5(r, t, c, y) : _big_mul_6_5(r, t, c, y);
  if constexpr (N == 7 && M == 6) ADD ? _big_addmul_7_6(r, t, c, y) : _big_mul_7_6(r, t, c, y);
}
template <ulong N>
void reduce_sum(ulong* r, ulong* t, const ulong* product_of_primes) {
  if constexpr (N == 4) _reduce_big_sum_4(r, t, product_of_primes);
  if constexpr (N == 5) _reduce_big_sum_5(r, t, product_of_primes);
  if constexpr (N == 6) _reduce_big_sum_6(r, t, product_of_primes);
  if constexpr (N == 7) _reduce_big_sum_7(r, t, product_of_primes);
}
template <ulong K>
void add_limbs(ulong* z, const ulong* a) {
  if constexpr (K == 4) multi_add_4(z, a);
  if constexpr (K == 5) multi_add_5(z, a);
  if constexpr (K == 6) multi_add_6(z, a);
  if constexpr (K == 7) multi_add_7(z, a);
  if constexpr (K == 8) multi_add_8(z, a);
}

// A coefficient's residues y_l (below the primes p_l, each with its cofactor's inverse taken in)
// recombine as c = sum of C_l y_l - k P, with C_l = P / p_l and k = floor(sum of y_l / p_l), below
// np. The sum in doubles is within 2^-40 of the true one: where it lies further than
// QUICK_MARGIN from an integer its floor is k, and c is the sum of C_l y_l + k (2^(64 N) - P)
// modulo 2^(64 N), by columns of double limbs, without a branch. The others (zero coefficients
// among them) take FLINT's way, which subtracts P until the sum is below it.
constexpr double QUICK_MARGIN = 0x1p-32;

// The double of r < 2^52, exactly, and back (for a whole x below 2^52), by the bits of 2^52 + r:
// unlike the conversions of a full limb, they go four to an instruction.
constexpr ulong TWO_TO_52_BITS = 0x4330000000000000;
inline double small_to_double(ulong r) {
  assert(r < ulong{1} << 52);
  return std::bit_cast<double>(r | TWO_TO_52_BITS) - 0x1p52;
}
inline ulong small_from_double(double x) {
  assert(x >= 0 && x < 0x1p52 && x == std::floor(x));
  return std::bit_cast<ulong>(x + 0x1p52) ^ TWO_TO_52_BITS;
}

// r[0 .. N) <- c as above, given k. Requires the column sums to fit in two limbs: each C_l's limb
// times y_l is below 2^114, and np <= 8 of them with k's column stay below 2^118.
template <ulong NP, ulong N, ulong M>
void recombine_quick(ulong* r, const ulong (&cofactor)[NP][M], const ulong (&complement)[N],
                     const ulong* y, ulong k) {
  DoubleLimb column[N] = {};
  for (ulong l = 0; l < NP; ++l) {
    for (ulong i = 0; i < M; ++i) column[i] += static_cast<DoubleLimb>(cofactor[l][i]) * y[l];
  }
  for (ulong i = 0; i < N; ++i) column[i] += static_cast<DoubleLimb>(complement[i]) * k;
  DoubleLimb carry = 0;
  for (ulong i = 0; i < N; ++i) {
    carry += column[i];
    r[i] = static_cast<ulong>(carry);
    carry >>= GMP_NUMB_BITS;
  }
}

// Where the processor has AVX-512's 52-bit multiply-adds (IFMA), the quick coefficients are
// recombined eight at a time in digits of 52 bits: the same sums as by the columns of double
// limbs, with 8 to 10% taken off a product modulo B^n - 1 from 10^4 to 1.5 10^5 limbs (measured
// by build/bench/product_tuning on an AMD EPYC). Chosen by fft_recombine_by_digits.
std::atomic<bool> recombine_by_digits{false};

constexpr ulong DIGIT_BITS = 52;
constexpr ulong DIGIT_MASK = (ulong{1} << DIGIT_BITS) - 1;
constexpr ulong LANES = 8;
static_assert(BLK_SZ % LANES == 0);

// Digits of 52 bits a number of `limbs` limbs takes.
constexpr ulong digits_of(ulong limbs) {
  return (limbs * GMP_NUMB_BITS + DIGIT_BITS - 1) / DIGIT_BITS;
}

// {digits, digits_of(LIMBS)} <- {x, LIMBS} in digits of 52 bits.
template <ulong LIMBS>
void to_digits(ulong* digits, const ulong* x) {
  for (ulong d = 0; d < digits_of(LIMBS); ++d) {
    const ulong bit = d * DIGIT_BITS;
    const ulong limb = bit / GMP_NUMB_BITS;
    const ulong shift = bit % GMP_NUMB_BITS;
    ulong value = x[limb] >> shift;
    if (shift > GMP_NUMB_BITS - DIGIT_BITS && limb + 1 < LIMBS) {
      value |= x[limb + 1] << (GMP_NUMB_BITS - shift);
    }
    digits[d] = value & DIGIT_MASK;
  }
}

// Eight limbs, one a lane of AVX-512's registers (GCC's and Clang's vectors, whose shifts and
// sums take no intrinsics).
typedef ulong Lanes __attribute__((vector_size(LANES * sizeof(ulong))));

// low + high 2^52 += x digit, lane by lane, for x and digit below 2^52 (C's casts between
// vectors of one size reinterpret them).
__attribute__((target("avx512f,avx512ifma"))) inline void multiply_add(Lanes& low, Lanes& high,
                                                                       const Lanes& x,
                                                                       ulong digit) {
  const __m512i spread = (__m512i)(Lanes{} + digit);
  low = (Lanes)_mm512_madd52lo_epu64((__m512i)low, (__m512i)x, spread);
  high = (Lanes)_mm512_madd52hi_epu64((__m512i)high, (__m512i)x, spread);
}

// values[j][0 .. N) <- as recombine_quick for the LANES coefficients j of y_l = residues[l
// BLK_SZ + j] and k = floors[j], with the cofactors and the complement in digits of 52 bits. Every
// column of digits sums at most 2 NP + 2 parts below 2^52, well within a limb, before its carry
// goes on. Requires a processor with AVX-512F and IFMA, and y_l and k below 2^52.
template <ulong NP, ulong N, ulong M>
__attribute__((target("avx512f,avx512ifma"))) void recombine_by_lanes(
    ulong (*values)[N], const ulong (&cofactor)[NP][digits_of(M)],
    const ulong (&complement)[digits_of(N)], const ulong* residues, const ulong* floors) {
  constexpr ulong D = digits_of(M);
  constexpr ulong E = digits_of(N);
  constexpr ulong COLUMNS = (D > E ? D : E) + 1;
  Lanes column[COLUMNS] = {};
  for (ulong l = 0; l < NP; ++l) {
    Lanes y;
    std::memcpy(&y, residues + l * BLK_SZ, sizeof y);
    for (ulong d = 0; d < D; ++d) multiply_add(column[d], column[d + 1], y, cofactor[l][d]);
  }
  Lanes k;
  std::memcpy(&k, floors, sizeof k);
  for (ulong e = 0; e < E; ++e) multiply_add(column[e], column[e + 1], k, complement[e]);
  for (ulong c = 0; c + 1 < COLUMNS; ++c) {
    column[c + 1] += column[c] >> DIGIT_BITS;
    column[c] &= DIGIT_MASK;
  }
  // Limb i takes the bits [64 i, 64 i + 64) of the digits (those past 64 N go: modulo 2^(64 N)).
  Lanes limbs[N];
  for (ulong i = 0; i < N; ++i) {
    const ulong bit = i * GMP_NUMB_BITS;
    const ulong first = bit / DIGIT_BITS;
    limbs[i] = column[first] >> (bit % DIGIT_BITS);
    for (ulong c = first + 1; c < COLUMNS && c * DIGIT_BITS < bit + GMP_NUMB_BITS; ++c) {
      limbs[i] |= column[c] << (c * DIGIT_BITS - bit);
    }
  }
  for (ulong lane = 0; lane < LANES; ++lane) {
    for (ulong i = 0; i < N; ++i) values[lane][i] = limbs[i][lane];
  }
}

// z += the coefficients [BLK_SZ first_block, BLK_SZ end_block) of the inverse transforms, each
// recombined from its NP residues (the transforms' scale has taken in each prime's cofactor),
// coefficient j at bit j bits - origin of z. Requires z zeroed over the last coefficient's place
// and N + 1 limbs more, origin at most the first coefficient's place, and N and M FLINT's CRT
// length and cofactors' limbs for NP primes: every coefficient is below the primes' product P,
// their sum over the primes below NP P, and every partial sum of shifted coefficients fits below
// their last limb.
template <ulong NP, ulong N, ulong M>
void add_coefficients(mp_limb_t* z, const mpn_ctx_struct* context, double* d, ulong stride,
                      ulong bits, ulong first_block, ulong end_block, ulong origin) {
  crt_data_struct& crt = const_cast<crt_data_struct&>(context->crts[NP - 1]);
  assert(crt.coeff_len == N);
  const ulong* product_of_primes = crt_data_prod_primes(&crt);
  ulong cofactor[NP][M];
  double inverse[NP];
  for (ulong l = 0; l < NP; ++l) {
    for (ulong i = M; i < N; ++i) assert(crt.data[l * N + i] == 0);
    std::memcpy(cofactor[l], crt.data + l * N, sizeof cofactor[l]);
    inverse[l] = 1 / context->ffts[l].p;
  }
  ulong complement[N];
  mpn_neg(complement, product_of_primes, N);
  ulong cofactor_digits[NP][digits_of(M)];
  ulong complement_digits[digits_of(N)];
  for (ulong l = 0; l < NP; ++l) to_digits<M>(cofactor_digits[l], cofactor[l]);
  to_digits<N>(complement_digits, complement);
  const bool by_digits = recombine_by_digits.load(std::memory_order_relaxed);
  ulong values[BLK_SZ][N];  // the quick ones', where by_digits
  ulong residues[BLK_SZ * MPN_CTX_NCRTS];
  for (ulong block = first_block; block < end_block; ++block) {
    _convert_block(residues, const_cast<sd_fft_ctx_struct*>(context->ffts), d, stride, NP, block);
    double estimate[BLK_SZ] = {};
    for (ulong l = 0; l < NP; ++l) {
      for (ulong j = 0; j < BLK_SZ; ++j) {
        estimate[j] += small_to_double(residues[l * BLK_SZ + j]) * inverse[l];
      }
    }
    ulong floor_of[BLK_SZ];
    bool quick[BLK_SZ];
    for (ulong j = 0; j < BLK_SZ; ++j) {
      const double whole = std::floor(estimate[j]);
      const double above = estimate[j] - whole;
      floor_of[j] = small_from_double(whole);
      quick[j] = above > QUICK_MARGIN && above < 1 - QUICK_MARGIN;
    }
    if (by_digits) {
      for (ulong j = 0; j < BLK_SZ; j += LANES) {
        recombine_by_lanes<NP, N, M>(values + j, cofactor_digits, complement_digits, residues + j,
                                     floor_of + j);
      }
    }
    for (ulong j = 0; j < BLK_SZ; ++j) {
      ulong r[N + 1];
      if (quick[j] && by_digits) {
        std::memcpy(r, values[j], sizeof values[j]);
      } else if (quick[j]) {
        ulong y[NP];
        for (ulong l = 0; l < NP; ++l) y[l] = residues[l * BLK_SZ + j];
        recombine_quick<NP, N, M>(r, cofactor, complement, y, floor_of[j]);
      } else {
        ulong t[N + 1];
        big_multiply<N, M, false>(r, t, crt.data, residues[j]);
        for (ulong l = 1; l < NP; ++l) {
          big_multiply<N, M, true>(r, t, crt.data + l * N, residues[l * BLK_SZ + j]);
        }
        reduce_sum<N>(r, t, product_of_primes);
      }
      // z += r 2^at
      const ulong at = (block * BLK_SZ + j) * bits - origin;
      const ulong shift = at % GMP_NUMB_BITS;
      mp_limb_t* out = z + at / GMP_NUMB_BITS;
      r[N] = 0;
      if (shift != 0) {
        r[N] = r[N - 1] >> (GMP_NUMB_BITS - shift);
        for (ulong k = N - 1; k > 0; --k)
          r[k] = (r[k] << shift) | (r[k - 1] >> (GMP_NUMB_BITS - shift));
        r[0] <<= shift;
      }
      add_limbs<N + 1>(out, r);
    }
  }
}

// x <- x y pointwise (x^2 where y is null) in prime l's transforms of 2^depth, with the inverse
// transform's scale, 2^-depth, and the prime's cofactor's inverse taken in.
void multiply_points(const sd_fft_lctx_t transform, const mpn_ctx_struct* context, ulong np,
                     ulong l, ulong depth, double* x, const double* y) {
  const ulong prime = context->ffts[l].mod.n;
  const ulong cofactor = *crt_data_co_prime_red(context->crts + np - 1, l);
  const auto scale = static_cast<ulong>((static_cast<DoubleLimb>(cofactor) << depth) % prime);
  const ulong factor = n_invmod(scale, prime);
  if (y == nullptr) {
    sd_fft_lctx_point_sqr(transform, x, factor, depth);
  } else {
    sd_fft_lctx_point_mul(transform, x, y, factor, depth);
  }
}

// add_coefficients for np primes, with FLINT's CRT lengths and cofactors' limbs for 4 to 8 primes
// (those of its own products).
void add_coefficients_of(ulong np, mp_limb_t* z, const mpn_ctx_struct* context, double* d,
                         ulong stride, ulong bits, ulong first_block, ulong end_block,
                         ulong origin) {
  using AddCoefficients =
      void (*)(mp_limb_t*, const mpn_ctx_struct*, double*, ulong, ulong, ulong, ulong, ulong);
  constexpr AddCoefficients ADD_COEFFICIENTS[] = {
      add_coefficients<4, 4, 3>, add_coefficients<5, 4, 4>, add_coefficients<6, 5, 4>,
      add_coefficients<7, 6, 5>, add_coefficients<8, 7, 6>};
  assert(np >= 4 && np <= 8 && context->crts[np - 1].coeff_len <= MAX_COEFFICIENT_LIMBS);
  ADD_COEFFICIENTS[np - 4](z, context, d, stride, bits, first_block, end_block, origin);
}

// The most limbs the last coefficients take (see put_coefficients): up to two blocks of them (the
// direct ones end a block early, and the last block is rounded up) at up to 192 bits a
// coefficient, and the CRT's length and the shift's limb past either end.
constexpr ulong TAIL_LIMBS = 2 * (BLK_SZ * 192 / GMP_NUMB_BITS) + 2 * MAX_COEFFICIENT_LIMBS + 4;

// {r, product_limbs} <- the product whose inverse transforms under np primes, of `bits` bits a
// coefficient, hold its coefficients [0, coefficients) (a multiple of BLK_SZ): those whose limbs
// all lie within the product's go straight there, the last ones into a tail of their own, added
// after (what it holds past the product's end is zero).
void put_coefficients(mp_limb_t* r, ulong product_limbs, const mpn_ctx_struct* context, ulong np,
                      double* d, ulong stride, ulong bits, ulong coefficients) {
  const ulong crt_limbs = context->crts[np - 1].coeff_len;
  ulong easy_end =
      product_limbs >= crt_limbs + 1 ? (product_limbs - crt_limbs - 1) * GMP_NUMB_BITS / bits : 0;
  easy_end = std::min(easy_end / BLK_SZ * BLK_SZ, coefficients);
  mpn_zero(r, static_cast<mp_size_t>(product_limbs));
  add_coefficients_of(np, r, context, d, stride, bits, 0, easy_end / BLK_SZ, 0);
  const ulong base = easy_end * bits / GMP_NUMB_BITS;
  const ulong tail_used = ((coefficients - 1) * bits) / GMP_NUMB_BITS + crt_limbs + 2 - base;
  assert(tail_used <= TAIL_LIMBS && base <= product_limbs);
  mp_limb_t tail[TAIL_LIMBS];
  mpn_zero(tail, static_cast<mp_size_t>(tail_used));
  add_coefficients_of(np, tail, context, d, stride, bits, easy_end / BLK_SZ, coefficients / BLK_SZ,
                      base * GMP_NUMB_BITS);
  const ulong in_product = std::min(tail_used, product_limbs - base);
  if (in_product > 0) {
    [[maybe_unused]] const mp_limb_t carry =
        mpn_add_n(r + base, r + base, tail, static_cast<mp_size_t>(in_product));
    assert(carry == 0);
  }
  for (ulong i = in_product; i < tail_used; ++i) assert(tail[i] == 0);
}

}  // namespace

void fft_recombine_by_digits(bool wanted) {
#if defined(_WIN32)
  // GCC for 64-bit Windows keeps its stack aligned to 16 bytes only, short of the 64 that AVX-512's
  // registers spilled there take: the columns of double limbs alone.
  wanted = false;
#endif
  recombine_by_digits.store(wanted);
}

void fft_prepare() {
  static std::once_flag prepared;
  std::call_once(prepared, [] {
    __flint_set_all_memory_functions(allocate, allocate_zeroed, reallocate, release,
                                     allocate_aligned, release_aligned);
    mpn_ctx_t context;
    mpn_ctx_init(context, FIRST_PRIME);
    for (ulong i = 0; i < context->profiles_size; ++i) {
      const profile_entry_struct& profile = context->profiles[i];
      profile_facts[i] = ProfileFacts{profile.np, profile.bits, profile.bn_bound};
    }
    profile_facts_count = context->profiles_size;
    mpn_ctx_clear(context);
  });
}

mp_size_t fft_wrapped_size(mp_size_t at_least, mp_size_t shorter) {
  mp_size_t n = 0;
  return cheapest_shape(at_least, false, shorter, &n).found ? n : 0;
}

std::size_t fft_wrapped_scratch_bytes(mp_size_t n, bool squaring, mp_size_t shorter) {
  mp_size_t size = 0;
  const WrappedShape shape = cheapest_shape(n, true, shorter, &size);
  return shape.found ? std::min(wrapped_scratch(shape, squaring, Layout::WIDE),
                                wrapped_scratch(shape, squaring, Layout::LEAN))
                     : 0;
}

bool fft_wrapped_on_two_threads(mp_size_t n, bool squaring, mp_size_t shorter,
                                std::size_t allowance) {
  mp_size_t size = 0;
  const WrappedShape shape = cheapest_shape(n, true, shorter, &size);
  return shape.found && !squaring && wrapped_scratch(shape, false, Layout::WIDE) > allowance &&
         lean_fits_two_threads(shape, allowance);
}

namespace {

// The thread's context for a product whose transforms take `buffer_bytes`: a buffer kept from a
// product far larger (the conversions go from larger products to smaller ones) is given back
// rather than held through the smaller ones.
mpn_ctx_struct* fit_context(ulong buffer_bytes) {
  if (own.ready && own.context->buffer_alloc > 2 * buffer_bytes + FFT_KEPT_SCRATCH_BYTES) {
    fft_release_context();
  }
  if (!own.ready) make_context();
  return own.context;
}

// Loads operands as FLINT's full product does: each coefficient reduced modulo every prime (the
// last few, which may reach past the operand, one by one), zeros after them.
struct OperandLoader {
  mpn_ctx_struct* context;
  const profile_entry_struct* profile;
  const vec4d* powers_of_two;
  ulong bits;
  // The coefficients of an operand of xn limbs: all of them (rounded up to whole blocks), and
  // where the loader's quick part and its careful part end.
  struct Extent {
    ulong truncated, stop_easy, stop_hard;
  };
  Extent extent(mp_size_t xn) const {
    const auto limb_bits = static_cast<ulong>(xn) * GMP_NUMB_BITS;
    const ulong truncated = ceil_div(ceil_div(limb_bits, bits), BLK_SZ) * BLK_SZ;
    const ulong rounding = bits % 8 == 0 ? 4 : bits % 4 == 0 ? 8 : 16;
    return Extent{truncated, std::min(truncated, (limb_bits - 33) / bits) & ~(rounding - 1),
                  std::min(truncated, (limb_bits + bits - 1) / bits)};
  }
  // Coefficients [from, to) of `at` into buffer (the first prime's transform; the next ones
  // `step` apart).
  void load(double* buffer, ulong step, const mp_limb_t* x, mp_size_t xn, const Extent& at,
            ulong from, ulong to) const {
    const ulong easy_end = std::clamp(at.stop_easy, from, to);
    profile->to_ffts(context->ffts, buffer, step, x, static_cast<ulong>(xn), to, powers_of_two,
                     from, easy_end, easy_end, std::clamp(at.stop_hard, easy_end, to));
  }
};

OperandLoader loader_for(mpn_ctx_struct* context, ulong profile, ulong np) {
  const profile_entry_struct& entry = own.profiles[profile];
  return OperandLoader{context, &entry, context->vec_two_pow_tab[ceil_div(np, VEC_SZ) - 1],
                       entry.bits};
}

// The transforms of a product modulo B^n - 1 for primes first_prime, first_prime + step, ...:
// each prime's transform of the first operand (loaded already), the second's (loaded here for
// that prime alone in the lean layout, into b_buffer through `chunk`), their pointwise product
// and its inverse transform, left in the first operand's place. Touches no thread's own data, so
// that two threads may share the primes of one product (each with a b_buffer and chunk of its own
// in the lean layout).
struct WrappedPrimes {
  const mpn_ctx_struct* context;
  const OperandLoader* loader;
  ulong np, depth, stride, chunk_length;
  Layout layout;
  bool squaring;
  const KeptOperand* kept;
  double* a_buffer;
  double* b_buffer;
  double* chunk;
  OperandLoader::Extent a_extent, b_extent;
  const mp_limb_t* b;
  mp_size_t bn;
  ulong first_prime, step;
  ulong coefficients;  // the transforms' outputs: all 2^depth, or a full product's
};

void transform_primes(void* argument) {
  const WrappedPrimes& job = *static_cast<const WrappedPrimes*>(argument);
  // The second operand for prime l alone, chunk by chunk: every prime's coefficients of a chunk
  // go to `chunk` (FLINT's loader is told the buffer lies where the chunk's first coefficient
  // lands there), and prime l's to their place.
  auto load_for_prime = [&](ulong l) {
    for (ulong from = 0; from < job.b_extent.truncated; from += job.chunk_length) {
      const ulong to = std::min(from + job.chunk_length, job.b_extent.truncated);
      const ulong place = sd_fft_ctx_blk_offset(from / BLK_SZ);
      double* shifted = reinterpret_cast<double*>(reinterpret_cast<std::uintptr_t>(job.chunk) -
                                                  place * sizeof(double));
      job.loader->load(shifted, job.chunk_length, job.b, job.bn, job.b_extent, from, to);
      std::memcpy(job.b_buffer + place, job.chunk + l * job.chunk_length,
                  (to - from) * sizeof(double));
    }
  };
  for (ulong l = job.first_prime; l < job.np; l += job.step) {
    const ulong prime = job.context->ffts[l].mod.n;
    sd_fft_ctx_t own_tables;
    sd_fft_ctx_struct* tables = const_cast<sd_fft_ctx_struct*>(job.context->ffts + l);
    if (job.layout == Layout::LEAN) {
      sd_fft_ctx_init_prime(own_tables, prime);
      tables = own_tables;
    }
    sd_fft_lctx_t transform;
    sd_fft_lctx_init(transform, tables, job.depth);
    double* x = job.a_buffer + l * job.stride;
    double* own_y = job.layout == Layout::WIDE ? job.b_buffer + l * job.stride : job.b_buffer;
    const double* y = job.kept != nullptr ? job.kept->transforms + l * job.stride : own_y;
    sd_fft_lctx_fft_trunc(transform, x, job.depth, job.a_extent.truncated, job.coefficients);
    if (!job.squaring && job.kept == nullptr) {
      if (job.layout == Layout::LEAN) load_for_prime(l);
      sd_fft_lctx_fft_trunc(transform, own_y, job.depth, job.b_extent.truncated, job.coefficients);
    }
    multiply_points(transform, job.context, job.np, l, job.depth, x, job.squaring ? nullptr : y);
    sd_fft_lctx_ifft_trunc(transform, x, job.depth, job.coefficients);
    if (job.layout == Layout::LEAN) sd_fft_ctx_clear(own_tables);
  }
}

// {sum, n + FFT_WRAPPED_EXTRA_LIMBS} <- the coefficients of {a, an} times {b, bn}, or times the
// kept operand where `kept` is given (b then unused), as fft_wrapped_multiply states. Where
// `product_limbs` is not 0, an + bn < n and no operand is kept: {sum, an + bn} <- the product
// itself, which no coefficient wraps, from transforms truncated to its coefficients.
void wrapped_product(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                     const mp_limb_t* b, mp_size_t bn, const KeptOperand* kept,
                     std::size_t allowance, bool keep, mp_size_t product_limbs = 0) {
  mp_size_t size = 0;
  const WrappedShape shape = cheapest_shape(n, true, kept != nullptr ? kept->size : bn, &size);
  assert(shape.found && n >= an && an >= 1);
  assert(kept != nullptr ? kept->n == n : (an >= bn && bn >= 1));
  const bool squaring = kept == nullptr && a == b && an == bn;
  // A kept operand's product holds one transform a prime, as a square's does.
  const bool one_transform = squaring || kept != nullptr;
  const Layout layout = wrapped_scratch(shape, one_transform, Layout::WIDE) <= allowance
                            ? Layout::WIDE
                            : Layout::LEAN;
  assert(wrapped_scratch(shape, one_transform, layout) <= allowance);
  assert(kept == nullptr || layout == Layout::WIDE);
  // Tables of roots the thread keeps from earlier products would come on top of the lean
  // layout's own.
  if (layout == Layout::LEAN && own.ready &&
      own.context->ffts[0].w2tab_depth > SD_FFT_CTX_INIT_DEPTH) {
    fft_release_context();
  }
  const ulong np = profile_facts[shape.profile].np;
  const ulong depth = shape.depth;
  const ulong stride = transform_stride(depth);
  const ulong second_transforms = one_transform ? 0 : layout == Layout::WIDE ? np : 1;
  const ulong chunk_length = load_chunk(depth);
  const ulong chunk_doubles = layout == Layout::LEAN && !one_transform ? np * chunk_length : 0;
  // On two threads (the thread's FFT's, in the lean layout of a product that is no square, where
  // the scratch allows) the primes are shared: about 1.5 times as quick (see
  // build/bench/product_tuning).
  const bool two_threads = own.threads >= 2 && layout == Layout::LEAN && !one_transform &&
                           lean_fits_two_threads(shape, allowance);
  const ulong second_thread_doubles = two_threads ? stride + np * chunk_length : 0;
  const ulong buffer_bytes =
      ((np + second_transforms) * stride + chunk_doubles + second_thread_doubles) * sizeof(double);
  mpn_ctx_struct* context = fit_context(buffer_bytes);
  const OperandLoader loader = loader_for(context, shape.profile, np);
  const ulong length = ulong{1} << depth;
  double* a_buffer = static_cast<double*>(mpn_ctx_fit_buffer(context, buffer_bytes));
  double* b_buffer = a_buffer + np * stride;
  double* chunk = b_buffer + stride;
  const OperandLoader::Extent a_extent = loader.extent(an);
  const OperandLoader::Extent b_extent = loader.extent(kept != nullptr ? kept->size : bn);
  loader.load(a_buffer, stride, a, an, a_extent, 0, a_extent.truncated);
  if (layout == Layout::WIDE && !one_transform) {
    loader.load(b_buffer, stride, b, bn, b_extent, 0, b_extent.truncated);
  }
  // A full product's coefficients, below 64 (an + bn) / bits + 1 <= 64 n / bits = length.
  assert(product_limbs == 0 || (kept == nullptr && product_limbs == an + bn && product_limbs < n));
  const ulong coefficients =
      product_limbs == 0
          ? length
          : std::min(length, ceil_div(ceil_div(64 * static_cast<ulong>(an), loader.bits) +
                                          ceil_div(64 * static_cast<ulong>(bn), loader.bits) - 1,
                                      BLK_SZ) *
                                 BLK_SZ);
  WrappedPrimes job{context,  &loader, np,       depth,    stride,      chunk_length, layout,
                    squaring, kept,    a_buffer, b_buffer, chunk,       a_extent,     b_extent,
                    b,        bn,      0,        1,        coefficients};
  thread_pool_handle* helpers = nullptr;
  const slong helper_count = two_threads ? flint_request_threads(&helpers, 2) : 0;
  if (helper_count > 0) {
    // The other thread takes every second prime, with a second operand's transform and chunk of
    // its own after this thread's.
    WrappedPrimes other = job;
    other.b_buffer = chunk + np * chunk_length;
    other.chunk = other.b_buffer + stride;
    other.first_prime = 1;
    other.step = job.step = 2;
    thread_pool_wake(global_thread_pool, helpers[0], 0, transform_primes, &other);
    transform_primes(&job);
    thread_pool_wait(global_thread_pool, helpers[0]);
  } else {
    transform_primes(&job);
  }
  if (two_threads) flint_give_back_threads(helpers, helper_count);
  if (product_limbs != 0) {
    put_coefficients(sum, static_cast<ulong>(product_limbs), context, np, a_buffer, stride,
                     loader.bits, coefficients);
  } else {
    mpn_zero(sum, n + FFT_WRAPPED_EXTRA_LIMBS);
    add_coefficients_of(np, sum, context, a_buffer, stride, loader.bits, 0, length / BLK_SZ, 0);
  }
  if (!keep && wrapped_scratch(shape, one_transform, layout) > FFT_KEPT_SCRATCH_BYTES) {
    fft_release_context();
  }
}

}  // namespace

void fft_wrapped_multiply(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                          const mp_limb_t* b, mp_size_t bn, std::size_t allowance, bool keep) {
  wrapped_product(sum, n, a, an, b, bn, nullptr, allowance, keep);
}

void fft_wrapped_multiply_by_kept(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                                  const KeptOperand& kept, std::size_t allowance, bool keep) {
  wrapped_product(sum, n, a, an, nullptr, 0, &kept, allowance, keep);
}

std::size_t fft_whole_scratch_bytes(mp_size_t an, mp_size_t bn, bool squaring) {
  const mp_size_t n = fft_wrapped_size(an + bn + 1, bn);
  return n != 0 ? fft_wrapped_scratch_bytes(n, squaring, bn) : 0;
}

void fft_whole_multiply(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                        mp_size_t bn, std::size_t allowance) {
  assert(an >= bn && bn >= 1);
  wrapped_product(r, fft_wrapped_size(an + bn + 1, bn), a, an, b, bn, nullptr, allowance, false,
                  an + bn);
}

std::size_t fft_wrapped_scratch_bytes_by_kept(mp_size_t n, mp_size_t kept_limbs) {
  mp_size_t size = 0;
  const WrappedShape shape = cheapest_shape(n, true, kept_limbs, &size);
  return shape.found ? wrapped_scratch(shape, true, Layout::WIDE) : 0;
}

namespace {

// The doubles of a kept operand's transforms of `shape`: one transform a prime.
std::size_t kept_transform_bytes(const WrappedShape& shape) {
  return profile_facts[shape.profile].np * transform_stride(shape.depth) * sizeof(double);
}

}  // namespace

std::size_t fft_kept_operand_bytes(mp_size_t n, mp_size_t kept_limbs) {
  mp_size_t size = 0;
  const WrappedShape shape = cheapest_shape(n, true, kept_limbs, &size);
  // with allocate_aligned's room for the alignment and its link
  return shape.found ? kept_transform_bytes(shape) + KEPT_OPERAND_ALIGNMENT + sizeof(void*) : 0;
}

bool fft_keep_operand(KeptOperand* kept, mp_size_t n, const mp_limb_t* b, mp_size_t bn) {
  mp_size_t size = 0;
  const WrappedShape shape = cheapest_shape(n, true, bn, &size);
  assert(shape.found && bn >= 1 && bn <= n);
  const ulong np = profile_facts[shape.profile].np;
  const ulong depth = shape.depth;
  const ulong stride = transform_stride(depth);
  auto* transforms =
      static_cast<double*>(allocate_aligned(KEPT_OPERAND_ALIGNMENT, kept_transform_bytes(shape)));
  if (transforms == nullptr) return false;
  const std::size_t bytes = fft_kept_operand_bytes(n, bn);
  if (!own.ready) make_context();
  mpn_ctx_struct* context = own.context;
  const OperandLoader loader = loader_for(context, shape.profile, np);
  const OperandLoader::Extent extent = loader.extent(bn);
  loader.load(transforms, stride, b, bn, extent, 0, extent.truncated);
  for (ulong l = 0; l < np; ++l) {
    sd_fft_lctx_t transform;
    sd_fft_lctx_init(transform, context->ffts + l, depth);
    sd_fft_lctx_fft_trunc(transform, transforms + l * stride, depth, extent.truncated,
                          ulong{1} << depth);
  }
  *kept = KeptOperand{transforms, n, b, bn, bytes};
  return true;
}

void fft_release_kept_operand(KeptOperand* kept) {
  release_aligned(kept->transforms);
  *kept = KeptOperand{};
}

namespace {

// The thread's profile for a product of an by bn limbs among those of `primes` primes (of any
// count where it is 0), as fewest_primes chose: as FLINT chooses among them, by the truncated
// transforms' length and their share of the whole length. Returns its index in own.profiles.
ulong full_product_profile(ulong an, ulong bn, ulong primes) {
  ulong best = 0;
  double best_score = 0;
  bool found = false;
  for (ulong i = 0; i < own.profile_count; ++i) {
    const profile_entry_struct& profile = own.profiles[i];
    if (bn > profile.bn_bound || (primes != 0 && profile.np != primes)) continue;
    const auto [truncated, depth] = full_transforms(an, bn, profile.bits);
    const double ratio = std::ldexp(static_cast<double>(truncated), -static_cast<int>(depth));
    const double score = (1 - 0.25 * ratio) * static_cast<double>(profile.np * depth * truncated);
    if (!found || score < best_score) {
      best = i;
      best_score = score;
      found = true;
    }
  }
  assert(found);
  return best;
}

// {r, an + bn} <- {a, an} {b, bn} (a square where a == b and an == bn) on the calling thread alone,
// by FLINT's truncated transforms in the thread's context and the quick recombination, under the
// profiles of `primes` primes (any where it is 0).
void full_product(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b, mp_size_t bn,
                  ulong primes) {
  const bool squaring = a == b && an == bn;
  const ulong profile =
      full_product_profile(static_cast<ulong>(an), static_cast<ulong>(bn), primes);
  const ulong np = own.profiles[profile].np;
  const auto [truncated, depth] =
      full_transforms(static_cast<ulong>(an), static_cast<ulong>(bn), own.profiles[profile].bits);
  const ulong stride = transform_stride(depth);
  const ulong buffer_bytes = (squaring ? 1 : 2) * np * stride * sizeof(double);
  mpn_ctx_struct* context = fit_context(buffer_bytes);
  const OperandLoader loader = loader_for(context, profile, np);
  const OperandLoader::Extent a_extent = loader.extent(an);
  const OperandLoader::Extent b_extent = loader.extent(bn);
  double* a_buffer = static_cast<double*>(mpn_ctx_fit_buffer(context, buffer_bytes));
  double* b_buffer = a_buffer + np * stride;
  loader.load(a_buffer, stride, a, an, a_extent, 0, a_extent.truncated);
  if (!squaring) loader.load(b_buffer, stride, b, bn, b_extent, 0, b_extent.truncated);
  for (ulong l = 0; l < np; ++l) {
    sd_fft_lctx_t transform;
    sd_fft_lctx_init(transform, context->ffts + l, depth);
    double* x = a_buffer + l * stride;
    sd_fft_lctx_fft_trunc(transform, x, depth, a_extent.truncated, truncated);
    if (!squaring) {
      sd_fft_lctx_fft_trunc(transform, b_buffer + l * stride, depth, b_extent.truncated, truncated);
    }
    multiply_points(transform, context, np, l, depth, x,
                    squaring ? nullptr : b_buffer + l * stride);
    sd_fft_lctx_ifft_trunc(transform, x, depth, truncated);
  }
  put_coefficients(r, static_cast<ulong>(an + bn), context, np, a_buffer, stride, loader.bits,
                   truncated);
}

}  // namespace

void fft_multiply(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b, mp_size_t bn,
                  bool keep) {
  assert(an >= bn && bn >= 1);
  assert(r + an + bn <= a || a + an <= r);
  assert(r + an + bn <= b || b + bn <= r);
  if (!own.ready) make_context();
  const std::size_t limbs = static_cast<std::size_t>(an + bn);
  const ulong primes = fewest_primes(static_cast<ulong>(an), static_cast<ulong>(bn),
                                     fft_scratch_bytes(limbs, own.threads) - FFT_CONTEXT_BYTES);
  if (own.threads >= 2) {
    mpn_ctx_mpn_mul(own.context, r, a, static_cast<ulong>(an), b, static_cast<ulong>(bn));
  } else {
    full_product(r, a, an, b, bn, primes);
  }
  if (!keep && fft_scratch_bytes(limbs) > FFT_KEPT_SCRATCH_BYTES) fft_release_context();
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
