// Policy encodings and planes: the lc0 table against its list, the two
// encodings against each other, planes against reflection, and the batch
// functions from several threads.
#include <fstream>
#include <set>
#include <thread>

#include "board/reflect.h"
#include "encoding/az.h"
#include "encoding/lc0.h"
#include "encoding/planes.h"
#include "encoding/policy.h"
#include "move_generator/legal_moves.h"
#include "perft_table.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

std::vector<std::string> lc0_list() {
  std::ifstream in(ORVEX_LC0_LIST);
  std::vector<std::string> moves;
  for (std::string move; in >> move;) moves.push_back(move);
  return moves;
}

TEST(Lc0, TableIsTheListAndIndexInvertsIt) {
  const std::vector<std::string> list = lc0_list();
  ASSERT_EQ(list.size(), static_cast<std::size_t>(kLc0Size));
  for (int i = 0; i < kLc0Size; ++i) {
    const std::optional<ChessMove> move = lc0_move(i);
    ASSERT_TRUE(move) << i;
    EXPECT_EQ(move->text(), list[i]) << i;
    EXPECT_EQ(lc0_index(*move), i) << list[i];
  }
  EXPECT_FALSE(lc0_move(-1));
  EXPECT_FALSE(lc0_move(kLc0Size));
}

TEST(Lc0, KnightPromotionIsThePlainMoveAndCastlingGoesOntoTheRook) {
  const std::vector<std::string> list = lc0_list();
  EXPECT_EQ(list[lc0_index(move_of("b7c8n"))], "b7c8");
  EXPECT_EQ(list[lc0_index(ChessMove::pack(kE1, kG1, kCastling))], "e1h1");
  EXPECT_EQ(list[lc0_index(ChessMove::pack(kE1, kC1, kCastling))], "e1a1");
}

// A plain move from the seventh rank one step onto the eighth, which is a
// promotion to the encoding's default piece when a pawn makes it.
ChessMove with_promotion(ChessMove move, int plain_code) {
  const int df = file_of(move.to()) - file_of(move.from());
  const bool promotion = rank_of(move.from()) == 6 && rank_of(move.to()) == 7 && df >= -1 && df <= 1;
  if (!promotion || move.special() != kOrdinary) return move;
  return ChessMove::pack(move.from(), move.to(), plain_code);
}

// Both policies number the same 1858 moves (queen-like and knight-like moves
// of every square, and every promotion from the seventh rank), differing only
// in which promotion piece is the plain move: a queen for az, a knight for lc0.
TEST(AlphaZero, IdsDecodeToTheMovesOfLc0AndBack) {
  std::set<std::uint16_t> az_moves;
  for (int id = 0; id < kAlphaZeroSize; ++id) {
    const std::optional<ChessMove> move = az_move(id);
    if (!move) continue;
    EXPECT_EQ(az_index(*move), id) << move->text();
    az_moves.insert(with_promotion(*move, kPromoteQueen).value());
  }
  std::set<std::uint16_t> lc0_moves;
  for (int i = 0; i < kLc0Size; ++i) lc0_moves.insert(with_promotion(*lc0_move(i), kPromoteKnight).value());
  EXPECT_EQ(az_moves.size(), static_cast<std::size_t>(kLc0Size));
  EXPECT_EQ(az_moves, lc0_moves);
}

TEST(AlphaZero, IdsOfPgxLayout) {
  // Square file-major times 73 plus the plane, as pgx numbers its actions.
  EXPECT_EQ(az_index(move_of("d4d1")), 27 * 73 + 13);
  EXPECT_EQ(az_index(move_of("d4h8")), 27 * 73 + 47);
  EXPECT_EQ(az_index(move_of("d4g1")), 27 * 73 + 60);
  EXPECT_EQ(az_index(move_of("d4e6")), 27 * 73 + 72);
  EXPECT_EQ(az_index(move_of("e1g1")), 32 * 73 + 31);
  EXPECT_EQ(az_index(move_of("b7a8n")), 14 * 73 + 8);
  EXPECT_EQ(az_index(move_of("b7b8q")), 14 * 73 + 16);
  EXPECT_EQ(az_index(move_of("a1a1")), -1);
  EXPECT_EQ(az_index(move_of("a1c2r")), -1);
  EXPECT_FALSE(az_move(0));  // an underpromotion from a1
  EXPECT_FALSE(az_move(kAlphaZeroSize));
}

TEST(Planes, EveryByteIsItsBitAndMirrorIsTheMoversView) {
  for (const PerftRow& row : perft_table()) {
    Board board = board_at(row.fen);
    MoveList moves;
    legal_moves(tables(), board, moves);
    for (int ply = 0; ply < 2; ++ply) {
      if (ply == 1) push(board, moves[0].text());
      std::uint8_t planes[kPlaneBytes];
      write_planes(board, false, planes);
      for (int k = 0; k < kPieceKinds; ++k) {
        for (int s = 0; s < kSquares; ++s) {
          ASSERT_EQ(planes[k * 64 + s], has_square(board.pieces[k], sq(s)) ? 1 : 0) << row.name;
        }
      }
      std::uint8_t mirrored[kPlaneBytes];
      write_planes(board, true, mirrored);
      Board view = board;
      if (!white_to_move(board.state)) reflect(view);
      write_planes(view, false, planes);
      EXPECT_EQ(std::vector<std::uint8_t>(mirrored, mirrored + kPlaneBytes),
                std::vector<std::uint8_t>(planes, planes + kPlaneBytes))
          << row.name << " ply " << ply;
    }
  }
}

// Masks and index lists of every position two plies from the standard ones.
std::vector<Board> sample_boards() {
  std::vector<Board> boards;
  for (const PerftRow& row : perft_table()) {
    Board board = board_at(row.fen);
    MoveList first;
    legal_moves(tables(), board, first);
    for (ChessMove m : first) {
      Board next = board;
      if (push_move(next, m) == PushOutcome::kMade) boards.push_back(next);
    }
  }
  return boards;
}

TEST(Policy, MaskAndIndicesAgreeAndRoundTripThroughText) {
  for (Encoding e : kEncodings) {
    for (Board board : sample_boards()) {
      MoveList moves;
      legal_moves(tables(), board, moves);
      std::vector<std::int16_t> indices;
      append_indices(tables(), board, e, indices);
      std::vector<std::uint8_t> mask(encoding_size(e));
      write_mask(tables(), board, e, mask.data());
      ASSERT_EQ(indices.size(), moves.size());
      EXPECT_EQ(static_cast<std::size_t>(std::count(mask.begin(), mask.end(), 1)), moves.size());
      for (std::size_t i = 0; i < moves.size(); ++i) {
        EXPECT_EQ(mask[indices[i]], 1);
        const Parsed<ChessMove> back = index_move(e, board, indices[i]);
        ASSERT_TRUE(back.ok()) << back.error();
        EXPECT_EQ(back.value().text(), moves[i].text());
        const Parsed<int> index = move_index(e, board, moves[i].text());
        ASSERT_TRUE(index.ok()) << index.error();
        EXPECT_EQ(index.value(), indices[i]);
      }
    }
  }
}

TEST(Policy, BatchFunctionsGiveTheSameFromTwoThreads) {
  const std::vector<Board> boards = sample_boards();
  const auto run = [&](std::size_t first, std::size_t step, std::vector<std::vector<std::int16_t>>& out) {
    for (std::size_t i = first; i < boards.size(); i += step) {
      Board board = boards[i];
      std::vector<std::uint8_t> mask(kAlphaZeroSize);
      write_mask(tables(), board, Encoding::kAlphaZero, mask.data());
      std::uint8_t planes[kPlaneBytes];
      write_planes(board, true, planes);
      append_indices(tables(), board, Encoding::kLc0, out[i]);
      for (int id = 0; id < kAlphaZeroSize; ++id) {
        if (mask[id]) out[i].push_back(static_cast<std::int16_t>(id));
      }
      out[i].insert(out[i].end(), planes, planes + kPlaneBytes);
    }
  };
  std::vector<std::vector<std::int16_t>> alone(boards.size()), shared(boards.size());
  run(0, 1, alone);
  std::thread other([&] { run(0, 2, shared); });
  run(1, 2, shared);
  other.join();
  EXPECT_EQ(alone, shared);
}

}  // namespace
}  // namespace orvex::testing
