#include "chess_move/chess_move.h"

#include <cstdint>

#include "base/excerpt.h"
#include "base/panic.h"
#include "base/utf8.h"

namespace orvex {

ChessMove ChessMove::make(std::uint16_t from, std::uint16_t to, std::uint16_t special) {
  if (from >= 64) throw Panic("Invalid FROM int");
  if (to >= 64) throw Panic("Invalid TO int");
  if (special >= 16) throw Panic("Invalid SPECIAL int");
  return pack(from, to, special);
}

Parsed<ChessMove> ChessMove::from_str(std::string_view text) {
  // The length in bytes decides; the promotion letter is the one place where
  // case does not matter.
  std::uint16_t code = kOrdinary;
  if (text.size() == 5) {
    std::size_t pos = 0;
    char32_t last = 0;
    while (pos < text.size()) last = next_code_point(text, pos);
    switch (last) {
      case 'n': case 'N': code = kPromoteKnight; break;
      case 'b': case 'B': code = kPromoteBishop; break;
      case 'r': case 'R': code = kPromoteRook; break;
      case 'q': case 'Q': code = kPromoteQueen; break;
      default: return ParseError{"Unsupported promotion type"};
    }
  } else if (text.size() != 4) {
    return ParseError{"Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: " +
                      excerpt(text)};
  }

  // Each character counts as the low eight bits of its code point.
  std::uint8_t chars[4];
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size() && count < 4;) {
    chars[count++] = static_cast<std::uint8_t>(next_code_point(text, pos));
  }
  const auto at = [&](std::size_t i) -> std::uint8_t {
    if (i >= count) {
      throw Panic("index out of bounds: the move text has " + std::to_string(count) +
                  " characters but the index is " + std::to_string(i));
    }
    return chars[i];
  };

  const std::uint8_t from_file = static_cast<std::uint8_t>(at(0) - 'a');
  const std::uint8_t from_rank = static_cast<std::uint8_t>(at(1) - '1');
  if (from_file > 7) throw Panic("assertion failed: from_file <= 7");
  if (from_rank > 7) throw Panic("assertion failed: from_rank <= 7");
  const std::uint8_t to_file = static_cast<std::uint8_t>(at(2) - 'a');
  const std::uint8_t to_rank = static_cast<std::uint8_t>(at(3) - '1');
  if (to_file > 7) throw Panic("assertion failed: to_file <= 7");
  if (to_rank > 7) throw Panic("assertion failed: to_rank <= 7");

  return pack(from_rank * 8 + from_file, to_rank * 8 + to_file, code);
}

void ChessMove::write_text(std::string& out) const {
  static constexpr char kPromotionLetters[] = "nbrq";
  const int code = special();
  if (code > kPromoteQueen) throw Panic("internal error: special move codes 8 to 15 have no text");
  out += static_cast<char>('a' + (from() & 7));
  out += static_cast<char>('1' + (from() >> 3));
  out += static_cast<char>('a' + (to() & 7));
  out += static_cast<char>('1' + (to() >> 3));
  if (code >= kPromoteKnight) out += kPromotionLetters[code - kPromoteKnight];
}

std::string ChessMove::text() const {
  std::string out;
  write_text(out);
  return out;
}

}  // namespace orvex
