// Blocks of planes, each room for a batch's positions, and the pool that
// keeps those given back for the next ones: a block handed over as a batch's
// observation array comes back when the array goes away, and is filled again
// without the page faults of new memory.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "training/position_record.h"

namespace orvex::training {

// Any thread may give a block back while another takes one: the pool is
// shared by a stream and the blocks it handed out, and outlives whichever
// goes last.
class PlanePool {
 public:
  explicit PlanePool(std::size_t positions) : positions_(positions) {}

  // The positions a block holds.
  std::size_t positions() const { return positions_; }

  // A kept block, or a new one (its planes unset).
  std::unique_ptr<Planes[]> take();

  // Keeps the block for take() while fewer than the most kept are.
  void give_back(std::unique_ptr<Planes[]> block);

  // Keeps at least that many blocks from now on.
  void keep_at_least(std::size_t blocks);

 private:
  const std::size_t positions_;
  std::mutex mutex_;  // guards what follows
  std::vector<std::unique_ptr<Planes[]>> kept_;
  std::size_t most_kept_ = 0;
};

// A block handed over: gives its memory back to its pool when it goes away.
class PlaneBlock {
 public:
  PlaneBlock(std::unique_ptr<Planes[]> planes, std::shared_ptr<PlanePool> pool)
      : planes_(std::move(planes)), pool_(std::move(pool)) {}
  PlaneBlock(const PlaneBlock&) = delete;
  PlaneBlock& operator=(const PlaneBlock&) = delete;
  ~PlaneBlock() { pool_->give_back(std::move(planes_)); }

  Planes* data() const { return planes_.get(); }

 private:
  std::unique_ptr<Planes[]> planes_;
  std::shared_ptr<PlanePool> pool_;
};

}  // namespace orvex::training
