// Knight, king and pawn step tables, built at compile time.
#pragma once

#include <array>
#include <cstdint>

#include "base/types.h"

namespace orvex {

// The squares one step from s, for each offset in order, that stay on the
// board and move at most limit files.
struct StepTargets {
  std::array<std::uint8_t, 8> squares{};
  int count = 0;
};

template <std::size_t N>
constexpr std::array<StepTargets, 64> step_targets(const std::array<std::int16_t, N>& steps,
                                                   int limit) {
  std::array<StepTargets, 64> table{};
  for (int i = 0; i < kSquares; ++i) {
    const Square s = static_cast<Square>(i);
    for (std::int16_t offset : steps) {
      const std::uint16_t t = step(s, offset);
      if (t > 63 || file_distance(t, s) > limit) continue;
      table[s].squares[table[s].count++] = static_cast<std::uint8_t>(t);
    }
  }
  return table;
}

template <std::size_t N>
constexpr std::array<Bitboard, 64> step_attacks(const std::array<std::int16_t, N>& steps, int limit) {
  std::array<Bitboard, 64> table{};
  const auto targets = step_targets(steps, limit);
  for (int s = 0; s < kSquares; ++s) {
    for (int i = 0; i < targets[s].count; ++i) {
      table[s] |= square_bb(static_cast<Square>(targets[s].squares[i]));
    }
  }
  return table;
}

}  // namespace orvex
