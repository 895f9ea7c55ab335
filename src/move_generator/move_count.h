// Counting the legal moves of a position from masks alone, without writing
// them: what the last ply of perft needs.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "base/types.h"
#include "move_generator/attack_tables.h"
#include "move_generator/move_sets.h"

namespace orvex {

// When the side to move has exactly one king and no square holds two pieces,
// sets count to the number of legal moves of the side to move (the length of
// the list legal_moves_one_king writes, a promotion counting once per piece)
// and returns true; otherwise returns false and leaves count alone.
bool count_legal_moves_one_king(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& pieces,
                                std::uint64_t state, std::uint64_t& count);

// Adds up the sizes of the sets visit_legal_moves hands it.
struct MoveCounter {
  unsigned n = 0;

  template <PieceType Type>
  void piece(Square, Bitboard targets) {
    n += std::popcount(targets);
  }
  template <int Offset>
  void steps(Bitboard targets) {
    n += std::popcount(targets);
  }
  template <int Offset>
  void double_pushes(Bitboard targets) {
    n += std::popcount(targets);
  }
  template <int Offset>
  void promotions(Bitboard targets) {
    n += 4 * std::popcount(targets);
  }
  void en_passant(Square, Square) { ++n; }
  void castling(const CastlingPath&) { ++n; }
};

// Returns the number of legal moves of Us, whose pieces stand on own and its
// enemy's on enemy, on a board where Us has exactly one king and no square
// holds two pieces (KingsApart and the castlings as for visit_legal_moves).
template <Color Us, bool KingsApart = false, class Castlings = StandardCastlings>
inline unsigned count_legal_moves(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                                  std::uint64_t state, Bitboard own, Bitboard enemy,
                                  Castlings castling_rules = Castlings{}) {
  return visit_legal_moves<Us, KingsApart>(tables, p, state, own, enemy, MoveCounter{}, castling_rules).n;
}

}  // namespace orvex
