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

// Offsets in the order the moves are listed.
inline constexpr std::array<std::int16_t, 8> kKingSteps = {-8, 8, 1, -1, 9, 7, -9, -7};
inline constexpr std::array<std::int16_t, 8> kKnightSteps = {-17, -15, -6, 10, 17, 15, 6, -10};
constexpr int kKingStepLimit = 1;
constexpr int kKnightStepLimit = 2;

inline constexpr auto kKnightTargets = step_targets(kKnightSteps, kKnightStepLimit);
inline constexpr auto kKingTargets = step_targets(kKingSteps, kKingStepLimit);
inline constexpr auto kKnightAttacks = step_attacks(kKnightSteps, kKnightStepLimit);
inline constexpr auto kKingAttacks = step_attacks(kKingSteps, kKingStepLimit);
// Squares from which a black pawn attacks s, and from which a white one does.
inline constexpr auto kBlackPawnSources = step_attacks(std::array<std::int16_t, 2>{7, 9}, 1);
inline constexpr auto kWhitePawnSources = step_attacks(std::array<std::int16_t, 2>{-7, -9}, 1);

}  // namespace orvex
