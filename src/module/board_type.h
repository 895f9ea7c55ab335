// The Python class Board: its object layout and the helpers its methods share.
#pragma once

#include <span>

#include "board/board.h"
#include "module/borrow.h"
#include "module/errors.h"
#include "module/python.h"

namespace orvex::py {

struct BoardObject {
  PyObject_HEAD
  Board board;
  BorrowFlag borrow;
};

inline BoardObject* as_board(PyObject* self) { return reinterpret_cast<BoardObject*>(self); }

// Returns the Board type, creating it on first need; null with an error set
// if it cannot be created. The type lives as long as the process.
PyTypeObject* board_type();

// Returns whether object is a Board (the class cannot be subclassed).
bool is_board(PyObject* object);

// Returns a new Board object of the given type that owns record, or null with
// an error set.
PyObject* wrap_board(PyTypeObject* type, Board&& record);

// Returns a new Board object that owns record, or null with an error set
// (a PanicException if the type cannot be created).
PyObject* new_board(Board&& record);

enum class Access { kShared, kExclusive };

// Runs body on the board while it is borrowed; a borrow conflict raises
// RuntimeError and a C++ exception the matching Python error.
template <class Body>
PyObject* with_board(PyObject* self, Access access, Body&& body) {
  BoardObject* object = as_board(self);
  BorrowGuard borrow;
  const char* error = access == Access::kExclusive ? borrow.exclude(object->borrow)
                                                   : borrow.share(object->borrow);
  if (error) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return body(object->board); });
}

// Board.copy(): an independent duplicate, history included.
PyObject* board_copy_method(PyObject* self, PyObject*);

// The method tables of Board's concepts, gathered by the type in this order.
std::span<const PyMethodDef> board_position_methods();
std::span<const PyMethodDef> board_pickle_methods();
std::span<const PyMethodDef> board_san_methods();
std::span<const PyMethodDef> board_keys_methods();
std::span<const PyMethodDef> board_tensor_methods();
std::span<const PyMethodDef> board_rules_methods();

}  // namespace orvex::py
