// The position record: twelve bitboards, the state word and the undo stacks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/types.h"

namespace orvex {

// One made move: the state before it and which bitboards it saved.
struct HistoryEntry {
  std::uint64_t prev_state;
  // Bit i set: the move pushed the old pieces[i] onto piece_history[i].
  std::uint16_t saved_mask;

  bool operator==(const HistoryEntry&) const = default;
};

// For every kind i, piece_history[i] holds exactly one value for each entry of
// move_history whose saved_mask has bit i, in the same order.
struct Board {
  std::array<std::vector<Bitboard>, kPieceKinds> piece_history;
  std::vector<HistoryEntry> move_history;
  std::array<Bitboard, kPieceKinds> pieces{};
  std::uint64_t state = 0;

  bool operator==(const Board&) const = default;
};

// Returns the union of the six bitboards of one side.
inline Bitboard side_occupancy(const Board& board, Color c) {
  const int base = color_base(c);
  Bitboard b = 0;
  for (int t = 0; t < kPieceTypes; ++t) b |= board.pieces[base + t];
  return b;
}

// Returns the union of all twelve bitboards.
inline Bitboard occupancy(const Board& board) {
  Bitboard b = 0;
  for (Bitboard p : board.pieces) b |= p;
  return b;
}

// Returns whether some square holds two or more pieces (FEN text can say so).
inline bool has_shared_square(const Board& board) {
  Bitboard all = 0;
  Bitboard shared = 0;
  for (Bitboard b : board.pieces) {
    shared |= all & b;
    all |= b;
  }
  return shared != 0;
}

}  // namespace orvex
