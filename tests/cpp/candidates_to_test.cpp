// The candidates of one piece type to one square, which SAN reading uses,
// must be exactly those of the whole candidate list, on every board without
// shared squares; and the legality test of a few candidates must keep what
// making and unmaking them keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "board/fen.h"
#include "move_generator/legal_moves.h"
#include "test_support.h"

namespace orvex {
namespace {

std::vector<std::uint16_t> sorted_codes(const MoveList& moves) {
  std::vector<std::uint16_t> out;
  for (ChessMove m : moves) out.push_back(m.value());
  std::sort(out.begin(), out.end());
  return out;
}

PieceType type_on(const Board& board, Square s) {
  for (int k = 0; k < kPieceKinds; ++k) {
    if (has_square(board.pieces[k], s)) return type_of(static_cast<PieceKind>(k));
  }
  ADD_FAILURE() << "no piece on square " << s;
  return kPawn;
}

// Each candidate on its own is kept by keep_legal exactly when making it
// leaves the king safe.
void expect_each_kept_as_by_make_unmake(Board& board, const MoveList& all, const std::string& label) {
  const Board before = board;
  for (ChessMove m : all) {
    MoveList fast;
    fast.push(m);
    keep_legal(testing::tables(), board, fast);
    MoveList reference;
    reference.push(m);
    filter_by_make_unmake(testing::tables(), board, reference);
    ASSERT_EQ(fast.size(), reference.size()) << label << " move " << m.text() << " fen " << board_fen(board);
  }
  ASSERT_EQ(board, before) << label;
}

void expect_same_as_whole_list(Board& board, const std::string& label) {
  MoveList all;
  generate_candidates(testing::tables(), board, all);
  expect_each_kept_as_by_make_unmake(board, all, label);
  for (int t = kPawn; t <= kKing; ++t) {
    for (int s = 0; s < kSquares; ++s) {
      const PieceType type = static_cast<PieceType>(t);
      const Square to = static_cast<Square>(s);
      MoveList expected;
      for (ChessMove m : all) {
        if (m.to() == to && type_on(board, m.from()) == type) expected.push(m);
      }
      MoveList targeted;
      generate_candidates_to(testing::tables(), board, type, to, targeted);
      ASSERT_EQ(sorted_codes(targeted), sorted_codes(expected))
          << label << " type " << t << " to " << s << " fen " << board_fen(board);
    }
  }
}

class CandidatesTo : public ::testing::TestWithParam<const char*> {};

TEST_P(CandidatesTo, AgreeWithTheWholeListAlongRandomGames) {
  std::mt19937 rng(2024);
  for (int game = 0; game < 8; ++game) {
    Board board = testing::board_at(GetParam());
    for (int ply = 0; ply < 60; ++ply) {
      expect_same_as_whole_list(board, "game " + std::to_string(game) + " ply " + std::to_string(ply));
      MoveList moves;
      legal_moves(testing::tables(), board, moves);
      if (moves.size() == 0) break;
      ASSERT_EQ(push_move(board, moves[rng() % moves.size()]), PushOutcome::kMade);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, CandidatesTo,
    ::testing::Values("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
                      "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq -",
                      "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - - ",
                      // Several kings, a king missing, castling rights without rooks,
                      // pawns on their own first rank.
                      "K6k/8/8/8/8/8/8/K3K2R w KQ -",
                      "r3k2r/8/8/8/3Q4/8/8/8 b kq -",
                      "4k3/8/8/8/8/8/8/4K3 w KQkq -",
                      "kkkk4/8/8/8/8/8/8/KKKK4 w - -",
                      "4k3/8/8/8/8/8/8/PPPPKPPP b - -",
                      "ppppkppp/8/8/8/8/8/8/4K3 w - -"),
    testing::TextName());

}  // namespace
}  // namespace orvex
