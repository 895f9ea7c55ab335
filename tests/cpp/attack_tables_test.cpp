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
      out |= square_bb(r * 8 + f);
      if (has_square(occupancy, r * 8 + f)) break;
    }
  }
  return out;
}

// The squares whose occupancy matters: the rays without their last square.
Bitboard reference_mask(Square s, bool rook) {
  Bitboard mask = 0;
  for (Square t = 0; t < 64; ++t) {
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
  for (Square s = 0; s < 64; ++s) {
    EXPECT_EQ(rook_mask(s), reference_mask(s, true)) << s;
    EXPECT_EQ(get_bishop_cross(s), reference_mask(s, false)) << s;
    EXPECT_EQ(kRookShifts[s], 64 - std::popcount(rook_mask(s))) << s;
    EXPECT_EQ(kBishopShifts[s], 64 - std::popcount(get_bishop_cross(s))) << s;
  }
  EXPECT_EQ(rook_mask(0), 0x000101010101017eu);
  EXPECT_EQ(std::popcount(rook_mask(63)), 12);
  EXPECT_EQ(std::popcount(rook_mask(3)), 11);
  EXPECT_EQ(std::popcount(rook_mask(27)), 10);
  EXPECT_EQ(get_bishop_cross(27), 0x0040221400142200u);
  EXPECT_EQ(get_bishop_cross(0), 0x0040201008040200u);
  EXPECT_EQ(get_bishop_cross(63), 0x0040201008040200u);
  EXPECT_EQ(kRookShifts[0], 52);
  EXPECT_EQ(kBishopShifts[27], 55);
}

// The main check of the multipliers: every subset of every mask reaches the
// entry that holds its attack set, and entries no subset reaches stay 0.
TEST(AttackTables, EveryOccupancySubsetFindsItsAttackSet) {
  const AttackTables& t = tables();
  ASSERT_EQ(t.table_count(), 128);
  for (Square s = 0; s < 64; ++s) {
    for (bool rook : {true, false}) {
      const Bitboard mask = rook ? rook_mask(s) : get_bishop_cross(s);
      const auto table = t.table(2 * s + (rook ? 0 : 1));
      ASSERT_EQ(table.size(), 4096u);
      std::vector<bool> reached(4096);
      Bitboard occ = 0;
      do {  // every subset of the mask
        const Bitboard expected = reference_attacks(s, occ, rook);
        ASSERT_EQ(slide_attacks(s, occ, rook ? 3 : 2), expected) << s << " " << occ;
        const unsigned index = magic_index(occ, mask, rook ? kRookMultipliers[s] : kBishopMultipliers[s],
                                           rook ? kRookShifts[s] : kBishopShifts[s]);
        ASSERT_LT(index, rook ? 4096u : 512u) << s;
        ASSERT_EQ(table[index], expected) << (rook ? "rook " : "bishop ") << s << " " << occ;
        const Bitboard outside = ~mask & 0xA5C3F00FF00FC3A5u;  // never changes the entry
        ASSERT_EQ(rook ? t.rook_attacks(s, occ | outside) : t.bishop_attacks(s, occ | outside),
                  expected);
        reached[index] = true;
        occ = (occ - mask) & mask;
      } while (occ != 0);
      for (int i = 0; i < 4096; ++i) {
        if (!reached[i]) {
          ASSERT_EQ(table[i], 0u) << s << " entry " << i;
        }
      }
    }
  }
}

TEST(AttackTables, KnownEntries) {
  const AttackTables& t = tables();
  EXPECT_EQ(t.table(0)[0], 0x01010101010101feu);
  EXPECT_EQ(t.rook_attacks(0, squares_bb({"b1", "a2"})), squares_bb({"b1", "a2"}));
  // A blocker on a ray's last square changes no index, yet the ray reaches it.
  const Square a4 = 24;
  for (Bitboard edge : {squares_bb({"a8"}), squares_bb({"h4"}), squares_bb({"a8", "h4", "a1"})}) {
    EXPECT_EQ(magic_index(edge, rook_mask(a4), kRookMultipliers[a4], kRookShifts[a4]),
              magic_index(0, rook_mask(a4), kRookMultipliers[a4], kRookShifts[a4]));
    EXPECT_EQ(t.rook_attacks(a4, edge), 0x01010101FE010101u);
  }
  EXPECT_EQ(t.bishop_attacks(27, squares_bb({"c3", "f6"})),
            squares_bb({"c3", "e5", "f6", "e3", "f2", "g1", "c5", "b6", "a7"}));
}

TEST(AttackTables, BishopTablesAreZeroFrom512) {
  const AttackTables& t = tables();
  for (Square s = 0; s < 64; ++s) {
    const auto table = t.table(2 * s + 1);
    for (int i = 512; i < 4096; ++i) ASSERT_EQ(table[i], 0u) << s << " entry " << i;
  }
}

TEST(RookBishopMoves, BuildsTheSameTablesByKind) {
  const AttackTables& t = tables();
  for (Square s : {0, 7, 27, 36, 56, 63}) {
    const auto rook = rook_bishop_moves(s, rook_mask(s), 3);
    const auto bishop = rook_bishop_moves(s, get_bishop_cross(s), 2);
    EXPECT_TRUE(std::equal(rook.begin(), rook.end(), t.table(2 * s).begin())) << s;
    EXPECT_TRUE(std::equal(bishop.begin(), bishop.end(), t.table(2 * s + 1).begin())) << s;
    EXPECT_EQ(rook_bishop_moves(s, get_bishop_cross(s), 0), bishop) << "any kind but 3 is a bishop";
  }
}

TEST(RookBishopMoves, EmptyMaskStoresTheEmptyBoardSet) {
  const auto table = rook_bishop_moves(27, 0, 3);
  ASSERT_EQ(table.size(), 4096u);
  EXPECT_EQ(table[0], reference_attacks(27, 0, true));
  EXPECT_EQ(std::count(table.begin(), table.end(), 0u), 4095);
}

}  // namespace
}  // namespace orvex::testing
