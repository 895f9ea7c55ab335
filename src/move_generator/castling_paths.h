// The squares a castling crosses and where its king and rook go.
#pragma once

#include <cstdint>

#include "base/types.h"

namespace orvex {

// A castling of one side: its right, the squares that must be empty and those
// no enemy piece may attack, and where the king and the rook go.
struct CastlingPath {
  std::uint64_t right;
  Bitboard must_be_empty;
  Bitboard must_be_safe;
  Square king_to;
  Square rook_from;
  Square rook_to;
};

// King side, then queen side, of black and of white.
inline constexpr CastlingPath kCastlingPaths[2][2] = {
    {{state_bits::kBlackKingSide, square_bb(kF8) | square_bb(kG8), square_bb(kF8) | square_bb(kG8), kG8, kH8,
      kF8},
     {state_bits::kBlackQueenSide, square_bb(kB8) | square_bb(kC8) | square_bb(kD8),
      square_bb(kC8) | square_bb(kD8), kC8, kA8, kD8}},
    {{state_bits::kWhiteKingSide, square_bb(kF1) | square_bb(kG1), square_bb(kF1) | square_bb(kG1), kG1, kH1,
      kF1},
     {state_bits::kWhiteQueenSide, square_bb(kB1) | square_bb(kC1) | square_bb(kD1),
      square_bb(kC1) | square_bb(kD1), kC1, kA1, kD1}},
};

// Standard chess's castlings, for the generator of moves from masks: the
// king from e1 (e8), the paths above. A Chess960 board's (Chess960Castlings)
// come from the board.
struct StandardCastlings {
  static constexpr bool kChess960 = false;
};

}  // namespace orvex
