// Sixteen floats at a time, in two vectors of eight lanes (AVX2 where the
// processor has it): a maximum and a test per lane, joined at the end.
#include "search/row_scan.h"

#include <cstdint>
#include <limits>

#include "base/lanes.h"
#include "search/float_kernels.h"

namespace orvex::search {

ORVEX_INT_CLONES bool scan_row(const float* row, std::size_t n, float& top) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const F32x8 inf = float_lanes_of(kInf);
  F32x8 best0 = float_lanes_of(-kInf), best1 = best0;
  Mask32x8 wrong = no_lanes();
  std::size_t a = 0;
  for (; a + 16 <= n; a += 16) {
    const F32x8 x = load_lanes(row + a), y = load_lanes(row + a + 8);
    wrong |= not_below(x, inf);  // +inf or NaN
    wrong |= not_below(y, inf);
    best0 = max_lanes(x, best0);
    best1 = max_lanes(y, best1);
  }
  const F32x8 best = max_lanes(best1, best0);
  float most = -kInf;
  bool any = false;
  for (int k = 0; k < 8; ++k) {
    most = best[k] > most ? best[k] : most;
    any = any || wrong[k] != 0;
  }
  for (; a < n; ++a) {
    const float x = row[a];
    any = any || !(x < kInf);
    most = x > most ? x : most;
  }
  if (any) return false;
  top = most;
  return true;
}

}  // namespace orvex::search
