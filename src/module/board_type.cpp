// Board: a position built from FEN text, with moves pushed and popped.
#include "module/board_type.h"

#include <new>
#include <string>
#include <utility>

#include "board/bitboard_view.h"
#include "board/board_bytes.h"
#include "board/fen.h"
#include "board/make_move.h"
#include "board/reflect.h"
#include "chess_move/chess_move.h"
#include "module/arguments.h"
#include "module/errors.h"
#include "module/owned_ref.h"

namespace orvex::py {
namespace {

PyTypeObject* type_object = nullptr;

BoardObject* as_board(PyObject* self) { return reinterpret_cast<BoardObject*>(self); }

// Returns a new Board object that owns record, or null with an error set.
PyObject* wrap_board(PyTypeObject* type, Board&& record) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  BoardObject* object = as_board(self);
  new (&object->board) Board(std::move(record));
  new (&object->borrow) BorrowFlag();
  return self;
}

// Returns the twelve lists of 64 booleans, or null with an error set.
PyObject* view_to_lists(const std::array<Bitboard, kPieceKinds>& pieces) {
  const BitboardView view = bitboard_view(pieces);
  OwnedRef result(PyList_New(kPieceKinds));
  if (result.empty()) return nullptr;
  for (int k = 0; k < kPieceKinds; ++k) {
    PyObject* squares = PyList_New(kSquares);
    if (!squares) return nullptr;
    for (int s = 0; s < kSquares; ++s) {
      PyList_SET_ITEM(squares, s, Py_NewRef(view[k * kSquares + s] ? Py_True : Py_False));
    }
    PyList_SET_ITEM(result.get(), k, squares);
  }
  return result.release();
}

const Signature kNewSignature{"Board", {"fen"}, 0};
const Signature kBitboardFromFenSignature{"bitboard_from_fen", {"fen"}, 1};
const Signature kPushSignature{"push", {"chess_move"}, 1};

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* fen_arg = nullptr;
  if (!extract_tuple(kNewSignature, args, kwargs, &fen_arg)) return nullptr;
  std::string_view fen = kDefaultFen;
  OwnedRef keep;
  if (fen_arg && (!require_str(kNewSignature, "fen", fen_arg) || !utf8_text(fen_arg, fen, keep))) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Parsed<Board> parsed = board_from_fen(fen);
    if (!parsed.ok()) {
      set_value_error("Invalid fen: ", parsed.error());
      return nullptr;
    }
    return wrap_board(type, std::move(parsed.value()));
  });
}

void board_dealloc(PyObject* self) {
  as_board(self)->board.~Board();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* board_bitboard_from_fen(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  TextArgument fen;
  if (!extract_text(kBitboardFromFenSignature, args, nargs, kwnames, fen)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return view_to_lists(pieces_from_fen(fen.text)); });
}

PyObject* new_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

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

PyObject* board_fen_method(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) { return new_str(board_fen(board)); });
}

PyObject* board_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TextArgument move_text;
  if (!extract_text(kPushSignature, args, nargs, kwnames, move_text)) return nullptr;
  return with_board(self, Access::kExclusive, [&](Board& board) -> PyObject* {
    const Parsed<ChessMove> move = ChessMove::from_str(move_text.text);
    if (!move.ok()) {
      set_value_error("Invalid chess move: ", move.error());
      return nullptr;
    }
    if (push_move(board, move.value()) == PushOutcome::kNeedsPromotion) {
      PyErr_Format(PyExc_ValueError,
                   "Invalid chess move: %U moves a pawn to the last rank and needs a promotion "
                   "piece (n, b, r or q)",
                   move_text.object);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* board_pop(PyObject* self, PyObject*) {
  return with_board(self, Access::kExclusive, [](Board& board) {
    pop_move(board);
    Py_RETURN_NONE;
  });
}

PyObject* board_bitboard(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) { return view_to_lists(board.pieces); });
}

PyObject* board_turn(PyObject* self, PyObject*) {
  static PyObject* white = PyUnicode_InternFromString("white");
  static PyObject* black = PyUnicode_InternFromString("black");
  return with_board(self, Access::kShared, [](Board& board) -> PyObject* {
    PyObject* name = white_to_move(board.state) ? white : black;
    return name ? Py_NewRef(name) : nullptr;
  });
}

PyObject* board_reflect(PyObject* self, PyObject*) {
  return with_board(self, Access::kExclusive, [](Board& board) {
    reflect(board);
    Py_RETURN_NONE;
  });
}

PyObject* board_copy(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) -> PyObject* {
    PyTypeObject* type = board_type();
    if (!type) {
      PyErr_Print();
      set_panic("failed to create type object for Board");
      return nullptr;
    }
    return wrap_board(type, Board(board));
  });
}

// Returns a duplicate for copy.deepcopy; a board refers to no other object, so
// the memo is not needed.
PyObject* board_deepcopy(PyObject* self, PyObject*) { return board_copy(self, nullptr); }

// Returns (Board, (fen,), state bytes): pickle rebuilds the position from the
// FEN text, then __setstate__ restores the whole record, history included.
PyObject* board_reduce(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [&](Board& board) {
    const std::string fen = board_fen(board);
    const std::string bytes = board_to_bytes(board);
    return Py_BuildValue("O(s#)y#", reinterpret_cast<PyObject*>(Py_TYPE(self)), fen.data(),
                         static_cast<Py_ssize_t>(fen.size()), bytes.data(),
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

// Returns "Board('<fen>')", which rebuilds the position (the history aside).
PyObject* board_repr(PyObject* self) {
  return with_board(self, Access::kShared, [](Board& board) -> PyObject* {
    OwnedRef text(new_str(board_fen(board)));
    if (text.empty()) return nullptr;
    return PyUnicode_FromFormat("Board(%R)", text.get());
  });
}

PyMethodDef board_methods[] = {
    {"bitboard_from_fen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_bitboard_from_fen)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "bitboard_from_fen(fen)\n--\n\n"},
    {"fen", board_fen_method, METH_NOARGS, "fen($self)\n--\n\n"},
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_push)),
     METH_FASTCALL | METH_KEYWORDS, "push($self, chess_move)\n--\n\n"},
    {"pop", board_pop, METH_NOARGS, "pop($self)\n--\n\n"},
    {"bitboard", board_bitboard, METH_NOARGS, "bitboard($self)\n--\n\n"},
    {"turn", board_turn, METH_NOARGS, "turn($self)\n--\n\n"},
    {"reflect", board_reflect, METH_NOARGS, "reflect($self)\n--\n\n"},
    {"copy", board_copy, METH_NOARGS, "copy($self)\n--\n\n"},
    {"__copy__", board_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", board_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {"__reduce__", board_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", board_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot board_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Board(fen=\"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(board_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(board_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(board_repr)},
    {Py_tp_methods, board_methods},
    {0, nullptr},
};

PyType_Spec board_spec = {
    "orvex_chess.Board",
    sizeof(BoardObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    board_slots,
};

}  // namespace

PyTypeObject* board_type() {
  if (!type_object) type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&board_spec));
  return type_object;
}

bool is_board(PyObject* object) { return type_object && Py_IS_TYPE(object, type_object); }

}  // namespace orvex::py
