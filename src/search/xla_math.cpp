#include "search/xla_math.h"

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF  // as -ffp-contract=off in CMakeLists.txt
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include "search/float_kernels.h"

namespace orvex::search {

using kernels::flush;

ORVEX_FMA_CLONES float xla_log(float x) { return kernels::log(x); }
ORVEX_FMA_CLONES float xla_exp(float x) { return kernels::exp(x); }
ORVEX_FMA_CLONES float xla_log1p(float x) { return kernels::log1p(x); }
ORVEX_FMA_CLONES float ynn_exp(float x) { return kernels::ynn_exp(x); }
ORVEX_FMA_CLONES float ynn_log(float x) { return kernels::ynn_log(x); }

namespace {

constexpr std::size_t kLanes = 16;

// YNNPACK's sum over a contiguous row of n (its AVX-512 kernel): sixteen
// lanes; blocks of 256 elements (then of 64, then the tail), in which each
// lane adds its elements four by four ((((a + 0) + b) + c) + d, of four
// elements 16 apart: a quad) and the quads in order; a Kahan-compensated
// carry every 1024 elements; the lanes added by halving. The lane loops are
// plain, for the compiler to vectorise.
struct YnnLanes {
  float sum[kLanes] = {}, comp[kLanes] = {}, acc[kLanes] = {};

  static ORVEX_KERNEL void quad(const float* at, float* q) {
    for (std::size_t j = 0; j < kLanes; ++j) q[j] = (((at[j] + 0.0f) + at[j + 16]) + at[j + 32]) + at[j + 48];
  }
  // A block of 256 or of 64.
  ORVEX_KERNEL void block(const float* at, std::size_t size) {
    float total[kLanes], q[kLanes];
    quad(at, total);
    for (std::size_t k = 64; k < size; k += 64) {
      quad(at + k, q);
      for (std::size_t j = 0; j < kLanes; ++j) total[j] = total[j] + q[j];
    }
    for (std::size_t j = 0; j < kLanes; ++j) acc[j] = acc[j] + total[j];
  }
  // The tail of fewer than 64: each lane adds its elements there in order.
  ORVEX_KERNEL void tail(const float* at, std::size_t size) {
    float lane_tail[kLanes] = {};
    bool any[kLanes] = {};
    for (std::size_t i = 0; i < size; ++i) {
      const std::size_t j = i % kLanes;
      lane_tail[j] = any[j] ? lane_tail[j] + at[i] : at[i] + 0.0f;
      any[j] = true;
    }
    for (std::size_t j = 0; j < kLanes; ++j)
      if (any[j]) acc[j] = acc[j] + lane_tail[j];
  }
  ORVEX_KERNEL void kahan() {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const float y = acc[j] - comp[j];
      const float t = sum[j] + y;
      const float c = (t - sum[j]) - y;
      comp[j] = std::isfinite(c) ? c : 0.0f;
      sum[j] = t;
      acc[j] = 0.0f;
    }
  }
  ORVEX_KERNEL float finish() {
    float lane[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) lane[j] = (sum[j] + (acc[j] - comp[j])) + 0.0f;
    for (std::size_t width = kLanes / 2; width >= 1; width /= 2)
      for (std::size_t j = 0; j < width; ++j) lane[j] = lane[j] + lane[j + width];
    return lane[0] + 0.0f;
  }
};

// The plan over a row of n: at(base, size) gives the floats of the block at
// base, or null for a block that is all zeros (which would add +0 to lanes
// that never hold -0, and changes nothing).
template <class At>
ORVEX_KERNEL float ynn_plan(std::size_t n, At&& at) {
  YnnLanes s;
  std::size_t done = 0;
  for (const std::size_t size : {std::size_t{256}, std::size_t{64}})
    for (; n - done >= size; done += size) {
      if (const float* block = at(done, size)) s.block(block, size);
      if ((done + size) % 1024 == 0) s.kahan();
    }
  if (done < n) {
    if (const float* block = at(done, n - done)) s.tail(block, n - done);
  }
  return s.finish();
}

// The same sum over a sparse row, lane by lane (a sparse row pays for its
// entries, not for the row's length). A lane's entries, in order, make its
// quads (those of one 64-element chunk), a block's quads its total, a
// period's totals its accumulator, carried into the Kahan sum at the end of
// each 1024 elements; a lane without entries stays zero, and a carry
// without anything to carry changes nothing. The blocks: of 256 below
// n / 256 * 256, of 64 above, then the tail, which adds a lane's elements
// in order as a quad does.
template <class Index>
float entry_sum(std::size_t n, std::span<const Index> indices, std::span<const float> values) {
  struct Lane {
    std::size_t quad_id, block_id, period;
    float quad, total, acc, sum, comp;
    bool totalled;
  };
  // Only the lanes that get an entry are made (bit j of `used`); the others
  // add +0 when the lanes are joined.
  Lane lanes[kLanes];
  std::uint32_t used = 0;
  const std::size_t big_blocks_end = n / 256 * 256;
  const std::size_t carries = (n / 64 * 64) / 1024;  // the carries, after elements 1024, 2048, ...
  // Carries the lane from its period up to period `to` (at most carries).
  auto carry = [&](Lane& l, std::size_t to) {
    for (std::size_t k = l.period; k < std::min(to, carries); ++k) {
      const float y = l.acc - l.comp;
      const float t = l.sum + y;
      const float c = (t - l.sum) - y;
      l.comp = std::isfinite(c) ? c : 0.0f;
      l.sum = t;
      l.acc = 0.0f;
      if (l.comp == 0.0f) break;  // the next carries add 0 to the sum
    }
    l.period = to;
  };
  auto close_block = [&](Lane& l) {
    const float total = l.totalled ? l.total + l.quad : l.quad;
    l.acc = l.acc + total;
    l.totalled = false;
  };
  for (std::size_t e = 0; e < indices.size(); ++e) {
    const std::size_t p = static_cast<std::size_t>(indices[e]);
    const float value = values[e];
    const std::size_t j = p % kLanes;
    Lane& l = lanes[j];
    const std::size_t quad_id = p / 64;
    const std::size_t block_id = p < big_blocks_end ? p / 256 * 4 : quad_id;
    if (!(used >> j & 1u)) {
      used |= 1u << j;
      l = Lane{quad_id, block_id, p / 1024, value + 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, false};
      continue;
    }
    if (l.quad_id == quad_id) {
      l.quad = l.quad + value;
      continue;
    }
    if (l.block_id == block_id) {
      l.total = l.totalled ? l.total + l.quad : l.quad;
      l.totalled = true;
    } else {
      close_block(l);
      if (p / 1024 != l.period) carry(l, p / 1024);
    }
    l.quad_id = quad_id;
    l.block_id = block_id;
    l.quad = value + 0.0f;
  }
  float lane[kLanes] = {};
  for (std::uint32_t rest = used; rest != 0; rest &= rest - 1) {
    const auto j = static_cast<std::size_t>(std::countr_zero(rest));
    Lane& l = lanes[j];
    close_block(l);
    carry(l, carries);
    lane[j] = (l.sum + (l.acc - l.comp)) + 0.0f;
  }
  for (std::size_t width = kLanes / 2; width >= 1; width /= 2)
    for (std::size_t j = 0; j < width; ++j) lane[j] = lane[j] + lane[j + width];
  return lane[0] + 0.0f;
}

// The sum of at most two entries, where the order of the adds cannot matter:
// one entry, or two that YNNPACK's plan adds once, as a + b (in different
// lanes, or in one lane within one carry period). Returns false otherwise.
template <class Index>
bool small_sum(std::span<const Index> indices, std::span<const float> values, float& out) {
  if (indices.size() == 0) {
    out = 0.0f;
    return true;
  }
  if (indices.size() == 1) {
    out = values[0] + 0.0f;
    return true;
  }
  if (indices.size() == 2) {
    const auto i = static_cast<std::size_t>(indices[0]), k = static_cast<std::size_t>(indices[1]);
    if (i % 16 != k % 16 || i / 1024 == k / 1024) {
      out = ((values[0] + 0.0f) + (values[1] + 0.0f)) + 0.0f;
      return true;
    }
  }
  return false;
}

// A sparse sum whose indices are known to increase and stay below n.
template <class Index>
float sparse_sum(std::size_t n, std::span<const Index> indices, std::span<const float> values) {
  float small;
  if (small_sum(indices, values, small)) return small;
  return entry_sum(n, indices, values);
}

template <class Index>
float checked_sparse_sum(std::size_t n, std::span<const Index> indices, std::span<const float> values) {
  if (indices.size() != values.size())
    throw std::invalid_argument("ynn_sum: one value per index");
  for (std::size_t i = 0; i < indices.size(); ++i)
    if ((std::is_signed_v<Index> && indices[i] < Index{0}) || static_cast<std::size_t>(indices[i]) >= n ||
        (i > 0 && indices[i] <= indices[i - 1]))
      throw std::invalid_argument("ynn_sum: indices must increase and stay below n");
  return sparse_sum(n, indices, values);
}

}  // namespace

ORVEX_VECTOR_FMA_CLONES float dense_ynn_sum(const float* row, std::size_t n) {
  return ynn_plan(n, [&](std::size_t base, std::size_t) -> const float* { return row + base; });
}

float ynn_sum(std::span<const float> row) { return dense_ynn_sum(row.data(), row.size()); }

float ynn_sum(std::size_t n, std::span<const std::uint32_t> indices, std::span<const float> values) {
  return checked_sparse_sum(n, indices, values);
}

float ynn_sum(std::size_t n, std::span<const std::int16_t> indices, std::span<const float> values) {
  return checked_sparse_sum(n, indices, values);
}

float ynn_sum_unchecked(std::size_t n, std::span<const std::int16_t> indices, std::span<const float> values) {
  return sparse_sum(n, indices, values);
}

ORVEX_VECTOR_FMA_CLONES void mix_in(float fraction, std::span<const float> noise, std::span<float> row) {
  const float keep = 1.0f - fraction;
  const float* in = noise.data();
  float* out = row.data();
  for (std::size_t a = 0; a < row.size(); ++a) out[a] = kernels::fma(fraction, in[a], keep * out[a]);
}

// In plain loops, which the compiler vectorises.
ORVEX_VECTOR_FMA_CLONES void softmax(std::span<float> row, Kernel exp) {
  if (row.empty()) return;
  float* const v = row.data();
  const std::size_t n = row.size();
  // The maximum (of a row without NaN: in any order), by lanes.
  constexpr std::size_t kWays = 8;
  float most[kWays];
  for (std::size_t k = 0; k < kWays; ++k) most[k] = v[0];
  std::size_t i = 0;
  for (; i + kWays <= n; i += kWays)
    for (std::size_t k = 0; k < kWays; ++k) most[k] = v[i + k] > most[k] ? v[i + k] : most[k];
  float top = most[0];
  for (std::size_t k = 1; k < kWays; ++k) top = most[k] > top ? most[k] : top;
  for (; i < n; ++i) top = v[i] > top ? v[i] : top;
  if (exp == Kernel::ynn) {
    for (std::size_t j = 0; j < n; ++j) v[j] = kernels::ynn_exp(v[j] - top);
  } else {
    for (std::size_t j = 0; j < n; ++j) v[j] = kernels::exp(v[j] - top);
  }
  const float scale = 1.0f / dense_ynn_sum(v, n);
  for (std::size_t j = 0; j < n; ++j) v[j] = flush(v[j] * scale);
}

}  // namespace orvex::search
