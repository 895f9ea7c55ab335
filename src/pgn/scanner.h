// Cutting PGN text into games and reading each game's tags and main-line
// move tokens, without interpreting the moves.
//
// The text is read in lines. Between games, blank lines, escape lines ('%' in
// the first column), comment lines (';' in the first column) and lines that
// cannot begin a game are skipped. A game begins at a line with '[' in the
// first column (its tag section) or at a line whose first word begins movetext
// (a move number such as "1." or "12...", a result, or a word that reads as
// SAN, not yet checked against a position).
//
// Tag section: tag lines, escape and comment lines, and single blank lines;
// two blank lines in a row end the game there (it has no movetext). The first
// other line begins the movetext.
//
// Movetext: comments {...} (across lines), rest-of-line comments ';', escape
// lines, NAGs "$n", move numbers, annotation glyphs ("!", "?!") and
// variations (...) at any depth are skipped. The game ends after a result
// ("1-0", "0-1", "1/2-1/2", "*") outside variations (the rest of its line is
// ignored), before a blank line or a line with '[' in the first column
// (outside comments), or at the end of the text.
//
// A game's text runs from its first line to where it ends. A game, or a line
// read between games, longer than the scanner's limit is not read: the
// scanner stops before it, so that text that never ends a line or a game
// (a stream of zeros, an unclosed comment) is refused after that many bytes
// and never held whole. A line inside a game that begins with more white
// space than the limit counts as making the game too long, even if it turns
// out blank and so ends the game: whether it does is not known until the
// line ends, which may be never.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace orvex::pgn {

// White space within a line. NUL and Ctrl-Z (the DOS end-of-file byte), which
// pad the end of some archives, count as white space too.
constexpr bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\0' ||
         c == '\x1a';
}

// The characters that end a movetext word besides white space.
constexpr bool is_delimiter(char c) {
  return c == '{' || c == '}' || c == '(' || c == ')' || c == ';' || c == '$';
}

constexpr bool ends_word(char c) { return c == '\n' || is_blank(c) || is_delimiter(c); }

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Returns whether the word is one of the four game results.
constexpr bool is_result(std::string_view word) {
  return word == "1-0" || word == "0-1" || word == "1/2-1/2" || word == "*";
}

// Returns whether a line, read between games, begins a game.
bool begins_game(std::string_view line);

// Reads a tag line: '[' in the first column, a name of letters, digits and
// "_+#=:-" starting with a letter or digit, white space, then a quoted value
// running to the last '"' that is followed by ']' and nothing but white space.
// The value is returned raw, with its escapes.
bool read_tag_line(std::string_view line, std::string_view& name, std::string_view& raw_value);

// Appends the value with the escapes \" and \\ resolved.
void append_unescaped(std::string_view raw_value, std::string& out);

// Where a call to Scanner::next stopped.
enum class Stop {
  kGame,      // a game was read: the sink saw it whole
  kNeedMore,  // the text ends before the next game does (only for text that is not final)
  kEnd,       // no game is left (final text)
  kLimit,     // the scanner stands between games at or past the limit
  // The next game, or the next line between games, is longer than
  // max_game_bytes (or will be, once the text goes on): the position is left
  // at its first line.
  kGameTooLong,
  kLineTooLong,
};

// No limit on the length of a game.
inline constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Reads games one after another. The sink receives, for each game:
//   begin_game(line), tag(name, raw_value, line)..., move(token, line)...,
//   result(word), then end_game() or, on kNeedMore, abandon_game().
// Lines are counted from 0 at the starting position of the scanner.
class Scanner {
 public:
  // pos must be a line start between games. Text that is not final may go on
  // past its end: a game or line that reaches the end is left for later.
  Scanner(std::string_view text, std::size_t pos, bool final,
          std::size_t max_game_bytes = kNoLimit)
      : text_(text), pos_(pos), final_(final), max_game_bytes_(max_game_bytes) {}

  // Skips to the next game and reads it. Before each line between games, stops
  // with kLimit once the position has reached limit. On kNeedMore (and on
  // kGameTooLong, kLineTooLong) the position is left at the line where the
  // unfinished (or too long) game or line begins.
  template <class Sink>
  Stop next(Sink& sink, std::size_t limit = std::string_view::npos);

  // A line start between games after kGame, kLimit and kNeedMore.
  std::size_t position() const { return pos_; }
  // The line breaks passed since the scanner began.
  std::uint64_t lines() const { return lines_; }

 private:
  enum class Step { kContinue, kGameOver, kNeedMore, kTooLong };

  // Skips to just past the next line break, or to the end of final text.
  Step skip_line();
  // Returns the end of the run of white space within the line at pos_, and
  // whether it is longer than the limit.
  std::size_t blank_run(bool& too_long) const;
  template <class Sink>
  Step read_tags(Sink& sink, bool& movetext_follows);
  template <class Sink>
  Step read_movetext(Sink& sink);
  // At a line start inside movetext: skips escape lines; returns kGameOver
  // before a blank line or a tag line.
  Step movetext_line_start();

  std::string_view text_;
  std::size_t pos_;
  bool final_;
  std::size_t max_game_bytes_;
  std::uint64_t lines_ = 0;
  // Set when a step returns kNeedMore at the start of a line that may end the
  // game (it is blank so far): the game is known to run only to there.
  // Otherwise it runs at least to the end of the text.
  std::size_t known_end_ = std::string_view::npos;
};

template <class Sink>
Stop Scanner::next(Sink& sink, std::size_t limit) {
  const std::size_t size = text_.size();
  bool tags = false;
  while (true) {
    if (pos_ >= limit) return Stop::kLimit;
    if (pos_ == size) return final_ ? Stop::kEnd : Stop::kNeedMore;
    std::size_t eol = text_.find('\n', pos_);
    if (eol == std::string_view::npos) {
      if (!final_) return size - pos_ > max_game_bytes_ ? Stop::kLineTooLong : Stop::kNeedMore;
      eol = size;
    }
    if (eol - pos_ > max_game_bytes_) return Stop::kLineTooLong;
    const std::string_view line = text_.substr(pos_, eol - pos_);
    if (begins_game(line)) {
      tags = line.front() == '[';
      break;
    }
    pos_ = eol == size ? size : eol + 1;
    lines_ += eol != size;
  }

  const std::size_t begin = pos_;
  const std::uint64_t begin_lines = lines_;
  known_end_ = std::string_view::npos;
  sink.begin_game(lines_);
  bool movetext = !tags;
  Step step = tags ? read_tags(sink, movetext) : Step::kContinue;
  if (step == Step::kContinue && movetext) step = read_movetext(sink);
  const std::size_t end =
      step == Step::kNeedMore ? std::min(known_end_, size) : pos_;  // at least so far
  if (step == Step::kNeedMore || step == Step::kTooLong || end - begin > max_game_bytes_) {
    sink.abandon_game();
    pos_ = begin;
    lines_ = begin_lines;
    return step == Step::kNeedMore && end - begin <= max_game_bytes_ ? Stop::kNeedMore
                                                                      : Stop::kGameTooLong;
  }
  sink.end_game();
  return Stop::kGame;
}

inline std::size_t Scanner::blank_run(bool& too_long) const {
  std::size_t i = pos_;
  while (i < text_.size() && is_blank(text_[i])) ++i;
  too_long = i - pos_ > max_game_bytes_;
  return i;
}

inline Scanner::Step Scanner::skip_line() {
  const std::size_t eol = text_.find('\n', pos_);
  if (eol == std::string_view::npos) {
    if (!final_) return Step::kNeedMore;
    pos_ = text_.size();
    return Step::kGameOver;
  }
  pos_ = eol + 1;
  ++lines_;
  return Step::kContinue;
}

template <class Sink>
Scanner::Step Scanner::read_tags(Sink& sink, bool& movetext_follows) {
  const std::size_t size = text_.size();
  int blank_lines = 0;
  while (true) {
    if (pos_ == size) return final_ ? Step::kGameOver : Step::kNeedMore;
    bool too_long = false;
    const std::size_t blank_end = blank_run(too_long);
    if (too_long) return Step::kTooLong;
    std::size_t eol = text_.find('\n', pos_);
    if (eol == std::string_view::npos) {
      if (!final_) {
        if (blank_end == size) known_end_ = pos_;  // a blank line may end the game here
        return Step::kNeedMore;
      }
      eol = size;
    }
    const std::string_view line = text_.substr(pos_, eol - pos_);
    const char first = line.empty() ? '\n' : line.front();
    if (first == '[') {
      std::string_view name, value;
      if (read_tag_line(line, name, value)) sink.tag(name, value, lines_);
      blank_lines = 0;
    } else if (first != '%' && first != ';') {
      if (blank_end < eol) {
        movetext_follows = true;
        return Step::kContinue;
      }
      if (++blank_lines == 2) return Step::kGameOver;
    }
    if (eol == size) {
      pos_ = size;
      return Step::kGameOver;
    }
    pos_ = eol + 1;
    ++lines_;
  }
}

inline Scanner::Step Scanner::movetext_line_start() {
  const std::size_t size = text_.size();
  while (true) {
    if (pos_ == size) return final_ ? Step::kGameOver : Step::kNeedMore;
    const char first = text_[pos_];
    if (first == '[') return Step::kGameOver;
    if (first == '%') {
      const Step step = skip_line();
      if (step != Step::kContinue) return step;
      continue;
    }
    bool too_long = false;
    const std::size_t i = blank_run(too_long);
    if (too_long) return Step::kTooLong;
    if (i == size) {
      if (final_) return Step::kGameOver;
      known_end_ = pos_;  // a blank line may end the game here
      return Step::kNeedMore;
    }
    return text_[i] == '\n' ? Step::kGameOver : Step::kContinue;
  }
}

template <class Sink>
Scanner::Step Scanner::read_movetext(Sink& sink) {
  const std::size_t size = text_.size();
  std::size_t depth = 0;
  while (true) {
    if (pos_ == size) return final_ ? Step::kGameOver : Step::kNeedMore;
    const char c = text_[pos_];
    switch (c) {
      case '\n': {
        ++pos_;
        ++lines_;
        const Step step = movetext_line_start();
        if (step != Step::kContinue) return step;
        continue;
      }
      case ' ': case '\t': case '\r': case '\v': case '\f': case '\0': case '\x1a': case '}':
        ++pos_;
        continue;
      case '{': {
        const std::size_t close = text_.find('}', pos_ + 1);
        const std::size_t stop = close == std::string_view::npos ? size : close + 1;
        if (close == std::string_view::npos && !final_) return Step::kNeedMore;
        for (std::size_t i = pos_; i < stop; ++i) lines_ += text_[i] == '\n';
        pos_ = stop;
        continue;
      }
      case ';': {
        const std::size_t eol = text_.find('\n', pos_);
        if (eol == std::string_view::npos) {
          if (!final_) return Step::kNeedMore;
          pos_ = size;
          continue;
        }
        pos_ = eol;  // the line break is read as such
        continue;
      }
      case '(':
        ++depth;
        ++pos_;
        continue;
      case ')':
        if (depth > 0) --depth;
        ++pos_;
        continue;
      case '$':
        ++pos_;
        while (pos_ < size && is_digit(text_[pos_])) ++pos_;
        if (pos_ == size && !final_) return Step::kNeedMore;
        continue;
      default:
        break;
    }

    std::size_t end = pos_ + 1;
    while (end < size && !ends_word(text_[end])) ++end;
    if (end == size && !final_) return Step::kNeedMore;
    std::string_view word = text_.substr(pos_, end - pos_);
    pos_ = end;
    if (depth > 0) continue;
    if (is_result(word)) {
      sink.result(word);
      const Step step = skip_line();
      return step == Step::kNeedMore ? step : Step::kGameOver;
    }
    // A move number ("12.", "12...", "12") may run into its move ("1.e4").
    std::size_t i = 0;
    while (i < word.size() && is_digit(word[i])) ++i;
    if (i == word.size()) continue;
    if (word[i] == '.') {
      while (i < word.size() && word[i] == '.') ++i;
      word.remove_prefix(i);
    } else if (i == 0) {
      while (i < word.size() && word[i] == '.') ++i;
      word.remove_prefix(i);
    }
    if (word.empty() || word == "e.p.") continue;
    if (word.find_first_not_of("!?") == std::string_view::npos) continue;
    sink.move(word, lines_);
  }
}

}  // namespace orvex::pgn
