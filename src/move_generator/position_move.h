// A position without undo stacks, and making a legal move on it by copying:
// what the perft walk and the self-play games need.
#pragma once

#include <array>
#include <cstdint>

#include "base/types.h"
#include "chess_move/chess_move.h"

namespace orvex {

// What a move changes: the twelve bitboards and the state word. The walk
// copies it for each move instead of keeping undo stacks.
struct Position {
  std::array<Bitboard, kPieceKinds> pieces;
  std::uint64_t state;
};

// Returns the type of the piece of the side with kind base on s, or -1 when
// none is; a square holds at most one piece.
inline int type_on(const Position& pos, int base, Square s) {
  for (int t = 0; t < kPieceTypes; ++t) {
    if (has_square(pos.pieces[base + t], s)) return t;
  }
  return -1;
}

// Makes a move that legal_moves_one_king gave, exactly as push_move would on
// a board with one piece to a square.
inline void make_position_move(Position& pos, ChessMove move) {
  const Square from = move.from();
  const Square to = move.to();
  const int special = move.special();
  const Color us = side_to_move(pos.state);
  const int ours = color_base(us);
  const int theirs = color_base(~us);
  const Bitboard from_to = square_bb(from) | square_bb(to);
  auto& p = pos.pieces;
  std::uint64_t state = pos.state & ~state_bits::kEnPassantBits;

  const int mover = type_on(pos, ours, from);
  const int captured = type_on(pos, theirs, to);
  if (captured >= 0) {
    p[theirs + captured] ^= square_bb(to);
    // A rook captured on its corner takes its castling right with it.
    if (captured == kRook) {
      if (us == kBlack && to == kA1) state &= ~state_bits::kWhiteQueenSide;
      if (us == kBlack && to == kH1) state &= ~state_bits::kWhiteKingSide;
      if (us == kWhite && to == kA8) state &= ~state_bits::kBlackQueenSide;
      if (us == kWhite && to == kH8) state &= ~state_bits::kBlackKingSide;
    }
  }

  if (special >= kPromoteKnight) {
    p[ours + kPawn] ^= square_bb(from);
    p[ours + special - 3] |= square_bb(to);
  } else {
    p[ours + mover] ^= from_to;
  }

  switch (special) {
    case kEnPassant:
      p[theirs + kPawn] &= ~square_bb(shifted(to, us == kWhite ? -8 : 8));
      break;
    case kDoublePush:
      state |= std::uint64_t{1} << (en_passant_base(~us) + file_of(to));
      break;
    case kCastling: {
      // The rook, if it is there, moves with the king; its target is empty.
      const Square home = us == kWhite ? kA1 : kA8;
      const Square corner = file_of(to) == 6 ? shifted(home, 7) : home;
      const Square target = file_of(to) == 6 ? shifted(home, 5) : shifted(home, 3);
      if (has_square(p[ours + kRook], corner)) p[ours + kRook] ^= square_bb(corner) | square_bb(target);
      break;
    }
    default:
      break;
  }

  if (mover == kKing) {
    state &= us == kWhite ? ~(state_bits::kWhiteKingSide | state_bits::kWhiteQueenSide)
                          : ~(state_bits::kBlackKingSide | state_bits::kBlackQueenSide);
  } else if (mover == kRook) {
    if (from == kH1 && us == kWhite) state &= ~state_bits::kWhiteKingSide;
    if (from == kA1 && us == kWhite) state &= ~state_bits::kWhiteQueenSide;
    if (from == kH8 && us == kBlack) state &= ~state_bits::kBlackKingSide;
    if (from == kA8 && us == kBlack) state &= ~state_bits::kBlackQueenSide;
  }
  pos.state = state ^ state_bits::kWhiteToMove;
}

}  // namespace orvex
