// The positions of PGN text, made into training records: read and replayed
// on worker threads, filtered, sharded and shuffled, ready to be taken in
// batches. One epoch reads the sources once; the caller feeds their text in
// pieces that end between games.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "encoding/encoding.h"
#include "pgn/reader.h"
#include "training/game_filter.h"
#include "training/plane_pool.h"
#include "training/plane_queue.h"
#include "training/position_record.h"
#include "training/shuffle_buffer.h"

namespace orvex::training {

struct StreamOptions {
  Encoding encoding = Encoding::kAlphaZero;
  GameFilter filter;
  std::size_t shuffle = 0;      // the shuffle buffer's capacity in positions
  std::uint64_t seed = 0;
  std::uint32_t shard_index = 0;  // the shard keeps the positions whose number
  std::uint32_t shard_count = 1;  // modulo shard_count is shard_index
  unsigned threads = 1;
  // The positions of a batch: the planes are kept in blocks of as many (up
  // to kMostBlockPositions), which a batch of them takes over whole.
  std::size_t batch_positions = 1024;
};

// The most positions of a block of planes (62 MB).
inline constexpr std::size_t kMostBlockPositions = std::size_t{1} << 16;

// A game of a piece that could not be replayed, with lines counted from 1
// in the piece.
struct FailedGame {
  std::uint64_t index = 0;  // in the piece
  std::uint64_t game_line = 0;
  std::uint64_t line = 0;
  std::string text;
  std::string reason;
};

// What reading a piece of text found.
struct PieceOutcome {
  std::uint64_t games = 0;  // games read, failed ones counted
  std::uint64_t lines = 0;  // line breaks read
  std::uint64_t skipped = 0;
  std::vector<FailedGame> failures;  // the first ones, up to the number asked
  pgn::Stop stop = pgn::Stop::kEnd;  // kGameTooLong or kLineTooLong: the read stopped there
};

class TrainingStream {
 public:
  explicit TrainingStream(StreamOptions options);

  // Starts an epoch: no positions held, the shuffle draws seeded for it.
  void begin_epoch(std::uint64_t epoch);

  // Reads the games of text (whole games) of file `file`, numbered from
  // game_base, and takes in their positions.
  PieceOutcome add_text(std::string_view text, std::uint32_t file, std::uint64_t game_base,
                        std::size_t max_game_bytes, std::size_t max_failures);

  // Ends the epoch's input: the shuffle buffer sends out what it holds.
  void end_epoch();

  // The positions ready to be taken, in order, and their planes.
  std::span<const PositionRecord> ready() const {
    return {queue_.data() + head_, queue_.size() - head_};
  }
  PlaneSlots ready_planes() const { return planes_.slots(); }

  // The block of the planes of the first n ready positions, when they are
  // one (see PlaneQueue::hand_over); else null. consume(n) must follow.
  std::unique_ptr<PlaneBlock> hand_over(std::size_t n) { return planes_.hand_over(n); }

  // Lets go of the first n ready positions.
  void consume(std::size_t n);

 private:
  StreamOptions options_;
  ShuffleBuffer shuffle_;
  std::uint64_t positions_ = 0;  // the epoch's positions so far, all shards counted
  // A piece's records and their planes, before the shuffle buffer.
  std::vector<PositionRecord> staging_;
  std::unique_ptr<Planes[]> staging_planes_;
  std::size_t staging_room_ = 0;
  std::vector<PositionRecord> queue_;  // the ready records from head_ on
  std::size_t head_ = 0;
  PlaneQueue planes_;                  // the ready records' planes

  // Sends out n positions of the shuffle buffer, by send(out) with out
  // taking each record and its planes, to the end of the queue.
  template <class Send>
  void send_out(std::size_t n, Send&& send);

  // Drops the records taken from the queue's front.
  void compact();
};

}  // namespace orvex::training
