#include "move_generator/attacks.h"

#include "move_generator/step_tables.h"

namespace orvex {
namespace {

// Squares from which a black pawn attacks s, and from which a white one does.
constexpr auto kBlackPawnSources = step_attacks(std::array<std::int16_t, 2>{7, 9}, 1);
constexpr auto kWhitePawnSources = step_attacks(std::array<std::int16_t, 2>{-7, -9}, 1);

}  // namespace

void get_k_moves(Bitboard movers, Bitboard own, const std::array<std::int16_t, 8>& steps,
                 int limit, MoveList& out) {
  while (movers) {
    const Square s = pop_lsb(movers);
    for (std::int16_t offset : steps) {
      const std::uint16_t t = step(s, offset);
      if (t > 63 || file_distance(t, s) > limit || has_square(own, static_cast<Square>(t))) continue;
      out.push(ChessMove::pack(s, t, kOrdinary));
    }
  }
}

void magic_moves(const AttackTables& tables, const Board& board, Color us, Bitboard own,
                 Bitboard enemy, PieceType kind, MoveList& out) {
  Bitboard movers = board.pieces[make_kind(us, kind)] | board.pieces[make_kind(us, kQueen)];
  const Bitboard occupancy = own | enemy;
  while (movers) {
    const Square s = pop_lsb(movers);
    Bitboard targets =
        (kind == kRook ? tables.rook_attacks(s, occupancy) : tables.bishop_attacks(s, occupancy)) &
        ~own;
    while (targets) out.push(ChessMove::pack(s, pop_lsb(targets), kOrdinary));
  }
}

bool square_in_check(const AttackTables& tables, const Board& board, Square square, Color colour) {
  return square_attacked(tables, board, square, colour, occupancy(board));
}

bool square_attacked(const AttackTables& tables, const Board& board, Square square, Color colour,
                     Bitboard occupancy) {
  const int base = color_base(~colour);
  const auto& p = board.pieces;
  if (kKnightAttacks[square] & p[base + kKnight]) return true;
  const Bitboard pawn_sources = colour == kWhite ? kBlackPawnSources[square] : kWhitePawnSources[square];
  if (pawn_sources & p[base + kPawn]) return true;
  if (tables.rook_attacks(square, occupancy) & (p[base + kRook] | p[base + kQueen])) return true;
  if (tables.bishop_attacks(square, occupancy) & (p[base + kBishop] | p[base + kQueen])) return true;
  return (kKingAttacks[square] & p[base + kKing]) != 0;
}

bool in_check(const AttackTables& tables, const Board& board) {
  const Color us = side_to_move(board.state);
  const Bitboard king = board.pieces[make_kind(us, kKing)];
  return king != 0 && square_in_check(tables, board, lsb(king), us);
}

Bitboard attackers_of(const AttackTables& tables, const Board& board, Square square, Color colour,
                      Bitboard occupancy) {
  const int base = color_base(~colour);
  const auto& p = board.pieces;
  const Bitboard pawn_sources = colour == kWhite ? kBlackPawnSources[square] : kWhitePawnSources[square];
  return (kKnightAttacks[square] & p[base + kKnight]) | (pawn_sources & p[base + kPawn]) |
         (tables.rook_attacks(square, occupancy) & (p[base + kRook] | p[base + kQueen])) |
         (tables.bishop_attacks(square, occupancy) & (p[base + kBishop] | p[base + kQueen])) |
         (kKingAttacks[square] & p[base + kKing]);
}

}  // namespace orvex
