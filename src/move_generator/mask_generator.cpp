#include "move_generator/mask_generator.h"

#include <bit>
#include <cassert>

#include "move_generator/castling_paths.h"
#include "move_generator/king_threats.h"
#include "move_generator/lines.h"
#include "move_generator/pawn_side.h"
#include "move_generator/side_occupancy.h"
#include "move_generator/step_tables.h"

namespace orvex {
namespace {

// Packs a move; the to-square may be off the board (wrapped) when the move
// is written only to be dropped.
constexpr ChessMove code(unsigned from, unsigned to, unsigned special) {
  return ChessMove(static_cast<std::uint16_t>(from | (to & 63) << 6 | special << 12));
}

// The pawn moves of a set of pawns as sets of from-squares, one per kind of
// move in the per-pawn order.
struct PawnSets {
  Bitboard first = 0, first_ep = 0, second = 0, second_ep = 0, push = 0, double_push = 0;

  Bitboard any() const { return first | first_ep | second | second_ep | push | double_push; }
};

// Adds the captures and pushes of the pawns whose targets must lie in allowed.
template <Color Us>
void add_pawn_moves(Bitboard pawns, Bitboard enemy, Bitboard occupancy, Bitboard allowed,
                    PawnSets& sets) {
  using S = PawnSide<Us>;
  sets.first |= shift<-S::kFirst>(shift<S::kFirst>(pawns & ~S::kFirstEdge) & enemy & allowed);
  sets.second |= shift<-S::kSecond>(shift<S::kSecond>(pawns & ~S::kSecondEdge) & enemy & allowed);
  const Bitboard single = shift<S::kPush>(pawns) & ~occupancy;
  sets.push |= shift<-S::kPush>(single & allowed);
  const Bitboard twice = shift<S::kPush>(single & S::kDoubleStep) & ~occupancy & allowed;
  sets.double_push |= shift<-2 * S::kPush>(twice);
}

// Everything worked out once per call.
struct Context {
  const AttackTables& tables;
  const std::array<Bitboard, kPieceKinds>& p;
  Bitboard own, enemy, occupancy;
  Square king;
  Bitboard checkers, pinned;
  // Where a move other than the king's must land: anywhere, the single checker
  // or a square between it and the king, or nowhere in double check.
  Bitboard evasions;
};

// The code of a pawn's move by offset: from | (from + offset) << 6 |
// special << 12 is from * 65 plus this. Off the board it is garbage, which
// is fine for a move written only to be dropped.
constexpr ChessMove pawn_code(unsigned from, int offset, unsigned special) {
  return ChessMove(static_cast<std::uint16_t>(from * 65 + static_cast<unsigned>(offset * 64) +
                                              (special << 12)));
}

// Writes the moves of one pawn; a move is kept when its bit is set. Without
// en-passant captures (WithEnPassant false) those two are not looked at.
template <Color Us, bool WithEnPassant>
ChessMove* write_pawn(ChessMove* o, const PawnSets& sets, Square s) {
  using S = PawnSide<Us>;
  const unsigned from = s;
  o[0] = pawn_code(from, S::kFirst, kOrdinary);
  o += (sets.first >> s) & 1;
  if (WithEnPassant) {
    o[0] = pawn_code(from, S::kFirst, kEnPassant);
    o += (sets.first_ep >> s) & 1;
  }
  o[0] = pawn_code(from, S::kSecond, kOrdinary);
  o += (sets.second >> s) & 1;
  if (WithEnPassant) {
    o[0] = pawn_code(from, S::kSecond, kEnPassant);
    o += (sets.second_ep >> s) & 1;
  }
  o[0] = pawn_code(from, S::kPush, kOrdinary);
  o += (sets.push >> s) & 1;
  o[0] = pawn_code(from, 2 * S::kPush, kDoublePush);
  o += (sets.double_push >> s) & 1;
  return o;
}

// Writes the four promotions onto to, kept when keep is 1.
ChessMove* write_promotions(ChessMove* o, unsigned from, unsigned to, Bitboard keep) {
  for (unsigned special = kPromoteKnight; special <= kPromoteQueen; ++special) {
    o[special - kPromoteKnight] = code(from, to, special);
  }
  return o + 4 * keep;
}

template <Color Us>
ChessMove* write_promoting_pawn(ChessMove* o, const PawnSets& sets, Square s) {
  using S = PawnSide<Us>;
  const unsigned from = s;
  o = write_promotions(o, from, from + S::kFirst, (sets.first >> s) & 1);
  o = write_promotions(o, from, from + S::kSecond, (sets.second >> s) & 1);
  return write_promotions(o, from, from + S::kPush, (sets.push >> s) & 1);
}

template <Color Us>
ChessMove* write_pawn_moves(const Context& c, std::uint64_t state, ChessMove* o) {
  using S = PawnSide<Us>;
  const Bitboard pawns = c.p[make_kind(Us, kPawn)];
  if (!pawns) return o;
  PawnSets sets;
  add_pawn_moves<Us>(pawns & ~c.pinned, c.enemy, c.occupancy, c.evasions, sets);
  for (Bitboard pinned = pawns & c.pinned; pinned;) {
    const Square s = pop_lsb(pinned);
    add_pawn_moves<Us>(square_bb(s), c.enemy, c.occupancy, c.evasions & line_through(c.king, s), sets);
  }

  // En passant onto an empty target of a file the state word names; rare, so
  // each one is tried on the masks with the two pawns lifted.
  const Bitboard ep_targets = en_passant_targets<Us>(state, c.occupancy);
  if (ep_targets) {
    Bitboard first = shift<-S::kFirst>(shift<S::kFirst>(pawns & ~S::kFirstEdge) & ep_targets);
    Bitboard second = shift<-S::kSecond>(shift<S::kSecond>(pawns & ~S::kSecondEdge) & ep_targets);
    while (first) {
      const Square s = pop_lsb(first);
      if (!en_passant_exposes_king<Us>(c.tables, c.p, c.king, c.occupancy, s, shifted(s, S::kFirst))) {
        sets.first_ep |= square_bb(s);
      }
    }
    while (second) {
      const Square s = pop_lsb(second);
      if (!en_passant_exposes_king<Us>(c.tables, c.p, c.king, c.occupancy, s, shifted(s, S::kSecond))) {
        sets.second_ep |= square_bb(s);
      }
    }
  }

  // Pawns go from a1 towards h8: white's promoting pawns come after the
  // others, black's before.
  const Bitboard movers = sets.any();
  Bitboard promoting = movers & S::kPrePromotion;
  Bitboard plain = movers & ~S::kPrePromotion;
  if (Us == kBlack) {
    while (promoting) o = write_promoting_pawn<Us>(o, sets, pop_lsb(promoting));
  }
  if (sets.first_ep | sets.second_ep) {
    while (plain) o = write_pawn<Us, true>(o, sets, pop_lsb(plain));
  } else {
    while (plain) o = write_pawn<Us, false>(o, sets, pop_lsb(plain));
  }
  if (Us == kWhite) {
    while (promoting) o = write_promoting_pawn<Us>(o, sets, pop_lsb(promoting));
  }
  return o;
}

// Writes the slides of movers along straight (rook) or diagonal lines.
template <PieceType Kind>
ChessMove* write_slides(const Context& c, Bitboard movers, ChessMove* o) {
  while (movers) {
    const Square s = pop_lsb(movers);
    Bitboard targets = (Kind == kRook ? c.tables.rook_attacks(s, c.occupancy)
                                      : c.tables.bishop_attacks(s, c.occupancy)) &
                       ~c.own & c.evasions;
    if (has_square(c.pinned, s)) targets &= line_through(c.king, s);
    const unsigned from = s;
    while (targets) *o++ = ChessMove::pack(from, pop_lsb(targets), kOrdinary);
  }
  return o;
}

template <Color Us>
void generate(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
              std::uint64_t state, Bitboard own, Bitboard enemy, MoveList& out) {
  constexpr int us = color_base(Us);
  const Bitboard occupancy = own | enemy;
  const Square king = lsb(p[us + kKing]);

  const KingThreats threats = king_threats<Us>(p, king, own, occupancy);
  const Bitboard checkers = threats.checkers;
  const Bitboard pinned = threats.pinned;

  ChessMove* o = out.tail();

  // King steps onto squares no enemy piece attacks with the king lifted;
  // castling, out of check, over empty squares no enemy piece attacks (the
  // king's own square blocks no line to them that would not give check, and
  // with the king not in check its target stays unattacked once the king and
  // the rook have moved).
  const Bitboard steps = kKingAttacks[king] & ~own;
  Bitboard zone = steps;
  unsigned castlings = 0;  // bit i: castling i may go if its squares are safe
  if (!checkers && (state & (Us == kWhite ? 0x6 : 0x18)) && king == (Us == kWhite ? kE1 : kE8)) {
    for (unsigned i = 0; i < 2; ++i) {
      const CastlingPath& path = kCastlingPaths[Us][i];
      if ((state & path.right) && !(occupancy & path.must_be_empty)) {
        castlings |= 1u << i;
        zone |= path.must_be_safe;
      }
    }
  }
  const Bitboard attacked = attacked_in<Us>(tables, p, zone, occupancy ^ square_bb(king));
  if (const Bitboard safe = steps & ~attacked) {
    const StepTargets& targets = kKingTargets[king];
    for (int i = 0; i < targets.count; ++i) {
      const unsigned t = targets.squares[i];
      *o = code(king, t, kOrdinary);
      o += (safe >> t) & 1;
    }
  }
  for (unsigned i = 0; castlings >> i; ++i) {
    const CastlingPath& path = kCastlingPaths[Us][i];
    if (((castlings >> i) & 1) && !(attacked & path.must_be_safe)) {
      *o++ = ChessMove::pack(king, path.king_to, kCastling);
    }
  }

  Bitboard evasions = ~Bitboard{0};
  if (checkers) {
    if (checkers & (checkers - 1)) {
      out.set_tail(o);  // double check: the king must step
      return;
    }
    evasions = checkers | between(king, lsb(checkers));
  }

  const Context c{tables, p, own, enemy, occupancy, king, checkers, pinned, evasions};

  // Knight steps; a pinned knight cannot move.
  for (Bitboard knights = p[us + kKnight] & ~pinned; knights;) {
    const Square s = pop_lsb(knights);
    const Bitboard targets = kKnightAttacks[s] & ~own & evasions;
    if (!targets) continue;
    const StepTargets& steps = kKnightTargets[s];
    for (int i = 0; i < steps.count; ++i) {
      const unsigned t = steps.squares[i];
      *o = code(s, t, kOrdinary);
      o += (targets >> t) & 1;
    }
  }

  o = write_pawn_moves<Us>(c, state, o);
  o = write_slides<kRook>(c, p[us + kRook] | p[us + kQueen], o);
  o = write_slides<kBishop>(c, p[us + kBishop] | p[us + kQueen], o);
  out.set_tail(o);
}

}  // namespace

bool legal_moves_one_king(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                          std::uint64_t state, MoveList& out) {
  assert(out.size() == 0);
  const Sides sides(p);
  const Color us = side_to_move(state);
  if (sides.shared || !std::has_single_bit(p[make_kind(us, kKing)])) return false;
  if (us == kWhite) {
    generate<kWhite>(tables, p, state, sides.white, sides.black, out);
  } else {
    generate<kBlack>(tables, p, state, sides.black, sides.white, out);
  }
  return true;
}

}  // namespace orvex
