#include "search/jax_random.h"

namespace orvex::search {
}  // namespace orvex::search
