// Counting the legal moves from the masks, without writing them, must give the
// length of the legal-move list on every board the masks reason about; perft,
// which counts its last ply that way and makes the other plies from the same
// move sets, must give what walking the lists gives, on standard and on odd
// boards.
#include <string>
#include <vector>

#include "move_generator/legal_moves.h"
#include "move_generator/move_count.h"
#include "move_generator/perft.h"
#include "perft_table.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

// Perft by the lists: legal_moves, push and pop, the last ply counted by the
// list's length. At each node whose moves the masks can count, the count must
// be the list's length; mismatch keeps the first board where it is not.
std::uint64_t list_perft(Board& board, int depth, std::string& mismatch) {
  MoveList moves;
  legal_moves(tables(), board, moves);
  std::uint64_t count = 0;
  if (count_legal_moves_one_king(tables(), board.pieces, board.state, count) && count != moves.size() &&
      mismatch.empty()) {
    mismatch = board_fen(board) + ": counted " + std::to_string(count) + ", listed " +
               std::to_string(moves.size());
  }
  if (depth == 1) return moves.size();
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    EXPECT_EQ(push_move(board, move), PushOutcome::kMade);
    nodes += list_perft(board, depth - 1, mismatch);
    pop_move(board);
  }
  return nodes;
}

struct CountCase {
  std::string name;
  std::string fen;
  int depth;
  // A piece added on a square that already holds one, when kind is not kNoKind.
  PieceKind extra_kind = kNoKind;
  const char* extra_square = "";
};

// The standard positions at the deepest ply with at most this many leaves.
constexpr std::uint64_t kMostLeaves = 200'000;

std::vector<CountCase> count_cases() {
  std::vector<CountCase> cases;
  for (const PerftRow& row : perft_table()) {
    int depth = 1;
    while (depth < static_cast<int>(row.counts.size()) && row.counts[depth] <= kMostLeaves) ++depth;
    cases.push_back({row.name, row.fen, depth});
  }
  const std::vector<CountCase> odd = {
      {"CastlingBothWays", "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", 3},
      {"CastlingThroughAttackedSquare", "4k3/8/8/8/8/8/2b5/R3K2R w KQ -", 3},
      {"CastlingPastAttackedB1", "1r2k2r/8/8/8/8/8/8/R3K2R w KQk -", 3},
      {"CastlingRightsWithoutRooks", "4k3/8/8/8/8/8/8/4K3 w KQkq -", 3},
      {"QueensOnRookCorners", "q3k2q/8/8/8/8/8/8/Q3K2Q w KQkq -", 3},
      {"EnPassantUncoversRank", "8/8/8/8/k2Pp2Q/8/8/3K4 b - d3", 3},
      {"EnPassantUncoversRankWhite", "8/8/8/KPp4r/8/8/8/7k w - c6", 3},
      {"EnPassantTakesTheChecker", "8/8/8/2k5/3Pp3/8/8/4K3 b - d3", 3},
      {"EnPassantUncoversDiagonal", "8/k7/8/8/3Pp3/8/8/4K1B1 b - d3", 3},
      {"DoubleCheck", "4k3/8/8/8/8/R2n4/4r3/4K3 w - -", 3},
      {"DoubleCheckByLinePieces", "4k3/8/8/8/7b/8/3N4/r3K3 w - -", 3},
      {"PromotionsAndCaptures", "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq -", 3},
      {"PinnedOnEveryLine", "4k3/4q3/8/b7/8/4R3/3N4/r2BK3 w - -", 3},
      {"PawnsOnBackRanks", "P3k2p/8/8/8/8/8/8/p3K2P b - -", 3},
      {"TwoWhiteKings", "K6k/8/8/8/8/8/8/r6K w - -", 3},
      {"NoWhiteKing", "8/8/8/2k5/8/8/8/R6R w - -", 3},
      {"KingMayBeTaken", "4k3/8/8/8/8/4q3/8/4K3 b - -", 3},
      {"KingsSideBySide", "8/8/8/3Kk3/8/8/8/8 w - -", 3},
      {"BothColoursOnOneSquare", "4k3/8/8/8/8/4N3/4P3/4K3 w - -", 3, kBlackKnight, "e3"},
      {"KingSharesASquare", "4k3/8/8/8/8/8/8/R3K2R w KQ -", 3, kWhiteRook, "e1"},
  };
  cases.insert(cases.end(), odd.begin(), odd.end());
  return cases;
}

class MoveCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(MoveCountTest, CountsWhatTheListsHold) {
  const CountCase& c = GetParam();
  Board board = board_at(c.fen);
  if (c.extra_kind != kNoKind) board.pieces[c.extra_kind] |= squares_bb({c.extra_square});
  const Board before = board;
  Board walked = board;
  std::string mismatch;
  const std::uint64_t listed = list_perft(walked, c.depth, mismatch);
  EXPECT_EQ(mismatch, "");
  EXPECT_EQ(perft(tables(), board, c.depth), listed);
  EXPECT_EQ(board, before);
}

INSTANTIATE_TEST_SUITE_P(Positions, MoveCountTest, ::testing::ValuesIn(count_cases()),
                         [](const auto& info) { return case_name(info.param.name); });

TEST(MoveCount, LeavesOddBoardsToTheLists) {
  std::uint64_t count = 12345;
  for (const char* fen : {"K6k/8/8/8/8/8/8/7K w - -", "8/8/8/2k5/8/8/8/R6R w - -"}) {
    Board board = board_at(fen);
    EXPECT_FALSE(count_legal_moves_one_king(tables(), board.pieces, board.state, count)) << fen;
  }
  Board shared = board_at("4k3/8/8/8/8/4N3/8/4K3 w - -");
  shared.pieces[kBlackPawn] |= squares_bb({"e3"});
  EXPECT_FALSE(count_legal_moves_one_king(tables(), shared.pieces, shared.state, count));
  EXPECT_EQ(count, 12345u);
}

}  // namespace
}  // namespace orvex::testing
