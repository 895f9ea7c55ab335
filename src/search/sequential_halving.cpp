#include "search/sequential_halving.h"

#include <algorithm>
#include <cmath>

namespace orvex::search {
namespace {

// mctx's get_sequence_of_considered_visits.
std::vector<std::int32_t> considered_sequence(int max_considered, int simulations) {
  std::vector<std::int32_t> sequence;
  if (max_considered <= 1) {
    for (int i = 0; i < simulations; ++i) sequence.push_back(i);
    return sequence;
  }
  const int log2max = static_cast<int>(std::ceil(std::log2(static_cast<double>(max_considered))));
  std::vector<std::int32_t> visits(static_cast<std::size_t>(max_considered), 0);
  int considered = max_considered;
  while (static_cast<int>(sequence.size()) < simulations) {
    const int extra = std::max(
        1, static_cast<int>(static_cast<double>(simulations) / static_cast<double>(log2max * considered)));
    for (int e = 0; e < extra; ++e) {
      sequence.insert(sequence.end(), visits.begin(), visits.begin() + considered);
      for (int i = 0; i < considered; ++i) ++visits[static_cast<std::size_t>(i)];
    }
    considered = std::max(2, considered / 2);
  }
  sequence.resize(static_cast<std::size_t>(simulations));
  return sequence;
}

}  // namespace

ConsideredVisits::ConsideredVisits(int max_num_considered_actions, int num_simulations)
    : simulations_(num_simulations) {
  table_.reserve(static_cast<std::size_t>(max_num_considered_actions + 1) * num_simulations);
  for (int m = 0; m <= max_num_considered_actions; ++m) {
    const std::vector<std::int32_t> row = considered_sequence(m, num_simulations);
    table_.insert(table_.end(), row.begin(), row.end());
  }
}

}  // namespace orvex::search
