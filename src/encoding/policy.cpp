#include "encoding/policy.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/excerpt.h"
#include "base/panic.h"
#include "encoding/az.h"
#include "encoding/lc0.h"
#include "move_generator/legal_moves.h"
#include "move_generator/move_list.h"

namespace orvex {
namespace {

// How a move seen from the side to move writes castling and the promotion
// that needs no letter.
struct Notation {
  // Castling: the king's two-square move (false) or its move onto the rook.
  bool castling_onto_rook;
  // The code of a pawn move to the last rank without one (0: none allowed).
  int plain_promotion;
};

constexpr Notation kTextNotation{false, 0};

constexpr Notation notation_of(Encoding e) {
  return e == Encoding::kAlphaZero ? Notation{false, kPromoteQueen} : Notation{true, kPromoteKnight};
}

constexpr const char* kPieceNames[kPieceTypes] = {"pawn", "knight", "bishop", "rook", "queen", "king"};

std::string square_name(int s) { return {static_cast<char>('a' + (s & 7)), static_cast<char>('1' + (s >> 3))}; }

std::string cannot(PieceType type, int from, int to) {
  return std::string("a ") + kPieceNames[type] + " cannot move from " + square_name(from) + " to " +
         square_name(to);
}

// Checks that the piece of the side to move on the move's from-square could
// make the move on an empty board, and returns the move in real squares with
// the generator's codes (castling 3, promotions 4 to 7; others ordinary).
Parsed<ChessMove> complete_move(const Board& board, ChessMove seen, Notation notation) {
  const Color mover = side_to_move(board.state);
  const ChessMove real = oriented(seen, mover);
  const int from = seen.from();
  const int to = seen.to();
  PieceKind kind = kNoKind;
  for (int t = 0; t < kPieceTypes; ++t) {
    if (has_square(board.pieces[make_kind(mover, static_cast<PieceType>(t))], real.from())) {
      kind = make_kind(mover, static_cast<PieceType>(t));
      break;
    }
  }
  if (kind == kNoKind) {
    return ParseError{std::string("no ") + (mover == kWhite ? "white" : "black") + " piece on " +
                      square_name(real.from())};
  }
  const PieceType type = type_of(kind);
  const int df = file_of(seen.to()) - file_of(seen.from());
  const int dr = rank_of(seen.to()) - rank_of(seen.from());
  const int adf = std::abs(df);
  const int adr = std::abs(dr);
  int code = seen.special();
  if (code >= kPromoteKnight && !(type == kPawn && rank_of(seen.to()) == 7)) {
    return ParseError{"only a pawn reaching the last rank promotes"};
  }
  bool shaped = false;
  int target = to;
  switch (type) {
    case kPawn:
      shaped = (dr == 1 && adf <= 1) || (dr == 2 && df == 0 && rank_of(seen.from()) == 1);
      if (shaped && rank_of(seen.to()) == 7 && code == kOrdinary) {
        if (notation.plain_promotion == 0) {
          return ParseError{"a pawn reaching the last rank needs a promotion piece (n, b, r or q)"};
        }
        code = notation.plain_promotion;
      }
      break;
    case kKnight:
      shaped = (adf == 1 && adr == 2) || (adf == 2 && adr == 1);
      break;
    case kBishop:
      shaped = adf == adr && adf != 0;
      break;
    case kRook:
      shaped = (adf == 0) != (adr == 0);
      break;
    case kQueen:
      shaped = (adf == adr && adf != 0) || ((adf == 0) != (adr == 0));
      break;
    case kKing:
      shaped = adf <= 1 && adr <= 1 && (adf | adr) != 0;
      if (board.chess960) {
        // Castling: the king onto its own rook on its first rank.
        if (dr == 0 && rank_of(seen.from()) == 0 && has_square(board.pieces[make_kind(mover, kRook)], real.to())) {
          shaped = true;
          code = kCastling;
        }
      } else if (!shaped && from == kE1 && dr == 0) {
        const bool king_side = notation.castling_onto_rook ? to == kH1 : to == kG1;
        const bool queen_side = notation.castling_onto_rook ? to == kA1 : to == kC1;
        if (king_side || queen_side) {
          shaped = true;
          code = kCastling;
          target = king_side ? kG1 : kC1;
        }
      }
      break;
  }
  if (!shaped) return ParseError{cannot(type, real.from(), real.to())};
  return oriented(ChessMove::pack(from, target, code), mover);
}

// Reads coordinate notation whose squares are on the board.
Parsed<ChessMove> read_move(std::string_view text) {
  const auto in = [](char c, char first, char last) { return c >= first && c <= last; };
  const bool readable = (text.size() == 4 || (text.size() == 5 && std::strchr("nbrqNBRQ", text[4]))) &&
                        in(text[0], 'a', 'h') && in(text[1], '1', '8') && in(text[2], 'a', 'h') &&
                        in(text[3], '1', '8');
  if (!readable) {
    return ParseError{"expected coordinate notation such as e2e4 or e7e8q, got '" + excerpt(text) + "'"};
  }
  return ChessMove::from_str(text);
}

}  // namespace

int policy_index(Encoding encoding, ChessMove move, Color mover, bool chess960) {
  const ChessMove seen = oriented(encoded_move(move, chess960), mover);
  return encoding == Encoding::kAlphaZero ? az_index(seen) : lc0_index(seen);
}

namespace {

// The index of a generated move, which always has one.
std::int16_t generated_index(Encoding encoding, ChessMove move, Color mover, bool chess960) {
  const int index = policy_index(encoding, move, mover, chess960);
  if (index < 0) {
    throw Panic("the move " + move.text() + " has no index in the '" + std::string(encoding_name(encoding)) +
                "' encoding");
  }
  return static_cast<std::int16_t>(index);
}

}  // namespace

void policy_indices(Encoding encoding, Color mover, std::span<const ChessMove> moves,
                    std::int16_t* out, bool chess960) {
  if (encoding == Encoding::kAlphaZero && !chess960) {
    az_indices(mover, moves, out);
    for (std::size_t i = 0; i < moves.size(); ++i) {
      if (out[i] < 0) generated_index(encoding, moves[i], mover, chess960);  // throws
    }
    return;
  }
  for (std::size_t i = 0; i < moves.size(); ++i) out[i] = generated_index(encoding, moves[i], mover, chess960);
}

Parsed<int> move_index(Encoding encoding, const Board& board, std::string_view text) {
  const Parsed<ChessMove> move = read_move(text);
  if (!move.ok()) return ParseError{move.error()};
  const Color mover = side_to_move(board.state);
  const Parsed<ChessMove> made = complete_move(board, oriented(move.value(), mover), kTextNotation);
  if (!made.ok()) return ParseError{std::string(text) + ": " + made.error()};
  const int index = policy_index(encoding, made.value(), mover, board.chess960);
  if (index < 0) {
    return ParseError{std::string(text) + " has no index in the '" + std::string(encoding_name(encoding)) +
                      "' encoding"};
  }
  return index;
}

Parsed<ChessMove> index_move(Encoding encoding, const Board& board, int index) {
  const std::string name(encoding_name(encoding));
  const int size = encoding_size(encoding);
  if (index < 0 || index >= size) {
    return ParseError{std::to_string(index) + " is outside 0.." + std::to_string(size - 1) + " of '" + name + "'"};
  }
  const std::optional<ChessMove> seen = encoding == Encoding::kAlphaZero ? az_move(index) : lc0_move(index);
  if (!seen) return ParseError{std::to_string(index) + " of '" + name + "' names no move on the board"};
  const Parsed<ChessMove> made = complete_move(board, *seen, notation_of(encoding));
  if (!made.ok()) {
    const Color mover = side_to_move(board.state);
    return ParseError{std::to_string(index) + " of '" + name + "' is " + oriented(*seen, mover).text() +
                      " for " + (mover == kWhite ? "white" : "black") + ": " + made.error()};
  }
  return made.value();
}

void write_mask(const AttackTables& tables, Board& board, Encoding encoding, std::uint8_t* out) {
  MoveList moves;
  legal_moves(tables, board, moves);
  std::memset(out, 0, static_cast<std::size_t>(encoding_size(encoding)));
  const Color mover = side_to_move(board.state);
  for (ChessMove move : moves) out[generated_index(encoding, move, mover, board.chess960)] = 1;
}

void append_indices(const AttackTables& tables, Board& board, Encoding encoding,
                    std::vector<std::int16_t>& out) {
  MoveList moves;
  legal_moves(tables, board, moves);
  const std::size_t start = out.size();
  out.resize(start + moves.size());
  policy_indices(encoding, side_to_move(board.state), std::span(moves.begin(), moves.end()), out.data() + start,
                 board.chess960);
}

}  // namespace orvex
