#include "board/zobrist.h"

#include <cassert>

namespace orvex {

std::uint64_t position_key(const Board& board) {
  std::uint64_t key = 0;
  for (int kind = 0; kind < kPieceKinds; ++kind) {
    for (Bitboard b = board.pieces[kind]; b;) key ^= piece_key(kind, pop_lsb(b));
  }
  key ^= castling_key(board);
  if (white_to_move(board.state)) key ^= white_to_move_key();
  return key;
}

std::uint64_t zobrist(const Board& board) {
  assert(board.key_stale || board.key == position_key(board));
  std::uint64_t key = current_key(board);
  // The file that fen() shows, when a pawn of the side to move stands on the
  // fifth (fourth) rank next to it.
  const Color us = side_to_move(board.state);
  const unsigned files = (board.state >> en_passant_base(us)) & 0xFF;
  if (files) {
    const int file = std::countr_zero(files);
    const Bitboard beside = (file > 0 ? Bitboard{1} << (file - 1) : 0) |
                            (file < 7 ? Bitboard{1} << (file + 1) : 0);
    const int rank = us == kWhite ? 4 : 3;
    if (board.pieces[make_kind(us, kPawn)] & (beside << (8 * rank))) key ^= en_passant_key(file);
  }
  return key;
}

}  // namespace orvex
