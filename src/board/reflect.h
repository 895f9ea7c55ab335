// The colour-reversed mirror image of a position.
#pragma once

#include "base/platform.h"
#include "board/board.h"

namespace orvex {

// Returns b with its eight bytes reversed: square s goes to s ^ 56.
constexpr Bitboard mirror(Bitboard b) { return byte_swap(b); }

// Flips the board top to bottom, swaps the colours, the castling rights, the
// en-passant fields and the side to move, and empties the history.
void reflect(Board& board);

}  // namespace orvex
