#include "move_generator/perft.h"

#include "board/make_move.h"
#include "move_generator/legal_moves.h"
#include "move_generator/mask_generator.h"
#include "move_generator/position_move.h"

namespace orvex {
namespace {

std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth);

// The general walk for a board the masks cannot reason about: a real board
// with its undo stacks.
std::uint64_t walk_board(const AttackTables& tables, const Position& pos, int depth) {
  Board board;
  board.pieces = pos.pieces;
  board.state = pos.state;
  MoveList moves;
  legal_moves(tables, board, moves);
  if (depth == 1) return moves.size();
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    (void)push_move(board, move);  // generated moves are never refused
    nodes += walk(tables, Position{board.pieces, board.state}, depth - 1);
    pop_move(board);
  }
  return nodes;
}

std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth) {
  MoveList moves;
  if (!legal_moves_one_king(tables, pos.pieces, pos.state, moves)) {
    return walk_board(tables, pos, depth);
  }
  if (depth == 1) return moves.size();
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    Position child = pos;
    make_position_move(child, move);
    nodes += walk(tables, child, depth - 1);
  }
  return nodes;
}

}  // namespace

std::uint64_t perft(const AttackTables& tables, Board& board, int depth) {
  if (depth <= 0) return 1;
  return walk(tables, Position{board.pieces, board.state}, depth);
}

}  // namespace orvex
