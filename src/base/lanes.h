// Sixteen 32-bit lanes: what the compiler offers for code that works on many
// values at once. Kept apart from platform.h, which every file includes.
#pragma once

#include <cstdint>

#if defined(__GNUC__) && !defined(__clang__)
// Values of this type never cross a call (every function on them is
// inlined), so the note that their calling convention depends on AVX-512 does
// not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace orvex {

// A value of sixteen 32-bit lanes, which the compiler keeps in vector
// registers where it has vector types (GCC and clang), and a plain array
// elsewhere: +, ^, |, << and >> (by a count) act lane by lane, [] reads or
// writes one lane.
#if defined(__GNUC__) || defined(__clang__)
typedef std::uint32_t U32x16 __attribute__((vector_size(64)));
#define ORVEX_LANES_INLINE inline __attribute__((always_inline))
#else
struct U32x16 {
  std::uint32_t lane[16];
  std::uint32_t& operator[](int i) { return lane[i]; }
  std::uint32_t operator[](int i) const { return lane[i]; }
};
#define ORVEX_LANES_INLINE inline
#define ORVEX_LANE_OP(op)                                                  \
  inline U32x16 operator op(U32x16 a, const U32x16& b) {                 \
    for (int i = 0; i < 16; ++i) a.lane[i] = a.lane[i] op b.lane[i];      \
    return a;                                                            \
  }                                                                      \
  inline U32x16& operator op##=(U32x16& a, const U32x16& b) { return a = a op b; }
ORVEX_LANE_OP(+)
ORVEX_LANE_OP(^)
ORVEX_LANE_OP(|)
#undef ORVEX_LANE_OP
inline U32x16 operator<<(U32x16 a, int n) {
  for (int i = 0; i < 16; ++i) a.lane[i] <<= n;
  return a;
}
inline U32x16 operator>>(U32x16 a, int n) {
  for (int i = 0; i < 16; ++i) a.lane[i] >>= n;
  return a;
}
#endif

// Every lane x.
ORVEX_LANES_INLINE U32x16 lanes_of(std::uint32_t x) {
  U32x16 v;
  for (int i = 0; i < 16; ++i) v[i] = x;
  return v;
}

}  // namespace orvex
