#include "move_generator/has_legal_move.h"

#include <bit>

#include "move_generator/king_threats.h"
#include "move_generator/legal_moves.h"
#include "move_generator/move_sets.h"
#include "move_generator/side_occupancy.h"

namespace orvex {
namespace {

// A sink that is done at the first move handed to it.
struct FirstMove {
  bool found = false;

  bool done() const { return found; }
  template <PieceType Type>
  void piece(Square, Bitboard targets) {
    found |= targets != 0;
  }
  template <int Offset>
  void steps(Bitboard targets) {
    found |= targets != 0;
  }
  template <int Offset>
  void double_pushes(Bitboard targets) {
    found |= targets != 0;
  }
  template <int Offset>
  void promotions(Bitboard targets) {
    found |= targets != 0;
  }
  void en_passant(Square, Square) { found = true; }
  void castling(const CastlingPath&) { found = true; }
};

// Whether Us, on a board with one king of Us and no shared square, has a
// legal move: a safe king step, looked for before any check or pin, which
// most boards have; else the first move of the walk over the move sets.
template <Color Us>
bool one_king_has_move(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                       std::uint64_t state, Bitboard own, Bitboard enemy) {
  const Square king = lsb(p[make_kind(Us, kKing)]);
  const Bitboard steps = kKingAttacks[king] & ~own;
  if (steps & ~attacked_in<Us>(tables, p, steps, (own | enemy) ^ square_bb(king))) return true;
  return visit_legal_moves<Us>(tables, p, state, own, enemy, FirstMove{}).found;
}

}  // namespace

bool has_legal_move(const AttackTables& tables, const Board& board) {
  const auto& p = board.pieces;
  const Sides sides(p);
  const Color us = side_to_move(board.state);
  if (!board.chess960 && !sides.shared && std::has_single_bit(p[make_kind(us, kKing)])) {
    return us == kWhite ? one_king_has_move<kWhite>(tables, p, board.state, sides.white, sides.black)
                        : one_king_has_move<kBlack>(tables, p, board.state, sides.black, sides.white);
  }
  MoveList moves;
  position_moves(tables, board, moves);
  return moves.size() != 0;
}

}  // namespace orvex
