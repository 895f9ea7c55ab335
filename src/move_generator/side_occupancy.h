// Each side's squares, and whether a square holds two pieces: what every
// mask-based walk (the move list, the move count, perft) looks at before it
// reasons from masks, which it may do only when no square is shared and the
// side to move has exactly one king.
#pragma once

#include <array>

#include "base/types.h"

namespace orvex {

struct Sides {
  Bitboard white = 0, black = 0, shared = 0;

  explicit Sides(const std::array<Bitboard, kPieceKinds>& p) {
    for (int t = 0; t < kPieceTypes; ++t) {
      shared |= (white & p[kWhitePawn + t]) | (black & p[kBlackPawn + t]);
      white |= p[kWhitePawn + t];
      black |= p[kBlackPawn + t];
    }
    shared |= white & black;
  }
};

}  // namespace orvex
