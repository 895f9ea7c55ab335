#include "module/positions_argument.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/panic.h"
#include "board/fen.h"
#include "module/arguments.h"
#include "module/board_type.h"
#include "module/errors.h"

namespace orvex::py {

bool BoardBorrows::holds(BorrowFlag* flag) {
  if (held_.empty()) held_.insert(flags_.begin(), flags_.end());
  return held_.contains(flag);
}

bool open_positions(const char* function, PyObject* positions, PositionsArgument& out,
                    bool copy_boards) {
  const bool text = PyUnicode_Check(positions) || PyBytes_Check(positions) ||
                    PyByteArray_Check(positions);
  if (text || (!Py_TYPE(positions)->tp_iter && !PySequence_Check(positions))) {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument 'positions' must be a sequence of Board objects or FEN strings, "
                 "not %.200s",
                 function, Py_TYPE(positions)->tp_name);
    return false;
  }
  // The items as they are now, in a tuple of the call's own: a list may
  // change while the workers run. An iterator's error passes on.
  out.items.reset(PySequence_Tuple(positions));
  if (out.items.empty()) return false;
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(out.items.get()));
  out.function = function;
  out.copy_boards = copy_boards;
  out.count = count;
  out.borrows.reserve(count);
  out.positions.reserve(count);
  // Reserved in full: positions point into it.
  if (copy_boards) out.records.reserve(count);
  return true;
}

bool read_positions_until(PositionsArgument& argument, std::size_t end) {
  PyObject* const items = argument.items.get();
  end = std::min(end, argument.count);
  bool ok = true;
  for (std::size_t i = argument.read; i < end; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(i));
    if (is_board(item)) {
      BoardObject* board = as_board(item);
      if (const char* error = argument.borrows.add(&board->borrow)) {
        borrow_error(error);
        ok = false;
        break;
      }
      if (argument.copy_boards) {
        argument.records.push_back({board->board.pieces, board->board.state});
        const PositionRecord& record = argument.records.back();
        argument.positions.push_back({&record.pieces, &record.state, {}, &board->board});
      } else {
        argument.positions.push_back({&board->board.pieces, &board->board.state, {}, &board->board});
      }
    } else if (PyUnicode_Check(item)) {
      std::string_view fen;
      OwnedRef keep;
      if (!utf8_text(item, fen, keep)) {
        ok = false;
        break;
      }
      if (!keep.empty()) argument.texts.push_back(std::move(keep));
      argument.positions.push_back({nullptr, nullptr, fen});
      ++argument.fen_texts;
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument 'positions' must hold Board objects or FEN strings, but "
                   "positions[%zu] is %.200s",
                   argument.function, i, Py_TYPE(item)->tp_name);
      ok = false;
      break;
    }
  }
  if (!ok) {
    argument.fail();
    return false;
  }
  argument.read = end;
  argument.published.store(end, std::memory_order_release);
  argument.published.notify_all();
  return true;
}

bool read_positions(const char* function, PyObject* positions, PositionsArgument& out,
                    bool copy_boards) {
  return open_positions(function, positions, out, copy_boards) &&
         read_positions_until(out, out.count);
}

void PositionsArgument::fail() {
  published.store(kReadFailed, std::memory_order_release);
  published.notify_all();
}

bool PositionsArgument::wait_read(std::size_t end) const {
  // A worker that catches up with the reading waits in a loop for a while,
  // giving its processor to any other thread that wants it (the reading
  // thread itself, should they share one): the next chunk is usually
  // microseconds away, and waking a thread that sleeps costs tens of them.
  // Then it sleeps.
  constexpr auto kPollFor = std::chrono::microseconds(50);
  const auto deadline = std::chrono::steady_clock::now() + kPollFor;
  for (bool polling = true;;) {
    const std::size_t seen = published.load(std::memory_order_acquire);
    if (seen == kReadFailed) return false;
    if (seen >= end) return true;
    if (polling) {
      std::this_thread::yield();
      polling = std::chrono::steady_clock::now() < deadline;
    } else {
      published.wait(seen, std::memory_order_acquire);
    }
  }
}

bool load_fen(std::string_view fen, Board& board, std::string& error) {
  // The common text is read straight into the board.
  set_position(board, {}, 0);
  if (read_common_fen(fen, board)) return true;
  // What Board(fen) raises as PanicException (placement, missing field) is
  // one more reason here.
  try {
    Parsed<Board> parsed = board_from_fen_general(fen);
    if (!parsed.ok()) {
      error = parsed.error();
      return false;
    }
    set_position(board, parsed.value().pieces, parsed.value().state);
    board.halfmove_clock = parsed.value().halfmove_clock;
    board.fullmove_number = parsed.value().fullmove_number;
    return true;
  } catch (const Panic& e) {
    error = e.what();
    return false;
  }
}

void set_position_error(std::size_t index, const std::string& reason) {
  set_value_error("Invalid fen: ", "positions[" + std::to_string(index) + "]: " + reason);
  // The index and the reason as fields of their own, for callers that must
  // not read the message.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedRef number(PyLong_FromSize_t(index));
  OwnedRef why(PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
  if (value && !number.empty()) PyObject_SetAttrString(value, "index", number.get());
  if (value && !why.empty()) PyObject_SetAttrString(value, "reason", why.get());
  PyErr_Clear();  // a field that could not be set leaves the message alone
  PyErr_Restore(type, value, traceback);
}

std::size_t chunk_size(std::size_t count, unsigned threads) {
  return std::clamp<std::size_t>(count / (std::size_t{threads} * 8), 128, 1024);
}

}  // namespace orvex::py
