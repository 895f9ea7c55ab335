// MoveGenerator's batch methods: the legal moves of many positions, and perft
// counted in C++, on worker threads with the interpreter lock released.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "board/fen.h"
#include "module/arguments.h"
#include "module/batch_runner.h"
#include "module/board_type.h"
#include "module/errors.h"
#include "module/move_generator_type.h"
#include "module/move_strings.h"
#include "module/owned_ref.h"
#include "move_generator/legal_moves.h"
#include "move_generator/parallel_perft.h"

namespace orvex::py {
namespace {

const Signature kManySignature{"MoveGenerator.many", {"positions", "threads"}, 1};
const Signature kPerftSignature{"MoveGenerator.perft", {"board", "depth", "threads"}, 2};

// No perft walk goes deeper than this (each ply holds a move list on the stack).
constexpr long long kDeepestPerft = 64;

// Extracts the arguments of a signature whose parameters after the first
// `positional` ones are keyword-only.
bool extract_keyword_only(const Signature& sig, Py_ssize_t positional, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given",
                 sig.function, positional, positional == 1 ? "" : "s", nargs);
    return false;
  }
  return extract_fastcall(sig, args, nargsf, kwnames, out);
}

// The exclusive borrows of the distinct boards of one call, given back
// together when it ends. A board that occurs more than once is borrowed once.
class BoardBorrows {
 public:
  BoardBorrows() = default;
  BoardBorrows(const BoardBorrows&) = delete;
  BoardBorrows& operator=(const BoardBorrows&) = delete;
  ~BoardBorrows() {
    for (BorrowFlag* flag : flags_) flag->release_exclusive();
  }

  // Borrows the board unless this call holds it already; returns the
  // conflict message, or null.
  const char* add(BoardObject* board) {
    BorrowFlag* flag = &board->borrow;
    if (flag->is_exclusive() && holds(flag)) return nullptr;
    if (const char* error = flag->exclude()) return error;
    flags_.push_back(flag);
    if (!held_.empty()) held_.insert(flag);
    return nullptr;
  }

 private:
  // The set is built at the first exclusive flag met, which is usually never.
  bool holds(BorrowFlag* flag) {
    if (held_.empty()) held_.insert(flags_.begin(), flags_.end());
    return held_.contains(flag);
  }

  std::vector<BorrowFlag*> flags_;
  std::unordered_set<BorrowFlag*> held_;
};

// One item of many(): the position of a Board, copied under the lock, or the
// text of a FEN str, read by the worker.
struct Position {
  std::string_view fen;  // points into a str (or bytes) that the call keeps
  std::array<Bitboard, kPieceKinds> pieces;
  std::uint64_t state;
  bool from_fen;
};

// The legal moves of one chunk's positions, one after another, or the first
// FEN of the chunk that could not be read.
struct ChunkMoves {
  std::vector<ChessMove> moves;
  std::vector<std::size_t> ends;  // ends[k]: where the moves of the k-th position end
  std::size_t error_index = 0;
  std::string error;  // empty: no error
};

// Positions per chunk: a few chunks per thread for balance, each big enough
// that its overhead does not show and small enough to hand results on early.
std::size_t chunk_size(std::size_t count, unsigned threads) {
  return std::clamp<std::size_t>(count / (std::size_t{threads} * 8), 128, 1024);
}

// Reads the items of positions into plain data, keeping references and
// borrows. Returns false with an error set.
bool read_positions(PyObject* positions, std::vector<OwnedRef>& items, BoardBorrows& borrows,
                    std::vector<Position>& out) {
  const bool text = PyUnicode_Check(positions) || PyBytes_Check(positions) ||
                    PyByteArray_Check(positions);
  if (text || (!Py_TYPE(positions)->tp_iter && !PySequence_Check(positions))) {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument 'positions' must be a sequence of Board objects or FEN strings, "
                 "not %.200s",
                 kManySignature.function, Py_TYPE(positions)->tp_name);
    return false;
  }
  // A list is read as it is now; the call keeps its own references, so that
  // the list may change while the workers run. An iterator's error passes on.
  OwnedRef fast(PySequence_Fast(positions, "argument 'positions' must be iterable"));
  if (fast.empty()) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** objects = PySequence_Fast_ITEMS(fast.get());
  items.reserve(static_cast<std::size_t>(count));  // no reallocation below
  for (Py_ssize_t i = 0; i < count; ++i) items.emplace_back(Py_NewRef(objects[i]));

  out.resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = items[i].get();
    Position& position = out[i];
    if (is_board(item)) {
      if (const char* error = borrows.add(as_board(item))) {
        borrow_error(error);
        return false;
      }
      position.pieces = as_board(item)->board.pieces;
      position.state = as_board(item)->board.state;
      position.from_fen = false;
    } else if (PyUnicode_Check(item)) {
      OwnedRef keep;
      if (!utf8_text(item, position.fen, keep)) return false;
      // The bytes replace the str in items: the text lives as long as the call.
      if (!keep.empty()) items[i] = std::move(keep);
      position.from_fen = true;
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument 'positions' must hold Board objects or FEN strings, but "
                   "positions[%zu] is %.200s",
                   kManySignature.function, i, Py_TYPE(item)->tp_name);
      return false;
    }
  }
  return true;
}

// Generates the moves of the positions [begin, end) into out, on board (the
// worker's own scratch board, whose position is replaced).
void generate_chunk(const AttackTables& tables, const std::vector<Position>& positions,
                    std::size_t begin, std::size_t end, Board& board, ChunkMoves& out) {
  out.ends.reserve(end - begin);
  out.moves.reserve((end - begin) * 40);
  for (std::size_t i = begin; i < end; ++i) {
    const Position& position = positions[i];
    if (position.from_fen) {
      // Read exactly as Board(fen) reads it; what Board(fen) raises as
      // PanicException (placement, missing field) is one more reason here.
      try {
        Parsed<Board> parsed = board_from_fen(position.fen);
        if (!parsed.ok()) {
          out.error_index = i;
          out.error = parsed.error();
          return;
        }
        board.pieces = parsed.value().pieces;
        board.state = parsed.value().state;
      } catch (const Panic& e) {
        out.error_index = i;
        out.error = e.what();
        return;
      }
    } else {
      board.pieces = position.pieces;
      board.state = position.state;
    }
    MoveList moves;
    legal_moves(tables, board, moves);
    out.moves.insert(out.moves.end(), moves.begin(), moves.end());
    out.ends.push_back(out.moves.size());
  }
}

// Sets result[begin + k] to the list of the k-th position's move texts.
bool deliver_chunk(const ChunkMoves& chunk, std::size_t begin, PyObject* result) {
  if (!chunk.error.empty()) {
    set_value_error("Invalid fen: ",
                    "positions[" + std::to_string(chunk.error_index) + "]: " + chunk.error);
    return false;
  }
  std::size_t start = 0;
  for (std::size_t k = 0; k < chunk.ends.size(); ++k) {
    const std::size_t end = chunk.ends[k];
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(end - start));
    if (!list) return false;
    PyList_SET_ITEM(result, static_cast<Py_ssize_t>(begin + k), list);
    for (std::size_t j = start; j < end; ++j) {
      PyObject* text = move_string(chunk.moves[j]);
      if (!text) return false;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j - start), text);
    }
    start = end;
  }
  return true;
}

PyObject* generator_many(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  PyObject* arguments[2] = {nullptr, nullptr};
  if (!extract_keyword_only(kManySignature, 1, args, nargsf, kwnames, arguments)) return nullptr;
  const unsigned threads = thread_count(kManySignature.function, arguments[1]);
  if (!threads) return nullptr;
  BorrowGuard generator_borrow;
  if (const char* error = generator_borrow.share(as_generator(self)->borrow)) {
    return borrow_error(error);
  }
  const AttackTables& tables = *as_generator(self)->tables;

  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    // Destroyed in reverse order: the borrows go back before the references.
    std::vector<OwnedRef> items;
    BoardBorrows borrows;
    std::vector<Position> positions;
    if (!read_positions(arguments[0], items, borrows, positions)) return nullptr;

    const std::size_t count = positions.size();
    const std::size_t size = chunk_size(count, threads);
    const std::size_t chunks = (count + size - 1) / size;
    OwnedRef result(PyList_New(static_cast<Py_ssize_t>(count)));
    if (result.empty()) return nullptr;
    std::vector<ChunkMoves> moves(chunks);
    PerWorker<Board> boards(threads);
    StopFlag stop;
    const bool ok = run_batch(
        chunks, {threads, true}, stop,
        [&](std::size_t chunk, unsigned worker) {
          // Built apart and moved in once: neighbouring chunks' records share
          // cache lines.
          ChunkMoves out;
          generate_chunk(tables, positions, chunk * size, std::min(count, (chunk + 1) * size),
                         boards[worker], out);
          moves[chunk] = std::move(out);
        },
        [&](std::size_t chunk) {
          const bool delivered = deliver_chunk(moves[chunk], chunk * size, result.get());
          moves[chunk] = ChunkMoves{};  // its strings are in the result now
          return delivered;
        });
    return ok ? result.release() : nullptr;
  });
}

// Reads the depth argument of perft: an int (not a bool) from 0 to
// kDeepestPerft. Returns -1 with TypeError or ValueError set.
int perft_depth(PyObject* depth) {
  if (PyBool_Check(depth) || !PyIndex_Check(depth)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'depth' must be int, not %.200s",
                 kPerftSignature.function, Py_TYPE(depth)->tp_name);
    return -1;
  }
  OwnedRef number(PyNumber_Index(depth));
  if (number.empty()) return -1;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (overflow || value < 0 || value > kDeepestPerft) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'depth' must be from 0 to %lld, not %S",
                 kPerftSignature.function, kDeepestPerft, depth);
    return -1;
  }
  return static_cast<int>(value);
}

PyObject* generator_perft(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  PyObject* arguments[3] = {nullptr, nullptr, nullptr};
  if (!extract_keyword_only(kPerftSignature, 2, args, nargsf, kwnames, arguments)) return nullptr;
  if (!is_board(arguments[0])) {
    PyErr_Format(PyExc_TypeError, "argument 'board': '%.200s' object cannot be converted to 'Board'",
                 Py_TYPE(arguments[0])->tp_name);
    return nullptr;
  }
  const int depth = perft_depth(arguments[1]);
  if (depth < 0) return nullptr;
  const unsigned threads = thread_count(kPerftSignature.function, arguments[2]);
  if (!threads) return nullptr;
  BorrowGuard generator_borrow;
  if (const char* error = generator_borrow.share(as_generator(self)->borrow)) {
    return borrow_error(error);
  }
  BoardObject* board = as_board(arguments[0]);
  BorrowGuard board_borrow;
  if (const char* error = board_borrow.exclude(board->borrow)) return borrow_error(error);
  const AttackTables& tables = *as_generator(self)->tables;

  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Board root = position_copy(board->board);
    PerftPieces pieces;
    {
      ReleasedLock unlocked;
      pieces = perft_pieces(tables, root, depth);
    }
    std::vector<std::uint64_t> counts(pieces.prefixes.size());
    PerWorker<Board> boards(threads, root);
    StopFlag stop;
    // Pieces of up to three plies take well under a millisecond each.
    const bool short_pieces = pieces.depth - pieces.plies <= 3;
    const bool ok = run_batch(
        counts.size(), {threads, short_pieces}, stop,
        [&](std::size_t piece, unsigned worker) {
          counts[piece] = count_piece(tables, boards[worker], pieces, piece, stop);
        },
        [](std::size_t) { return true; });
    if (!ok) return nullptr;
    std::uint64_t nodes = 0;
    for (std::uint64_t n : counts) nodes += n;
    return PyLong_FromUnsignedLongLong(nodes);
  });
}

const PyMethodDef kMethods[] = {
    {"many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_many)),
     METH_FASTCALL | METH_KEYWORDS, "many($self, positions, *, threads=None)\n--\n\n"},
    {"perft", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_perft)),
     METH_FASTCALL | METH_KEYWORDS, "perft($self, board, depth, *, threads=None)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> generator_batch_methods() { return kMethods; }

}  // namespace orvex::py
