// Writing the games of a self-play environment to bytes and reading them
// back, for pickling and checkpoints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/parsed.h"
#include "selfplay/game.h"
#include "selfplay/observation.h"

namespace orvex::selfplay {

// Everything an environment is: its options and its games.
struct EnvRecord {
  ObservationForm form = ObservationForm::kFloat32;
  bool autoreset = false;
  bool lose_on_illegal = false;
  bool seeded = false;            // the last reset drew the player order from a seed
  std::uint32_t threads = 1;
  std::uint64_t sample_stream = 0;  // the state of sample_actions' own random numbers
  std::vector<Game> games;
};

// The layout, every number little-endian: "OVXE", version (1), the options,
// the number of games, each game's fields (its legal moves are not written:
// they follow from the position), a CRC-32 of all before it.
std::string env_to_bytes(const EnvRecord& record);

// Reads bytes written by env_to_bytes. Damaged or foreign bytes, and games
// whose fields are out of range, are returned as an error; the legal moves
// of every game are worked out again.
Parsed<EnvRecord> env_from_bytes(const AttackTables& tables, std::string_view bytes);

}  // namespace orvex::selfplay
