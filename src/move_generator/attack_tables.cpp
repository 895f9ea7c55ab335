#include "move_generator/attack_tables.h"

#include <algorithm>
#include <bit>

#include "base/panic.h"

namespace orvex {
namespace {

constexpr std::array<int, 4> kRookDirections = {8, -8, 1, -1};
constexpr std::array<int, 4> kBishopDirections = {9, -9, 7, -7};

std::size_t table_size(unsigned shift) { return std::size_t{1} << (64 - shift); }

}  // namespace

Bitboard get_bishop_cross(Square s) {
  Bitboard cross = 0;
  for (int d : {9, 7, -9, -7}) {
    int cur = s;
    while (true) {
      const std::uint16_t next = step(static_cast<Square>(cur), d);
      if (next > 63) break;
      const Square n = static_cast<Square>(next);
      if (rank_of(n) == 7 || rank_of(n) == 0 || file_distance(next, cur) >= 2 || file_of(n) == 0 ||
          file_of(n) == 7) {
        break;
      }
      cross |= square_bb(n);
      cur = next;
    }
  }
  return cross;
}

Bitboard slide_attacks(Square s, Bitboard occupancy, int kind) {
  const auto& directions = kind == kRook ? kRookDirections : kBishopDirections;
  Bitboard attacks = 0;
  for (int d : directions) {
    int cur = s;
    while (true) {
      const std::uint16_t next = step(static_cast<Square>(cur), d);
      if (next > 63 || file_distance(next, cur) > 1) break;
      attacks |= square_bb(static_cast<Square>(next));
      if (has_square(occupancy, static_cast<Square>(next))) break;
      cur = next;
    }
  }
  return attacks;
}

std::vector<Bitboard> rook_bishop_moves(Square s, Bitboard mask, int kind) {
  const bool rook = kind == kRook;
  const std::uint64_t multiplier = rook ? kRookMultipliers[s] : kBishopMultipliers[s];
  const unsigned shift = rook ? kRookShifts[s] : kBishopShifts[s];
  std::vector<Bitboard> table(table_size(shift), 0);

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
    if (index >= table.size()) throw Panic("attack table index out of range");
    table[index] = slide_attacks(s, occupancy, kind);
  }
  return table;
}

AttackTables::AttackTables() {
  std::size_t total = 0;
  for (int s = 0; s < kSquares; ++s) total += table_size(kRookShifts[s]) + table_size(kBishopShifts[s]);
  entries_.resize(total);

  // Each square's rook table, then its bishop table.
  std::size_t offset = 0;
  for (int i = 0; i < kSquares; ++i) {
    const Square s = static_cast<Square>(i);
    for (const int kind : {static_cast<int>(kRook), static_cast<int>(kBishop)}) {
      const bool rook = kind == kRook;
      const Bitboard mask = rook ? rook_mask(s) : get_bishop_cross(s);
      const auto table = rook_bishop_moves(s, mask, kind);
      std::copy(table.begin(), table.end(), entries_.begin() + static_cast<std::ptrdiff_t>(offset));
      Magic& m = rook ? rook_[s] : bishop_[s];
      m.mask = mask;
      m.multiplier = rook ? kRookMultipliers[s] : kBishopMultipliers[s];
      m.shift = rook ? kRookShifts[s] : kBishopShifts[s];
      m.entries = entries_.data() + offset;
      offset += table.size();
    }
  }
}

const AttackTables& attack_tables() {
  // Never destroyed: worker threads that outlive the interpreter (a daemon
  // thread's batch at exit) may still read them while the process ends.
  static const AttackTables& tables = *new AttackTables;
  return tables;
}

}  // namespace orvex
