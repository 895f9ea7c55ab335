// The move counters, the position key kept move by move, and the game rules
// on boards python-chess cannot check (several kings, none, shared squares).
#include <random>

#include "board/zobrist.h"
#include "move_generator/legal_moves.h"
#include "rules/outcome.h"
#include "rules/repetition.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

struct CountersCase {
  const char* fen;
  std::uint32_t halfmove_clock;
  std::uint32_t fullmove_number;
};

class FenCountersTest : public ::testing::TestWithParam<CountersCase> {};

TEST_P(FenCountersTest, AreReadWhenWellFormed) {
  const Board board = board_at(GetParam().fen);
  EXPECT_EQ(board.halfmove_clock, GetParam().halfmove_clock);
  EXPECT_EQ(board.fullmove_number, GetParam().fullmove_number);
  // Both readers agree.
  Parsed<Board> general = board_from_fen_general(GetParam().fen);
  ASSERT_TRUE(general.ok());
  EXPECT_EQ(general.value(), board);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FenCountersTest,
    ::testing::Values(CountersCase{"4k3/8/8/8/8/8/8/4K3 w - -", 0, 1},
                      CountersCase{"4k3/8/8/8/8/8/8/4K3 w - - 12 40", 12, 40},
                      CountersCase{"4k3/8/8/8/8/8/8/4K3 b - e3 7", 7, 1},
                      CountersCase{"4k3/8/8/8/8/8/8/4K3 w - - x 40", 0, 40},
                      CountersCase{"4k3/8/8/8/8/8/8/4K3 w - - 3 0", 3, 1},
                      CountersCase{"4k3/8/8/8/8/8/8/4K3 w - - -1 +5", 0, 1},
                      CountersCase{"4k3/8/8/8/8/8/8/4K3 w - - 2147483647 2147483648", 2147483647, 1},
                      CountersCase{"4k3/8/8/8/8/8/8/4K3 w - -\u00a09\u00a010", 9, 10}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(Counters, PushCountsAndPopRestores) {
  Board board = board_at("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  const std::pair<const char*, std::pair<int, int>> plies[] = {
      {"g1f3", {1, 1}}, {"g8f6", {2, 2}}, {"e2e4", {0, 2}}, {"f6e4", {0, 3}}, {"b1c3", {1, 3}}};
  for (const auto& [move, counters] : plies) {
    push(board, move);
    EXPECT_EQ(board.halfmove_clock, static_cast<std::uint32_t>(counters.first)) << move;
    EXPECT_EQ(board.fullmove_number, static_cast<std::uint32_t>(counters.second)) << move;
  }
  EXPECT_EQ(board_fen(board, true),
            "rnbqkb1r/pppppppp/8/8/4n3/2N2N2/PPPP1PPP/R1BQKB1R b KQkq - 1 3");
  while (!board.move_history.empty()) pop_move(board);
  EXPECT_EQ(board, board_at("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"));
}

// The key push_move keeps move by move equals the key worked out afresh, on
// random play from ordinary and unusual boards, and pop gives the old one back.
class KeptKeyTest : public ::testing::TestWithParam<const char*> {};

TEST_P(KeptKeyTest, EqualsTheKeyWorkedOutAfresh) {
  std::mt19937 random(7);
  for (int game = 0; game < 20; ++game) {
    Board board = board_at(GetParam());
    std::vector<std::uint64_t> keys{settled_key(board)};
    for (int ply = 0; ply < 60; ++ply) {
      MoveList moves;
      legal_moves(tables(), board, moves);
      if (moves.size() == 0) break;
      (void)push_move(board, moves[random() % moves.size()]);
      ASSERT_EQ(board.key, position_key(board)) << board_fen(board);
      keys.push_back(board.key);
    }
    while (!board.move_history.empty()) {
      keys.pop_back();
      pop_move(board);
      ASSERT_EQ(board.key, keys.back());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, KeptKeyTest,
    ::testing::Values("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
                      "r3k2r/8/8/8/8/8/8/R3K2R w - -",       // rights that stand for nothing
                      "2k1k3/8/8/8/8/8/8/R3K2R w KQ -",     // two black kings
                      "8/3p4/8/8/8/8/4P3/8 w - -",          // no kings
                      "9999999Q/K w - -"),                  // a shared square
    [](const auto& info) { return "Case" + std::to_string(info.index); });

struct RulesCase {
  const char* fen;
  bool checkmate, stalemate, insufficient;
};

class UnusualBoardRulesTest : public ::testing::TestWithParam<RulesCase> {};

TEST_P(UnusualBoardRulesTest, FollowTheLibrarysOwnRules) {
  Board board = board_at(GetParam().fen);
  const Board before = board;
  EXPECT_EQ(is_checkmate(tables(), board), GetParam().checkmate);
  EXPECT_EQ(is_stalemate(tables(), board), GetParam().stalemate);
  EXPECT_EQ(is_insufficient_material(board), GetParam().insufficient);
  EXPECT_FALSE(is_repetition(tables(), board, 2));
  EXPECT_FALSE(can_claim_threefold_repetition(tables(), board));
  EXPECT_EQ(board, before);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, UnusualBoardRulesTest,
    ::testing::Values(
        RulesCase{"8/8/8/8/8/8/8/8 w - -", false, true, true},          // nothing at all
        RulesCase{"8/8/8/8/8/8/6q1/8 w - -", false, true, false},       // no white king, no moves
        RulesCase{"k7/8/8/8/8/8/8/K6K w - -", false, false, true},      // two white kings
        RulesCase{"kr5K/8/8/8/8/8/1q6/K7 w - -", true, false, false},   // the lowest one mated
        RulesCase{"9999999Q/K w - -", false, false, false}),             // a shared square
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(Repetition, CountsThePositionsSinceTheLastPawnMove) {
  Board board = board_at("4k3/8/8/8/8/8/4P3/4K3 w - - 0 1");
  for (int round = 0; round < 2; ++round) {
    for (const char* m : {"e1d1", "e8d8", "d1e1", "d8e8"}) push(board, m);
  }
  EXPECT_EQ(occurrences(tables(), board, 10), 3u);
  EXPECT_TRUE(can_claim_threefold_repetition(tables(), board));
  push(board, "e2e4");
  EXPECT_EQ(occurrences(tables(), board, 10), 1u);
}

// The next move's position was compared with the first one after the double
// push, whose en-passant capture is illegal (the pawn is pinned), on the
// pieces before that move: the capture looked legal and the claim was missed.
TEST(Repetition, EnPassantOfAMatchedPositionIsJudgedOnItsOwnPieces) {
  Board board = board_at("8/8/8/8/k2p3Q/8/4P3/4K3 w - - 0 1");
  for (const char* m : {"e2e4", "a4b3", "h4h6", "b3a4", "h6h4", "a4a5", "h4h6", "a5a4"}) {
    push(board, m);
  }
  EXPECT_TRUE(can_claim_threefold_repetition(tables(), board));
}

// A knight is enough to mate only against something that can block; two
// bishops are not when they stand on squares of one colour.
struct MaterialCase {
  const char* fen;
  bool insufficient;
};

class InsufficientMaterialTest : public ::testing::TestWithParam<MaterialCase> {};

TEST_P(InsufficientMaterialTest, AsPythonChessJudgesIt) {
  EXPECT_EQ(is_insufficient_material(board_at(GetParam().fen)), GetParam().insufficient);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, InsufficientMaterialTest,
    ::testing::Values(MaterialCase{"n7/8/3k4/8/8/4K3/4N3/8 w - -", false},  // knight against knight
                      MaterialCase{"8/8/3k4/8/8/4K3/4N3/8 w - -", true},    // knight alone
                      MaterialCase{"8/8/3k4/8/8/4K3/3NN3/8 w - -", false},  // two knights
                      MaterialCase{"b7/8/3k4/8/8/4K3/3B4/8 w - -", false},  // bishops on both colours
                      MaterialCase{"b7/8/3k4/8/8/4K3/4B3/8 w - -", true}),  // bishops on one colour
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// The first position after the double push has a legal en-passant capture,
// so the same pieces later, without one, are another position.
TEST(Repetition, AnEnPassantCaptureMakesThePositionAnother) {
  Board board = board_at("4k3/8/8/8/4p3/8/3P4/4K3 w - - 0 1");
  push(board, "d2d4");
  for (int round = 0; round < 2; ++round) {
    for (const char* m : {"e8d8", "e1d1", "d8e8", "d1e1"}) push(board, m);
  }
  EXPECT_EQ(occurrences(tables(), board, 10), 2u);
}

// With the clock at 99 a draw may be claimed only by a move that keeps it
// running: here black has nothing but pawn moves.
TEST(Counters, FiftyMovesAreNotClaimedByAPawnMove) {
  Board board = board_at("7k/p4K2/8/8/8/5N2/8/8 w - - 98 90");
  push(board, "f3g5");
  EXPECT_FALSE(can_claim_fifty_moves(tables(), board));
  push(board, "a7a6");
  push(board, "g5e4");
  EXPECT_EQ(board.halfmove_clock, 1u);
}

}  // namespace
}  // namespace orvex::testing
