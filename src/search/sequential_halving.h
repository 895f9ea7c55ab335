// mctx's table of the visit counts Sequential Halving considers at the root
// of a Gumbel search: row m (m considered actions) gives, for each
// simulation, the visit count an action must have to be chosen.
#pragma once

#include <cstdint>
#include <vector>

namespace orvex::search {

class ConsideredVisits {
 public:
  ConsideredVisits(int max_num_considered_actions, int num_simulations);

  // The considered visit count of simulation `simulation` with `considered`
  // actions (at most max_num_considered_actions).
  std::int32_t at(int considered, int simulation) const {
    return table_[static_cast<std::size_t>(considered) * simulations_ + simulation];
  }

 private:
  int simulations_;
  std::vector<std::int32_t> table_;
};

}  // namespace orvex::search
