// The castling field of a FEN: the one reader every FEN reader uses, and
// the writer, in standard chess and in Chess960.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/types.h"
#include "base/utf8.h"
#include "board/board.h"

namespace orvex {

// The letters of a castling field, read up to its end or to where reading stopped.
struct CastlingField {
  // Why reading stopped: the field's end, its first '-' (what follows is not
  // read), a character that is no castling letter, or a letter read before.
  enum class Stop : std::uint8_t { kEnd, kDash, kBadLetter, kRepeat };

  // Bit i: the letter of right i (K Q k q) was read.
  std::uint8_t sides = 0;
  // By colour, bit f: the letter of file f was read (A to H for white, a to h
  // for black; Chess960 only).
  std::array<std::uint8_t, 2> files{};
  Stop stop = Stop::kEnd;

  // The state bits of the rights K Q k q read.
  constexpr std::uint64_t rights() const { return std::uint64_t{sides} << 1; }
};

// Which letters a castling field may hold: K Q k q, or in Chess960 the file
// letters too.
enum class CastlingLetters : std::uint8_t { kStandard, kChess960 };

// Reads a castling field character by character (UTF-8 code points with
// code_points, else bytes), stopping at the first '-', at the first
// character that is not one of the letters, and, with refuse_repeats, at the
// first letter read before.
inline CastlingField read_castling_field(std::string_view field, CastlingLetters letters, bool refuse_repeats,
                                         bool code_points) {
  CastlingField out;
  for (std::size_t pos = 0; pos < field.size();) {
    const char32_t c = code_points ? next_code_point(field, pos) : static_cast<unsigned char>(field[pos++]);
    std::uint8_t* set;
    unsigned bit;
    switch (c) {
      case '-': out.stop = CastlingField::Stop::kDash; return out;
      case 'K': set = &out.sides, bit = 1; break;
      case 'Q': set = &out.sides, bit = 2; break;
      case 'k': set = &out.sides, bit = 4; break;
      case 'q': set = &out.sides, bit = 8; break;
      default:
        if (letters == CastlingLetters::kChess960 && c >= 'A' && c <= 'H') {
          set = &out.files[kWhite], bit = 1u << (c - 'A');
        } else if (letters == CastlingLetters::kChess960 && c >= 'a' && c <= 'h') {
          set = &out.files[kBlack], bit = 1u << (c - 'a');
        } else {
          out.stop = CastlingField::Stop::kBadLetter;
          return out;
        }
    }
    if (refuse_repeats && (*set & bit)) {
      out.stop = CastlingField::Stop::kRepeat;
      return out;
    }
    *set |= static_cast<std::uint8_t>(bit);
  }
  return out;
}

// The castling field of the board: K Q k q, or "-" without rights. A Chess960
// board writes X-FEN (K Q k q for the outermost rook on its side of the king,
// the file letter of an inner one), or with shredder file letters always.
std::string castling_field_text(const Board& board, bool shredder);

}  // namespace orvex
