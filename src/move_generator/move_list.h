// A bounded list of move codes that lives on the stack.
#pragma once

#include <array>
#include <cstddef>

#include "base/panic.h"
#include "chess_move/chess_move.h"

namespace orvex {

// No position yields more candidates than this: at most 64 squares each for
// the king steps (8), knight steps (8), pawn moves (14), straight slides (14)
// and diagonal slides (13), plus the two castlings: 64 * 57 + 2 = 3650.
class MoveList {
 public:
  static constexpr std::size_t kCapacity = 4096;

  void push(ChessMove move) {
    if (size_ == kCapacity) throw Panic("move list overflow");
    moves_[size_++] = move;
  }
  std::size_t size() const { return size_; }
  // Keeps the first n moves.
  void resize_down(std::size_t n) { size_ = n; }
  ChessMove operator[](std::size_t i) const { return moves_[i]; }
  ChessMove& operator[](std::size_t i) { return moves_[i]; }
  const ChessMove* begin() const { return moves_.data(); }

  // Unchecked writing for a generator that keeps within the bound above:
  // the first free slot, and the end after writing. Up to 16 slots past the
  // last kept move may be written speculatively; kCapacity leaves room.
  ChessMove* tail() { return moves_.data() + size_; }
  void set_tail(const ChessMove* end) { size_ = static_cast<std::size_t>(end - moves_.data()); }
  const ChessMove* end() const { return moves_.data() + size_; }

 private:
  // Left uninitialised: only the first size_ moves are ever read.
  std::array<ChessMove, kCapacity> moves_;
  std::size_t size_ = 0;
};

}  // namespace orvex
