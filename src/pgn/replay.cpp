#include "pgn/replay.h"

#include "base/excerpt.h"
#include "board/make_move.h"
#include "move_generator/attack_tables.h"
#include "notation/san.h"
#include "pgn/scanner.h"
#include "pgn/start_position.h"

namespace orvex::pgn {
namespace {

std::string lower_case(std::string_view name) {
  std::string lower;
  for (char c : name) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower;
}

// Whether a Variant tag names standard chess.
bool is_standard_variant(std::string_view name) {
  const std::string lower = lower_case(name);
  return lower.empty() || lower == "standard" || lower == "chess" || lower == "normal" ||
         lower == "classical" || lower == "from position";
}

// Whether a Variant tag names Chess960.
bool is_chess960_variant(std::string_view name) {
  const std::string lower = lower_case(name);
  return lower == "chess960" || lower == "chess 960" || lower == "fischerandom" ||
         lower == "fischer random";
}

bool is_null_move(std::string_view token) {
  return token == "--" || token == "Z0" || token == "0000" || token == "@@@@";
}

}  // namespace

TextSpan GameBuilder::store(std::string_view text) {
  const TextSpan span{static_cast<std::uint32_t>(out_.text.size()),
                      static_cast<std::uint32_t>(text.size())};
  out_.text.append(text);
  return span;
}

void GameBuilder::begin_game(std::uint64_t line) {
  text_mark_ = out_.text.size();
  tags_mark_ = out_.tags.size();
  moves_mark_ = out_.moves.size();
  starts_mark_ = out_.starts.size();
  failures_mark_ = out_.failures.size();
  game_ = GameRecord{};
  game_.line = line_base_ + line;
  game_.first_tag = static_cast<std::uint32_t>(tags_mark_);
  game_.first_move = static_cast<std::uint32_t>(moves_mark_);
  prepared_ = false;
  has_fen_ = has_variant_ = has_result_tag_ = has_result_word_ = false;
}

void GameBuilder::tag(std::string_view name, std::string_view raw_value, std::uint64_t line) {
  TagRecord record;
  record.name = store(name);
  const std::size_t start = out_.text.size();
  append_unescaped(raw_value, out_.text);
  record.value = TextSpan{static_cast<std::uint32_t>(start),
                          static_cast<std::uint32_t>(out_.text.size() - start)};
  out_.tags.push_back(record);
  if (name == "FEN") {
    fen_ = record.value;
    fen_line_ = line_base_ + line;
    has_fen_ = true;
  } else if (name == "Variant") {
    variant_ = record.value;
    variant_line_ = line_base_ + line;
    has_variant_ = true;
  } else if (name == "Result") {
    result_tag_ = record.value;
    has_result_tag_ = true;
  }
}

void GameBuilder::fail(std::uint64_t line, std::string_view text, std::string reason) {
  game_.failure = static_cast<std::uint32_t>(out_.failures.size());
  out_.failures.push_back(GameFailure{line, excerpt(text), std::move(reason)});
}

void GameBuilder::prepare() {
  prepared_ = true;
  board_.move_history.clear();
  for (auto& stack : board_.piece_history) stack.clear();
  const bool chess960 = has_variant_ && is_chess960_variant(out_.view(variant_));
  if (has_variant_ && !chess960 && !is_standard_variant(out_.view(variant_))) {
    fail(variant_line_, out_.view(variant_), "unsupported variant");
    return;
  }
  StartPosition start = standard_start();
  if (has_fen_) {
    const Parsed<Board> read = start_position(out_.view(fen_), chess960);
    if (!read.ok()) {
      fail(fen_line_, out_.view(fen_), "invalid FEN tag (" + read.error() + ")");
      return;
    }
    start = start_of(read.value());
  } else {
    start.chess960 = chess960;
  }
  put_start(board_, start);
  // The standard start of standard chess needs no record.
  if (has_fen_ || start.chess960) {
    game_.start = static_cast<std::uint32_t>(out_.starts.size());
    out_.starts.push_back(start);
  }
}

void GameBuilder::move(std::string_view token, std::uint64_t line) {
  if (!prepared_) prepare();
  if (game_.failure != kNone) return;
  if (is_null_move(token)) {
    fail(line_base_ + line, token, "null move");
    return;
  }
  ChessMove move;
  switch (match_san(attack_tables(), board_, token, move)) {
    case SanStatus::kFound:
      break;
    case SanStatus::kUnreadable:
      fail(line_base_ + line, token, "unreadable move");
      return;
    case SanStatus::kAmbiguous:
      fail(line_base_ + line, token, "ambiguous move");
      return;
    case SanStatus::kNoLegalMove:
    case SanStatus::kSharedSquare:
      fail(line_base_ + line, token, "illegal move");
      return;
  }
  (void)push_move(board_, move);
  out_.moves.push_back(move);
  ++game_.move_count;
}

void GameBuilder::result(std::string_view word) {
  result_word_ = store(word);
  has_result_word_ = true;
}

void GameBuilder::end_game() {
  if (!prepared_) prepare();
  game_.tag_count = static_cast<std::uint32_t>(out_.tags.size() - tags_mark_);
  // A Result tag that is no result ("?", say) counts as unknown, as "*" does.
  const std::string_view tag = has_result_tag_ ? out_.view(result_tag_) : "*";
  if (is_result(tag) && tag != "*") {
    game_.result = result_tag_;
  } else if (has_result_word_) {
    game_.result = result_word_;
  } else {
    game_.result = store("*");
  }
  out_.games.push_back(game_);
}

void GameBuilder::abandon_game() {
  out_.text.resize(text_mark_);
  out_.tags.resize(tags_mark_);
  out_.moves.resize(moves_mark_);
  out_.starts.resize(starts_mark_);
  out_.failures.resize(failures_mark_);
}

}  // namespace orvex::pgn
