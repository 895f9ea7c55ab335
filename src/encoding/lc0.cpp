#include "encoding/lc0.h"

#include <array>
#include <cstdint>

#include "encoding/encoding.h"

namespace orvex {
namespace {

constexpr std::uint16_t kMoves[kLc0Size] = {
#include "encoding/lc0_moves.inc"
};

// The index of every plain move: plain[from * 64 + to], or -1.
constexpr std::array<std::int16_t, 64 * 64> kPlainIndices = [] {
  std::array<std::int16_t, 64 * 64> indices{};
  for (auto& index : indices) index = -1;
  for (int i = 0; i < kLc0Size; ++i) {
    const ChessMove move(kMoves[i]);
    if (move.special() == kOrdinary) indices[move.from() * 64 + move.to()] = static_cast<std::int16_t>(i);
  }
  return indices;
}();

// The index of every promotion to b, r, q from the seventh rank:
// promotions[code - 5][(from - a7) * 8 + (to - a8)], or -1.
constexpr std::array<std::array<std::int16_t, 64>, 3> kPromotionIndices = [] {
  std::array<std::array<std::int16_t, 64>, 3> indices{};
  for (auto& row : indices) {
    for (auto& index : row) index = -1;
  }
  for (int i = 0; i < kLc0Size; ++i) {
    const ChessMove move(kMoves[i]);
    if (move.special() != kOrdinary) {
      indices[move.special() - kPromoteBishop][(move.from() - kA7) * 8 + move.to() - kA8] =
          static_cast<std::int16_t>(i);
    }
  }
  return indices;
}();

}  // namespace

int lc0_index(ChessMove seen) {
  const int from = seen.from();
  int to = seen.to();
  switch (seen.special()) {
    case kCastling:
      // Onto the rook: the king's two-square move goes on to the corner.
      to = to > from ? to + 1 : to - 2;
      if (to < 0 || to >= 64 || rank_of(static_cast<Square>(to)) != rank_of(seen.from())) return -1;
      break;
    case kPromoteBishop:
    case kPromoteRook:
    case kPromoteQueen:
      if (rank_of(seen.from()) != 6 || rank_of(seen.to()) != 7) return -1;
      return kPromotionIndices[seen.special() - kPromoteBishop][(from - kA7) * 8 + to - kA8];
    default:
      break;
  }
  return kPlainIndices[from * 64 + to];
}

std::optional<ChessMove> lc0_move(int index) {
  if (index < 0 || index >= kLc0Size) return std::nullopt;
  return ChessMove(kMoves[index]);
}

}  // namespace orvex
