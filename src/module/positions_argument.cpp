#include "module/positions_argument.h"

#include <algorithm>

#include "base/panic.h"
#include "board/fen.h"
#include "module/arguments.h"
#include "module/board_type.h"
#include "module/errors.h"

namespace orvex::py {

const char* BoardBorrows::add(BorrowFlag* flag) {
  if (flag->is_exclusive() && holds(flag)) return nullptr;
  if (const char* error = flag->exclude()) return error;
  flags_.push_back(flag);
  if (!held_.empty()) held_.insert(flag);
  return nullptr;
}

bool BoardBorrows::holds(BorrowFlag* flag) {
  if (held_.empty()) held_.insert(flags_.begin(), flags_.end());
  return held_.contains(flag);
}

bool read_positions(const char* function, PyObject* positions, PositionsArgument& out) {
  const bool text = PyUnicode_Check(positions) || PyBytes_Check(positions) ||
                    PyByteArray_Check(positions);
  if (text || (!Py_TYPE(positions)->tp_iter && !PySequence_Check(positions))) {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument 'positions' must be a sequence of Board objects or FEN strings, "
                 "not %.200s",
                 function, Py_TYPE(positions)->tp_name);
    return false;
  }
  // A list is read as it is now; the call keeps its own references, so that
  // the list may change while the workers run. An iterator's error passes on.
  OwnedRef fast(PySequence_Fast(positions, "argument 'positions' must be iterable"));
  if (fast.empty()) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** objects = PySequence_Fast_ITEMS(fast.get());
  std::vector<OwnedRef>& items = out.items;
  items.reserve(static_cast<std::size_t>(count));  // no reallocation below
  for (Py_ssize_t i = 0; i < count; ++i) items.emplace_back(Py_NewRef(objects[i]));

  out.positions.resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = items[i].get();
    Position& position = out.positions[i];
    if (is_board(item)) {
      if (const char* error = out.borrows.add(&as_board(item)->borrow)) {
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
                   function, i, Py_TYPE(item)->tp_name);
      return false;
    }
  }
  return true;
}

bool load_position(const Position& position, Board& board, std::string& error) {
  if (!position.from_fen) {
    board.pieces = position.pieces;
    board.state = position.state;
    return true;
  }
  // What Board(fen) raises as PanicException (placement, missing field) is
  // one more reason here.
  try {
    Parsed<Board> parsed = board_from_fen(position.fen);
    if (!parsed.ok()) {
      error = parsed.error();
      return false;
    }
    board.pieces = parsed.value().pieces;
    board.state = parsed.value().state;
    return true;
  } catch (const Panic& e) {
    error = e.what();
    return false;
  }
}

void set_position_error(std::size_t index, const std::string& reason) {
  set_value_error("Invalid fen: ", "positions[" + std::to_string(index) + "]: " + reason);
}

std::size_t chunk_size(std::size_t count, unsigned threads) {
  return std::clamp<std::size_t>(count / (std::size_t{threads} * 8), 128, 1024);
}

}  // namespace orvex::py
