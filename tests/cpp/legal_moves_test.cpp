// The legal moves of the side to move, in their fixed order.
#include <algorithm>

#include "move_generator/legal_moves.h"
#include "move_generator/perft.h"
#include "perft_table.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

struct OrderCase {
  const char* name;
  const char* fen;
  const char* expected;
};

class LegalOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(LegalOrderTest, ListsTheLegalMovesInGenerationOrder) {
  Board board = board_at(GetParam().fen);
  // An earlier move on record: the call must neither read nor disturb it.
  board.move_history.push_back(HistoryEntry{0x1F, 0, 0, 0x1});
  board.piece_history[kWhitePawn].push_back(0xFF00);
  const Board before = board;
  MoveList moves;
  legal_moves(tables(), board, moves);
  EXPECT_EQ(joined(moves), GetParam().expected);
  EXPECT_EQ(board, before);
}

constexpr const char* kCastlingRooks =
    "e1e2 e1f1 e1d1 e1f2 e1d2 e1g1 e1c1 a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 "
    "h1f1 h1g1 h1h2 h1h3 h1h4 h1h5 h1h6 h1h7 h1h8";

INSTANTIATE_TEST_SUITE_P(
    Positions, LegalOrderTest,
    ::testing::Values(
        OrderCase{"StartWhite", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                  "b1c3 b1a3 g1h3 g1f3 a2a3 a2a4 b2b3 b2b4 c2c3 c2c4 d2d3 d2d4 e2e3 e2e4 f2f3 f2f4 "
                  "g2g3 g2g4 h2h3 h2h4"},
        OrderCase{"AfterE4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
                  "b8a6 b8c6 g8f6 g8h6 a7a6 a7a5 b7b6 b7b5 c7c6 c7c5 d7d6 d7d5 e7e6 e7e5 f7f6 f7f5 "
                  "g7g6 g7g5 h7h6 h7h5"},
        OrderCase{"Castling", "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", kCastlingRooks},
        OrderCase{"KingSideSquareAttacked", "r3kr1r/8/8/8/8/8/8/R3K2R w KQkq -",
                  "e1e2 e1d1 e1d2 e1c1 a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 "
                  "h1f1 h1g1 h1h2 h1h3 h1h4 h1h5 h1h6 h1h7 h1h8"},
        OrderCase{"QueenSideB1MayBeAttacked", "1r2k2r/8/8/8/8/8/8/R3K2R w KQkq -", kCastlingRooks},
        OrderCase{"CastlingInCheck", "4r1k1/8/8/8/8/8/8/R3K2R w KQ -",
                  "e1f1 e1d1 e1f2 e1d2"},
        OrderCase{"RightWithoutRook", "4k3/8/8/8/8/8/8/4K3 w KQ -",
                  "e1e2 e1f1 e1d1 e1f2 e1d2 e1g1 e1c1"},
        OrderCase{"BlackRightsWithoutRooks", "4k3/8/8/8/8/8/8/4K3 b kq -",
                  "e8e7 e8f8 e8d8 e8d7 e8f7 e8g8 e8c8"},
        OrderCase{"EnPassantBetweenCaptures", "4k3/8/5n2/3pP3/8/8/8/4K3 w - d6",
                  "e1e2 e1f1 e1d1 e1f2 e1d2 e5d6 e5f6 e5e6"},
        OrderCase{"EnPassantTargetHoldsEnemy", "4k3/8/3n4/4P3/8/8/8/4K3 w - d6",
                  "e1e2 e1f1 e1d1 e1f2 e1d2 e5d6 e5e6"},
        OrderCase{"EnPassantTargetHoldsOwnPiece", "7k/8/3N4/4P3/8/8/8/4K3 w - d6",
                  "e1e2 e1f1 e1d1 e1f2 e1d2 d6c4 d6e4 d6f5 d6f7 d6e8 d6c8 d6b7 d6b5 e5e6"},
        OrderCase{"EnPassantUncoversRank", "8/8/8/K2pP2r/8/8/8/7k w - d6",
                  "a5a4 a5a6 a5b5 a5b6 a5b4 e5e6"},
        OrderCase{"Promotions", "3n1n1k/4P3/8/8/8/8/8/4K3 w - -",
                  "e1e2 e1f1 e1d1 e1f2 e1d2 e7d8n e7d8b e7d8r e7d8q e7f8n e7f8b e7f8r e7f8q "
                  "e7e8n e7e8b e7e8r e7e8q"},
        OrderCase{"BlackCapturesTowardHFileFirst", "4k3/8/8/8/4p3/3N1N2/8/4K3 b - -",
                  "e8e7 e8f8 e8d8 e8d7 e8f7 e4f3 e4d3 e4e3"},
        OrderCase{"PawnOnFirstRankSinglePush", "4k3/8/8/8/8/8/8/P3K3 w - -",
                  "e1e2 e1f1 e1d1 e1f2 e1d2 a1a2"},
        OrderCase{"PawnOnLastRankStands", "P3k3/8/8/8/8/8/8/4K3 w - -", "e1e2 e1f1 e1d1 e1f2 e1d2"},
        OrderCase{"BlackPawnOnEighthRank", "p3k3/8/8/8/8/8/8/4K3 b - -",
                  "e8e7 e8f8 e8d8 e8d7 e8f7 a8a7"},
        OrderCase{"QueenInBothGroups", "7k/8/8/8/8/8/8/1B1QK3 w - -",
                  "e1e2 e1f1 e1f2 e1d2 d1c1 d1d2 d1d3 d1d4 d1d5 d1d6 d1d7 d1d8 b1a2 b1c2 b1d3 "
                  "b1e4 b1f5 b1g6 b1h7 d1c2 d1e2 d1b3 d1f3 d1a4 d1g4 d1h5"},
        OrderCase{"PinnedBishop", "4k3/4r3/8/8/8/8/4B3/4K3 w - -", "e1f1 e1d1 e1f2 e1d2"},
        OrderCase{"EscapeCheck", "4rk2/8/8/8/8/8/R7/4K3 w - -", "e1f1 e1d1 e1f2 e1d2 a2e2"},
        OrderCase{"Checkmate", "R5k1/5ppp/8/8/8/8/8/4K3 b - -", ""},
        OrderCase{"Stalemate", "7k/5Q2/6K1/8/8/8/8/8 b - -", ""},
        // Only the king on the lowest square is tested after each move.
        OrderCase{"SeveralKings", "4r2k/8/8/8/8/8/8/K3K3 w - -", "a1b1 e1e2 e1f1 e1d1 e1f2 e1d2"},
        OrderCase{"SeveralKingsCastle", "4k3/8/8/8/8/8/8/K3K2R w K -",
                  "a1a2 a1b1 a1b2 e1e2 e1f1 e1d1 e1f2 e1d2 e1g1 h1f1 h1g1 h1h2 h1h3 h1h4 h1h5 "
                  "h1h6 h1h7 h1h8"},
        OrderCase{"NoKingUnfiltered", "4r3/8/8/8/8/8/4B3/8 w - -",
                  "e2d1 e2f1 e2d3 e2f3 e2c4 e2g4 e2b5 e2h5 e2a6"}),
    [](const auto& info) { return std::string(info.param.name); });

// Returns the candidates, and the legal list, of a board built by hand.
std::pair<MoveList, MoveList> both_lists(Board& board) {
  std::pair<MoveList, MoveList> out;
  generate_candidates(tables(), board, out.first);
  const Board before = board;
  legal_moves(tables(), board, out.second);
  EXPECT_EQ(board, before);
  return out;
}

TEST(LegalMoves, PiecesOfBothColoursOnOneSquare) {
  Board board = board_at("4k3/8/8/8/8/4N3/4P3/4K3 w - -");
  board.pieces[kBlackKnight] |= squares_bb({"e3"});
  // The pawn push sees e3 as empty: own and enemy occupancy cancel there.
  EXPECT_EQ(joined(both_lists(board).second),
            "e1f2 e1d2 e3d1 e3f1 e3g2 e3g4 e3f5 e3d5 e3c4 e3c2 e2e3 e2e4");
}

TEST(LegalMoves, MoveThatPushRefusesIsDropped) {
  // A rook sharing a7 with a pawn: "a7a8" and "a7a1" move the pawn, without a promotion.
  Board board = board_at("7k/R7/8/8/8/8/8/4K3 w - -");
  board.pieces[kWhitePawn] |= squares_bb({"a7"});
  auto [candidates, legal] = both_lists(board);
  std::vector<std::string> expected = texts(candidates);
  for (const char* refused : {"a7a8", "a7a1"}) {
    const auto at = std::find(expected.begin(), expected.end(), refused);
    ASSERT_NE(at, expected.end()) << refused;
    expected.erase(at);
  }
  EXPECT_EQ(texts(legal), expected);
}

TEST(LegalMoves, SideWithoutKingKeepsEveryCandidate) {
  for (const char* fen : {"4k3/8/8/8/8/8/8/R7 w - -", "8/8/8/8/8/8/8/8 b KQkq -",
                          "rnbq1bnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq e3"}) {
    Board board = board_at(fen);
    auto [candidates, legal] = both_lists(board);
    EXPECT_EQ(joined(legal), joined(candidates)) << fen;
  }
}

// Every published count of the shared table up to this many leaves.
constexpr std::uint64_t kMostLeaves = 20'000'000;

struct PerftCase {
  std::string name;
  std::string fen;
  int depth;
  std::uint64_t nodes;
};

std::vector<PerftCase> perft_cases() {
  std::vector<PerftCase> cases;
  for (const PerftRow& row : perft_table()) {
    for (std::size_t d = 0; d < row.counts.size(); ++d) {
      if (row.counts[d] > kMostLeaves) break;
      cases.push_back({row.name, row.fen, static_cast<int>(d + 1), row.counts[d]});
    }
  }
  return cases;
}

class PerftTest : public ::testing::TestWithParam<PerftCase> {};

TEST_P(PerftTest, CountsThePublishedNodes) {
  Board board = board_at(GetParam().fen);
  const Board before = board;
  EXPECT_EQ(perft(tables(), board, GetParam().depth), GetParam().nodes);
  EXPECT_EQ(board, before);
}

INSTANTIATE_TEST_SUITE_P(Positions, PerftTest, ::testing::ValuesIn(perft_cases()),
                         [](const auto& info) {
                           return info.param.name + "_depth" + std::to_string(info.param.depth);
                         });

}  // namespace
}  // namespace orvex::testing
