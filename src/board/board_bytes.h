// Writing a whole Board record to bytes and reading it back, history included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "board/board.h"
#include "board/parsed.h"

namespace orvex {

// The layout, every number little-endian:
//   4 bytes "OVXB", 1 byte format version (1),
//   12 x u64 pieces, u64 state,
//   u64 number of moves, 12 x u64 lengths of the piece_history stacks,
//   per move (oldest first) u64 prev_state and u16 saved_mask,
//   the piece_history values, stack of kind 0 first, each bottom to top.
inline constexpr std::string_view kBoardBytesMagic = "OVXB";
inline constexpr unsigned char kBoardBytesVersion = 1;
inline constexpr std::size_t kBoardBytesHeader = 4 + 1 + 8 * kPieceKinds + 8 + 8 + 8 * kPieceKinds;

// Returns the record as bytes that board_from_bytes reads back unchanged.
std::string board_to_bytes(const Board& board);

// Reads bytes written by board_to_bytes. Bytes of another length, header or
// version, a saved mask with bits above 11, or history stacks whose lengths
// disagree with the saved masks are returned as an error; nothing is thrown
// for any input.
Parsed<Board> board_from_bytes(std::string_view bytes);

}  // namespace orvex
