// The settings of a batched search, by the names and defaults of mctx's
// muzero_policy and gumbel_muzero_policy (and their qtransforms).
#pragma once

#include <cstdint>

namespace orvex::search {

enum class Policy : std::uint8_t { kMuZero, kGumbel };

struct SearchOptions {
  Policy policy = Policy::kGumbel;
  int num_simulations = 64;
  int max_depth = -1;  // -1: num_simulations, as mctx's None

  // muzero_policy: PUCT with qtransform_by_parent_and_siblings.
  float pb_c_init = 1.25f;
  float pb_c_base = 19652.0f;
  float dirichlet_fraction = 0.25f;
  float dirichlet_alpha = 0.3f;
  float temperature = 1.0f;

  // gumbel_muzero_policy: Sequential Halving at the root,
  // qtransform_completed_by_mix_value everywhere.
  int max_num_considered_actions = 16;
  float gumbel_scale = 1.0f;
  float value_scale = 0.1f;
  float maxvisit_init = 50.0f;
  bool rescale_values = true;
  bool use_mixed_value = true;
  float epsilon = 1e-8f;

  int depth_limit() const { return max_depth < 0 ? num_simulations : max_depth; }
};

}  // namespace orvex::search
