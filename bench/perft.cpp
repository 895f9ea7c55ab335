// Counts perft leaf nodes with the core alone and prints nodes per second.
//
//   orvex_perft_bench [DEPTH_OFFSET]   the six standard positions
//   orvex_perft_bench FEN DEPTH        one position
//   orvex_perft_bench --chess960 FEN DEPTH   one position of Chess960 (X-FEN
//                                            or Shredder-FEN castling field)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/chess960.h"
#include "board/fen.h"
#include "move_generator/perft.h"

namespace {

struct Position {
  const char* name;
  const char* fen;
  int depth;
};

// The standard positions (tests/data/perft.txt) at depths of about a second each.
constexpr Position kPositions[] = {
    {"start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", 6},
    {"kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -", 5},
    {"position3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -", 7},
    {"position4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -", 5},
    {"position5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -", 5},
    {"position6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -", 5},
};

}  // namespace

int main(int argc, char** argv) {
  const orvex::AttackTables& tables = orvex::attack_tables();
  std::vector<Position> positions(std::begin(kPositions), std::end(kPositions));
  int offset = 0;
  const bool chess960 = argc == 4 && std::string(argv[1]) == "--chess960";
  if (argc == 2) offset = std::atoi(argv[1]);
  if (argc == 3) positions = {{"custom", argv[1], std::atoi(argv[2])}};
  if (chess960) positions = {{"chess960", argv[2], std::atoi(argv[3])}};

  std::uint64_t total_nodes = 0;
  double total_seconds = 0;
  for (const Position& p : positions) {
    auto parsed = chess960 ? orvex::board_from_fen_chess960(p.fen) : orvex::board_from_fen(p.fen);
    if (!parsed.ok()) {
      std::fprintf(stderr, "bad FEN %s: %s\n", p.fen, parsed.error().c_str());
      return 2;
    }
    orvex::Board board = parsed.value();
    const int depth = p.depth + offset;
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t nodes = orvex::perft(tables, board, depth);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    total_nodes += nodes;
    total_seconds += seconds;
    std::printf("%-10s depth %d  nodes %12llu  %8.3f s  %8.2f Mnps\n", p.name, depth,
                static_cast<unsigned long long>(nodes), seconds, nodes / seconds / 1e6);
  }
  std::printf("total              nodes %12llu  %8.3f s  %8.2f Mnps\n",
              static_cast<unsigned long long>(total_nodes), total_seconds,
              total_nodes / total_seconds / 1e6);
  return 0;
}
