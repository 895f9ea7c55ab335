// The games read from a stretch of PGN text, packed for handing over.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/types.h"
#include "board/castling_rights.h"
#include "chess_move/chess_move.h"

namespace orvex::pgn {

// A stretch of a batch's text.
struct TextSpan {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

struct TagRecord {
  TextSpan name;
  TextSpan value;  // escapes resolved
};

// A position without history: the start of a game given by its FEN tag, or
// of a Chess960 game.
struct StartPosition {
  std::array<Bitboard, kPieceKinds> pieces{};
  std::uint64_t state = 0;
  std::uint32_t halfmove_clock = 0;
  std::uint32_t fullmove_number = 1;
  // Chess960 castling, with the squares of the rooks of the rights K Q k q
  // (as Board keeps them).
  bool chess960 = false;
  CastlingRooks castling_rooks = kStandardCastling;
};

// Why a game cannot be replayed.
struct GameFailure {
  std::uint64_t line = 0;  // the line of the move or tag at fault
  std::string text;        // that move or tag value, shortened for messages
  std::string reason;      // what is wrong, for example "illegal move"
};

inline constexpr std::uint32_t kNone = 0xFFFFFFFF;

struct GameRecord {
  std::uint64_t line = 0;  // the game's first line
  std::uint32_t first_tag = 0;
  std::uint32_t tag_count = 0;
  std::uint32_t first_move = 0;
  std::uint32_t move_count = 0;
  std::uint32_t start = kNone;    // index into starts; kNone: the standard start, standard chess
  std::uint32_t failure = kNone;  // index into failures; kNone: the game replayed
  TextSpan result;
};

// Lines are counted from 0 (the first line of the stream) here; whoever shows
// them adds 1.
struct GameBatch {
  std::string text;
  std::vector<TagRecord> tags;
  std::vector<ChessMove> moves;
  std::vector<StartPosition> starts;
  std::vector<GameFailure> failures;
  std::vector<GameRecord> games;

  std::string_view view(TextSpan span) const { return {text.data() + span.offset, span.size}; }

  void clear() {
    text.clear();
    tags.clear();
    moves.clear();
    starts.clear();
    failures.clear();
    games.clear();
  }

  // Appends the games of other, whose lines are counted from line_base.
  void append(GameBatch&& other, std::uint64_t line_base);
};

// A readable account of every game of a batch, for tests and failure reports.
std::string describe_games(const GameBatch& batch);

// The message that reports a game that cannot be replayed, with lines counted
// from 1: "game 3 (line 41): illegal move 'Ke3' on line 44".
inline std::string failure_message(std::uint64_t index, const GameRecord& game,
                                   const GameFailure& failure) {
  return "game " + std::to_string(index) + " (line " + std::to_string(game.line + 1) + "): " +
         failure.reason + " '" + failure.text + "' on line " + std::to_string(failure.line + 1);
}

// The message that reports a game (game: true) or a line between games longer
// than limit bytes, which begins on line (counted from 1): "game 7 (line
// 1204): longer than 67108864 bytes (max_game_bytes)", "line 1: longer than ...".
inline std::string too_long_message(bool game, std::uint64_t index, std::uint64_t line,
                                    std::uint64_t limit) {
  std::string message = game ? "game " + std::to_string(index) + " (line " + std::to_string(line) + ")"
                             : "line " + std::to_string(line);
  return message + ": longer than " + std::to_string(limit) + " bytes (max_game_bytes)";
}

}  // namespace orvex::pgn
