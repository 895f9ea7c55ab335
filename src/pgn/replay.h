// Replaying the games that the scanner reads: the sink that turns tags and
// main-line move tokens into a GameBatch.
#pragma once

#include <cstdint>
#include <string_view>

#include "board/board.h"
#include "pgn/game_batch.h"

namespace orvex::pgn {

// Receives the games of a Scanner and appends them to a batch: the tags, the
// start position (from a FEN tag), the main-line moves found legal one by one,
// and the result. A game with a bad FEN tag, an unsupported Variant tag or a
// move that is unreadable or illegal in its position is kept with its failure
// (the first one); its later moves are not read.
class GameBuilder {
 public:
  // Lines are recorded as line_base plus the scanner's count.
  GameBuilder(GameBatch& out, std::uint64_t line_base) : out_(out), line_base_(line_base) {}

  void begin_game(std::uint64_t line);
  void tag(std::string_view name, std::string_view raw_value, std::uint64_t line);
  void move(std::string_view token, std::uint64_t line);
  void result(std::string_view word);
  void end_game();
  void abandon_game();

 private:
  // Sets up the board from the tags before the first move.
  void prepare();
  void fail(std::uint64_t line, std::string_view text, std::string reason);
  TextSpan store(std::string_view text);

  GameBatch& out_;
  std::uint64_t line_base_;
  Board board_;
  GameRecord game_;
  bool prepared_ = false;
  // The last FEN, Variant and Result tags of the game (value spans into out_.text).
  TextSpan fen_, variant_, result_tag_, result_word_;
  std::uint64_t fen_line_ = 0, variant_line_ = 0;
  bool has_fen_ = false, has_variant_ = false, has_result_tag_ = false, has_result_word_ = false;
  // The sizes of the batch's vectors when the game began.
  std::size_t text_mark_ = 0, tags_mark_ = 0, moves_mark_ = 0, starts_mark_ = 0,
              failures_mark_ = 0;
};

}  // namespace orvex::pgn
