#include "move_generator/move_count.h"

namespace orvex {

bool count_legal_moves_one_king(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                                std::uint64_t state, std::uint64_t& count) {
  Bitboard white = 0;
  Bitboard black = 0;
  Bitboard shared = 0;
  for (int t = 0; t < kPieceTypes; ++t) {
    shared |= (white & p[kWhitePawn + t]) | (black & p[kBlackPawn + t]);
    white |= p[kWhitePawn + t];
    black |= p[kBlackPawn + t];
  }
  shared |= white & black;
  const Color us = side_to_move(state);
  const Bitboard king = p[make_kind(us, kKing)];
  if (shared || !king || (king & (king - 1))) return false;
  count = us == kWhite ? count_legal_moves<kWhite>(tables, p, state, white, black)
                       : count_legal_moves<kBlack>(tables, p, state, black, white);
  return true;
}

}  // namespace orvex
