#include "base/platform.h"
#include "search/batched_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "search/jax_random.h"
#include "search/sparse_row.h"
#include "search/xla_math.h"

namespace orvex::search {
namespace {

using selfplay::Game;
using selfplay::split_key;

constexpr float kTiny = std::numeric_limits<float>::min();

}  // namespace

BatchedSearch::BatchedSearch(const AttackTables& tables, const SearchOptions& options, std::size_t games,
                             unsigned workers)
    : tables_(tables),
      options_(options),
      considered_(options.policy == Policy::kGumbel ? options.max_num_considered_actions : 0,
                  options.num_simulations),
      trees_(games),
      root_noise_(games),
      root_order_(games),
      leaves_(games),
      roots_(games, nullptr) {
  for (unsigned w = 0; w < workers; ++w) workers_.push_back(std::make_unique<Worker>());
}

void BatchedSearch::start(std::span<const Game* const> roots, PrngKey key, const float* gumbel) {
  std::copy(roots.begin(), roots.end(), roots_.begin());
  const std::size_t n = games();
  for (SearchTree& t : trees_) t.clear(options_.num_simulations);
  if (options_.policy == Policy::kMuZero) {
    // rng_key, dirichlet_rng_key, search_rng_key = jax.random.split(rng_key, 3)
    action_key_ = split_key(key, 0);
    dirichlet_key_ = split_key(key, 1);
    search_key_ = split_key(key, 2);
    gumbel_.clear();
  } else {
    // rng_key, gumbel_rng = jax.random.split(rng_key)
    search_key_ = split_key(key, 0);
    gumbel_key_ = split_key(key, 1);
    if (gumbel) {
      gumbel_.assign(gumbel, gumbel + n * kActions);
    } else {
      gumbel_.clear();
    }
  }
  given_gumbel_ = gumbel != nullptr;
}

void BatchedSearch::write_root_observation(std::size_t i, selfplay::ObservationForm form, void* out) const {
  selfplay::write_observation(*roots_[i], form, out);
}

void BatchedSearch::root(std::size_t i, const float* logits, float value, unsigned worker) {
  SearchTree& t = trees_[i];
  const Game& g = *roots_[i];
  Worker& w = *workers_[worker];
  std::vector<float>& row = w.scratch.row;
  row.assign(logits, logits + kActions);
  if (options_.policy == Policy::kMuZero) {
    // _get_logits_from_probs(_add_dirichlet_noise(softmax(prior_logits)))
    softmax(row);
    const float f = options_.dirichlet_fraction;
    if (f != 0.0f) {
      std::vector<float>& noise = w.noise;
      noise.resize(kActions);
      dirichlet_rows(dirichlet_key_, options_.dirichlet_alpha, kActions, i, noise);
      mix_in(f, noise, row);
    }
  }
  // _mask_invalid_actions: minus the maximum, the illegal ones at the
  // lowest. Of a running game only the legal actions' logits are kept.
  const std::span<const std::int16_t> legal(g.ids.data(), g.terminated ? 0 : g.legal);
  auto at = [&](std::int16_t a) -> float& { return row[static_cast<std::size_t>(a)]; };
  if (options_.policy == Policy::kMuZero) {
    // The logits are the logs of the noisy probabilities; their maximum is
    // the log of the largest (XLA's log never decreases as its argument
    // grows).
    const auto log_prob = [](float p) { return xla_log(std::max(p, kTiny)); };
    const float top = log_prob(*std::max_element(row.begin(), row.end()));
    if (g.terminated) {
      for (float& x : row) x = log_prob(x) - top;
    } else {
      for (const std::int16_t a : legal) at(a) = log_prob(at(a)) - top;
    }
  } else {
    const float top = *std::max_element(row.begin(), row.end());
    if (g.terminated) {
      for (float& x : row) x -= top;
    } else {
      for (const std::int16_t a : legal) at(a) -= top;
    }
  }
  if (g.terminated) {
    t.set_dense_priors(0, row.data(), false);
  } else {
    t.set_prior_logits(0, legal, std::span<const ChessMove>(g.moves.data(), legal.size()), row);
  }
  Node& r = t.nodes[0];
  r.raw_value = value;
  r.value = value;
  r.visits = 1;
  if (options_.policy == Policy::kGumbel) {
    // gumbel_scale * jax.random.gumbel(gumbel_rng, (N, kActions)) (or the
    // caller's noise), kept for the actions the search looks at: the
    // root's slots (its legal actions), in their order, or every action of
    // an ended game.
    std::vector<float>& noise = root_noise_[i];
    const float* given = given_gumbel_ ? gumbel_.data() + i * kActions : nullptr;
    const std::uint64_t base = static_cast<std::uint64_t>(i) * kActions;
    auto at = [&](int a) {
      return given ? given[a] : options_.gumbel_scale * gumbel_at(gumbel_key_, base + static_cast<std::uint64_t>(a));
    };
    if (r.dense >= 0) {
      noise.resize(kActions);
      for (int a = 0; a < kActions; ++a) noise[static_cast<std::size_t>(a)] = at(a);
    } else {
      const std::span<const Slot> slots = t.slots_of(r);
      noise.resize(slots.size());
      for (std::size_t k = 0; k < slots.size(); ++k) noise[k] = at(slots[k].action);
    }
    make_gumbel_root_order(t, noise, root_order_[i]);
  } else {
    root_order_[i].set = false;
  }
}

void BatchedSearch::begin_simulation(int simulation) {
  simulation_ = simulation;
  // rng_key, simulate_key, expand_key = jax.random.split(rng_key, 3)
  simulate_key_ = split_key(search_key_, 1);
  search_key_ = split_key(search_key_, 0);
}

std::int32_t BatchedSearch::choose(std::size_t i, std::int32_t node, int depth, PrngKey key, Worker& w) {
  trees_[i].ensure_probs(node);
  const SearchTree& t = trees_[i];
  if (options_.policy == Policy::kMuZero) return muzero_select(t, node, depth == 0, key, options_, w.scratch);
  if (depth == 0) {
    const Game& g = *roots_[i];
    const int valid = g.terminated ? kActions : g.legal;
    const int considered = std::min(options_.max_num_considered_actions, valid);
    return gumbel_root_select(t, considered_, considered, root_noise_[i], root_order_[i], options_, w.scratch);
  }
  return gumbel_interior_select(t, node, options_, w.scratch);
}

void BatchedSearch::select(std::size_t i, unsigned worker, selfplay::ObservationForm form, void* observation) {
  Worker& w = *workers_[worker];
  const SearchTree& t = trees_[i];
  const int max_depth = options_.depth_limit();
  // simulate(): down from the root until an unvisited action or the depth
  // limit, splitting the game's key at every step.
  PrngKey key = split_key(simulate_key_, static_cast<std::uint32_t>(i));
  std::int32_t node = 0, action = 0, next = 0, slot = -1;
  int depth = 0;
  for (;;) {
    node = next;
    const PrngKey choice_key = split_key(key, 1);
    key = split_key(key, 0);
    action = choose(i, node, depth, choice_key, w);
    slot = t.slot_index(node, action);
    next = slot >= 0 ? t.slots[static_cast<std::size_t>(slot)].child : t.child(node, action);
    ++depth;
    if (next == kUnvisited || depth >= max_depth) break;
  }
  Leaf& leaf = leaves_[i];
  leaf.parent = node;
  leaf.action = action;
  leaf.slot = slot;
  leaf.node = next == kUnvisited ? simulation_ + 1 : next;
  // The parent's game: the root's, with the path's steps made again. The
  // tree knows their moves and which of them ended the game, so no legal
  // moves are made on the way.
  w.path.clear();
  for (std::int32_t at = node; at != 0; at = t.nodes[static_cast<std::size_t>(at)].parent) w.path.push_back(at);
  Game& g = w.game;
  selfplay::copy_for_replay(*roots_[i], g);
  for (auto at = w.path.rbegin(); at != w.path.rend(); ++at) {
    const Node& n = t.nodes[static_cast<std::size_t>(*at)];
    if (g.terminated) {
      g.rewards = {0.0f, 0.0f};
      continue;
    }
    selfplay::replay_step(g, n.action, n.legal_move ? &n.move : nullptr, n.discount == 0.0f);
  }
  // The recurrent function: the reward of the player who moved.
  const int player = selfplay::current_player(g);
  if (g.terminated) {
    g.rewards = {0.0f, 0.0f};
  } else {
    // The slots of a running game's node are its legal moves: an action
    // outside them is illegal.
    const ChessMove* move = slot >= 0 ? &t.slots[static_cast<std::size_t>(slot)].move : nullptr;
    selfplay::step_game_move(tables_, g, action, move, w.undo);
  }
  leaf.reward = g.rewards[static_cast<std::size_t>(player)];
  leaf.ended = g.terminated;
  leaf.legal.assign(g.ids.begin(), g.ids.begin() + g.legal);
  leaf.moves.assign(g.moves.begin(), g.moves.begin() + g.legal);
  selfplay::write_observation(g, form, observation);
}

void BatchedSearch::expand(std::size_t i, const float* logits, float top, float value) {
  SearchTree& t = trees_[i];
  const Leaf& leaf = leaves_[i];
  Node& n = t.nodes[static_cast<std::size_t>(leaf.node)];
  n.parent = leaf.parent;
  n.action = leaf.action;
  n.reward = leaf.reward;
  n.discount = leaf.ended ? 0.0f : -1.0f;
  n.legal_move = false;
  if (leaf.slot >= 0) {
    Slot& s = t.slots[static_cast<std::size_t>(leaf.slot)];
    s.child = leaf.node;
    n.move = s.move;
    n.legal_move = true;
  } else {
    t.set_child(leaf.parent, leaf.action, leaf.node);
  }
  if (leaf.ended) {
    t.set_dense_priors(leaf.node, logits);
  } else {
    t.set_priors(leaf.node, logits, top, leaf.legal, leaf.moves);
  }
  Node& made = t.nodes[static_cast<std::size_t>(leaf.node)];
  const float v = leaf.ended ? 0.0f : value;
  made.raw_value = v;
  made.value = v;
  made.visits += 1;
  // backward(): up to the root.
  float leaf_value = made.value;
  for (std::int32_t index = leaf.node; index != 0;) {
    const Node& below = t.nodes[static_cast<std::size_t>(index)];
    Node& parent = t.nodes[static_cast<std::size_t>(below.parent)];
    const float count = static_cast<float>(parent.visits);
    leaf_value = fused_multiply_add(below.discount, leaf_value, below.reward);
    parent.value = fused_multiply_add(parent.value, count, leaf_value) / (count + 1.0f);
    parent.visits += 1;
    index = below.parent;
  }
}

void BatchedSearch::finish(std::size_t i, std::int32_t* visit_counts, float* action_weights, float& root_value,
                           std::int32_t& action, unsigned worker) {
  const SearchTree& t = trees_[i];
  Worker& w = *workers_[worker];
  std::fill(visit_counts, visit_counts + kActions, 0);
  std::vector<Candidate>& cands = w.scratch.candidates;
  gather_candidates(t, 0, cands);
  std::int32_t total = 0, most = 0;
  for (const Candidate& c : cands) {
    if (c.child == kUnvisited) continue;
    const std::int32_t v = t.nodes[static_cast<std::size_t>(c.child)].visits;
    visit_counts[c.action] = v;
    total += v;
    most = std::max(most, v);
  }
  root_value = t.nodes[0].value;
  if (options_.policy == Policy::kMuZero && total > 0) {
    muzero_finish(i, visit_counts, action_weights, total, action, w);
    return;
  }
  if (options_.policy == Policy::kMuZero) {
    // summary().visit_probs, then _apply_temperature(_get_logits_from_probs())
    const float sum = static_cast<float>(total);
    for (int a = 0; a < kActions; ++a) {
      action_weights[a] = total > 0 ? static_cast<float>(visit_counts[a]) / std::max(sum, 1.0f)
                                    : 1.0f / static_cast<float>(kActions);
    }
    std::vector<float>& logits = w.scratch.row;
    logits.resize(kActions);
    const float unvisited = xla_log(std::max(total > 0 ? 0.0f : action_weights[0], kTiny));
    for (int a = 0; a < kActions; ++a) {
      logits[static_cast<std::size_t>(a)] = visit_counts[a] > 0 || total == 0
                                                ? xla_log(std::max(action_weights[a], kTiny))
                                                : unvisited;
    }
    const float top = *std::max_element(logits.begin(), logits.end());
    const float temperature = std::max(kTiny, options_.temperature);
    for (float& x : logits) x = (x - top) / temperature;
    // jax.random.categorical(rng_key, logits) over the batch: row i's Gumbel
    // noise is elements i * kActions + a of one draw. A Gumbel draw lies in
    // [-4.47, 15.95]: when the unvisited actions' logit is more than that
    // below every visited one's, none of them can win and only the visited
    // actions' noise is drawn.
    const std::uint64_t base = static_cast<std::uint64_t>(i) * kActions;
    float lowest_visited = std::numeric_limits<float>::infinity();
    for (int a = 0; a < kActions; ++a) {
      if (visit_counts[a] > 0) lowest_visited = std::min(lowest_visited, logits[static_cast<std::size_t>(a)]);
    }
    const float rest = (unvisited - top) / temperature;
    const bool sparse = total > 0 && lowest_visited - rest > 21.0f;
    float best = -std::numeric_limits<float>::infinity();
    action = 0;
    for (int a = 0; a < kActions; ++a) {
      if (sparse && visit_counts[a] == 0) continue;
      const float score = gumbel_at(action_key_, base + static_cast<std::uint64_t>(a), Kernel::ynn) +
                          logits[static_cast<std::size_t>(a)];
      if (score > best) {
        best = score;
        action = a;
      }
    }
    return;
  }
  // Gumbel: the best considered action, and softmax(prior + completed Q),
  // the completed Q of each candidate (in the candidates' order) as the
  // choice left it.
  action = gumbel_considered_argmax(t, most, root_noise_[i], options_, w.scratch);
  const std::vector<float>& completed = w.scratch.scores;
  const Game& g = *roots_[i];
  if (!g.terminated) {
    // Illegal: the root's lowest prior plus its completed Q, then masked;
    // their exp is 0, so the softmax needs the candidates only.
    std::vector<std::int16_t>& places = w.scratch.places;
    std::vector<float>& values = w.scratch.terms;
    places.clear();
    values.clear();
    float top = kLowest;
    for (std::size_t k = 0; k < cands.size(); ++k) {
      places.push_back(static_cast<std::int16_t>(cands[k].action));
      values.push_back(cands[k].logit + completed[k]);
      top = std::max(top, values.back());
    }
    for (float& x : values) x = x == kLowest ? kLowest : x - top;
    std::vector<float>& probs = w.scratch.row2;
    probs.resize(values.size());
    if (sparse_softmax(places, values, kLowest, kActions, probs)) {
      std::fill(action_weights, action_weights + kActions, 0.0f);
      for (std::size_t k = 0; k < places.size(); ++k) action_weights[places[k]] = probs[k];
      return;
    }
  }
  std::vector<float>& logits = w.scratch.row;
  logits.assign(kActions, kLowest);
  for (std::size_t k = 0; k < cands.size(); ++k) {
    logits[static_cast<std::size_t>(cands[k].action)] = cands[k].logit + completed[k];
  }
  const float top = *std::max_element(logits.begin(), logits.end());
  for (float& x : logits) x = !g.terminated && x == kLowest ? kLowest : x - top;
  softmax(logits);
  std::copy(logits.begin(), logits.end(), action_weights);
}

// finish() of a MuZero search whose root has visited children, by them: the
// others' weight is 0 and their logit log(tiny), the same for all.
void BatchedSearch::muzero_finish(std::size_t i, const std::int32_t* visit_counts, float* action_weights,
                                  std::int32_t total, std::int32_t& action, Worker& w) const {
  // summary().visit_probs, then _apply_temperature(_get_logits_from_probs())
  std::vector<std::int16_t>& visited = w.scratch.places;
  std::vector<float>& logits = w.scratch.terms;
  visited.clear();
  logits.clear();
  for (const Candidate& c : w.scratch.candidates) {
    if (c.child != kUnvisited && visit_counts[c.action] > 0) visited.push_back(static_cast<std::int16_t>(c.action));
  }
  const float denominator = std::max(static_cast<float>(total), 1.0f);
  std::fill(action_weights, action_weights + kActions, 0.0f);
  const float unvisited = xla_log(kTiny);
  float top = visited.size() < static_cast<std::size_t>(kActions) ? unvisited : -std::numeric_limits<float>::infinity();
  for (const std::int16_t a : visited) {
    const float weight = static_cast<float>(visit_counts[a]) / denominator;
    action_weights[a] = weight;
    logits.push_back(xla_log(std::max(weight, kTiny)));
    top = std::max(top, logits.back());
  }
  const float temperature = std::max(kTiny, options_.temperature);
  float lowest_visited = std::numeric_limits<float>::infinity();
  for (float& x : logits) {
    x = (x - top) / temperature;
    lowest_visited = std::min(lowest_visited, x);
  }
  const float rest = (unvisited - top) / temperature;
  // jax.random.categorical(rng_key, logits) over the batch: row i's Gumbel
  // noise is elements i * kActions + a of one draw. A Gumbel draw lies in
  // [-4.47, 15.95]: when the unvisited actions' logit is more than that below
  // every visited one's, none of them can win and only the visited actions'
  // noise is drawn.
  const std::uint64_t base = static_cast<std::uint64_t>(i) * kActions;
  const bool sparse = lowest_visited - rest > 21.0f;
  float best = -std::numeric_limits<float>::infinity();
  action = 0;
  auto offer = [&](int a, float logit) {
    const float score = gumbel_at(action_key_, base + static_cast<std::uint64_t>(a), Kernel::ynn) + logit;
    if (score > best) {
      best = score;
      action = a;
    }
  };
  if (sparse) {
    for (std::size_t k = 0; k < visited.size(); ++k) offer(visited[k], logits[k]);
    return;
  }
  std::size_t k = 0;
  for (int a = 0; a < kActions; ++a) {
    const bool was_visited = k < visited.size() && visited[k] == a;
    offer(a, was_visited ? logits[k++] : rest);
  }
}

std::size_t BatchedSearch::tree_bytes() const {
  std::size_t total = 0;
  for (const SearchTree& t : trees_) total += t.bytes();
  return total;
}

}  // namespace orvex::search
