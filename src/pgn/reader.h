// Reading the games of a stretch of PGN text, on one thread or several.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/parallel.h"
#include "pgn/game_batch.h"
#include "pgn/scanner.h"

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
  // kGameTooLong or kLineTooLong when the read stopped at consumed, before a
  // game or a line longer than max_game_bytes; otherwise kEnd or kNeedMore.
  Stop stop = Stop::kNeedMore;
};

// Reads the games of text, which starts at a line start between games, into
// out (appending), numbering lines from line_base. Text that is not final may
// go on: the unfinished last game is left unread. A raised stop flag ends the
// read early, between games, as if the text ended there unfinished. A game or
// a line between games longer than max_game_bytes ends the read before it.
ReadOutcome read_games(std::string_view text, bool final, std::uint64_t line_base,
                       GameBatch& out, const StopFlag* stop = nullptr,
                       std::size_t max_game_bytes = kNoLimit);

// Pieces smaller than this are not worth a thread of their own.
inline constexpr std::size_t kMinPiece = 64 * 1024;
// The text of a parallel read is cut into this many pieces per thread, so that
// threads that finish early take the pieces left.
inline constexpr unsigned kPiecesPerThread = 16;

// The same read with the text cut at game boundaries (find_game_boundary) into pieces of at least min_piece
// bytes that are read at the same time, then stitched together. A piece whose
// start turns out not to be a game boundary (a cut inside a comment, say) is
// read again from where the piece before it really ended, so the games are
// exactly those of read_games.
//
//   PieceRead read(text, final, kPiecesPerThread * threads, kMinPiece, max_game_bytes);
//   parallel_for(read.pieces(), threads, stop,
//                [&](std::size_t i, unsigned) { read.read_piece(i, &stop); });
//   ReadOutcome outcome = read.stitch(line_base, out, &stop);
class PieceRead {
 public:
  // The text must outlive the object.
  PieceRead(std::string_view text, bool final, unsigned pieces, std::size_t min_piece = kMinPiece,
            std::size_t max_game_bytes = kNoLimit);

  std::size_t pieces() const { return pieces_.size(); }

  // Reads piece i; different pieces may be read at the same time.
  void read_piece(std::size_t i, const StopFlag* stop);

  // Once every piece has been read: appends their games to out in text
  // order, numbering lines from line_base.
  ReadOutcome stitch(std::uint64_t line_base, GameBatch& out, const StopFlag* stop);

 private:
  struct Piece {
    GameBatch batch;
    std::size_t nominal = 0;  // where the piece would begin, before it finds a boundary
    std::size_t start = 0;
    std::size_t limit = std::string_view::npos;
    std::size_t end = 0;      // where the reading stopped
    std::uint64_t lines = 0;  // line breaks in [start, end)
    bool stopped_at_limit = false;
    Stop stop = Stop::kNeedMore;  // how the reading ended, unless at the limit
  };

  void read(Piece& piece, const StopFlag* stop);
  // The game boundary at or after a nominal edge (the text's end if none).
  std::size_t edge(std::size_t nominal) const;

  std::string_view text_;
  bool final_;
  std::size_t max_game_bytes_;
  std::vector<Piece> pieces_;
};

// read_games on up to `threads` threads (the calling thread and others).
ReadOutcome read_games_parallel(std::string_view text, bool final, std::uint64_t line_base,
                                unsigned threads, GameBatch& out, std::size_t min_piece = kMinPiece,
                                std::size_t max_game_bytes = kNoLimit);

// Returns the first game boundary at or after from: the position of a '[' in
// the first column of a line that follows one or more blank lines after a
// line whose last word is a result ("1-0", "0-1", "1/2-1/2", "*"); npos if
// none. This is how PGN files are written, so text cut there is cut between
// games. (A comment holding a line that ends in a result, then a blank line,
// then a line beginning with '[', is cut too: no writer of game files does
// that, and a parallel read finds out and reads that piece again.)
std::size_t find_game_boundary(std::string_view text, std::size_t from);

}  // namespace orvex::pgn
