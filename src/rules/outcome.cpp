#include "rules/outcome.h"

#include <bit>

#include "board/make_move.h"
#include "move_generator/attacks.h"
#include "move_generator/legal_moves.h"
#include "rules/repetition.h"

namespace orvex {
namespace {

constexpr Bitboard kLightSquares = 0x55AA55AA55AA55AA;
constexpr Bitboard kDarkSquares = ~kLightSquares;

bool has_insufficient_material(const Board& board, Color color) {
  const auto& p = board.pieces;
  const Bitboard ours = side_occupancy(board, color);
  const Bitboard theirs = side_occupancy(board, ~color);
  const Bitboard pawns = p[kWhitePawn] | p[kBlackPawn];
  const Bitboard knights = p[kWhiteKnight] | p[kBlackKnight];
  const Bitboard bishops = p[kWhiteBishop] | p[kBlackBishop];
  const Bitboard rooks = p[kWhiteRook] | p[kBlackRook];
  const Bitboard queens = p[kWhiteQueen] | p[kBlackQueen];
  const Bitboard kings = p[kWhiteKing] | p[kBlackKing];
  if (ours & (pawns | rooks | queens)) return false;
  if (ours & knights) return std::popcount(ours) <= 2 && !(theirs & ~kings & ~queens);
  if (ours & bishops) {
    const bool same_colour = !(bishops & kDarkSquares) || !(bishops & kLightSquares);
    return same_colour && !pawns && !knights;
  }
  return true;
}

bool halfmoves(const AttackTables& tables, const Board& board, std::uint32_t n) {
  return board.halfmove_clock >= n && has_legal_move(tables, board);
}

}  // namespace

bool is_checkmate(const AttackTables& tables, const Board& board) {
  return in_check(tables, board) && !has_legal_move(tables, board);
}

bool is_stalemate(const AttackTables& tables, const Board& board) {
  return !in_check(tables, board) && !has_legal_move(tables, board);
}

bool is_insufficient_material(const Board& board) {
  return has_insufficient_material(board, kWhite) && has_insufficient_material(board, kBlack);
}

bool is_fifty_moves(const AttackTables& tables, const Board& board) { return halfmoves(tables, board, 100); }

bool is_seventyfive_moves(const AttackTables& tables, const Board& board) {
  return halfmoves(tables, board, 150);
}

bool can_claim_fifty_moves(const AttackTables& tables, const Board& board) {
  if (is_fifty_moves(tables, board)) return true;
  if (board.halfmove_clock < 99) return false;
  MoveList moves;
  position_moves(tables, board, moves);
  Board next;
  set_position(next, board);
  next.halfmove_clock = board.halfmove_clock;
  for (ChessMove move : moves) {
    (void)push_move(next, move);  // a legal move is always made
    const bool found = next.halfmove_clock >= 100 && has_legal_move(tables, next);
    pop_move(next);
    if (found) return true;
  }
  return false;
}

Outcome outcome(const AttackTables& tables, const Board& board, bool claim_draw) {
  const bool moves = has_legal_move(tables, board);
  if (!moves && in_check(tables, board)) {
    return Outcome{Termination::kCheckmate, true, ~side_to_move(board.state)};
  }
  if (is_insufficient_material(board)) return Outcome{Termination::kInsufficientMaterial};
  if (!moves) return Outcome{Termination::kStalemate};
  if (board.halfmove_clock >= 150) return Outcome{Termination::kSeventyfiveMoves};
  if (is_repetition(tables, board, 5)) return Outcome{Termination::kFivefoldRepetition};
  if (claim_draw) {
    if (can_claim_fifty_moves(tables, board)) return Outcome{Termination::kFiftyMoves};
    if (can_claim_threefold_repetition(tables, board)) {
      return Outcome{Termination::kThreefoldRepetition};
    }
  }
  return Outcome{};
}

}  // namespace orvex
