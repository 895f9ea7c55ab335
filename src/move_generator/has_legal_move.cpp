#include "move_generator/has_legal_move.h"

#include <bit>

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

}  // namespace

bool has_legal_move(const AttackTables& tables, const Board& board) {
  const auto& p = board.pieces;
  const Sides sides(p);
  const Color us = side_to_move(board.state);
  if (!sides.shared && std::has_single_bit(p[make_kind(us, kKing)])) {
    const FirstMove first =
        us == kWhite ? visit_legal_moves<kWhite>(tables, p, board.state, sides.white, sides.black, FirstMove{})
                     : visit_legal_moves<kBlack>(tables, p, board.state, sides.black, sides.white, FirstMove{});
    return first.found;
  }
  MoveList moves;
  position_moves(tables, board, moves);
  return moves.size() != 0;
}

}  // namespace orvex
