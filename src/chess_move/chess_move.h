// The 16-bit move code and its coordinate notation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/parsed.h"
#include "base/types.h"

namespace orvex {

// Special codes of a move (bits 12 to 15).
enum SpecialCode : std::uint16_t {
  kOrdinary = 0,
  kEnPassant = 1,
  kDoublePush = 2,
  kCastling = 3,
  kPromoteKnight = 4,
  kPromoteBishop = 5,
  kPromoteRook = 6,
  kPromoteQueen = 7,
};

// A move in 16 bits:
//   bits 0-5   from-square
//   bits 6-11  to-square
//   bits 12-15 special code (0 ordinary, 1 en passant, 2 double push,
//              3 castling, 4-7 promotion to knight, bishop, rook, queen)
class ChessMove {
 public:
  // Left uninitialised, so that move lists cost nothing to create; ChessMove{}
  // is the zero code.
  ChessMove() = default;
  constexpr explicit ChessMove(std::uint16_t value) : value_(value) {}

  // Packs a move; throws Panic "Invalid FROM int", "Invalid TO int" or
  // "Invalid SPECIAL int" for a value out of range, checked in that order.
  static ChessMove make(std::uint16_t from, std::uint16_t to, std::uint16_t special);

  // Packs a move whose fields the caller knows to be in range.
  static constexpr ChessMove pack(int from, int to, int special) {
    return ChessMove(static_cast<std::uint16_t>(from | to << 6 | special << 12));
  }

  // Reads coordinate notation ("e2e4", "e7e8q"). A wrong length or promotion
  // letter is returned as an error; a square outside the board throws Panic.
  static Parsed<ChessMove> from_str(std::string_view text);

  constexpr std::uint16_t value() const { return value_; }
  constexpr Square from() const { return static_cast<Square>(value_ & 63); }
  constexpr Square to() const { return static_cast<Square>((value_ >> 6) & 63); }
  constexpr int special() const { return value_ >> 12; }

  // Appends the coordinate notation; throws Panic for codes 8 to 15.
  void write_text(std::string& out) const;
  std::string text() const;

  constexpr bool operator==(const ChessMove&) const = default;

 private:
  std::uint16_t value_;
};

}  // namespace orvex
