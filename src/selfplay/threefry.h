// The random numbers a batched reset draws its player order from: JAX's
// default generator (threefry2x32, 20 rounds, with the partitionable key
// split of jax 0.5 and later), as far as pgx's init uses it.
#pragma once

#include <cstdint>
#include <utility>

namespace orvex::selfplay {

struct PrngKey {
  std::uint32_t k0 = 0;
  std::uint32_t k1 = 0;
};

constexpr std::uint32_t rotl32(std::uint32_t x, int d) { return (x << d) | (x >> (32 - d)); }

// threefry2x32 of the counter (x0, x1) under key.
constexpr std::pair<std::uint32_t, std::uint32_t> threefry2x32(PrngKey key, std::uint32_t x0,
                                                               std::uint32_t x1) {
  constexpr int kRotations[2][4] = {{13, 15, 26, 6}, {17, 29, 16, 24}};
  const std::uint32_t ks[3] = {key.k0, key.k1, key.k0 ^ key.k1 ^ 0x1BD11BDAu};
  x0 += ks[0];
  x1 += ks[1];
  for (int block = 0; block < 5; ++block) {
    for (int r : kRotations[block % 2]) {
      x0 += x1;
      x1 = rotl32(x1, r);
      x1 ^= x0;
    }
    x0 += ks[(block + 1) % 3];
    x1 += ks[(block + 2) % 3] + static_cast<std::uint32_t>(block + 1);
  }
  return {x0, x1};
}

// jax.random.PRNGKey(seed) without 64-bit mode: the seed modulo 2**32.
constexpr PrngKey prng_key(std::uint64_t seed) { return {0, static_cast<std::uint32_t>(seed)}; }

// jax.random.split(key, n)[i], which does not depend on n.
constexpr PrngKey split_key(PrngKey key, std::uint32_t i) {
  const auto [a, b] = threefry2x32(key, 0, i);
  return {a, b};
}

// jax.random.bernoulli(key) with p = 0.5: the 32 random bits of the key are
// below 2**31.
constexpr bool bernoulli_half(PrngKey key) {
  const auto [a, b] = threefry2x32(key, 0, 0);
  return (a ^ b) < 0x80000000u;
}

}  // namespace orvex::selfplay
