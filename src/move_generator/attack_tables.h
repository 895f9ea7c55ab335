// The rook and bishop attack tables of a generator.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "board/types.h"
#include "move_generator/magic_constants.h"

namespace orvex {

constexpr int kTableEntries = 4096;
constexpr int kTableCount = 128;

// Returns the squares of s's file on ranks 2 to 7 and of its rank on files b
// to g, without s itself.
constexpr Bitboard rook_mask(Square s) {
  return ((Bitboard{0x0001010101010100} << file_of(s)) | (Bitboard{0x7E} << (8 * rank_of(s)))) &
         ~square_bb(s);
}

// Returns the squares of the two diagonals through s, without s and without the
// squares on the board's edge.
Bitboard get_bishop_cross(Square s);

// Returns the attack set of a rook (kind 3) or bishop (any other kind) on s
// with exactly the squares of occupancy occupied, by walking each ray. Slow;
// it builds the tables and checks them.
Bitboard slide_attacks(Square s, Bitboard occupancy, int kind);

// Returns the 4096-entry table of square s for a rook (kind 3) or a bishop.
// Throws Panic if an occupancy hashes to 4096 or above.
std::vector<Bitboard> rook_bishop_moves(Square s, Bitboard mask, int kind);

constexpr unsigned magic_index(Bitboard occupancy, Bitboard mask, std::uint64_t multiplier,
                               unsigned shift) {
  return static_cast<unsigned>(((occupancy & mask) * multiplier) >> (shift & 63));
}

// Table 2s is the rook table of square s, table 2s + 1 its bishop table.
class AttackTables {
 public:
  AttackTables();

  std::span<const Bitboard> table(int index) const {
    return {entries_.data() + static_cast<std::size_t>(index) * kTableEntries, kTableEntries};
  }
  int table_count() const { return kTableCount; }

  Bitboard rook_attacks(Square s, Bitboard occupancy) const {
    return entries_[static_cast<std::size_t>(2 * s) * kTableEntries +
                    magic_index(occupancy, rook_masks_[s], kRookMultipliers[s], kRookShifts[s])];
  }
  Bitboard bishop_attacks(Square s, Bitboard occupancy) const {
    return entries_[static_cast<std::size_t>(2 * s + 1) * kTableEntries +
                    magic_index(occupancy, bishop_masks_[s], kBishopMultipliers[s],
                                kBishopShifts[s])];
  }

 private:
  // All 128 tables, one after the other.
  std::vector<Bitboard> entries_;
  std::array<Bitboard, 64> rook_masks_{};
  std::array<Bitboard, 64> bishop_masks_{};
};

}  // namespace orvex
