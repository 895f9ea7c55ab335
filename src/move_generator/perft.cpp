#include "move_generator/perft.h"

#include <algorithm>

#include "board/make_move.h"
#include "move_generator/legal_moves.h"

namespace orvex {
namespace {

// The walk itself; with a stop flag it looks at the flag once per node that
// has moves below it to walk.
std::uint64_t walk(const AttackTables& tables, Board& board, int depth, const StopFlag* stop) {
  if (depth <= 0) return 1;
  MoveList moves;
  legal_moves(tables, board, moves);
  if (depth == 1) return moves.size();
  if (stop && stop->requested()) return 0;
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    (void)push_move(board, move);  // generated moves are never refused
    nodes += walk(tables, board, depth - 1, stop);
    pop_move(board);
  }
  return nodes;
}

}  // namespace

std::uint64_t perft(const AttackTables& tables, Board& board, int depth) {
  return walk(tables, board, depth, nullptr);
}

std::uint64_t perft(const AttackTables& tables, Board& board, int depth, const StopFlag& stop) {
  return walk(tables, board, depth, &stop);
}

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
  const std::uint64_t nodes = walk(tables, board, pieces.depth - pieces.plies, &stop);
  for (int i = 0; i < pieces.plies; ++i) pop_move(board);
  return nodes;
}

std::uint64_t parallel_perft(const AttackTables& tables, const Board& board, int depth,
                             unsigned threads, StopFlag& stop) {
  Board root = position_copy(board);
  const PerftPieces pieces = perft_pieces(tables, root, depth);
  std::vector<std::uint64_t> counts(pieces.prefixes.size());
  std::vector<Board> boards(std::max(threads, 1u), root);
  parallel_for(counts.size(), threads, stop, [&](std::size_t piece, unsigned worker) {
    counts[piece] = count_piece(tables, boards[worker], pieces, piece, stop);
  });
  std::uint64_t nodes = 0;
  for (std::uint64_t n : counts) nodes += n;
  return nodes;
}

}  // namespace orvex
