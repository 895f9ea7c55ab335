// The end of a game: checkmate, stalemate, insufficient material and the
// move-count rules, and the outcome that sums them up.
//
// The answers equal python-chess's on every position reached by legal play.
// On unusual boards they follow this library's own rules: a side without a
// king is never in check (so never checkmated), a side with several is in
// check when the king on its lowest square is attacked, and the legal moves
// are those that MoveGenerator lists.
#pragma once

#include <cstdint>

#include "board/board.h"
#include "move_generator/attack_tables.h"
#include "move_generator/has_legal_move.h"

namespace orvex {

enum class Termination : std::uint8_t {
  kNone,
  kCheckmate,
  kStalemate,
  kInsufficientMaterial,
  kSeventyfiveMoves,
  kFivefoldRepetition,
  kFiftyMoves,
  kThreefoldRepetition,
};

struct Outcome {
  Termination termination = Termination::kNone;
  // The side that won, for checkmate only.
  bool has_winner = false;
  Color winner = kWhite;
};

// Every function here only reads the board. Checkmate and stalemate ask
// has_legal_move, which stops at the first legal move.
bool is_checkmate(const AttackTables& tables, const Board& board);
bool is_stalemate(const AttackTables& tables, const Board& board);

// Whether neither side has the material to mate, by python-chess's
// definition: no pawns, rooks or queens; a knight only with the king alone
// and an opponent with nothing but king and queens; bishops only all on one
// square colour, with no pawns or knights on the board.
bool is_insufficient_material(const Board& board);

// Whether the halfmove clock is at least 100 (150) and the side to move has
// a legal move.
bool is_fifty_moves(const AttackTables& tables, const Board& board);
bool is_seventyfive_moves(const AttackTables& tables, const Board& board);

// Whether the side to move may claim a draw by the fifty-move rule: now, or
// after one of its legal moves that is neither a capture nor a pawn move.
bool can_claim_fifty_moves(const AttackTables& tables, const Board& board);

// The first of checkmate, insufficient material, stalemate, the
// seventy-five-move rule and fivefold repetition that holds; with claim_draw
// then the fifty-move rule and threefold repetition as claims.
Outcome outcome(const AttackTables& tables, const Board& board, bool claim_draw);

}  // namespace orvex
