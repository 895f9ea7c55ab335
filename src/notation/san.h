// Standard algebraic notation (SAN): reading a move's text in a position and
// writing the text of a legal move.
//
// Reading happens in two steps. read_san() takes the text apart on its own
// (piece letter, optional from-file and from-rank, target square, promotion,
// or castling), then the named moves are looked for among the legal moves of
// the position: only the candidates of that piece type that go to the target
// square are generated (generate_candidates_to) and filtered by the text
// before the legality test (keep_legal), so reading a move costs about a fifth
// of listing all legal moves and allocates nothing. The moves found are exactly those of
// legal_moves() that the text names, also on boards with several kings or
// none. Boards where two pieces share a square are refused: which piece moves
// is not well defined there.
//
// Typical use, replaying a game:
//
//   const AttackTables& tables = attack_tables();
//   ChessMove move;
//   if (match_san(tables, board, token, move) != SanStatus::kFound) {
//     Parsed<ChessMove> why = parse_san(tables, board, token);  // the message
//     ...
//   }
//   (void)push_move(board, move);  // a found move is legal and always made
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/parsed.h"
#include "board/board.h"
#include "chess_move/chess_move.h"
#include "move_generator/attack_tables.h"

namespace orvex {

// No text longer than this many bytes is read as SAN.
inline constexpr std::size_t kLongestSan = 32;

enum class CastlingSide : std::uint8_t { kNone, kKingSide, kQueenSide };

// What a SAN text says on its own, before it is matched against a position.
struct SanText {
  PieceType piece = kPawn;  // kKing for castling
  CastlingSide castling = CastlingSide::kNone;
  Square to = kNoSquare;    // kNoSquare for castling
  int from_file = -1;       // 0 to 7, or -1 when not written
  int from_rank = -1;       // 0 to 7, or -1 when not written
  int promotion = 0;        // 0, or kPromoteKnight to kPromoteQueen
  // No piece letter but both from-file and from-rank ("e2e4", "g1-f3", "e1g1"):
  // the move of whatever stands on the from-square, castling included.
  bool coordinates = false;
};

// Reads SAN as found in game files and returns false if the text is not SAN:
//   piece moves        Nf3, Nxf3, Nbd7, R1a3, Qh4xe1, Ng1-f3, Ng1f3
//   pawn moves         e4, exd5, ed5, e8=Q, e8Q, e8=q, exd6 e.p., exd6e.p.
//   castling           O-O, O-O-O, 0-0, 0-0-0
//   coordinates        e2e4, e2-e4, e7e8q, e1g1
// followed by any run of the marks + # ! ? (check, mate, annotations), which
// are not checked against the position. Piece letters are upper case and
// files lower case; the promotion letter may be either. The capture mark "x"
// (or "-") is not checked against the position either. Allocates nothing.
bool read_san(std::string_view text, SanText& out);

enum class SanStatus : std::uint8_t {
  kFound,
  kUnreadable,    // read_san refused the text
  kNoLegalMove,   // the text names no legal move of the position
  kAmbiguous,     // the text names two or more legal moves
  kSharedSquare,  // two pieces share a square: SAN is not read on such boards
};

// Finds the one legal move of the side to move that the text names; sets move
// when the answer is kFound. Allocates nothing. The board is lent for the
// legality test, which may make and unmake moves on it, and ends exactly as
// it began. Safe to call from several threads on different boards.
SanStatus match_san(const AttackTables& tables, Board& board, std::string_view text,
                    ChessMove& move);

// The same, with a message for every failure, for example
//   "Nd7" is ambiguous: it names b8d7 and f6d7
//   "Nf4" names no legal move
//   "Zf3" is not standard algebraic notation
// The messages quote at most 40 characters of the text.
Parsed<ChessMove> parse_san(const AttackTables& tables, Board& board, std::string_view text);

// Returns the legal move whose coordinate notation is text ("g1f3", "e7e8q";
// the promotion letter may be upper case), or a message saying that the text
// is not coordinate notation, is not a legal move, or that two pieces share a
// square. The board ends as it began.
Parsed<ChessMove> find_legal_move(const AttackTables& tables, Board& board,
                                  std::string_view text);

// Appends the SAN of move, which must be one of the legal moves of the board
// and the board free of shared squares: the piece letter, the from-file, the
// from-rank or both when another legal move of the same piece type goes to
// the same square (file first, as far as it tells them apart), "x" for a
// capture, the target, "=Q" for a promotion, "O-O" or "O-O-O" for castling,
// and "+" when the move gives check or "#" when it mates. The board is lent
// to make the move and ends exactly as it began.
void write_san(const AttackTables& tables, Board& board, ChessMove move, std::string& out);

// The two halves of write_san, for a caller that makes the move anyway:
// write_san_text appends the text without the check mark (the board ends as
// it began), write_check_mark appends "+" or "#" when the side to move of the
// board after the move is in check or mated.
void write_san_text(const AttackTables& tables, Board& board, ChessMove move, std::string& out);
void write_check_mark(const AttackTables& tables, const Board& board, std::string& out);

}  // namespace orvex
