// The pawn geometry of one side, and shifting sets of squares.
#pragma once

#include "base/types.h"

namespace orvex {

inline constexpr Bitboard kFileA = 0x0101010101010101;
inline constexpr Bitboard kFileH = kFileA << 7;
constexpr Bitboard rank_bb(int r) { return Bitboard{0xFF} << (8 * r); }

// Shifts a set by a square offset (up the board when positive).
template <int D>
constexpr Bitboard shift(Bitboard b) {
  if constexpr (D > 0) {
    return b << D;
  } else {
    return b >> -D;
  }
}

// The pawn geometry of one side: the capture towards the a-file for white
// (towards the h-file for black) comes first.
template <Color Us>
struct PawnSide {
  static constexpr int kPush = Us == kWhite ? 8 : -8;
  static constexpr int kFirst = Us == kWhite ? 7 : -7;
  static constexpr int kSecond = Us == kWhite ? 9 : -9;
  // Pawns on these files have no first (second) capture.
  static constexpr Bitboard kFirstEdge = Us == kWhite ? kFileA : kFileH;
  static constexpr Bitboard kSecondEdge = Us == kWhite ? kFileH : kFileA;
  // Single pushes landing here may go on to a double push.
  static constexpr Bitboard kDoubleStep = rank_bb(Us == kWhite ? 2 : 5);
  static constexpr Bitboard kPrePromotion = rank_bb(Us == kWhite ? 6 : 1);
  // Pushes and captures landing here promote.
  static constexpr Bitboard kPromotion = rank_bb(Us == kWhite ? 7 : 0);
  static constexpr int kEnPassantTargetRank = Us == kWhite ? 5 : 2;
};

// Returns the squares the side's pawns attack.
template <Color Us>
constexpr Bitboard pawn_attacks(Bitboard pawns) {
  using S = PawnSide<Us>;
  return shift<S::kFirst>(pawns & ~S::kFirstEdge) | shift<S::kSecond>(pawns & ~S::kSecondEdge);
}

// Returns the en-passant targets the state word offers the side: empty squares
// of its target rank on the files it names.
template <Color Us>
constexpr Bitboard en_passant_targets(std::uint64_t state, Bitboard occupancy) {
  return ((state >> en_passant_base(Us)) & 0xFF) << (8 * PawnSide<Us>::kEnPassantTargetRank) &
         ~occupancy;
}

}  // namespace orvex
