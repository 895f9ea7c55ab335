// Reading the games of a stretch of PGN text, on one thread or several.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pgn/game_batch.h"

namespace orvex::pgn {

// How far a read got.
struct ReadOutcome {
  // Where the next read resumes: a line start between games. Everything
  // before it has been read; an unfinished game after it is read again once
  // more text has come.
  std::size_t consumed = 0;
  // The line breaks in text[0, consumed).
  std::uint64_t lines = 0;
  // The text was final and has been read to its end.
  bool finished = false;
};

// Reads the games of text, which starts at a line start between games, into
// out (appending), numbering lines from line_base. Text that is not final may
// go on: the unfinished last game is left unread. A set stop flag ends the
// read early, between games.
ReadOutcome read_games(std::string_view text, bool final, std::uint64_t line_base,
                       GameBatch& out, const std::atomic<bool>* stop = nullptr);

// Pieces smaller than this are not worth a thread of their own.
inline constexpr std::size_t kMinPiece = 64 * 1024;

// The same result, with the text cut at likely game boundaries (a line with
// '[' in the first column after a blank line) into up to `threads` pieces of
// at least min_piece bytes that are read at the same time. A piece whose start
// turns out not to be a game boundary (a cut inside a comment, say) is read
// again from where the piece before it really ended, so the games are exactly
// those of read_games.
ReadOutcome read_games_parallel(std::string_view text, bool final, std::uint64_t line_base,
                                int threads, GameBatch& out,
                                const std::atomic<bool>* stop = nullptr,
                                std::size_t min_piece = kMinPiece);

// A read_games_parallel running on a thread of its own, so that the games of
// one stretch of text can be handed out while the next stretch is read.
class BackgroundRead {
 public:
  // Starts reading text (which it keeps) at once.
  BackgroundRead(std::string text, bool final, std::uint64_t line_base, int threads);
  // Asks the read to stop early and waits for its thread.
  ~BackgroundRead();
  BackgroundRead(const BackgroundRead&) = delete;
  BackgroundRead& operator=(const BackgroundRead&) = delete;

  // Waits at most timeout for the read to finish; returns whether it has.
  bool wait_for(std::chrono::milliseconds timeout);

  // Once finished: rethrows what the read threw, if anything.
  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }
  const std::string& text() const { return text_; }
  GameBatch& batch() { return batch_; }
  const ReadOutcome& outcome() const { return outcome_; }

 private:
  std::string text_;
  GameBatch batch_;
  ReadOutcome outcome_;
  std::exception_ptr error_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread thread_;
};

// Returns the first likely game boundary at or after from: the position of a
// '[' in the first column of a line that follows a blank line; npos if none.
std::size_t find_cut(std::string_view text, std::size_t from);

}  // namespace orvex::pgn
