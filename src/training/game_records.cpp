#include "training/game_records.h"

#include <algorithm>
#include <string_view>

#include "encoding/policy.h"
#include "pgn/start_position.h"
#include "selfplay/observation.h"
#include "training/game_filter.h"

namespace orvex::training {
namespace {

constexpr std::uint64_t kMostCount = 0xFFFF;

// The FEN's halfmove clock and fullmove number (0 and 1 when it has none).
void fen_counters(std::string_view fen, std::uint64_t& halfmove, std::uint64_t& fullmove) {
  halfmove = 0;
  fullmove = 1;
  int field = 0;
  std::size_t at = 0;
  while (at < fen.size()) {
    while (at < fen.size() && fen[at] == ' ') ++at;
    if (at == fen.size()) break;
    std::size_t end = at;
    std::uint64_t number = 0;
    while (end < fen.size() && fen[end] != ' ') {
      const char c = fen[end++];
      if (c >= '0' && c <= '9') number = std::min<std::uint64_t>(number * 10 + (c - '0'), 1u << 30);
    }
    if (field == 4) halfmove = number;
    if (field == 5) fullmove = number;
    ++field;
    at = end;
  }
}

}  // namespace

void start_game(const pgn::GameBatch& batch, const pgn::GameRecord& game, selfplay::Game& g) {
  const pgn::StartPosition& start = game.start == pgn::kNone ? pgn::standard_start() : batch.starts[game.start];
  g.position = Position{start.pieces, start.state};
  g.flags = selfplay::castling_flags(start.state);
  g.en_passant = -1;  // the start's key is never compared
  std::uint64_t halfmove = 0, fullmove = 1;
  if (game.start != pgn::kNone) {
    if (const auto fen = tag_value(batch, game, "FEN")) fen_counters(*fen, halfmove, fullmove);
  }
  const std::uint64_t steps = 2 * (std::max<std::uint64_t>(fullmove, 1) - 1) + (colour(g) == kBlack);
  g.halfmove = static_cast<std::uint16_t>(std::min(halfmove, kMostCount));
  g.step_count = static_cast<std::uint16_t>(std::min(steps, kMostCount));
  g.terminated = false;
  g.head = 0;
  g.ring = {};
  g.ring[0] = start.pieces;
  g.keys.assign(1, selfplay::game_key(start.pieces, colour(g), g.flags, g.en_passant));
  g.others.assign(1, 0);
  g.played.clear();
  g.legal = 0;
}

void write_game_records(const pgn::GameBatch& batch, const pgn::GameRecord& game, std::uint32_t file,
                        std::uint64_t game_index, Encoding encoding, Selection selection,
                        selfplay::Game& g, PositionRecord* out, PlaneSlots planes) {
  start_game(batch, game, g);
  const int white = white_value(batch.view(game.result));
  for (std::uint32_t ply = 0; ply < game.move_count; ++ply) {
    const ChessMove move = batch.moves[game.first_move + ply];
    const Color mover = colour(g);
    if ((selection.first + ply) % selection.count == selection.index) {
      PositionRecord& r = *out++;
      selfplay::write_observation(g, selfplay::ObservationForm::kBits, planes.at(0).data());
      planes = planes.from(1);
      r.pieces = g.position.pieces;
      r.state = g.position.state;
      r.game = game_index;
      r.file = file;
      r.ply = ply;
      r.step_count = g.step_count;
      r.halfmove = g.halfmove;
      r.move_id = static_cast<std::int16_t>(policy_index(encoding, move, mover));
      r.value = static_cast<std::int8_t>(mover == kWhite ? white : -white);
    }
    if (g.step_count < kMostCount) ++g.step_count;
    selfplay::make_game_move(g, move);
    selfplay::enter_position(g, true);
  }
}

}  // namespace orvex::training
