// The positions of PGN text, made into training records: read and replayed
// on worker threads, filtered, sharded and shuffled, ready to be taken in
// batches. One epoch reads the sources once; the caller feeds their text in
// pieces that end between games. With more than one thread a piece is read
// and replayed in the background, while the caller takes the positions of
// the pieces before it and fetches the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
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
  TrainingStream(const TrainingStream&) = delete;
  TrainingStream& operator=(const TrainingStream&) = delete;
  // Stops a piece still being read, and waits for its threads.
  ~TrainingStream();

  // Starts an epoch: no positions held, the shuffle draws seeded for it (a
  // piece still being read is dropped).
  void begin_epoch(std::uint64_t epoch);

  // A piece of text goes through three steps: start_text() starts reading
  // and replaying it in the background, finish_text() waits for that, and
  // the next start_text() (or take_in(), or end_epoch()) takes its positions
  // in, while the next piece is read; meanwhile the ready positions may be
  // taken. With one thread, finish_text() reads the piece: one thread of
  // work, in series.

  // Starts reading the games of text (whole games; it is copied) of file
  // `file`, numbered from game_base, in the background with more than one
  // thread (with one, finish_text reads it), and takes in the positions of
  // the piece read before. No other piece may be pending.
  void start_text(std::string_view text, std::uint32_t file, std::uint64_t game_base,
                  std::size_t max_game_bytes, std::size_t max_failures);

  // Whether a piece was started and not finished.
  bool text_pending() const { return reading_ != nullptr; }

  // Waits for the pending piece, or reads it: what reading it found. An
  // exception of its reading is thrown here.
  PieceOutcome finish_text();

  // Takes in the positions of the piece finished last, if they are not yet.
  void take_in();

  // Ends the epoch's input: takes in the last piece, and the shuffle buffer
  // sends out what it holds. No piece may be pending.
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
  // A piece of text being read, and what reading it made. Between
  // start_text and finish_text it belongs to the thread reading it; let go
  // of, it stops that thread and waits for it.
  struct Piece;

  // Reads and replays the piece (on any thread: options and pool are only
  // read, and the pool has a lock of its own), keeping an exception thrown
  // in the piece.
  static void read_piece(const StreamOptions& options, const std::shared_ptr<PlanePool>& pool,
                         Piece& piece) noexcept;

  // Set at construction; read by the threads of pieces.
  StreamOptions options_;
  ShuffleBuffer shuffle_;
  std::uint64_t positions_ = 0;  // the epoch's positions so far, all shards counted
  std::unique_ptr<Piece> reading_;  // started, not finished
  std::unique_ptr<Piece> read_;     // finished, its positions not taken in
  std::vector<PositionRecord> spare_;  // a records block kept for the next piece
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
