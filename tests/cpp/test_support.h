// Small helpers shared by the core tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "board/fen.h"
#include "board/make_move.h"
#include "chess_move/chess_move.h"
#include "move_generator/attack_tables.h"
#include "move_generator/move_list.h"

namespace orvex::testing {

inline const AttackTables& tables() { return attack_tables(); }

inline Board board_at(std::string_view fen) {
  Parsed<Board> parsed = board_from_fen(fen);
  if (!parsed.ok()) ADD_FAILURE() << "unreadable FEN " << fen << ": " << parsed.error();
  return parsed.ok() ? parsed.value() : Board{};
}

inline ChessMove move_of(std::string_view text) {
  Parsed<ChessMove> parsed = ChessMove::from_str(text);
  if (!parsed.ok()) ADD_FAILURE() << "unreadable move " << text << ": " << parsed.error();
  return parsed.ok() ? parsed.value() : ChessMove{};
}

// Pushes a move given as text and expects it to be made.
inline void push(Board& board, std::string_view text) {
  ASSERT_EQ(push_move(board, move_of(text)), PushOutcome::kMade) << text;
}

inline std::string joined(const MoveList& moves) {
  std::string out;
  for (ChessMove m : moves) {
    if (!out.empty()) out += ' ';
    m.write_text(out);
  }
  return out;
}

inline std::vector<std::string> texts(const MoveList& moves) {
  std::vector<std::string> out;
  for (ChessMove m : moves) out.push_back(m.text());
  return out;
}

// The square of a number, for tables written with numbers.
constexpr Square sq(int index) { return static_cast<Square>(index); }

inline Bitboard squares_bb(std::initializer_list<const char*> names) {
  Bitboard b = 0;
  for (const char* n : names) b |= square_bb(make_square(n[0] - 'a', n[1] - '1'));
  return b;
}

// A GoogleTest name for a parameterised case, made from the texts the case reads
// (joined by "_"), so that ctest lists the same names on every build and
// `ctest -R` can pick a case: letters and digits are kept, other printable ASCII
// characters become "_", and control characters and bytes past ASCII are written
// as "x" and two hex digits. GoogleTest stops at the listing if two cases of a
// suite come out the same, so a clash shows up at build time.
inline std::string case_name(std::initializer_list<std::string_view> parts) {
  std::string name;
  bool first = true;
  for (std::string_view part : parts) {
    if (!first) name += '_';
    first = false;
    for (const char c : part) {
      const auto byte = static_cast<unsigned char>(c);
      if ((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z')) {
        name += c;
      } else if (byte >= 0x20 && byte < 0x7F) {
        name += '_';
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "x%02X", byte);
        name += hex;
      }
    }
  }
  return name.empty() ? "empty" : name;
}

inline std::string case_name(std::string_view text) { return case_name({text}); }

// The name generator of a suite whose parameter is the text it reads.
struct TextName {
  template <typename Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    return case_name(std::string_view(info.param));
  }
};

}  // namespace orvex::testing
