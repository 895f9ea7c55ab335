#include "move_generator/move_count.h"

#include <bit>

#include "move_generator/side_occupancy.h"

namespace orvex {

bool count_legal_moves_one_king(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                                std::uint64_t state, std::uint64_t& count) {
  const Sides sides(p);
  const Color us = side_to_move(state);
  if (sides.shared || !std::has_single_bit(p[make_kind(us, kKing)])) return false;
  count = us == kWhite ? count_legal_moves<kWhite>(tables, p, state, sides.white, sides.black)
                       : count_legal_moves<kBlack>(tables, p, state, sides.black, sides.white);
  return true;
}

}  // namespace orvex
