// Float32 functions equal bit for bit to what jax.jit computes on a CPU
// (XLA's polynomial approximations, with its fused multiply-adds and its
// handling of subnormals), so that a search written in C++ draws and
// weighs exactly as one written in JAX.
#pragma once

#include <cstddef>
#include <span>

namespace orvex::search {

float xla_log(float x);
float xla_exp(float x);
float xla_log1p(float x);

// The same functions as YNNPACK computes them: XLA hands an elementwise
// operation to YNNPACK when it is fused with a reduction (exp before a sum,
// log before a max), and there the results differ in the last bit.
float ynn_exp(float x);
float ynn_log(float x);

// jnp.sum over one contiguous row as YNNPACK adds it (XLA's reductions
// on the CPU go to YNNPACK).
float ynn_sum(std::span<const float> row);

// jax.nn.softmax over one row, in place: exp(x - max) / sum.
void xla_softmax(std::span<float> row);

// jax.nn.logsumexp over one row.
float xla_logsumexp(std::span<const float> row);

}  // namespace orvex::search
