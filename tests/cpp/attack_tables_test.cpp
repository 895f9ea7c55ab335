// The rook and bishop attack tables.
#include <algorithm>
#include <bit>
#include <cstdlib>

#include "test_support.h"

namespace orvex::testing {
namespace {

// An independent attack walk on (file, rank) coordinates.
Bitboard reference_attacks(Square s, Bitboard occupancy, bool rook) {
  static constexpr int kRook[4][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
  static constexpr int kBishop[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
  Bitboard out = 0;
  for (const auto& d : rook ? kRook : kBishop) {
    for (int f = file_of(s) + d[0], r = rank_of(s) + d[1]; f >= 0 && f < 8 && r >= 0 && r < 8;
         f += d[0], r += d[1]) {
      out |= square_bb(make_square(f, r));
      if (has_square(occupancy, make_square(f, r))) break;
    }
  }
  return out;
}

// The squares whose occupancy matters: the rays without their last square.
Bitboard reference_mask(Square s, bool rook) {
  Bitboard mask = 0;
  for (int i = 0; i < 64; ++i) {
    const Square t = sq(i);
    const int df = std::abs(file_of(t) - file_of(s)), dr = std::abs(rank_of(t) - rank_of(s));
    const bool edge_file = file_of(t) == 0 || file_of(t) == 7;
    const bool edge_rank = rank_of(t) == 0 || rank_of(t) == 7;
    if (t == s) continue;
    if (rook && df == 0 && !edge_rank) mask |= square_bb(t);
    if (rook && dr == 0 && !edge_file) mask |= square_bb(t);
    if (!rook && df == dr && !edge_file && !edge_rank) mask |= square_bb(t);
  }
  return mask;
}

TEST(AttackTables, MasksAndShifts) {
  for (int i = 0; i < 64; ++i) {
    const Square s = sq(i);
    EXPECT_EQ(rook_mask(s), reference_mask(s, true)) << s;
    EXPECT_EQ(get_bishop_cross(s), reference_mask(s, false)) << s;
    EXPECT_EQ(kRookShifts[s], 64 - std::popcount(rook_mask(s))) << s;
    EXPECT_EQ(kBishopShifts[s], 64 - std::popcount(get_bishop_cross(s))) << s;
  }
  EXPECT_EQ(rook_mask(kA1), 0x000101010101017eu);
  EXPECT_EQ(std::popcount(rook_mask(kH8)), 12);
  EXPECT_EQ(std::popcount(rook_mask(kD1)), 11);
  EXPECT_EQ(std::popcount(rook_mask(kD4)), 10);
  EXPECT_EQ(get_bishop_cross(kD4), 0x0040221400142200u);
  EXPECT_EQ(get_bishop_cross(kA1), 0x0040201008040200u);
  EXPECT_EQ(get_bishop_cross(kH8), 0x0040201008040200u);
  EXPECT_EQ(kRookShifts[kA1], 52);
  EXPECT_EQ(kBishopShifts[kD4], 55);
}

// The main check of the multipliers and the table layout: every subset of
// every mask, with any squares outside the mask added, finds its attack set
// from the independent walk; entries that no subset reaches stay 0.
TEST(AttackTables, EveryOccupancySubsetFindsItsAttackSet) {
  const AttackTables& t = tables();
  std::size_t entries = 0;
  for (int i = 0; i < 64; ++i) {
    const Square s = sq(i);
    for (bool rook : {true, false}) {
      const Bitboard mask = rook ? rook_mask(s) : get_bishop_cross(s);
      const auto table = t.table(s, rook ? kRook : kBishop);
      ASSERT_EQ(table.size(), std::size_t{1} << std::popcount(mask)) << s;
      entries += table.size();
      std::vector<bool> reached(table.size());
      Bitboard occ = 0;
      do {  // every subset of the mask
        const Bitboard expected = reference_attacks(s, occ, rook);
        ASSERT_EQ(slide_attacks(s, occ, rook ? kRook : kBishop), expected) << s << " " << occ;
        const unsigned index = magic_index(occ, mask, rook ? kRookMultipliers[s] : kBishopMultipliers[s],
                                           rook ? kRookShifts[s] : kBishopShifts[s]);
        ASSERT_LT(index, table.size()) << s;
        ASSERT_EQ(table[index], expected) << (rook ? "rook " : "bishop ") << s << " " << occ;
        const Bitboard outside = ~mask & 0xA5C3F00FF00FC3A5u;  // never changes the entry
        ASSERT_EQ(rook ? t.rook_attacks(s, occ | outside) : t.bishop_attacks(s, occ | outside),
                  expected);
        reached[index] = true;
        occ = (occ - mask) & mask;
      } while (occ != 0);
      for (std::size_t e = 0; e < table.size(); ++e) {
        if (!reached[e]) {
          ASSERT_EQ(table[e], 0u) << s << " entry " << e;
        }
      }
    }
  }
  EXPECT_EQ(entries, 107648u);
}

TEST(AttackTables, KnownEntries) {
  const AttackTables& t = tables();
  EXPECT_EQ(t.table(kA1, kRook)[0], 0x01010101010101feu);
  EXPECT_EQ(t.rook_attacks(kA1, squares_bb({"b1", "a2"})), squares_bb({"b1", "a2"}));
  // A blocker on a ray's last square changes no index, yet the ray reaches it.
  for (Bitboard edge : {squares_bb({"a8"}), squares_bb({"h4"}), squares_bb({"a8", "h4", "a1"})}) {
    EXPECT_EQ(magic_index(edge, rook_mask(kA4), kRookMultipliers[kA4], kRookShifts[kA4]),
              magic_index(0, rook_mask(kA4), kRookMultipliers[kA4], kRookShifts[kA4]));
    EXPECT_EQ(t.rook_attacks(kA4, edge), 0x01010101FE010101u);
  }
  EXPECT_EQ(t.bishop_attacks(kD4, squares_bb({"c3", "f6"})),
            squares_bb({"c3", "e5", "f6", "e3", "f2", "g1", "c5", "b6", "a7"}));
}

TEST(AttackTables, OneSetPerProcess) {
  EXPECT_EQ(&attack_tables(), &attack_tables());
}

TEST(RookBishopMoves, EmptyMaskStoresTheEmptyBoardSet) {
  const auto table = rook_bishop_moves(kD4, 0, kRook);
  EXPECT_EQ(table.size(), 1024u);
  EXPECT_EQ(table[0], reference_attacks(kD4, 0, true));
  EXPECT_EQ(std::count(table.begin(), table.end(), 0u), 1023);
}

}  // namespace
}  // namespace orvex::testing
