#include "training/plane_queue.h"

#include <algorithm>
#include <utility>

namespace orvex::training {

PlaneRun::PlaneRun(std::shared_ptr<PlanePool> pool, std::size_t lead, std::size_t n)
    : pool_(std::move(pool)), lead_(lead), size_(n) {
  const std::size_t positions = pool_->positions();
  const std::size_t blocks = (lead + n + positions - 1) / positions;
  // The queue's blocks and the run's are in use at once.
  pool_->keep_at_least(2 * blocks);
  blocks_.reserve(blocks);
  while (blocks_.size() < blocks) blocks_.push_back(pool_->take());
}

PlaneRun::~PlaneRun() {
  for (std::unique_ptr<Planes[]>& block : blocks_) pool_->give_back(std::move(block));
}

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

void PlaneQueue::join(PlaneRun run) {
  if (run.size_ == 0) return;
  if (size() == run.lead_) {
    const PlaneSlots held = slots();
    const PlaneSlots lead{run.blocks_.data(), pool_->positions(), 0};
    for (std::size_t i = 0; i < run.lead_; ++i) lead.at(i) = held.at(i);
    clear();
    blocks_.swap(run.blocks_);
    end_ = run.lead_ + run.size_;
    return;
  }
  const PlaneSlots to = extend(run.size_), from = run.slots();
  for (std::size_t i = 0; i < run.size_; ++i) to.at(i) = from.at(i);
}

}  // namespace orvex::training
