// The search tree of one game, holding legal children only.
//
// Node i was made by simulation i - 1 (the root is node 0), as in mctx, so
// the node arrays are num_simulations + 1 long; a simulation that stops at
// the depth limit makes no node and leaves its slot unused. A node keeps its
// value, visit count and the reward and discount of the action that led to
// it; mctx's children_visits and children_values of that action are the
// node's own visits and value.
//
// The children of a running game are its legal moves, in action order, each
// a Slot with its prior and the node it leads to (once visited). An action
// outside them that a search still takes (an illegal one below the root,
// where mctx does not mask them, or any action of an ended game) is an
// Extra. An ended game's prior covers every action: a DenseRow, shared with
// its parent's row when they are equal (an ended game stays as it is, so its
// children's evaluations are usually the same).
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "selfplay/game.h"

namespace orvex::search {

inline constexpr int kActions = selfplay::kActions;
inline constexpr float kLowest = std::numeric_limits<float>::lowest();
inline constexpr std::int32_t kUnvisited = -1;

struct Node {
  std::int32_t parent = -1;
  std::int32_t action = -1;  // the action from the parent
  std::int32_t visits = 0;
  float raw_value = 0.0f;
  float value = 0.0f;
  float reward = 0.0f;    // of the action from the parent
  float discount = 0.0f;
  std::uint32_t first_slot = 0;
  std::uint16_t slot_count = 0;
  std::int32_t dense = -1;  // the prior row of an ended game, else -1
  std::int32_t first_extra = -1;  // the node's extras, a list through Extra::next
  // The sum of the visited children's probabilities, for that many visited
  // children (-1: none yet); kept by the selection, which reads the tree
  // from one thread.
  mutable float sum_probs = 0.0f;
  mutable std::int32_t summed_children = -1;
  bool probs_ready = true;  // the slots' prob fields are made (ensure_probs)
  bool slots_sorted = true;  // the slots are in action order (ensure_probs)
  bool legal_move = false;  // the action from the parent is a legal move: `move`
  ChessMove move{};
};

struct Slot {
  std::int16_t action = 0;
  ChessMove move{};  // the legal move of the action
  std::int32_t child = kUnvisited;
  float logit = 0.0f;  // the prior logit as mctx holds it
  float prob = 0.0f;   // softmax of the node's logits
};

struct Extra {
  std::int32_t parent;
  std::int32_t action;
  std::int32_t child;
  std::int32_t next;  // the parent's next extra, or -1
};

struct DenseRow {
  std::vector<float> logits;  // kActions
  std::vector<float> probs;
};

class SearchTree {
 public:
  // Empties the tree for a search of that many simulations.
  void clear(int num_simulations);

  std::vector<Node> nodes;
  std::vector<Slot> slots;
  std::vector<Extra> extras;
  std::vector<DenseRow> dense_rows;

  // The node that action leads to from node, or kUnvisited.
  std::int32_t child(std::int32_t node, int action) const;
  // The index in slots of the node's slot of action, or -1 (an extra).
  std::int32_t slot_index(std::int32_t node, int action) const;
  // Records that action from node leads to child.
  void set_child(std::int32_t node, int action, std::int32_t child);

  std::span<Slot> slots_of(const Node& n) { return {slots.data() + n.first_slot, n.slot_count}; }
  std::span<const Slot> slots_of(const Node& n) const { return {slots.data() + n.first_slot, n.slot_count}; }

  // Sets the priors of a running game's node: logits is the network's row of
  // kActions (top its maximum), legal the game's legal actions (any order)
  // and moves their moves. As pgx's example
  // gives them to mctx: logits minus their maximum, illegal actions at
  // float32's lowest. A node that has its slots already (made again at the
  // depth limit) keeps them and takes the new priors. Their order and
  // probabilities wait for ensure_probs.
  void set_priors(std::int32_t node, const float* logits, float top, std::span<const std::int16_t> legal,
                  std::span<const ChessMove> moves);
  // Sets the priors of an ended game's node (every action legal): the
  // network's logits minus their maximum, or (subtract_max false) given
  // prior logits as they are.
  void set_dense_priors(std::int32_t node, const float* logits, bool subtract_max = true);
  // Puts the slots of a node whose priors set_priors set in action order
  // and makes their probabilities, once: they are wanted only when the
  // search goes on below it (most leaves stay leaves). Everything that finds
  // a slot by its action needs this first.
  void ensure_probs(std::int32_t node);
  // Sets given prior logits (already as mctx holds them) on the legal actions
  // (moves: their moves, or empty when unknown).
  void set_prior_logits(std::int32_t node, std::span<const std::int16_t> legal, std::span<const ChessMove> moves,
                        std::span<const float> prior_logits_by_action);

  // Bytes held, for the memory bound.
  std::size_t bytes() const;

  // Working space of the prior updates (a tree is used by one thread at a
  // time).
  struct Scratch {
    std::vector<std::uint8_t> place_of;  // by action, set for the actions at hand
    std::vector<Slot> unsorted;
    std::vector<std::int16_t> places;
    std::vector<float> logits, probs, row;
  } scratch;
};

}  // namespace orvex::search
