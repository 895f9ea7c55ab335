#include "module/positions_argument.h"

#include <algorithm>

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

bool read_positions(const char* function, PyObject* positions, PositionsArgument& out,
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
  const Py_ssize_t count = PyTuple_GET_SIZE(out.items.get());
  out.borrows.reserve(static_cast<std::size_t>(count));
  out.positions.reserve(static_cast<std::size_t>(count));
  // Reserved in full: positions point into it.
  if (copy_boards) out.records.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(out.items.get(), i);
    if (is_board(item)) {
      BoardObject* board = as_board(item);
      if (const char* error = out.borrows.add(&board->borrow)) {
        borrow_error(error);
        return false;
      }
      if (copy_boards) {
        out.records.push_back({board->board.pieces, board->board.state});
        const PositionRecord& record = out.records.back();
        out.positions.push_back({&record.pieces, &record.state, {}, &board->board});
      } else {
        out.positions.push_back({&board->board.pieces, &board->board.state, {}, &board->board});
      }
    } else if (PyUnicode_Check(item)) {
      std::string_view fen;
      OwnedRef keep;
      if (!utf8_text(item, fen, keep)) return false;
      if (!keep.empty()) out.texts.push_back(std::move(keep));
      out.positions.push_back({nullptr, nullptr, fen});
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument 'positions' must hold Board objects or FEN strings, but "
                   "positions[%zd] is %.200s",
                   function, i, Py_TYPE(item)->tp_name);
      return false;
    }
  }
  return true;
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
  // The index as a field of its own, for callers that must not read the message.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedRef number(PyLong_FromSize_t(index));
  if (value && !number.empty()) PyObject_SetAttrString(value, "index", number.get());
  PyErr_Restore(type, value, traceback);
}

std::size_t chunk_size(std::size_t count, unsigned threads) {
  return std::clamp<std::size_t>(count / (std::size_t{threads} * 8), 128, 1024);
}

}  // namespace orvex::py
