// The placement as 12 x 64 booleans.
#pragma once

#include <array>
#include <cstdint>

#include "base/types.h"

namespace orvex {

// view[kind * 64 + square] is 1 when that kind's bitboard holds the square.
using BitboardView = std::array<std::uint8_t, kPieceKinds * kSquares>;

BitboardView bitboard_view(const std::array<Bitboard, kPieceKinds>& pieces);

}  // namespace orvex
