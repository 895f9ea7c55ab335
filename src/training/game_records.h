// Replaying a game that the reader read through the self-play game's rules,
// to make its training positions.
#pragma once

#include <cstdint>

#include "encoding/encoding.h"
#include "pgn/game_batch.h"
#include "selfplay/game.h"
#include "training/plane_queue.h"
#include "training/position_record.h"

namespace orvex::training {

// Sets g up at a game's start as ChessEnv would have it there: the game's
// start position (the standard one, or its FEN tag's), pgx's castling flags
// from its castling rights, a history that begins there, the no-progress
// count from the FEN's halfmove clock and the step count from its move number
// (the plies before the position: 2 * (fullmove - 1), plus one with black to
// move). Counts beyond 65535 stop there.
void start_game(const pgn::GameBatch& batch, const pgn::GameRecord& game, selfplay::Game& g);

// Which positions of a game become records: position p of the game (ply p)
// is position first + p of the stream, kept when its number modulo count is
// index.
struct Selection {
  std::uint64_t first = 0;
  std::uint32_t index = 0;
  std::uint32_t count = 1;

  // How many of the positions [first, first + n) are kept.
  std::uint64_t kept(std::uint64_t n) const { return below(first + n) - below(first); }

 private:
  // How many of the positions [0, end) are kept.
  std::uint64_t below(std::uint64_t end) const { return end / count + (end % count > index ? 1 : 0); }
};

// Replays a game of the batch that replayed, writing a record for the
// position before each selected main-line move to out, one after the other
// (selection.kept(game.move_count) of them), and its planes to planes.at(0),
// at(1) and on. Positions that pgx's rules would have ended keep coming,
// computed by the same rules. g is scratch.
void write_game_records(const pgn::GameBatch& batch, const pgn::GameRecord& game, std::uint32_t file,
                        std::uint64_t game_index, Encoding encoding, Selection selection,
                        selfplay::Game& g, PositionRecord* out, PlaneSlots planes);

}  // namespace orvex::training
