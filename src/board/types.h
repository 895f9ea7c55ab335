// The shared vocabulary: squares, bitboards, piece kinds and the state word.
#pragma once

#include <bit>
#include <cstdint>

namespace orvex {

// An unsigned 64-bit set of squares; bit i stands for square i.
using Bitboard = std::uint64_t;

// Square index: rank * 8 + file, a1 = 0, h1 = 7, a8 = 56, h8 = 63.
using Square = int;

constexpr int kSquares = 64;

constexpr int file_of(Square s) { return s & 7; }
constexpr int rank_of(Square s) { return s >> 3; }
constexpr Bitboard square_bb(Square s) { return Bitboard{1} << s; }
constexpr bool has_square(Bitboard b, Square s) { return (b >> s) & 1; }

// Squares are stepped in unsigned 16-bit arithmetic: a step below square 0
// wraps far above 63 and so counts as off the board.
constexpr std::uint16_t step(Square s, int offset) {
  return static_cast<std::uint16_t>(s + offset);
}
constexpr int file_distance(int a, int b) {
  int d = file_of(a) - file_of(b);
  return d < 0 ? -d : d;
}

// Returns the lowest square of a non-empty set and removes it from the set.
inline Square pop_lsb(Bitboard& b) {
  Square s = std::countr_zero(b);
  b &= b - 1;
  return s;
}

// Piece kinds double as the indices of the twelve bitboards of a board.
enum PieceKind : int {
  kWhitePawn, kWhiteKnight, kWhiteBishop, kWhiteRook, kWhiteQueen, kWhiteKing,
  kBlackPawn, kBlackKnight, kBlackBishop, kBlackRook, kBlackQueen, kBlackKing,
};
constexpr int kPieceKinds = 12;

// Offsets from a colour base: a side's piece of type t is kind base + t.
enum PieceType : int { kPawn, kKnight, kBishop, kRook, kQueen, kKing };
constexpr int kWhiteBase = 0;
constexpr int kBlackBase = 6;

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

constexpr bool white_to_move(std::uint64_t state) { return state & state_bits::kWhiteToMove; }

}  // namespace orvex
