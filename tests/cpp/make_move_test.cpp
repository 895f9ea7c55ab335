// Making and unmaking moves.
#include <bit>

#include "base/panic.h"
#include "move_generator/legal_moves.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

// Every piece stack holds one value per move whose mask names that kind.
void expect_history_consistent(const Board& board) {
  for (int k = 0; k < kPieceKinds; ++k) {
    std::size_t n = 0;
    for (const HistoryEntry& e : board.move_history) n += e.saved_mask >> k & 1;
    EXPECT_EQ(board.piece_history[k].size(), n) << "kind " << k;
  }
}

struct PushCase {
  const char* before;
  const char* move;
  const char* after;
  std::uint16_t saved_mask;
};

class PushTest : public ::testing::TestWithParam<PushCase> {};

TEST_P(PushTest, MakesTheMoveAndPopRestoresTheRecord) {
  const PushCase& c = GetParam();
  Board board = board_at(c.before);
  const Board original = board;
  push(board, c.move);
  EXPECT_EQ(board_fen(board), c.after);
  ASSERT_EQ(board.move_history.size(), 1u);
  EXPECT_EQ(board.move_history[0].prev_state, original.state);
  EXPECT_EQ(board.move_history[0].saved_mask, c.saved_mask);
  for (int k = 0; k < kPieceKinds; ++k) {
    if (c.saved_mask >> k & 1) {
      EXPECT_EQ(board.piece_history[k][0], original.pieces[k]);
    }
  }
  expect_history_consistent(board);
  pop_move(board);
  EXPECT_EQ(board, original);
}

constexpr const char* kCastle = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -";
constexpr const char* kCastleBlack = "r3k2r/8/8/8/8/8/8/R3K2R b KQkq -";
constexpr const char* kStart = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

INSTANTIATE_TEST_SUITE_P(
    Moves, PushTest,
    ::testing::Values(
        PushCase{kStart, "e2e4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3", 0x1},
        // The promotion letter is ignored off the last rank.
        PushCase{kStart, "e2e4q", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3", 0x1},
        PushCase{kStart, "e2e5", "rnbqkbnr/pppppppp/8/4P3/8/8/PPPP1PPP/RNBQKBNR b KQkq -", 0x1},
        PushCase{kStart, "g1f3", "rnbqkbnr/pppppppp/8/8/8/5N2/PPPPPPPP/RNBQKB1R b KQkq -", 0x2},
        PushCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3", "c7c5",
                 "rnbqkbnr/pp1ppppp/8/2p5/4P3/8/PPPP1PPP/RNBQKBNR w KQkq c6", 0x40},
        PushCase{"4k3/8/8/3p4/4P3/8/8/4K3 w - -", "e4d5", "4k3/8/8/3P4/8/8/8/4K3 b - -", 0x41},
        PushCase{"4k3/8/8/3pP3/8/8/8/4K3 w - d6", "e5d6", "4k3/8/3P4/8/8/8/8/4K3 b - -", 0x41},
        PushCase{"4k3/8/8/8/3Pp3/8/8/4K3 b - d3", "e4d3", "4k3/8/8/8/8/3p4/8/4K3 w - -", 0x41},
        PushCase{kCastle, "e1g1", "r3k2r/8/8/8/8/8/8/R4RK1 b kq -", 0x28},
        PushCase{kCastle, "e1c1", "r3k2r/8/8/8/8/8/8/2KR3R b kq -", 0x28},
        PushCase{kCastleBlack, "e8g8", "r4rk1/8/8/8/8/8/8/R3K2R w KQ -", 0xA00},
        PushCase{kCastleBlack, "e8c8", "2kr3r/8/8/8/8/8/8/R3K2R w KQ -", 0xA00},
        PushCase{kCastle, "e1e2", "r3k2r/8/8/8/8/8/4K3/R6R b kq -", 0x20},
        PushCase{kCastle, "h1h2", "r3k2r/8/8/8/8/8/7R/R3K3 b Qkq -", 0x8},
        PushCase{kCastle, "a1b1", "r3k2r/8/8/8/8/8/8/1R2K2R b Kkq -", 0x8},
        PushCase{kCastle, "a1a8", "R3k2r/8/8/8/8/8/8/4K2R b Kk -", 0x208},
        PushCase{kCastleBlack, "h8h1", "r3k3/8/8/8/8/8/8/R3K2r w Qq -", 0x208},
        PushCase{kCastleBlack, "a8a7", "4k2r/r7/8/8/8/8/8/R3K2R w KQk -", 0x200},
        // Rights follow the side to move: a black rook moved on white's turn keeps k.
        PushCase{kCastle, "h8h7", "r3k3/7r/8/8/8/8/8/R3K2R b KQkq -", 0x200},
        // The castling rook's rank follows the side to move, not the king's colour.
        PushCase{kCastle, "e8g8", "r5kr/8/8/8/8/8/8/R3K2R b KQkq -", 0xA00},
        // A king's two-file step from the e-file moves the rook of the home rank.
        PushCase{"4k3/8/8/8/4K3/8/8/7R w - -", "e4g4", "4k3/8/8/8/6K1/8/8/5R2 b - -", 0x28},
        PushCase{"8/4P3/8/8/8/8/8/k3K3 w - -", "e7e8q", "4Q3/8/8/8/8/8/8/k3K3 b - -", 0x11},
        PushCase{"8/4P3/8/8/8/8/8/k3K3 w - -", "e7e8n", "4N3/8/8/8/8/8/8/k3K3 b - -", 0x3},
        PushCase{"2r1k3/3P4/8/8/8/8/8/4K3 w - -", "d7c8B", "2B1k3/8/8/8/8/8/8/4K3 b - -", 0x205},
        PushCase{"4k3/8/8/8/8/8/3p4/4K3 b - -", "d2d1r", "4k3/8/8/8/8/8/8/3rK3 w - -", 0x240},
        // A diagonal step onto an empty last-rank square: nothing stands behind it.
        PushCase{"p3k3/8/8/8/8/8/1P6/4K3 w - -", "b2a1q", "p3k3/8/8/8/8/8/8/Q3K3 b - -", 0x51},
        PushCase{"4k3/6p1/8/8/8/8/8/4K2P b - -", "g7h8q", "4k2q/8/8/8/8/8/8/4K2P w - -",
                 0x441}),
    [](const auto& info) { return case_name({info.param.move, info.param.before}); });

struct RefusedCase {
  const char* fen;
  const char* move;
};

class NeedsPromotionTest : public ::testing::TestWithParam<std::tuple<RefusedCase, int>> {};

TEST_P(NeedsPromotionTest, PawnOntoLastRankWithoutPieceIsRefused) {
  const auto& [c, code] = GetParam();
  Board board = board_at(c.fen);
  const Board before = board;
  const ChessMove text = move_of(c.move);
  const ChessMove move = ChessMove::pack(text.from(), text.to(), code);
  EXPECT_EQ(push_move(board, move), PushOutcome::kNeedsPromotion);
  EXPECT_EQ(board, before);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, NeedsPromotionTest,
    ::testing::Combine(::testing::Values(RefusedCase{"8/4P3/8/8/8/8/8/k3K3 w - -", "e7e8"},
                                         RefusedCase{"2r1k3/3P4/8/8/8/8/8/4K3 w - -", "d7c8"},
                                         RefusedCase{"4k3/8/8/8/8/8/3p4/4K3 b - -", "d2d1"},
                                         RefusedCase{"4k3/8/8/8/8/8/1P6/4K3 w - -", "b2a1"}),
                       ::testing::Values(0, 1, 2, 3, 8, 15)),
    [](const auto& info) {
      return case_name(std::get<0>(info.param).move) + "_code" +
             std::to_string(std::get<1>(info.param));
    });

TEST(PushMove, EmptyFromSquarePanicsAndChangesNothing) {
  Board board = board_at(kStart);
  push(board, "e2e4");
  const Board before = board;
  EXPECT_THROW((void)push_move(board, move_of("e2e3")), Panic);
  EXPECT_THROW((void)push_move(board, move_of("d4d5")), Panic);
  EXPECT_EQ(board, before);
}

TEST(PopMove, EmptyHistoryPanicsAndChangesNothing) {
  Board board = board_at(kStart);
  const Board before = board;
  EXPECT_THROW(pop_move(board), Panic);
  EXPECT_EQ(board, before);
  push(board, "e2e4");
  pop_move(board);
  EXPECT_THROW(pop_move(board), Panic);
}

TEST(PushMove, EnPassantFieldLastsOneMove) {
  Board board = board_at(kStart);
  push(board, "e2e4");
  EXPECT_EQ(board.state, 0x1Eu | 1u << 17);
  push(board, "g8f6");
  EXPECT_EQ(board.state, 0x1Fu);
  push(board, "e4e5");
  push(board, "d7d5");
  EXPECT_EQ(board_fen(board), "rnbqkb1r/ppp1pppp/5n2/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6");
  push(board, "e5d6");  // typed as text, the capture still takes the pawn behind
  EXPECT_EQ(board_fen(board), "rnbqkb1r/ppp1pppp/3P1n2/8/8/8/PPPP1PPP/RNBQKBNR b KQkq -");
  EXPECT_EQ(board.move_history.size(), 5u);
  expect_history_consistent(board);
  for (int i = 0; i < 5; ++i) pop_move(board);
  EXPECT_EQ(board, board_at(kStart));
}

// Walks every line to the given depth; after each pop the record must equal
// the copy taken before the push.
void walk(Board& board, int depth) {
  if (depth == 0) return;
  MoveList moves;
  legal_moves(tables(), board, moves);
  for (ChessMove m : moves) {
    const Board before = board;
    ASSERT_EQ(push_move(board, m), PushOutcome::kMade) << m.text();
    expect_history_consistent(board);
    walk(board, depth - 1);
    pop_move(board);
    ASSERT_EQ(board, before) << "after " << m.text() << " in " << board_fen(before);
  }
}

class PushPopWalkTest : public ::testing::TestWithParam<const char*> {};

TEST_P(PushPopWalkTest, PopRestoresEveryNode) {
  Board board = board_at(GetParam());
  walk(board, 3);
  EXPECT_TRUE(board.move_history.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Positions, PushPopWalkTest,
    ::testing::Values("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
                      "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
                      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"),
    TextName());

}  // namespace
}  // namespace orvex::testing
