// Sums and softmaxes over a row of kActions in which only a few places hold
// anything (the legal actions of a node): the same float32 results as the
// dense functions of xla_math.h over the whole row, at the cost of the
// places that are there.
#pragma once

#include <cstdint>
#include <span>

namespace orvex::search {

// ynn_sum over a row of n floats that are 0 but at `places` (increasing),
// where they are `values`: the sparse ynn_sum of xla_math.h, for the tree's
// 16-bit places.
float sparse_ynn_sum(std::span<const std::int16_t> places, std::span<const float> values, std::size_t n);

// softmax (YNNPACK's exp) over a row of n logits that are `logits` at
// `places` (increasing) and `rest` elsewhere, where rest is so far below
// the others that its exp is 0 (float32's lowest, or a little above).
// Writes the probabilities at the places into probs; returns false, having
// written nothing, when rest's exp would not be 0.
bool sparse_softmax(std::span<const std::int16_t> places, std::span<const float> logits, float rest,
                    std::size_t n, std::span<float> probs);

// The argmax (the first place on a tie) of softmax(row) - taken over that
// row, as sparse_softmax makes the softmax: `taken` at the places, 0
// elsewhere, where `first_other` (-1: none) is the first place outside
// them, which scores 0 - 0. The probabilities' sum is made in YNNPACK's
// order only when bounds on it (which a plain sum gives) leave the argmax
// open. Returns false, having set nothing, when rest's exp would not be 0;
// exps is working space.
bool sparse_softmax_argmax(std::span<const std::int16_t> places, std::span<const float> logits, float rest,
                           std::size_t n, std::span<const float> taken, std::int32_t first_other,
                           std::span<float> exps, std::int32_t& action);

}  // namespace orvex::search
