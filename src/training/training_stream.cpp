#include "training/training_stream.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "base/parallel.h"
#include "selfplay/game.h"
#include "training/game_records.h"

namespace orvex::training {
namespace {

// A piece of text (512 KiB from orvex_tools.training) is read, then replayed,
// in parts handed out to the threads as they come free, and the threads wait
// for each other at the end of each step, so the parts are small: with the
// reader's default 64 KiB there were 8 parts for two threads, and the waits
// cost a tenth of the two-thread time of reading a piece.
constexpr std::size_t kMinReadPiece = 16 * 1024;
constexpr std::size_t kRangesPerThread = 32;

}  // namespace

struct TrainingStream::Piece {
  // What to read.
  std::string text;
  std::uint32_t file = 0;
  std::uint64_t game_base = 0;
  std::size_t max_game_bytes = 0;
  std::size_t max_failures = 0;
  std::uint64_t first_position = 0;  // the epoch's positions before the piece
  std::size_t lead = 0;              // records and planes left for the ready ones

  // What reading it made.
  PieceOutcome outcome;
  std::uint64_t positions = 0;  // the piece's positions, all shards counted
  std::vector<PositionRecord> records;  // from lead on
  PlaneRun planes;
  std::exception_ptr error;

  StopFlag stop;
  std::thread thread;

  ~Piece() {
    stop.request();
    if (thread.joinable()) thread.join();
  }
};

TrainingStream::TrainingStream(StreamOptions options)
    : options_(std::move(options)),
      planes_(std::clamp<std::size_t>(options_.batch_positions, 1, kMostBlockPositions)) {
  options_.threads = std::max(1u, options_.threads);
  options_.shard_count = std::max(1u, options_.shard_count);
}

TrainingStream::~TrainingStream() = default;

void TrainingStream::begin_epoch(std::uint64_t epoch) {
  reading_.reset();
  read_.reset();
  shuffle_.reset(options_.shuffle, options_.seed, epoch);
  positions_ = 0;
  queue_.clear();
  head_ = 0;
  planes_.clear();
}

template <class Send>
void TrainingStream::send_out(std::size_t n, Send&& send) {
  compact();
  const std::size_t base = queue_.size();
  queue_.resize(base + n);
  const PlaneSlots slots = planes_.extend(n);
  std::size_t sent = 0;
  send([&](const PositionRecord& record, const Planes& planes) {
    queue_[base + sent] = record;
    slots.at(sent) = planes;
    ++sent;
  });
}

void TrainingStream::read_piece(const StreamOptions& options, const std::shared_ptr<PlanePool>& pool,
                                Piece& piece) noexcept try {
  PieceOutcome& outcome = piece.outcome;
  pgn::GameBatch batch;
  const pgn::ReadOutcome read = pgn::read_games_parallel(piece.text, true, 0, options.threads, batch,
                                                         kMinReadPiece, piece.max_game_bytes);
  outcome.games = batch.games.size();
  outcome.lines = read.lines;
  outcome.stop = read.stop;

  // Where each kept game's records go, in game order.
  const std::size_t n = batch.games.size();
  std::vector<std::uint64_t> first(n, 0), slot(n, 0);
  std::vector<std::uint8_t> kept(n, 0);
  std::uint64_t positions = piece.first_position;
  std::size_t records = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const pgn::GameRecord& g = batch.games[i];
    // The positions are ChessEnv's, which plays standard chess: a Chess960
    // game is skipped as a game of a variant it does not play.
    const bool chess960 = g.failure == pgn::kNone && g.start != pgn::kNone && batch.starts[g.start].chess960;
    if (g.failure != pgn::kNone || chess960) {
      ++outcome.skipped;
      if (outcome.failures.size() < piece.max_failures) {
        if (chess960) {
          outcome.failures.push_back({i, g.line + 1, g.line + 1, "Chess960", "unsupported variant"});
        } else {
          const pgn::GameFailure& f = batch.failures[g.failure];
          outcome.failures.push_back({i, g.line + 1, f.line + 1, f.text, f.reason});
        }
      }
      continue;
    }
    if (!options.filter.accepts(batch, g)) continue;
    kept[i] = 1;
    first[i] = positions;
    slot[i] = records;
    records += Selection{positions, options.shard_index, options.shard_count}.kept(g.move_count);
    positions += g.move_count;
  }
  piece.positions = positions - piece.first_position;

  // Made in place on the worker threads, after the lead. (The records'
  // vector is one the stream let go of, whose memory is kept from piece to
  // piece.)
  piece.records.resize(piece.lead + records);
  piece.planes = PlaneRun(pool, piece.lead, records);
  PositionRecord* out = piece.records.data() + piece.lead;
  const PlaneSlots out_planes = piece.planes.slots();
  const std::size_t ranges = std::min<std::size_t>(n, options.threads * kRangesPerThread);
  if (ranges) {
    PerWorker<selfplay::Game> games(options.threads);
    parallel_for(ranges, options.threads, piece.stop, [&](std::size_t range, unsigned worker) {
      const std::size_t begin = n * range / ranges, end = n * (range + 1) / ranges;
      for (std::size_t i = begin; i < end && !piece.stop.requested(); ++i) {
        if (!kept[i]) continue;
        const Selection selection{first[i], options.shard_index, options.shard_count};
        write_game_records(batch, batch.games[i], piece.file, piece.game_base + i, options.encoding, selection,
                           games[worker], out + slot[i], out_planes.from(slot[i]));
      }
    });
  }
} catch (...) {
  piece.error = std::current_exception();
}

void TrainingStream::start_text(std::string_view text, std::uint32_t file, std::uint64_t game_base,
                                std::size_t max_game_bytes, std::size_t max_failures) {
  if (reading_) throw std::logic_error("a piece of text is being read already");
  auto piece = std::make_unique<Piece>();
  piece->text.assign(text);
  piece->file = file;
  piece->game_base = game_base;
  piece->max_game_bytes = max_game_bytes;
  piece->max_failures = max_failures;
  piece->first_position = positions_;
  // In file order the records join those left once the caller has taken
  // its whole batches: they are copied in front of the piece's, which then
  // become the queue as they are.
  if (options_.shuffle == 0) {
    const std::size_t coming = read_ ? read_->records.size() - read_->lead : 0;
    piece->lead = (ready().size() + coming) % std::max<std::size_t>(options_.batch_positions, 1);
  }
  piece->records = std::move(spare_);
  spare_.clear();
  // With more threads, on a thread of its own, which reads with
  // options_.threads threads (itself one of them), while this one takes in
  // the piece before; with one, by finish_text.
  if (options_.threads > 1) {
    try {
      piece->thread = std::thread(
          [&options = options_, pool = planes_.pool(), &work = *piece] { read_piece(options, pool, work); });
    } catch (const std::system_error&) {
      // no thread to be had: by finish_text, then
    }
  }
  reading_ = std::move(piece);
  take_in();
}

PieceOutcome TrainingStream::finish_text() {
  if (!reading_) throw std::logic_error("no piece of text is being read");
  std::unique_ptr<Piece> piece = std::move(reading_);
  if (piece->thread.joinable()) {
    piece->thread.join();
  } else {
    read_piece(options_, planes_.pool(), *piece);
  }
  if (piece->error) std::rethrow_exception(piece->error);
  positions_ += piece->positions;
  PieceOutcome outcome = std::move(piece->outcome);
  read_ = std::move(piece);  // the one before was taken in by start_text
  return outcome;
}

void TrainingStream::take_in() {
  if (!read_) return;
  const std::unique_ptr<Piece> piece = std::move(read_);
  const std::size_t lead = piece->lead, records = piece->records.size() - lead;
  if (options_.shuffle == 0) {
    if (queue_.size() - head_ == lead) {
      std::copy(queue_.begin() + static_cast<std::ptrdiff_t>(head_), queue_.end(), piece->records.begin());
      queue_.swap(piece->records);
      head_ = 0;
    } else {
      compact();
      queue_.insert(queue_.end(), piece->records.begin() + static_cast<std::ptrdiff_t>(lead),
                    piece->records.end());
    }
    planes_.join(std::move(piece->planes));
  } else {
    // Each position past the buffer's room sends one out.
    const std::size_t room = options_.shuffle - shuffle_.size();
    const PlaneSlots planes = piece->planes.slots();
    send_out(records > room ? records - room : 0, [&](auto&& out) {
      for (std::size_t i = 0; i < records; ++i) shuffle_.push(piece->records[i], planes.at(i), out);
    });
  }
  spare_ = std::move(piece->records);
}

void TrainingStream::end_epoch() {
  if (reading_) throw std::logic_error("a piece of text is being read");
  take_in();
  send_out(shuffle_.size(), [&](auto&& out) { shuffle_.drain(out); });
}

void TrainingStream::compact() {
  if (head_ == 0) return;
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
  head_ = 0;
}

void TrainingStream::consume(std::size_t n) {
  n = std::min(queue_.size() - head_, n);
  head_ += n;
  planes_.consume(n);
}

}  // namespace orvex::training
