// The placement as twelve planes of 8 x 8 bytes, for feeding networks.
#pragma once

#include <cstdint>

#include "board/board.h"

namespace orvex {

inline constexpr int kPlaneBytes = kPieceKinds * kSquares;

// Writes 768 bytes: out[kind * 64 + rank * 8 + file] is 1 where a piece of that
// kind stands, else 0 (kinds in the order of the bitboards, rank 1 first).
// With mirror set and black to move, writes the reflected position instead
// (ranks reversed, colours swapped), so the mover's pieces are planes 0 to 5.
// Safe to call from many threads at once.
void write_planes(const Board& board, bool mirror, std::uint8_t* out);

}  // namespace orvex
