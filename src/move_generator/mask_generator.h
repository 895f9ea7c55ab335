// Legal moves straight from masks, for boards whose side to move has one king
// and whose squares hold at most one piece each.
#pragma once

#include <array>
#include <cstdint>

#include "base/types.h"
#include "move_generator/attack_tables.h"
#include "move_generator/move_list.h"

namespace orvex {

// When the side to move has exactly one king and no square holds two pieces,
// writes into the empty list out the legal moves of the side to move in
// generation order (the same list as the candidates filtered by making and
// unmaking each) and returns true; otherwise leaves out empty and returns
// false. The checkers, the pinned pieces with their lines and the king's safe
// squares are worked out once, and only legal moves are written.
bool legal_moves_one_king(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& pieces,
                          std::uint64_t state, MoveList& out);

}  // namespace orvex
