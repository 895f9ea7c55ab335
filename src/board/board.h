// The position record: twelve bitboards, the state word and the undo stacks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/types.h"
#include "board/castling_rights.h"

namespace orvex {

// One made move: the state, position key and halfmove clock before it, and
// which bitboards it saved.
struct HistoryEntry {
  std::uint64_t prev_state;
  std::uint64_t prev_key;
  std::uint32_t prev_clock;
  // Bit i set: the move pushed the old pieces[i] onto piece_history[i].
  std::uint16_t saved_mask;

  bool operator==(const HistoryEntry&) const = default;
};

// For every kind i, piece_history[i] holds exactly one value for each entry of
// move_history whose saved_mask has bit i, in the same order.
//
// key is the position key without en passant (board/zobrist.h): it is worked
// out when first needed (key_stale) and then kept up to date move by move, so
// that every history entry holds the key of the position before its move.
// Code that writes pieces or state other than by push_move and pop_move puts
// a new position on the board with set_position, which marks the key stale.
struct Board {
  std::array<std::vector<Bitboard>, kPieceKinds> piece_history;
  std::vector<HistoryEntry> move_history;
  std::array<Bitboard, kPieceKinds> pieces{};
  std::uint64_t state = 0;
  std::uint64_t key = 0;
  bool key_stale = true;
  // Plies since the last capture or pawn move, and the number of the move
  // (from 1, counted up after each black move), as FEN's last two fields.
  std::uint32_t halfmove_clock = 0;
  std::uint32_t fullmove_number = 1;
  // Chess960: castling follows the square of the rook of each right (K Q k
  // q, as the state bits); the rights of such a board always name a rook of
  // the side on its first rank with the king between. In standard chess the
  // squares are the corners. The mask table they make (castling_rights.h)
  // tells every mover which right a move from or to a square takes.
  bool chess960 = false;
  CastlingRooks castling_rooks = kStandardCastling;

  // Equal records: the key, which follows from the rest, is not compared.
  bool operator==(const Board& other) const {
    return pieces == other.pieces && state == other.state &&
           halfmove_clock == other.halfmove_clock && fullmove_number == other.fullmove_number &&
           chess960 == other.chess960 && castling_rooks == other.castling_rooks &&
           move_history == other.move_history && piece_history == other.piece_history;
  }
};

// Puts a position on the board: its pieces and state word, the counters at 0
// and 1, the key stale. The history is left as it is.
inline void set_position(Board& board, const std::array<Bitboard, kPieceKinds>& pieces,
                         std::uint64_t state) {
  board.pieces = pieces;
  board.state = state;
  board.key_stale = true;
  board.halfmove_clock = 0;
  board.fullmove_number = 1;
}

// Puts the position of source on the board as above, with its castling
// rules (Chess960 or standard).
inline void set_position(Board& board, const Board& source) {
  set_position(board, source.pieces, source.state);
  board.chess960 = source.chess960;
  board.castling_rooks = source.castling_rooks;
}

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
