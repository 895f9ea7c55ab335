#include "board/bitboard_view.h"

namespace orvex {

BitboardView bitboard_view(const std::array<Bitboard, kPieceKinds>& pieces) {
  BitboardView view;
  for (int k = 0; k < kPieceKinds; ++k) {
    const Bitboard b = pieces[k];
    for (int s = 0; s < kSquares; ++s) view[k * kSquares + s] = static_cast<std::uint8_t>((b >> s) & 1);
  }
  return view;
}

}  // namespace orvex
