// A shuffle buffer of training positions: it holds up to `capacity`
// positions, and each position that comes once it is full sends out one
// drawn at random in exchange. The draws come from a generator seeded by the
// stream's seed and epoch, so the same input gives the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "training/position_record.h"

namespace orvex::training {

// splitmix64: a small generator of 64-bit numbers, the same everywhere.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed = 0) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t x = (state_ += 0x9E3779B97F4A7C15u);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
  }
  // A number in [0, n), n > 0.
  std::size_t below(std::size_t n) {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }

 private:
  std::uint64_t state_;
};

// The positions go in and out as a record with its planes; out(record,
// planes) receives each one sent out, in order.
class ShuffleBuffer {
 public:
  // Starts empty, with draws seeded by seed and epoch; capacity 0 passes
  // positions on in order.
  void reset(std::size_t capacity, std::uint64_t seed, std::uint64_t epoch);

  // Takes a position, sending out one, if any.
  template <class Out>
  void push(const PositionRecord& record, const Planes& planes, Out&& out) {
    if (records_.size() < capacity_) {
      records_.push_back(record);
      planes_.push_back(planes);
      return;
    }
    if (capacity_ == 0) {
      out(record, planes);
      return;
    }
    const std::size_t slot = random_.below(capacity_);
    out(std::as_const(records_[slot]), std::as_const(planes_[slot]));
    records_[slot] = record;
    planes_[slot] = planes;
  }

  // The number of positions held.
  std::size_t size() const { return records_.size(); }

  // Sends out every position held, in random order.
  template <class Out>
  void drain(Out&& out) {
    for (std::uint32_t i : drain_order()) out(std::as_const(records_[i]), std::as_const(planes_[i]));
    records_.clear();
    planes_.clear();
  }

 private:
  std::size_t capacity_ = 0;
  SplitMix random_;
  std::vector<PositionRecord> records_;
  std::vector<Planes> planes_;

  // The order of the places held that drain sends them out in: a random
  // permutation, so that each position is copied once.
  std::vector<std::uint32_t> drain_order();
};

}  // namespace orvex::training
