// Board's copy and pickle protocol: the whole record, history included.
#include <string>
#include <utility>

#include "board/board_bytes.h"
#include "module/board_type.h"

namespace orvex::py {
namespace {

// Returns a duplicate for copy.deepcopy; a board refers to no other object, so
// the memo is not needed.
PyObject* board_deepcopy(PyObject* self, PyObject*) { return board_copy_method(self, nullptr); }

// Returns (Board, (), state bytes): pickle builds a start position, then
// __setstate__ replaces the whole record, history included. Everything lives
// in the checked bytes, so damaged data is refused as one ValueError.
PyObject* board_reduce(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [&](Board& board) {
    const std::string bytes = board_to_bytes(board);
    return Py_BuildValue("O()y#", reinterpret_cast<PyObject*>(Py_TYPE(self)), bytes.data(),
                         static_cast<Py_ssize_t>(bytes.size()));
  });
}

// Replaces the whole record with one read from bytes made by __reduce__; on
// bytes it cannot read it raises ValueError and leaves the board unchanged.
PyObject* board_setstate(PyObject* self, PyObject* state) {
  if (!PyBytes_Check(state)) {
    PyErr_Format(PyExc_TypeError, "__setstate__() argument 'state' must be bytes, not %.200s",
                 Py_TYPE(state)->tp_name);
    return nullptr;
  }
  const std::string_view bytes(PyBytes_AS_STRING(state),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(state)));
  return with_board(self, Access::kExclusive, [&](Board& board) -> PyObject* {
    Parsed<Board> parsed = board_from_bytes(bytes);
    if (!parsed.ok()) {
      set_value_error("Invalid board state: ", parsed.error());
      return nullptr;
    }
    board = std::move(parsed.value());
    Py_RETURN_NONE;
  });
}

const PyMethodDef kMethods[] = {
    {"__copy__", board_copy_method, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", board_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {"__reduce__", board_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", board_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> board_pickle_methods() { return kMethods; }

}  // namespace orvex::py
