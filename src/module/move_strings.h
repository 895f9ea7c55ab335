// The Python text of each move, made once per process.
#pragma once

#include "chess_move/chess_move.h"
#include "module/python.h"

namespace orvex::py {

// Returns a new reference to the coordinate notation of move, or null with an
// error set. Throws Panic for special codes 8 to 15.
PyObject* move_string(ChessMove move);

}  // namespace orvex::py
