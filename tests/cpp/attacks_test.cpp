// Step and sliding moves, and whether a square is attacked.
#include "move_generator/attacks.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

struct StepCase {
  Bitboard movers;
  Bitboard own;
  bool knight;
  const char* expected;
};

class StepMovesTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(StepMovesTest, ListsInSquareThenStepOrder) {
  const StepCase& c = GetParam();
  MoveList out;
  out.push(ChessMove::pack(0, 0, 0));  // appends after what is there
  get_k_moves(c.movers, c.own, c.knight ? kKnightSteps : kKingSteps,
              c.knight ? kKnightStepLimit : kKingStepLimit, out);
  EXPECT_EQ(joined(out), std::string("a1a1") + (*c.expected ? " " : "") + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, StepMovesTest,
    ::testing::Values(
        StepCase{squares_bb({"e1"}), 0xFFFF, false, ""},
        StepCase{squares_bb({"b1", "g1"}), 0xFFFF, true, "b1c3 b1a3 g1h3 g1f3"},
        StepCase{squares_bb({"h1"}), 0, true, "h1g3 h1f2"},
        StepCase{squares_bb({"a8"}), 0, true, "a8b6 a8c7"},
        StepCase{squares_bb({"d4"}), squares_bb({"e6", "b3"}), true,
                 "d4c2 d4e2 d4f3 d4f5 d4c6 d4b5"},
        StepCase{squares_bb({"e4"}), 0, false, "e4e3 e4e5 e4f4 e4d4 e4f5 e4d5 e4d3 e4f3"},
        StepCase{squares_bb({"a1"}), 0, false, "a1a2 a1b1 a1b2"},
        StepCase{squares_bb({"h8"}), squares_bb({"g8"}), false, "h8h7 h8g7"},
        StepCase{squares_bb({"h1", "a8"}), 0, false, "h1h2 h1g1 h1g2 a8a7 a8b8 a8b7"}),
    // "knight_b1_g1": the piece and the squares it stands on.
    [](const auto& info) {
      std::string name = info.param.knight ? "knight" : "king";
      for (int s = 0; s < 64; ++s) {
        if (info.param.movers & square_bb(sq(s))) {
          name += '_';
          name += static_cast<char>('a' + s % 8);
          name += static_cast<char>('1' + s / 8);
        }
      }
      return name;
    });

struct SlideCase {
  const char* fen;
  int kind;
  const char* expected;
};

class MagicMovesTest : public ::testing::TestWithParam<SlideCase> {};

TEST_P(MagicMovesTest, ListsByFromThenToSquare) {
  const Board board = board_at(GetParam().fen);
  const Color us = side_to_move(board.state);
  MoveList out;
  magic_moves(tables(), board, us, side_occupancy(board, us), side_occupancy(board, ~us),
              static_cast<PieceType>(GetParam().kind), out);
  EXPECT_EQ(joined(out), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, MagicMovesTest,
    ::testing::Values(
        SlideCase{kDefaultFen.data(), 3, ""}, SlideCase{kDefaultFen.data(), 2, ""},
        SlideCase{"8/8/8/r7/8/8/8/R1N5 w - -", 3, "a1b1 a1a2 a1a3 a1a4 a1a5"},
        SlideCase{"8/8/8/8/3Q4/8/8/8 w - -", 3,
                  "d4d1 d4d2 d4d3 d4a4 d4b4 d4c4 d4e4 d4f4 d4g4 d4h4 d4d5 d4d6 d4d7 d4d8"},
        SlideCase{"8/8/8/8/3Q4/8/8/8 w - -", 2,
                  "d4a1 d4g1 d4b2 d4f2 d4c3 d4e3 d4c5 d4e5 d4b6 d4f6 d4a7 d4g7 d4h8"},
        // Queens take part in both groups, ordered with the rooks and bishops by square.
        SlideCase{"8/8/8/8/8/7B/1Q6/R1B4R w - -", 3,
                  "a1b1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 h1d1 h1e1 h1f1 h1g1 h1h2 b2b1 b2a2 "
                  "b2c2 b2d2 b2e2 b2f2 b2g2 b2h2 b2b3 b2b4 b2b5 b2b6 b2b7 b2b8"},
        SlideCase{"8/8/8/8/8/7B/1Q6/R1B4R w - -", 2,
                  "c1d2 c1e3 c1f4 c1g5 c1h6 b2a3 b2c3 b2d4 b2e5 b2f6 b2g7 b2h8 "
                  "h3f1 h3g2 h3g4 h3f5 h3e6 h3d7 h3c8"},
        SlideCase{"8/8/8/8/8/p7/1bp5/qpr5 b - -", 3, "a1a2 c1d1 c1e1 c1f1 c1g1 c1h1"},
        SlideCase{"3q4/8/8/8/8/8/8/3R3B w - -", 3,
                  "d1a1 d1b1 d1c1 d1e1 d1f1 d1g1 d1d2 d1d3 d1d4 d1d5 d1d6 d1d7 d1d8"}),
    [](const auto& info) {
      return case_name({info.param.kind == kRook ? "rooks" : "bishops", info.param.fen});
    });

TEST(MagicMoves, OccupancyComesFromTheArguments) {
  const Board board = board_at("8/8/8/8/8/8/8/R6Q w - -");
  MoveList out;
  magic_moves(tables(), board, kWhite, 0, squares_bb({"a3", "c1"}), kRook, out);
  EXPECT_EQ(joined(out),
            "a1b1 a1c1 a1a2 a1a3 h1c1 h1d1 h1e1 h1f1 h1g1 h1h2 h1h3 h1h4 h1h5 h1h6 h1h7 h1h8");
}

struct CheckCase {
  const char* fen;
  const char* square;
  int colour;
  bool attacked;
};

class SquareInCheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(SquareInCheckTest, AnswersForTheOtherSide) {
  const CheckCase& c = GetParam();
  const Square s = make_square(c.square[0] - 'a', c.square[1] - '1');
  EXPECT_EQ(square_in_check(tables(), board_at(c.fen), s, static_cast<Color>(c.colour)), c.attacked);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, SquareInCheckTest,
    ::testing::Values(
        CheckCase{"8/8/8/8/8/8/3p4/4K3 w - -", "e1", 1, true},
        CheckCase{"8/8/8/8/8/8/5p2/4K3 w - -", "e1", 1, true},
        CheckCase{"8/8/8/8/8/8/4p3/4K3 w - -", "e1", 1, false},  // a pawn does not hit ahead
        CheckCase{"8/8/8/8/8/8/3P4/4K3 w - -", "e1", 1, false},  // own pieces do not count
        CheckCase{"8/8/8/8/8/8/3p4/4K3 w - -", "e1", 0, false},  // black pawns hit downwards
        CheckCase{"8/8/8/8/8/5n2/8/4K3 w - -", "e1", 1, true},
        CheckCase{"4r3/8/8/8/8/8/8/4K3 w - -", "e1", 1, true},
        CheckCase{"4r3/8/8/8/8/8/4P3/4K3 w - -", "e1", 1, false},
        CheckCase{"4r3/8/8/8/8/8/4p3/4K3 w - -", "e1", 1, false},  // blocked by its own side
        CheckCase{"8/8/8/8/8/8/3k4/4K3 w - -", "e1", 1, true},
        CheckCase{"8/8/8/q7/8/8/8/4K3 w - -", "e1", 1, true},
        CheckCase{"8/8/8/8/8/8/8/q3K3 w - -", "e1", 1, true},
        CheckCase{"8/8/8/8/1b6/8/8/4K3 w - -", "e1", 1, true},
        CheckCase{"8/8/8/8/1b6/8/3N4/4K3 w - -", "e1", 1, false},
        CheckCase{"8/8/8/8/4b3/8/8/4K3 w - -", "e1", 1, false},
        CheckCase{"8/8/8/1p6/K7/8/8/8 w - -", "a4", 1, true},
        CheckCase{"8/8/8/8/K6p/8/8/8 w - -", "a4", 1, false},  // h4 is not beside a4
        CheckCase{"8/8/p7/6p1/7K/8/8/8 w - -", "h4", 1, true},
        CheckCase{"8/8/p7/8/7K/8/8/8 w - -", "h4", 1, false},
        CheckCase{"8/8/8/8/8/8/8/K5n1 w - -", "a1", 1, false},  // g1 is no knight step away
        CheckCase{"8/8/8/8/8/8/2n5/K7 w - -", "a1", 1, true},
        CheckCase{"4k3/3P4/8/8/8/8/8/8 b - -", "e8", 0, true},
        CheckCase{"4k3/4P3/8/8/8/8/8/8 b - -", "e8", 0, false},
        CheckCase{"4k3/8/8/8/8/8/8/4R3 b - -", "e8", 0, true},
        CheckCase{"4k3/8/8/8/8/8/8/4R3 b - -", "e8", 1, false},
        CheckCase{"4k3/8/8/8/8/8/8/7B b - -", "a8", 0, true},  // an empty square can be attacked
        CheckCase{"8/8/8/8/8/8/8/7K b - -", "g2", 0, true}),
    [](const auto& info) {
      return case_name({info.param.square, info.param.colour == kWhite ? "white" : "black",
                        info.param.fen});
    });

}  // namespace
}  // namespace orvex::testing
