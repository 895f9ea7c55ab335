#include "search/xla_math.h"

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF  // as -ffp-contract=off in CMakeLists.txt
#endif

#include <bit>
#include <cstdint>
#include <stdexcept>

#include "search/float_kernels.h"

namespace orvex::search {

using kernels::flush;

ORVEX_FMA_CLONES float xla_log(float x) { return kernels::log(x); }
ORVEX_FMA_CLONES float xla_exp(float x) { return kernels::exp(x); }
ORVEX_FMA_CLONES float xla_log1p(float x) { return kernels::log1p(x); }
ORVEX_FMA_CLONES float ynn_exp(float x) { return kernels::ynn_exp(x); }
ORVEX_FMA_CLONES float ynn_log(float x) { return kernels::ynn_log(x); }

namespace {

// YNNPACK's sum over a contiguous row of n (its AVX-512 kernel): sixteen
// lanes; blocks of 256 elements (then of 64, then the tail), in which each
// lane adds its elements four by four and the fours in order; a
// Kahan-compensated carry every 1024 elements; the lanes added by halving.
// `entries` yields (index, value) in increasing index order and may leave
// out zeros, which change nothing.
template <class Entries>
float ynn_sum_of(std::size_t n, Entries entries) {
  constexpr std::size_t kLanes = 16;
  float sum[kLanes] = {}, comp[kLanes] = {}, acc[kLanes] = {};
  // Lanes whose acc or comp may be non-zero: a carry step leaves the others
  // as they are, and a block adds only to the lanes of its entries, so a
  // sparse row pays for its entries, not for the row's length.
  std::uint32_t live = 0;
  auto block = [&](std::size_t base, std::size_t size) {
    float quad[kLanes], total[kLanes];
    int quad_of[kLanes];
    std::uint32_t touched = 0, totalled = 0;
    std::size_t index;
    float value;
    while (entries.peek(index, value) && index < base + size) {
      entries.pop();
      const std::size_t p = index - base, j = p % kLanes;
      const std::uint32_t bit = 1u << j;
      const int k = static_cast<int>(p / 64);
      if (!(touched & bit)) {
        touched |= bit;
      } else if (quad_of[j] != k) {
        total[j] = (totalled & bit) ? total[j] + quad[j] : quad[j];
        totalled |= bit;
      } else {
        quad[j] = quad[j] + value;
        continue;
      }
      quad_of[j] = k;
      quad[j] = value + 0.0f;
    }
    for (std::uint32_t m = touched; m != 0; m &= m - 1) {
      const int j = std::countr_zero(m);
      acc[j] = acc[j] + ((totalled >> j) & 1u ? total[j] + quad[j] : quad[j]);
    }
    live |= touched;
  };
  auto kahan = [&] {
    std::uint32_t still = 0;
    for (std::uint32_t m = live; m != 0; m &= m - 1) {
      const int j = std::countr_zero(m);
      const float y = acc[j] - comp[j];
      const float t = sum[j] + y;
      const float c = (t - sum[j]) - y;
      comp[j] = std::isfinite(c) ? c : 0.0f;
      if (comp[j] != 0.0f) still |= 1u << j;
      sum[j] = t;
      acc[j] = 0.0f;
    }
    live = still;
  };
  std::size_t done = 0;
  for (const std::size_t size : {std::size_t{256}, std::size_t{64}})
    for (; n - done >= size; done += size) {
      block(done, size);
      if ((done + size) % 1024 == 0) kahan();
    }
  if (done < n) block(done, n - done);
  float lane[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) lane[j] = (sum[j] + (acc[j] - comp[j])) + 0.0f;
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

template <class Index>
struct SparseEntries {
  std::span<const Index> indices;
  std::span<const float> values;
  std::size_t next = 0;
  bool peek(std::size_t& index, float& value) const {
    if (next == indices.size()) return false;
    index = static_cast<std::size_t>(indices[next]);
    value = values[next];
    return true;
  }
  void pop() { ++next; }
};

}  // namespace

// The dense row's sum in the same order, sixteen lanes at a time in plain
// loops (which the compiler vectorises): a quad is ((a + 0) + b) + c) + d
// of the lane's four elements 16 apart, a block's total its quads in order.
ORVEX_VECTOR_FMA_CLONES float dense_ynn_sum(const float* row, std::size_t n) {
  constexpr std::size_t kLanes = 16;
  float sum[kLanes] = {}, comp[kLanes] = {}, acc[kLanes] = {};
  auto quad = [&](const float* at, float* q) {
    for (std::size_t j = 0; j < kLanes; ++j) q[j] = (((at[j] + 0.0f) + at[j + 16]) + at[j + 32]) + at[j + 48];
  };
  auto kahan = [&] {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const float y = acc[j] - comp[j];
      const float t = sum[j] + y;
      const float c = (t - sum[j]) - y;
      comp[j] = std::isfinite(c) ? c : 0.0f;
      sum[j] = t;
      acc[j] = 0.0f;
    }
  };
  std::size_t done = 0;
  for (; n - done >= 256; done += 256) {
    float total[kLanes], q[kLanes];
    quad(row + done, total);
    for (std::size_t k = 1; k < 4; ++k) {
      quad(row + done + 64 * k, q);
      for (std::size_t j = 0; j < kLanes; ++j) total[j] = total[j] + q[j];
    }
    for (std::size_t j = 0; j < kLanes; ++j) acc[j] = acc[j] + total[j];
    if ((done + 256) % 1024 == 0) kahan();
  }
  for (; n - done >= 64; done += 64) {
    float q[kLanes];
    quad(row + done, q);
    for (std::size_t j = 0; j < kLanes; ++j) acc[j] = acc[j] + q[j];
    if ((done + 64) % 1024 == 0) kahan();
  }
  if (done < n) {
    // The tail: the lanes' elements there, as the sparse form adds them.
    const std::size_t size = n - done;
    float lane_tail[kLanes] = {};
    bool any[kLanes] = {};
    for (std::size_t i = 0; i < size; ++i) {
      const std::size_t j = i % kLanes;
      lane_tail[j] = any[j] ? lane_tail[j] + row[done + i] : row[done + i] + 0.0f;
      any[j] = true;
    }
    for (std::size_t j = 0; j < kLanes; ++j)
      if (any[j]) acc[j] = acc[j] + lane_tail[j];
  }
  float lane[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) lane[j] = (sum[j] + (acc[j] - comp[j])) + 0.0f;
  for (std::size_t width = kLanes / 2; width >= 1; width /= 2)
    for (std::size_t j = 0; j < width; ++j) lane[j] = lane[j] + lane[j + width];
  return lane[0] + 0.0f;
}

float ynn_sum(std::span<const float> row) { return dense_ynn_sum(row.data(), row.size()); }

float ynn_sum(std::size_t n, std::span<const std::uint32_t> indices, std::span<const float> values) {
  if (indices.size() != values.size())
    throw std::invalid_argument("ynn_sum: one value per index");
  for (std::size_t i = 0; i < indices.size(); ++i)
    if (indices[i] >= n || (i > 0 && indices[i] <= indices[i - 1]))
      throw std::invalid_argument("ynn_sum: indices must increase and stay below n");
  float small;
  if (small_sum(indices, values, small)) return small;
  return ynn_sum_of(n, SparseEntries<std::uint32_t>{indices, values});
}

float ynn_sum(std::size_t n, std::span<const std::int16_t> indices, std::span<const float> values) {
  if (indices.size() != values.size())
    throw std::invalid_argument("ynn_sum: one value per index");
  for (std::size_t i = 0; i < indices.size(); ++i)
    if (indices[i] < 0 || static_cast<std::size_t>(indices[i]) >= n || (i > 0 && indices[i] <= indices[i - 1]))
      throw std::invalid_argument("ynn_sum: indices must increase and stay below n");
  float small;
  if (small_sum(indices, values, small)) return small;
  return ynn_sum_of(n, SparseEntries<std::int16_t>{indices, values});
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
