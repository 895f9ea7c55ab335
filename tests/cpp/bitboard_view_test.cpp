// The placement as 12 x 64 booleans.
#include "board/bitboard_view.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

// Returns the squares of one kind in the view, ascending.
std::vector<int> marked(const BitboardView& view, int kind) {
  std::vector<int> out;
  for (int s = 0; s < 64; ++s) {
    EXPECT_LE(view[kind * 64 + s], 1) << "kind " << kind << " square " << s;
    if (view[kind * 64 + s]) out.push_back(s);
  }
  return out;
}

TEST(BitboardView, StartPosition) {
  const BitboardView view = bitboard_view(board_at(kDefaultFen).pieces);
  EXPECT_EQ(marked(view, kWhitePawn), (std::vector<int>{8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(marked(view, kWhiteKing), std::vector<int>{4});
  EXPECT_EQ(marked(view, kBlackKing), std::vector<int>{60});
  EXPECT_EQ(marked(view, kBlackPawn), (std::vector<int>{48, 49, 50, 51, 52, 53, 54, 55}));
  EXPECT_EQ(marked(view, kBlackKnight), (std::vector<int>{57, 62}));
  EXPECT_EQ(view, bitboard_view(pieces_from_fen(kDefaultFen)));
}

TEST(BitboardView, EveryBitOfEveryKind) {
  std::array<Bitboard, kPieceKinds> pieces{};
  std::uint64_t x = 0x9E3779B97F4A7C15u;
  for (auto& b : pieces) b = x = x * 6364136223846793005u + 1442695040888963407u;
  pieces[10] = 0;
  pieces[11] = ~Bitboard{0};
  const BitboardView view = bitboard_view(pieces);
  for (int k = 0; k < kPieceKinds; ++k) {
    for (int s = 0; s < 64; ++s) {
      ASSERT_EQ(view[k * 64 + s], (pieces[k] >> s) & 1) << "kind " << k << " square " << s;
    }
  }
}

TEST(BitboardView, FollowsPushAndPop) {
  Board board = board_at(kDefaultFen);
  const BitboardView start = bitboard_view(board.pieces);
  push(board, "g1f3");
  const BitboardView moved = bitboard_view(board.pieces);
  EXPECT_EQ(marked(moved, kWhiteKnight), (std::vector<int>{1, 21}));
  pop_move(board);
  EXPECT_EQ(bitboard_view(board.pieces), start);
}

}  // namespace
}  // namespace orvex::testing
