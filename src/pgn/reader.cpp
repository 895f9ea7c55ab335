#include "pgn/reader.h"

#include <algorithm>
#include <cstring>

#include "base/platform.h"
#include "pgn/replay.h"
#include "pgn/scanner.h"

namespace orvex::pgn {
namespace {

bool stopped(const StopFlag* stop) { return stop && stop->requested(); }

}  // namespace

ReadOutcome read_games(std::string_view text, bool final, std::uint64_t line_base,
                       GameBatch& out, const StopFlag* stop, std::size_t max_game_bytes) {
  Scanner scanner(text, 0, final, max_game_bytes);
  GameBuilder builder(out, line_base);
  Stop s;
  do {
    s = stopped(stop) ? Stop::kNeedMore : scanner.next(builder);
  } while (s == Stop::kGame);
  return ReadOutcome{scanner.position(), scanner.lines(), s == Stop::kEnd, s};
}

namespace {

// The start of the line that holds text[end - 1] (or ends at end): a
// vectorised search back, as a movetext line of an engine game may run to
// tens of kilobytes.
std::size_t line_start(std::string_view text, std::size_t end) {
  if (end == 0) return 0;
  const char* newline = find_last_byte(text.data(), end, '\n');
  return newline ? static_cast<std::size_t>(newline - text.data()) + 1 : 0;
}

// Whether the line that ends at text[newline] is blank, and the nearest line
// above it and any other blank lines ends in a result.
bool follows_result(std::string_view text, std::size_t newline) {
  std::size_t end = newline;
  bool blank_lines = false;
  while (true) {
    const std::size_t start = line_start(text, end);
    std::size_t last = end;
    while (last > start && is_blank(text[last - 1])) --last;
    if (last > start) {
      std::size_t word = last;
      while (word > start && !is_blank(text[word - 1])) --word;
      return blank_lines && is_result(text.substr(word, last - word));
    }
    if (start == 0) return false;
    blank_lines = true;
    end = start - 1;
  }
}

}  // namespace

std::size_t find_game_boundary(std::string_view text, std::size_t from) {
  std::size_t p = from == 0 ? 0 : from - 1;
  while (true) {
    p = text.find("\n[", p);
    if (p == std::string_view::npos) return p;
    if (p + 1 >= from && follows_result(text, p)) return p + 1;
    ++p;
  }
}

PieceRead::PieceRead(std::string_view text, bool final, unsigned pieces, std::size_t min_piece,
                     std::size_t max_game_bytes)
    : text_(text), final_(final), max_game_bytes_(max_game_bytes) {
  // Nominal edges only: each piece finds its own (find_game_boundary at the
  // nominal ones), on the thread that reads it.
  std::size_t count = 1;
  if (text.size() >= 2 * min_piece) {
    count = std::min<std::size_t>(std::max(pieces, 1u), text.size() / min_piece);
  }
  pieces_.resize(count);
  for (std::size_t i = 1; i < count; ++i) pieces_[i].nominal = text.size() / count * i;
}

std::size_t PieceRead::edge(std::size_t nominal) const {
  if (nominal == 0) return 0;
  return std::min(find_game_boundary(text_, nominal), text_.size());
}

void PieceRead::read(Piece& piece, const StopFlag* stop) {
  Scanner scanner(text_, piece.start, final_, max_game_bytes_);
  GameBuilder builder(piece.batch, 0);
  Stop s;
  do {
    s = stopped(stop) ? Stop::kNeedMore : scanner.next(builder, piece.limit);
  } while (s == Stop::kGame);
  piece.end = scanner.position();
  piece.lines = scanner.lines();
  piece.stopped_at_limit = s == Stop::kLimit;
  piece.stop = s;
}

void PieceRead::read_piece(std::size_t i, const StopFlag* stop) {
  Piece& piece = pieces_[i];
  piece.start = edge(piece.nominal);
  if (i + 1 < pieces_.size()) piece.limit = edge(pieces_[i + 1].nominal);
  read(piece, stop);
}

ReadOutcome PieceRead::stitch(std::uint64_t line_base, GameBatch& out, const StopFlag* stop) {
  ReadOutcome outcome;
  for (Piece& piece : pieces_) {
    if (piece.start != outcome.consumed) {
      // The piece before ended elsewhere: read this one again from there.
      piece.batch.clear();
      piece.start = outcome.consumed;
      read(piece, stop);
    }
    out.append(std::move(piece.batch), line_base + outcome.lines);
    outcome.lines += piece.lines;
    outcome.consumed = piece.end;
    if (!piece.stopped_at_limit) {
      outcome.finished = piece.stop == Stop::kEnd;
      outcome.stop = piece.stop;
      break;
    }
  }
  return outcome;
}

ReadOutcome read_games_parallel(std::string_view text, bool final, std::uint64_t line_base,
                                unsigned threads, GameBatch& out, std::size_t min_piece,
                                std::size_t max_game_bytes) {
  PieceRead read(text, final, kPiecesPerThread * threads, min_piece, max_game_bytes);
  if (read.pieces() == 1) return read_games(text, final, line_base, out, nullptr, max_game_bytes);
  StopFlag stop;
  parallel_for(read.pieces(), threads, stop,
               [&](std::size_t i, unsigned) { read.read_piece(i, &stop); });
  return read.stitch(line_base, out, nullptr);
}

}  // namespace orvex::pgn
