// Squares between two squares and whole lines through two squares.
#pragma once

#include <array>

#include "base/types.h"

namespace orvex {

namespace detail {

constexpr int sign(int v) { return (v > 0) - (v < 0); }

// Returns the step from a towards b when they share a rank, file or diagonal, else 0.
constexpr int line_step(Square a, Square b) {
  const int df = file_of(b) - file_of(a);
  const int dr = rank_of(b) - rank_of(a);
  if (a == b) return 0;
  if (df != 0 && dr != 0 && df != dr && df != -dr) return 0;
  return sign(dr) * 8 + sign(df);
}

struct LineTables {
  std::array<std::array<Bitboard, 64>, 64> between{};
  std::array<std::array<Bitboard, 64>, 64> line{};
  // Every square a rook (bishop) on s reaches on an empty board.
  std::array<Bitboard, 64> straight{};
  std::array<Bitboard, 64> diagonal{};
};

constexpr LineTables make_line_tables() {
  LineTables t{};
  for (int ai = 0; ai < kSquares; ++ai) {
    for (int bi = 0; bi < kSquares; ++bi) {
      const Square a = static_cast<Square>(ai);
      const Square b = static_cast<Square>(bi);
      const int d = line_step(a, b);
      if (d == 0) continue;
      for (int s = a + d; s != b; s += d) t.between[a][b] |= square_bb(static_cast<Square>(s));
      // The whole line: walk both ways from a to the board's edge.
      Bitboard line = square_bb(a);
      for (int dir : {d, -d}) {
        int cur = a;
        while (true) {
          const int next = cur + dir;
          if (next < 0 || next > 63 || file_distance(next, cur) > 1) break;
          line |= square_bb(static_cast<Square>(next));
          cur = next;
        }
      }
      t.line[a][b] = line;
      (file_of(a) == file_of(b) || rank_of(a) == rank_of(b) ? t.straight : t.diagonal)[a] |=
          square_bb(b);
    }
  }
  return t;
}

}  // namespace detail

inline constexpr detail::LineTables kLineTables = detail::make_line_tables();

// Returns the squares strictly between a and b on their common line, or 0.
constexpr Bitboard between(Square a, Square b) { return kLineTables.between[a][b]; }

// Returns every square of the line through a and b, edge to edge, or 0.
constexpr Bitboard line_through(Square a, Square b) { return kLineTables.line[a][b]; }

// Returns the squares a rook (a bishop) on s reaches on an empty board.
constexpr Bitboard straight_rays(Square s) { return kLineTables.straight[s]; }
constexpr Bitboard diagonal_rays(Square s) { return kLineTables.diagonal[s]; }

}  // namespace orvex
