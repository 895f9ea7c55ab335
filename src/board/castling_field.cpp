#include "board/castling_field.h"

namespace orvex {

std::string castling_field_text(const Board& board, bool shredder) {
  std::string field;
  for (const Color c : {kWhite, kBlack}) {
    const int first = c == kWhite ? 0 : 2;
    const Bitboard rooks = board.pieces[make_kind(c, kRook)] & first_rank(c);
    for (int i = first; i < first + 2; ++i) {
      if (!(board.state >> (i + 1) & 1)) continue;
      const bool a_side = i % 2 == 1;
      char letter = a_side ? 'q' : 'k';
      if (board.chess960) {
        const int rook = board.castling_rooks[i];
        // Another rook further out on the same side makes the letter ambiguous.
        const Bitboard outside =
            a_side ? rooks & ((Bitboard{1} << rook) - 1) : rooks & ~((Bitboard{2} << rook) - 1);
        if (shredder || outside) letter = static_cast<char>('a' + rook % 8);
      }
      if (c == kWhite) letter = static_cast<char>(letter - 'a' + 'A');
      field += letter;
    }
  }
  return field.empty() ? "-" : field;
}

}  // namespace orvex
