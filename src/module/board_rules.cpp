// Board's game rules: the move counters, checkmate and stalemate, draws by
// material, by the move-count rules and by repetition, and the outcome.
#include <climits>

#include "board/fen.h"
#include "module/arguments.h"
#include "module/board_type.h"
#include "move_generator/attack_tables.h"
#include "rules/outcome.h"
#include "rules/repetition.h"

namespace orvex::py {
namespace {

const Signature kIsRepetitionSignature{"is_repetition", {"count"}, 0};
const Signature kOutcomeSignature{"outcome", {"claim_draw"}, 0, 0};

// A rule of the board: a question answered by reading the board.
template <bool (*Rule)(const AttackTables&, const Board&)>
PyObject* board_rule(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) {
    return PyBool_FromLong(Rule(attack_tables(), board));
  });
}

bool insufficient_material(const AttackTables&, const Board& board) {
  return is_insufficient_material(board);
}

bool fivefold_repetition(const AttackTables& tables, const Board& board) {
  return is_repetition(tables, board, 5);
}

PyObject* board_halfmove_clock(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) {
    return PyLong_FromUnsignedLong(shown_counter(board.halfmove_clock));
  });
}

PyObject* board_fullmove_number(PyObject* self, PyObject*) {
  return with_board(self, Access::kShared, [](Board& board) {
    return PyLong_FromUnsignedLong(shown_counter(board.fullmove_number));
  });
}

// Reads count: an int from 1 up; a larger one than any history can hold is
// read as the largest.
bool read_count(PyObject* value, std::uint64_t& count) {
  if (!value) {
    count = 3;
    return true;
  }
  if (PyBool_Check(value) || !PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "is_repetition() argument 'count' must be int, not %.200s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (!overflow && n < 1)) {
    PyErr_Format(PyExc_ValueError, "is_repetition() argument 'count' must be at least 1, not %S",
                 value);
    return false;
  }
  count = overflow ? static_cast<std::uint64_t>(LLONG_MAX) : static_cast<std::uint64_t>(n);
  return true;
}

PyObject* board_is_repetition(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* given = nullptr;
  std::uint64_t count;
  if (!extract_fastcall(kIsRepetitionSignature, args, nargs, kwnames, &given) ||
      !read_count(given, count)) {
    return nullptr;
  }
  return with_board(self, Access::kShared, [&](Board& board) {
    return PyBool_FromLong(is_repetition(attack_tables(), board, count));
  });
}

const char* termination_name(Termination t) {
  switch (t) {
    case Termination::kCheckmate: return "checkmate";
    case Termination::kStalemate: return "stalemate";
    case Termination::kInsufficientMaterial: return "insufficient_material";
    case Termination::kSeventyfiveMoves: return "seventyfive_moves";
    case Termination::kFivefoldRepetition: return "fivefold_repetition";
    case Termination::kFiftyMoves: return "fifty_moves";
    case Termination::kThreefoldRepetition: return "threefold_repetition";
    case Termination::kNone: break;
  }
  return nullptr;
}

PyObject* board_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given = nullptr;
  bool claim_draw = false;
  if (nargs || kwnames) {
    if (!extract_fastcall(kOutcomeSignature, args, nargs, kwnames, &given) ||
        !read_bool(kOutcomeSignature, "claim_draw", given, false, claim_draw)) {
      return nullptr;
    }
  }
  return with_board(self, Access::kShared, [&](Board& board) -> PyObject* {
    const Outcome result = outcome(attack_tables(), board, claim_draw);
    if (result.termination == Termination::kNone) Py_RETURN_NONE;
    if (!result.has_winner) return Py_BuildValue("(sO)", termination_name(result.termination), Py_None);
    return Py_BuildValue("(ss)", termination_name(result.termination),
                         result.winner == kWhite ? "white" : "black");
  });
}

const PyMethodDef kMethods[] = {
    {"halfmove_clock", board_halfmove_clock, METH_NOARGS, "halfmove_clock($self)\n--\n\n"},
    {"fullmove_number", board_fullmove_number, METH_NOARGS, "fullmove_number($self)\n--\n\n"},
    {"is_checkmate", board_rule<is_checkmate>, METH_NOARGS, "is_checkmate($self)\n--\n\n"},
    {"is_stalemate", board_rule<is_stalemate>, METH_NOARGS, "is_stalemate($self)\n--\n\n"},
    {"is_insufficient_material", board_rule<insufficient_material>, METH_NOARGS,
     "is_insufficient_material($self)\n--\n\n"},
    {"is_fifty_moves", board_rule<is_fifty_moves>, METH_NOARGS, "is_fifty_moves($self)\n--\n\n"},
    {"is_seventyfive_moves", board_rule<is_seventyfive_moves>, METH_NOARGS,
     "is_seventyfive_moves($self)\n--\n\n"},
    {"is_repetition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_is_repetition)),
     METH_FASTCALL | METH_KEYWORDS, "is_repetition($self, count=3)\n--\n\n"},
    {"is_fivefold_repetition", board_rule<fivefold_repetition>, METH_NOARGS,
     "is_fivefold_repetition($self)\n--\n\n"},
    {"can_claim_threefold_repetition", board_rule<can_claim_threefold_repetition>, METH_NOARGS,
     "can_claim_threefold_repetition($self)\n--\n\n"},
    {"can_claim_fifty_moves", board_rule<can_claim_fifty_moves>, METH_NOARGS,
     "can_claim_fifty_moves($self)\n--\n\n"},
    {"outcome", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(board_outcome)),
     METH_FASTCALL | METH_KEYWORDS, "outcome($self, *, claim_draw=False)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> board_rules_methods() { return kMethods; }

}  // namespace orvex::py
