// The positions argument of MoveGenerator's batch methods: a sequence of
// Board objects and FEN strings, read under the interpreter lock into plain
// data that worker threads use with the lock released.
//
// Each Board is borrowed exclusively for the whole call (once, however often
// it occurs), so that nothing changes its record, which the workers read in
// place or from a copy (see read_positions); each str is kept and its UTF-8
// text read by a worker, exactly as Board(fen) reads it. The items are held in a tuple of the call's own, so a
// list may change meanwhile.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "board/board.h"
#include "module/borrow.h"
#include "module/owned_ref.h"
#include "module/python.h"

namespace orvex::py {

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

  void reserve(std::size_t boards) { flags_.reserve(boards); }

  // Borrows the flag unless this call holds it already; returns the conflict
  // message, or null.
  const char* add(BorrowFlag* flag) {
    if (flag->is_exclusive() && holds(flag)) return nullptr;
    if (const char* error = flag->exclude()) return error;
    flags_.push_back(flag);
    if (!held_.empty()) held_.insert(flag);
    return nullptr;
  }

 private:
  // The set is built at the first exclusive flag met, which is usually never.
  bool holds(BorrowFlag* flag);

  std::vector<BorrowFlag*> flags_;
  std::unordered_set<BorrowFlag*> held_;
};

// A placement and state word, read from FEN text ahead of the work.
struct PositionRecord {
  std::array<Bitboard, kPieceKinds> pieces;
  std::uint64_t state;
};

// One item, as the workers find it: the placement and state word of a Board
// the call holds (or of a copy, or of a FEN read ahead), or the text of a FEN
// str.
struct Position {
  const std::array<Bitboard, kPieceKinds>* pieces;  // null: read fen
  const std::uint64_t* state;
  std::string_view fen;  // points into a str (or bytes) that the call keeps
  // The whole record of a Board item (its history and counters), read in
  // place; null for a FEN text.
  const Board* board = nullptr;
};

// Everything a batch call keeps of its positions argument until it returns.
// Members go in reverse order: the borrows are given back before the
// references.
//
// The items are read in order by the calling thread, with the lock held,
// while worker threads may already work on those read before (see
// read_positions_until and wait_read): positions has room for every item from
// the start (its entries do not move), and holds those read. Workers read the
// entries through positions.data() taken before they start, and only below
// the published count.
struct PositionsArgument {
  OwnedRef items;                // a tuple of the items
  std::vector<OwnedRef> texts;   // UTF-8 copies of str items that had none
  BoardBorrows borrows;
  std::vector<PositionRecord> records;      // copies of boards, in item order
  std::vector<PositionRecord> fen_records;  // FEN strings read ahead, by item index
  std::vector<Position> positions;
  const char* function = nullptr;
  bool copy_boards = false;
  std::size_t count = 0;      // the items
  std::size_t read = 0;       // the items read so far (the calling thread's count)
  std::size_t fen_texts = 0;  // of those, the FEN strings whose text is still to be read

  // Waits until the positions below end are read and returns true, or
  // returns false once reading has failed. For worker threads: runs without
  // the lock.
  bool wait_read(std::size_t end) const;
  // Whether every item is read.
  bool all_read() const { return read == count; }
  // Tells the workers that reading has failed.
  void fail();

  static constexpr std::size_t kReadFailed = static_cast<std::size_t>(-1);
  // The items read, as the workers may see them, or kReadFailed. On cache
  // lines of its own: workers that wait read it in a loop, and the reading
  // thread writes the members above at every item.
  alignas(128) std::atomic<std::size_t> published{0};
  char pad_[128 - sizeof(std::atomic<std::size_t>)] = {};
};

// Takes positions (any iterable of Board objects and str) for a call of
// function: its items, in a tuple of the call's own, and their count, with no
// item read yet. With copy_boards, each board's placement and state word will
// be copied into out.records as it is read, so that the workers read them one
// after another in memory rather than from boards spread over the heap: worth
// its cost when the work per position is well above a copy's. Returns false
// with TypeError (positions is not iterable, or is a str) or the iterator's
// own error set.
bool open_positions(const char* function, PyObject* positions, PositionsArgument& out,
                    bool copy_boards = false);

// Reads the items up to end (at most their count), borrowing each Board
// exclusively for the call (once, however often it occurs) and keeping each
// str's UTF-8 text, and publishes them to the workers. Returns false with
// TypeError (naming function and the index of a bad item), RuntimeError (a
// board in use) or a str's encoding error set; the workers then see reading
// fail.
bool read_positions_until(PositionsArgument& argument, std::size_t end);

// open_positions, then every item read.
bool read_positions(const char* function, PyObject* positions, PositionsArgument& out,
                    bool copy_boards = false);

// Puts the position into board (its pieces and state; the history is left as
// it is). A FEN text is read as Board(fen) reads it; one that cannot be read
// leaves board unspecified and returns false with the reason in error, which
// includes what Board(fen) raises as PanicException. Runs without the lock.
bool load_fen(std::string_view fen, Board& board, std::string& error);
inline bool load_position(const Position& position, Board& board, std::string& error) {
  // A Board item brings its castling rules; anything else is standard chess.
  board.chess960 = position.board && position.board->chess960;
  board.castling_rooks = position.board ? position.board->castling_rooks : kStandardCastling;
  if (!position.pieces) return load_fen(position.fen, board, error);
  set_position(board, *position.pieces, *position.state);
  return true;
}

// Sets ValueError("Invalid fen: positions[index]: reason"), with the index as
// its attribute `index`.
void set_position_error(std::size_t index, const std::string& reason);

// Positions per chunk: a few chunks per thread for balance, each big enough
// that its overhead does not show and small enough to hand results on early.
std::size_t chunk_size(std::size_t count, unsigned threads);

}  // namespace orvex::py
