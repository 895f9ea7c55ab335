// The starting position of a game given by its FEN tag.
#pragma once

#include <string_view>

#include "board/board.h"
#include "base/parsed.h"
#include "pgn/game_batch.h"

namespace orvex::pgn {

// Reads a FEN tag strictly: eight ranks of eight squares, exactly one king of
// each colour, no pawn on the first or last rank, "w" or "b", castling "-" or
// letters from "KQkq", en passant "-" or a square on the rank the side to move
// captures onto, and optional move counters; the side not to move must not be
// in check. Castling rights whose king or rook is not on its home square are
// dropped, and so is an en-passant target without the pawn that just passed
// it. The counters are read as board_from_fen reads them. The error message
// names what is wrong.
Parsed<Board> start_position(std::string_view fen);

// The standard starting position.
const StartPosition& standard_start();

}  // namespace orvex::pgn
