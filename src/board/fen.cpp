#include "board/fen.h"

#include "base/panic.h"
#include "base/utf8.h"

namespace orvex {
namespace {

// Returns the kind of a placement letter, or -1.
int kind_of_letter(char32_t c) {
  for (int k = 0; k < kPieceKinds; ++k) {
    if (c == static_cast<char32_t>(kPieceLetters[k])) return k;
  }
  return -1;
}

std::string_view required_field(Fields& fields, const char* name) {
  std::string_view field;
  if (!fields.next(field)) throw Panic(std::string("missing value: FEN text has no ") + name);
  return field;
}

}  // namespace

std::array<Bitboard, kPieceKinds> pieces_from_fen(std::string_view fen) {
  Fields fields(fen);
  const std::string_view placement = required_field(fields, "placement field");

  // The '/'-pieces are read last to first, so the last one starts at a1.
  std::array<Bitboard, kPieceKinds> pieces{};
  unsigned square = 0;  // counted modulo 64
  std::size_t end = placement.size();
  while (true) {
    const std::size_t slash = end == 0 ? std::string_view::npos : placement.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view rank = placement.substr(begin, end - begin);
    for (std::size_t pos = 0; pos < rank.size();) {
      const char32_t c = next_code_point(rank, pos);
      if (c >= '0' && c <= '9') {
        square = (square + (c - '0')) & 63;
        continue;
      }
      const int kind = kind_of_letter(c);
      if (kind < 0) throw Panic("Invalid piece type");
      pieces[kind] |= square_bb(static_cast<Square>(square));
      square = (square + 1) & 63;
    }
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  return pieces;
}

Parsed<Board> board_from_fen(std::string_view fen) {
  Board board;
  board.pieces = pieces_from_fen(fen);

  Fields fields(fen);
  std::string_view skipped;
  fields.next(skipped);

  const std::string_view side = required_field(fields, "side-to-move field");
  if (side == "w") {
    board.state = state_bits::kWhiteToMove;
  } else if (side == "b") {
    board.state = 0;
  } else {
    return ParseError{"Invalid side-to-move"};
  }

  const std::string_view castling = required_field(fields, "castling field");
  for (std::size_t pos = 0; pos < castling.size();) {
    const char32_t c = next_code_point(castling, pos);
    if (c == '-') break;
    switch (c) {
      case 'K': board.state |= state_bits::kWhiteKingSide; break;
      case 'Q': board.state |= state_bits::kWhiteQueenSide; break;
      case 'k': board.state |= state_bits::kBlackKingSide; break;
      case 'q': board.state |= state_bits::kBlackQueenSide; break;
      default: return ParseError{"Invalid castling specifier"};
    }
  }

  // Only the file letter of the target is read; the rank digit is not. A
  // first character other than a to h sets no bit.
  const std::string_view en_passant = required_field(fields, "en-passant field");
  const char file = en_passant.front();
  if (file >= 'a' && file <= 'h') {
    board.state |= std::uint64_t{1} << (en_passant_base(side_to_move(board.state)) + (file - 'a'));
  }
  return board;
}

std::string board_fen(const Board& board) {
  std::string fen;
  fen.reserve(90);
  for (int rank = 7; rank >= 0; --rank) {
    int empty = 0;
    for (int file = 0; file < 8; ++file) {
      const Square s = make_square(file, rank);
      int kind = 0;
      while (kind < kPieceKinds && !has_square(board.pieces[kind], s)) ++kind;
      if (kind == kPieceKinds) {
        ++empty;
        continue;
      }
      if (empty) fen += static_cast<char>('0' + empty);
      empty = 0;
      fen += kPieceLetters[kind];
    }
    if (empty) fen += static_cast<char>('0' + empty);
    if (rank) fen += '/';
  }

  const bool white = white_to_move(board.state);
  fen += white ? " w " : " b ";
  const std::size_t before = fen.size();
  if (board.state & state_bits::kWhiteKingSide) fen += 'K';
  if (board.state & state_bits::kWhiteQueenSide) fen += 'Q';
  if (board.state & state_bits::kBlackKingSide) fen += 'k';
  if (board.state & state_bits::kBlackQueenSide) fen += 'q';
  if (fen.size() == before) fen += '-';
  fen += ' ';

  const int base = white ? state_bits::kWhiteEnPassantBase : state_bits::kBlackEnPassantBase;
  const unsigned files = (board.state >> base) & 0xFF;
  if (files) {
    fen += static_cast<char>('a' + std::countr_zero(files));
    fen += white ? '6' : '3';
  } else {
    fen += '-';
  }
  return fen;
}

}  // namespace orvex
