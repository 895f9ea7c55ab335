// Walking UTF-8 text by code point, and splitting it at white space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvex {

// Decodes the code point at text[pos] and advances pos past it. Bytes that do
// not start a well-formed sequence are read as one code point each.
inline char32_t next_code_point(std::string_view text, std::size_t& pos) {
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  const int extra = lead < 0x80 ? 0
                    : (lead >> 5) == 0x6 ? 1
                    : (lead >> 4) == 0xE ? 2
                    : (lead >> 3) == 0x1E ? 3
                                          : -1;
  if (extra <= 0 || text.size() - pos <= static_cast<std::size_t>(extra)) {
    ++pos;
    return lead;
  }
  char32_t cp = lead & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[pos + i]);
    if ((c & 0xC0) != 0x80) {
      ++pos;
      return lead;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  pos += extra + 1;
  return cp;
}

// Returns whether the code point has the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The fields of a text separated by runs of white space.
class Fields {
 public:
  explicit Fields(std::string_view text) : text_(text) {}

  // Returns the next field, or false when there is none left.
  bool next(std::string_view& field) {
    std::size_t start = skip(true);
    if (start == text_.size()) return false;
    std::size_t end = skip(false);
    field = text_.substr(start, end - start);
    return true;
  }

 private:
  // Moves past code points that are (or, with white false, are not) white
  // space and returns the position where the run ended.
  std::size_t skip(bool white) {
    while (pos_ < text_.size()) {
      std::size_t here = pos_;
      if (is_white_space(next_code_point(text_, pos_)) != white) {
        pos_ = here;
        break;
      }
    }
    return pos_;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace orvex
