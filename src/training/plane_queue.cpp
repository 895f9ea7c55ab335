#include "training/plane_queue.h"

#include <algorithm>
#include <utility>

namespace orvex::training {

PlaneQueue::PlaneQueue(std::size_t block_positions)
    : pool_(std::make_shared<PlanePool>(std::max<std::size_t>(block_positions, 1))) {}

void PlaneQueue::clear() {
  for (std::unique_ptr<Planes[]>& block : blocks_) {
    if (block) pool_->give_back(std::move(block));
  }
  blocks_.clear();
  head_ = end_ = 0;
}

PlaneSlots PlaneQueue::extend(std::size_t n) {
  const std::size_t positions = pool_->positions();
  const std::size_t first = end_;
  const std::size_t blocks = (end_ + n + positions - 1) / positions;
  if (blocks > blocks_.size()) {
    blocks_.reserve(blocks);
    pool_->keep_at_least(blocks);
    while (blocks_.size() < blocks) blocks_.push_back(pool_->take());
  }
  end_ += n;
  return {blocks_.data(), positions, first};
}

std::unique_ptr<PlaneBlock> PlaneQueue::hand_over(std::size_t n) {
  const std::size_t positions = pool_->positions();
  // A block is handed over full, or with all that is left when that is at
  // least half of it (a batch holds on to no more than twice its memory).
  const bool whole = n == positions || (n == size() && 2 * n >= positions);
  if (n == 0 || n > size() || head_ % positions != 0 || !whole) return nullptr;
  return std::make_unique<PlaneBlock>(std::move(blocks_[head_ / positions]), pool_);
}

void PlaneQueue::consume(std::size_t n) {
  head_ += std::min(n, size());
  if (head_ == end_) {
    clear();
    return;
  }
  const std::size_t positions = pool_->positions();
  const std::size_t done = head_ / positions;
  if (done == 0) return;
  for (std::size_t k = 0; k < done; ++k) {
    if (blocks_[k]) pool_->give_back(std::move(blocks_[k]));
  }
  blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(done));
  head_ -= done * positions;
  end_ -= done * positions;
}

}  // namespace orvex::training
