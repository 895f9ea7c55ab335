// Board's position methods: FEN, moves pushed and popped, side to move,
// reflection, copies and bitboard views.
#include <string>

#include "board/bitboard_view.h"
#include "board/fen.h"
#include "board/make_move.h"
#include "board/reflect.h"
#include "chess_move/chess_move.h"
#include "module/arguments.h"
#include "module/board_type.h"
#include "module/owned_ref.h"
#include "base/excerpt.h"

namespace orvex::py {
namespace {

// No move text in coordinate notation has more characters than this.
constexpr Py_ssize_t kLongestMoveText = 5;

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

const Signature kBitboardFromFenSignature{"bitboard_from_fen", {"fen"}, 1};
const Signature kPushSignature{"push", {"chess_move"}, 1};

PyObject* board_bitboard_from_fen(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  TextArgument fen;
  if (!extract_text(kBitboardFromFenSignature, args, nargs, kwnames, fen)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return view_to_lists(pieces_from_fen(fen.text)); });
}

PyObject* new_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

const Signature kFenSignature{"fen", {"counters", "shredder"}, 0, 0};

PyObject* board_fen_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  bool counters = false;
  bool shredder = false;
  if (nargs || kwnames) {
    PyObject* given[2] = {nullptr, nullptr};
    if (!extract_fastcall(kFenSignature, args, nargs, kwnames, given) ||
        !read_bool(kFenSignature, "counters", given[0], false, counters) ||
        !read_bool(kFenSignature, "shredder", given[1], false, shredder)) {
      return nullptr;
    }
  }
  return with_board(self, Access::kShared,
                    [&](Board& board) { return new_str(board_fen(board, counters, shredder)); });
}

PyObject* board_chess960(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) { return PyBool_FromLong(board.chess960); });
}

// Reads the move text of push. A text longer than any move is cut to the part
// an error message shows before it is decoded, so that a huge argument costs
// no more than a short one; it is refused for its length all the same.
bool move_text(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, TextArgument& out) {
  if (!extract_fastcall(kPushSignature, args, nargs, kwnames, &out.object) ||
      !require_str(kPushSignature, "chess_move", out.object)) {
    return false;
  }
  if (PyUnicode_GET_LENGTH(out.object) <= kLongestMoveText) {
    return utf8_text(out.object, out.text, out.keep);
  }
  OwnedRef head(PyUnicode_Substring(out.object, 0, static_cast<Py_ssize_t>(kExcerptCharacters) + 1));
  if (head.empty()) return false;
  if (!utf8_text(head.get(), out.text, out.keep)) return false;
  out.keep_head = std::move(head);
  return true;
}

PyObject* board_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TextArgument text;
  if (!move_text(args, nargs, kwnames, text)) return nullptr;
  return with_board(self, Access::kExclusive, [&](Board& board) -> PyObject* {
    const Parsed<ChessMove> move = ChessMove::from_str(text.text);
    if (!move.ok()) {
      set_value_error("Invalid chess move: ", move.error());
      return nullptr;
    }
    if (push_move(board, move.value()) == PushOutcome::kNeedsPromotion) {
      set_value_error("Invalid chess move: ",
                      std::string(text.text) +
                          " moves a pawn to the last rank and needs a promotion piece (n, b, r or q)");
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

const Signature kCopySignature{"copy", {"history"}, 0, 0};

// copy(*, history=True): with history=False, the position alone (its
// counters too) with empty stacks, as python-chess's copy(stack=False).
PyObject* board_copy_with_options(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  bool history = true;
  if (nargs || kwnames) {
    PyObject* given = nullptr;
    if (!extract_fastcall(kCopySignature, args, nargs, kwnames, &given) ||
        !read_bool(kCopySignature, "history", given, true, history)) {
      return nullptr;
    }
  }
  if (history) return board_copy_method(self, nullptr);
  return with_board(self, Access::kShared, [](Board& board) {
    Board position;
    position.pieces = board.pieces;
    position.state = board.state;
    position.key = board.key;
    position.key_stale = board.key_stale;
    position.halfmove_clock = board.halfmove_clock;
    position.fullmove_number = board.fullmove_number;
    position.chess960 = board.chess960;
    position.castling_rooks = board.castling_rooks;
    return new_board(std::move(position));
  });
}

const PyMethodDef kMethods[] = {
    {"bitboard_from_fen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_bitboard_from_fen)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "bitboard_from_fen(fen)\n--\n\n"},
    {"fen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_fen_method)),
     METH_FASTCALL | METH_KEYWORDS, "fen($self, *, counters=False, shredder=False)\n--\n\n"},
    {"chess960", board_chess960, METH_NOARGS, "chess960($self)\n--\n\n"},
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_push)),
     METH_FASTCALL | METH_KEYWORDS, "push($self, chess_move)\n--\n\n"},
    {"pop", board_pop, METH_NOARGS, "pop($self)\n--\n\n"},
    {"bitboard", board_bitboard, METH_NOARGS, "bitboard($self)\n--\n\n"},
    {"turn", board_turn, METH_NOARGS, "turn($self)\n--\n\n"},
    {"reflect", board_reflect, METH_NOARGS, "reflect($self)\n--\n\n"},
    {"copy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_copy_with_options)),
     METH_FASTCALL | METH_KEYWORDS, "copy($self, *, history=True)\n--\n\n"},
};

}  // namespace

PyObject* board_copy_method(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) { return new_board(Board(board)); });
}

std::span<const PyMethodDef> board_position_methods() { return kMethods; }

}  // namespace orvex::py
