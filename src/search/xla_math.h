// Float32 functions equal bit for bit to what jax.jit computes on an x86-64
// CPU (jax 0.10), so that a search written in C++ draws and weighs exactly
// as one written in JAX. Denormals are flushed to zero, as XLA runs.
//
// XLA computes an elementwise log or exp with its own polynomial (xla_*),
// except inside a fusion that ends in a reduction over 4096 elements or
// more, which it hands to YNNPACK (ynn_*). In mctx over 4672 actions that
// is the softmax of the priors, the sums of the Q transforms, the softmax
// of the action weights, Dirichlet's softmax and the final categorical's
// logs; a scalar log (PUCT's exploration term) and the root Gumbel noise
// are XLA's. The two differ in the last bit for a few inputs in a hundred.
#pragma once

#include <cstddef>
#include <span>

namespace orvex::search {

float xla_log(float x);
float xla_exp(float x);
float xla_log1p(float x);

float ynn_exp(float x);
float ynn_log(float x);

// jnp.sum over one contiguous row, in YNNPACK's order (sixteen lanes,
// Kahan-compensated every 1024 elements, lanes added by halving). XLA adds
// that way when the reduction covers 4096 elements or more in all; a
// smaller one it adds by its own plan, which this does not reproduce.
float ynn_sum(std::span<const float> row);

// jax.nn.softmax over one row, in place, for a reduction YNNPACK runs:
// exp(x - max) with ynn_exp, then a multiplication by 1 / ynn_sum.
void softmax(std::span<float> row);

}  // namespace orvex::search
