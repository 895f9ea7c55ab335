// Castling rights: which right each square's rook stands for, and which
// rights a move gives up. One table serves standard chess and Chess960.
#pragma once

#include <array>
#include <cstdint>

#include "base/types.h"

namespace orvex {

// The rights of each side in the state word: K and Q for white, k and q for black.
constexpr std::uint64_t side_castling_rights(Color c) {
  return c == kWhite ? state_bits::kWhiteKingSide | state_bits::kWhiteQueenSide
                     : state_bits::kBlackKingSide | state_bits::kBlackQueenSide;
}

// The first rank of each side, where its king and rooks castle.
constexpr Bitboard first_rank(Color c) { return Bitboard{0xFF} << (c == kWhite ? 0 : 56); }

// By square, the castling right (its state bit) whose rook castles from there;
// 0 on every other square.
using CastlingRightsMask = std::array<std::uint8_t, kSquares>;

// The squares of the rooks of the castling rights K Q k q in standard chess.
inline constexpr std::array<std::uint8_t, 4> kStandardCastlingRooks{kH1, kA1, kH8, kA8};

// The squares of the rooks of the rights K Q k q, and the mask table they
// make. Only the squares are kept: a board stays small enough for Python's
// small-object allocator, and the table of standard chess is a constant.
class CastlingRooks {
 public:
  constexpr CastlingRooks(const std::array<std::uint8_t, 4>& squares = kStandardCastlingRooks)  // NOLINT
      : squares_(squares) {}

  // The square of the rook of right i (0 to 3: K Q k q).
  constexpr std::uint8_t operator[](int i) const { return squares_[i]; }
  constexpr auto begin() const { return squares_.begin(); }
  constexpr auto end() const { return squares_.end(); }

  // The mask table of these rooks.
  constexpr CastlingRightsMask mask() const {
    CastlingRightsMask mask{};
    for (int i = 0; i < 4; ++i) mask[squares_[i] & 63] |= static_cast<std::uint8_t>(2u << i);
    return mask;
  }

  // The table's entry for square s.
  constexpr std::uint8_t rights_on(Square s) const;

  constexpr bool operator==(const CastlingRooks& other) const = default;

 private:
  std::array<std::uint8_t, 4> squares_;
};

inline constexpr CastlingRooks kStandardCastling{kStandardCastlingRooks};
inline constexpr CastlingRightsMask kStandardCastlingMask = kStandardCastling.mask();

constexpr std::uint8_t CastlingRooks::rights_on(Square s) const {
  if (squares_ == kStandardCastlingRooks) return kStandardCastlingMask[s];
  return static_cast<std::uint8_t>((s == squares_[0]) << 1 | (s == squares_[1]) << 2 | (s == squares_[2]) << 3 |
                                   (s == squares_[3]) << 4);
}

// The rights a move of side us gives up: both of its own when its king moves,
// the right of the rook it moves from that rook's square, and the right of
// the rook of the other side it takes there (mask[from] | mask[to], each only
// for a rook of the side the right belongs to, so that a right that names an
// empty square stays until its king or rook moves).
constexpr std::uint64_t castling_rights_lost(const CastlingRooks& rooks, Color us, bool king_moves, bool rook_moves,
                                             Square from, PieceKind taken, Square to) {
  std::uint64_t lost = king_moves ? side_castling_rights(us) : 0;
  if (rook_moves) lost |= rooks.rights_on(from) & side_castling_rights(us);
  if (taken != kNoKind && type_of(taken) == kRook) lost |= rooks.rights_on(to) & side_castling_rights(color_of(taken));
  return lost;
}

// The mask split by the colour of the rook and widened to the state word,
// for the movers that know their side at compile time.
using CastlingRightsBySide = std::array<std::array<std::uint64_t, kSquares>, 2>;

constexpr CastlingRightsBySide castling_rights_by_side(const CastlingRightsMask& mask) {
  CastlingRightsBySide rights{};
  for (int s = 0; s < kSquares; ++s) {
    rights[kWhite][s] = mask[s] & side_castling_rights(kWhite);
    rights[kBlack][s] = mask[s] & side_castling_rights(kBlack);
  }
  return rights;
}

inline constexpr CastlingRightsBySide kStandardCastlingRightsBySide = castling_rights_by_side(kStandardCastlingMask);

// The rights of the state word whose king stands on e1 (e8) and whose rook on
// its corner: those standard chess can still use, as the position key counts
// them and a PGN start position keeps them.
constexpr std::uint64_t standing_castling_rights(std::uint64_t state, const std::array<Bitboard, kPieceKinds>& pieces) {
  if (!(state & state_bits::kCastlingRights)) return 0;
  const std::uint64_t white = (pieces[kWhiteKing] >> kE1) & 1;
  const std::uint64_t black = (pieces[kBlackKing] >> kE8) & 1;
  const std::uint64_t standing =
      (white & (pieces[kWhiteRook] >> kStandardCastlingRooks[0])) << 1 |
      (white & (pieces[kWhiteRook] >> kStandardCastlingRooks[1])) << 2 |
      (black & (pieces[kBlackRook] >> kStandardCastlingRooks[2])) << 3 |
      (black & (pieces[kBlackRook] >> kStandardCastlingRooks[3])) << 4;
  return state & standing;
}

}  // namespace orvex
