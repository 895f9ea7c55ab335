// One pass over a row of the network's logits: its maximum, and whether it
// holds a NaN or +inf (which the search refuses). Written over the bits so
// that the compiler vectorises it: a float's bits, with those below the sign
// flipped when it is negative, order as signed integers as the floats do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvex::search {

// Returns false when the row holds a NaN or +inf; else sets top to its
// maximum (-inf for an empty row).
inline bool scan_row(const float* row, std::size_t n, float& top) {
#if defined(__SSE2__)
  if (n % 8 == 0 && n > 0) {
    // Two vectors at a time: maxima, and a NaN (unordered) or +inf anywhere.
    const __m128 inf = _mm_set1_ps(std::numeric_limits<float>::infinity());
    __m128 best0 = _mm_set1_ps(-std::numeric_limits<float>::infinity()), best1 = best0;
    __m128 wrong = _mm_setzero_ps();
    for (std::size_t a = 0; a < n; a += 8) {
      const __m128 x = _mm_loadu_ps(row + a), y = _mm_loadu_ps(row + a + 4);
      wrong = _mm_or_ps(wrong, _mm_or_ps(_mm_cmpnlt_ps(x, inf), _mm_cmpnlt_ps(y, inf)));
      best0 = _mm_max_ps(best0, x);
      best1 = _mm_max_ps(best1, y);
    }
    if (_mm_movemask_ps(wrong)) return false;
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, _mm_max_ps(best0, best1));
    top = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    return true;
  }
#endif
  constexpr std::size_t kWays = 8;
  std::int32_t best[kWays];
  std::uint32_t wrong[kWays] = {};
  for (std::size_t k = 0; k < kWays; ++k) best[k] = INT32_MIN;
  auto one = [&](std::size_t k, const float* at) {
    std::uint32_t b;
    std::memcpy(&b, at, sizeof b);
    // +inf, a positive NaN (0x7f800000 .. 0x7fffffff) or a negative NaN.
    wrong[k] |= static_cast<std::uint32_t>(b - 0x7F800000u < 0x00800000u) |
                static_cast<std::uint32_t>(b > 0xFF800000u);
    const auto s = static_cast<std::int32_t>(b);
    const std::int32_t key = s ^ ((s >> 31) & 0x7FFFFFFF);
    best[k] = key > best[k] ? key : best[k];
  };
  std::size_t a = 0;
  for (; a + kWays <= n; a += kWays) {
    for (std::size_t k = 0; k < kWays; ++k) one(k, row + a + k);
  }
  for (std::size_t k = 0; a < n; ++a, ++k) one(k, row + a);
  std::uint32_t any = 0;
  std::int32_t key = best[0];
  for (std::size_t k = 0; k < kWays; ++k) {
    any |= wrong[k];
    key = best[k] > key ? best[k] : key;
  }
  if (any) return false;
  const std::int32_t bits = key == INT32_MIN ? static_cast<std::int32_t>(0xFF800000u) : key ^ ((key >> 31) & 0x7FFFFFFF);
  std::memcpy(&top, &bits, sizeof top);
  return true;
}

}  // namespace orvex::search
