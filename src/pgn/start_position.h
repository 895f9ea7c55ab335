// The starting position of a game given by its FEN tag.
#pragma once

#include <string_view>

#include "board/board.h"
#include "base/parsed.h"
#include "pgn/game_batch.h"

namespace orvex::pgn {

// Reads a FEN tag strictly: eight ranks of eight squares, exactly one king of
// each colour, no pawn on the first or last rank, "w" or "b", castling "-" or
// letters from "KQkq" and the files "A" to "H", "a" to "h" (each at most
// once), en passant "-" or a square on the rank the side to move captures
// onto, and optional move counters; the side not to move must not be in
// check. An en-passant target without the pawn that just passed it is
// dropped. The counters are read as board_from_fen reads them. The error
// message names what is wrong.
//
// The board follows the Chess960 rules when chess960 is set (a Variant tag
// said so) or when the position only makes sense in Chess960: the castling
// field names a rook by its file, or keeps a right whose king stands off the
// e file (with the king on e1 or e8, a right whose rook has left its corner
// is dropped, as a standard reader does). A Chess960 castling field is read as
// board_from_fen_chess960 reads it; a standard one drops the rights whose
// king or rook is not on its home square.
Parsed<Board> start_position(std::string_view fen, bool chess960 = false);

// The start of a game on a board just emptied of history: its position,
// castling rules and counters.
void put_start(Board& board, const StartPosition& start);

// The start record of a board's position and castling rules, with its counters.
StartPosition start_of(const Board& board);

// The standard starting position.
const StartPosition& standard_start();

}  // namespace orvex::pgn
