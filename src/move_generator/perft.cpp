#include "move_generator/perft.h"

#include "move_generator/perft_walk.h"

namespace orvex {

std::uint64_t perft(const AttackTables& tables, Board& board, int depth) {
  if (depth <= 0) return 1;
  if (board.chess960) return chess960_perft(tables, board, depth);
  return perft_walk::walk(tables, Position{board.pieces, board.state}, depth, perft_walk::StandardCastling{});
}

}  // namespace orvex
