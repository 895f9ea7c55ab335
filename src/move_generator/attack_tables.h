// The rook and bishop attack tables, built once per process.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/types.h"
#include "move_generator/magic_constants.h"

namespace orvex {

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

// Returns the multiply-and-shift index of an occupancy.
constexpr unsigned magic_index(Bitboard occupancy, Bitboard mask, std::uint64_t multiplier,
                               unsigned shift) {
  return static_cast<unsigned>(((occupancy & mask) * multiplier) >> (shift & 63));
}

// Returns the table of square s for a rook (kind 3) or a bishop: one entry per
// index the hash can give, 2^(64 - shift), each the attack set of the
// occupancies that hash there. Throws Panic if an index falls outside it.
std::vector<Bitboard> rook_bishop_moves(Square s, Bitboard mask, int kind);

// The attack tables of every square, each only as large as its shift needs
// (107,648 entries, 841 KiB, in one block). Immutable once built.
class AttackTables {
 public:
  AttackTables();
  AttackTables(const AttackTables&) = delete;
  AttackTables& operator=(const AttackTables&) = delete;

  Bitboard rook_attacks(Square s, Bitboard occupancy) const { return rook_[s].attacks(occupancy); }
  Bitboard bishop_attacks(Square s, Bitboard occupancy) const {
    return bishop_[s].attacks(occupancy);
  }

  // The table of square s for a rook (kind 3) or a bishop.
  std::span<const Bitboard> table(Square s, int kind) const {
    const Magic& m = kind == kRook ? rook_[s] : bishop_[s];
    return {m.entries, std::size_t{1} << (64 - m.shift)};
  }

 private:
  // Everything one lookup reads, side by side.
  struct Magic {
    Bitboard mask;
    std::uint64_t multiplier;
    const Bitboard* entries;
    unsigned shift;

    Bitboard attacks(Bitboard occupancy) const {
      return entries[((occupancy & mask) * multiplier) >> shift];
    }
  };

  std::vector<Bitboard> entries_;
  std::array<Magic, kSquares> rook_{};
  std::array<Magic, kSquares> bishop_{};
};

// Returns the process's attack tables, built on first use; safe to call from
// any thread, and the tables are only read afterwards.
const AttackTables& attack_tables();

}  // namespace orvex
