// The state behind an orvex_tools.ChessEnv object, shared by the
// environment's methods and the search that runs over its games.
#pragma once

#include <memory>
#include <vector>

#include "module/borrow.h"
#include "module/owned_ref.h"
#include "module/python.h"
#include "move_generator/attack_tables.h"
#include "selfplay/env_bytes.h"
#include "selfplay/game.h"

namespace orvex::py {

// The arrays the environment writes, each a memoryview over a bytearray of
// its own, and where their items start.
struct Outputs {
  OwnedRef observation, mask, rewards, terminated, truncated, current_player, step_count;
  std::uint8_t* observation_data = nullptr;
  std::uint8_t* mask_data = nullptr;
  float* rewards_data = nullptr;
  std::uint8_t* terminated_data = nullptr;
  std::uint8_t* truncated_data = nullptr;
  std::int32_t* player_data = nullptr;
  std::int32_t* step_data = nullptr;
};

struct EnvState {
  selfplay::EnvRecord record;
  const AttackTables* tables = nullptr;
  Outputs out;
  // What a step in progress changed, to take it back: one record per game,
  // and the game an automatic reset replaced.
  std::vector<selfplay::StepUndo> undo;
  std::vector<std::unique_ptr<selfplay::Game>> replaced;
  BorrowFlag borrow;

  std::size_t size() const { return record.games.size(); }
};

struct EnvObject {
  PyObject_HEAD
  EnvState* state;
};

inline EnvState& state_of(PyObject* self) { return *reinterpret_cast<EnvObject*>(self)->state; }

// The ChessEnv type, once the module has made it (borrowed from the module).
inline PyObject* env_type = nullptr;

}  // namespace orvex::py
