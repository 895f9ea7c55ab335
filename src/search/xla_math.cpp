#include "search/xla_math.h"

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF  // as -ffp-contract=off in CMakeLists.txt
#endif

#include "search/float_kernels.h"

namespace orvex::search {

using kernels::flush;

ORVEX_FMA_CLONES float xla_log(float x) { return kernels::log(x); }
ORVEX_FMA_CLONES float xla_exp(float x) { return kernels::exp(x); }
ORVEX_FMA_CLONES float xla_log1p(float x) { return kernels::log1p(x); }
ORVEX_FMA_CLONES float ynn_exp(float x) { return kernels::ynn_exp(x); }
ORVEX_FMA_CLONES float ynn_log(float x) { return kernels::ynn_log(x); }

// YNNPACK's sum over a contiguous row (its AVX-512 kernel): sixteen lanes,
// blocks of four vectors added in a fixed tree, and a Kahan-compensated
// carry every 1024 elements; the lanes are then added by halving.
float ynn_sum(std::span<const float> row) {
  constexpr std::size_t kLanes = 16;
  float sum[kLanes] = {}, comp[kLanes] = {}, acc[kLanes] = {};
  auto at = [&](std::size_t i) { return i < row.size() ? row[i] : 0.0f; };
  // ((0 + v0) + v1) + v2 + v3 over four vectors starting at element `base`, lane j.
  auto quad = [&](std::size_t base, std::size_t j, float start) {
    float q = at(base + j) + start;
    for (std::size_t v = 1; v < 4; ++v) q = q + at(base + v * kLanes + j);
    return q;
  };
  auto kahan = [&] {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const float y = acc[j] - comp[j];
      const float t = sum[j] + y;
      float c = (t - sum[j]) - y;
      if (!std::isfinite(c)) c = 0.0f;
      comp[j] = c;
      sum[j] = t;
      acc[j] = 0.0f;
    }
  };
  std::size_t done = 0;
  const std::size_t n = row.size();
  while (n - done >= 256) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      float a = quad(done, j, 0.0f) + quad(done + 64, j, 0.0f);
      a = a + quad(done + 128, j, 0.0f);
      a = a + quad(done + 192, j, 0.0f);
      acc[j] = acc[j] + a;
    }
    done += 256;
    if (done % 1024 == 0) kahan();
  }
  while (n - done >= 64) {
    for (std::size_t j = 0; j < kLanes; ++j) acc[j] = acc[j] + quad(done, j, 0.0f);
    done += 64;
    if (done % 1024 == 0) kahan();
  }
  float lane[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    const float tail = done < n ? quad(done, j, 0.0f) : 0.0f;
    acc[j] = acc[j] + tail;
    lane[j] = (sum[j] + (acc[j] - comp[j])) + 0.0f;
  }
  for (std::size_t width = kLanes / 2; width >= 1; width /= 2)
    for (std::size_t j = 0; j < width; ++j) lane[j] = lane[j] + lane[j + width];
  return lane[0] + 0.0f;
}

ORVEX_FMA_CLONES void softmax(std::span<float> row, Kernel exp) {
  if (row.empty()) return;
  const float top = *std::max_element(row.begin(), row.end());
  for (float& v : row) v = exp == Kernel::ynn ? kernels::ynn_exp(v - top) : kernels::exp(v - top);
  const float scale = 1.0f / ynn_sum(row);
  for (float& v : row) v = flush(v * scale);
}

}  // namespace orvex::search
