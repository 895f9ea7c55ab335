// Writing a game's movetext in the export format: SAN with move numbers, in
// lines of at most 80 characters, ended by the result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "board/board.h"
#include "move_generator/attack_tables.h"

namespace orvex::pgn {

// No movetext line is longer than this many characters.
inline constexpr std::size_t kMovetextLineLength = 80;

// Appends the movetext of one game to a string, move by move, in one pass:
// "1. e4 e5 2. Nf3", a game whose start has black to move beginning "12...
// Nf6". The words (a white move with its number, a black move, the result)
// are joined by spaces, and a word that would make its line longer than
// kMovetextLineLength starts a new one; a move number thus stays on the line
// of its move. Lines are separated by "\n", with none after the last.
//
//   MovetextWriter writer(tables, board, "1", out);
//   for (std::string_view move : moves) {
//     if (!writer.add(move)) ...  // not a legal move: nothing was written
//   }
//   writer.finish(result);
class MovetextWriter {
 public:
  // board holds the start position and is played on; number is the decimal
  // text of the start's move number (digits, any count), counted up after
  // each black move.
  MovetextWriter(const AttackTables& tables, Board& board, std::string_view number, std::string& out);

  // Writes and makes the move given in coordinate notation exactly as
  // MoveGenerator writes it ("e2e4", "e7e8q", castling "e1g1"). Returns false
  // and changes nothing if the text is not a legal move of the position.
  bool add(std::string_view move);

  // Writes the result (or any last word).
  void finish(std::string_view result) { word(result); }

 private:
  void word(std::string_view text);
  void count_up();

  const AttackTables& tables_;
  Board& board_;
  std::string number_;
  std::string& out_;
  std::string word_;
  std::size_t line_ = 0;  // the characters of the line being written
  bool first_ = true;
};

}  // namespace orvex::pgn
