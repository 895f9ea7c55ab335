// Which games of a read become training positions: bounds on both players'
// Elo tags, a least number of plies, and the results kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pgn/game_batch.h"

namespace orvex::training {

struct GameFilter {
  // With a bound, a game whose WhiteElo or BlackElo tag is missing or not a
  // number is left out.
  std::optional<std::int64_t> min_elo, max_elo;
  std::uint32_t min_ply = 0;
  std::vector<std::string> results = {"1-0", "0-1", "1/2-1/2"};

  // Whether a game that replayed is kept.
  bool accepts(const pgn::GameBatch& batch, const pgn::GameRecord& game) const;
};

// The value of the game's last tag of that name, if it has one.
std::optional<std::string_view> tag_value(const pgn::GameBatch& batch, const pgn::GameRecord& game,
                                          std::string_view name);

// The value of a game's result for white: +1 ("1-0"), -1 ("0-1"), else 0.
int white_value(std::string_view result);

}  // namespace orvex::training
