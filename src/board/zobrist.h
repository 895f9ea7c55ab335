// Polyglot opening-book keys of positions.
#pragma once

#include <cstdint>

#include "board/board.h"

namespace orvex {

// Returns the Polyglot key of the position: the XOR of the table numbers of
// every piece on its square, of each castling right that its king (on e1 or
// e8) and rook (on its corner) still stand for, of the en-passant file when a
// pawn of the side to move stands beside the pawn that may be taken (whether
// the capture is legal does not matter), and of white to move. Equal to
// python-chess's chess.polyglot.zobrist_hash of the same position. A piece
// sharing a square with another is hashed like any other. Reads the board
// only; safe to call from any thread.
std::uint64_t zobrist(const Board& board);

}  // namespace orvex
