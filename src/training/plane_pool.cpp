#include "training/plane_pool.h"

#include <utility>

namespace orvex::training {

std::unique_ptr<Planes[]> PlanePool::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!kept_.empty()) {
      std::unique_ptr<Planes[]> block = std::move(kept_.back());
      kept_.pop_back();
      return block;
    }
  }
  // Default-initialised: the planes are written before they are read.
  return std::unique_ptr<Planes[]>(new Planes[positions_]);
}

void PlanePool::give_back(std::unique_ptr<Planes[]> block) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.size() < most_kept_) kept_.push_back(std::move(block));
  // else the block is freed here, after the lock is let go
}

void PlanePool::keep_at_least(std::size_t blocks) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (blocks <= most_kept_) return;
  kept_.reserve(blocks);  // give_back never allocates
  most_kept_ = blocks;
}

}  // namespace orvex::training
