// MoveGenerator's arrays of many positions: planes, bitboards, state words,
// Polyglot keys, legal-move masks and indices, one row per position, worked
// out on worker threads with the interpreter lock released.
//
// Rows are written straight into the array (a new one, or the caller's out=)
// by the workers. A new array is filled while the calling thread is still
// reading the items; with out= given, the items and then the FEN strings are
// read in passes of their own first, so that bad input leaves out as it was.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "board/zobrist.h"
#include "encoding/planes.h"
#include "encoding/policy.h"
#include "module/array_result.h"
#include "module/batch_runner.h"
#include "module/encoding_argument.h"
#include "module/errors.h"
#include "module/move_generator_type.h"
#include "module/owned_ref.h"
#include "module/positions_argument.h"
#include "rules/outcome.h"

namespace orvex::py {
namespace {

const Signature kPlanesManySignature{"planes_many", {"positions", "mirror", "out", "threads"}, 1, 1};
const Signature kBitboardsManySignature{"bitboards_many", {"positions", "out", "threads"}, 1, 1};
const Signature kStatesManySignature{"states_many", {"positions", "out", "threads"}, 1, 1};
const Signature kZobristManySignature{"zobrist_many", {"positions", "out", "threads"}, 1, 1};
const Signature kMaskManySignature{"mask_many", {"positions", "encoding", "out", "threads"}, 2, 2};
const Signature kIndicesManySignature{"indices_many", {"positions", "encoding", "threads"}, 2, 2};
const Signature kOutcomesManySignature{"outcomes_many", {"positions", "claim_draw", "threads"}, 1, 1};

// The first FEN of a chunk that could not be read.
struct ChunkError {
  std::size_t index = 0;
  std::string reason;  // empty: none
};

// Runs row(i, board, worker) for every position i, with board holding it (the
// worker's own scratch board), and chunk_end(chunk, worker) after each chunk,
// also one that stopped at a bad FEN: on threads, with the lock released.
// Items not read yet are read by the calling thread, with the lock held,
// while the workers start on the chunks read before. Returns false with an
// error set: that of reading an item (see read_positions_until), ValueError
// naming the first FEN that could not be read (no row of a later position in
// its chunk is run, rows of other chunks may be), or KeyboardInterrupt.
template <class Row, class ChunkEnd>
bool for_each_position(PositionsArgument& argument, unsigned threads, Row&& row, ChunkEnd&& chunk_end) {
  const Position* const positions = argument.positions.data();
  const std::size_t count = argument.count;
  const std::size_t size = chunk_size(count, threads);
  const std::size_t chunks = (count + size - 1) / size;
  std::vector<ChunkError> errors(chunks);
  PerWorker<Board> boards(threads);
  StopFlag stop;
  BatchOptions options{threads, true, {}};
  if (!argument.all_read()) {
    options.prepare = [&] {
      // Published a chunk at a time, as the workers take them.
      bool ok = true;
      try {
        for (std::size_t end = argument.read + size; ok && !argument.all_read(); end += size) {
          ok = read_positions_until(argument, end);
        }
      } catch (...) {
        argument.fail();
        throw;
      }
      return ok;
    };
  }
  return run_batch(
      chunks, options, stop,
      [&](std::size_t chunk, unsigned worker) {
        Board& board = boards[worker];
        const std::size_t end = std::min(count, (chunk + 1) * size);
        if (!argument.wait_read(end)) return;  // the call is failing
        for (std::size_t i = chunk * size; i < end; ++i) {
          if (!load_position(positions[i], board, errors[chunk].reason)) {
            errors[chunk].index = i;
            break;
          }
          row(i, board, worker);
        }
        chunk_end(chunk, worker);
      },
      [&](std::size_t chunk) {
        if (errors[chunk].reason.empty()) return true;
        set_position_error(errors[chunk].index, errors[chunk].reason);
        return false;
      });
}

template <class Row>
bool for_each_position(PositionsArgument& argument, unsigned threads, Row&& row) {
  return for_each_position(argument, threads, row, [](std::size_t, unsigned) {});
}

// Whether some item is (or, while the items are being read, looks to be) a
// FEN string, whose reading costs far more than a cheap row: the items read
// so far, else a few items spread over the list.
bool has_fen_texts(const PositionsArgument& argument) {
  if (argument.fen_texts) return true;
  if (argument.all_read()) return false;
  const std::size_t count = argument.count;
  for (std::size_t k = 0; k < 5; ++k) {
    const auto i = static_cast<Py_ssize_t>(argument.read + (count - argument.read - 1) * k / 4);
    if (PyUnicode_Check(PyTuple_GET_ITEM(argument.items.get(), i))) return true;
  }
  return false;
}

// Rows that cost a few nanoseconds once the position is read (a copy of its
// bitboards or state word, its key) pay for a thread of their own only from
// about this many positions on; fewer are worked with fewer threads. Reading
// a board item (its reference, its borrow) costs about as much as such a row
// and only the calling thread can do it, with the lock held: a second thread
// saves at most a third of the time, which waking a thread and the
// moving of the rows' cache lines between processors take back below this
// count, and more than that on a machine busy with other work.
constexpr std::size_t kCheapRowsPerThread = 16384;

// The threads worth starting for cheap rows of positions: all of them for
// FEN strings, whose reading costs far more than such a row.
unsigned cheap_row_threads(const PositionsArgument& argument, unsigned threads) {
  if (has_fen_texts(argument)) return threads;
  const std::size_t count = argument.count;
  return static_cast<unsigned>(std::clamp<std::size_t>(count / kCheapRowsPerThread, 1, threads));
}

// Reads every FEN string into a record of the call's own, on threads, and
// points its position there. Every item must be read. Returns false with the
// error of for_each_position set.
bool read_fens(PositionsArgument& argument, unsigned threads) {
  std::vector<Position>& positions = argument.positions;
  if (!argument.fen_texts) return true;
  argument.fen_records.resize(positions.size());
  if (!for_each_position(argument, threads, [&](std::size_t i, const Board& board, unsigned) {
        argument.fen_records[i] = {board.pieces, board.state};
      })) {
    return false;
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (!positions[i].pieces) {
      positions[i] = {&argument.fen_records[i].pieces, &argument.fen_records[i].state, {}};
    }
  }
  argument.fen_texts = 0;
  return true;
}

// Reads the threads argument, shares the generator for the call and takes
// the positions, none of them read yet; then returns body(argument, threads).
template <class Body>
PyObject* with_positions(PyObject* self, const Signature& sig, PyObject* positions_arg,
                         PyObject* threads_arg, Body&& body) {
  const unsigned threads = thread_count(sig.function, threads_arg);
  if (!threads) return nullptr;
  BorrowGuard generator_borrow;
  if (const char* error = generator_borrow.share(as_generator(self)->borrow)) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PositionsArgument argument;
    if (!open_positions(sig.function, positions_arg, argument)) return nullptr;
    return body(argument, threads);
  });
}

// The methods of one row per position: opens the array (N rows of
// row_shape, or out=) and returns it once fill(argument, threads, data) is
// done. A new array is filled while the items are read; with out= every item
// and every FEN string is read first, so that bad input leaves out as it was.
template <class Fill>
PyObject* many_rows(PyObject* self, const Signature& sig, PyObject* positions_arg, PyObject* out,
                    PyObject* threads_arg, std::initializer_list<ItemType> accepted,
                    std::initializer_list<Py_ssize_t> row_shape, Fill&& fill) {
  return with_positions(self, sig, positions_arg, threads_arg,
                        [&](PositionsArgument& argument, unsigned threads) -> PyObject* {
    const bool given = out && out != Py_None;
    if (given && !read_positions_until(argument, argument.count)) return nullptr;
    std::vector<Py_ssize_t> shape{static_cast<Py_ssize_t>(argument.count)};
    shape.insert(shape.end(), row_shape.begin(), row_shape.end());
    ArrayResult array;
    if (!array.open(out, sig.function, "out", accepted, shape)) return nullptr;
    if (given && !read_fens(argument, threads)) return nullptr;
    if (!fill(argument, threads, array.data())) return nullptr;
    return array.finish();
  });
}

template <class T>
T* items(void* data) {
  return static_cast<T*>(data);
}

PyObject* generator_planes_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* given[4] = {};
  bool mirror = false;
  if (!extract_fastcall(kPlanesManySignature, args, nargs, kwnames, given) ||
      !read_bool(kPlanesManySignature, "mirror", given[1], false, mirror)) {
    return nullptr;
  }
  return many_rows(self, kPlanesManySignature, given[0], given[2], given[3],
                   {ItemType::kUint8, ItemType::kBool}, {kPieceKinds, 8, 8},
                   [&](PositionsArgument& argument, unsigned threads, void* data) {
                     std::uint8_t* out = items<std::uint8_t>(data);
                     return for_each_position(argument, threads, [&](std::size_t i, const Board& board, unsigned) {
                       write_planes(board, mirror, out + i * kPlaneBytes);
                     });
                   });
}

PyObject* generator_bitboards_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* given[3] = {};
  if (!extract_fastcall(kBitboardsManySignature, args, nargs, kwnames, given)) return nullptr;
  return many_rows(self, kBitboardsManySignature, given[0], given[1], given[2], {ItemType::kUint64},
                   {kPieceKinds}, [&](PositionsArgument& argument, unsigned threads, void* data) {
                     Bitboard* out = items<Bitboard>(data);
                     return for_each_position(argument, cheap_row_threads(argument, threads), [&](std::size_t i, const Board& board, unsigned) {
                       std::memcpy(out + i * kPieceKinds, board.pieces.data(), sizeof board.pieces);
                     });
                   });
}

PyObject* generator_states_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* given[3] = {};
  if (!extract_fastcall(kStatesManySignature, args, nargs, kwnames, given)) return nullptr;
  return many_rows(self, kStatesManySignature, given[0], given[1], given[2], {ItemType::kUint64}, {},
                   [&](PositionsArgument& argument, unsigned threads, void* data) {
                     std::uint64_t* out = items<std::uint64_t>(data);
                     return for_each_position(argument, cheap_row_threads(argument, threads), [&](std::size_t i, const Board& board, unsigned) {
                       out[i] = board.state;
                     });
                   });
}

PyObject* generator_zobrist_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* given[3] = {};
  if (!extract_fastcall(kZobristManySignature, args, nargs, kwnames, given)) return nullptr;
  return many_rows(self, kZobristManySignature, given[0], given[1], given[2], {ItemType::kUint64}, {},
                   [&](PositionsArgument& argument, unsigned threads, void* data) {
                     std::uint64_t* out = items<std::uint64_t>(data);
                     return for_each_position(argument, cheap_row_threads(argument, threads), [&](std::size_t i, const Board& board, unsigned) {
                       out[i] = zobrist(board);
                     });
                   });
}

PyObject* generator_mask_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[4] = {};
  Encoding encoding;
  if (!extract_fastcall(kMaskManySignature, args, nargs, kwnames, given) ||
      !read_encoding(kMaskManySignature, "encoding", given[1], encoding)) {
    return nullptr;
  }
  const AttackTables& tables = *as_generator(self)->tables;
  const Py_ssize_t size = encoding_size(encoding);
  return many_rows(self, kMaskManySignature, given[0], given[2], given[3],
                   {ItemType::kBool, ItemType::kUint8}, {size},
                   [&](PositionsArgument& argument, unsigned threads, void* data) {
                     std::uint8_t* out = items<std::uint8_t>(data);
                     return for_each_position(argument, threads, [&](std::size_t i, Board& board, unsigned) {
                       write_mask(tables, board, encoding, out + i * size);
                     });
                   });
}

// indices_many: each chunk's ids gather in its worker's list and are copied
// into the chunk's own when it ends; the flat array is put together from
// those once every chunk is done.
PyObject* generator_indices_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* given[3] = {};
  Encoding encoding;
  if (!extract_fastcall(kIndicesManySignature, args, nargs, kwnames, given) ||
      !read_encoding(kIndicesManySignature, "encoding", given[1], encoding)) {
    return nullptr;
  }
  const AttackTables& tables = *as_generator(self)->tables;
  return with_positions(self, kIndicesManySignature, given[0], given[2],
                        [&](PositionsArgument& argument, unsigned threads) -> PyObject* {
    const std::size_t count = argument.count;
    ArrayResult offsets_array;
    const Py_ssize_t offsets_shape[] = {static_cast<Py_ssize_t>(count + 1)};
    if (!offsets_array.create(ItemType::kInt64, offsets_shape)) return nullptr;
    std::int64_t* offsets = items<std::int64_t>(offsets_array.data());

    const std::size_t size = chunk_size(count, threads);
    // One list per chunk, as for_each_position cuts the positions.
    std::vector<std::vector<std::int16_t>> chunk_ids((count + size - 1) / size);
    PerWorker<std::vector<std::int16_t>> scratch(threads);
    const bool ok = for_each_position(
        argument, threads,
        [&](std::size_t i, Board& board, unsigned worker) {
          std::vector<std::int16_t>& ids = scratch[worker];
          const std::size_t before = ids.size();
          append_indices(tables, board, encoding, ids);
          offsets[i + 1] = static_cast<std::int64_t>(ids.size() - before);  // a count, for now
        },
        [&](std::size_t chunk, unsigned worker) {
          chunk_ids[chunk].assign(scratch[worker].begin(), scratch[worker].end());
          scratch[worker].clear();
        });
    if (!ok) return nullptr;

    offsets[0] = 0;
    for (std::size_t i = 0; i < count; ++i) offsets[i + 1] += offsets[i];
    ArrayResult ids_array;
    const Py_ssize_t ids_shape[] = {static_cast<Py_ssize_t>(offsets[count])};
    if (!ids_array.create(ItemType::kInt16, ids_shape)) return nullptr;
    std::int16_t* out = items<std::int16_t>(ids_array.data());
    for (const std::vector<std::int16_t>& ids : chunk_ids) out = std::copy(ids.begin(), ids.end(), out);

    OwnedRef ids_object(ids_array.finish());
    OwnedRef offsets_object(offsets_array.finish());
    return PyTuple_Pack(2, ids_object.get(), offsets_object.get());
  });
}

// The code of an outcome in outcomes_many's array.
std::int8_t outcome_code(const Outcome& outcome) {
  switch (outcome.termination) {
    case Termination::kNone: return 0;
    case Termination::kCheckmate: return outcome.winner == kWhite ? 1 : 2;
    case Termination::kStalemate: return 3;
    case Termination::kInsufficientMaterial: return 4;
    case Termination::kSeventyfiveMoves: return 5;
    case Termination::kFivefoldRepetition: return 6;
    case Termination::kFiftyMoves: return 7;
    case Termination::kThreefoldRepetition: return 8;
  }
  return 0;
}

// outcomes_many: a Board item is read in place with its history and
// counters; a FEN text is read with its counters into the worker's board.
PyObject* generator_outcomes_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* given[3] = {};
  bool claim_draw = false;
  if (!extract_fastcall(kOutcomesManySignature, args, nargs, kwnames, given) ||
      !read_bool(kOutcomesManySignature, "claim_draw", given[1], false, claim_draw)) {
    return nullptr;
  }
  const AttackTables& tables = *as_generator(self)->tables;
  return many_rows(self, kOutcomesManySignature, given[0], nullptr, given[2], {ItemType::kInt8}, {},
                   [&](PositionsArgument& argument, unsigned threads, void* data) {
                     std::int8_t* out = items<std::int8_t>(data);
                     const Position* const positions = argument.positions.data();
                     return for_each_position(argument, threads, [&](std::size_t i, const Board& board, unsigned) {
                       const Board& record = positions[i].board ? *positions[i].board : board;
                       out[i] = outcome_code(outcome(tables, record, claim_draw));
                     });
                   });
}

template <auto Function>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

const PyMethodDef kMethods[] = {
    {"planes_many", fastcall<generator_planes_many>(), METH_FASTCALL | METH_KEYWORDS,
     "planes_many($self, positions, *, mirror=False, out=None, threads=None)\n--\n\n"
     "Each position's planes, as board.planes() gives them, in a (N, 12, 8, 8) uint8 array."},
    {"bitboards_many", fastcall<generator_bitboards_many>(), METH_FASTCALL | METH_KEYWORDS,
     "bitboards_many($self, positions, *, out=None, threads=None)\n--\n\n"
     "Each position's twelve bitboards, as board.bitboards() gives them, in a (N, 12) uint64 array."},
    {"states_many", fastcall<generator_states_many>(), METH_FASTCALL | METH_KEYWORDS,
     "states_many($self, positions, *, out=None, threads=None)\n--\n\n"
     "Each position's state word (side to move, castling rights, en-passant file) in a (N,) uint64 array."},
    {"zobrist_many", fastcall<generator_zobrist_many>(), METH_FASTCALL | METH_KEYWORDS,
     "zobrist_many($self, positions, *, out=None, threads=None)\n--\n\n"
     "Each position's Polyglot key, as board.zobrist() gives it, in a (N,) uint64 array."},
    {"mask_many", fastcall<generator_mask_many>(), METH_FASTCALL | METH_KEYWORDS,
     "mask_many($self, positions, encoding, *, out=None, threads=None)\n--\n\n"
     "Each position's legal_mask() in a (N, 4672) or (N, 1858) bool array."},
    {"indices_many", fastcall<generator_indices_many>(), METH_FASTCALL | METH_KEYWORDS,
     "indices_many($self, positions, encoding, *, threads=None)\n--\n\n"
     "(ids, offsets): every position's legal_indices() in one int16 array, position i's at "
     "ids[offsets[i]:offsets[i + 1]]."},
    {"outcomes_many", fastcall<generator_outcomes_many>(), METH_FASTCALL | METH_KEYWORDS,
     "outcomes_many($self, positions, *, claim_draw=False, threads=None)\n--\n\n"
     "Each position's outcome(claim_draw=claim_draw) as a code in a (N,) int8 array: 0 none, "
     "1 and 2 checkmate by white and by black, 3 stalemate, 4 insufficient material, "
     "5 seventy-five moves, 6 fivefold repetition, 7 fifty moves, 8 threefold repetition."},
};

}  // namespace

std::span<const PyMethodDef> generator_many_tensor_methods() { return kMethods; }

}  // namespace orvex::py
