#include "training/shuffle_buffer.h"

#include <cstdint>
#include <utility>

namespace orvex::training {

void ShuffleBuffer::reset(std::size_t capacity, std::uint64_t seed, std::uint64_t epoch) {
  capacity_ = capacity;
  SplitMix mix(seed);
  random_ = SplitMix(mix.next() ^ (epoch * 0xD1B54A32D192ED03u));
  records_.clear();
  records_.shrink_to_fit();
  planes_.clear();
  planes_.shrink_to_fit();
  // Address space only: pages are touched as positions come.
  records_.reserve(capacity);
  planes_.reserve(capacity);
}

std::vector<std::uint32_t> ShuffleBuffer::drain_order() {
  std::vector<std::uint32_t> order(records_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  for (std::size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[random_.below(i)]);
  return order;
}

}  // namespace orvex::training
