#include "move_generator/parallel_perft.h"

#include <algorithm>

#include "board/make_move.h"
#include "move_generator/legal_moves.h"
#include "move_generator/perft.h"

namespace orvex {
namespace {

// perft(depth), looking at stop before each subtree deeper than
// kUnstoppableDepth.
std::uint64_t stoppable_perft(const AttackTables& tables, Board& board, int depth,
                              const StopFlag& stop) {
  if (depth <= kUnstoppableDepth) return perft(tables, board, depth);
  MoveList moves;
  legal_moves(tables, board, moves);
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    if (stop.requested()) return nodes;
    (void)push_move(board, move);  // generated moves are never refused
    nodes += stoppable_perft(tables, board, depth - 1, stop);
    pop_move(board);
  }
  return nodes;
}

}  // namespace

PerftPieces perft_pieces(const AttackTables& tables, Board& board, int depth) {
  PerftPieces pieces;
  pieces.depth = depth;
  pieces.plies = depth >= 3 ? 2 : depth == 2 ? 1 : 0;
  if (pieces.plies == 0) {
    pieces.prefixes.push_back({});
    return pieces;
  }
  MoveList first;
  legal_moves(tables, board, first);
  for (ChessMove move : first) {
    if (pieces.plies == 1) {
      pieces.prefixes.push_back({move, ChessMove{}});
      continue;
    }
    (void)push_move(board, move);
    MoveList second;
    legal_moves(tables, board, second);
    pop_move(board);
    for (ChessMove reply : second) pieces.prefixes.push_back({move, reply});
  }
  return pieces;
}

std::uint64_t count_piece(const AttackTables& tables, Board& board, const PerftPieces& pieces,
                          std::size_t piece, const StopFlag& stop) {
  const auto& prefix = pieces.prefixes[piece];
  for (int i = 0; i < pieces.plies; ++i) (void)push_move(board, prefix[i]);
  const std::uint64_t nodes = stoppable_perft(tables, board, pieces.depth - pieces.plies, stop);
  for (int i = 0; i < pieces.plies; ++i) pop_move(board);
  return nodes;
}

std::uint64_t parallel_perft(const AttackTables& tables, const Board& board, int depth,
                             unsigned threads, StopFlag& stop) {
  Board root = position_copy(board);
  const PerftPieces pieces = perft_pieces(tables, root, depth);
  std::vector<std::uint64_t> counts(pieces.prefixes.size());
  PerWorker<Board> boards(std::max(threads, 1u), root);
  parallel_for(counts.size(), threads, stop, [&](std::size_t piece, unsigned worker) {
    counts[piece] = count_piece(tables, boards[worker], pieces, piece, stop);
  });
  std::uint64_t nodes = 0;
  for (std::uint64_t n : counts) nodes += n;
  return nodes;
}

}  // namespace orvex
