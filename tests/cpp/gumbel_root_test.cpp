// The root choice of a Gumbel search by the root's order against the choice
// that scores every action: the same action on roots full of ties (equal
// priors and values, noise that the scores round away), where only the
// rule for a tie decides.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "search/selection.h"
#include "search/sequential_halving.h"

namespace orvex::search {
namespace {

TEST(GumbelRoot, OrderedChoiceEqualsTheFullScoring) {
  std::mt19937 rng(3);
  constexpr int kSims = 24;
  const ConsideredVisits table(16, kSims);
  for (int round = 0; round < 3000; ++round) {
    SearchOptions options;
    options.rescale_values = round % 5 != 0;
    options.use_mixed_value = round % 7 != 0;
    SearchTree tree;
    tree.clear(kSims);
    std::vector<std::int16_t> legal;
    for (int a = static_cast<int>(rng() % 40); a < kActions && legal.size() < 2 + rng() % 60; a += 1 + static_cast<int>(rng() % 150))
      legal.push_back(static_cast<std::int16_t>(a));
    std::vector<float> logits(kActions, kLowest), noise(legal.size());
    for (std::size_t k = 0; k < legal.size(); ++k) {
      logits[static_cast<std::size_t>(legal[k])] = static_cast<float>(rng() % 2);
      // Noise that differs by less than the sum with a completed Q keeps.
      noise[k] = static_cast<float>(rng() % 3) * 0.5f + static_cast<float>(rng() % 4) * 3e-8f;
    }
    tree.set_prior_logits(0, legal, {}, logits);
    Node& root = tree.nodes[0];
    root.raw_value = static_cast<float>(rng() % 3) - 1.0f;
    // Children with few distinct visit counts and values.
    int visits = 0, made = 0;
    for (Slot& s : tree.slots_of(root)) {
      if (rng() % 2 || made >= kSims - 1) continue;
      Node& child = tree.nodes[static_cast<std::size_t>(++made)];
      child = Node{};
      child.parent = 0;
      child.action = s.action;
      child.visits = 1 + static_cast<int>(rng() % 3);
      child.value = static_cast<float>(rng() % 3) * 0.25f;
      child.reward = rng() % 4 == 0 ? 1.0f : 0.0f;
      child.discount = -1.0f;
      s.child = made;
      visits += child.visits;
    }
    root.visits = 1 + std::min(visits, kSims - 1);
    GumbelRootOrder order;
    make_gumbel_root_order(tree, noise, order);
    ASSERT_TRUE(order.set);
    const GumbelRootOrder none;
    SelectionScratch scratch;
    const int considered = std::min<int>(16, static_cast<int>(legal.size()));
    const std::int32_t fast = gumbel_root_select(tree, table, considered, noise, order, options, scratch);
    const std::int32_t full = gumbel_root_select(tree, table, considered, noise, none, options, scratch);
    ASSERT_EQ(fast, full) << round;
  }
}

}  // namespace
}  // namespace orvex::search
