#include "search/sparse_row.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "search/float_kernels.h"
#include "search/xla_math.h"

namespace orvex::search {

float sparse_ynn_sum(std::span<const std::int16_t> places, std::span<const float> values, std::size_t n) {
  return ynn_sum_unchecked(n, places, values.first(places.size()));
}

namespace {

// The exps e^(logit - top) of a softmax, in a plain loop, which the compiler
// vectorises; false when rest's exp would not be 0.
ORVEX_VECTOR_FMA_CLONES bool sparse_exps(std::span<const std::int16_t> places, std::span<const float> logits,
                                         float rest, std::size_t n, std::span<float> exps) {
  float top = places.size() < n ? rest : -std::numeric_limits<float>::infinity();
  for (float x : logits) top = std::max(top, x);
  if (places.size() < n && kernels::ynn_exp(rest - top) != 0.0f) return false;
  const float* in = logits.data();
  float* out = exps.data();
  for (std::size_t i = 0; i < logits.size(); ++i) out[i] = kernels::ynn_exp(in[i] - top);
  return true;
}

// A probability from its exp and the scale, 1 / the sum.
float prob_of(float e, float scale) { return kernels::flush(e * scale); }

// The best (score, place): the higher score, on a tie the lower place; at,
// the place's index among the places (or the count of them: a place outside).
struct Best {
  float score = 0.0f;
  std::int32_t place = -1;
  std::size_t at = 0;
  void offer(float s, std::int32_t a, std::size_t i) {
    if (place < 0 || s > score || (s == score && a < place)) {
      score = s;
      place = a;
      at = i;
    }
  }
};

}  // namespace

bool sparse_softmax(std::span<const std::int16_t> places, std::span<const float> logits, float rest,
                    std::size_t n, std::span<float> probs) {
  if (!sparse_exps(places, logits, rest, n, probs)) return false;
  const float scale = 1.0f / sparse_ynn_sum(places, probs.first(logits.size()), n);
  for (std::size_t i = 0; i < logits.size(); ++i) probs[i] = prob_of(probs[i], scale);
  return true;
}

bool sparse_softmax_argmax(std::span<const std::int16_t> places, std::span<const float> logits, float rest,
                           std::size_t n, std::span<const float> taken, std::int32_t first_other,
                           std::span<float> exps, std::int32_t& action) {
  const std::size_t k = logits.size();
  if (!sparse_exps(places, logits, rest, n, exps)) return false;
  // The argmax at the scale 1 / sum (a place's score never falls as the
  // scale grows); the first place outside scores 0 whatever the scale.
  auto argmax = [&](float scale) {
    Best best;
    for (std::size_t i = 0; i < k; ++i) best.offer(prob_of(exps[i], scale) - taken[i], places[i], i);
    if (first_other >= 0) best.offer(0.0f, first_other, k);
    return best;
  };
  // Any order of adding k floats of one sign, compensated or not, lands
  // within (k + a few) roundings of their sum: twice that and more is
  // taken, around a sum in double. The true scale then lies in [lo, hi].
  double sum = 0.0;
  for (std::size_t i = 0; i < k; ++i) sum += exps[i];
  const double margin = static_cast<double>(2 * k + 64) * 0x1p-24;
  const float lo = std::nextafter(static_cast<float>(1.0 / (sum * (1.0 + margin))), 0.0f);
  const float hi = std::nextafter(static_cast<float>(1.0 / (sum * (1.0 - margin))),
                                  std::numeric_limits<float>::infinity());
  // The winner at lo keeps winning at any scale up to hi when every other
  // place scores less at hi than it does at lo (or as much, placed after
  // it), or scores as it does at every scale (the same exp and taken).
  const Best win = argmax(lo);
  bool decided = sum > 0.0 && std::isfinite(sum);
  const std::size_t w = win.at;
  for (std::size_t i = 0; decided && i < k; ++i) {
    if (i == w || (w < k && exps[i] == exps[w] && taken[i] == taken[w])) continue;
    const float other = prob_of(exps[i], hi) - taken[i];
    decided = win.score > other || (win.score == other && win.place < places[i]);
  }
  if (decided && first_other >= 0 && first_other != win.place) {
    decided = win.score > 0.0f || (win.score == 0.0f && win.place < first_other);
  }
  action = decided ? win.place : argmax(1.0f / sparse_ynn_sum(places, exps.first(k), n)).place;
  return true;
}

}  // namespace orvex::search
