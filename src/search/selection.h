// The choice of an action at a node, as mctx's action selection functions
// make it, over the children a SearchTree holds (an action it holds no child
// for is unvisited with prior 0), and the qtransforms they use.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "search/search_options.h"
#include "search/search_tree.h"
#include "search/sequential_halving.h"
#include "selfplay/threefry.h"

namespace orvex::search {

using selfplay::PrngKey;

// One action of a node that the tree holds something for.
struct Candidate {
  std::int32_t action;
  std::int32_t child;  // kUnvisited or a node
  float logit;
  float prob;
};

// A worker's scratch space for the choices.
struct SelectionScratch {
  std::vector<Candidate> candidates;
  std::vector<float> scores;
  std::vector<float> row;   // kActions
  std::vector<float> row2;  // kActions
  std::vector<std::int16_t> places;
  std::vector<float> terms;
  std::vector<std::int32_t> actions;
  std::vector<float> visited_q, weighted;
  std::vector<std::int16_t> visited_places;
  std::vector<float> visited_probs;
  std::vector<std::int32_t> visited_visits;
};

// Fills out with the node's candidates; returns whether actions outside them
// remain (unvisited, prior probability 0, logit float32's lowest).
bool gather_candidates(const SearchTree& tree, std::int32_t node, std::vector<Candidate>& out);

// The Q-value of the action leading to child: reward + discount * value.
float child_qvalue(const Node& child);

// muzero_action_selection; at the root (depth 0) the illegal actions are
// masked (the root's candidates are its legal actions, or every action of
// an ended game).
std::int32_t muzero_select(const SearchTree& tree, std::int32_t node, bool root, PrngKey key,
                           const SearchOptions& options, SelectionScratch& scratch);

// qtransform_completed_by_mix_value over the candidates (into scores) and
// for the actions outside them (returned).
float completed_by_mix_value(const SearchTree& tree, std::int32_t node, std::span<const Candidate> cands,
                             bool rest, const SearchOptions& options, SelectionScratch& scratch);

// mctx's score_considered over the root's candidates (the legal actions),
// masked argmax; gumbel is the root's noise: a row of kActions, or one value
// per root slot in slot order. Leaves the root's candidates in
// scratch.candidates and their completed Q-values in scratch.scores.
std::int32_t gumbel_considered_argmax(const SearchTree& tree, std::int32_t considered_visit,
                                      std::span<const float> gumbel, const SearchOptions& options,
                                      SelectionScratch& scratch);

// What a Gumbel search's root choices share, made once per search: each
// root slot's noise plus its prior logit less the largest (the part of its
// score that stays), and the slots by that, best first (on a tie the lower
// action). Set only for the root of a running game whose parts are finite;
// else the choices take the whole way.
struct GumbelRootOrder {
  bool set = false;
  std::vector<float> base;          // by root slot
  std::vector<std::int32_t> order;  // root slots
};

// The order of a root whose noise is gumbel (one value per root slot, or a
// row of kActions).
void make_gumbel_root_order(const SearchTree& tree, std::span<const float> gumbel, GumbelRootOrder& out);

// gumbel_muzero_root_action_selection.
std::int32_t gumbel_root_select(const SearchTree& tree, const ConsideredVisits& table, int num_considered,
                                std::span<const float> gumbel, const GumbelRootOrder& order,
                                const SearchOptions& options, SelectionScratch& scratch);

// gumbel_muzero_interior_action_selection.
std::int32_t gumbel_interior_select(const SearchTree& tree, std::int32_t node, const SearchOptions& options,
                                    SelectionScratch& scratch);

}  // namespace orvex::search
