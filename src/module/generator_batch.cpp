// MoveGenerator's batch methods: the legal moves of many positions, and perft
// counted in C++, on worker threads with the interpreter lock released.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "module/arguments.h"
#include "module/batch_runner.h"
#include "module/board_type.h"
#include "module/errors.h"
#include "module/move_generator_type.h"
#include "module/move_strings.h"
#include "module/owned_ref.h"
#include "module/positions_argument.h"
#include "move_generator/legal_moves.h"
#include "move_generator/parallel_perft.h"

namespace orvex::py {
namespace {

const Signature kManySignature{"MoveGenerator.many", {"positions", "threads"}, 1, 1};
const Signature kPerftSignature{"MoveGenerator.perft", {"board", "depth", "threads"}, 2, 2};

// No perft walk goes deeper than this (each ply holds a move list on the stack).
constexpr long long kDeepestPerft = 64;

// The legal moves of one chunk's positions, one after another, or the first
// FEN of the chunk that could not be read.
struct ChunkMoves {
  std::vector<ChessMove> moves;
  std::vector<std::size_t> ends;  // ends[k]: where the moves of the k-th position end
  std::size_t error_index = 0;
  std::string error;  // empty: no error
};

// Generates the moves of the positions [begin, end) into out, on board (the
// worker's own scratch board, whose position is replaced).
void generate_chunk(const AttackTables& tables, const std::vector<Position>& positions,
                    std::size_t begin, std::size_t end, Board& board, ChunkMoves& out) {
  out.ends.reserve(end - begin);
  out.moves.reserve((end - begin) * 40);
  for (std::size_t i = begin; i < end; ++i) {
    if (!load_position(positions[i], board, out.error)) {
      out.error_index = i;
      return;
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
    set_position_error(chunk.error_index, chunk.error);
    return false;
  }
  const std::span<const ChessMove> moves(chunk.moves);
  std::size_t start = 0;
  for (std::size_t k = 0; k < chunk.ends.size(); ++k) {
    const std::size_t end = chunk.ends[k];
    PyObject* list = move_texts(moves.subspan(start, end - start));
    if (!list) return false;
    PyList_SET_ITEM(result, static_cast<Py_ssize_t>(begin + k), list);
    start = end;
  }
  return true;
}

PyObject* generator_many(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  PyObject* arguments[2] = {nullptr, nullptr};
  if (!extract_fastcall(kManySignature, args, nargsf, kwnames, arguments)) return nullptr;
  const unsigned threads = thread_count(kManySignature.function, arguments[1]);
  if (!threads) return nullptr;
  BorrowGuard generator_borrow;
  if (const char* error = generator_borrow.share(as_generator(self)->borrow)) {
    return borrow_error(error);
  }
  const AttackTables& tables = *as_generator(self)->tables;

  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PositionsArgument argument;
    // On one thread, copying the boards first (a quick pass in memory order)
    // beats reading each from the heap while generating. With more, the
    // copy would be work the calling thread does alone with the lock held;
    // the workers read the boards in place instead, in parallel.
    if (!read_positions(kManySignature.function, arguments[0], argument, threads == 1)) {
      return nullptr;
    }
    const std::vector<Position>& positions = argument.positions;

    const std::size_t count = positions.size();
    const std::size_t size = chunk_size(count, threads);
    const std::size_t chunks = (count + size - 1) / size;
    OwnedRef result(PyList_New(static_cast<Py_ssize_t>(count)));
    if (result.empty()) return nullptr;
    std::vector<ChunkMoves> moves(chunks);
    PerWorker<Board> boards(threads);
    StopFlag stop;
    const bool ok = run_batch(
        chunks, {threads, true, {}}, stop,
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
  if (!extract_fastcall(kPerftSignature, args, nargsf, kwnames, arguments)) return nullptr;
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
        counts.size(), {threads, short_pieces, {}}, stop,
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
