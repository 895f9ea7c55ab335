#include "pgn/scanner.h"

#include "notation/san.h"

namespace orvex::pgn {
namespace {

constexpr bool is_tag_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '_' ||
         c == '+' || c == '#' || c == '=' || c == ':' || c == '-';
}

}  // namespace

bool begins_game(std::string_view line) {
  if (line.empty()) return false;
  if (line.front() == '[') return true;
  if (line.front() == '%' || line.front() == ';') return false;
  std::size_t start = 0;
  while (start < line.size() && is_blank(line[start])) ++start;
  std::size_t end = start;
  while (end < line.size() && !ends_word(line[end])) ++end;
  const std::string_view word = line.substr(start, end - start);
  if (word.empty()) return false;
  if (is_result(word)) return true;
  if (is_digit(word.front())) {
    std::size_t i = 0;
    while (i < word.size() && is_digit(word[i])) ++i;
    if (i < word.size() && word[i] == '.') return true;
  }
  SanText san;
  return read_san(word, san);
}

bool read_tag_line(std::string_view line, std::string_view& name, std::string_view& raw_value) {
  while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
  std::size_t i = 1;
  if (i == line.size() || !is_tag_name_char(line[i]) || line[i] == '_' || line[i] == '+' ||
      line[i] == '#' || line[i] == '=' || line[i] == ':' || line[i] == '-') {
    return false;
  }
  while (i < line.size() && is_tag_name_char(line[i])) ++i;
  name = line.substr(1, i - 1);
  const std::size_t spaces = i;
  while (i < line.size() && is_blank(line[i]) && line[i] != '\r') ++i;
  if (i == spaces || i >= line.size() || line[i] != '"') return false;
  const std::size_t open = i;
  const std::size_t close = line.size() - 2;  // the '"' before the final ']'
  if (close <= open || line[close] != '"') return false;
  raw_value = line.substr(open + 1, close - open - 1);
  return raw_value.find('\r') == std::string_view::npos;
}

void append_unescaped(std::string_view raw_value, std::string& out) {
  std::size_t i = 0;
  while (true) {
    const std::size_t slash = raw_value.find('\\', i);
    if (slash == std::string_view::npos || slash + 1 == raw_value.size()) {
      out.append(raw_value.substr(i));
      return;
    }
    out.append(raw_value.substr(i, slash - i));
    const char next = raw_value[slash + 1];
    if (next == '"' || next == '\\') {
      out += next;
      i = slash + 2;
    } else {
      out += '\\';
      i = slash + 1;
    }
  }
}

}  // namespace orvex::pgn
