// The Python text of each move, made once per process, and lists of them.
#pragma once

#include <span>

#include "chess_move/chess_move.h"
#include "module/python.h"
#include "move_generator/move_list.h"

namespace orvex::py {

// Returns a new reference to the coordinate notation of move, or null with an
// error set. Throws Panic for special codes 8 to 15.
PyObject* move_string(ChessMove move);

// Returns a new list of the moves' texts in order, or null with an error set.
// Throws Panic for special codes 8 to 15 (the list is released then).
PyObject* move_texts(std::span<const ChessMove> moves);
inline PyObject* move_texts(const MoveList& moves) { return move_texts({moves.begin(), moves.size()}); }

}  // namespace orvex::py
