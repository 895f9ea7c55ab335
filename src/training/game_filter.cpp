#include "training/game_filter.h"

#include <algorithm>
#include <string_view>

namespace orvex::training {
namespace {

// The number a tag value holds, when it is one (digits, at most 9 of them).
std::optional<std::int64_t> tag_number(std::string_view value) {
  if (value.empty() || value.size() > 9) return std::nullopt;
  std::int64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

std::optional<std::string_view> tag_value(const pgn::GameBatch& batch, const pgn::GameRecord& game,
                                          std::string_view name) {
  std::optional<std::string_view> found;
  for (std::uint32_t t = game.first_tag; t < game.first_tag + game.tag_count; ++t) {
    if (batch.view(batch.tags[t].name) == name) found = batch.view(batch.tags[t].value);
  }
  return found;
}

bool GameFilter::accepts(const pgn::GameBatch& batch, const pgn::GameRecord& game) const {
  if (game.move_count < min_ply) return false;
  const std::string_view result = batch.view(game.result);
  if (std::find(results.begin(), results.end(), result) == results.end()) return false;
  if (min_elo || max_elo) {
    for (std::string_view tag : {std::string_view("WhiteElo"), std::string_view("BlackElo")}) {
      const std::optional<std::string_view> value = tag_value(batch, game, tag);
      const std::optional<std::int64_t> elo = value ? tag_number(*value) : std::nullopt;
      if (!elo || (min_elo && *elo < *min_elo) || (max_elo && *elo > *max_elo)) return false;
    }
  }
  return true;
}

int white_value(std::string_view result) {
  return result == "1-0" ? 1 : result == "0-1" ? -1 : 0;
}

}  // namespace orvex::training
