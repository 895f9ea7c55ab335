// A game's observation as pgx makes it for the side to move: 119 planes of
// 8 x 8, in three forms.
//
// Planes (i = 0..7: the position i plies ago, 0 the current one; a position
// before the start is empty):
//   14i + 0..5    the side to move's pawns, knights, bishops, rooks, queens, king
//   14i + 6..11   the other side's
//   14i + 12      1 if that position occurs nowhere else in the game (or is empty)
//   14i + 13      1 if it occurs again (before or after)
//   112           1 when black is to move
//   113           the step count / 512
//   114..117      castling flags: the mover's a-side and h-side, the other side's
//   118           the no-progress count * 0.01
// Square (row, column): row 0 is the mover's last rank (rank 8 for white,
// rank 1 for black), column c is file c.
#pragma once

#include <algorithm>
#include <cstdint>

#include "selfplay/game.h"

namespace orvex::selfplay {

enum class ObservationForm : std::uint8_t {
  kFloat32,  // (8, 8, 119) float32, pgx's values bit for bit
  kUint8,    // (8, 8, 119) uint8: 0 or 1, plane 113 ceil(step * 255 / 512),
             // plane 118 ceil(no-progress * 255 / 100): 0 stays 0, 1.0 is 255
  kBits,     // (119,) uint64: bit 8 * row + column of plane p set where the
             // float32 form is not zero (planes 113 and 118: every bit, once
             // the count is above 0)
};

// The bytes of one game's observation.
constexpr std::size_t observation_bytes(ObservationForm form) {
  return form == ObservationForm::kFloat32 ? 64 * kPlanes * 4
         : form == ObservationForm::kUint8 ? 64 * kPlanes
                                           : kPlanes * 8;
}

void write_observation(const Game& g, ObservationForm form, void* out);

// Writes an observation given in the bits form in the form asked for, with
// the two counters that the bits form keeps only as zero or not.
void expand_observation(const std::uint64_t* bits, int step_count, int halfmove, ObservationForm form,
                        void* out);

// The values of the two counter planes, 113 (the step count) and 118 (the
// no-progress count), in the float32 and uint8 forms. pgx divides the
// no-progress count by 100, which XLA on the CPU turns into a product with
// the float reciprocal: the same here, bit for bit. The uint8 form stops at
// 255 (counts past the end of pgx's games, in replayed records).
inline float step_plane(int step) { return static_cast<float>(step) / static_cast<float>(kMaxSteps); }
inline float no_progress_plane(int halfmove) { return static_cast<float>(halfmove) * 0.01f; }
inline std::uint8_t step_plane_byte(int step) {
  return static_cast<std::uint8_t>((std::min(step, kMaxSteps) * 255 + 511) / 512);
}
inline std::uint8_t no_progress_plane_byte(int halfmove) {
  return static_cast<std::uint8_t>((std::min(halfmove, 100) * 255 + 99) / 100);
}

// Writes the game's legal-action mask: 1 at its legal actions, or at every
// action once it has ended.
void write_mask(const Game& g, std::uint8_t* out);

// The same in two halves, for a row that holds the mask of the game as it
// was: clear_mask zeroes it (touching only the legal actions' bytes while the
// game runs), set_mask then marks the game's mask as it is now.
void clear_mask(const Game& g, std::uint8_t* out);
void set_mask(const Game& g, std::uint8_t* out);

}  // namespace orvex::selfplay
