// Step and sliding moves, and whether a square is attacked.
#pragma once

#include <array>
#include <cstdint>

#include "board/board.h"
#include "move_generator/attack_tables.h"
#include "move_generator/move_list.h"
#include "move_generator/step_tables.h"

namespace orvex {

// Offsets in the order the moves are listed.
inline constexpr std::array<std::int16_t, 8> kKingSteps = {-8, 8, 1, -1, 9, 7, -9, -7};
inline constexpr std::array<std::int16_t, 8> kKnightSteps = {-17, -15, -6, 10, 17, 15, 6, -10};
constexpr int kKingStepLimit = 1;
constexpr int kKnightStepLimit = 2;

// The squares a knight or a king on a square attacks.
inline constexpr auto kKnightAttacks = step_attacks(kKnightSteps, kKnightStepLimit);
inline constexpr auto kKingAttacks = step_attacks(kKingSteps, kKingStepLimit);

// Appends, for each mover square ascending and each step in order, the move to
// square + step when it is on the board, within limit files and not in own.
void get_k_moves(Bitboard movers, Bitboard own, const std::array<std::int16_t, 8>& steps,
                 int limit, MoveList& out);

// Appends the straight (kind 3) or diagonal (kind 2) slides of the side's
// rooks or bishops together with its queens, by from-square then to-square.
void magic_moves(const AttackTables& tables, const Board& board, Color us, Bitboard own,
                 Bitboard enemy, PieceType kind, MoveList& out);

// Returns whether a piece of the side opposite to colour attacks square, which
// must be on the board.
bool square_in_check(const AttackTables& tables, const Board& board, Square square, Color colour);

// The same question with the line pieces blocked by occupancy instead of by the
// board's own pieces.
bool square_attacked(const AttackTables& tables, const Board& board, Square square, Color colour,
                     Bitboard occupancy);

// Returns whether the side to move is in check: whether its king, the one on
// the lowest square if it has several, is attacked. A side without a king is
// never in check.
bool in_check(const AttackTables& tables, const Board& board);

// Returns the squares of the pieces of the side opposite to colour that attack
// square, with the line pieces blocked by occupancy.
Bitboard attackers_of(const AttackTables& tables, const Board& board, Square square, Color colour,
                      Bitboard occupancy);

}  // namespace orvex
