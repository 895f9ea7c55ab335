// The 1858-move policy of lc0.
//
// Moves are seen from the side to move (see oriented()): first every
// queen-like and knight-like move of every from-square, then the promotions
// from the seventh rank to q, r and b. A knight promotion is the plain move
// (a7a8), and castling is the king's move onto its own rook's square (e1h1,
// e1a1). The list is src/encoding/lc0_policy_1858.txt, whose line n is move n.
#pragma once

#include <optional>

#include "chess_move/chess_move.h"

namespace orvex {

// Returns the index of a move seen from the side to move, or -1 if it has
// none. Code 3 marks castling (written as the king's two-square move), codes 4
// to 7 promotions; other codes are read as the plain move.
int lc0_index(ChessMove seen);

// Returns the move of that index as the list writes it (seen from the side to
// move; promotion codes 5 to 7 for b, r, q, otherwise 0), or nothing for an
// index outside 0..1857.
std::optional<ChessMove> lc0_move(int index);

}  // namespace orvex
