#include "search/xla_math.h"

namespace orvex::search {
}  // namespace orvex::search
