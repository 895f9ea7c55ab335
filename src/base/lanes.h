// Sixteen 32-bit lanes: what the compiler offers for code that works on many
// values at once. Kept apart from platform.h, which every file includes.
// Where the compiler has vector types (GCC and clang) these are they; the
// plain arrays elsewhere give the same results, lane by lane.
#pragma once

#include <cstdint>
#include <cstring>

// Values of these types never cross a call (every function on them is
// inlined), so the note that their calling convention depends on AVX or
// AVX-512 does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
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

// Eight floats (a 256-bit register), read from memory and compared lane by
// lane, with a mask of eight 32-bit lanes for the comparisons.
#if defined(__GNUC__) || defined(__clang__)
typedef float F32x8 __attribute__((vector_size(32)));
typedef std::int32_t Mask32x8 __attribute__((vector_size(32)));
#else
struct F32x8 {
  float lane[8];
  float operator[](int i) const { return lane[i]; }
};
struct Mask32x8 {
  std::int32_t lane[8];
  std::int32_t operator[](int i) const { return lane[i]; }
};
inline Mask32x8& operator|=(Mask32x8& a, const Mask32x8& b) {
  for (int i = 0; i < 8; ++i) a.lane[i] |= b.lane[i];
  return a;
}
#endif

ORVEX_LANES_INLINE F32x8 load_lanes(const float* p) {
  F32x8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

ORVEX_LANES_INLINE F32x8 float_lanes_of(float x) {
  F32x8 v;
  for (int i = 0; i < 8; ++i) v[i] = x;
  return v;
}

ORVEX_LANES_INLINE Mask32x8 no_lanes() {
  Mask32x8 m;
  for (int i = 0; i < 8; ++i) m[i] = 0;
  return m;
}

// a > b ? a : b in each lane (b where either is NaN).
ORVEX_LANES_INLINE F32x8 max_lanes(F32x8 a, F32x8 b) {
#if defined(__GNUC__) || defined(__clang__)
  return a > b ? a : b;
#else
  for (int i = 0; i < 8; ++i) a.lane[i] = a.lane[i] > b.lane[i] ? a.lane[i] : b.lane[i];
  return a;
#endif
}

// Non-zero in the lanes where x is not below limit (NaN included), else 0.
ORVEX_LANES_INLINE Mask32x8 not_below(F32x8 x, F32x8 limit) {
#if defined(__GNUC__) || defined(__clang__)
  return (x < limit) == 0;
#else
  Mask32x8 m;
  for (int i = 0; i < 8; ++i) m.lane[i] = x.lane[i] < limit.lane[i] ? 0 : -1;
  return m;
#endif
}

}  // namespace orvex
