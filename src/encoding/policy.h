// Moves as policy indices: one board's moves to indices and back, and the
// legal moves as an index list or a mask.
//
// Every function here is plain C++ that touches only its arguments and
// immutable tables: it is safe to call from many threads at once, each with
// its own board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/parsed.h"
#include "board/board.h"
#include "chess_move/chess_move.h"
#include "encoding/encoding.h"
#include "move_generator/attack_tables.h"

namespace orvex {

// The move as both encodings see it: on a Chess960 board a castling (the
// king taking its rook) is the king's plain move onto its rook's square, which
// no other move of the king can be; every other move as it is.
constexpr ChessMove encoded_move(ChessMove move, bool chess960) {
  return chess960 && move.special() == kCastling ? ChessMove::pack(move.from(), move.to(), kOrdinary) : move;
}

// Returns the index of a move that the side to move makes (real squares, with
// the codes the generator gives: 3 for castling, 4 to 7 for promotions), or
// -1 if the encoding has no index for it. chess960: the move is one of a
// Chess960 board (see encoded_move).
int policy_index(Encoding encoding, ChessMove move, Color mover, bool chess960 = false);

// Writes the index of each move (as policy_index) to out. Throws Panic for a
// move that has none, which no generated move is.
void policy_indices(Encoding encoding, Color mover, std::span<const ChessMove> moves,
                    std::int16_t* out, bool chess960 = false);

// Reads a move in coordinate notation, as the generator writes it, for the
// board's side to move and returns its index. The move must be one that a
// piece of the side to move could make on an empty board (legality is not
// checked; on a Chess960 board the king's move onto its own rook on its first
// rank is castling), with a promotion letter exactly when a pawn reaches the last rank.
// Anything else is returned as an error that says why.
Parsed<int> move_index(Encoding encoding, const Board& board, std::string_view text);

// Returns the move that an index names for the board's side to move, in the
// generator's terms (castling as the king's two-square move, or on a Chess960
// board the king taking its rook; promotions with their code). The index must exist in the encoding and name a move that the
// piece on its from-square could make on an empty board (legality is not
// checked); otherwise the error says why.
Parsed<ChessMove> index_move(Encoding encoding, const Board& board, int index);

// Sets out[0 .. encoding_size) to 1 at the index of every legal move and to 0
// elsewhere. The board ends exactly as it began.
void write_mask(const AttackTables& tables, Board& board, Encoding encoding, std::uint8_t* out);

// Appends the indices of the legal moves, in generation order. The board ends
// exactly as it began.
void append_indices(const AttackTables& tables, Board& board, Encoding encoding,
                    std::vector<std::int16_t>& out);

}  // namespace orvex
