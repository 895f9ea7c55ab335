#include "search/search_tree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "search/sparse_row.h"
#include "search/xla_math.h"

namespace orvex::search {

void SearchTree::clear(int num_simulations) {
  nodes.assign(static_cast<std::size_t>(num_simulations) + 1, Node{});
  slots.clear();
  extras.clear();
  dense_rows.clear();
}

std::int32_t SearchTree::slot_index(std::int32_t node, int action) const {
  const Node& n = nodes[static_cast<std::size_t>(node)];
  const std::span<const Slot> own = slots_of(n);
  const auto it = std::lower_bound(own.begin(), own.end(), action,
                                   [](const Slot& s, int a) { return s.action < a; });
  if (it != own.end() && it->action == action) return static_cast<std::int32_t>(n.first_slot + (it - own.begin()));
  return -1;
}

std::int32_t SearchTree::child(std::int32_t node, int action) const {
  const Node& n = nodes[static_cast<std::size_t>(node)];
  const std::int32_t slot = slot_index(node, action);
  if (slot >= 0) return slots[static_cast<std::size_t>(slot)].child;
  for (std::int32_t e = n.first_extra; e >= 0; e = extras[static_cast<std::size_t>(e)].next) {
    if (extras[static_cast<std::size_t>(e)].action == action) return extras[static_cast<std::size_t>(e)].child;
  }
  return kUnvisited;
}

void SearchTree::set_child(std::int32_t node, int action, std::int32_t child) {
  Node& n = nodes[static_cast<std::size_t>(node)];
  const std::span<Slot> own = slots_of(n);
  const auto it = std::lower_bound(own.begin(), own.end(), action,
                                   [](const Slot& s, int a) { return s.action < a; });
  if (it != own.end() && it->action == action) {
    it->child = child;
    return;
  }
  for (std::int32_t e = n.first_extra; e >= 0; e = extras[static_cast<std::size_t>(e)].next) {
    if (extras[static_cast<std::size_t>(e)].action == action) {
      extras[static_cast<std::size_t>(e)].child = child;
      return;
    }
  }
  extras.push_back({node, action, child, n.first_extra});
  n.first_extra = static_cast<std::int32_t>(extras.size() - 1);
}

namespace {

// Appends the slots of a node, in the order of legal, unless it has them
// already (a node made again at the depth limit).
void add_slots(SearchTree& t, Node& n, std::span<const std::int16_t> legal, std::span<const ChessMove> moves) {
  if (n.slot_count == legal.size() && n.slot_count) return;
  n.first_slot = static_cast<std::uint32_t>(t.slots.size());
  n.slot_count = static_cast<std::uint16_t>(legal.size());
  t.slots.resize(n.first_slot + legal.size());
  Slot* out = t.slots.data() + n.first_slot;
  for (std::size_t k = 0; k < legal.size(); ++k) {
    out[k] = Slot{legal[k], moves.empty() ? ChessMove{} : moves[k], kUnvisited, 0.0f, 0.0f};
  }
  n.slots_sorted = legal.size() <= 1;
}

// Puts a node's slots in action order: the actions as bits of a row, read
// back in order (a repeated action, which a game's legal moves never have,
// is sorted).
void sort_slots(SearchTree& t, Node& n) {
  const std::span<Slot> own = t.slots_of(n);
  std::vector<Slot>& unsorted = t.scratch.unsorted;
  unsorted.assign(own.begin(), own.end());
  std::vector<std::uint8_t>& place_of = t.scratch.place_of;
  place_of.resize(kActions);
  std::array<std::uint64_t, (kActions + 63) / 64> seen{};
  for (std::size_t k = 0; k < unsorted.size(); ++k) {
    const auto a = static_cast<std::size_t>(unsorted[k].action);
    seen[a >> 6] |= std::uint64_t{1} << (a & 63);
    place_of[a] = static_cast<std::uint8_t>(k);
  }
  std::size_t k = 0;
  for (std::size_t word = 0; word < seen.size(); ++word) {
    for (std::uint64_t bits = seen[word]; bits != 0; bits &= bits - 1) {
      const std::size_t action = word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      own[k++] = unsorted[place_of[action]];
    }
  }
  if (k != own.size() || own.size() > 256) {
    std::copy(unsorted.begin(), unsorted.end(), own.begin());
    std::stable_sort(own.begin(), own.end(), [](const Slot& x, const Slot& y) { return x.action < y.action; });
  }
  n.slots_sorted = true;
}

void slot_probs(SearchTree& t, Node& n) {
  const std::span<Slot> own = t.slots_of(n);
  std::vector<std::int16_t>& places = t.scratch.places;
  std::vector<float>& logits = t.scratch.logits;
  std::vector<float>& probs = t.scratch.probs;
  places.clear();
  logits.clear();
  for (const Slot& s : own) {
    places.push_back(s.action);
    logits.push_back(s.logit);
  }
  probs.resize(own.size());
  if (!sparse_softmax(places, logits, kLowest, kActions, probs)) {
    // The row of kActions logits with the legal ones at their place, the
    // others at float32's lowest; its softmax, by the XLA reduction of a
    // dense row.
    std::vector<float>& row = t.scratch.row;
    row.assign(kActions, kLowest);
    for (const Slot& s : own) row[static_cast<std::size_t>(s.action)] = s.logit;
    softmax(row);
    for (std::size_t i = 0; i < own.size(); ++i) probs[i] = row[static_cast<std::size_t>(own[i].action)];
  }
  for (std::size_t i = 0; i < own.size(); ++i) own[i].prob = probs[i];
}

}  // namespace

void SearchTree::set_priors(std::int32_t node, const float* logits, float top,
                            std::span<const std::int16_t> legal, std::span<const ChessMove> moves) {
  Node& n = nodes[static_cast<std::size_t>(node)];
  add_slots(*this, n, legal, moves);
  n.summed_children = -1;
  for (Slot& s : slots_of(n)) s.logit = logits[s.action] - top;
  n.probs_ready = false;  // made when the node is first chosen from
}

void SearchTree::set_prior_logits(std::int32_t node, std::span<const std::int16_t> legal,
                                  std::span<const ChessMove> moves, std::span<const float> prior_logits_by_action) {
  Node& n = nodes[static_cast<std::size_t>(node)];
  add_slots(*this, n, legal, moves);
  if (!n.slots_sorted) sort_slots(*this, n);
  n.summed_children = -1;
  for (Slot& s : slots_of(n)) s.logit = prior_logits_by_action[static_cast<std::size_t>(s.action)];
  slot_probs(*this, n);
  n.probs_ready = true;
}

void SearchTree::set_dense_priors(std::int32_t node, const float* logits, bool subtract_max) {
  Node& n = nodes[static_cast<std::size_t>(node)];
  n.summed_children = -1;
  const float top = subtract_max ? *std::max_element(logits, logits + kActions) : 0.0f;
  DenseRow row;
  row.logits.resize(kActions);
  for (int a = 0; a < kActions; ++a) row.logits[static_cast<std::size_t>(a)] = subtract_max ? logits[a] - top : logits[a];
  // The parent's row when it is the same (an ended game's child is the same
  // ended game).
  if (n.parent >= 0) {
    const Node& p = nodes[static_cast<std::size_t>(n.parent)];
    if (p.dense >= 0 && dense_rows[static_cast<std::size_t>(p.dense)].logits == row.logits) {
      n.dense = p.dense;
      return;
    }
  }
  row.probs = row.logits;
  softmax(row.probs);
  n.dense = static_cast<std::int32_t>(dense_rows.size());
  dense_rows.push_back(std::move(row));
}

void SearchTree::ensure_probs(std::int32_t node) {
  Node& n = nodes[static_cast<std::size_t>(node)];
  if (!n.slots_sorted) sort_slots(*this, n);
  if (n.probs_ready || n.dense >= 0) return;
  slot_probs(*this, n);
  n.probs_ready = true;
}

std::size_t SearchTree::bytes() const {
  return nodes.capacity() * sizeof(Node) + slots.capacity() * sizeof(Slot) + extras.capacity() * sizeof(Extra) +
         dense_rows.size() * 2 * kActions * sizeof(float);
}

}  // namespace orvex::search
