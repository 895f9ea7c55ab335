// Reading and writing FEN text.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "board/board.h"
#include "base/parsed.h"

namespace orvex {

inline constexpr std::string_view kDefaultFen =
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

// Returns the twelve bitboards of the placement field (the first field).
// Throws Panic on a text without fields or an unreadable placement character.
std::array<Bitboard, kPieceKinds> pieces_from_fen(std::string_view fen);

// Reads the first four fields into a board with empty history, and the
// halfmove clock and fullmove number from the fifth and sixth when they are
// there and well formed (digits, at most 2^31 - 1, the fullmove number at
// least 1; else 0 and 1). A bad side to move or castling field is returned as
// an error ("Invalid side-to-move", "Invalid castling specifier"); a bad
// placement or a missing field throws Panic.
// Common text (ASCII, eight ranks of eight squares) is read in one pass;
// anything else by the general reader, with the same results and errors.
Parsed<Board> board_from_fen(std::string_view fen);

// The one-pass reader alone: reads the common case (ASCII text whose
// placement has eight ranks of eight squares, with well-formed side, castling
// and en-passant fields) into a board just made (zero bitboards and state,
// empty history) and returns true; returns false, the board unspecified, for
// any other text, which board_from_fen_general then reads.
bool read_common_fen(std::string_view fen, Board& board);

// The general reader alone: UTF-8 decoding and any shape of placement.
Parsed<Board> board_from_fen_general(std::string_view fen);

// Returns the position as four FEN fields, or with counters as six (the
// halfmove clock and the fullmove number last).
std::string board_fen(const Board& board, bool counters = false);

}  // namespace orvex
