// Training rows of replayed games: one per position before a main-line move,
// as columns ready to be handed over as arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/types.h"
#include "chess_move/chess_move.h"
#include "encoding/encoding.h"
#include "pgn/game_batch.h"

namespace orvex::pgn {

// The rows, one entry per row in each column unless said otherwise.
struct PositionRows {
  std::vector<std::uint64_t> game;  // the game's index in the read, failed games counted
  std::vector<std::int32_t> ply;    // the move's place in the game's main line, from 0
  // Without fen: kPieceKinds bitboards per row.
  std::vector<Bitboard> bitboards;
  std::vector<std::uint64_t> states;  // the state word
  // With fen: the positions' FEN text (four fields), row i's at
  // fen_text[fen_offsets[i], fen_offsets[i + 1]).
  std::string fen_text;
  std::vector<std::int64_t> fen_offsets{0};
  std::vector<std::int32_t> move;  // the move played, as an index into moves_seen
  std::vector<std::int16_t> move_id;
  // The legal moves' ids in generation order, row i's at
  // legal_ids[legal_offsets[i], legal_offsets[i + 1]).
  std::vector<std::int16_t> legal_ids;
  std::vector<std::int64_t> legal_offsets{0};
  std::vector<std::uint64_t> zobrist;
  std::vector<std::int32_t> result;  // the game's result, as an index into results_seen

  // The distinct moves (as their coordinate text tells them apart) and
  // results, in the order they first appear.
  std::vector<ChessMove> moves_seen;
  std::vector<std::string> results_seen;

  std::size_t size() const { return ply.size(); }
};

// What the rows hold.
struct RowOptions {
  Encoding encoding = Encoding::kAlphaZero;
  bool fen = false;  // FEN text instead of bitboards and state words
};

// Appends a row for the position before each main-line move of every game of
// the batch that replayed, the games numbered from first_index. Throws Panic
// on a batch whose moves do not replay, which a batch of the reader never is.
class RowBuilder {
 public:
  RowBuilder(RowOptions options, PositionRows& out);

  void append(const GameBatch& batch, std::uint64_t first_index);

 private:
  std::int32_t move_entry(ChessMove move);
  // The policy index of a move as encoded_move gives it, looked up (and
  // worked out at its first sight).
  std::int16_t policy_id(ChessMove move, Color mover);
  std::int32_t result_entry(std::string_view result);
  // Appends the ids of the legal moves of a Chess960 board (out of the
  // standard games' loop, which it would slow).
  [[gnu::noinline]] void append_chess960_ids(std::span<const ChessMove> legal, Color mover);

  RowOptions options_;
  PositionRows& out_;
  // The index in moves_seen of each move key (see move_entry), or -1.
  std::vector<std::int32_t> move_index_;
  // The policy index of each move as the side to move sees it (oriented()),
  // or kUnknown.
  std::vector<std::int16_t> policy_ids_;
};

}  // namespace orvex::pgn
