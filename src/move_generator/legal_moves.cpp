#include "move_generator/legal_moves.h"

#include <algorithm>

#include "board/chess960.h"
#include "board/make_move.h"
#include "move_generator/attacks.h"
#include "move_generator/chess960_castlings.h"
#include "move_generator/lines.h"
#include "move_generator/mask_generator.h"

namespace orvex {
namespace {

// The per-side constants of pawn moves and castling.
struct SideConstants {
  int push;
  int capture_first;
  int capture_second;
  int double_push;
  int start_rank;
  int pre_promotion_rank;
  int en_passant_rank;
  int en_passant_base;
  Square king_home;
};

constexpr SideConstants kWhiteSide{8, 7, 9, 16, 1, 6, 4, state_bits::kWhiteEnPassantBase, kE1};
constexpr SideConstants kBlackSide{-8, -7, -9, -16, 6, 1, 3, state_bits::kBlackEnPassantBase, kE8};

struct Castling {
  std::uint64_t right;
  Square must_be_safe[2];
  Square must_be_empty;  // kNoSquare: none
  ChessMove move;
};

constexpr Castling kWhiteCastlings[2] = {
    {state_bits::kWhiteKingSide, {kF1, kG1}, kNoSquare, ChessMove::pack(kE1, kG1, kCastling)},
    {state_bits::kWhiteQueenSide, {kC1, kD1}, kB1, ChessMove::pack(kE1, kC1, kCastling)},
};
constexpr Castling kBlackCastlings[2] = {
    {state_bits::kBlackKingSide, {kF8, kG8}, kNoSquare, ChessMove::pack(kE8, kG8, kCastling)},
    {state_bits::kBlackQueenSide, {kC8, kD8}, kB8, ChessMove::pack(kE8, kC8, kCastling)},
};

void push_promotions(int from, int to, MoveList& out) {
  for (int code = kPromoteKnight; code <= kPromoteQueen; ++code) {
    out.push(ChessMove::pack(from, to, code));
  }
}

void pawn_moves(const Board& board, const SideConstants& side, Bitboard own_pawns, Bitboard enemy,
                Bitboard occupancy, Bitboard pawn_occupancy, MoveList& out) {
  while (own_pawns) {
    const Square s = pop_lsb(own_pawns);
    const int r = rank_of(s);
    for (int d : {side.capture_first, side.capture_second}) {
      const std::uint16_t t = step(s, d);
      if (t > 63 || file_distance(t, s) > 1) continue;
      if (has_square(enemy, static_cast<Square>(t))) {
        if (r == side.pre_promotion_rank) {
          push_promotions(s, t, out);
        } else {
          out.push(ChessMove::pack(s, t, kOrdinary));
        }
      }
      // En passant goes only onto an empty target: a piece there is either
      // captured above or the mover's own.
      if (r == side.en_passant_rank && (board.state >> (side.en_passant_base + (t & 7)) & 1) &&
          !has_square(occupancy, static_cast<Square>(t))) {
        out.push(ChessMove::pack(s, t, kEnPassant));
      }
    }
    const std::uint16_t t = step(s, side.push);
    if (t > 63 || has_square(pawn_occupancy, static_cast<Square>(t))) continue;
    if (r == side.pre_promotion_rank) {
      push_promotions(s, t, out);
      continue;
    }
    out.push(ChessMove::pack(s, t, kOrdinary));
    if (r == side.start_rank) {
      const std::uint16_t u = step(s, side.double_push);
      if (u <= 63 && !has_square(pawn_occupancy, static_cast<Square>(u))) {
        out.push(ChessMove::make(s, u, kDoublePush));
      }
    }
  }
}

// Appends the castlings of the side: king side, then queen side. Some king
// must stand on the home square, out of check; the right must be set; the
// squares the king crosses must be empty and not attacked, and on the queen
// side b1 (b8) empty too.
// Appends the Chess960 castlings of the side, king side then queen side,
// each written as the king taking its rook: every square between the king
// and its destination and between the rook and its destination empty but for
// the two, and none from the king's square to its destination attacked with
// the king lifted (where the king ends is tried when the move is made).
void chess960_castling_moves(const AttackTables& tables, const Board& board, Color us, Bitboard occupancy,
                             MoveList& out) {
  const Bitboard king_bb = board.pieces[make_kind(us, kKing)];
  if (!king_bb) return;
  const Square king = lsb(king_bb);
  const int first = us == kWhite ? 0 : 2;
  for (int i = first; i < first + 2; ++i) {
    if (!(board.state >> (i + 1) & 1)) continue;
    const Square rook = static_cast<Square>(board.castling_rooks[i]);
    const Square king_to = chess960_king_to(i);
    const Square rook_to = chess960_rook_to(i);
    const Bitboard king_path = between(king, king_to) | square_bb(king_to);
    const Bitboard crossed = king_path | between(rook, rook_to) | square_bb(rook_to);
    if (crossed & occupancy & ~square_bb(king) & ~square_bb(rook)) continue;
    const Bitboard without_king = occupancy ^ square_bb(king);
    bool safe = true;
    for (Bitboard b = (king_path & ~square_bb(king_to)) | square_bb(king); b && safe;) {
      safe = !square_attacked(tables, board, pop_lsb(b), us, without_king);
    }
    if (safe) out.push(ChessMove::pack(king, rook, kCastling));
  }
}

void castling_moves(const AttackTables& tables, const Board& board, Color us, Bitboard occupancy,
                    MoveList& out) {
  if (board.chess960) {
    chess960_castling_moves(tables, board, us, occupancy, out);
    return;
  }
  const SideConstants& side = us == kWhite ? kWhiteSide : kBlackSide;
  if (!has_square(board.pieces[make_kind(us, kKing)], side.king_home) ||
      square_in_check(tables, board, side.king_home, us)) {
    return;
  }
  for (const Castling& c : us == kWhite ? kWhiteCastlings : kBlackCastlings) {
    if (!(board.state & c.right)) continue;
    bool usable = true;
    for (Square s : c.must_be_safe) {
      if (has_square(occupancy, s) || square_in_check(tables, board, s, us)) {
        usable = false;
        break;
      }
    }
    if (usable && c.must_be_empty != kNoSquare && has_square(occupancy, c.must_be_empty)) {
      usable = false;
    }
    if (usable) out.push(c.move);
  }
}

}  // namespace

void generate_candidates(const AttackTables& tables, const Board& board, MoveList& out) {
  const Color us = side_to_move(board.state);
  const SideConstants& side = us == kWhite ? kWhiteSide : kBlackSide;
  const Bitboard own = side_occupancy(board, us);
  const Bitboard enemy = side_occupancy(board, ~us);
  const Bitboard occupancy = own | enemy;
  const Bitboard king = board.pieces[make_kind(us, kKing)];

  get_k_moves(king, own, kKingSteps, kKingStepLimit, out);

  castling_moves(tables, board, us, occupancy, out);

  get_k_moves(board.pieces[make_kind(us, kKnight)], own, kKnightSteps, kKnightStepLimit, out);
  pawn_moves(board, side, board.pieces[make_kind(us, kPawn)], enemy, occupancy, own ^ enemy, out);
  magic_moves(tables, board, us, own, enemy, kRook, out);
  magic_moves(tables, board, us, own, enemy, kBishop, out);
}

void generate_candidates_to(const AttackTables& tables, const Board& board, PieceType type,
                            Square to, MoveList& out) {
  const Color us = side_to_move(board.state);
  const Bitboard own = side_occupancy(board, us);
  // Only a Chess960 castling, the king taking its rook, goes onto its own piece.
  const bool onto_own = has_square(own, to);
  if (onto_own && !(board.chess960 && type == kKing)) return;
  const Bitboard enemy = side_occupancy(board, ~us);
  const Bitboard occupancy = own | enemy;
  const auto& p = board.pieces;
  Bitboard from = 0;
  switch (type) {
    case kPawn: {
      // The generator's pawn moves, looked at from the target: a push or
      // double push onto an empty square, a capture of an enemy piece, or an
      // en-passant capture onto an empty target.
      const SideConstants& side = us == kWhite ? kWhiteSide : kBlackSide;
      const Bitboard pawns = p[make_kind(us, kPawn)];
      const bool empty = !has_square(occupancy, to);
      for (int d : {side.capture_first, side.capture_second}) {
        const int s = to - d;
        if (s < 0 || s > 63 || file_distance(s, to) != 1 || !has_square(pawns, static_cast<Square>(s))) {
          continue;
        }
        const int r = s >> 3;
        if (has_square(enemy, to)) {
          if (r == side.pre_promotion_rank) {
            push_promotions(s, to, out);
          } else {
            out.push(ChessMove::pack(s, to, kOrdinary));
          }
        }
        if (r == side.en_passant_rank && (board.state >> (side.en_passant_base + file_of(to)) & 1) &&
            empty) {
          out.push(ChessMove::pack(s, to, kEnPassant));
        }
      }
      if (!empty) return;
      const int s = to - side.push;
      if (s < 0 || s > 63) return;
      if (has_square(pawns, static_cast<Square>(s))) {
        if ((s >> 3) == side.pre_promotion_rank) {
          push_promotions(s, to, out);
        } else {
          out.push(ChessMove::pack(s, to, kOrdinary));
        }
        return;
      }
      const int d = to - side.double_push;
      if (!has_square(occupancy, static_cast<Square>(s)) && d >= 0 && d <= 63 &&
          (d >> 3) == side.start_rank && has_square(pawns, static_cast<Square>(d))) {
        out.push(ChessMove::pack(d, to, kDoublePush));
      }
      return;
    }
    case kKnight:
      from = kKnightAttacks[to] & p[make_kind(us, kKnight)];
      break;
    case kBishop:
      from = tables.bishop_attacks(to, occupancy) & p[make_kind(us, kBishop)];
      break;
    case kRook:
      from = tables.rook_attacks(to, occupancy) & p[make_kind(us, kRook)];
      break;
    case kQueen:
      from = (tables.rook_attacks(to, occupancy) | tables.bishop_attacks(to, occupancy)) &
             p[make_kind(us, kQueen)];
      break;
    case kKing: {
      from = onto_own ? 0 : kKingAttacks[to] & p[make_kind(us, kKing)];
      while (from) out.push(ChessMove::pack(pop_lsb(from), to, kOrdinary));
      const SideConstants& side = us == kWhite ? kWhiteSide : kBlackSide;
      if (rank_of(to) != rank_of(side.king_home)) return;
      if (!board.chess960 && file_of(to) != 2 && file_of(to) != 6) return;
      MoveList castlings;
      castling_moves(tables, board, us, occupancy, castlings);
      for (ChessMove m : castlings) {
        if (m.to() == to) out.push(m);
      }
      return;
    }
  }
  while (from) out.push(ChessMove::pack(pop_lsb(from), to, kOrdinary));
}

namespace {

// Makes the move, asks whether the mover's king is attacked, and unmakes it.
// A move the board refuses is not kept; a mover left without a king keeps it.
bool keeps_king_safe(const AttackTables& tables, Board& board, ChessMove move) {
  if (push_move(board, move) != PushOutcome::kMade) return false;
  const Color mover = ~side_to_move(board.state);
  const Bitboard king = board.pieces[make_kind(mover, kKing)];
  const bool attacked = king != 0 && square_in_check(tables, board, lsb(king), mover);
  pop_move(board);
  return !attacked;
}

// Returns whether the pin shortcut can reason about the board: the side to
// move has exactly one king and no square holds two pieces. Sets occupancy to
// the union of all twelve bitboards.
bool shortcut_applies(const Board& board, Color us, Bitboard& occupancy) {
  Bitboard all = 0;
  Bitboard shared = 0;
  for (Bitboard b : board.pieces) {
    shared |= all & b;
    all |= b;
  }
  occupancy = all;
  const Bitboard king = board.pieces[make_kind(us, kKing)];
  return king != 0 && (king & (king - 1)) == 0 && shared == 0;
}

// Keeps the legal candidates of a board with one king and no shared squares,
// each tested on its own without making it (cheap for the short lists of SAN
// reading): after a move that is not the
// king's, the king is safe when no enemy piece but one on the target attacks
// it with the from-square emptied and the target filled. A king step is tested
// on the occupancy without the king; castling and en passant are made and
// unmade.
void filter_each(const AttackTables& tables, Board& board, Color us, Square king,
                Bitboard occupancy, MoveList& moves) {
  const Bitboard without_king = occupancy ^ square_bb(king);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < moves.size(); ++i) {
    const ChessMove move = moves[i];
    bool legal;
    if (move.special() == kCastling || move.special() == kEnPassant) {
      legal = keeps_king_safe(tables, board, move);
    } else if (move.from() == king) {
      legal = !square_attacked(tables, board, move.to(), us, without_king);
    } else {
      const Bitboard target = square_bb(move.to());
      const Bitboard after = (occupancy ^ square_bb(move.from())) | target;
      legal = !(attackers_of(tables, board, king, us, after) & ~target);
    }
    if (legal) moves[kept++] = move;
  }
  moves.resize_down(kept);
}

}  // namespace

void filter_by_make_unmake(const AttackTables& tables, Board& board, MoveList& moves) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < moves.size(); ++i) {
    if (keeps_king_safe(tables, board, moves[i])) moves[kept++] = moves[i];
  }
  moves.resize_down(kept);
}

void keep_legal(const AttackTables& tables, Board& board, MoveList& moves) {
  const Color us = side_to_move(board.state);
  Bitboard occupancy;
  if (shortcut_applies(board, us, occupancy)) {
    filter_each(tables, board, us, lsb(board.pieces[make_kind(us, kKing)]), occupancy, moves);
    return;
  }
  filter_by_make_unmake(tables, board, moves);
}

void chess960_legal_castlings(const AttackTables& tables, const Board& board, MoveList& out) {
  visit_chess960_castlings(tables, board.pieces, board.state, side_to_move(board.state), board.castling_rooks,
                           occupancy(board),
                           [&](int, Square king, Square rook) { out.push(ChessMove::pack(king, rook, kCastling)); });
}

namespace {

// The legal moves of a Chess960 board on which the masks apply: theirs
// without castling, and the Chess960 castlings in castling's place, after the
// king's steps. Returns false, out unspecified, where the masks do not apply.
bool chess960_legal_moves(const AttackTables& tables, const Board& board, MoveList& out) {
  if (!legal_moves_one_king(tables, board.pieces, board.state & ~state_bits::kCastlingRights, out)) {
    return false;
  }
  MoveList castlings;
  chess960_legal_castlings(tables, board, castlings);
  if (!castlings.size()) return true;
  const Square king = castlings[0].from();
  std::size_t at = 0;
  while (at < out.size() && out[at].from() == king) ++at;
  for (ChessMove m : castlings) out.push(m);
  std::rotate(out.tail() - out.size() + at, out.tail() - castlings.size(), out.tail());
  return true;
}

}  // namespace

void legal_moves(const AttackTables& tables, Board& board, MoveList& out) {
  if (board.chess960) {
    if (chess960_legal_moves(tables, board, out)) return;
    out.resize_down(0);
  } else if (legal_moves_one_king(tables, board.pieces, board.state, out)) {
    return;
  }
  generate_candidates(tables, board, out);
  filter_by_make_unmake(tables, board, out);
}

void position_moves(const AttackTables& tables, const Board& board, MoveList& out) {
  if (!board.chess960 && legal_moves_one_king(tables, board.pieces, board.state, out)) return;
  Board probe;
  set_position(probe, board);
  legal_moves(tables, probe, out);
}

}  // namespace orvex
