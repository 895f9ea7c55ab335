#include "pgn_module/chunk_functions.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/encoding.h"
#include "module/arguments.h"
#include "module/array_result.h"
#include "module/batch_runner.h"
#include "module/errors.h"
#include "module/move_strings.h"
#include "module/owned_ref.h"
#include "pgn/game_batch.h"
#include "pgn/position_rows.h"
#include "pgn/reader.h"

namespace orvex::py {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A read-only view of a buffer argument, released on destruction.
class BufferArgument {
 public:
  BufferArgument() = default;
  BufferArgument(const BufferArgument&) = delete;
  BufferArgument& operator=(const BufferArgument&) = delete;
  ~BufferArgument() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with TypeError set when the object has no contiguous buffer.
  bool take(const char* function, PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s() argument 'text' must be a bytes-like object, not %.200s",
                   function, Py_TYPE(object)->tp_name);
      return false;
    }
    held_ = true;
    return true;
  }

  std::string_view text() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A size argument: a non-negative int, or None for no limit (when allowed).
bool read_size(const char* function, const char* parameter, PyObject* value, std::size_t& out) {
  if (value == nullptr || value == Py_None) {
    out = pgn::kNoLimit;
    return true;
  }
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int or None, not %.200s", function,
                 parameter, Py_TYPE(value)->tp_name);
    return false;
  }
  out = PyLong_AsSize_t(value);
  return !(out == static_cast<std::size_t>(-1) && PyErr_Occurred());
}

// Adds an array of the items to the dict under name, taking them without a
// copy (a copy into new memory cost as much as building them).
template <class T>
bool add_array(PyObject* dict, const char* name, ItemType type, std::vector<T>& items,
               Py_ssize_t width = 0) {
  ArrayResult array;
  const Py_ssize_t count = static_cast<Py_ssize_t>(items.size()) / (width ? width : 1);
  const Py_ssize_t shape2[] = {count, width};
  const std::span<const Py_ssize_t> shape(shape2, width ? 2 : 1);
  if (!array.create_from(type, shape, std::move(items))) return false;
  OwnedRef result(array.finish());
  return !result.empty() && PyDict_SetItemString(dict, name, result.get()) == 0;
}

bool add_object(PyObject* dict, const char* name, PyObject* value) {
  OwnedRef owned(value);
  return !owned.empty() && PyDict_SetItemString(dict, name, owned.get()) == 0;
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// What a read of a chunk found besides its rows.
struct ChunkRead {
  pgn::GameBatch batch;
  pgn::ReadOutcome outcome;
  pgn::PositionRows rows;
};

const Signature kRowsSignature{
    "position_rows", {"text", "encoding", "fen", "max_game_bytes", "max_errors"}, 5};

// position_rows(text, encoding, fen, max_game_bytes, max_errors) -> dict
PyObject* position_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[5] = {};
  if (!extract_fastcall(kRowsSignature, args, nargs, kwnames, given)) return nullptr;
  BufferArgument text;
  if (!text.take("position_rows", given[0])) return nullptr;
  if (!require_str(kRowsSignature, "encoding", given[1])) return nullptr;
  const char* name = PyUnicode_AsUTF8(given[1]);
  if (!name) return nullptr;
  const std::optional<Encoding> encoding = encoding_named(name);
  if (!encoding) {
    PyErr_Format(PyExc_ValueError, "position_rows() argument 'encoding' must be 'az' or 'lc0', not %R",
                 given[1]);
    return nullptr;
  }
  const int fen = PyObject_IsTrue(given[2]);
  std::size_t max_game_bytes = 0, max_errors = 0;
  if (fen < 0 || !read_size("position_rows", "max_game_bytes", given[3], max_game_bytes) ||
      !read_size("position_rows", "max_errors", given[4], max_errors)) {
    return nullptr;
  }

  auto read = guarded<std::unique_ptr<ChunkRead>>(nullptr, [] { return std::make_unique<ChunkRead>(); });
  if (!read) return nullptr;
  std::exception_ptr error;
  {
    ReleasedLock unlocked;
    try {
      std::string_view view = text.text();
      if (view.starts_with(kByteOrderMark)) view.remove_prefix(kByteOrderMark.size());
      read->outcome = pgn::read_games(view, true, 0, read->batch, nullptr, max_game_bytes);
      pgn::RowBuilder(pgn::RowOptions{*encoding, fen != 0}, read->rows).append(read->batch, 0);
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) return guarded<PyObject*>(nullptr, [&]() -> PyObject* { std::rethrow_exception(error); });

  const pgn::GameBatch& batch = read->batch;
  pgn::PositionRows& rows = read->rows;
  OwnedRef result(PyDict_New());
  if (result.empty()) return nullptr;
  PyObject* dict = result.get();
  std::size_t skipped = 0, chess960 = 0;
  OwnedRef errors(PyList_New(0));
  if (errors.empty()) return nullptr;
  for (std::size_t i = 0; i < batch.games.size(); ++i) {
    const pgn::GameRecord& g = batch.games[i];
    if (g.failure == pgn::kNone) {
      chess960 += g.start != pgn::kNone && batch.starts[g.start].chess960;
      continue;
    }
    ++skipped;
    if (static_cast<std::size_t>(PyList_GET_SIZE(errors.get())) >= max_errors) continue;
    const pgn::GameFailure& f = batch.failures[g.failure];
    OwnedRef record(Py_BuildValue("(KKKNN)", static_cast<unsigned long long>(i),
                                  static_cast<unsigned long long>(g.line + 1),
                                  static_cast<unsigned long long>(f.line + 1), text_object(f.text),
                                  text_object(f.reason)));
    if (record.empty() || PyList_Append(errors.get(), record.get()) < 0) return nullptr;
  }
  const pgn::ReadOutcome& outcome = read->outcome;
  PyObject* too_long = Py_None;
  OwnedRef too_long_record;
  if (outcome.stop == pgn::Stop::kGameTooLong || outcome.stop == pgn::Stop::kLineTooLong) {
    too_long_record.reset(Py_BuildValue("(OKK)", outcome.stop == pgn::Stop::kGameTooLong ? Py_True : Py_False,
                                        static_cast<unsigned long long>(batch.games.size()),
                                        static_cast<unsigned long long>(outcome.lines + 1)));
    if (too_long_record.empty()) return nullptr;
    too_long = too_long_record.get();
  }
  OwnedRef moves(PyList_New(static_cast<Py_ssize_t>(rows.moves_seen.size())));
  if (moves.empty()) return nullptr;
  for (std::size_t i = 0; i < rows.moves_seen.size(); ++i) {
    PyObject* move = move_string(rows.moves_seen[i]);
    if (!move) return nullptr;
    PyList_SET_ITEM(moves.get(), static_cast<Py_ssize_t>(i), move);
  }
  OwnedRef results(PyList_New(static_cast<Py_ssize_t>(rows.results_seen.size())));
  if (results.empty()) return nullptr;
  for (std::size_t i = 0; i < rows.results_seen.size(); ++i) {
    PyObject* value = text_object(rows.results_seen[i]);
    if (!value) return nullptr;
    PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), value);
  }
  const bool ok =
      add_object(dict, "games", PyLong_FromSize_t(batch.games.size())) &&
      add_object(dict, "lines", PyLong_FromUnsignedLongLong(outcome.lines)) &&
      add_object(dict, "skipped", PyLong_FromSize_t(skipped)) &&
      add_object(dict, "chess960", PyLong_FromSize_t(chess960)) &&
      PyDict_SetItemString(dict, "errors", errors.get()) == 0 &&
      PyDict_SetItemString(dict, "too_long", too_long) == 0 &&
      PyDict_SetItemString(dict, "moves", moves.get()) == 0 &&
      PyDict_SetItemString(dict, "results", results.get()) == 0 &&
      add_array(dict, "game", ItemType::kUint64, rows.game) &&
      add_array(dict, "ply", ItemType::kInt32, rows.ply) &&
      (fen ? add_array(dict, "fen_offsets", ItemType::kInt64, rows.fen_offsets) &&
                 add_object(dict, "fen_text", PyBytes_FromStringAndSize(
                                                   rows.fen_text.data(),
                                                   static_cast<Py_ssize_t>(rows.fen_text.size())))
           : add_array(dict, "bitboards", ItemType::kUint64, rows.bitboards, kPieceKinds)) &&
      add_array(dict, "state", ItemType::kUint64, rows.states) &&
      add_array(dict, "move", ItemType::kInt32, rows.move) &&
      add_array(dict, "move_id", ItemType::kInt16, rows.move_id) &&
      add_array(dict, "legal_ids", ItemType::kInt16, rows.legal_ids) &&
      add_array(dict, "legal_offsets", ItemType::kInt64, rows.legal_offsets) &&
      add_array(dict, "zobrist", ItemType::kUint64, rows.zobrist) &&
      add_array(dict, "result", ItemType::kInt32, rows.result);
  return ok ? result.release() : nullptr;
}

const Signature kBoundarySignature{"find_game_boundary", {"text", "start"}, 2};

// find_game_boundary(text, start) -> int | None
PyObject* find_game_boundary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[2] = {};
  if (!extract_fastcall(kBoundarySignature, args, nargs, kwnames, given)) return nullptr;
  BufferArgument text;
  if (!text.take("find_game_boundary", given[0])) return nullptr;
  const Py_ssize_t start = PyLong_AsSsize_t(given[1]);
  if (start == -1 && PyErr_Occurred()) return nullptr;
  std::size_t found;
  {
    // The text may be a file mapped into memory, whose pages are read now.
    ReleasedLock unlocked;
    found = pgn::find_game_boundary(text.text(), static_cast<std::size_t>(std::max<Py_ssize_t>(start, 0)));
  }
  if (found == std::string_view::npos) Py_RETURN_NONE;
  return PyLong_FromSize_t(found);
}

const Signature kFailureSignature{"failure_message", {"index", "game_line", "line", "text", "reason"}, 5};

// failure_message(index, game_line, line, text, reason) -> str, lines counted from 1
PyObject* failure_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[5] = {};
  if (!extract_fastcall(kFailureSignature, args, nargs, kwnames, given)) return nullptr;
  unsigned long long numbers[3];
  for (int i = 0; i < 3; ++i) {
    numbers[i] = PyLong_AsUnsignedLongLong(given[i]);
    if (numbers[i] == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  }
  std::string_view parts[2];
  OwnedRef keep[2];
  for (int i = 0; i < 2; ++i) {
    if (!require_str(kFailureSignature, i ? "reason" : "text", given[3 + i]) ||
        !utf8_text(given[3 + i], parts[i], keep[i])) {
      return nullptr;
    }
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    pgn::GameRecord game;
    game.line = numbers[1] - 1;
    const pgn::GameFailure failure{numbers[2] - 1, std::string(parts[0]), std::string(parts[1])};
    const std::string message = pgn::failure_message(numbers[0], game, failure);
    return text_object(message);
  });
}

const Signature kTooLongSignature{"too_long_message", {"game", "index", "line", "limit"}, 4};

// too_long_message(game, index, line, limit) -> str
PyObject* too_long_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[4] = {};
  if (!extract_fastcall(kTooLongSignature, args, nargs, kwnames, given)) return nullptr;
  const int game = PyObject_IsTrue(given[0]);
  if (game < 0) return nullptr;
  unsigned long long numbers[3];
  for (int i = 0; i < 3; ++i) {
    numbers[i] = PyLong_AsUnsignedLongLong(given[1 + i]);
    if (numbers[i] == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::string message = pgn::too_long_message(game != 0, numbers[0], numbers[1], numbers[2]);
    return text_object(message);
  });
}

PyMethodDef kFunctions[] = {
    {"position_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(position_rows)),
     METH_FASTCALL | METH_KEYWORDS,
     "position_rows(text, encoding, fen, max_game_bytes, max_errors) -> dict\n--\n\n"
     "Reads the games of a chunk of PGN text (final: it ends where the chunk does) and returns "
     "the rows of the positions before each main-line move of the games that replay, as arrays, "
     "with the chunk's game and line counts and the first max_errors failures as (index, "
     "game_line, line, text, reason), lines counted from 1 in the chunk."},
    {"find_game_boundary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_game_boundary)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_game_boundary(text, start) -> int | None\n--\n\n"
     "The first game boundary at or after start: the offset of a '[' that begins a line after one "
     "or more blank lines that follow a line ending in a result; None if there is none."},
    {"failure_message", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(failure_message)),
     METH_FASTCALL | METH_KEYWORDS,
     "failure_message(index, game_line, line, text, reason) -> str\n--\n\n"
     "The message of a game that cannot be replayed, as read_games reports it."},
    {"too_long_message", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(too_long_message)),
     METH_FASTCALL | METH_KEYWORDS,
     "too_long_message(game, index, line, limit) -> str\n--\n\n"
     "The message of a game (or, game false, a line between games) longer than limit bytes, as "
     "read_games reports it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> chunk_functions() { return kFunctions; }

}  // namespace orvex::py
