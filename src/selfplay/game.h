// One game of the self-play environment, played by pgx's chess rules.
//
// The rules (pgx 2.6.0's chess environment, step for step):
//   - an action is an AlphaZero id (encoding/az.h) of the side to move;
//   - a legal action makes its move; the game ends when the side to move has
//     no legal move, when the no-progress count (plies since the last pawn
//     move or capture) reaches 100, on pgx's insufficient-material test, when
//     the position occurs for the third time (the starting position never
//     counts), or after step 512;
//   - only checkmate scores: +1 to the winner, -1 to the loser;
//   - an illegal action is made as pgx makes any action (apply_action below),
//     then ends the game: -1 to the player who took it, +1 to the other;
//   - an ended game ignores its actions; its rewards are 0 from then on.
// A position for repetition is the placement, the side to move, pgx's four
// castling flags and the en-passant square, which is set after every double
// pawn step whether or not a capture is possible.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/types.h"
#include "chess_move/chess_move.h"
#include "move_generator/attack_tables.h"
#include "move_generator/position_move.h"
#include "selfplay/threefry.h"

namespace orvex::selfplay {

inline constexpr int kActions = 4672;
inline constexpr int kHistory = 8;
inline constexpr int kMaxSteps = 512;
inline constexpr int kPlanes = 119;
inline constexpr int kMostMoves = 256;

// pgx's castling flags by colour: cleared by any move from the king's or the
// rook's home square, and the opponent's by any move onto its rook's square.
enum CastlingFlag : std::uint8_t {
  kWhiteASide = 1, kWhiteHSide = 2, kBlackASide = 4, kBlackHSide = 8, kAllFlags = 15,
};

// The flags of the castling rights of a state word. A legal move changes the
// rights of the state word exactly as pgx changes its flags, once both stand
// for the same rights (each right's king and rook at home, as from every
// start the games take).
constexpr std::uint8_t castling_flags(std::uint64_t state) {
  return static_cast<std::uint8_t>(((state & state_bits::kWhiteQueenSide) ? kWhiteASide : 0) |
                                   ((state & state_bits::kWhiteKingSide) ? kWhiteHSide : 0) |
                                   ((state & state_bits::kBlackQueenSide) ? kBlackASide : 0) |
                                   ((state & state_bits::kBlackKingSide) ? kBlackHSide : 0));
}

struct Game {
  Position position;              // the placement and the state word
  std::uint8_t flags = kAllFlags;
  std::int8_t en_passant = -1;    // the square a double step skipped, else -1
  std::uint16_t halfmove = 0;     // the no-progress count
  std::uint16_t step_count = 0;
  bool terminated = false;
  bool player_one_white = false;  // the player order, fixed for the game
  std::array<float, 2> rewards{};  // by player, of the last step
  PrngKey key;                    // the key of this game's reset

  // The last kHistory placements, the newest at ring[head]; those older
  // than the start are empty.
  std::uint8_t head = 0;
  std::array<std::array<Bitboard, kPieceKinds>, kHistory> ring{};

  // The legal moves of the position and their ids (none once it has ended).
  // copy_for_replay copies every field but these two arrays.
  std::uint16_t legal = 0;
  std::array<ChessMove, kMostMoves> moves;
  std::array<std::int16_t, kMostMoves> ids;

  // keys[j]: the key of the position after j steps; keys[0], the start, is
  // never counted. others[j]: how many other positions of the game are the
  // same as position j.
  std::vector<std::uint64_t> keys;
  std::vector<std::uint16_t> others;
  // The legal moves played, in the generator's terms.
  std::vector<ChessMove> played;
};

// The side to move and the player whose turn it is.
inline Color colour(const Game& g) { return side_to_move(g.position.state); }
inline int player_of(const Game& g, Color c) { return (c == kWhite) == g.player_one_white ? 1 : 0; }
inline int current_player(const Game& g) { return player_of(g, colour(g)); }

// Starts the game again at the standard position.
void reset_game(const AttackTables& tables, Game& g, bool player_one_white, PrngKey key);

// Returns the place of the action among the legal moves, or -1.
int legal_place(const Game& g, int action);

// What one step changed, to take it back should the call be interrupted.
struct StepUndo {
  bool stepped = false;        // the game was stepped (not only its rewards zeroed)
  Position position;
  std::uint8_t flags;
  std::int8_t en_passant;
  std::uint16_t halfmove, step_count;
  bool terminated;
  std::array<float, 2> rewards;
  std::uint8_t head;
  std::array<Bitboard, kPieceKinds> evicted;  // the ring slot the step overwrote
  std::size_t scan_from = 0;   // the keys the new position was compared with
};

// Makes a legal move of the side to move on the game's position: the
// position, the castling flags, the en-passant square and the no-progress
// count (not the step count, the history or the legal moves).
void make_game_move(Game& g, ChessMove move);

// What entering a new position changed.
struct EnteredPosition {
  std::array<Bitboard, kPieceKinds> evicted{};  // the ring slot it overwrote
  std::size_t scan_from = 0;  // the first earlier position it was compared with
  std::uint16_t same = 0;     // how many earlier positions are the same
};

// Puts the game's position, just made, into the history ring and the
// repetition counts.
EnteredPosition enter_position(Game& g, bool after_legal_move);

// Makes one step of a running game with the action at legal place `place`,
// or with an illegal action (place -1: made as pgx makes it, ending the
// game). Saves what undo_step needs.
void step_game(const AttackTables& tables, Game& g, int action, int place, StepUndo& undo);
// The same with the legal move itself (null: an illegal action).
void step_game_move(const AttackTables& tables, Game& g, int action, const ChessMove* move, StepUndo& undo);

// A step already made once, made again on a copy of the game that led to
// it: the same position, history and counts, the game ended or not as
// `ended` says (so the step needs no legal moves, and makes none: the
// game's list of them is left empty, its rewards zero).
void replay_step(Game& g, int action, const ChessMove* move, bool ended);

// Copies from into to but for its legal moves, which are left empty (as
// replay_step leaves them): for a copy that is stepped on at once, which
// makes them again.
void copy_for_replay(const Game& from, Game& to);

// Takes back what step_game did.
void undo_step(const AttackTables& tables, Game& g, const StepUndo& undo);

// Works out the legal moves and ids of the game's position again (after
// loading a saved game).
void refresh_legal_moves(const AttackTables& tables, Game& g);

// pgx's test of insufficient material on a placement.
bool pgx_insufficient_material(const std::array<Bitboard, kPieceKinds>& pieces);

// The key of a position for repetition.
std::uint64_t game_key(const std::array<Bitboard, kPieceKinds>& pieces, Color side, std::uint8_t flags,
                       int en_passant);

}  // namespace orvex::selfplay
