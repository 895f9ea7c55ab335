// Replaying games from SAN with the core alone: the cost per ply of finding
// the move a SAN text names (match_san) and making it (push_move), beside
// making the known moves alone and listing all legal moves, for scale.
//
//   orvex_san_bench [GAMES] [ROUNDS]   defaults 400 and 20
//
// The games are seeded random play from the start position (at most 80
// plies), written as SAN with write_san before any timing. For instruction
// counts, run it under valgrind --tool=callgrind with ROUNDS 1.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "board/fen.h"
#include "board/make_move.h"
#include "move_generator/legal_moves.h"
#include "notation/san.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Game {
  std::vector<std::string> sans;
  std::vector<orvex::ChessMove> moves;
};

std::vector<Game> seeded_games(const orvex::AttackTables& tables, int count) {
  std::mt19937 rng(20250613);
  std::vector<Game> games(count);
  for (Game& game : games) {
    orvex::Board board = orvex::board_from_fen(orvex::kDefaultFen).value();
    for (int ply = 0; ply < 80; ++ply) {
      orvex::MoveList moves;
      orvex::legal_moves(tables, board, moves);
      if (moves.size() == 0) break;
      const orvex::ChessMove move = moves[rng() % moves.size()];
      std::string san;
      orvex::write_san(tables, board, move, san);
      game.sans.push_back(san);
      game.moves.push_back(move);
      (void)orvex::push_move(board, move);
    }
  }
  return games;
}

}  // namespace

int main(int argc, char** argv) {
  const orvex::AttackTables& tables = orvex::attack_tables();
  const int game_count = argc > 1 ? std::atoi(argv[1]) : 400;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::vector<Game> games = seeded_games(tables, game_count);
  long plies = 0;
  for (const Game& g : games) plies += static_cast<long>(g.sans.size());

  const orvex::Board start = orvex::board_from_fen(orvex::kDefaultFen).value();
  long wrong = 0;
  long listed = 0;
  const auto t0 = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (const Game& g : games) {
      orvex::Board board = start;
      for (std::size_t i = 0; i < g.sans.size(); ++i) {
        orvex::ChessMove move;
        if (orvex::match_san(tables, board, g.sans[i], move) != orvex::SanStatus::kFound ||
            move != g.moves[i]) {
          ++wrong;
          break;
        }
        (void)orvex::push_move(board, move);
      }
    }
  }
  const auto t1 = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (const Game& g : games) {
      orvex::Board board = start;
      for (orvex::ChessMove move : g.moves) (void)orvex::push_move(board, move);
    }
  }
  const auto t2 = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (const Game& g : games) {
      orvex::Board board = start;
      for (orvex::ChessMove move : g.moves) {
        orvex::MoveList moves;
        orvex::legal_moves(tables, board, moves);
        listed += static_cast<long>(moves.size());
        (void)orvex::push_move(board, move);
      }
    }
  }
  const auto t3 = Clock::now();
  const auto per_ply = [&](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::nano>(b - a).count() / (double(plies) * rounds);
  };
  std::printf("%d games, %ld plies, %d rounds%s\n", game_count, plies, rounds,
              wrong ? " -- SOME SAN WAS NOT READ BACK" : "");
  std::printf("  match_san + push_move    %7.1f ns per ply\n", per_ply(t0, t1));
  std::printf("  push_move alone          %7.1f ns per ply\n", per_ply(t1, t2));
  std::printf("  legal_moves + push_move  %7.1f ns per ply (%.1f moves listed per ply)\n",
              per_ply(t2, t3), double(listed) / (double(plies) * rounds));
  return wrong ? 1 : 0;
}
