#include "pgn/position_rows.h"

#include <cstring>

#include "base/panic.h"
#include "board/board.h"
#include "board/fen.h"
#include "board/make_move.h"
#include "board/zobrist.h"
#include "encoding/policy.h"
#include "move_generator/attack_tables.h"
#include "move_generator/legal_moves.h"
#include "pgn/start_position.h"

namespace orvex::pgn {
namespace {

// Moves are told apart as their text tells them: squares and promotion piece,
// not the other special codes (an en-passant capture and a plain capture
// between the same squares read the same).
constexpr std::size_t kMoveKeys = 1 << 15;
constexpr std::int16_t kUnknown = -2;
// Legal moves per position assumed when reserving room for their ids.
constexpr std::size_t kLegalMovesGuess = 40;

std::size_t move_key(ChessMove move) {
  const int special = move.special();
  return (move.value() & 0xFFF) | (special >= kPromoteKnight ? special << 12 : 0);
}

}  // namespace

RowBuilder::RowBuilder(RowOptions options, PositionRows& out)
    : options_(options), out_(out), move_index_(kMoveKeys, -1), policy_ids_(1 << 16, kUnknown) {
  for (std::size_t i = 0; i < out.moves_seen.size(); ++i) {
    move_index_[move_key(out.moves_seen[i])] = static_cast<std::int32_t>(i);
  }
}

std::int32_t RowBuilder::move_entry(ChessMove move) {
  std::int32_t& entry = move_index_[move_key(move)];
  if (entry < 0) {
    entry = static_cast<std::int32_t>(out_.moves_seen.size());
    out_.moves_seen.push_back(move);
  }
  return entry;
}

std::int16_t RowBuilder::policy_id(ChessMove move, Color mover) {
  std::int16_t& id = policy_ids_[oriented(move, mover).value()];
  if (id == kUnknown) {
    const int index = policy_index(options_.encoding, move, mover);
    if (index < 0) throw Panic("internal error: a replayed or legal move has no policy index");
    id = static_cast<std::int16_t>(index);
  }
  return id;
}

void RowBuilder::append_chess960_ids(std::span<const ChessMove> legal, Color mover) {
  for (const ChessMove m : legal) out_.legal_ids.push_back(policy_id(encoded_move(m, true), mover));
}

std::int32_t RowBuilder::result_entry(std::string_view result) {
  for (std::size_t i = 0; i < out_.results_seen.size(); ++i) {
    if (out_.results_seen[i] == result) return static_cast<std::int32_t>(i);
  }
  out_.results_seen.emplace_back(result);
  return static_cast<std::int32_t>(out_.results_seen.size() - 1);
}

void RowBuilder::append(const GameBatch& batch, std::uint64_t first_index) {
  const AttackTables& tables = attack_tables();
  const StartPosition& standard = standard_start();
  PositionRows& out = out_;
  Board board;
  MoveList legal;
  std::size_t plies = 0;
  for (const GameRecord& g : batch.games) plies += g.failure == kNone ? g.move_count : 0;
  const std::size_t rows = out.size() + plies;
  out.game.reserve(rows);
  out.ply.reserve(rows);
  if (options_.fen) {
    out.fen_offsets.reserve(rows + 1);
  } else {
    out.bitboards.reserve(rows * kPieceKinds);
  }
  out.states.reserve(rows);
  out.move.reserve(rows);
  out.move_id.reserve(rows);
  out.legal_offsets.reserve(rows + 1);
  out.legal_ids.reserve(out.legal_ids.size() + plies * kLegalMovesGuess);
  out.zobrist.reserve(rows);
  out.result.reserve(rows);

  for (std::size_t n = 0; n < batch.games.size(); ++n) {
    const GameRecord& g = batch.games[n];
    if (g.failure != kNone || g.move_count == 0) continue;
    const StartPosition& start = g.start == kNone ? standard : batch.starts[g.start];
    board.move_history.clear();
    for (auto& stack : board.piece_history) stack.clear();
    put_start(board, start);
    const bool chess960 = start.chess960;
    const std::int32_t result = result_entry(batch.view(g.result));
    const std::uint64_t game = first_index + n;
    for (std::uint32_t i = 0; i < g.move_count; ++i) {
      const ChessMove move = batch.moves[g.first_move + i];
      const Color mover = side_to_move(board.state);
      out.game.push_back(game);
      out.ply.push_back(static_cast<std::int32_t>(i));
      if (options_.fen) {
        out.fen_text += board_fen(board);
        out.fen_offsets.push_back(static_cast<std::int64_t>(out.fen_text.size()));
      } else {
        out.bitboards.insert(out.bitboards.end(), board.pieces.begin(), board.pieces.end());
      }
      out.states.push_back(board.state);
      out.move.push_back(move_entry(move));
      out.move_id.push_back(policy_id(encoded_move(move, chess960), mover));
      legal.resize_down(0);
      legal_moves(tables, board, legal);
      if (chess960) [[unlikely]] {
        append_chess960_ids(std::span(legal.begin(), legal.end()), mover);
      } else {
        for (const ChessMove m : std::span(legal.begin(), legal.end())) {
          out.legal_ids.push_back(policy_id(m, mover));
        }
      }
      out.legal_offsets.push_back(static_cast<std::int64_t>(out.legal_ids.size()));
      out.zobrist.push_back(zobrist(board));
      out.result.push_back(result);
      if (push_move(board, move) != PushOutcome::kMade) {
        throw Panic("internal error: a replayed move cannot be made again");
      }
    }
  }
}

}  // namespace orvex::pgn
