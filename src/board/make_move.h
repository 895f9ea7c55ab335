// Making and unmaking moves, with exact undo.
#pragma once

#include "board/board.h"
#include "chess_move/chess_move.h"

namespace orvex {

enum class PushOutcome {
  kMade,
  // A pawn reaching the first or last rank without a promotion code (4 to 7):
  // the move is refused and the board is left untouched.
  kNeedsPromotion,
};

// Makes the move without checking its legality, saving what pop_move needs.
// Throws Panic, before any change, when no piece stands on the from-square.
[[nodiscard]] PushOutcome push_move(Board& board, ChessMove move);

// Takes back the last move exactly. Throws Panic, before any change, when no
// move has been made.
void pop_move(Board& board);

}  // namespace orvex
