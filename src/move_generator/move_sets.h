// The legal moves of the side to move as sets of target squares: each piece
// with the squares it may go to, the pawns' moves by kind with their targets.
// Counting the moves is adding up the sets' sizes; the perft walk makes a
// child position for each member. Only for boards whose side to move has
// exactly one king and whose squares hold at most one piece each.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "base/types.h"
#include "move_generator/attack_tables.h"
#include "move_generator/attacks.h"
#include "move_generator/castling_paths.h"
#include "move_generator/king_threats.h"
#include "move_generator/lines.h"
#include "move_generator/pawn_side.h"
#include "move_generator/step_tables.h"

namespace orvex {

// Hands the sink the pushes and captures of the pawns whose targets lie in
// allowed: sink.steps<Offset>(targets) for single steps that do not promote
// (each from target - Offset), sink.double_pushes<Offset>(targets) and
// sink.promotions<Offset>(targets) (four moves each).
template <Color Us, class Sink>
inline void visit_pawn_moves(Bitboard pawns, Bitboard enemy, Bitboard occupancy, Bitboard allowed, Sink& sink) {
  using S = PawnSide<Us>;
  const Bitboard first = shift<S::kFirst>(pawns & ~S::kFirstEdge) & enemy & allowed;
  const Bitboard second = shift<S::kSecond>(pawns & ~S::kSecondEdge) & enemy & allowed;
  const Bitboard single = shift<S::kPush>(pawns) & ~occupancy;
  const Bitboard push = single & allowed;
  sink.template double_pushes<2 * S::kPush>(shift<S::kPush>(single & S::kDoubleStep) & ~occupancy & allowed);
  if (!(pawns & S::kPrePromotion)) {
    sink.template steps<S::kFirst>(first);
    sink.template steps<S::kSecond>(second);
    sink.template steps<S::kPush>(push);
    return;
  }
  constexpr Bitboard last = S::kPromotion;
  sink.template steps<S::kFirst>(first & ~last);
  sink.template steps<S::kSecond>(second & ~last);
  sink.template steps<S::kPush>(push & ~last);
  sink.template promotions<S::kFirst>(first & last);
  sink.template promotions<S::kSecond>(second & last);
  sink.template promotions<S::kPush>(push & last);
}

// Hands the sink the slides of a rook or bishop (Kind) on s, or of a queen
// when s is among queens, along that kind's lines.
template <PieceType Kind, class Sink>
inline void slides(Sink& sink, Bitboard queens, Square s, Bitboard targets) {
  if (has_square(queens, s)) {
    sink.template piece<kQueen>(s, targets);
  } else {
    sink.template piece<Kind>(s, targets);
  }
}

// Whether a Chess960 castling whose squares are empty is safe, given the
// squares of its king's path the enemy attacks with the king lifted: none of
// them, and its destination not attacked once king and rook have moved. Only
// an enemy rook or queen on the first rank sees the destination through the
// rook's square or is stopped by the rook's destination; without one the
// attacked squares alone tell.
template <Color Us>
inline bool chess960_castling_safe(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                                   const CastlingPath& c, Square king, Bitboard occupancy, Bitboard attacked) {
  constexpr int them = color_base(~Us);
  if (!((p[them + kRook] | p[them + kQueen]) & first_rank(Us))) return !(attacked & c.must_be_safe);
  if (attacked & c.must_be_safe & ~square_bb(c.king_to)) return false;
  const Bitboard after = (occupancy & ~square_bb(king) & ~square_bb(c.rook_from)) | square_bb(c.rook_to);
  return !square_attacked(tables, p, c.king_to, Us, after);
}

// Whether the sink wants no more moves. A sink with a member done() may end
// the walk early (at the first move, say); the others are handed every move,
// and for them the walk has no such test at all.
template <class Sink>
inline bool sink_done(const Sink& sink) {
  if constexpr (requires { sink.done(); }) {
    return sink.done();
  } else {
    return false;
  }
}

// Hands the sink every legal move of Us, whose pieces stand on own and its
// enemy's on enemy, on a board where Us has exactly one king and no square
// holds two pieces, and returns the sink: sink.piece<Type>(from, targets) for
// the moves of a king, knight, bishop, rook or queen (several calls may name
// the same piece), sink.castling(path), sink.en_passant(from, to), and the
// pawn moves as visit_pawn_moves gives them. Moves come in no particular
// order. The sink is taken by value so that what it adds up can stay in
// registers. With KingsApart the caller knows more of the board: the enemy
// has exactly one king too, and it does not stand next to the king of Us (as
// on every board legal play reaches from such a board). The king's steps come
// first, then castling, knights, pawns, sliders, pinned pieces, en passant;
// a sink that is done (sink_done) after one of them, or after any one piece,
// is handed no more. The castlings are standard chess's, or with Chess960
// castling rules (Chess960Castlings) that board's: sink.castling(path) then
// names the rook's square and both destinations.
template <Color Us, bool KingsApart = false, class Sink, class Castlings = StandardCastlings>
inline Sink visit_legal_moves(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                              std::uint64_t state, Bitboard own, Bitboard enemy, Sink sink,
                              Castlings castling_rules = Castlings{}) {
  using S = PawnSide<Us>;
  constexpr int us = color_base(Us);
  const Bitboard occupancy = own | enemy;
  const Square king = lsb(p[us + kKing]);
  const KingThreats threats = king_threats<Us, KingsApart>(p, king, own, occupancy);

  // Where the pieces other than the king may land.
  Bitboard allowed = ~own;
  // The king steps onto squares the enemy does not attack with the king
  // lifted; castling, out of check, goes over empty squares no enemy piece
  // attacks (the king's own square blocks no line to them that would not
  // give check).
  const Bitboard steps = kKingAttacks[king] & ~own;
  Bitboard zone = steps;
  unsigned castlings = 0;  // bit i: castling i may go if its squares are safe
  if (threats.checkers) {
    allowed = threats.checkers | between(king, lsb(threats.checkers));
    if (threats.checkers & (threats.checkers - 1)) allowed = 0;  // double check: the king must step
  } else if constexpr (!Castlings::kChess960) {
    if ((state & (Us == kWhite ? 0x6 : 0x18)) && king == (Us == kWhite ? kE1 : kE8)) {
      for (unsigned i = 0; i < 2; ++i) {
        const CastlingPath& c = kCastlingPaths[Us][i];
        if ((state & c.right) && !(occupancy & c.must_be_empty)) {
          castlings |= 1u << i;
          zone |= c.must_be_safe;
        }
      }
    }
  } else if ((state & (Us == kWhite ? 0x6 : 0x18)) && king == castling_rules.king_home(Us)) {
    for (unsigned i = 0; i < 2; ++i) {
      const CastlingPath& c = castling_rules.path(Us, i);
      if ((state & c.right) && !(occupancy & c.must_be_empty)) {
        castlings |= 1u << i;
        zone |= c.must_be_safe;
      }
    }
  }
  const Bitboard attacked = attacked_in<Us, KingsApart>(tables, p, zone, occupancy ^ square_bb(king));
  sink.template piece<kKing>(king, steps & ~attacked);
  if (!allowed || sink_done(sink)) return sink;
  if (castlings) {
    if constexpr (!Castlings::kChess960) {
      for (unsigned i = 0; i < 2; ++i) {
        if (((castlings >> i) & 1) && !(attacked & kCastlingPaths[Us][i].must_be_safe)) sink.castling(kCastlingPaths[Us][i]);
      }
    } else {
      for (unsigned i = 0; i < 2; ++i) {
        const CastlingPath& c = castling_rules.path(Us, i);
        if (((castlings >> i) & 1) && chess960_castling_safe<Us>(tables, p, c, king, occupancy, attacked)) {
          sink.castling(c);
        }
      }
    }
    if (sink_done(sink)) return sink;
  }

  const Bitboard pinned = threats.pinned;
  for (Bitboard b = p[us + kKnight] & ~pinned; b;) {
    const Square s = pop_lsb(b);
    sink.template piece<kKnight>(s, kKnightAttacks[s] & allowed);
    if (sink_done(sink)) return sink;
  }
  const Bitboard pawns = p[us + kPawn];
  visit_pawn_moves<Us>(pawns & ~pinned, enemy, occupancy, allowed, sink);
  if (sink_done(sink)) return sink;
  // A queen's straight and diagonal moves come in two calls.
  const Bitboard queens = p[us + kQueen];
  const Bitboard straight = p[us + kRook] | queens;
  const Bitboard diagonal = p[us + kBishop] | queens;
  for (Bitboard b = straight & ~pinned; b;) {
    const Square s = pop_lsb(b);
    slides<kRook>(sink, queens, s, tables.rook_attacks(s, occupancy) & allowed);
    if (sink_done(sink)) return sink;
  }
  for (Bitboard b = diagonal & ~pinned; b;) {
    const Square s = pop_lsb(b);
    slides<kBishop>(sink, queens, s, tables.bishop_attacks(s, occupancy) & allowed);
    if (sink_done(sink)) return sink;
  }

  // A pinned piece moves only along the line through the king and itself (a
  // pinned knight not at all).
  if (pinned) {
    for (Bitboard b = pinned & pawns; b;) {
      const Square s = pop_lsb(b);
      visit_pawn_moves<Us>(square_bb(s), enemy, occupancy, allowed & line_through(king, s), sink);
      if (sink_done(sink)) return sink;
    }
    for (Bitboard b = pinned & straight; b;) {
      const Square s = pop_lsb(b);
      slides<kRook>(sink, queens, s, tables.rook_attacks(s, occupancy) & allowed & line_through(king, s));
      if (sink_done(sink)) return sink;
    }
    for (Bitboard b = pinned & diagonal; b;) {
      const Square s = pop_lsb(b);
      slides<kBishop>(sink, queens, s, tables.bishop_attacks(s, occupancy) & allowed & line_through(king, s));
      if (sink_done(sink)) return sink;
    }
  }

  // En passant onto an empty target the state word names, tried on the masks
  // with the two pawns lifted.
  if (!(state & std::uint64_t{0xFF} << en_passant_base(Us))) return sink;
  if (const Bitboard targets = en_passant_targets<Us>(state, occupancy)) {
    for (Bitboard b = shift<-S::kFirst>(shift<S::kFirst>(pawns & ~S::kFirstEdge) & targets); b;) {
      const Square s = pop_lsb(b);
      if (!en_passant_exposes_king<Us>(tables, p, king, occupancy, s, shifted(s, S::kFirst))) {
        sink.en_passant(s, shifted(s, S::kFirst));
      }
    }
    for (Bitboard b = shift<-S::kSecond>(shift<S::kSecond>(pawns & ~S::kSecondEdge) & targets); b;) {
      const Square s = pop_lsb(b);
      if (!en_passant_exposes_king<Us>(tables, p, king, occupancy, s, shifted(s, S::kSecond))) {
        sink.en_passant(s, shifted(s, S::kSecond));
      }
    }
  }
  return sink;
}

}  // namespace orvex
