// The planes of a stream's ready positions, in order, in blocks of a batch's
// positions each: a batch that is one block from its start takes it over as
// its observation array, and none is copied. The blocks are counted from the
// queue's start, made again whenever the queue runs empty (so a batch taken
// after a partial one, or after positions were let go of, falls on a block's
// start once the queue has run empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "training/plane_pool.h"
#include "training/position_record.h"

namespace orvex::training {

// Where the planes of consecutive positions go: the i-th at at(i). Plain
// memory with no owner; copies are cheap.
struct PlaneSlots {
  const std::unique_ptr<Planes[]>* blocks = nullptr;
  std::size_t block_positions = 0;
  std::size_t first = 0;  // the place of position 0 in the blocks

  Planes& at(std::size_t i) const {
    const std::size_t place = first + i;
    return blocks[place / block_positions][place % block_positions];
  }
  PlaneSlots from(std::size_t i) const { return {blocks, block_positions, first + i}; }
};

// Planes made apart from a queue (on another thread, while the queue is in
// use), in blocks of its pool laid out as the queue's would be from place 0:
// the first `lead` places are left for the positions the queue holds when
// the run joins it, and the run's positions follow. Its blocks go back to
// the pool with it.
class PlaneRun {
 public:
  PlaneRun() = default;
  // Room for lead places and n positions; any thread may make one.
  PlaneRun(std::shared_ptr<PlanePool> pool, std::size_t lead, std::size_t n);
  PlaneRun(PlaneRun&&) = default;
  PlaneRun& operator=(PlaneRun&&) = default;
  ~PlaneRun();

  std::size_t lead() const { return lead_; }
  std::size_t size() const { return size_; }
  // Where the run's positions go, from the first (after the lead).
  PlaneSlots slots() const { return {blocks_.data(), pool_ ? pool_->positions() : 1, lead_}; }

 private:
  friend class PlaneQueue;
  std::shared_ptr<PlanePool> pool_;
  std::vector<std::unique_ptr<Planes[]>> blocks_;
  std::size_t lead_ = 0, size_ = 0;
};

class PlaneQueue {
 public:
  // Blocks of that many positions (at least 1).
  explicit PlaneQueue(std::size_t block_positions);

  // Lets go of every position.
  void clear();

  // The positions held.
  std::size_t size() const { return end_ - head_; }

  // Makes room for n more positions at the end, their planes unset, and
  // returns where they go.
  PlaneSlots extend(std::size_t n);

  // The held positions, from the first.
  PlaneSlots slots() const { return {blocks_.data(), pool_->positions(), head_}; }

  // The block of the first n positions (n <= size()) when they are a block
  // from its start: the whole block, or all that is held if that is at least
  // half of it; else null. It leaves the queue, and consume(n) must follow.
  std::unique_ptr<PlaneBlock> hand_over(std::size_t n);

  // Lets go of the first n positions.
  void consume(std::size_t n);

  // The pool of the queue's blocks, for runs.
  const std::shared_ptr<PlanePool>& pool() const { return pool_; }

  // Puts the run's positions (of this queue's pool) at the end. When the
  // queue holds as many positions as the run's lead, they are copied there
  // and the queue takes the run's blocks over, its positions from place 0;
  // else the run's planes are copied.
  void join(PlaneRun run);

 private:
  std::shared_ptr<PlanePool> pool_;
  // blocks_[k] holds the places [k * positions, (k + 1) * positions); the
  // positions held are the places [head_, end_). A block handed over stays
  // as null until the positions it held are consumed.
  std::vector<std::unique_ptr<Planes[]>> blocks_;
  std::size_t head_ = 0, end_ = 0;
};

}  // namespace orvex::training
