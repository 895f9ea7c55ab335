// Whether the side to move has a legal move, found without listing them.
#pragma once

#include "board/board.h"
#include "move_generator/attack_tables.h"

namespace orvex {

// Whether the side to move has a legal move (one that legal_moves would
// write). When the board is not a Chess960 one, the side to move has one king
// and no square holds two pieces,
// the walk over the move sets stops at the first move it meets: the king's
// steps first, then castling and the other pieces one by one. Other boards
// have their move list written. Only reads the board.
bool has_legal_move(const AttackTables& tables, const Board& board);

}  // namespace orvex
