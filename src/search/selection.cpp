#include "base/platform.h"
#include "search/selection.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "search/jax_random.h"
#include "search/sparse_row.h"
#include "search/xla_math.h"

namespace orvex::search {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kTiny = std::numeric_limits<float>::min();

// Where XLA fuses a product into the sum that follows it.
inline float mul_add(float a, float b, float c) { return fused_multiply_add(a, b, c); }

// The best (score, action): the higher score, on a tie the lower action, as
// jnp.argmax takes the first.
struct Best {
  float score = -kInf;
  std::int32_t action = -1;
  void offer(float s, std::int32_t a) {
    if (action < 0 || s > score || (s == score && a < action)) {
      score = s;
      action = a;
    }
  }
};

const Node& node_at(const SearchTree& t, std::int32_t i) { return t.nodes[static_cast<std::size_t>(i)]; }

}  // namespace

float child_qvalue(const Node& child) { return mul_add(child.discount, child.value, child.reward); }

bool gather_candidates(const SearchTree& tree, std::int32_t node, std::vector<Candidate>& out) {
  out.clear();
  const Node& n = node_at(tree, node);
  if (n.dense >= 0) {
    const DenseRow& row = tree.dense_rows[static_cast<std::size_t>(n.dense)];
    out.resize(kActions);
    for (int a = 0; a < kActions; ++a) {
      out[static_cast<std::size_t>(a)] = {a, kUnvisited, row.logits[static_cast<std::size_t>(a)],
                                          row.probs[static_cast<std::size_t>(a)]};
    }
    for (std::int32_t e = n.first_extra; e >= 0; e = tree.extras[static_cast<std::size_t>(e)].next) {
      const Extra& x = tree.extras[static_cast<std::size_t>(e)];
      out[static_cast<std::size_t>(x.action)].child = x.child;
    }
    return false;
  }
  for (const Slot& s : tree.slots_of(n)) out.push_back({s.action, s.child, s.logit, s.prob});
  bool extra = false;
  for (std::int32_t e = n.first_extra; e >= 0; e = tree.extras[static_cast<std::size_t>(e)].next) {
    const Extra& x = tree.extras[static_cast<std::size_t>(e)];
    out.push_back({x.action, x.child, kLowest, 0.0f});
    extra = true;
  }
  if (extra) {
    std::sort(out.begin(), out.end(), [](const Candidate& x, const Candidate& y) { return x.action < y.action; });
  }
  return out.size() < static_cast<std::size_t>(kActions);
}

namespace {

// qtransform_by_parent_and_siblings: the normalised Q-value of each
// candidate (0 for the unvisited ones and for every other action).
void by_parent_and_siblings(const SearchTree& tree, std::int32_t node, std::span<const Candidate> cands,
                            const SearchOptions& options, std::vector<float>& out) {
  const float node_value = node_at(tree, node).value;
  float lo = node_value, hi = node_value;
  out.resize(cands.size());
  for (std::size_t i = 0; i < cands.size(); ++i) {
    if (cands[i].child == kUnvisited) continue;
    const float q = child_qvalue(node_at(tree, cands[i].child));
    out[i] = q;
    lo = std::min(lo, q);
    hi = std::max(hi, q);
  }
  const float denominator = std::max(hi - lo, options.epsilon);
  for (std::size_t i = 0; i < cands.size(); ++i) {
    out[i] = cands[i].child == kUnvisited ? 0.0f : (out[i] - lo) / denominator;
  }
}

}  // namespace

std::int32_t muzero_select(const SearchTree& tree, std::int32_t node, bool root, PrngKey key,
                           const SearchOptions& options, SelectionScratch& scratch) {
  std::vector<Candidate>& cands = scratch.candidates;
  const bool rest = gather_candidates(tree, node, cands) && !root;
  by_parent_and_siblings(tree, node, cands, options, scratch.scores);
  const Node& n = node_at(tree, node);
  const float visits = static_cast<float>(n.visits);
  const float pb_c = options.pb_c_init + xla_log((visits + options.pb_c_base + 1.0f) / options.pb_c_base);
  const float scale = std::sqrt(visits) * pb_c;
  // The tie-breaking noise of every candidate, drawn at once.
  std::vector<std::int32_t>& actions = scratch.actions;
  std::vector<float>& noise = scratch.terms;
  actions.resize(cands.size());
  noise.resize(cands.size());
  for (std::size_t i = 0; i < cands.size(); ++i) actions[i] = cands[i].action;
  uniform_at(key, actions, noise);
  Best best;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    const Candidate& c = cands[i];
    const std::int32_t child_visits = c.child == kUnvisited ? 0 : node_at(tree, c.child).visits;
    const float policy = scale * c.prob / static_cast<float>(child_visits + 1);
    best.offer(mul_add(1e-7f, noise[i], scratch.scores[i] + policy), c.action);
  }
  // Every other action scores 1e-7 times its noise: it can win only over
  // candidates that score no more than that.
  if (rest && best.score <= 1e-7f) {
    std::vector<float>& taken = scratch.row;
    taken.assign(kActions, 0.0f);
    for (const Candidate& c : cands) taken[static_cast<std::size_t>(c.action)] = 1.0f;
    for (int a = 0; a < kActions; ++a) {
      if (taken[static_cast<std::size_t>(a)] != 0.0f) continue;
      best.offer(mul_add(1e-7f, uniform_at(key, static_cast<std::uint64_t>(a)), 0.0f), a);
    }
  }
  return best.action < 0 ? 0 : best.action;
}

namespace {

// qtransform_completed_by_mix_value's mixed value of node n: its raw value
// and its visited children's Q-values (qs, at places), weighted by their
// prior probabilities (probs, each at least float32's tiniest), summed over
// the whole row in XLA's order (the others add 0). terms is working space.
float mixed_value(const Node& n, std::span<const std::int16_t> places, std::span<const float> probs,
                  std::span<const float> qs, std::int32_t sum_visits, std::vector<float>& terms) {
  // The visited children only ever grow in number, and their priors stay
  // (set_priors forgets the sum when it sets new ones): the sum of their
  // probabilities is made again only when one more is visited.
  if (n.summed_children != static_cast<std::int32_t>(places.size())) {
    n.sum_probs = sparse_ynn_sum(places, probs, kActions);
    n.summed_children = static_cast<std::int32_t>(places.size());
  }
  terms.resize(qs.size());
  for (std::size_t v = 0; v < qs.size(); ++v) terms[v] = probs[v] * qs[v] / n.sum_probs;
  const float weighted = sparse_ynn_sum(places, terms, kActions);
  const float total = static_cast<float>(sum_visits);
  return mul_add(total, weighted, n.raw_value) / (total + 1.0f);
}

}  // namespace

float completed_by_mix_value(const SearchTree& tree, std::int32_t node, std::span<const Candidate> cands,
                             bool rest, const SearchOptions& options, SelectionScratch& scratch) {
  std::vector<float>& scores = scratch.scores;
  const Node& n = node_at(tree, node);
  scores.resize(cands.size());
  std::int32_t sum_visits = 0, max_visits = 0;
  bool any_unvisited = rest;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    if (cands[i].child == kUnvisited) {
      any_unvisited = true;
      continue;
    }
    const Node& c = node_at(tree, cands[i].child);
    scores[i] = child_qvalue(c);
    sum_visits += c.visits;
    max_visits = std::max(max_visits, c.visits);
  }
  float value = n.raw_value;
  if (options.use_mixed_value) {
    std::vector<std::int16_t>& places = scratch.places;
    std::vector<float>& probs = scratch.terms;
    std::vector<float>& qs = scratch.visited_q;
    places.clear();
    probs.clear();
    qs.clear();
    for (std::size_t i = 0; i < cands.size(); ++i) {
      if (cands[i].child == kUnvisited) continue;
      places.push_back(static_cast<std::int16_t>(cands[i].action));
      probs.push_back(std::max(kTiny, cands[i].prob));
      qs.push_back(scores[i]);
    }
    value = mixed_value(n, places, probs, qs, sum_visits, scratch.weighted);
  }
  float lo = kInf, hi = -kInf;
  if (any_unvisited) lo = hi = value;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    if (cands[i].child == kUnvisited) scores[i] = value;
    lo = std::min(lo, scores[i]);
    hi = std::max(hi, scores[i]);
  }
  float rest_value = value;
  if (options.rescale_values) {
    const float denominator = std::max(hi - lo, options.epsilon);
    for (float& s : scores) s = (s - lo) / denominator;
    rest_value = (value - lo) / denominator;
  }
  const float scale = (options.maxvisit_init + static_cast<float>(max_visits)) * options.value_scale;
  for (float& s : scores) s = scale * s;
  return scale * rest_value;
}

std::int32_t gumbel_considered_argmax(const SearchTree& tree, std::int32_t considered_visit,
                                      std::span<const float> gumbel, const SearchOptions& options,
                                      SelectionScratch& scratch) {
  std::vector<Candidate>& cands = scratch.candidates;
  const bool rest = gather_candidates(tree, 0, cands);
  completed_by_mix_value(tree, 0, cands, rest, options, scratch);
  float top = -kInf;
  for (const Candidate& c : cands) top = std::max(top, c.logit);
  if (rest) top = std::max(top, kLowest);
  // The noise of a candidate: by action in a dense row; by place among the
  // root's slots otherwise (the candidates are the slots, unless an action
  // outside them was taken: none was drawn for it).
  const std::span<const Slot> slots = tree.slots_of(node_at(tree, 0));
  const bool dense = gumbel.size() == static_cast<std::size_t>(kActions);
  const bool by_place = !dense && cands.size() == gumbel.size();
  auto noise = [&](std::size_t i, std::int32_t action) -> float {
    if (dense) return gumbel[static_cast<std::size_t>(action)];
    if (by_place) return gumbel[i];
    const auto it = std::lower_bound(slots.begin(), slots.end(), action,
                                     [](const Slot& s, std::int32_t a) { return s.action < a; });
    return it != slots.end() && it->action == action ? gumbel[static_cast<std::size_t>(it - slots.begin())] : 0.0f;
  };
  Best best;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    const Candidate& c = cands[i];
    const std::int32_t visits = c.child == kUnvisited ? 0 : node_at(tree, c.child).visits;
    const float penalty = visits == considered_visit ? 0.0f : -kInf;
    const float score = (noise(i, c.action) + (c.logit - top)) + scratch.scores[i];
    best.offer(std::max(-1e9f, score) + penalty, c.action);
  }
  // All -inf: jnp.argmax's first action.
  return best.score == -kInf || best.action < 0 ? 0 : best.action;
}

void make_gumbel_root_order(const SearchTree& tree, std::span<const float> gumbel, GumbelRootOrder& out) {
  out.set = false;
  const Node& root = node_at(tree, 0);
  const std::span<const Slot> slots = tree.slots_of(root);
  if (root.dense >= 0 || root.first_extra >= 0 || slots.empty()) return;
  const bool dense = gumbel.size() == static_cast<std::size_t>(kActions);
  if (!dense && gumbel.size() != slots.size()) return;
  // As gumbel_considered_argmax: the largest logit of the candidates and of
  // the actions outside them (float32's lowest).
  float top = kLowest;
  for (const Slot& s : slots) top = std::max(top, s.logit);
  out.base.resize(slots.size());
  out.order.resize(slots.size());
  for (std::size_t k = 0; k < slots.size(); ++k) {
    const float noise = dense ? gumbel[static_cast<std::size_t>(slots[k].action)] : gumbel[k];
    out.base[k] = noise + (slots[k].logit - top);
    if (!std::isfinite(out.base[k])) return;
    out.order[k] = static_cast<std::int32_t>(k);
  }
  // Slots are in action order: a stable sort keeps the lower action first.
  std::stable_sort(out.order.begin(), out.order.end(),
                   [&](std::int32_t a, std::int32_t b) { return out.base[static_cast<std::size_t>(a)] > out.base[static_cast<std::size_t>(b)]; });
  out.set = true;
}

namespace {

// completed_by_mix_value over the slots of a running game's node without
// extras (the actions outside them, and the unvisited slots, all count as
// unvisited): the visited children, in action order, in scratch
// (visited_places, visited_probs, visited_q, visited_visits), and the rule
// that completes a Q-value; the unvisited ones' is complete(value).
struct SlotCompletion {
  float value, lo, hi, denominator, scale;
  std::int32_t sum_visits, max_visits;
  bool rescale;
  float complete(float q) const { return scale * (rescale ? (q - lo) / denominator : q); }
};

SlotCompletion complete_slots(const SearchTree& tree, const Node& n, const SearchOptions& options,
                              SelectionScratch& scratch) {
  std::vector<std::int16_t>& places = scratch.visited_places;
  std::vector<float>& probs = scratch.visited_probs;
  std::vector<float>& qs = scratch.visited_q;
  std::vector<std::int32_t>& visits = scratch.visited_visits;
  places.clear();
  probs.clear();
  qs.clear();
  visits.clear();
  SlotCompletion c{};
  for (const Slot& s : tree.slots_of(n)) {
    if (s.child == kUnvisited) continue;
    const Node& child = node_at(tree, s.child);
    places.push_back(s.action);
    probs.push_back(std::max(kTiny, s.prob));
    qs.push_back(child_qvalue(child));
    visits.push_back(child.visits);
    c.sum_visits += child.visits;
    c.max_visits = std::max(c.max_visits, child.visits);
  }
  c.value = options.use_mixed_value ? mixed_value(n, places, probs, qs, c.sum_visits, scratch.weighted) : n.raw_value;
  // The range: the unvisited actions count as the value (their min and max
  // change nothing, in any order).
  c.lo = c.hi = c.value;
  for (const float q : qs) {
    c.lo = std::min(c.lo, q);
    c.hi = std::max(c.hi, q);
  }
  c.denominator = std::max(c.hi - c.lo, options.epsilon);
  c.scale = (options.maxvisit_init + static_cast<float>(c.max_visits)) * options.value_scale;
  c.rescale = options.rescale_values;
  return c;
}

// gumbel_considered_argmax at a root with an order (or -1 when it cannot
// tell): the completed Q-values
// as completed_by_mix_value makes them (every unvisited action has the same
// one), scored for the considered actions only. The unvisited ones, when
// they are considered, are taken in the order: their score
// max(-1e9, base + the same completed Q) never increases along it.
std::int32_t ordered_root_argmax(const SearchTree& tree, std::int32_t considered_visit, const GumbelRootOrder& order,
                                 const SearchOptions& options, SelectionScratch& scratch) {
  const std::span<const Slot> slots = tree.slots_of(node_at(tree, 0));
  const SlotCompletion c = complete_slots(tree, node_at(tree, 0), options, scratch);
  // Q-values that are not finite take the whole way, which scores every
  // candidate in order.
  if (!std::isfinite(c.hi - c.lo) || !std::isfinite(c.scale)) return -1;
  Best best;
  if (considered_visit == 0) {
    const float rest = c.complete(c.value);
    float top = -kInf;
    for (const std::int32_t k : order.order) {
      const Slot& s = slots[static_cast<std::size_t>(k)];
      if (s.child != kUnvisited) continue;
      const float score = std::max(-1e9f, order.base[static_cast<std::size_t>(k)] + rest) + 0.0f;
      if (best.action >= 0 && score < top) break;
      top = score;
      best.offer(score, s.action);
    }
  } else {
    std::size_t v = 0;
    for (std::size_t k = 0; k < slots.size(); ++k) {
      if (slots[k].child == kUnvisited) continue;
      const std::size_t at = v++;
      if (scratch.visited_visits[at] != considered_visit) continue;
      best.offer(std::max(-1e9f, order.base[k] + c.complete(scratch.visited_q[at])) + 0.0f, slots[k].action);
    }
  }
  return best.action < 0 ? 0 : best.action;
}

}  // namespace

std::int32_t gumbel_root_select(const SearchTree& tree, const ConsideredVisits& table, int num_considered,
                                std::span<const float> gumbel, const GumbelRootOrder& order,
                                const SearchOptions& options, SelectionScratch& scratch) {
  // The simulations so far: the root's children's visits, which every
  // simulation adds one to, as to the root (which starts at one).
  const std::int32_t simulation = node_at(tree, 0).visits - 1;
  const std::int32_t considered_visit = table.at(num_considered, simulation);
  if (order.set && node_at(tree, 0).first_extra < 0) {
    const std::int32_t action = ordered_root_argmax(tree, considered_visit, order, options, scratch);
    if (action >= 0) return action;
  }
  return gumbel_considered_argmax(tree, considered_visit, gumbel, options, scratch);
}

namespace {

// gumbel_interior_select at a running game's node without extras, in one
// pass over its slots (the unvisited ones share one completed Q-value), as
// completed_by_mix_value and the general way make it; false when the
// general way must decide (the others' exp is not 0).
bool interior_from_slots(const SearchTree& tree, const Node& n, const SearchOptions& options,
                         SelectionScratch& scratch, std::int32_t& action) {
  const std::span<const Slot> slots = tree.slots_of(n);
  const SlotCompletion c = complete_slots(tree, n, options, scratch);
  const float rest_q = c.complete(c.value);
  const float visits_denominator = static_cast<float>(1 + c.sum_visits);
  std::vector<std::int16_t>& places = scratch.places;
  std::vector<float>& logits = scratch.row;
  std::vector<float>& taken = scratch.terms;
  places.resize(slots.size());
  logits.resize(slots.size());
  taken.resize(slots.size());
  std::int32_t first_rest = 0;
  std::size_t v = 0;
  for (std::size_t k = 0; k < slots.size(); ++k) {
    const Slot& s = slots[k];
    places[k] = s.action;
    if (first_rest == s.action) ++first_rest;
    if (s.child == kUnvisited) {
      logits[k] = s.logit + rest_q;
      taken[k] = 0.0f / visits_denominator;
    } else {
      logits[k] = s.logit + c.complete(scratch.visited_q[v]);
      taken[k] = static_cast<float>(scratch.visited_visits[v]) / visits_denominator;
      ++v;
    }
  }
  scratch.row2.resize(slots.size());
  return sparse_softmax_argmax(places, logits, kLowest + rest_q, kActions, taken, first_rest, scratch.row2, action);
}

}  // namespace

std::int32_t gumbel_interior_select(const SearchTree& tree, std::int32_t node, const SearchOptions& options,
                                    SelectionScratch& scratch) {
  const Node& n = node_at(tree, node);
  std::int32_t chosen;
  if (n.dense < 0 && n.first_extra < 0 && n.slot_count < kActions &&
      interior_from_slots(tree, n, options, scratch, chosen)) {
    return chosen;
  }
  std::vector<Candidate>& cands = scratch.candidates;
  const bool rest = gather_candidates(tree, node, cands);
  const float rest_q = completed_by_mix_value(tree, node, cands, rest, options, scratch);
  std::int32_t total = 0;
  for (const Candidate& c : cands) {
    if (c.child != kUnvisited) total += node_at(tree, c.child).visits;
  }
  const float denominator = static_cast<float>(1 + total);
  // softmax(prior_logits + completed_qvalues) over the whole row: the
  // candidates' places, the others (float32's lowest plus a little) add 0.
  std::vector<std::int16_t>& places = scratch.places;
  std::vector<float>& logits = scratch.row;
  std::vector<float>& taken = scratch.terms;
  places.clear();
  logits.clear();
  taken.clear();
  for (std::size_t i = 0; i < cands.size(); ++i) {
    const Candidate& c = cands[i];
    places.push_back(static_cast<std::int16_t>(c.action));
    logits.push_back(c.logit + scratch.scores[i]);
    taken.push_back((c.child == kUnvisited ? 0.0f : static_cast<float>(node_at(tree, c.child).visits)) / denominator);
  }
  // Every other action scores 0 - 0: the first of them takes part.
  std::int32_t first_rest = rest ? 0 : -1;
  for (const Candidate& c : cands) {
    if (first_rest == c.action) ++first_rest;
  }
  scratch.row2.resize(cands.size());
  std::int32_t action;
  if (sparse_softmax_argmax(places, logits, kLowest + rest_q, kActions, taken, first_rest, scratch.row2, action)) {
    return action;
  }
  std::vector<float>& row = scratch.row;
  row.assign(kActions, kLowest + rest_q);
  std::vector<float>& visits = scratch.row2;
  visits.assign(kActions, 0.0f);
  for (std::size_t i = 0; i < cands.size(); ++i) {
    const Candidate& c = cands[i];
    row[static_cast<std::size_t>(c.action)] = c.logit + scratch.scores[i];
    if (c.child != kUnvisited) visits[static_cast<std::size_t>(c.action)] = static_cast<float>(node_at(tree, c.child).visits);
  }
  softmax(row);
  Best best;
  for (int a = 0; a < kActions; ++a) {
    best.offer(row[static_cast<std::size_t>(a)] - visits[static_cast<std::size_t>(a)] / denominator, a);
  }
  return best.action;
}

}  // namespace orvex::search
