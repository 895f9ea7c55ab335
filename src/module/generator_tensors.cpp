// MoveGenerator's policy arrays for learning: the legal moves of a board as
// indices of a policy encoding, in generation order, or as a mask.
#include "encoding/policy.h"
#include "module/array_result.h"
#include "module/board_type.h"
#include "module/encoding_argument.h"
#include "module/move_generator_type.h"
#include "move_generator/legal_moves.h"

namespace orvex::py {
namespace {

const Signature kLegalIndicesSignature{"legal_indices", {"board", "encoding"}, 2};
const Signature kLegalMaskSignature{"legal_mask", {"board", "encoding", "out"}, 2, 2};

bool require_board(const Signature& sig, PyObject* value) {
  if (is_board(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument 'board' must be Board, not %.200s", sig.function,
               Py_TYPE(value)->tp_name);
  return false;
}

// Runs body(tables, board) with the generator shared and the board held
// exclusively (the generator makes and unmakes moves on it).
template <class Body>
PyObject* with_generator_and_board(PyObject* self, PyObject* board_arg, Body&& body) {
  BorrowGuard generator_borrow;
  if (const char* error = generator_borrow.share(as_generator(self)->borrow)) return borrow_error(error);
  BorrowGuard board_borrow;
  if (const char* error = board_borrow.exclude(as_board(board_arg)->borrow)) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&] { return body(*as_generator(self)->tables, as_board(board_arg)->board); });
}

PyObject* generator_legal_indices(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* given[2];
  Encoding encoding;
  if (!extract_fastcall(kLegalIndicesSignature, args, nargs, kwnames, given) ||
      !require_board(kLegalIndicesSignature, given[0]) ||
      !read_encoding(kLegalIndicesSignature, "encoding", given[1], encoding)) {
    return nullptr;
  }
  return with_generator_and_board(self, given[0], [&](const AttackTables& tables, Board& board) -> PyObject* {
    MoveList moves;
    legal_moves(tables, board, moves);
    const Py_ssize_t shape[] = {static_cast<Py_ssize_t>(moves.size())};
    ArrayResult array;
    if (!array.create(ItemType::kInt16, shape)) return nullptr;
    policy_indices(encoding, side_to_move(board.state), std::span(moves.begin(), moves.end()),
                   static_cast<std::int16_t*>(array.data()), board.chess960);
    return array.finish();
  });
}

PyObject* generator_legal_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[3];
  Encoding encoding;
  if (!extract_fastcall(kLegalMaskSignature, args, nargs, kwnames, given) ||
      !require_board(kLegalMaskSignature, given[0]) ||
      !read_encoding(kLegalMaskSignature, "encoding", given[1], encoding)) {
    return nullptr;
  }
  const Py_ssize_t shape[] = {encoding_size(encoding)};
  ArrayResult array;
  if (!array.open(given[2], "legal_mask", "out", {ItemType::kBool, ItemType::kUint8}, shape)) return nullptr;
  return with_generator_and_board(self, given[0], [&](const AttackTables& tables, Board& board) {
    write_mask(tables, board, encoding, static_cast<std::uint8_t*>(array.data()));
    return array.finish();
  });
}

template <auto Function>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

const PyMethodDef kMethods[] = {
    {"legal_indices", fastcall<generator_legal_indices>(), METH_FASTCALL | METH_KEYWORDS,
     "legal_indices($self, board, encoding)\n--\n\n"
     "The legal moves' indices in a policy encoding ('az' or 'lc0'), as an int16 array in generation order."},
    {"legal_mask", fastcall<generator_legal_mask>(), METH_FASTCALL | METH_KEYWORDS,
     "legal_mask($self, board, encoding, *, out=None)\n--\n\n"
     "A bool array over a policy encoding's indices ('az' or 'lc0'), True at the legal moves."},
};

}  // namespace

std::span<const PyMethodDef> generator_tensor_methods() { return kMethods; }

}  // namespace orvex::py
