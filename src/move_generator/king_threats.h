// What threatens the king of the side to move: the pieces giving check, the
// own pieces pinned to it, the squares around it the enemy attacks, and
// whether an en-passant capture would expose it.
// Shared by the generator that writes legal moves and the one that counts them.
#pragma once

#include <array>
#include <bit>

#include "base/types.h"
#include "move_generator/attack_tables.h"
#include "move_generator/lines.h"
#include "move_generator/pawn_side.h"
#include "move_generator/step_tables.h"

namespace orvex {

struct KingThreats {
  Bitboard checkers = 0;  // enemy pieces attacking the king
  Bitboard pinned = 0;    // own pieces that alone stand between the king and an enemy slider
};

// Enemy line pieces on the king's lines give check with nothing between them
// and the king, and pin the own piece that alone stands between. With
// KingsApart the caller knows that no enemy king stands next to the king.
template <Color Us, bool KingsApart = false>
inline KingThreats king_threats(const std::array<Bitboard, kPieceKinds>& p, Square king, Bitboard own,
                                Bitboard occupancy) {
  constexpr int them = color_base(~Us);
  KingThreats t;
  Bitboard snipers = (straight_rays(king) & (p[them + kRook] | p[them + kQueen])) |
                     (diagonal_rays(king) & (p[them + kBishop] | p[them + kQueen]));
  while (snipers) {
    const Square s = pop_lsb(snipers);
    const Bitboard blockers = between(king, s) & occupancy;
    if (!blockers) {
      t.checkers |= square_bb(s);
    } else if (!(blockers & (blockers - 1))) {
      t.pinned |= blockers & own;
    }
  }
  const Bitboard pawn_sources = Us == kWhite ? kBlackPawnSources[king] : kWhitePawnSources[king];
  t.checkers |= (kKnightAttacks[king] & p[them + kKnight]) | (pawn_sources & p[them + kPawn]);
  if (!KingsApart) t.checkers |= kKingAttacks[king] & p[them + kKing];
  return t;
}

// Returns the squares of zone that the enemy of Us attacks, with the line
// pieces blocked by occupancy. A single square still open after the other
// pieces is looked at from itself, several from each line piece whose lines
// reach them. With OneEnemyKing the caller knows that the enemy has exactly
// one king.
template <Color Us, bool OneEnemyKing = false>
inline Bitboard attacked_in(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                            Bitboard zone, Bitboard occupancy) {
  constexpr int them = color_base(~Us);
  Bitboard attacked = pawn_attacks<~Us>(p[them + kPawn]);
  for (Bitboard b = p[them + kKnight]; b;) attacked |= kKnightAttacks[pop_lsb(b)];
  if (OneEnemyKing) {
    attacked |= kKingAttacks[lsb(p[them + kKing])];
  } else {
    for (Bitboard b = p[them + kKing]; b;) attacked |= kKingAttacks[pop_lsb(b)];
  }
  attacked &= zone;
  const Bitboard open = zone & ~attacked;
  if (!open) return attacked;
  const Bitboard straight = p[them + kRook] | p[them + kQueen];
  const Bitboard diagonal = p[them + kBishop] | p[them + kQueen];
  if (!(open & (open - 1))) {
    const Square s = lsb(open);
    if ((tables.rook_attacks(s, occupancy) & straight) | (tables.bishop_attacks(s, occupancy) & diagonal)) {
      attacked |= open;
    }
    return attacked;
  }
  for (Bitboard b = straight; b;) {
    const Square s = pop_lsb(b);
    if (straight_rays(s) & open) attacked |= tables.rook_attacks(s, occupancy) & open;
  }
  for (Bitboard b = diagonal; b;) {
    const Square s = pop_lsb(b);
    if (diagonal_rays(s) & open) attacked |= tables.bishop_attacks(s, occupancy) & open;
  }
  return attacked;
}

// Returns whether the king stands attacked after the en-passant capture
// from -> to, which lifts the pawn behind the target if an enemy pawn is there.
template <Color Us>
bool en_passant_exposes_king(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                             Square king, Bitboard occupancy, Square from, Square to) {
  constexpr int them = color_base(~Us);
  const Bitboard captured = p[them + kPawn] & square_bb(shifted(to, -PawnSide<Us>::kPush));
  const Bitboard after = (occupancy ^ square_bb(from) ^ square_bb(to)) & ~captured;
  const Bitboard pawn_sources = Us == kWhite ? kBlackPawnSources[king] : kWhitePawnSources[king];
  return ((kKnightAttacks[king] & p[them + kKnight]) |
          (pawn_sources & p[them + kPawn] & ~captured) |
          (tables.rook_attacks(king, after) & (p[them + kRook] | p[them + kQueen])) |
          (tables.bishop_attacks(king, after) & (p[them + kBishop] | p[them + kQueen])) |
          (kKingAttacks[king] & p[them + kKing])) != 0;
}

}  // namespace orvex
