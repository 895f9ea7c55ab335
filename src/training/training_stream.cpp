#include "training/training_stream.h"

#include <algorithm>
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
// cost a tenth of the two-thread time of add_text.
constexpr std::size_t kMinReadPiece = 16 * 1024;
constexpr std::size_t kRangesPerThread = 32;

}  // namespace

TrainingStream::TrainingStream(StreamOptions options)
    : options_(std::move(options)),
      planes_(std::clamp<std::size_t>(options_.batch_positions, 1, kMostBlockPositions)) {
  options_.threads = std::max(1u, options_.threads);
  options_.shard_count = std::max(1u, options_.shard_count);
}

void TrainingStream::begin_epoch(std::uint64_t epoch) {
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

PieceOutcome TrainingStream::add_text(std::string_view text, std::uint32_t file, std::uint64_t game_base,
                                      std::size_t max_game_bytes, std::size_t max_failures) {
  PieceOutcome outcome;
  pgn::GameBatch batch;
  const pgn::ReadOutcome read = pgn::read_games_parallel(text, true, 0, options_.threads, batch,
                                                         kMinReadPiece, max_game_bytes);
  outcome.games = batch.games.size();
  outcome.lines = read.lines;
  outcome.stop = read.stop;

  // Where each kept game's records go, in game order.
  const std::size_t n = batch.games.size();
  std::vector<std::uint64_t> first(n, 0), slot(n, 0);
  std::vector<std::uint8_t> kept(n, 0);
  std::size_t records = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const pgn::GameRecord& g = batch.games[i];
    // The positions are ChessEnv's, which plays standard chess: a Chess960
    // game is skipped as a game of a variant it does not play.
    const bool chess960 = g.failure == pgn::kNone && g.start != pgn::kNone && batch.starts[g.start].chess960;
    if (g.failure != pgn::kNone || chess960) {
      ++outcome.skipped;
      if (outcome.failures.size() < max_failures) {
        if (chess960) {
          outcome.failures.push_back({i, g.line + 1, g.line + 1, "Chess960", "unsupported variant"});
        } else {
          const pgn::GameFailure& f = batch.failures[g.failure];
          outcome.failures.push_back({i, g.line + 1, f.line + 1, f.text, f.reason});
        }
      }
      continue;
    }
    if (!options_.filter.accepts(batch, g)) continue;
    kept[i] = 1;
    first[i] = positions_;
    slot[i] = records;
    records += Selection{positions_, options_.shard_index, options_.shard_count}.kept(g.move_count);
    positions_ += g.move_count;
  }

  // Made in place on the worker threads: at the end of the queue in file
  // order, or into the staging block that feeds the shuffle buffer. The
  // blocks keep their memory from piece to piece.
  PositionRecord* out;
  PlaneSlots out_planes;
  if (options_.shuffle == 0) {
    compact();
    const std::size_t base = queue_.size();
    queue_.resize(base + records);
    out = queue_.data() + base;
    out_planes = planes_.extend(records);
  } else {
    staging_.resize(records);
    out = staging_.data();
    if (staging_room_ < records) {
      staging_planes_.reset();
      staging_room_ = 0;
      staging_planes_.reset(new Planes[records]);
      staging_room_ = records;
    }
    out_planes = {&staging_planes_, std::max<std::size_t>(staging_room_, 1), 0};
  }
  const std::size_t ranges = std::min<std::size_t>(n, options_.threads * kRangesPerThread);
  if (ranges) {
    PerWorker<selfplay::Game> games(options_.threads);
    StopFlag stop;
    parallel_for(ranges, options_.threads, stop, [&](std::size_t range, unsigned worker) {
      const std::size_t begin = n * range / ranges, end = n * (range + 1) / ranges;
      for (std::size_t i = begin; i < end; ++i) {
        if (!kept[i]) continue;
        const Selection selection{first[i], options_.shard_index, options_.shard_count};
        write_game_records(batch, batch.games[i], file, game_base + i, options_.encoding, selection,
                           games[worker], out + slot[i], out_planes.from(slot[i]));
      }
    });
  }
  if (options_.shuffle != 0) {
    // Each position past the buffer's room sends one out.
    const std::size_t room = options_.shuffle - shuffle_.size();
    send_out(records > room ? records - room : 0, [&](auto&& out) {
      for (std::size_t i = 0; i < records; ++i) shuffle_.push(staging_[i], staging_planes_[i], out);
    });
  }
  return outcome;
}

void TrainingStream::end_epoch() {
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
