// The shared vocabulary: colours, squares, bitboards, piece kinds and types,
// and the state word.
#pragma once

#include <bit>
#include <cstdint>

namespace orvex {

// An unsigned 64-bit set of squares; bit i stands for square i.
using Bitboard = std::uint64_t;

// The side: the same encoding as bit 0 of the state word (1 = white).
enum Color : int { kBlack = 0, kWhite = 1 };

constexpr Color operator~(Color c) { return static_cast<Color>(c ^ 1); }

// Square index: rank * 8 + file, a1 = 0, h1 = 7, a8 = 56, h8 = 63.
// kNoSquare stands for "none", such as the king square of a side without one.
enum Square : int {
  kA1, kB1, kC1, kD1, kE1, kF1, kG1, kH1,
  kA2, kB2, kC2, kD2, kE2, kF2, kG2, kH2,
  kA3, kB3, kC3, kD3, kE3, kF3, kG3, kH3,
  kA4, kB4, kC4, kD4, kE4, kF4, kG4, kH4,
  kA5, kB5, kC5, kD5, kE5, kF5, kG5, kH5,
  kA6, kB6, kC6, kD6, kE6, kF6, kG6, kH6,
  kA7, kB7, kC7, kD7, kE7, kF7, kG7, kH7,
  kA8, kB8, kC8, kD8, kE8, kF8, kG8, kH8,
  kNoSquare,
};

constexpr int kSquares = 64;

constexpr Square make_square(int file, int rank) { return static_cast<Square>(rank * 8 + file); }
constexpr int file_of(Square s) { return s & 7; }
constexpr int rank_of(Square s) { return s >> 3; }
constexpr Bitboard square_bb(Square s) { return Bitboard{1} << s; }
constexpr bool has_square(Bitboard b, Square s) { return (b >> s) & 1; }

// Squares are stepped in unsigned 16-bit arithmetic: a step below square 0
// wraps far above 63 and so counts as off the board.
constexpr std::uint16_t step(Square s, int offset) {
  return static_cast<std::uint16_t>(static_cast<int>(s) + offset);
}

// Returns the square s + offset, which the caller knows to be on the board.
constexpr Square shifted(Square s, int offset) {
  return static_cast<Square>(static_cast<int>(s) + offset);
}

// The absolute file difference of two square numbers (possibly off the board,
// as step() returns them).
constexpr int file_distance(int a, int b) {
  const int d = (a & 7) - (b & 7);
  return d < 0 ? -d : d;
}

// Returns the lowest square of a set (kNoSquare for the empty set).
constexpr Square lsb(Bitboard b) { return static_cast<Square>(std::countr_zero(b)); }

// Returns the lowest square of a non-empty set and removes it from the set.
constexpr Square pop_lsb(Bitboard& b) {
  const Square s = lsb(b);
  b &= b - 1;
  return s;
}

// The six piece types; a side's piece of type t has kind base + t.
enum PieceType : int { kPawn, kKnight, kBishop, kRook, kQueen, kKing };
constexpr int kPieceTypes = 6;

// The twelve piece kinds, which double as the indices of a board's bitboards.
enum PieceKind : int {
  kWhitePawn, kWhiteKnight, kWhiteBishop, kWhiteRook, kWhiteQueen, kWhiteKing,
  kBlackPawn, kBlackKnight, kBlackBishop, kBlackRook, kBlackQueen, kBlackKing,
  kNoKind = -1,
};
constexpr int kPieceKinds = 12;

// The kind of a colour's pawn: 0 for white, 6 for black.
constexpr int color_base(Color c) { return c == kWhite ? 0 : 6; }
constexpr PieceKind make_kind(Color c, PieceType t) {
  return static_cast<PieceKind>(color_base(c) + t);
}
constexpr Color color_of(PieceKind k) { return k < kBlackPawn ? kWhite : kBlack; }
constexpr PieceType type_of(PieceKind k) { return static_cast<PieceType>(k % kPieceTypes); }

constexpr char kPieceLetters[kPieceKinds + 1] = "PNBRQKpnbrqk";

// The state word: side to move, castling rights and the en-passant file.
namespace state_bits {
constexpr std::uint64_t kWhiteToMove = 1u << 0;
constexpr std::uint64_t kWhiteKingSide = 1u << 1;   // K
constexpr std::uint64_t kWhiteQueenSide = 1u << 2;  // Q
constexpr std::uint64_t kBlackKingSide = 1u << 3;   // k
constexpr std::uint64_t kBlackQueenSide = 1u << 4;  // q
constexpr std::uint64_t kCastlingRights = 0x1E;
// Bit 5 + file: a target on rank 6 that white may capture.
constexpr int kWhiteEnPassantBase = 5;
// Bit 13 + file: a target on rank 3 that black may capture.
constexpr int kBlackEnPassantBase = 13;
constexpr std::uint64_t kEnPassantBits = 0x1FFFE0;  // bits 5 to 20
}  // namespace state_bits

constexpr Color side_to_move(std::uint64_t state) { return static_cast<Color>(state & 1); }
constexpr bool white_to_move(std::uint64_t state) { return state & state_bits::kWhiteToMove; }

// The state bit of an en-passant target on file f that colour c may capture.
constexpr int en_passant_base(Color c) {
  return c == kWhite ? state_bits::kWhiteEnPassantBase : state_bits::kBlackEnPassantBase;
}

}  // namespace orvex
