// The float32 kernels behind xla_math.h, inline so that the samplers of
// jax_random.cpp compile them into their own code (with the FMA instruction
// where the CPU has it; std::fma gives the same bits either way).
//
// XLA's CPU backend lowers log, exp and log1p to the Cephes polynomials (as
// Eigen has them) and lets LLVM fuse multiply-adds; the order of fused and
// unfused operations below is the one of its x86-64 code, which is what
// makes the results equal bit for bit. XLA runs with denormals flushed to
// zero, as inputs and as results.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "base/platform.h"

#if defined(__GNUC__)
#define ORVEX_KERNEL inline __attribute__((always_inline))
#else
#define ORVEX_KERNEL inline
#endif

// The exported float functions are compiled twice where the toolchain can
// dispatch at load time: once with FMA instructions, once without (not under
// ThreadSanitizer, whose runtime is not ready when the dispatch runs).
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define ORVEX_FMA_CLONES __attribute__((target_clones("fma", "default")))
#else
#define ORVEX_FMA_CLONES
#endif

// Integer code that vectorises well is compiled for AVX2 and AVX-512 as
// well, and float code that works on many values at once for x86-64-v3 (AVX2
// with FMA), on the same terms; float code around sixteen-lane integer work
// (the Dirichlet draws' hashes) for x86-64-v4 as well.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define ORVEX_INT_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#define ORVEX_VECTOR_FMA_CLONES __attribute__((target_clones("arch=x86-64-v3", "fma", "default")))
#define ORVEX_WIDE_FMA_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "fma", "default")))
#else
#define ORVEX_INT_CLONES
#define ORVEX_VECTOR_FMA_CLONES
#define ORVEX_WIDE_FMA_CLONES
#endif

namespace orvex::search::kernels {

ORVEX_KERNEL float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
ORVEX_KERNEL std::uint32_t to_bits(float f) { return std::bit_cast<std::uint32_t>(f); }

ORVEX_KERNEL float fma(float a, float b, float c) { return fused_multiply_add(a, b, c); }

constexpr float kInf = std::numeric_limits<float>::infinity();

// XLA runs with denormals flushed to zero, as inputs and as results.
ORVEX_KERNEL float flush(float x) {
  return std::fabs(x) < std::numeric_limits<float>::min() ? std::copysign(0.0f, x) : x;
}

// log for x > 0 finite, with subnormals read as the smallest normal.
ORVEX_KERNEL float log_positive(float x) {
  const float clamped = std::max(x, std::numeric_limits<float>::min());
  const std::uint32_t bits = to_bits(clamped);
  float e = static_cast<float>(static_cast<std::int32_t>(bits >> 23) - 127) + 1.0f;
  const float m = from_bits((bits & 0x807FFFFFu) | 0x3F000000u);  // in [0.5, 1)
  const bool small = m < from_bits(0x3F3504F3u);                   // sqrt(1/2)
  const float t = (m - 1.0f) + (small ? m : 0.0f);
  e = small ? e - 1.0f : e;
  const float t2 = t * t;
  const float t3 = t2 * t;
  float p0 = fma(t, from_bits(0x3D9021BBu), from_bits(0xBDEBD1B8u));
  float p1 = fma(t, from_bits(0xBDFE5D4Fu), from_bits(0x3E11E9BFu));
  float p2 = fma(t, from_bits(0x3E4CCEACu), from_bits(0xBE7FFFFCu));
  p0 = fma(p0, t, from_bits(0x3DEF251Au));
  p1 = fma(p1, t, from_bits(0xBE2AAE50u));
  p2 = fma(p2, t, from_bits(0x3EAAAAAAu));
  float y = fma(p0, t3, p1);
  y = fma(y, t3, p2);
  y = fma(y, t3, e * from_bits(0xB95E8083u));
  const float r = fma(-0.5f, t2, t) + y;
  return fma(e, from_bits(0x3F318000u), r);
}


// A log of x (flushed) as both kernels give it outside the positive normal
// floats: NaN below zero, -inf at zero, inf at inf; normal(x) for the rest.
template <class Normal>
ORVEX_KERNEL float log_with_edges(float x, Normal normal) {
  x = flush(x);
  if (std::isnan(x) || x < 0.0f) return std::numeric_limits<float>::quiet_NaN();
  if (x == 0.0f) return -kInf;
  if (x == kInf) return kInf;
  return normal(x);
}

ORVEX_KERNEL float log(float x) {
  return log_with_edges(x, [](float v) { return log_positive(v); });
}

// Written without branches (a NaN is selected at the end), so that a loop
// of it vectorises.
ORVEX_KERNEL float exp(float x) {
  const float given = x;
  x = flush(x);
  x = std::min(std::max(x, -87.8f), 88.8f);
  float n = std::floor(fma(x, from_bits(0x3FB8AA3Bu), 0.5f));
  n = std::min(std::max(n, -127.0f), 127.0f);
  float r = fma(-n, from_bits(0x3F318000u), x);
  r = fma(-n, from_bits(0xB95E8083u), r);
  float p = fma(from_bits(0x39506967u), r, from_bits(0x3AB743CEu));
  p = fma(p, r, from_bits(0x3C088908u));
  p = fma(p, r, from_bits(0x3D2AA9C1u));
  p = fma(p, r, from_bits(0x3E2AAAAAu));
  p = fma(p, r, 0.5f);
  const float y = fma(p, r * r, r) + 1.0f;
  // (n is NaN only for a NaN x, whose result is x: 0 keeps the cast defined.)
  const float whole = std::isnan(n) ? 0.0f : n;
  const auto scale = from_bits(static_cast<std::uint32_t>(static_cast<std::int32_t>(whole) + 127) << 23);
  const float result = flush(y * scale);
  return std::isnan(given) ? given : result;
}

// log1p's rational approximation, for |x| below log1p_small_limit.
ORVEX_KERNEL float log1p_small(float x) {
  // Written out (no loops), so that a loop over many x vectorises.
  float den = fma(1.0f, x, from_bits(0x417101ADu));
  den = fma(den, x, from_bits(0x42A6185Bu));
  den = fma(den, x, from_bits(0x435DC32Du));
  den = fma(den, x, from_bits(0x439A8CA3u));
  den = fma(den, x, from_bits(0x43586D8Au));
  den = fma(den, x, from_bits(0x42707982u));
  float num = fma(4.527e-05f, x, from_bits(0x3EFF40C5u));
  num = fma(num, x, from_bits(0x40D284FAu));
  num = fma(num, x, from_bits(0x41EF4B9Cu));
  num = fma(num, x, from_bits(0x4273CC76u));
  num = fma(num, x, from_bits(0x426473ADu));
  num = fma(num, x, from_bits(0x41A05101u));
  const float x2 = x * x;
  const float u = fma(-0.5f, x2, (x * x2) * (num / den));
  return x + u;
}

ORVEX_KERNEL float log1p_small_limit() { return from_bits(0x3ED413CDu); }

ORVEX_KERNEL float log1p(float x) {
  x = flush(x);
  if (std::fabs(x) < log1p_small_limit()) return log1p_small(x);
  return kernels::log(x + 1.0f);
}

// log1p for x in (-1, 0], without branches (so that a loop of it
// vectorises): equal to log1p there.
ORVEX_KERNEL float log1p_above_minus_one(float x) {
  x = flush(x);
  const float small = log1p_small(x);
  const float large = log_positive(x + 1.0f);
  return std::fabs(x) < log1p_small_limit() ? small : large;
}

// YNNPACK's exp and log (its AVX-512 kernels). The exp is written without
// branches (NaN and an infinite scale are selected at the end).
ORVEX_KERNEL float ynn_exp(float x) {
  const float c = std::min(std::max(x, from_bits(0xC2B00F34u)), from_bits(0x42B17218u));
  const float n = (c * from_bits(0x3FB8AA3Bu) + 12582912.0f) + -12582912.0f;
  const float s = from_bits(to_bits(n + 8388735.0f) << 23);
  float r = fma(n, from_bits(0xBF317200u), c);
  r = fma(n, from_bits(0xB5BFBE8Eu), r);
  const float r2 = r * r;
  float pa = fma(from_bits(0xB85127E0u), r2, from_bits(0x3AB93CACu));
  pa = fma(pa, r2, from_bits(0x3D2AA994u));
  pa = fma(pa, r2, from_bits(0x3EFFFFFEu));
  float pb = fma(from_bits(0x396ECCE9u), r2, from_bits(0x3C08629Eu));
  pb = fma(pb, r2, from_bits(0x3E2AAAD2u));
  float p = fma(pb, r, pa);
  p = fma(p, r2, r);
  const float result = std::isinf(s) ? s : flush(fma(p, s, s));
  return std::isnan(x) ? x : result;
}

// YNNPACK's log of a positive normal x.
ORVEX_KERNEL float ynn_log_normal(float x) {
  // Its exponent (ilogb) and its mantissa in [1, 2), halved above sqrt(2).
  float e = static_cast<float>(static_cast<std::int32_t>((to_bits(x) >> 23) & 0xFFu) - 127);
  float m = from_bits((to_bits(x) & 0x007FFFFFu) | 0x3F800000u);
  const bool above = m > from_bits(0x3FB504F3u);
  e = above ? e + 1.0f : e;
  m = above ? m * 0.5f : m;
  const float t = m + -1.0f;
  const float t2 = t * t;
  float num = fma(from_bits(0xBBAB5AD8u), t2, from_bits(0xBEFFFFF4u));
  num = fma(from_bits(0xBEA99D63u), t, num);
  float den = fma(from_bits(0x3ECB0C97u), t2, 1.0f);
  den = fma(from_bits(0x3FAA23C9u), t, den);
  const float y = fma(num / den, t2, t);
  return fma(e, from_bits(0x3F317218u), y);
}

ORVEX_KERNEL float ynn_log(float x) {
  return log_with_edges(x, [](float v) { return ynn_log_normal(v); });
}
}  // namespace orvex::search::kernels
