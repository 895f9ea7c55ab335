// jax.random's float32 samplers over the partitionable threefry of jax 0.5
// and later: element i of a draw of any shape takes its 32 bits from
// threefry2x32(key, (i >> 32, i)), the two output words xor-ed together, so
// any element can be drawn without the others.
#include "search/jax_random.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "search/xla_math.h"

namespace orvex::search {
namespace {

std::uint32_t bits_at(PrngKey key, std::uint64_t i) {
  const auto [a, b] = selfplay::threefry2x32(key, static_cast<std::uint32_t>(i >> 32),
                                             static_cast<std::uint32_t>(i));
  return a ^ b;
}

// The float in [0, 1) that uniform makes of 32 random bits.
float unit_float(std::uint32_t bits) {
  return std::bit_cast<float>((bits >> 9) | 0x3F800000u) - 1.0f;
}

float uniform_at(PrngKey key, std::uint64_t i, float minval, float maxval) {
  return std::max(minval, std::fma(unit_float(bits_at(key, i)), maxval - minval, minval));
}

constexpr float kTiny = std::numeric_limits<float>::min();

float gumbel_at(PrngKey key, std::uint64_t i) {
  return -xla_log(-xla_log(uniform_at(key, i, kTiny, 1.0f)));
}

// lax.erf_inv as XLA expands it (Giles' single-precision approximation).
float erf_inv(float x) {
  static constexpr float kSmall[9] = {2.81022636e-08f,  3.43273939e-07f, -3.5233877e-06f,
                                      -4.39150654e-06f, 0.00021858087f,  -0.00125372503f,
                                      -0.00417768164f,  0.246640727f,    1.50140941f};
  static constexpr float kLarge[9] = {-0.000200214257f, 0.000100950558f, 0.00134934322f,
                                      -0.00367342844f,  0.00573950773f,  -0.0076224613f,
                                      0.00943887047f,   1.00167406f,     2.83297682f};
  if (std::fabs(x) == 1.0f) return x * std::numeric_limits<float>::infinity();
  const float w = -xla_log1p(x * -x);
  const bool small = w < 5.0f;
  const float* c = small ? kSmall : kLarge;
  const float t = small ? w - 2.5f : std::sqrt(w) - 3.0f;
  float p = c[0];
  for (int k = 1; k < 9; ++k) p = std::fma(p, t, c[k]);
  return p * x;
}

float normal_at(PrngKey key, std::uint64_t i) {
  const float lo = std::nextafter(-1.0f, 0.0f);
  return static_cast<float>(M_SQRT2) * erf_inv(uniform_at(key, i, lo, 1.0f));
}

// One draw of jax.random.loggamma(key, alpha) for a scalar alpha
// (Marsaglia and Tsang, boosted for alpha < 1).
float log_gamma_one(PrngKey key, float alpha) {
  const bool boost = alpha >= 1.0f;
  const float a = boost ? alpha : alpha + 1.0f;
  const float d = a - 1.0f / 3.0f;
  const float c = (1.0f / 3.0f) / std::sqrt(d);
  const PrngKey log_key = selfplay::split_key(key, 1);
  key = selfplay::split_key(key, 0);
  float X = 0.0f, V = 1.0f, U = 2.0f;
  while (U >= std::fma(-0.0331f, X * X, 1.0f) &&
         xla_log(U) >= std::fma(X, 0.5f, d * ((1.0f - V) + xla_log(V)))) {
    PrngKey x_key = selfplay::split_key(key, 1);
    const PrngKey u_key = selfplay::split_key(key, 2);
    key = selfplay::split_key(key, 0);
    float x = 0.0f, v = -1.0f;
    while (v <= 0.0f) {
      const PrngKey sub = selfplay::split_key(x_key, 1);
      x_key = selfplay::split_key(x_key, 0);
      x = normal_at(sub, 0);
      v = std::fma(x, c, 1.0f);
    }
    X = x * x;
    V = (v * v) * v;
    U = uniform_at(u_key, 0, 0.0f, 1.0f);
  }
  const float log_sample = xla_log1p(-uniform_at(log_key, 0, 0.0f, 1.0f));
  const float log_boost = (boost || log_sample == 0.0f) ? 0.0f : log_sample * (1.0f / alpha);
  return (xla_log(d) + xla_log(V)) + log_boost;
}

}  // namespace

void random_bits(PrngKey key, std::span<std::uint32_t> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bits_at(key, i);
}

void uniform(PrngKey key, std::span<float> out, float minval, float maxval) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = uniform_at(key, i, minval, maxval);
}

void gumbel(PrngKey key, std::span<float> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = gumbel_at(key, i);
}

void categorical(PrngKey key, std::span<const float> logits, std::size_t rows,
                 std::span<std::int32_t> out) {
  if (rows == 0) return;
  if (logits.size() % rows != 0 || out.size() != rows)
    throw std::invalid_argument("categorical: logits must be rows x n and out must hold rows");
  const std::size_t n = logits.size() / rows;
  for (std::size_t r = 0; r < rows; ++r) {
    std::int32_t best = 0;
    float best_value = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
      const float v = gumbel_at(key, r * n + j) + logits[r * n + j];
      // argmax: the first maximum, and the first NaN above everything.
      if (j == 0 || (!std::isnan(best_value) && (v > best_value || std::isnan(v)))) {
        best = static_cast<std::int32_t>(j);
        best_value = v;
      }
    }
    out[r] = best;
  }
}

void normal(PrngKey key, std::span<float> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = normal_at(key, i);
}

void dirichlet(PrngKey key, float alpha, std::size_t rows, std::size_t n, std::span<float> out) {
  if (out.size() != rows * n) throw std::invalid_argument("dirichlet: out must hold rows * n");
  for (std::size_t i = 0; i < rows * n; ++i)
    out[i] = log_gamma_one(selfplay::split_key(key, static_cast<std::uint32_t>(i)), alpha);
  for (std::size_t r = 0; r < rows; ++r) xla_softmax(out.subspan(r * n, n));
}

}  // namespace orvex::search
