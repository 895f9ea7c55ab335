#include "pgn/movetext.h"

#include "board/make_move.h"
#include "notation/san.h"

namespace orvex::pgn {
namespace {

// Whether text is a move in coordinate notation as MoveGenerator writes it:
// from and to squares, and a lower-case promotion letter.
bool generator_text(std::string_view text) {
  const auto in = [](char c, char low, char high) { return c >= low && c <= high; };
  if (text.size() != 4 && text.size() != 5) return false;
  if (!in(text[0], 'a', 'h') || !in(text[1], '1', '8') || !in(text[2], 'a', 'h') || !in(text[3], '1', '8')) {
    return false;
  }
  return text.size() == 4 || std::string_view("nbrq").find(text[4]) != std::string_view::npos;
}

}  // namespace

MovetextWriter::MovetextWriter(const AttackTables& tables, Board& board, std::string_view number,
                               std::string& out)
    : tables_(tables), board_(board), number_(number), out_(out) {}

bool MovetextWriter::add(std::string_view move) {
  if (!generator_text(move)) return false;
  const Parsed<ChessMove> found = find_legal_move(tables_, board_, move);
  if (!found.ok()) return false;
  const bool white = white_to_move(board_.state);
  word_.clear();
  if (white || first_) {
    word_ += number_;
    word_ += white ? ". " : "... ";
  }
  write_san_text(tables_, board_, found.value(), word_);
  (void)push_move(board_, found.value());  // a legal move is always made
  write_check_mark(tables_, board_, word_);
  if (!white) count_up();
  first_ = false;
  word(word_);
  return true;
}

void MovetextWriter::word(std::string_view text) {
  if (line_ > 0 && line_ + 1 + text.size() > kMovetextLineLength) {
    out_ += '\n';
    line_ = 0;
  }
  if (line_ > 0) {
    out_ += ' ';
    ++line_;
  }
  out_ += text;
  line_ += text.size();
}

void MovetextWriter::count_up() {
  for (std::size_t i = number_.size(); i-- > 0;) {
    if (number_[i] != '9') {
      ++number_[i];
      return;
    }
    number_[i] = '0';
  }
  number_.insert(number_.begin(), '1');
}

}  // namespace orvex::pgn
