#include "pgn/game_batch.h"

#include "board/board.h"
#include "board/fen.h"
#include "pgn/start_position.h"

namespace orvex::pgn {

void GameBatch::append(GameBatch&& other, std::uint64_t line_base) {
  if (games.empty() && text.empty()) {
    *this = std::move(other);
    for (GameRecord& g : games) g.line += line_base;
    for (GameFailure& f : failures) f.line += line_base;
    return;
  }
  const auto text_shift = static_cast<std::uint32_t>(text.size());
  const auto tag_shift = static_cast<std::uint32_t>(tags.size());
  const auto move_shift = static_cast<std::uint32_t>(moves.size());
  const auto start_shift = static_cast<std::uint32_t>(starts.size());
  const auto failure_shift = static_cast<std::uint32_t>(failures.size());
  text.append(other.text);
  for (TagRecord t : other.tags) {
    t.name.offset += text_shift;
    t.value.offset += text_shift;
    tags.push_back(t);
  }
  moves.insert(moves.end(), other.moves.begin(), other.moves.end());
  starts.insert(starts.end(), other.starts.begin(), other.starts.end());
  for (GameFailure& f : other.failures) {
    f.line += line_base;
    failures.push_back(std::move(f));
  }
  for (GameRecord g : other.games) {
    g.line += line_base;
    g.first_tag += tag_shift;
    g.first_move += move_shift;
    if (g.start != kNone) g.start += start_shift;
    if (g.failure != kNone) g.failure += failure_shift;
    g.result.offset += text_shift;
    games.push_back(g);
  }
}

std::string describe_games(const GameBatch& batch) {
  std::string out;
  for (const GameRecord& g : batch.games) {
    out += "game at line " + std::to_string(g.line + 1) + "\n";
    for (std::uint32_t i = 0; i < g.tag_count; ++i) {
      const TagRecord& t = batch.tags[g.first_tag + i];
      out += "  [";
      out += batch.view(t.name);
      out += " \"";
      out += batch.view(t.value);
      out += "\"]\n";
    }
    if (g.start != kNone) {
      Board board;
      put_start(board, batch.starts[g.start]);
      out += (board.chess960 ? "  from (Chess960) " : "  from ") + board_fen(board) + "\n";
    }
    out += "  moves";
    for (std::uint32_t i = 0; i < g.move_count; ++i) {
      out += ' ';
      batch.moves[g.first_move + i].write_text(out);
    }
    out += "\n  result ";
    out += batch.view(g.result);
    out += "\n";
    if (g.failure != kNone) {
      const GameFailure& f = batch.failures[g.failure];
      out += "  failed: ";
      out += f.reason;
      out += " '";
      out += f.text;
      out += "' on line ";
      out += std::to_string(f.line + 1);
      out += "\n";
    }
  }
  return out;
}

}  // namespace orvex::pgn
