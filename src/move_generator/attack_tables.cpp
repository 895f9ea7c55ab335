#include "move_generator/attack_tables.h"

#include <bit>

#include "board/panic.h"

namespace orvex {
namespace {

constexpr std::array<int, 4> kRookDirections = {8, -8, 1, -1};
constexpr std::array<int, 4> kBishopDirections = {9, -9, 7, -7};

}  // namespace

Bitboard get_bishop_cross(Square s) {
  Bitboard cross = 0;
  for (int d : {9, 7, -9, -7}) {
    Square cur = s;
    while (true) {
      const std::uint16_t next = step(cur, d);
      if (next > 63) break;
      if (rank_of(next) == 7 || rank_of(next) == 0 || file_distance(next, cur) >= 2 ||
          file_of(next) == 0 || file_of(next) == 7) {
        break;
      }
      cross |= square_bb(next);
      cur = next;
    }
  }
  return cross;
}

Bitboard slide_attacks(Square s, Bitboard occupancy, int kind) {
  const auto& directions = kind == kRook ? kRookDirections : kBishopDirections;
  Bitboard attacks = 0;
  for (int d : directions) {
    Square cur = s;
    while (true) {
      const std::uint16_t next = step(cur, d);
      if (next > 63 || file_distance(next, cur) > 1) break;
      attacks |= square_bb(next);
      if (has_square(occupancy, next)) break;
      cur = next;
    }
  }
  return attacks;
}

std::vector<Bitboard> rook_bishop_moves(Square s, Bitboard mask, int kind) {
  std::vector<Bitboard> table(kTableEntries, 0);
  const bool rook = kind == kRook;
  const std::uint64_t multiplier = rook ? kRookMultipliers[s] : kBishopMultipliers[s];
  const unsigned shift = rook ? kRookShifts[s] : kBishopShifts[s];

  if (mask == 0) {
    table[0] = slide_attacks(s, 0, kind);
    return table;
  }

  Square squares[64];
  int n = 0;
  for (Bitboard m = mask; m;) squares[n++] = pop_lsb(m);

  for (std::uint64_t h = 0; h < (std::uint64_t{1} << n); ++h) {
    Bitboard occupancy = 0;
    for (int k = 0; k < n; ++k) {
      if ((h >> k) & 1) occupancy |= square_bb(squares[k]);
    }
    const std::uint64_t index = (occupancy * multiplier) >> (shift & 63);
    if (index >= kTableEntries) throw Panic("attack table index out of range");
    table[index] = slide_attacks(s, occupancy, kind);
  }
  return table;
}

AttackTables::AttackTables() : entries_(static_cast<std::size_t>(kTableCount) * kTableEntries) {
  for (Square s = 0; s < 64; ++s) {
    rook_masks_[s] = rook_mask(s);
    bishop_masks_[s] = get_bishop_cross(s);
    const auto rook = rook_bishop_moves(s, rook_masks_[s], kRook);
    const auto bishop = rook_bishop_moves(s, bishop_masks_[s], kBishop);
    std::copy(rook.begin(), rook.end(), entries_.begin() + static_cast<std::ptrdiff_t>(2 * s) * kTableEntries);
    std::copy(bishop.begin(), bishop.end(),
              entries_.begin() + static_cast<std::ptrdiff_t>(2 * s + 1) * kTableEntries);
  }
}

}  // namespace orvex
