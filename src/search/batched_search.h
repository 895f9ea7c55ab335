// A batched search over a batch of games, as mctx's muzero_policy and
// gumbel_muzero_policy search pgx's games with the recurrent function of
// pgx's AlphaZero example, the network left to the caller.
//
// One search runs in rounds, each of which ends in a call of the network on
// one observation per game:
//
//   start(roots)                 the root observations
//   root(i, logits, value)       per game, with the network's outputs
//   for sim in 0 .. num_simulations - 1:
//     begin_simulation(sim)      once
//     select(i, worker, obs)     per game: down the tree to a leaf, whose
//                                observation it writes
//     expand(i, logits, ...)     per game: the leaf into the tree, backed up
//   finish(i, ...)               per game
//
// The per-game calls of one round are independent of each other and may run
// on any threads (worker names a scratch space: no two calls with the same
// worker at once). A game's leaf is stepped from a copy of the root's game
// along the path, so the tree holds no game.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "move_generator/attack_tables.h"
#include "search/search_options.h"
#include "search/search_tree.h"
#include "search/selection.h"
#include "search/sequential_halving.h"
#include "selfplay/game.h"
#include "selfplay/observation.h"

namespace orvex::search {

class BatchedSearch {
 public:
  BatchedSearch(const AttackTables& tables, const SearchOptions& options, std::size_t games, unsigned workers);

  const SearchOptions& options() const { return options_; }
  std::size_t games() const { return trees_.size(); }

  // Starts a search of the games from key (or, for a Gumbel search, with the
  // caller's root noise: gumbel, games * kActions, already scaled).
  // Draws the batch-wide random numbers (the Dirichlet noise, the Gumbel
  // noise).
  void start(std::span<const selfplay::Game* const> roots, PrngKey key, const float* gumbel);

  // The root's observation.
  void write_root_observation(std::size_t i, selfplay::ObservationForm form, void* out) const;
  // The root of game i from the network's outputs on it.
  void root(std::size_t i, const float* logits, float value, unsigned worker);

  void begin_simulation(int simulation);
  // Goes down game i's tree to the leaf of this simulation and writes its
  // observation.
  void select(std::size_t i, unsigned worker, selfplay::ObservationForm form, void* observation);
  // The leaf of game i from the network's outputs on it (top: the largest
  // logit), backed up.
  void expand(std::size_t i, const float* logits, float top, float value);

  // The outputs of game i: its row of each (kActions wide), its root value
  // and its action.
  void finish(std::size_t i, std::int32_t* visit_counts, float* action_weights, float& root_value,
              std::int32_t& action, unsigned worker);

  // Bytes held by the trees.
  std::size_t tree_bytes() const;

 private:
  struct Leaf {
    std::int32_t parent = 0, action = 0, node = 0;
    std::int32_t slot = -1;  // the parent's slot of action, or -1
    bool ended = false;
    float reward = 0.0f;
    std::vector<std::int16_t> legal;  // the leaf's legal actions
    std::vector<ChessMove> moves;     // and their moves
  };
  struct Worker {
    selfplay::Game game;
    selfplay::StepUndo undo;
    SelectionScratch scratch;
    std::vector<std::int32_t> path;
    std::vector<float> noise;  // a root's Dirichlet noise
  };

  std::int32_t choose(std::size_t i, std::int32_t node, int depth, PrngKey key, Worker& w);
  void muzero_finish(std::size_t i, const std::int32_t* visit_counts, float* action_weights, std::int32_t total,
                     std::int32_t& action, Worker& w) const;

  const AttackTables& tables_;
  SearchOptions options_;
  ConsideredVisits considered_;
  std::vector<SearchTree> trees_;
  // A Gumbel search's root noise per game, at the root's slots.
  std::vector<std::vector<float>> root_noise_;
  std::vector<GumbelRootOrder> root_order_;
  std::vector<Leaf> leaves_;
  std::vector<const selfplay::Game*> roots_;
  std::vector<std::unique_ptr<Worker>> workers_;

  int simulation_ = 0;
  PrngKey search_key_{};       // the key of the simulation loop
  PrngKey simulate_key_{};     // this simulation's, to split per game
  PrngKey action_key_{};       // muzero: the final categorical draw
  PrngKey dirichlet_key_{};
  PrngKey gumbel_key_{};
  bool given_gumbel_ = false;
  std::vector<float> gumbel_;  // the caller's root noise, games * kActions
};

}  // namespace orvex::search
