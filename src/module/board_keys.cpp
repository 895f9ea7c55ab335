// Board's position keys.
#include "board/zobrist.h"
#include "module/board_type.h"

namespace orvex::py {
namespace {

PyObject* board_zobrist(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) -> PyObject* {
    return PyLong_FromUnsignedLongLong(zobrist(board));
  });
}

const PyMethodDef kMethods[] = {
    {"zobrist", board_zobrist, METH_NOARGS, "zobrist($self)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> board_keys_methods() { return kMethods; }

}  // namespace orvex::py
