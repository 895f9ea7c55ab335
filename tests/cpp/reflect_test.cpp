// The colour-reversed mirror image of a position.
#include "base/panic.h"
#include "board/reflect.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

TEST(Mirror, SendsEverySquareToTheSameFileOfTheOtherRank) {
  for (int s = 0; s < 64; ++s) EXPECT_EQ(mirror(square_bb(sq(s))), square_bb(sq(s ^ 56))) << s;
  EXPECT_EQ(mirror(0x00000000000000FFu), 0xFF00000000000000u);
  EXPECT_EQ(mirror(0x0102040810204080u), 0x8040201008040201u);
}

struct ReflectCase {
  const char* before;
  const char* after;
};

class ReflectTest : public ::testing::TestWithParam<ReflectCase> {};

TEST_P(ReflectTest, MirrorsPiecesRightsAndEnPassant) {
  Board board = board_at(GetParam().before);
  const Board original = board;
  reflect(board);
  EXPECT_EQ(board_fen(board), GetParam().after);
  for (int k = 0; k < kPieceKinds; ++k) {
    EXPECT_EQ(board.pieces[k], mirror(original.pieces[(k + 6) % 12])) << "kind " << k;
  }
  reflect(board);
  EXPECT_EQ(board, original);  // twice gives the board back (it had no history)
}

INSTANTIATE_TEST_SUITE_P(
    Positions, ReflectTest,
    ::testing::Values(
        ReflectCase{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -"},
        ReflectCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
                    "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"},
        ReflectCase{"4k3/8/8/3pP3/8/8/8/4K3 w - d6", "4k3/8/8/8/3Pp3/8/8/4K3 b - d3"},
        ReflectCase{"r3k2r/8/8/8/8/8/8/R3K2R w Kq -", "r3k2r/8/8/8/8/8/8/R3K2R b Qk -"},
        ReflectCase{"1k6/8/8/8/8/8/8/6QK b Q -", "6qk/8/8/8/8/8/8/1K6 w q -"},
        ReflectCase{"8/8/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/8 b - -"}),
    [](const auto& info) { return case_name(info.param.before); });

TEST(Reflect, StartPositionStateWord) {
  Board board = board_at(kDefaultFen);
  const auto pieces = board.pieces;
  reflect(board);
  EXPECT_EQ(board.pieces, pieces);
  EXPECT_EQ(board.state, 0x1Eu);
}

TEST(Reflect, MovesEveryEnPassantFileAndKeepsHighBits) {
  for (int f = 0; f < 8; ++f) {
    Board board = board_at("8/8/8/8/8/8/8/8 b - -");
    board.state |= std::uint64_t{1} << (13 + f) | std::uint64_t{1} << 40;
    reflect(board);
    EXPECT_EQ(board.state, 1 | std::uint64_t{1} << (5 + f) | std::uint64_t{1} << 40) << f;
    reflect(board);
    EXPECT_EQ(board.state, std::uint64_t{1} << (13 + f) | std::uint64_t{1} << 40) << f;
  }
}

TEST(Reflect, DiscardsTheHistory) {
  Board board = board_at(kDefaultFen);
  push(board, "e2e4");
  push(board, "d7d5");
  push(board, "e4d5");
  const auto pieces = board.pieces;
  const auto state = board.state;
  reflect(board);
  EXPECT_TRUE(board.move_history.empty());
  for (const auto& stack : board.piece_history) EXPECT_TRUE(stack.empty());
  EXPECT_THROW(pop_move(board), Panic);
  reflect(board);
  EXPECT_EQ(board.pieces, pieces);
  EXPECT_EQ(board.state, state);
}

}  // namespace
}  // namespace orvex::testing
