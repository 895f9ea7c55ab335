// Shared by the fuzz harnesses: a failed check prints what broke and aborts,
// which libFuzzer reports as a crash together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "base/panic.h"
#include "board/board.h"
#include "board/fen.h"

namespace orvex::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\ncheck failed: %s\n%s\n", what, detail.c_str());
  std::abort();
}

#define ORVEX_CHECK(condition, detail) \
  do {                                 \
    if (!(condition)) ::orvex::fuzz::fail(#condition, (detail)); \
  } while (0)

// Reads an input made of FEN text, the byte '|', then the rest (without '|'
// the whole input is the FEN; an empty FEN part stands for the start
// position). Returns the board and sets rest, or nothing for FEN text that
// does not read: the FEN harness covers those.
inline std::optional<Board> board_and_rest(std::string_view input, std::string_view& rest) {
  const std::size_t bar = input.find('|');
  std::string_view fen = input.substr(0, bar);
  rest = bar == std::string_view::npos ? std::string_view() : input.substr(bar + 1);
  if (fen.empty()) fen = kDefaultFen;
  try {
    Parsed<Board> parsed = board_from_fen(fen);
    if (!parsed.ok()) return std::nullopt;
    return std::move(parsed.value());
  } catch (const Panic&) {
    return std::nullopt;
  }
}

// A readable description of a board for failure reports.
inline std::string describe(const Board& board) {
  std::string out = board_fen(board);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, " | state %#llx | %zu moves",
                static_cast<unsigned long long>(board.state), board.move_history.size());
  return out + buffer;
}

// Whether the twelve undo stacks agree with the saved masks of the history.
inline bool history_consistent(const Board& board) {
  for (int k = 0; k < kPieceKinds; ++k) {
    std::size_t expected = 0;
    for (const HistoryEntry& e : board.move_history) expected += (e.saved_mask >> k) & 1;
    if (board.piece_history[k].size() != expected) return false;
  }
  for (const HistoryEntry& e : board.move_history) {
    if (e.saved_mask >> kPieceKinds) return false;
  }
  return true;
}

}  // namespace orvex::fuzz
