#include "pgn/reader.h"

#include <thread>
#include <vector>

#include "pgn/replay.h"
#include "pgn/scanner.h"

namespace orvex::pgn {
namespace {

struct Piece {
  GameBatch batch;
  std::exception_ptr error;
  std::size_t start = 0;
  std::size_t limit = std::string_view::npos;
  std::size_t end = 0;     // where the reading stopped
  std::uint64_t lines = 0;  // line breaks in [start, end)
  Stop stop = Stop::kEnd;
};

bool stopped(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_relaxed);
}

void read_piece(std::string_view text, bool final, std::uint64_t line_base, Piece& piece,
                const std::atomic<bool>* stop) {
  Scanner scanner(text, piece.start, final);
  GameBuilder builder(piece.batch, line_base);
  Stop s;
  do {
    s = stopped(stop) ? Stop::kNeedMore : scanner.next(builder, piece.limit);
  } while (s == Stop::kGame);
  piece.stop = s;
  piece.end = scanner.position();
  piece.lines = scanner.lines();
}

}  // namespace

ReadOutcome read_games(std::string_view text, bool final, std::uint64_t line_base,
                       GameBatch& out, const std::atomic<bool>* stop) {
  Scanner scanner(text, 0, final);
  GameBuilder builder(out, line_base);
  Stop s;
  do {
    s = stopped(stop) ? Stop::kNeedMore : scanner.next(builder);
  } while (s == Stop::kGame);
  return ReadOutcome{scanner.position(), scanner.lines(), s == Stop::kEnd};
}

std::size_t find_cut(std::string_view text, std::size_t from) {
  std::size_t p = from;
  while (true) {
    p = text.find("\n[", p);
    if (p == std::string_view::npos) return p;
    std::size_t q = p;
    while (q > 0 && is_blank(text[q - 1])) --q;
    if (q > 0 && text[q - 1] == '\n') return p + 1;
    ++p;
  }
}

ReadOutcome read_games_parallel(std::string_view text, bool final, std::uint64_t line_base,
                                int threads, GameBatch& out, const std::atomic<bool>* stop,
                                std::size_t min_piece) {
  if (threads <= 1 || text.size() < 2 * min_piece) {
    return read_games(text, final, line_base, out, stop);
  }
  std::vector<std::size_t> starts{0};
  for (int i = 1; i < threads; ++i) {
    const std::size_t target = text.size() / threads * i;
    if (target < starts.back() + min_piece) continue;
    const std::size_t cut = find_cut(text, target);
    if (cut == std::string_view::npos) break;
    if (cut > starts.back()) starts.push_back(cut);
  }
  if (starts.size() == 1) return read_games(text, final, line_base, out, stop);

  const std::size_t n = starts.size();
  std::vector<Piece> pieces(n);
  for (std::size_t i = 0; i < n; ++i) {
    pieces[i].start = starts[i];
    pieces[i].limit = i + 1 < n ? starts[i + 1] : std::string_view::npos;
  }
  {
    std::vector<std::jthread> workers;
    workers.reserve(n - 1);
    for (std::size_t i = 1; i < n; ++i) {
      workers.emplace_back([&, i] {
        try {
          read_piece(text, final, 0, pieces[i], stop);
        } catch (...) {
          pieces[i].error = std::current_exception();
        }
      });
    }
    try {
      read_piece(text, final, 0, pieces[0], stop);
    } catch (...) {
      pieces[0].error = std::current_exception();
    }
  }
  for (const Piece& piece : pieces) {
    if (piece.error) std::rethrow_exception(piece.error);
  }

  // Stitch the pieces together; a piece that did not start where the one
  // before it ended is read again from there.
  ReadOutcome outcome;
  std::uint64_t base = line_base;
  for (std::size_t i = 0; i < n; ++i) {
    Piece& piece = pieces[i];
    if (piece.start != outcome.consumed) {
      piece.batch.clear();
      piece.start = outcome.consumed;
      read_piece(text, final, 0, piece, stop);
    }
    out.append(std::move(piece.batch), base);
    base += piece.lines;
    outcome.lines += piece.lines;
    outcome.consumed = piece.end;
    if (piece.stop != Stop::kLimit) {
      outcome.finished = piece.stop == Stop::kEnd;
      break;
    }
  }
  return outcome;
}

BackgroundRead::BackgroundRead(std::string text, bool final, std::uint64_t line_base,
                               int threads)
    : text_(std::move(text)) {
  thread_ = std::thread([this, final, line_base, threads] {
    try {
      outcome_ = read_games_parallel(text_, final, line_base, threads, batch_, &stop_);
    } catch (...) {
      error_ = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    finished_.notify_all();
  });
}

BackgroundRead::~BackgroundRead() {
  stop_.store(true, std::memory_order_relaxed);
  thread_.join();
}

bool BackgroundRead::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return finished_.wait_for(lock, timeout, [this] { return done_; });
}

}  // namespace orvex::pgn
