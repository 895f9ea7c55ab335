// Perft: the number of move sequences of a given length, for checking and
// timing the generator.
#pragma once

#include <cstdint>

#include "board/board.h"
#include "move_generator/attack_tables.h"

namespace orvex {

// Returns the number of legal move sequences of exactly depth plies from the
// board (depth 0 is 1): the last ply counts the length of each move list,
// worked out from the masks without writing the list where the masks apply.
// The board ends exactly as it began.
std::uint64_t perft(const AttackTables& tables, Board& board, int depth);

// Perft of a Chess960 board, as perft gives it.
std::uint64_t chess960_perft(const AttackTables& tables, Board& board, int depth);

}  // namespace orvex
