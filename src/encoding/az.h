// The AlphaZero policy of 8 x 8 x 73 = 4672 move ids, numbered as pgx's chess
// environment numbers its actions.
//
// Moves are seen from the side to move (see oriented()). The id of a move is
// square(from) * 73 + plane, where square() counts file-major (a1 = 0, a2 = 1,
// ..., a8 = 7, b1 = 8, ..., h8 = 63) and the plane is:
//   0..8    an underpromotion to rook, bishop, knight (3 * piece), each
//           straight ahead, capturing towards the h-file, towards the a-file;
//   9..64   a queen-like move, 7 distances in each of eight half-lines:
//           9..15 down (distance 7..1), 16..22 up (1..7), 23..29 left (7..1),
//           30..36 right (1..7), 37..43 down-left (7..1), 44..50 up-right
//           (1..7), 51..57 up-left (7..1), 58..64 down-right (1..7);
//   65..72  a knight jump by (file, rank) = (-2,-1) (-2,+1) (-1,-2) (-1,+2)
//           (+2,-1) (+2,+1) (+1,-2) (+1,+2).
// A queen promotion is the plain pawn move and castling the king's two-square
// move.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "chess_move/chess_move.h"

namespace orvex {

// Returns the id of a move seen from the side to move, or -1 if it has none.
// Codes 4 to 6 mark underpromotions; every other code is read as the plain
// move from the from-square to the to-square.
int az_index(ChessMove seen);

// The ids of moves the side to move makes, in real squares with the
// generator's codes (castling as the king's two-square move): as
// az_index(oriented(move, mover)) for each, -1 where there is none.
void az_indices(Color mover, std::span<const ChessMove> moves, std::int16_t* out);

// Returns the move that id names, seen from the side to move (code 4 to 6 for
// an underpromotion, 0 otherwise), or nothing for an id outside 0..4671 or one
// that leads off the board.
std::optional<ChessMove> az_move(int id);

}  // namespace orvex
