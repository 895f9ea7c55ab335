// Repeats one core operation, for counting its instructions under callgrind
// (run with N and with 0, and divide the difference by N).
//
//   orvex_ops_bench fen N        reads the FENs of the six perft positions
//   orvex_ops_bench push_pop N   makes and takes back every legal move of each
//   orvex_ops_bench generate N   writes the legal move list of each
// Each of the N rounds goes over the six positions.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/fen.h"
#include "board/make_move.h"
#include "move_generator/legal_moves.h"

namespace {

constexpr const char* kFens[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: orvex_ops_bench fen|push_pop|generate N\n");
    return 2;
  }
  const std::string op = argv[1];
  const long rounds = std::atol(argv[2]);
  const orvex::AttackTables& tables = orvex::attack_tables();
  std::vector<orvex::Board> boards;
  std::vector<orvex::MoveList> moves(std::size(kFens));
  for (const char* fen : kFens) boards.push_back(orvex::board_from_fen(fen).value());
  for (std::size_t i = 0; i < boards.size(); ++i) orvex::legal_moves(tables, boards[i], moves[i]);
  unsigned long sink = 0;
  for (long r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < boards.size(); ++i) {
      if (op == "fen") {
        sink += orvex::board_from_fen(kFens[i]).value().state;
      } else if (op == "push_pop") {
        for (orvex::ChessMove move : moves[i]) {
          (void)orvex::push_move(boards[i], move);
          sink += boards[i].state;
          orvex::pop_move(boards[i]);
        }
      } else if (op == "generate") {
        orvex::MoveList list;
        orvex::legal_moves(tables, boards[i], list);
        sink += list.size();
      }
    }
  }
  std::printf("%lu\n", sink);
  return 0;
}
