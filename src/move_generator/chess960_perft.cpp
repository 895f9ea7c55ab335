#include "move_generator/perft.h"

#include "move_generator/perft_walk.h"

namespace orvex {

std::uint64_t chess960_perft(const AttackTables& tables, Board& board, int depth) {
  using namespace perft_walk;
  if (depth <= 0) return 1;
  if (!rights_name_rooks(board)) return chess960_list_perft(tables, board, depth);
  const CastlingRightsBySide rights = castling_rights_by_side(board.castling_rooks.mask());
  const Chess960Paths paths(board.pieces, board.castling_rooks);
  return walk(tables, Position{board.pieces, board.state}, depth,
              Chess960Castling{&board.castling_rooks, &rights, Chess960Castlings{&paths}});
}

}  // namespace orvex
