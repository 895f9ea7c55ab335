// Move encodings for learning: their names and sizes, and the frame they see
// moves in.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "base/types.h"
#include "chess_move/chess_move.h"

namespace orvex {

// A policy head's move numbering.
//   kAlphaZero ("az"): the 8 x 8 x 73 AlphaZero policy, 4672 ids, numbered as
//     pgx's chess environment numbers its actions.
//   kLc0 ("lc0"): the 1858-move policy of lc0.
enum class Encoding : int { kAlphaZero, kLc0 };

inline constexpr int kAlphaZeroSize = 4672;
inline constexpr int kLc0Size = 1858;
inline constexpr std::array<Encoding, 2> kEncodings = {Encoding::kAlphaZero, Encoding::kLc0};

constexpr int encoding_size(Encoding e) { return e == Encoding::kAlphaZero ? kAlphaZeroSize : kLc0Size; }
constexpr std::string_view encoding_name(Encoding e) { return e == Encoding::kAlphaZero ? "az" : "lc0"; }

// Returns the encoding of that name ("az" or "lc0"), or nothing.
constexpr std::optional<Encoding> encoding_named(std::string_view name) {
  for (Encoding e : kEncodings) {
    if (encoding_name(e) == name) return e;
  }
  return std::nullopt;
}

// Both encodings see the board from the side to move: when black moves, every
// square is flipped top to bottom (s ^ 56), so the mover's pawns go up the
// board. Returns the move in that frame (or back: the map is its own inverse).
constexpr ChessMove oriented(ChessMove move, Color mover) {
  return mover == kWhite ? move : ChessMove(static_cast<std::uint16_t>(move.value() ^ (56 | 56 << 6)));
}

}  // namespace orvex
