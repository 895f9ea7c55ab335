// Shared by the fuzz harnesses: a failed check prints what broke and aborts,
// which libFuzzer reports as a crash together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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
