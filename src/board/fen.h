// Reading and writing FEN text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "board/board.h"
#include "base/parsed.h"
#include "base/utf8.h"

namespace orvex {

inline constexpr std::string_view kDefaultFen =
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

// The largest move counter a FEN gives or gets: a larger one in a FEN is not
// read, and a board whose counter has grown past it (by push) writes and
// reports it as this, so that every FEN written reads back to what it shows.
inline constexpr std::uint32_t kMaxCounter = 0x7FFFFFFF;

// A counter as a FEN writes it and the board reports it: at most kMaxCounter.
constexpr std::uint32_t shown_counter(std::uint32_t value) {
  return value < kMaxCounter ? value : kMaxCounter;
}

// A placement field (the FEN's first field) read in one pass over its bytes:
// piece letters set their square, digits skip squares, a '/' goes to the
// start of the next rank down, from a8.
struct PlacementScan {
  std::array<Bitboard, kPieceKinds> pieces{};
  // The shape of every position: eight ranks of eight squares, in piece
  // letters and the digits 1 to 8. Only then are pieces on their squares; the
  // general reader lays out other shapes itself.
  bool standard = false;
  // The first byte at which the placement stops being standard, or its size
  // when the fault is only at the end (too few ranks or squares).
  std::size_t fault = 0;
  // The squares passed from a8 (digits and pieces, less 16 for each '/'),
  // counted modulo 2^32: a rank without '/' is this many squares long.
  std::uint32_t squares = 0;
  // Some byte is neither a piece letter, a digit nor '/'.
  bool other = false;
};

// Scans a placement field; any bytes may be given.
PlacementScan scan_placement(std::string_view field);

// Whether the byte at a placement scan's fault is a character that cannot
// stand in a placement (anything but a piece letter, a digit 1 to 8 or '/'),
// rather than a break of the eight-by-eight shape.
bool is_foreign_placement_byte(char c);

// Returns the twelve bitboards of the placement field (the first field).
// Throws Panic on a text without fields or an unreadable placement character.
std::array<Bitboard, kPieceKinds> pieces_from_fen(std::string_view fen);

// Returns the value of a counter field of ASCII digits, or -1 when it is not
// one or is larger than kMaxCounter.
std::int64_t counter_value(std::string_view field);

// Reads the halfmove clock and the fullmove number from the fields after the
// en-passant field, each when it is well formed (the fullmove number at
// least 1); a missing or malformed one keeps its default.
void read_counters(Fields& fields, Board& board);

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
// halfmove clock and the fullmove number last). A Chess960 board writes its
// castling field in X-FEN, or with shredder in file letters.
std::string board_fen(const Board& board, bool counters = false, bool shredder = false);

}  // namespace orvex
