#include "encoding/planes.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "board/reflect.h"

namespace orvex {
namespace {

#if defined(__SSE2__)

// One bitboard as 64 bytes of 0 or 1, sixteen at a time: each rank's byte is
// copied to the eight bytes of its squares, and byte f keeps bit f.
inline void write_plane(Bitboard b, std::uint8_t* out) {
  const __m128i file_bits = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
  const __m128i one = _mm_set1_epi8(1);
  const __m128i bytes = _mm_unpacklo_epi8(_mm_cvtsi64_si128(static_cast<long long>(b)),
                                          _mm_cvtsi64_si128(static_cast<long long>(b)));
  const __m128i low = _mm_unpacklo_epi16(bytes, bytes);   // ranks 1-4, four times each
  const __m128i high = _mm_unpackhi_epi16(bytes, bytes);  // ranks 5-8
  const __m128i ranks[4] = {_mm_unpacklo_epi32(low, low), _mm_unpackhi_epi32(low, low),
                            _mm_unpacklo_epi32(high, high), _mm_unpackhi_epi32(high, high)};
  for (int i = 0; i < 4; ++i) {
    const __m128i squares = _mm_min_epu8(_mm_and_si128(ranks[i], file_bits), one);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), squares);
  }
}

#else

// kSpread[b] holds byte f = bit f of b: one rank of a bitboard as eight bytes.
constexpr std::array<std::uint64_t, 256> kSpread = [] {
  std::array<std::uint64_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    for (int f = 0; f < 8; ++f) table[b] |= static_cast<std::uint64_t>((b >> f) & 1) << (8 * f);
  }
  return table;
}();

inline void write_plane(Bitboard b, std::uint8_t* out) {
  for (int rank = 0; rank < 8; ++rank) {
    std::uint64_t bytes = kSpread[(b >> (8 * rank)) & 0xFF];
    bytes = to_little_endian(bytes);
    std::memcpy(out + 8 * rank, &bytes, 8);
  }
}

#endif

}  // namespace

void write_planes(const Board& board, bool mirror, std::uint8_t* out) {
  if (mirror && !white_to_move(board.state)) {
    for (int k = 0; k < kPieceKinds; ++k) {
      write_plane(orvex::mirror(board.pieces[(k + 6) % kPieceKinds]), out + k * kSquares);
    }
    return;
  }
  for (int k = 0; k < kPieceKinds; ++k) write_plane(board.pieces[k], out + k * kSquares);
}

}  // namespace orvex
