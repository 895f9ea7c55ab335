// One pass over a row of the network's logits: its maximum, and whether it
// holds a NaN or +inf (which the search refuses).
#pragma once

#include <cstddef>

namespace orvex::search {

// Returns false when the row holds a NaN or +inf; else sets top to its
// maximum (-inf for an empty row).
bool scan_row(const float* row, std::size_t n, float& top);

}  // namespace orvex::search
