// Polyglot opening-book keys of positions, and the position key without en
// passant that the board keeps move by move.
#pragma once

#include <array>
#include <cstdint>

#include "board/board.h"
#include "board/polyglot_keys.h"

namespace orvex {

// Returns the Polyglot key of the position: the XOR of the table numbers of
// every piece on its square, of each castling right that its king (on e1 or
// e8) and rook (on its corner) still stand for, of the en-passant file when a
// pawn of the side to move stands beside the pawn that may be taken (whether
// the capture is legal does not matter), and of white to move. Equal to
// python-chess's chess.polyglot.zobrist_hash of the same position. A piece
// sharing a square with another is hashed like any other. Reads the board
// only (the key it keeps, when that is up to date); safe to call from any
// thread.
std::uint64_t zobrist(const Board& board);

namespace polyglot {

// The Polyglot number of a piece kind: 2 * type, plus 1 for white.
constexpr int piece_number(int kind) {
  return 2 * type_of(static_cast<PieceKind>(kind)) +
         (color_of(static_cast<PieceKind>(kind)) == kWhite ? 1 : 0);
}

constexpr std::array<std::array<std::uint64_t, kSquares>, kPieceKinds> make_piece_keys() {
  std::array<std::array<std::uint64_t, kSquares>, kPieceKinds> keys{};
  for (int k = 0; k < kPieceKinds; ++k) {
    for (int s = 0; s < kSquares; ++s) keys[k][s] = kPolyglotKeys[64 * piece_number(k) + s];
  }
  return keys;
}

// The key of each set of the four castling rights K Q k q (bit i: right i).
constexpr std::array<std::uint64_t, 16> make_castling_keys() {
  std::array<std::uint64_t, 16> keys{};
  for (int set = 0; set < 16; ++set) {
    for (int i = 0; i < 4; ++i) {
      if (set >> i & 1) keys[set] ^= kPolyglotKeys[768 + i];
    }
  }
  return keys;
}

inline constexpr auto kPieceKeys = make_piece_keys();
inline constexpr auto kCastlingKeys = make_castling_keys();
inline constexpr std::uint64_t kWhiteToMoveKey = kPolyglotKeys[780];

}  // namespace polyglot

inline std::uint64_t piece_key(int kind, Square square) { return polyglot::kPieceKeys[kind][square]; }

// The castling rights that zobrist() counts: each whose king and rook stand
// on their home squares.
inline std::uint64_t castling_key(std::uint64_t state, const std::array<Bitboard, kPieceKinds>& pieces) {
  return polyglot::kCastlingKeys[standing_castling_rights(state, pieces) >> 1];
}

// The castling part of the board's key: on a Chess960 board every right,
// each naming a rook that stands.
inline std::uint64_t castling_key(const Board& board) {
  if (board.chess960) return polyglot::kCastlingKeys[(board.state >> 1) & 0xF];
  return castling_key(board.state, board.pieces);
}

inline std::uint64_t en_passant_key(int file) { return kPolyglotKeys[772 + file]; }
inline std::uint64_t white_to_move_key() { return polyglot::kWhiteToMoveKey; }

// Returns the position key without en passant: the key zobrist() gives less
// its en-passant part. Together with the en-passant square that a legal
// capture may take, it tells positions apart as the repetition rules do.
std::uint64_t position_key(const Board& board);

// Returns the position key without en passant of the board, which is only
// read: board.key, or worked out afresh when it is stale.
inline std::uint64_t current_key(const Board& board) {
  return board.key_stale ? position_key(board) : board.key;
}

// Returns board.key, working it out first (and keeping it) when it is stale.
inline std::uint64_t settled_key(Board& board) {
  if (board.key_stale) {
    board.key = position_key(board);
    board.key_stale = false;
  }
  return board.key;
}

}  // namespace orvex
