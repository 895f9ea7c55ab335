// Writing a whole Board record to bytes and reading it back, history included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "board/board.h"
#include "base/parsed.h"

namespace orvex {

// The layout, every number little-endian:
//   4 bytes "OVXB", 1 byte format version (3),
//   12 x u64 pieces, u64 state, u32 halfmove clock, u32 fullmove number,
//   u64 number of moves, 12 x u64 lengths of the piece_history stacks,
//   per move (oldest first) u64 prev_state, u64 prev_key, u32 prev_clock and
//   u16 saved_mask,
//   the piece_history values, stack of kind 0 first, each bottom to top,
//   u32 CRC-32 of every byte before it.
// A Chess960 board is written as version 4: version 3 with, before the
// CRC-32, the four castling rook squares (u8 each, K Q k q).
// Versions 1 and 2 are still read: they have no counters and no keys (per
// move only prev_state and saved_mask), and version 1 no CRC-32. Their
// counters and keys are worked out from the history, as if the first
// position had been read from FEN without counters.
inline constexpr std::string_view kBoardBytesMagic = "OVXB";
inline constexpr unsigned char kBoardBytesVersion = 3;
inline constexpr unsigned char kChess960BoardBytesVersion = 4;
inline constexpr std::size_t kBoardBytesHeader =
    4 + 1 + 8 * kPieceKinds + 8 + 4 + 4 + 8 + 8 * kPieceKinds;
inline constexpr std::size_t kBoardBytesChecksum = 4;

// Returns the record as bytes that board_from_bytes reads back unchanged.
std::string board_to_bytes(const Board& board);

// Reads bytes written by board_to_bytes (any version). Bytes of another
// length, header or version, a checksum that does not match, a saved mask with
// bits above 11, or history stacks whose lengths disagree with the saved masks
// are returned as an error; nothing is thrown for any input.
Parsed<Board> board_from_bytes(std::string_view bytes);

}  // namespace orvex
