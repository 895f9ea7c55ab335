// A short excerpt of the caller's text, for error messages that echo it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/utf8.h"

namespace orvex {

// The most characters of the caller's text that a message shows.
inline constexpr std::size_t kExcerptCharacters = 40;

// Returns text itself when it has at most kExcerptCharacters code points, else
// its first kExcerptCharacters code points followed by "...".
inline std::string excerpt(std::string_view text) {
  std::size_t pos = 0;
  for (std::size_t count = 0; pos < text.size(); ++count) {
    if (count == kExcerptCharacters) return std::string(text.substr(0, pos)) + "...";
    next_code_point(text, pos);
  }
  return std::string(text);
}

}  // namespace orvex
