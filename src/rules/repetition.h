// Repetitions of a position within a board's history.
//
// Two positions are the same when their pieces, side to move and castling
// rights (those whose king and rook still stand at home) agree, and so does
// the en-passant square that a legal capture may take, if any. Each history
// entry holds the key of its position without en passant (board/zobrist.h),
// so the history is walked by keys alone; the en-passant part is worked out
// only for a position whose key matches and whose state has an en-passant
// file, which can only be the first position after the last pawn move.
// Only positions since the last capture or pawn move can repeat, so the walk
// goes back as far as the halfmove clock (or the history) reaches.
#pragma once

#include <cstdint>

#include "board/board.h"
#include "move_generator/attack_tables.h"

namespace orvex {

// Returns how often the position on the board has occurred in its history,
// the current occurrence included, counting no further than most (at least 1).
std::uint64_t occurrences(const AttackTables& tables, const Board& board, std::uint64_t most);

// Whether the position has occurred at least count times (count >= 1).
inline bool is_repetition(const AttackTables& tables, const Board& board, std::uint64_t count) {
  return occurrences(tables, board, count) >= count;
}

// Whether the side to move may claim a draw by threefold repetition: the
// position has occurred three times, or one of its legal moves gives a
// position that has occurred twice.
bool can_claim_threefold_repetition(const AttackTables& tables, const Board& board);

// Returns the file (0 to 7) of the en-passant capture that is legal for the
// side to move of state with these pieces, or -1.
// (Every function here only reads the board.)
int legal_en_passant_file(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& pieces,
                          std::uint64_t state);

}  // namespace orvex
