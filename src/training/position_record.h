// One training position of a replayed game: the two counters that the
// observation's other forms need, the position itself (for its legal moves),
// the move played, the result and where the position comes from. Its
// observation in the packed bits form (Planes) is kept apart, in blocks that
// a batch can take over whole (plane_queue.h).
#pragma once

#include <array>
#include <cstdint>

#include "base/types.h"
#include "selfplay/game.h"

namespace orvex::training {

// A position's observation in ObservationForm::kBits.
using Planes = std::array<std::uint64_t, selfplay::kPlanes>;

struct PositionRecord {
  // Left unset: records are made in place, in blocks made ready for them.
  PositionRecord() {}

  std::array<Bitboard, kPieceKinds> pieces;
  std::uint64_t state;       // the state word (castling rights, en passant, side)
  std::uint64_t game;        // the game's index in its file, failed games counted
  std::uint32_t file;        // the index of the file among the sources
  std::uint32_t ply;         // the move's place in the game's main line, from 0
  std::uint16_t step_count;  // the observation's counters
  std::uint16_t halfmove;
  std::int16_t move_id;      // the move played, in the stream's encoding
  std::int8_t value;         // the result for the side to move: +1, 0 or -1
};

}  // namespace orvex::training
