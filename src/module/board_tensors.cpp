// Board's arrays and policy indices for learning: piece planes, raw
// bitboards, and a move's index in a policy encoding and back.
#include <climits>
#include <cstring>
#include <string>

#include "encoding/planes.h"
#include "encoding/policy.h"
#include "module/array_result.h"
#include "module/board_type.h"
#include "module/encoding_argument.h"

namespace orvex::py {
namespace {

const Signature kPlanesSignature{"planes", {"mirror", "out"}, 0, 0};
const Signature kBitboardsSignature{"bitboards", {"out"}, 0, 0};
const Signature kMoveIndexSignature{"move_index", {"chess_move", "encoding"}, 2};
const Signature kIndexMoveSignature{"index_move", {"index", "encoding"}, 2};

constexpr Py_ssize_t kPlanesShape[] = {kPieceKinds, 8, 8};
constexpr Py_ssize_t kBitboardsShape[] = {kPieceKinds};

PyObject* board_planes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[2];
  bool mirror = false;
  if (!extract_fastcall(kPlanesSignature, args, nargs, kwnames, given) ||
      !read_bool(kPlanesSignature, "mirror", given[0], false, mirror)) {
    return nullptr;
  }
  ArrayResult array;
  if (!array.open(given[1], "planes", "out", {ItemType::kUint8, ItemType::kBool}, kPlanesShape)) return nullptr;
  return with_board(self, Access::kShared, [&](Board& board) {
    write_planes(board, mirror, static_cast<std::uint8_t*>(array.data()));
    return array.finish();
  });
}

PyObject* board_bitboards(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* out = nullptr;
  if (!extract_fastcall(kBitboardsSignature, args, nargs, kwnames, &out)) return nullptr;
  ArrayResult array;
  if (!array.open(out, "bitboards", "out", {ItemType::kUint64}, kBitboardsShape)) return nullptr;
  return with_board(self, Access::kShared, [&](Board& board) {
    std::memcpy(array.data(), board.pieces.data(), sizeof board.pieces);
    return array.finish();
  });
}

PyObject* board_move_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[2];
  Encoding encoding;
  if (!extract_fastcall(kMoveIndexSignature, args, nargs, kwnames, given) ||
      !require_str(kMoveIndexSignature, "chess_move", given[0]) ||
      !read_encoding(kMoveIndexSignature, "encoding", given[1], encoding)) {
    return nullptr;
  }
  std::string_view text;
  OwnedRef keep;
  if (!utf8_text(given[0], text, keep)) return nullptr;
  return with_board(self, Access::kShared, [&](Board& board) -> PyObject* {
    const Parsed<int> index = move_index(encoding, board, text);
    if (!index.ok()) {
      set_value_error("Invalid chess move: ", index.error());
      return nullptr;
    }
    return PyLong_FromLong(index.value());
  });
}

// Reads an integer index (anything with __index__, such as numpy's integers).
// One beyond the C int range sets ValueError.
bool read_index(PyObject* value, Encoding encoding, int& out) {
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "index_move() argument 'index' must be int, not %.200s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  OwnedRef number(PyNumber_Index(value));
  if (number.empty()) return false;
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow || n < INT_MIN || n > INT_MAX) {
    PyErr_Format(PyExc_ValueError, "Invalid index: %S is outside 0..%d of '%s'", number.get(),
                 encoding_size(encoding) - 1, std::string(encoding_name(encoding)).c_str());
    return false;
  }
  out = static_cast<int>(n);
  return true;
}

PyObject* board_index_move(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[2];
  Encoding encoding;
  int index = 0;
  if (!extract_fastcall(kIndexMoveSignature, args, nargs, kwnames, given) ||
      !read_encoding(kIndexMoveSignature, "encoding", given[1], encoding) ||
      !read_index(given[0], encoding, index)) {
    return nullptr;
  }
  return with_board(self, Access::kShared, [&](Board& board) -> PyObject* {
    const Parsed<ChessMove> move = orvex::index_move(encoding, board, index);
    if (!move.ok()) {
      set_value_error("Invalid index: ", move.error());
      return nullptr;
    }
    const std::string text = move.value().text();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

template <auto Function>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

const PyMethodDef kMethods[] = {
    {"planes", fastcall<board_planes>(), METH_FASTCALL | METH_KEYWORDS,
     "planes($self, *, mirror=False, out=None)\n--\n\n"
     "The placement as a (12, 8, 8) uint8 array: plane = piece kind, [rank][file], rank 1 first."},
    {"bitboards", fastcall<board_bitboards>(), METH_FASTCALL | METH_KEYWORDS,
     "bitboards($self, *, out=None)\n--\n\n"
     "The twelve bitboards as a (12,) uint64 array."},
    {"move_index", fastcall<board_move_index>(), METH_FASTCALL | METH_KEYWORDS,
     "move_index($self, chess_move, encoding)\n--\n\n"
     "The index of a move of the side to move in a policy encoding ('az' or 'lc0')."},
    {"index_move", fastcall<board_index_move>(), METH_FASTCALL | METH_KEYWORDS,
     "index_move($self, index, encoding)\n--\n\n"
     "The move that an index of a policy encoding ('az' or 'lc0') names for the side to move."},
};

}  // namespace

std::span<const PyMethodDef> board_tensor_methods() { return kMethods; }

}  // namespace orvex::py
