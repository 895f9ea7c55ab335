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

struct DenseEntries {
  std::span<const float> row;
  std::size_t next = 0;
  bool peek(std::size_t& index, float& value) const {
    if (next == row.size()) return false;
    index = next;
    value = row[next];
    return true;
  }
  void pop() { ++next; }
};

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

float ynn_sum(std::span<const float> row) { return ynn_sum_of(row.size(), DenseEntries{row}); }

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

ORVEX_FMA_CLONES void softmax(std::span<float> row, Kernel exp) {
  if (row.empty()) return;
  const float top = *std::max_element(row.begin(), row.end());
  for (float& v : row) v = exp == Kernel::ynn ? kernels::ynn_exp(v - top) : kernels::exp(v - top);
  const float scale = 1.0f / ynn_sum(row);
  for (float& v : row) v = flush(v * scale);
}

}  // namespace orvex::search
