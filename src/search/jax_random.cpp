// jax.random's float32 samplers over the partitionable threefry of jax 0.5
// and later: element i of a draw of any shape takes its 32 bits from
// threefry2x32(key, (i >> 32, i)), the two output words xor-ed together, so
// any element can be drawn without the others.
#include "search/jax_random.h"

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF  // as -ffp-contract=off in CMakeLists.txt
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "base/lanes.h"
#include "search/float_kernels.h"
#include "search/xla_math.h"

namespace orvex::search {
namespace {

using kernels::fma;

ORVEX_KERNEL std::uint32_t bits_of(PrngKey key, std::uint64_t i) {
  const auto [a, b] = selfplay::threefry2x32(key, static_cast<std::uint32_t>(i >> 32),
                                             static_cast<std::uint32_t>(i));
  return a ^ b;
}

// The float in [0, 1) that uniform makes of 32 random bits.
ORVEX_KERNEL float unit_float(std::uint32_t bits) {
  return std::bit_cast<float>((bits >> 9) | 0x3F800000u) - 1.0f;
}

// The float of uniform(minval, maxval) that 32 random bits make.
ORVEX_KERNEL float uniform_from_bits(std::uint32_t bits, float minval, float maxval) {
  return std::max(minval, fma(unit_float(bits), maxval - minval, minval));
}

ORVEX_KERNEL float uniform_of(PrngKey key, std::uint64_t i, float minval, float maxval) {
  return uniform_from_bits(bits_of(key, i), minval, maxval);
}

constexpr float kTiny = std::numeric_limits<float>::min();

ORVEX_KERNEL float gumbel_of(PrngKey key, std::uint64_t i, Kernel log) {
  const float u = uniform_of(key, i, kTiny, 1.0f);
  if (log == Kernel::ynn) return -kernels::ynn_log(-kernels::ynn_log(u));
  return -kernels::log(-kernels::log(u));
}

// lax.erf_inv as XLA expands it (Giles' single-precision approximation), for
// |x| < 1, without branches (so that a loop of it vectorises).
ORVEX_KERNEL float erf_inv_inside(float x) {
  static constexpr float kSmall[9] = {2.81022636e-08f,  3.43273939e-07f, -3.5233877e-06f,
                                      -4.39150654e-06f, 0.00021858087f,  -0.00125372503f,
                                      -0.00417768164f,  0.246640727f,    1.50140941f};
  static constexpr float kLarge[9] = {-0.000200214257f, 0.000100950558f, 0.00134934322f,
                                      -0.00367342844f,  0.00573950773f,  -0.0076224613f,
                                      0.00943887047f,   1.00167406f,     2.83297682f};
  const float w = -kernels::log1p_above_minus_one(x * -x);
  const bool small = w < 5.0f;
  const float t = small ? w - 2.5f : std::sqrt(w) - 3.0f;
  // Written out (no loop), so that a loop over many x vectorises.
  auto c = [small](int k) { return small ? kSmall[k] : kLarge[k]; };
  float p = fma(c(0), t, c(1));
  p = fma(p, t, c(2));
  p = fma(p, t, c(3));
  p = fma(p, t, c(4));
  p = fma(p, t, c(5));
  p = fma(p, t, c(6));
  p = fma(p, t, c(7));
  p = fma(p, t, c(8));
  return p * x;
}

ORVEX_KERNEL float erf_inv(float x) {
  if (std::fabs(x) == 1.0f) return x * std::numeric_limits<float>::infinity();
  return erf_inv_inside(x);
}

ORVEX_KERNEL float normal_at(PrngKey key, std::uint64_t i) {
  const float lo = std::nextafter(-1.0f, 0.0f);
  return static_cast<float>(std::numbers::sqrt2) * erf_inv(uniform_of(key, i, lo, 1.0f));
}

// Marsaglia and Tsang's d for a shape alpha, boosted by one below 1.
ORVEX_KERNEL float gamma_d(float alpha) { return (alpha >= 1.0f ? alpha : alpha + 1.0f) - 1.0f / 3.0f; }

// One draw of jax.random.loggamma(key, alpha) for a scalar alpha, but for
// its first term: log(d) + log(V) + log_boost. Returns V and log_boost.
struct LogGammaParts {
  float v;
  float log_boost;
};

// Marsaglia and Tsang's loop from the state (X, V, U) of a round, with the
// key of the round after it: the V of the round that accepts.
ORVEX_KERNEL float marsaglia_rounds(PrngKey key, float d, float c, float X, float V, float U) {
  while (U >= fma(-0.0331f, X * X, 1.0f) &&
         kernels::log(U) >= fma(X, 0.5f, d * ((1.0f - V) + kernels::log(V)))) {
    PrngKey x_key = selfplay::split_key(key, 1);
    const PrngKey u_key = selfplay::split_key(key, 2);
    key = selfplay::split_key(key, 0);
    float x = 0.0f, v = -1.0f;
    while (v <= 0.0f) {
      const PrngKey sub = selfplay::split_key(x_key, 1);
      x_key = selfplay::split_key(x_key, 0);
      x = normal_at(sub, 0);
      v = fma(x, c, 1.0f);
    }
    X = x * x;
    V = (v * v) * v;
    U = uniform_of(u_key, 0, 0.0f, 1.0f);
  }
  return V;
}

ORVEX_KERNEL float gamma_c(float d) { return (1.0f / 3.0f) / std::sqrt(d); }

ORVEX_KERNEL LogGammaParts log_gamma_parts(PrngKey key, float alpha) {
  const bool boost = alpha >= 1.0f;
  const float d = gamma_d(alpha);
  const PrngKey log_key = selfplay::split_key(key, 1);
  key = selfplay::split_key(key, 0);
  const float V = marsaglia_rounds(key, d, gamma_c(d), 0.0f, 1.0f, 2.0f);
  const float log_sample = kernels::log1p(-uniform_of(log_key, 0, 0.0f, 1.0f));
  const float log_boost = (boost || log_sample == 0.0f) ? 0.0f : log_sample * (1.0f / alpha);
  return {V, log_boost};
}

// The draw of log_gamma_parts as dirichlet's log-gamma value, log(d) given.
ORVEX_KERNEL float log_gamma_draw(PrngKey key, float alpha, float log_d) {
  const LogGammaParts p = log_gamma_parts(key, alpha);
  return (log_d + kernels::ynn_log(p.v)) + p.log_boost;
}

// The draws of dirichlet_rows, sixteen lanes at a time: the nine hashes of
// a draw whose first round of Marsaglia and Tsang's loop accepts (about 98
// in 100) are made for every lane at once; a lane whose first round does
// not accept goes on alone from its second round.
constexpr std::size_t kLanes = 16;

struct LaneKeys {
  U32x16 k0, k1;
};

// One round of threefry2x32 on every lane, rotating by R (a constant, so
// that the compiler emits a rotation where the processor has one).
template <int R>
ORVEX_LANES_INLINE void threefry_round(U32x16& x0, U32x16& x1) {
  x0 += x1;
  x1 = (x1 << R) | (x1 >> (32 - R));
  x1 ^= x0;
}

// Four rounds with the rotations of an even or an odd group, then the key
// injection after group `block`.
template <int A, int B, int C, int D>
ORVEX_LANES_INLINE void threefry_group(U32x16& x0, U32x16& x1, const U32x16 (&ks)[3], int block) {
  threefry_round<A>(x0, x1);
  threefry_round<B>(x0, x1);
  threefry_round<C>(x0, x1);
  threefry_round<D>(x0, x1);
  x0 += ks[(block + 1) % 3];
  x1 += ks[(block + 2) % 3] + lanes_of(static_cast<std::uint32_t>(block + 1));
}

// threefry2x32(key[j], (0, counter[j])) for every lane j. (No lambdas: in a
// function compiled for AVX-512 they would be compiled apart, for the
// processor's baseline.)
ORVEX_LANES_INLINE LaneKeys threefry_lanes(const LaneKeys& key, U32x16 counter) {
  const U32x16 ks[3] = {key.k0, key.k1, key.k0 ^ key.k1 ^ lanes_of(0x1BD11BDAu)};
  U32x16 x0 = key.k0, x1 = counter + key.k1;
  threefry_group<13, 15, 26, 6>(x0, x1, ks, 0);
  threefry_group<17, 29, 16, 24>(x0, x1, ks, 1);
  threefry_group<13, 15, 26, 6>(x0, x1, ks, 2);
  threefry_group<17, 29, 16, 24>(x0, x1, ks, 3);
  threefry_group<13, 15, 26, 6>(x0, x1, ks, 4);
  return {x0, x1};
}

// The nine hashes of each lane's draw (see log_gamma_lanes), as LaneKeys.
struct DrawHashes {
  LaneKeys k, key0, n_bits, u_bits, l_bits;
};

ORVEX_KERNEL void draw_hashes(PrngKey key, std::uint32_t first, DrawHashes& out) {
  U32x16 index;
  for (int j = 0; j < 16; ++j) index[j] = first + static_cast<std::uint32_t>(j);
  out.k = threefry_lanes({lanes_of(key.k0), lanes_of(key.k1)}, index);  // split(key, index)
  const U32x16 zero = lanes_of(0), one = lanes_of(1), two = lanes_of(2);
  const LaneKeys log_key = threefry_lanes(out.k, one);
  out.key0 = threefry_lanes(out.k, zero);
  const LaneKeys x_key = threefry_lanes(out.key0, one);
  const LaneKeys u_key = threefry_lanes(out.key0, two);
  const LaneKeys sub = threefry_lanes(x_key, one);
  out.n_bits = threefry_lanes(sub, zero);  // the bits of element 0 of each key
  out.u_bits = threefry_lanes(u_key, zero);
  out.l_bits = threefry_lanes(log_key, zero);
}

// A lane whose first round of Marsaglia and Tsang's loop did not accept:
// where its draw goes, the key of that round (split(key, 0) is the next's),
// the round's state and the draw's log boost.
struct Rejected {
  float* out;
  PrngKey key;
  float X, V, U, boost;
};

// The log-gamma draws of elements first .. first + count (count <= kLanes)
// of a Dirichlet draw, as log(d) + log(V) + log_boost; the lanes whose first
// round does not accept are left to rejected.
ORVEX_KERNEL void log_gamma_lanes(PrngKey key, float alpha, float log_d, std::uint32_t first, std::size_t count,
                                  float* out, std::vector<Rejected>& rejected) {
  DrawHashes h;
  draw_hashes(key, first, h);
  const auto& [k, key0, n_bits, u_bits, l_bits] = h;
  const bool boost = alpha >= 1.0f;
  const float d = gamma_d(alpha);
  const float c = gamma_c(d);
  const float lo = std::nextafter(-1.0f, 0.0f);
  std::uint32_t nb[kLanes], ub[kLanes], lb[kLanes];
  const U32x16 n_xor = n_bits.k0 ^ n_bits.k1, u_xor = u_bits.k0 ^ u_bits.k1, l_xor = l_bits.k0 ^ l_bits.k1;
  std::memcpy(nb, &n_xor, sizeof nb);
  std::memcpy(ub, &u_xor, sizeof ub);
  std::memcpy(lb, &l_xor, sizeof lb);
  // The first round of every lane, in loops the compiler vectorises: the
  // normal draw x (its uniform lies inside (-1, 1)), v, V and U, and the
  // boost's log1p.
  float x[kLanes], v[kLanes], X[kLanes], V[kLanes], U[kLanes], value[kLanes], boosts[kLanes];
  // What each lane's first round leaves: its draw, a second round, or the
  // whole draw again alone.
  enum Turn : std::int32_t { kAccepted, kRejected, kAlone };
  Turn turn[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    x[j] = static_cast<float>(std::numbers::sqrt2) * erf_inv_inside(uniform_from_bits(nb[j], lo, 1.0f));
  }
  for (std::size_t j = 0; j < kLanes; ++j) {
    v[j] = fma(x[j], c, 1.0f);
    X[j] = x[j] * x[j];
    V[j] = (v[j] * v[j]) * v[j];
    U[j] = uniform_from_bits(ub[j], 0.0f, 1.0f);
    const float log_sample = kernels::log1p_above_minus_one(-uniform_from_bits(lb[j], 0.0f, 1.0f));
    boosts[j] = (boost || log_sample == 0.0f) ? 0.0f : log_sample * (1.0f / alpha);
    value[j] = (log_d + kernels::ynn_log_normal(V[j])) + boosts[j];
    // The acceptance test for every lane (its logs count only where the
    // squeeze does not accept): U is 0 or a normal float below 1, V a
    // normal float wherever the test counts.
    const float log_u = U[j] == 0.0f ? -kernels::kInf : kernels::log_positive(U[j]);
    const bool squeezed_out = U[j] >= fma(-0.0331f, X[j] * X[j], 1.0f);
    const bool logs_refuse = log_u >= fma(X[j], 0.5f, d * ((1.0f - V[j]) + kernels::log_positive(V[j])));
    // A normal draw that the loop draws again, or a V whose log needs the
    // general kernel: the lane is drawn again alone.
    const bool normal_v = V[j] >= std::numeric_limits<float>::min() && V[j] < kernels::kInf;
    turn[j] = (v[j] <= 0.0f || !normal_v) ? kAlone : (squeezed_out && logs_refuse) ? kRejected : kAccepted;
  }
  for (std::size_t j = 0; j < count; ++j) {
    const int lane = static_cast<int>(j);
    if (turn[j] == kAccepted) {
      out[j] = value[j];
    } else if (turn[j] == kRejected) {
      rejected.push_back({out + j, PrngKey{key0.k0[lane], key0.k1[lane]}, X[j], V[j], U[j], boosts[j]});
    } else {
      out[j] = log_gamma_draw(PrngKey{k.k0[lane], k.k1[lane]}, alpha, log_d);
    }
  }
}

// The second round of rejected lanes, sixteen at a time; a lane that needs
// more (a normal draw drawn again, a round that does not accept) goes on
// alone.
ORVEX_KERNEL void second_rounds(std::span<const Rejected> rejected, float alpha, float log_d) {
  const float d = gamma_d(alpha);
  const float c = gamma_c(d);
  const float lo = std::nextafter(-1.0f, 0.0f);
  for (std::size_t first = 0; first < rejected.size(); first += kLanes) {
    const std::size_t count = std::min(kLanes, rejected.size() - first);
    LaneKeys key0;
    for (std::size_t j = 0; j < kLanes; ++j) {
      const PrngKey k = rejected[first + std::min(j, count - 1)].key;
      key0.k0[j] = k.k0;
      key0.k1[j] = k.k1;
    }
    const U32x16 zero = lanes_of(0), one = lanes_of(1), two = lanes_of(2);
    const LaneKeys key1 = threefry_lanes(key0, zero);
    const LaneKeys sub = threefry_lanes(threefry_lanes(key1, one), one);
    const LaneKeys n_bits = threefry_lanes(sub, zero);
    const LaneKeys u_bits = threefry_lanes(threefry_lanes(key1, two), zero);
    std::uint32_t nb[kLanes], ub[kLanes];
    const U32x16 n_xor = n_bits.k0 ^ n_bits.k1, u_xor = u_bits.k0 ^ u_bits.k1;
    std::memcpy(nb, &n_xor, sizeof nb);
    std::memcpy(ub, &u_xor, sizeof ub);
    float v[kLanes], X[kLanes], V[kLanes], U[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
      const float x = static_cast<float>(std::numbers::sqrt2) * erf_inv_inside(uniform_from_bits(nb[j], lo, 1.0f));
      v[j] = fma(x, c, 1.0f);
      X[j] = x * x;
      V[j] = (v[j] * v[j]) * v[j];
      U[j] = uniform_from_bits(ub[j], 0.0f, 1.0f);
    }
    for (std::size_t j = 0; j < count; ++j) {
      const Rejected& r = rejected[first + j];
      const int lane = static_cast<int>(j);
      float drawn;
      if (v[j] <= 0.0f) {
        // The second round from its start, alone.
        drawn = marsaglia_rounds(PrngKey{key1.k0[lane], key1.k1[lane]}, d, c, r.X, r.V, r.U);
      } else {
        drawn = marsaglia_rounds(selfplay::split_key(PrngKey{key1.k0[lane], key1.k1[lane]}, 0), d, c, X[j], V[j],
                                 U[j]);
      }
      *r.out = (log_d + kernels::ynn_log(drawn)) + r.boost;
    }
  }
}

}  // namespace

ORVEX_INT_CLONES void uniform_at(PrngKey key, std::span<const std::int32_t> indices, std::span<float> out) {
  const LaneKeys lanes{lanes_of(key.k0), lanes_of(key.k1)};
  for (std::size_t first = 0; first < indices.size(); first += kLanes) {
    const std::size_t count = std::min(kLanes, indices.size() - first);
    U32x16 index = lanes_of(0);
    for (std::size_t j = 0; j < count; ++j) index[static_cast<int>(j)] = static_cast<std::uint32_t>(indices[first + j]);
    const LaneKeys h = threefry_lanes(lanes, index);
    const U32x16 bits = h.k0 ^ h.k1;
    for (std::size_t j = 0; j < count; ++j) {
      out[first + j] = uniform_from_bits(bits[static_cast<int>(j)], 0.0f, 1.0f);
    }
  }
}

std::uint32_t random_bits_at(PrngKey key, std::uint64_t index) { return bits_of(key, index); }

ORVEX_FMA_CLONES float uniform_at(PrngKey key, std::uint64_t index, float minval, float maxval) {
  return uniform_of(key, index, minval, maxval);
}

ORVEX_FMA_CLONES float gumbel_at(PrngKey key, std::uint64_t index, Kernel log) {
  return gumbel_of(key, index, log);
}

void random_bits(PrngKey key, std::span<std::uint32_t> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bits_of(key, i);
}

ORVEX_FMA_CLONES void uniform(PrngKey key, std::span<float> out, float minval, float maxval) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = uniform_of(key, i, minval, maxval);
}

ORVEX_FMA_CLONES void gumbel(PrngKey key, std::span<float> out, Kernel log) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = gumbel_of(key, i, log);
}

ORVEX_FMA_CLONES void categorical(PrngKey key, std::span<const float> logits, std::size_t rows,
                 std::span<std::int32_t> out, Kernel log) {
  if (rows == 0) return;
  if (logits.size() % rows != 0 || out.size() != rows)
    throw std::invalid_argument("categorical: logits must be rows x n and out must hold rows");
  const std::size_t n = logits.size() / rows;
  for (std::size_t r = 0; r < rows; ++r) {
    std::int32_t best = 0;
    float best_value = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
      const float v = gumbel_of(key, r * n + j, log) + logits[r * n + j];
      // argmax: the first maximum, and the first NaN above everything.
      if (j == 0 || (!std::isnan(best_value) && (v > best_value || std::isnan(v)))) {
        best = static_cast<std::int32_t>(j);
        best_value = v;
      }
    }
    out[r] = best;
  }
}

ORVEX_FMA_CLONES void normal(PrngKey key, std::span<float> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = normal_at(key, i);
}

ORVEX_FMA_CLONES float log_gamma_alone(PrngKey element_key, float alpha) {
  return log_gamma_draw(element_key, alpha, kernels::log(gamma_d(alpha)));
}

void dirichlet(PrngKey key, float alpha, std::size_t rows, std::size_t n, std::span<float> out) {
  if (out.size() != rows * n) throw std::invalid_argument("dirichlet: out must hold rows * n");
  dirichlet_rows(key, alpha, n, 0, out);
}

ORVEX_WIDE_FMA_CLONES void dirichlet_rows(PrngKey key, float alpha, std::size_t n, std::size_t first,
                                     std::span<float> out) {
  if (n == 0 || out.size() % n != 0)
    throw std::invalid_argument("dirichlet_rows: out must hold whole rows of n");
  // log(d) is a constant XLA folds; the softmax over the samples is fused
  // with its reduction, so log(V) and exp are YNNPACK's.
  const float log_d = kernels::log(gamma_d(alpha));
  std::vector<Rejected> rejected;
  rejected.reserve(out.size() / 16);
  for (std::size_t i = 0; i < out.size(); i += kLanes) {
    log_gamma_lanes(key, alpha, log_d, static_cast<std::uint32_t>(first * n + i), std::min(kLanes, out.size() - i),
                    out.data() + i, rejected);
  }
  second_rounds(rejected, alpha, log_d);
  for (std::size_t r = 0; r < out.size() / n; ++r) softmax(out.subspan(r * n, n), Kernel::ynn);
}

}  // namespace orvex::search
