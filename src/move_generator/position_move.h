// A position without undo stacks, and making a legal move on it by copying:
// what the perft walk and the self-play games need.
#pragma once

#include <array>
#include <cstdint>

#include "base/types.h"
#include "board/castling_rights.h"
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

namespace position_move {

// All of 0 or all of 1 bits: the mask of a condition.
constexpr std::uint64_t all_if(std::uint64_t bit) { return std::uint64_t{0} - bit; }

}  // namespace position_move

// Makes a move of side Us that legal_moves_one_king gave, exactly as
// push_move would on a board with one piece to a square.
template <Color Us>
inline void make_position_move(Position& pos, ChessMove move) {
  using position_move::all_if;
  constexpr int ours = color_base(Us);
  constexpr int theirs = color_base(~Us);
  constexpr std::uint64_t king_rights = side_castling_rights(Us);
  const Square from = move.from();
  const Square to = move.to();
  const int special = move.special();
  const Bitboard from_bb = square_bb(from);
  const Bitboard to_bb = square_bb(to);
  auto& p = pos.pieces;
  std::uint64_t state = pos.state & ~state_bits::kEnPassantBits;

  // A captured rook on its corner takes its castling right with it; a king
  // that moves gives up both of its side's, a rook leaving its corner that
  // corner's.
  state &= ~(kStandardCastlingRightsBySide[~Us][to] & all_if((p[theirs + kRook] >> to) & 1));
  state &= ~(kStandardCastlingRightsBySide[Us][from] & all_if((p[ours + kRook] >> from) & 1));
  state &= ~(king_rights & all_if((p[ours + kKing] >> from) & 1));

  // The captured piece, if any, leaves its square.
  for (int t = 0; t < kPieceTypes; ++t) p[theirs + t] &= ~to_bb;

  if (special >= kPromoteKnight) {
    p[ours + kPawn] ^= from_bb;
    p[ours + special - 3] |= to_bb;
  } else {
    // The type of the mover, the one whose set holds from.
    int mover = 0;
    for (int t = 1; t < kPieceTypes; ++t) mover += t * static_cast<int>((p[ours + t] >> from) & 1);
    p[ours + mover] ^= from_bb | to_bb;
  }

  switch (special) {
    case kEnPassant:
      p[theirs + kPawn] &= ~square_bb(shifted(to, Us == kWhite ? -8 : 8));
      break;
    case kDoublePush:
      state |= std::uint64_t{1} << (en_passant_base(~Us) + file_of(to));
      break;
    case kCastling: {
      // The rook, if it is there, moves with the king; its target is empty.
      constexpr Square home = Us == kWhite ? kA1 : kA8;
      const Square corner = file_of(to) == 6 ? shifted(home, 7) : home;
      const Square target = file_of(to) == 6 ? shifted(home, 5) : shifted(home, 3);
      if (has_square(p[ours + kRook], corner)) p[ours + kRook] ^= square_bb(corner) | square_bb(target);
      break;
    }
    default:
      break;
  }
  pos.state = state ^ state_bits::kWhiteToMove;
}

// Makes a move that legal_moves_one_king gave, exactly as push_move would on
// a board with one piece to a square.
inline void make_position_move(Position& pos, ChessMove move) {
  if (white_to_move(pos.state)) {
    make_position_move<kWhite>(pos, move);
  } else {
    make_position_move<kBlack>(pos, move);
  }
}

}  // namespace orvex
