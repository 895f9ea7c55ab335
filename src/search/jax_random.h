// JAX's default random numbers (threefry2x32 with the partitionable
// counters of jax 0.5 and later), as jax.random draws them on a CPU in
// float32: each function fills `out`, flattened row-major, with what the
// JAX call of the same name returns for that key and shape, bit for bit
// (jax 0.10, x86-64).
//
// Element i of a draw of any shape takes its bits from the counter i alone,
// so the *_at functions give one element of a draw without the others: the
// same value whatever the shape the whole draw would have had.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "search/xla_math.h"
#include "selfplay/threefry.h"

namespace orvex::search {

using selfplay::PrngKey;

// jax.random.bits(key, (n,), uint32).
void random_bits(PrngKey key, std::span<std::uint32_t> out);
std::uint32_t random_bits_at(PrngKey key, std::uint64_t index);

// jax.random.uniform(key, (n,), float32, minval, maxval).
void uniform(PrngKey key, std::span<float> out, float minval = 0.f, float maxval = 1.f);
float uniform_at(PrngKey key, std::uint64_t index, float minval = 0.f, float maxval = 1.f);
// The same in [0, 1) at many indices (each below 2**32) at once: out[j] is
// element indices[j].
void uniform_at(PrngKey key, std::span<const std::int32_t> indices, std::span<float> out);

// jax.random.gumbel(key, (n,), float32), mode "low": -log(-log(u)) for u
// uniform in [tiny, 1). The logarithm is XLA's own, or YNNPACK's where the
// jit fuses the draw with a reduction (Kernel::ynn; mctx's final
// categorical, see xla_math.h).
void gumbel(PrngKey key, std::span<float> out, Kernel log = Kernel::xla);
float gumbel_at(PrngKey key, std::uint64_t index, Kernel log = Kernel::xla);

// jax.random.categorical(key, logits, axis=-1) for logits of shape
// (rows, n): argmax of gumbel + logits per row, the first index of a tie;
// out.size() == rows. Throws std::invalid_argument on mismatched sizes.
void categorical(PrngKey key, std::span<const float> logits, std::size_t rows,
                 std::span<std::int32_t> out, Kernel log = Kernel::xla);

// jax.random.normal(key, (n,), float32): sqrt(2) * erf_inv(u).
void normal(PrngKey key, std::span<float> out);

// jax.random.dirichlet(key, alpha=[alpha] * n, shape=(rows,)), float32,
// rows * n values: a log-gamma draw per element (Marsaglia and Tsang, from
// jax.random.split(key, rows * n)) and a softmax per row, as one jit runs it
// when alpha is a constant (mctx's root noise). Throws
// std::invalid_argument unless out.size() == rows * n.
void dirichlet(PrngKey key, float alpha, std::size_t rows, std::size_t n, std::span<float> out);

// Element i's log-gamma draw of that draw before the softmax, from its key
// split(key, i), made one round of Marsaglia and Tsang's loop at a time as
// JAX's loop makes it: what dirichlet's batched rounds must equal.
float log_gamma_alone(PrngKey element_key, float alpha);

// Rows first .. first + out.size() / n of that draw alone (so that threads
// can share one draw); out.size() must be a multiple of n.
void dirichlet_rows(PrngKey key, float alpha, std::size_t n, std::size_t first,
                    std::span<float> out);

}  // namespace orvex::search
