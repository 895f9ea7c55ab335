#include "move_generator/perft.h"

#include "board/make_move.h"
#include "move_generator/legal_moves.h"

namespace orvex {

std::uint64_t perft(const AttackTables& tables, Board& board, int depth) {
  if (depth <= 0) return 1;
  MoveList moves;
  legal_moves(tables, board, moves);
  if (depth == 1) return moves.size();
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    (void)push_move(board, move);  // generated moves are never refused
    nodes += perft(tables, board, depth - 1);
    pop_move(board);
  }
  return nodes;
}

}  // namespace orvex
