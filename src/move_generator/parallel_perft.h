// Perft cut into independent pieces, counted on several threads and stopped
// on request: the engine of MoveGenerator.perft.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/parallel.h"
#include "board/board.h"
#include "chess_move/chess_move.h"
#include "move_generator/attack_tables.h"

namespace orvex {

// The walk of perft(depth) cut into independent pieces, one per sequence of
// its first plies: two plies from depth 3 on, one at depth 2, and at depth 0
// or 1 a single piece with no moves. The pieces' counts add up to perft(depth).
struct PerftPieces {
  int depth = 0;
  int plies = 0;
  // The first plies moves of each piece (the rest of each array unused).
  std::vector<std::array<ChessMove, 2>> prefixes;
};

// Returns the pieces of perft(depth) from the board, which ends as it began.
PerftPieces perft_pieces(const AttackTables& tables, Board& board, int depth);

// Returns the count of one piece, walked on board, which must stand in the
// position the pieces were made from; it ends as it began. The walk looks at
// stop between subtrees of kUnstoppableDepth plies (which perft() counts) and
// gives up, with a meaningless result, once it is raised.
std::uint64_t count_piece(const AttackTables& tables, Board& board, const PerftPieces& pieces,
                          std::size_t piece, const StopFlag& stop);

// Subtrees this deep are counted by perft() without looking at the stop flag:
// a few million leaves at most, some tens of milliseconds.
inline constexpr int kUnstoppableDepth = 4;

// Returns perft(depth) with the pieces counted over up to threads threads,
// each on its own copy of the position; board is only read. Rethrows a
// failure of any thread; gives up (meaningless result) once stop is raised.
std::uint64_t parallel_perft(const AttackTables& tables, const Board& board, int depth,
                             unsigned threads, StopFlag& stop);

// Returns a board in the same position with an empty history: all that a
// walk or a generation needs.
inline Board position_copy(const Board& board) {
  Board copy;
  set_position(copy, board);
  return copy;
}

}  // namespace orvex
