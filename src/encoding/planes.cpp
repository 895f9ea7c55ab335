#include "encoding/planes.h"

#include <array>
#include <cstring>

#include "board/reflect.h"

namespace orvex {
namespace {

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
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    std::memcpy(out + 8 * rank, &bytes, 8);
  }
}

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
