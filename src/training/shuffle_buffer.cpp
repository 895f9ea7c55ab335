#include "training/shuffle_buffer.h"

#include <cstdint>
#include <utility>

namespace orvex::training {

void ShuffleBuffer::reset(std::size_t capacity, std::uint64_t seed, std::uint64_t epoch) {
  capacity_ = capacity;
  SplitMix mix(seed);
  random_ = SplitMix(mix.next() ^ (epoch * 0xD1B54A32D192ED03u));
  held_.clear();
  held_.shrink_to_fit();
  // Address space only: pages are touched as positions come.
  held_.reserve(capacity);
}

void ShuffleBuffer::push(const PositionRecord& record, std::vector<PositionRecord>& out) {
  if (held_.size() < capacity_) {
    held_.push_back(record);
    return;
  }
  if (capacity_ == 0) {
    out.push_back(record);
    return;
  }
  PositionRecord& slot = held_[random_.below(capacity_)];
  out.push_back(slot);
  slot = record;
}

void ShuffleBuffer::drain(std::vector<PositionRecord>& out) {
  // An order drawn as a permutation of places, so that each record is copied once.
  std::vector<std::uint32_t> order(held_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  for (std::size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[random_.below(i)]);
  out.reserve(out.size() + held_.size());
  for (std::uint32_t i : order) out.push_back(held_[i]);
  held_.clear();
}

}  // namespace orvex::training
