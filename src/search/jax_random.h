// JAX's default random numbers (threefry2x32 with the partitionable
// counters of jax 0.5 and later), as jax.random draws them on a CPU in
// float32: each function fills `out`, flattened row-major, with what the
// JAX call of the same name returns for that key and shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "selfplay/threefry.h"

namespace orvex::search {

using selfplay::PrngKey;

// jax.random.bits(key, (n,), uint32).
void random_bits(PrngKey key, std::span<std::uint32_t> out);

// jax.random.uniform(key, (n,), float32, minval, maxval).
void uniform(PrngKey key, std::span<float> out, float minval = 0.f, float maxval = 1.f);

// jax.random.gumbel(key, (n,), float32), mode "low".
void gumbel(PrngKey key, std::span<float> out);

// jax.random.categorical(key, logits, axis=-1) for logits of shape
// (rows, n): one index per row, out.size() == rows.
void categorical(PrngKey key, std::span<const float> logits, std::size_t rows,
                 std::span<std::int32_t> out);

// jax.random.normal(key, (n,), float32).
void normal(PrngKey key, std::span<float> out);

// jax.random.dirichlet(key, alpha=[alpha] * n, shape=(rows,)): rows * n
// floats. Goes through jax.random.gamma; see the .cpp for how close it gets.
void dirichlet(PrngKey key, float alpha, std::size_t rows, std::size_t n, std::span<float> out);

}  // namespace orvex::search
