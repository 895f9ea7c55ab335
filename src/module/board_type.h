// The Python class Board.
#pragma once

#include "board/board.h"
#include "module/borrow.h"
#include "module/python.h"

namespace orvex::py {

struct BoardObject {
  PyObject_HEAD
  Board board;
  BorrowFlag borrow;
};

// Returns the Board type, creating it on first need; null with an error set
// if it cannot be created. The type lives as long as the process.
PyTypeObject* board_type();

// Returns whether object is a Board (the class cannot be subclassed).
bool is_board(PyObject* object);

}  // namespace orvex::py
