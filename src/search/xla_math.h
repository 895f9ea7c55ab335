// Float32 functions equal bit for bit to what jax.jit computes on an x86-64
// CPU (jax 0.10), so that a search written in C++ draws and weighs exactly
// as one written in JAX. Denormals are flushed to zero, as XLA runs.
//
// XLA computes an elementwise log or exp with its own polynomial (xla_*),
// except in a fusion it hands to YNNPACK (ynn_*): a reduction over 4096
// elements or more, with the elementwise operations XLA chose to fuse
// into it. The two differ in the last bit for a few inputs in a hundred.
// Which one an operation of a given jit gets is XLA's choice; an HLO dump
// (XLA_FLAGS=--xla_dump_to=DIR, *.cpu_after_optimizations.txt) shows it:
// an operation inside a "__ynn_fusion" runs YNNPACK's. Float reductions
// of 4096 elements or more all go to YNNPACK (ynn_sum; max and min are
// exact either way). The fusion also decides the rounding of a * b + c:
// XLA's own code computes it as one fused multiply-add (std::fma), YNNPACK
// rounds the product and the sum apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvex::search {

// Which of the two computes a log or an exp.
enum class Kernel { xla, ynn };

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

// The same sum for a row of n that is zero but at `indices` (increasing,
// below n), where it holds `values`: equal to ynn_sum of the dense row, at
// the cost of the entries. Throws std::invalid_argument on bad indices.
float ynn_sum(std::size_t n, std::span<const std::uint32_t> indices, std::span<const float> values);
float ynn_sum(std::size_t n, std::span<const std::int16_t> indices, std::span<const float> values);
// The same for indices the caller knows to increase and stay below n: not
// checked.
float ynn_sum_unchecked(std::size_t n, std::span<const std::int16_t> indices, std::span<const float> values);

// jax.nn.softmax over one row of 4096 or more, in place: exp(x - max), by
// YNNPACK's exp when XLA fuses it with the max (the usual case) or its own,
// then a multiplication by 1 / ynn_sum.
void softmax(std::span<float> row, Kernel exp = Kernel::ynn);

// row[a] = fraction * noise[a] + (1 - fraction) * row[a], the first product
// fused into the sum, as XLA mixes mctx's Dirichlet noise into the priors.
void mix_in(float fraction, std::span<const float> noise, std::span<float> row);

}  // namespace orvex::search
