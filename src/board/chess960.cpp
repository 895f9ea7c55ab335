#include "board/chess960.h"

#include <bit>

#include "base/utf8.h"
#include "board/castling_field.h"
#include "board/fen.h"

namespace orvex {
namespace {

// The rook squares the letters of the castling field name, per colour: K and
// Q the outermost rook on that side of the king (the corner when there is
// none), a file letter the first-rank square of that file.
void named_rooks(const Board& board, const CastlingField& field, Bitboard (&named)[2]) {
  for (const Color color : {kWhite, kBlack}) {
    const Bitboard rank = first_rank(color);
    const Bitboard rooks = board.pieces[make_kind(color, kRook)] & rank;
    const Bitboard king = board.pieces[make_kind(color, kKing)];
    const int king_square = king ? 63 - std::countl_zero(king) : -1;
    const unsigned sides = field.sides >> (color == kWhite ? 0 : 2);
    if (sides & 2) {
      named[color] |= rooks && king && lsb(rooks) < king_square ? rooks & (0 - rooks) : rank & 0x0101010101010101;
    }
    if (sides & 1) {
      named[color] |= rooks && king && 63 - std::countl_zero(rooks) > king_square
                          ? Bitboard{1} << (63 - std::countl_zero(rooks))
                          : rank & 0x8080808080808080;
    }
    for (unsigned files = field.files[color]; files; files &= files - 1) {
      named[color] |= rank & (Bitboard{0x0101010101010101} << std::countr_zero(files));
    }
  }
}

}  // namespace

Parsed<Board> board_from_fen_chess960(std::string_view fen) {
  Fields fields(fen);
  std::string_view placement, side, castling;
  // Too few fields: the standard reader says what is missing.
  if (!fields.next(placement) || !fields.next(side) || !fields.next(castling)) return board_from_fen(fen);
  std::string text(fen);
  text.replace(static_cast<std::size_t>(castling.data() - fen.data()), castling.size(), "-");
  Parsed<Board> parsed = board_from_fen(text);
  if (!parsed.ok()) return parsed;
  Board board = std::move(parsed.value());
  board.chess960 = true;
  Bitboard named[2] = {0, 0};
  if (castling != "-") {
    const CastlingField field = read_castling_field(castling, CastlingLetters::kChess960, false, false);
    if (field.stop != CastlingField::Stop::kEnd) return ParseError{"Invalid castling specifier"};
    named_rooks(board, field, named);
  }
  // Only a rook of the side on its first rank, with the king on that rank
  // too: the outermost on each side of the king.
  std::array<std::uint8_t, 4> squares = kStandardCastlingRooks;
  for (const Color c : {kWhite, kBlack}) {
    const Bitboard king = board.pieces[make_kind(c, kKing)] & first_rank(c);
    const Bitboard rooks = named[c] & board.pieces[make_kind(c, kRook)] & first_rank(c);
    if (!king || !rooks) continue;
    const int king_square = 63 - std::countl_zero(king);
    const int a_side = lsb(rooks);
    const int h_side = 63 - std::countl_zero(rooks);
    const int first = c == kWhite ? 0 : 2;
    if (h_side > king_square) {
      board.state |= std::uint64_t{2} << first;
      squares[first] = static_cast<std::uint8_t>(h_side);
    }
    if (a_side < king_square) {
      board.state |= std::uint64_t{4} << first;
      squares[first + 1] = static_cast<std::uint8_t>(a_side);
    }
  }
  board.castling_rooks = squares;
  return board;
}

}  // namespace orvex
