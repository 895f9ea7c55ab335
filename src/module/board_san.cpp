// Board's moves in standard algebraic notation (SAN), and the check question.
#include <string>

#include "board/make_move.h"
#include "module/arguments.h"
#include "module/board_type.h"
#include "module/move_strings.h"
#include "module/owned_ref.h"
#include "move_generator/attacks.h"
#include "notation/san.h"

namespace orvex::py {
namespace {

// The longest coordinate-notation move ("e7e8q").
constexpr Py_ssize_t kLongestMoveText = 5;

const Signature kSanSignature{"san", {"move"}, 1};
const Signature kParseSanSignature{"parse_san", {"san"}, 1};
const Signature kPushSanSignature{"push_san", {"san"}, 1};

// A board of this thread holding a copy of the position without its history,
// for the make and unmake of the legality test while the caller's board is
// only shared. Its stacks keep their room from one call to the next.
Board& scratch_copy(const Board& board) {
  thread_local Board scratch;
  for (auto& stack : scratch.piece_history) stack.clear();
  scratch.move_history.clear();
  set_position(scratch, board);
  return scratch;
}

PyObject* board_san(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TextArgument text;
  if (!extract_short_text(kSanSignature, args, nargs, kwnames, kLongestMoveText, text)) {
    return nullptr;
  }
  return with_board(self, Access::kShared, [&](Board& board) -> PyObject* {
    const AttackTables& tables = attack_tables();
    Board& scratch = scratch_copy(board);
    const Parsed<ChessMove> move = find_legal_move(tables, scratch, text.text);
    if (!move.ok()) {
      set_value_error("Invalid chess move: ", move.error());
      return nullptr;
    }
    std::string san;
    write_san(tables, scratch, move.value(), san);
    return PyUnicode_FromStringAndSize(san.data(), static_cast<Py_ssize_t>(san.size()));
  });
}

PyObject* board_parse_san(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  TextArgument text;
  if (!extract_short_text(kParseSanSignature, args, nargs, kwnames, kLongestSan, text)) {
    return nullptr;
  }
  return with_board(self, Access::kShared, [&](Board& board) -> PyObject* {
    const Parsed<ChessMove> move = parse_san(attack_tables(), scratch_copy(board), text.text);
    if (!move.ok()) {
      set_value_error("Invalid chess move: ", move.error());
      return nullptr;
    }
    return move_string(move.value());
  });
}

PyObject* board_push_san(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  TextArgument text;
  if (!extract_short_text(kPushSanSignature, args, nargs, kwnames, kLongestSan, text)) {
    return nullptr;
  }
  return with_board(self, Access::kExclusive, [&](Board& board) -> PyObject* {
    const Parsed<ChessMove> move = parse_san(attack_tables(), board, text.text);
    if (!move.ok()) {
      set_value_error("Invalid chess move: ", move.error());
      return nullptr;
    }
    // The result exists before the move is made, so that nothing can fail
    // after the board has changed.
    OwnedRef result(move_string(move.value()));
    if (result.empty()) return nullptr;
    (void)push_move(board, move.value());  // a legal move is always made
    return result.release();
  });
}

PyObject* board_is_check(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) -> PyObject* {
    return PyBool_FromLong(in_check(attack_tables(), board));
  });
}

const PyMethodDef kMethods[] = {
    {"san", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_san)),
     METH_FASTCALL | METH_KEYWORDS, "san($self, move)\n--\n\n"},
    {"parse_san", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_parse_san)),
     METH_FASTCALL | METH_KEYWORDS, "parse_san($self, san)\n--\n\n"},
    {"push_san", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_push_san)),
     METH_FASTCALL | METH_KEYWORDS, "push_san($self, san)\n--\n\n"},
    {"is_check", board_is_check, METH_NOARGS, "is_check($self)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> board_san_methods() { return kMethods; }

}  // namespace orvex::py
