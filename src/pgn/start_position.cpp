#include "pgn/start_position.h"

#include <string>
#include <type_traits>

#include "base/utf8.h"
#include "board/castling_field.h"
#include "board/chess960.h"
#include "board/fen.h"
#include "move_generator/attack_tables.h"
#include "move_generator/attacks.h"

namespace orvex::pgn {
namespace {

bool all_digits(std::string_view field) {
  if (field.empty()) return false;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

ParseError error(const char* what) { return ParseError{what}; }

}  // namespace

Parsed<Board> start_position(std::string_view fen, bool chess960) {
  Fields fields(fen);
  std::string_view placement, side, castling, en_passant, counter;
  if (!fields.next(placement) || !fields.next(side) || !fields.next(castling) ||
      !fields.next(en_passant)) {
    return error("a FEN needs at least four fields");
  }

  // The shared placement reader; strict means its standard shape, and the
  // error names the first thing that breaks it.
  const PlacementScan scan = scan_placement(placement);
  if (!scan.standard) {
    if (scan.fault < placement.size() && is_foreign_placement_byte(placement[scan.fault])) {
      return error("the placement holds a character that is no piece");
    }
    return error("the placement must have eight ranks of eight squares");
  }
  Board board;
  board.pieces = scan.pieces;
  const auto& p = board.pieces;
  if (std::popcount(p[kWhiteKing]) != 1 || std::popcount(p[kBlackKing]) != 1) {
    return error("each side must have exactly one king");
  }
  constexpr Bitboard kBackRanks = 0xFF000000000000FFu;
  if ((p[kWhitePawn] | p[kBlackPawn]) & kBackRanks) {
    return error("no pawn may stand on the first or last rank");
  }

  if (side == "w") {
    board.state = state_bits::kWhiteToMove;
  } else if (side != "b") {
    return error("the side to move must be \"w\" or \"b\"");
  }

  bool names_files = false;
  std::uint64_t named = 0;
  if (castling != "-") {
    const CastlingField rights = read_castling_field(castling, CastlingLetters::kChess960, true, false);
    if (rights.stop == CastlingField::Stop::kRepeat) return error("the castling field repeats a letter");
    if (rights.stop != CastlingField::Stop::kEnd) {
      return error("the castling field must be \"-\" or letters from \"KQkq\" and the files");
    }
    names_files = (rights.files[kWhite] | rights.files[kBlack]) != 0;
    named = rights.rights();
    // A right needs its king and its rook at home.
    board.state |= standing_castling_rights(rights.rights(), p);
  }
  const std::uint64_t standard_rights = board.state & state_bits::kCastlingRights;
  if (chess960 || names_files || standard_rights != named) {
    // The rights as Chess960 reads them: a position is Chess960 when they
    // name rooks by file or keep more than the standard rights.
    std::string text;
    text.append(placement).append(" ").append(side).append(" ").append(castling).append(" -");
    const Parsed<Board> wide = board_from_fen_chess960(text);
    if (!wide.ok()) return error("the castling field names no rook");
    const std::uint64_t rights_960 = wide.value().state & state_bits::kCastlingRights;
    // Rights that only Chess960 keeps make it Chess960 when their king is off
    // the e file; beside a king at home, a KQkq right whose rook has left its
    // corner is a standard FEN written carelessly, and is dropped as before.
    std::uint64_t extra = rights_960 & ~standard_rights;
    if (has_square(p[kWhiteKing], kE1)) extra &= ~(state_bits::kWhiteKingSide | state_bits::kWhiteQueenSide);
    if (has_square(p[kBlackKing], kE8)) extra &= ~(state_bits::kBlackKingSide | state_bits::kBlackQueenSide);
    if (chess960 || names_files || extra) {
      board.chess960 = true;
      board.castling_rooks = wide.value().castling_rooks;
      board.state = (board.state & ~state_bits::kCastlingRights) | rights_960;
    }
  }

  const Color us = side_to_move(board.state);
  if (en_passant != "-") {
    const char target_rank = us == kWhite ? '6' : '3';
    if (en_passant.size() != 2 || en_passant[0] < 'a' || en_passant[0] > 'h' ||
        en_passant[1] != target_rank) {
      return error("the en-passant field must be \"-\" or a square on the third or sixth rank");
    }
    const int f = en_passant[0] - 'a';
    const Square target = make_square(f, target_rank - '1');
    const int ahead = us == kWhite ? 8 : -8;
    const Bitboard all = occupancy(board);
    // The pawn that passed stands beyond the target, which is empty, as is the
    // square it came from.
    if (has_square(p[make_kind(~us, kPawn)], shifted(target, -ahead)) &&
        !has_square(all, target) && !has_square(all, shifted(target, ahead))) {
      board.state |= std::uint64_t{1} << (en_passant_base(us) + f);
    }
  }

  Fields counters = fields;
  for (int i = 0; i < 2; ++i) {
    if (!fields.next(counter)) break;
    if (!all_digits(counter)) return error("the move counters must be whole numbers");
  }
  if (fields.next(counter)) return error("a FEN has at most six fields");
  read_counters(counters, board);  // as Board(fen) reads them

  const Color them = ~us;
  if (square_in_check(attack_tables(), board, lsb(p[make_kind(them, kKing)]), them)) {
    return error("the side not to move is in check");
  }
  return board;
}

void put_start(Board& board, const StartPosition& start) {
  set_position(board, start.pieces, start.state);
  board.chess960 = start.chess960;
  board.castling_rooks = start.castling_rooks;
  board.halfmove_clock = start.halfmove_clock;
  board.fullmove_number = start.fullmove_number;
}

StartPosition start_of(const Board& board) {
  return StartPosition{board.pieces, board.state, board.halfmove_clock, board.fullmove_number,
                       board.chess960, board.castling_rooks};
}

const StartPosition& standard_start() {
  // Never destroyed (it has no destructor to run), like the attack tables:
  // readers may run while the process ends.
  static_assert(std::is_trivially_destructible_v<StartPosition>);
  static const StartPosition standard = [] {
    const Parsed<Board> board =
        start_position("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
    return StartPosition{board.value().pieces, board.value().state};
  }();
  return standard;
}

}  // namespace orvex::pgn
