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

// jax.nn.softmax over one row, in place, as XLA runs it for a row of a few
// thousand (YNNPACK's max, exp and sum, then a multiplication by 1 / sum).
void softmax(std::span<float> row);

}  // namespace orvex::search
