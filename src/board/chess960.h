// Chess960 castling: reading a Chess960 FEN, the right of a rook, and where
// a castling puts the king and the rook.
#pragma once

#include <bit>
#include <string>
#include <string_view>

#include "board/board.h"
#include "base/parsed.h"

namespace orvex {

// Reads FEN text into a Chess960 board. The castling field holds K, Q, k, q
// (the outermost rook of that side of the king) and file letters (A to H for
// white, a to h for black: the rook on that file), or "-". Rights that name
// no rook of the side on its first rank with its king between are dropped.
// Errors as board_from_fen's.
Parsed<Board> board_from_fen_chess960(std::string_view fen);

// The index (0 to 3, as the state bits K Q k q) of the right whose rook
// stands on rook, for the side us; -1 when none.
inline int chess960_right_of(const Board& board, Color us, Square rook) {
  const std::uint64_t right = board.castling_rooks.rights_on(rook) & side_castling_rights(us) & board.state;
  return right ? std::countr_zero(right) - 1 : -1;
}

// Where the king and the rook of right i end: the g and f files on the king
// side (even i), the c and d files on the queen side.
inline Square chess960_king_to(int right) {
  return make_square(right % 2 == 0 ? 6 : 2, right < 2 ? 0 : 7);
}
inline Square chess960_rook_to(int right) {
  return make_square(right % 2 == 0 ? 5 : 3, right < 2 ? 0 : 7);
}

}  // namespace orvex
