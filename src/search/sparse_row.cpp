#include "search/sparse_row.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "search/xla_math.h"

namespace orvex::search {

float sparse_ynn_sum(std::span<const std::int16_t> places, std::span<const float> values, std::size_t n) {
  if (places.size() * 8 > n) {
    // Dense enough for the dense sum to be the quicker.
    thread_local std::vector<float> row;
    row.assign(n, 0.0f);
    for (std::size_t i = 0; i < places.size(); ++i) row[static_cast<std::size_t>(places[i])] = values[i];
    return ynn_sum(row);
  }
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
  // The block of `width` elements from `done`: each lane adds its four
  // vectors in turn into a quad, then the quads in turn, then the result to
  // its accumulator. A missing element or quad adds 0, which changes
  // nothing: only the lanes and quads that hold something are added.
  auto block = [&](std::size_t done, std::size_t width) {
    if (k == places.size() || static_cast<std::size_t>(places[k]) >= done + width) return;
    float quads[4][kLanes];
    std::uint64_t present = 0;  // bit 16 * quad + lane
    while (k < places.size() && static_cast<std::size_t>(places[k]) < done + width) {
      const std::size_t offset = static_cast<std::size_t>(places[k]) - done;
      const std::size_t bit = (offset / 64) * kLanes + offset % kLanes;
      float& q = quads[offset / 64][offset % kLanes];
      q = (present >> bit & 1) ? q + values[k] : values[k];
      present |= std::uint64_t{1} << bit;
      ++k;
    }
    std::uint32_t lanes = 0;
    for (std::size_t quad = 0; quad < 4; ++quad) lanes |= static_cast<std::uint32_t>(present >> (quad * kLanes)) & 0xFFFFu;
    for (; lanes; lanes &= lanes - 1) {
      const auto j = static_cast<std::size_t>(__builtin_ctz(lanes));
      float sum_of_quads = 0.0f;
      bool first = true;
      for (std::size_t quad = 0; quad < 4; ++quad) {
        if (!(present >> (quad * kLanes + j) & 1)) continue;
        sum_of_quads = first ? quads[quad][j] : sum_of_quads + quads[quad][j];
        first = false;
      }
      acc[j] = acc[j] + sum_of_quads;
    }
    touched = true;
  };
  std::size_t done = 0;
  while (n - done >= 256) {
    block(done, 256);
    done += 256;
    if (done % 1024 == 0) kahan();
  }
  while (n - done >= 64) {
    block(done, 64);
    done += 64;
    if (done % 1024 == 0) kahan();
  }
  if (done < n) block(done, 64);
  float lane[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) lane[j] = (sum[j] + (acc[j] - comp[j])) + 0.0f;
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
