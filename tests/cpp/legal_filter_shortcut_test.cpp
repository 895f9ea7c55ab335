// The generator that works from masks (checkers, pins, safe king squares)
// must give exactly the list of the candidates filtered by making, testing and
// unmaking each one, in the same order, on every board, counting from the
// masks that list's length, and the search for a first legal move must find
// one exactly when that list is not empty; boards they cannot reason about go
// to that filter. The perft walk, which copies positions
// instead of unmaking, must count what the board's own make/unmake counts.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "board/fen.h"
#include "board/make_move.h"
#include "move_generator/has_legal_move.h"
#include "move_generator/legal_moves.h"
#include "move_generator/mask_generator.h"
#include "move_generator/move_count.h"
#include "move_generator/perft.h"
#include "test_support.h"

namespace orvex {
namespace {

std::vector<std::uint16_t> codes(const MoveList& moves) {
  std::vector<std::uint16_t> out;
  for (ChessMove m : moves) out.push_back(m.value());
  return out;
}

// Checks one board: same list both ways, a first move found exactly when the
// list has one, and the board left as it was.
void expect_same_as_make_unmake(Board& board, const std::string& label) {
  const Board before = board;
  MoveList reference;
  generate_candidates(testing::tables(), board, reference);
  filter_by_make_unmake(testing::tables(), board, reference);
  ASSERT_EQ(board, before) << label;
  MoveList fast;
  legal_moves(testing::tables(), board, fast);
  ASSERT_EQ(board, before) << label;
  ASSERT_EQ(codes(fast), codes(reference)) << label << " fen " << board_fen(board);
  ASSERT_EQ(has_legal_move(testing::tables(), board), reference.size() != 0)
      << label << " fen " << board_fen(board);
  // Counted from the masks where they apply, without a list.
  std::uint64_t count = 0;
  if (count_legal_moves_one_king(testing::tables(), board.pieces, board.state, count)) {
    ASSERT_EQ(count, reference.size()) << label << " fen " << board_fen(board);
  }
}

class ShortcutFromPlay : public ::testing::TestWithParam<const char*> {};

TEST_P(ShortcutFromPlay, AgreesAlongRandomGames) {
  std::mt19937 rng(12345);
  for (int game = 0; game < 40; ++game) {
    Board board = testing::board_at(GetParam());
    for (int ply = 0; ply < 120; ++ply) {
      expect_same_as_make_unmake(board, "game " + std::to_string(game) + " ply " + std::to_string(ply));
      MoveList moves;
      legal_moves(testing::tables(), board, moves);
      if (moves.size() == 0) break;
      ASSERT_EQ(push_move(board, moves[rng() % moves.size()]), PushOutcome::kMade);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    StandardPositions, ShortcutFromPlay,
    ::testing::Values("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
                      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
                      "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
                      "4k3/8/8/3q4/8/8/3R4/3K4 w - -"),
    testing::TextName());

// Boards play never reaches: several kings, no king, pieces sharing a square,
// any castling rights and en-passant file.
TEST(ShortcutOnOddBoards, AgreesOnRandomBoards) {
  std::mt19937_64 rng(777);
  for (int i = 0; i < 20000; ++i) {
    Board board;
    const int density = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < kPieceKinds; ++k) {
      Bitboard b = rng();
      for (int d = 0; d < density + 1; ++d) b &= rng();
      if (k == kWhiteKing || k == kBlackKing) {
        const unsigned roll = rng() % 8;
        b = roll == 0 ? 0 : roll == 1 ? (b | square_bb(testing::sq(rng() % 64))) : square_bb(testing::sq(rng() % 64));
      }
      board.pieces[k] = b;
    }
    board.state = (rng() & 0x1F) | (std::uint64_t{1} << (5 + rng() % 16));
    expect_same_as_make_unmake(board, "random board " + std::to_string(i));
  }
}

// Pins along every line, checks and discovered checks from real positions.
TEST(ShortcutOnOddBoards, AgreesOnHandPickedPositions) {
  for (const char* fen : {
           "4k3/8/8/8/1b6/8/3N4/4K3 w - -",          // knight pinned on a diagonal
           "4k3/4r3/8/8/8/8/4Q3/4K3 w - -",          // queen pinned on a file, may slide
           "8/8/8/KPp4r/8/8/8/7k w - c6",            // en passant exposes the king on the rank
           "4k3/8/8/8/8/8/4p3/4K2R w K -",           // king in check by a pawn
           "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -",       // castling both ways
           "4k3/8/8/8/8/8/8/4K3 w - -",              // bare kings
           "K6k/8/8/8/8/8/8/7K w - -",               // two white kings
           "8/8/8/8/8/8/8/R6k w - -",                // no white king
       }) {
    Board board = testing::board_at(fen);
    expect_same_as_make_unmake(board, fen);
    board.state ^= state_bits::kWhiteToMove;
    expect_same_as_make_unmake(board, std::string(fen) + " (other side)");
  }
}

// Random boards the masks do reason about: one piece to a square, one king
// for the side to move, pawns on every rank, kings often at home with any
// castling rights, and en-passant files set beside pawns on their rank.
TEST(MaskGenerator, AgreesOnRandomOneKingBoards) {
  std::mt19937_64 rng(2024);
  int with_en_passant = 0;
  for (int i = 0; i < 40000; ++i) {
    Board board;
    Bitboard taken = 0;
    auto place = [&](int kind, Square s) {
      if (has_square(taken, s)) return;
      board.pieces[kind] |= square_bb(s);
      taken |= square_bb(s);
    };
    const Color us = static_cast<Color>(rng() & 1);
    place(make_kind(us, kKing), rng() % 3 ? (us == kWhite ? kE1 : kE8) : testing::sq(rng() % 64));
    if (rng() % 4) place(make_kind(~us, kKing), testing::sq(rng() % 64));
    const int count = 2 + static_cast<int>(rng() % 24);
    for (int n = 0; n < count; ++n) {
      const int type = static_cast<int>(rng() % 5);  // pawn to queen
      place(make_kind(static_cast<Color>(rng() & 1), static_cast<PieceType>(type)),
            testing::sq(rng() % 64));
    }
    for (Square corner : {kA1, kH1, kA8, kH8}) {
      if (rng() % 2) place(rng() % 3 ? kWhiteRook + (rank_of(corner) ? 6 : 0) : kBlackQueen, corner);
    }
    // An enemy pawn that may just have made a double push, with its file set.
    const int file = static_cast<int>(rng() % 8);
    const Square pushed = make_square(file, us == kWhite ? 4 : 3);
    if (rng() % 2) place(make_kind(~us, kPawn), pushed);
    for (int side : {-1, 1}) {
      if (file + side >= 0 && file + side < 8 && rng() % 2) {
        place(make_kind(us, kPawn), shifted(pushed, side));
      }
    }
    board.state = (rng() & state_bits::kCastlingRights) | (us == kWhite ? 1 : 0) |
                  (std::uint64_t{1} << (en_passant_base(us) + file));
    MoveList fast;
    ASSERT_TRUE(legal_moves_one_king(testing::tables(), board.pieces, board.state, fast));
    for (ChessMove m : fast) with_en_passant += m.special() == kEnPassant;
    expect_same_as_make_unmake(board, "random one-king board " + std::to_string(i));
  }
  EXPECT_GT(with_en_passant, 1000);  // the en-passant cases were reached
}

// Perft by the board's own make/unmake and the full legality filter.
std::uint64_t reference_perft(Board& board, int depth) {
  MoveList moves;
  generate_candidates(testing::tables(), board, moves);
  filter_by_make_unmake(testing::tables(), board, moves);
  if (depth == 1) return moves.size();
  std::uint64_t nodes = 0;
  for (ChessMove m : moves) {
    EXPECT_EQ(push_move(board, m), PushOutcome::kMade);
    nodes += reference_perft(board, depth - 1);
    pop_move(board);
  }
  return nodes;
}

class PerftWalk : public ::testing::TestWithParam<const char*> {};

TEST_P(PerftWalk, CountsWhatMakeUnmakeCounts) {
  Board board = testing::board_at(GetParam());
  const Board before = board;
  Board copy = board;
  EXPECT_EQ(perft(testing::tables(), board, 3), reference_perft(copy, 3));
  EXPECT_EQ(board, before);
}

INSTANTIATE_TEST_SUITE_P(
    OddBoards, PerftWalk,
    ::testing::Values("q3k2q/8/8/8/8/8/8/Q3K2Q w KQkq -",      // queens, not rooks, on corners
                      "r3k2r/8/8/8/8/8/8/R3K2R b KQkq -",      // rooks taken on corners
                      "4k3/8/8/8/8/8/8/4K3 w KQkq -",          // rights without rooks
                      "4k3/8/8/8/8/8/8/rR2K3 w Q -",           // the mover's rook lands on its corner
                      "K6k/8/8/8/8/8/8/r6K w - -",             // two white kings
                      "8/8/8/2k5/8/8/8/R6R w - -",             // no white king
                      "4k3/8/8/8/8/4q3/8/4K3 b - -",           // the king may be taken
                      "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq a",
                      "4k3/1P6/8/3pP3/8/8/6p1/4K3 w - d6"),   // promotions, en passant
    testing::TextName());

}  // namespace
}  // namespace orvex
