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

// The exps in a plain loop, which the compiler vectorises.
ORVEX_VECTOR_FMA_CLONES bool sparse_softmax(std::span<const std::int16_t> places, std::span<const float> logits,
                                            float rest, std::size_t n, std::span<float> probs) {
  float top = places.size() < n ? rest : -std::numeric_limits<float>::infinity();
  for (float x : logits) top = std::max(top, x);
  if (places.size() < n && kernels::ynn_exp(rest - top) != 0.0f) return false;
  const float* in = logits.data();
  float* out = probs.data();
  for (std::size_t i = 0; i < logits.size(); ++i) out[i] = kernels::ynn_exp(in[i] - top);
  const float scale = 1.0f / sparse_ynn_sum(places, probs.first(logits.size()), n);
  for (std::size_t i = 0; i < logits.size(); ++i) {
    const float p = probs[i] * scale;
    probs[i] = std::fabs(p) < std::numeric_limits<float>::min() ? std::copysign(0.0f, p) : p;
  }
  return true;
}

}  // namespace orvex::search
