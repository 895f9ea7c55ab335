#include "notation/san.h"

#include <cassert>

#include "base/excerpt.h"
#include "board/make_move.h"
#include "move_generator/attacks.h"
#include "move_generator/has_legal_move.h"
#include "move_generator/legal_moves.h"

namespace orvex {
namespace {

constexpr char kPieceSanLetters[] = "PNBRQK";

bool is_mark(char c) { return c == '+' || c == '#' || c == '!' || c == '?'; }
bool is_file(char c) { return c >= 'a' && c <= 'h'; }
bool is_rank(char c) { return c >= '1' && c <= '8'; }

// Returns the promotion code of a letter (either case), or 0.
int promotion_code(char c) {
  switch (c) {
    case 'N': case 'n': return kPromoteKnight;
    case 'B': case 'b': return kPromoteBishop;
    case 'R': case 'r': return kPromoteRook;
    case 'Q': case 'q': return kPromoteQueen;
    default: return 0;
  }
}

int promotion_of(ChessMove move) { return move.special() >= kPromoteKnight ? move.special() : 0; }

// Returns the kind of the side's piece on s, or kNoKind.
PieceKind own_kind_on(const Board& board, Color us, Square s) {
  const int base = color_base(us);
  for (int t = 0; t < kPieceTypes; ++t) {
    if (has_square(board.pieces[base + t], s)) return static_cast<PieceKind>(base + t);
  }
  return kNoKind;
}

// Keeps the moves for which keep(move) is true, in order.
template <class Keep>
void keep_if(MoveList& moves, Keep&& keep) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < moves.size(); ++i) {
    if (keep(moves[i])) moves[kept++] = moves[i];
  }
  moves.resize_down(kept);
}

// Writes the legal moves that the text names into out, in list order. The
// board must have no shared square.
void named_moves(const AttackTables& tables, Board& board, const SanText& san, MoveList& out) {
  const Color us = side_to_move(board.state);
  if (san.castling != CastlingSide::kNone) {
    const Square home = us == kWhite ? kA1 : kA8;
    Square to = shifted(home, san.castling == CastlingSide::kKingSide ? 6 : 2);
    if (board.chess960) {
      // Written as the king taking the rook of that side's right.
      const int right = (us == kWhite ? 0 : 2) + (san.castling == CastlingSide::kKingSide ? 0 : 1);
      if (!(board.state >> (right + 1) & 1)) return;
      to = static_cast<Square>(board.castling_rooks[right]);
    }
    generate_candidates_to(tables, board, kKing, to, out);
    keep_if(out, [](ChessMove m) { return m.special() == kCastling; });
  } else {
    PieceType type = san.piece;
    if (san.coordinates) {
      const PieceKind kind = own_kind_on(board, us, make_square(san.from_file, san.from_rank));
      if (kind == kNoKind) return;
      type = type_of(kind);
    }
    // A pawn move without a from-file stays on its file: "e4" is no capture.
    const int from_file = san.from_file >= 0 ? san.from_file
                          : type == kPawn    ? file_of(san.to)
                                             : -1;
    generate_candidates_to(tables, board, type, san.to, out);
    keep_if(out, [&](ChessMove m) {
      return (from_file < 0 || file_of(m.from()) == from_file) &&
             (san.from_rank < 0 || rank_of(m.from()) == san.from_rank) &&
             promotion_of(m) == san.promotion &&
             (san.coordinates || m.special() != kCastling);
    });
  }
  keep_legal(tables, board, out);
}

void append_square(std::string& out, Square s) {
  out += static_cast<char>('a' + file_of(s));
  out += static_cast<char>('1' + rank_of(s));
}

std::string quoted(std::string_view text) { return '"' + excerpt(text) + '"'; }

// Undoes the last move when it goes out of scope, even on an exception.
class UndoOnExit {
 public:
  explicit UndoOnExit(Board& board) : board_(board) {}
  UndoOnExit(const UndoOnExit&) = delete;
  UndoOnExit& operator=(const UndoOnExit&) = delete;
  ~UndoOnExit() { pop_move(board_); }

 private:
  Board& board_;
};

}  // namespace

bool read_san(std::string_view text, SanText& out) {
  if (text.empty() || text.size() > kLongestSan) return false;
  out = SanText{};
  std::size_t end = text.size();
  const auto strip_marks = [&] {
    while (end > 0 && is_mark(text[end - 1])) --end;
  };
  strip_marks();
  if (end >= 4 && text.substr(end - 4, 4) == "e.p.") {
    end -= 4;
    if (end > 0 && text[end - 1] == ' ') --end;
    strip_marks();
  }
  text = text.substr(0, end);

  if (text == "O-O" || text == "0-0" || text == "O-O-O" || text == "0-0-0") {
    out.piece = kKing;
    out.castling = text.size() == 3 ? CastlingSide::kKingSide : CastlingSide::kQueenSide;
    return true;
  }

  if (end > 0 && promotion_code(text[end - 1])) {
    out.promotion = promotion_code(text[end - 1]);
    --end;
    if (end > 0 && text[end - 1] == '=') --end;
  }
  if (end < 2 || !is_file(text[end - 2]) || !is_rank(text[end - 1])) return false;
  out.to = make_square(text[end - 2] - 'a', text[end - 1] - '1');
  end -= 2;
  if (end > 0 && (text[end - 1] == 'x' || text[end - 1] == '-')) --end;
  if (end > 0 && is_rank(text[end - 1])) out.from_rank = text[--end] - '1';
  if (end > 0 && is_file(text[end - 1])) out.from_file = text[--end] - 'a';
  if (end > 0) {
    switch (text[--end]) {
      case 'N': out.piece = kKnight; break;
      case 'B': out.piece = kBishop; break;
      case 'R': out.piece = kRook; break;
      case 'Q': out.piece = kQueen; break;
      case 'K': out.piece = kKing; break;
      default: return false;
    }
    if (end > 0) return false;
  } else {
    out.coordinates = out.from_file >= 0 && out.from_rank >= 0;
  }
  return true;
}

SanStatus match_san(const AttackTables& tables, Board& board, std::string_view text,
                    ChessMove& move) {
  SanText san;
  if (!read_san(text, san)) return SanStatus::kUnreadable;
  if (has_shared_square(board)) return SanStatus::kSharedSquare;
  MoveList moves;
  named_moves(tables, board, san, moves);
  if (moves.size() == 0) return SanStatus::kNoLegalMove;
  if (moves.size() > 1) return SanStatus::kAmbiguous;
  move = moves[0];
  return SanStatus::kFound;
}

Parsed<ChessMove> parse_san(const AttackTables& tables, Board& board, std::string_view text) {
  SanText san;
  if (!read_san(text, san)) {
    return ParseError{quoted(text) + " is not standard algebraic notation"};
  }
  if (has_shared_square(board)) {
    return ParseError{quoted(text) + " cannot be read on a board where two pieces share a square"};
  }
  MoveList moves;
  named_moves(tables, board, san, moves);
  if (moves.size() == 1) return moves[0];
  if (moves.size() == 0) {
    std::string message = quoted(text) + " names no legal move";
    const int last_rank = side_to_move(board.state) == kWhite ? 7 : 0;
    if (san.piece == kPawn && !san.coordinates && san.castling == CastlingSide::kNone &&
        san.promotion == 0 && rank_of(san.to) == last_rank) {
      message += " (a pawn reaching the last rank needs a promotion piece, as in ";
      if (san.from_file >= 0 && san.from_file != file_of(san.to)) {
        message += static_cast<char>('a' + san.from_file);
        message += 'x';
      }
      append_square(message, san.to);
      message += "=Q)";
    }
    return ParseError{message};
  }
  std::string message = quoted(text) + " is ambiguous: it names ";
  for (std::size_t i = 0; i < moves.size(); ++i) {
    if (i > 0) message += i + 1 == moves.size() ? " and " : ", ";
    moves[i].write_text(message);
  }
  return ParseError{message};
}

Parsed<ChessMove> find_legal_move(const AttackTables& tables, Board& board,
                                  std::string_view text) {
  if ((text.size() != 4 && text.size() != 5) || !is_file(text[0]) || !is_rank(text[1]) ||
      !is_file(text[2]) || !is_rank(text[3]) || (text.size() == 5 && !promotion_code(text[4]))) {
    return ParseError{quoted(text) + " is not a move in coordinate notation"};
  }
  if (has_shared_square(board)) {
    return ParseError{quoted(text) + " cannot be written as SAN on a board where two pieces share a square"};
  }
  const Square from = make_square(text[0] - 'a', text[1] - '1');
  const Square to = make_square(text[2] - 'a', text[3] - '1');
  const int promotion = text.size() == 5 ? promotion_code(text[4]) : 0;
  const PieceKind kind = own_kind_on(board, side_to_move(board.state), from);
  MoveList moves;
  if (kind != kNoKind) {
    generate_candidates_to(tables, board, type_of(kind), to, moves);
    keep_if(moves, [&](ChessMove m) { return m.from() == from && promotion_of(m) == promotion; });
    keep_legal(tables, board, moves);
  }
  if (moves.size() == 0) return ParseError{quoted(text) + " is not a legal move in the position"};
  return moves[0];
}

void write_san(const AttackTables& tables, Board& board, ChessMove move, std::string& out) {
  write_san_text(tables, board, move, out);
  (void)push_move(board, move);  // a legal move is always made
  const UndoOnExit undo(board);
  write_check_mark(tables, board, out);
}

void write_check_mark(const AttackTables& tables, const Board& board, std::string& out) {
  if (in_check(tables, board)) out += has_legal_move(tables, board) ? '+' : '#';
}

void write_san_text(const AttackTables& tables, Board& board, ChessMove move, std::string& out) {
  const Color us = side_to_move(board.state);
  const Square from = move.from();
  const Square to = move.to();
  if (move.special() == kCastling) {
    // The king side: g1 in standard chess, a rook right of the king in Chess960.
    out += file_of(to) > file_of(from) ? "O-O" : "O-O-O";
  } else {
    const PieceKind kind = own_kind_on(board, us, from);
    assert(kind != kNoKind);
    const PieceType type = type_of(kind);
    const bool capture =
        move.special() == kEnPassant || has_square(side_occupancy(board, ~us), to);
    if (type == kPawn) {
      if (capture) {
        out += static_cast<char>('a' + file_of(from));
        out += 'x';
      }
      append_square(out, to);
      if (const int promotion = promotion_of(move)) {
        out += '=';
        out += kPieceSanLetters[kKnight + promotion - kPromoteKnight];
      }
    } else {
      out += kPieceSanLetters[type];
      MoveList rivals;
      generate_candidates_to(tables, board, type, to, rivals);
      keep_if(rivals, [&](ChessMove m) { return m.from() != from && m.special() != kCastling; });
      keep_legal(tables, board, rivals);
      Bitboard others = 0;
      for (ChessMove m : rivals) others |= square_bb(m.from());
      if (others) {
        const Bitboard same_file = Bitboard{0x0101010101010101} << file_of(from);
        const Bitboard same_rank = Bitboard{0xFF} << (8 * rank_of(from));
        // The file tells the moves apart unless another one starts on it.
        const bool rank_needed = others & same_file;
        const bool file_needed = !rank_needed || (others & same_rank);
        if (file_needed) out += static_cast<char>('a' + file_of(from));
        if (rank_needed) out += static_cast<char>('1' + rank_of(from));
      }
      if (capture) out += 'x';
      append_square(out, to);
    }
  }
}

}  // namespace orvex
