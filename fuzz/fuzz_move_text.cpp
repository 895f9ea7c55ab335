// Coordinate move notation on arbitrary bytes.
//
// The input is parsed with ChessMove::from_str and with a reference parser
// written from the notation rules; value, error message or Panic message must
// agree, and every parsed move must print back to its text. The first bytes
// are also taken as raw 16-bit codes for the text form and ChessMove::make.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/panic.h"
#include "base/utf8.h"
#include "chess_move/chess_move.h"
#include "fuzz_support.h"

namespace orvex::fuzz {
namespace {

constexpr std::string_view kLengthError =
    "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: ";

struct Outcome {
  enum Kind { kMove, kError, kPanic } kind;
  std::uint16_t value = 0;
  std::string message;  // for a Panic of a missing character: empty
};

Outcome reference_parse(std::string_view text) {
  int code = 0;
  if (text.size() == 5) {
    std::size_t pos = 0;
    char32_t last = 0;
    while (pos < text.size()) last = next_code_point(text, pos);
    const std::string_view letters = "nbrqNBRQ";
    const std::size_t i = last < 0x80 ? letters.find(static_cast<char>(last)) : std::string_view::npos;
    if (i == std::string_view::npos) return {Outcome::kError, 0, "Unsupported promotion type"};
    code = 4 + static_cast<int>(i % 4);
  } else if (text.size() != 4) {
    // The message shows the first 40 characters, then "...".
    std::size_t end = 0;
    int characters = 0;
    while (end < text.size() && characters < 40) {
      next_code_point(text, end);
      ++characters;
    }
    const std::string shown = end < text.size() ? std::string(text.substr(0, end)) + "..."
                                                : std::string(text);
    return {Outcome::kError, 0, std::string(kLengthError) + shown};
  }
  unsigned chars[4];
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size() && count < 4;) {
    chars[count++] = next_code_point(text, pos) & 0xFF;
  }
  const auto wrap = [](unsigned v) { return v & 0xFF; };
  if (count < 2) return {Outcome::kPanic, 0, ""};
  const unsigned from_file = wrap(chars[0] - 'a'), from_rank = wrap(chars[1] - '1');
  if (from_file > 7) return {Outcome::kPanic, 0, "assertion failed: from_file <= 7"};
  if (from_rank > 7) return {Outcome::kPanic, 0, "assertion failed: from_rank <= 7"};
  if (count < 4) return {Outcome::kPanic, 0, ""};
  const unsigned to_file = wrap(chars[2] - 'a'), to_rank = wrap(chars[3] - '1');
  if (to_file > 7) return {Outcome::kPanic, 0, "assertion failed: to_file <= 7"};
  if (to_rank > 7) return {Outcome::kPanic, 0, "assertion failed: to_rank <= 7"};
  const unsigned from = from_rank * 8 + from_file, to = to_rank * 8 + to_file;
  return {Outcome::kMove, static_cast<std::uint16_t>(from | to << 6 | code << 12), ""};
}

Outcome library_parse(std::string_view text) {
  try {
    const Parsed<ChessMove> parsed = ChessMove::from_str(text);
    if (!parsed.ok()) return {Outcome::kError, 0, parsed.error()};
    return {Outcome::kMove, parsed.value().value(), ""};
  } catch (const Panic& e) {
    return {Outcome::kPanic, 0, e.what()};
  }
}

// The text form of any 16-bit code, and its parse back.
void check_text_form(std::uint16_t value) {
  const ChessMove move(value);
  std::string text;
  try {
    text = move.text();
  } catch (const Panic&) {
    ORVEX_CHECK(move.special() > kPromoteQueen, std::to_string(value));
    return;
  }
  ORVEX_CHECK(move.special() <= kPromoteQueen, std::to_string(value));
  ORVEX_CHECK(text.size() == (move.special() >= kPromoteKnight ? 5u : 4u), text);
  const Outcome back = library_parse(text);
  ORVEX_CHECK(back.kind == Outcome::kMove, text + " -> " + back.message);
  const std::uint16_t expected = move.special() >= kPromoteKnight ? value : value & 0x0FFF;
  ORVEX_CHECK(back.value == expected, text + " -> " + std::to_string(back.value));
}

void check_make(std::uint16_t from, std::uint16_t to, std::uint16_t special) {
  const char* expected = from >= 64 ? "Invalid FROM int"
                         : to >= 64 ? "Invalid TO int"
                         : special >= 16 ? "Invalid SPECIAL int"
                                         : nullptr;
  try {
    const ChessMove move = ChessMove::make(from, to, special);
    ORVEX_CHECK(expected == nullptr, expected);
    ORVEX_CHECK(move.from() == from && move.to() == to && move.special() == special,
                std::to_string(move.value()));
  } catch (const Panic& e) {
    ORVEX_CHECK(expected != nullptr && std::string(e.what()) == expected, e.what());
  }
}

}  // namespace
}  // namespace orvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvex;
  using namespace orvex::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string shown(text);

  const Outcome expected = reference_parse(text);
  const Outcome actual = library_parse(text);
  ORVEX_CHECK(actual.kind == expected.kind, shown + "\nlibrary: " + actual.message +
                                                "\nreference: " + expected.message);
  if (!expected.message.empty()) ORVEX_CHECK(actual.message == expected.message, shown + "\n" + actual.message);
  if (actual.kind == Outcome::kMove) {
    ORVEX_CHECK(actual.value == expected.value, shown + " " + std::to_string(actual.value));
    // Only plain ASCII text parses; it prints back with a lower-case letter.
    std::string lowered(text);
    if (lowered.size() == 5) lowered[4] = static_cast<char>(lowered[4] | 0x20);
    ORVEX_CHECK(ChessMove(actual.value).text() == lowered, shown);
  }

  if (size >= 2) check_text_form(static_cast<std::uint16_t>(data[0] | data[1] << 8));
  if (size >= 6) {
    const auto u16 = [&](int i) { return static_cast<std::uint16_t>(data[i] | data[i + 1] << 8); };
    check_make(u16(0), u16(2), u16(4));
  }
  return 0;
}
