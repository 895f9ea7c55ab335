#include "search/sparse_row.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "search/xla_math.h"

namespace orvex::search {

float sparse_ynn_sum(std::span<const std::int16_t> places, std::span<const float> values, std::size_t n) {
  constexpr std::size_t kLanes = 16;
  float sum[kLanes] = {}, comp[kLanes] = {}, acc[kLanes] = {};
  bool touched = false;  // before the first value, a carry changes nothing
  auto kahan = [&] {
    if (!touched) return;
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
  std::size_t k = 0;  // the next place
  // The quads of one block of `width` elements from `done`, lane by lane:
  // each quad adds its four vectors in turn, the block adds its quads in turn.
  auto block = [&](std::size_t done, std::size_t width, float* a) {
    if (k == places.size() || static_cast<std::size_t>(places[k]) >= done + width) return false;
    float quads[4][kLanes] = {};
    bool any = false;
    while (k < places.size() && static_cast<std::size_t>(places[k]) < done + width) {
      const std::size_t offset = static_cast<std::size_t>(places[k]) - done;
      float& q = quads[offset / 64][offset % kLanes];
      q = q + values[k];
      any = true;
      ++k;
    }
    if (!any) return false;
    for (std::size_t j = 0; j < kLanes; ++j) {
      float s = quads[0][j];
      for (std::size_t v = 1; v < width / 64; ++v) s = s + quads[v][j];
      a[j] = s;
    }
    return true;
  };
  std::size_t done = 0;
  float a[kLanes];
  while (n - done >= 256) {
    if (block(done, 256, a)) {
      for (std::size_t j = 0; j < kLanes; ++j) acc[j] = acc[j] + a[j];
      touched = true;
    }
    done += 256;
    if (done % 1024 == 0) kahan();
  }
  while (n - done >= 64) {
    if (block(done, 64, a)) {
      for (std::size_t j = 0; j < kLanes; ++j) acc[j] = acc[j] + a[j];
      touched = true;
    }
    done += 64;
    if (done % 1024 == 0) kahan();
  }
  float tail[kLanes] = {};
  if (done < n && block(done, 64, a)) std::copy(a, a + kLanes, tail);
  float lane[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    acc[j] = acc[j] + tail[j];
    lane[j] = (sum[j] + (acc[j] - comp[j])) + 0.0f;
  }
  for (std::size_t width = kLanes / 2; width >= 1; width /= 2) {
    for (std::size_t j = 0; j < width; ++j) lane[j] = lane[j] + lane[j + width];
  }
  return lane[0] + 0.0f;
}

bool sparse_softmax(std::span<const std::int16_t> places, std::span<const float> logits, float rest,
                    std::size_t n, std::span<float> probs) {
  float top = places.size() < n ? rest : -std::numeric_limits<float>::infinity();
  for (float x : logits) top = std::max(top, x);
  if (places.size() < n && ynn_exp(rest - top) != 0.0f) return false;
  for (std::size_t i = 0; i < logits.size(); ++i) probs[i] = ynn_exp(logits[i] - top);
  const float scale = 1.0f / sparse_ynn_sum(places, probs.first(logits.size()), n);
  for (std::size_t i = 0; i < logits.size(); ++i) {
    const float p = probs[i] * scale;
    probs[i] = std::fabs(p) < std::numeric_limits<float>::min() ? std::copysign(0.0f, p) : p;
  }
  return true;
}

}  // namespace orvex::search
