// Reading and writing FEN text.
#include "base/panic.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

TEST(PiecesFromFen, StartPositionBitboards) {
  const auto p = pieces_from_fen(kDefaultFen);
  EXPECT_EQ(p[kWhitePawn], 0x000000000000FF00u);
  EXPECT_EQ(p[kWhiteKnight], 0x0000000000000042u);
  EXPECT_EQ(p[kWhiteKing], 0x0000000000000010u);
  EXPECT_EQ(p[kWhiteQueen], 0x0000000000000008u);
  EXPECT_EQ(p[kBlackPawn], 0x00FF000000000000u);
  EXPECT_EQ(p[kBlackRook], 0x8100000000000000u);
  EXPECT_EQ(p[kBlackKing], 0x1000000000000000u);
}

struct PlacementCase {
  const char* fen;
  int kind;
  Bitboard expected;
};

class PlacementTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(PlacementTest, SetsTheSquares) {
  const auto p = pieces_from_fen(GetParam().fen);
  for (int k = 0; k < kPieceKinds; ++k) {
    EXPECT_EQ(p[k], k == GetParam().kind ? GetParam().expected : 0) << "kind " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, PlacementTest,
    ::testing::Values(
        PlacementCase{"8/8/K", kWhiteKing, 0x1},                  // the last rank starts at a1
        PlacementCase{"9/8/8/8/8/8/8/8K w - -", kWhiteKing, square_bb(sq(8))},  // runs on, no error
        PlacementCase{"8/8/8/8/8/8/8/8/Q", kWhiteQueen, 0x1},     // square 64 wraps to a1
        PlacementCase{"0q0", kBlackQueen, 0x1},                   // "0" adds nothing
        PlacementCase{"k/8/8/8/8/8/8/8", kBlackKing, square_bb(sq(56))},
        PlacementCase{"n6n/8/8/8/8/8/8/8", kBlackKnight, square_bb(sq(56)) | square_bb(sq(63))},
        PlacementCase{" \t\n8/8/8/8/8/8/8/7B", kWhiteBishop, square_bb(sq(7))},  // leading space
        PlacementCase{"\u30007r/8/8/8/8/8/8/8\u3000x", kBlackRook, square_bb(sq(63))},
        PlacementCase{"8/8/8/8/8/8/8/8 w - -", -1, 0}),
    [](const auto& info) { return case_name(info.param.fen); });

TEST(PiecesFromFen, TwoKindsMayShareASquare) {
  // a1 gets the queen, then the count runs round the board onto a1 again.
  const auto p = pieces_from_fen("q/8/8/8/8/8/8/8/7/Q w - -");
  EXPECT_EQ(p[kWhiteQueen], 0x1u);
  EXPECT_EQ(p[kBlackQueen], 0x1u);
  Board board;
  board.pieces = p;
  board.state = 1;
  EXPECT_EQ(board_fen(board), "8/8/8/8/8/8/8/Q7 w - -");  // the lower kind is written
}

class BadPlacementTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadPlacementTest, Panics) {
  EXPECT_THROW(pieces_from_fen(GetParam()), Panic);
  EXPECT_THROW(board_from_fen(GetParam()), Panic);
}

INSTANTIATE_TEST_SUITE_P(Texts, BadPlacementTest,
                         ::testing::Values("", " \t\r\n\v\f", "\u00a0\u2003", "8/8/x/8",
                                           "rnbqkbnr/ppppxppp", "8/8/\u00e9", "-",
                                           // An overlong encoding of 'P' is no piece letter.
                                           "8/8/\xc1\x90"),
                         TextName());

TEST(PiecesFromFen, UnreadableCharacterNamesThePieceType) {
  try {
    (void)pieces_from_fen("rnbqkbnx/8 white Kx");
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "Invalid piece type");
  }
}

struct StateCase {
  const char* fen;
  std::uint64_t state;
};

class StateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(StateTest, ReadsSideCastlingAndEnPassant) {
  Parsed<Board> parsed = board_from_fen(GetParam().fen);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value().state, GetParam().state);
  EXPECT_TRUE(parsed.value().move_history.empty());
  for (const auto& stack : parsed.value().piece_history) EXPECT_TRUE(stack.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, StateTest,
    ::testing::Values(
        StateCase{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", 0x1F},
        StateCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
                  0x1E | 1u << 17},
        StateCase{"8/8/8/8/8/8/8/8 w - -", 1}, StateCase{"8/8/8/8/8/8/8/8 b - -", 0},
        StateCase{"8/8/8/8/8/8/8/8 w K-Q -", 0x3},     // reading stops at "-"
        StateCase{"8/8/8/8/8/8/8/8 w -x -", 0x1},      // nothing after "-" is read
        StateCase{"8/8/8/8/8/8/8/8 b qkQKKq -", 0x1E}, // any order, repeats allowed
        StateCase{"8/8/8/8/8/8/8/8 w k e6", 0x9 | 1u << 9},
        StateCase{"8/8/8/8/8/8/8/8 w - e", 1 | 1u << 9},    // only the file is read
        StateCase{"8/8/8/8/8/8/8/8 w - e4", 1 | 1u << 9},   // the rank is not checked
        StateCase{"8/8/8/8/8/8/8/8 w - a6", 1 | 1u << 5},
        StateCase{"8/8/8/8/8/8/8/8 b - h3", 1u << 20},
        StateCase{"8/8/8/8/8/8/8/8 b - a3", 1u << 13},
        StateCase{"8/8/8/8/8/8/8/8 w - --", 1},  // not a file letter: no bit
        StateCase{"8/8/8/8/8/8/8/8 w - \u00e9", 1},
        StateCase{"8/8/8/8/8/8/8/8 w - i6", 1},
        StateCase{"8/8/8/8/8/8/8/8 w - E6", 1},
        StateCase{"8/8/8/8/8/8/8/8\tw\u2028Q\u00a0- 12 40 extra", 0x5},
        StateCase{"\r8/8/8/8/8/8/8/8\u0085b\u000b\u000ck\u205fh\u3000", 0x8 | 1u << 20}),
    [](const auto& info) { return case_name(info.param.fen); });

// Letters whose (code point + 36 or 44) mod 64 fell on bits 0 to 4 used to flip
// the side to move or add castling rights.
TEST(Fen, OddEnPassantLetterChangesNothingElse) {
  EXPECT_EQ(board_at("4k3/8/8/8/8/8/8/4K3 b - T").state, 0u);
  EXPECT_EQ(board_at("r3k2r/8/8/8/8/8/8/R3K2R w - ]").state, 1u);
  for (int c = 1; c < 128; ++c) {
    if ((c >= 'a' && c <= 'h') || c == ' ' || (c >= 9 && c <= 13)) continue;
    const std::string fen = std::string("8/8/8/8/8/8/8/8 b - ") + static_cast<char>(c);
    EXPECT_EQ(board_at(fen).state, 0u) << c;
  }
}

struct ErrorCase {
  const char* fen;
  const char* message;
};

class FenErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FenErrorTest, ReturnsTheMessage) {
  Parsed<Board> parsed = board_from_fen(GetParam().fen);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), GetParam().message);
}

constexpr const char* kSide = "Invalid side-to-move";
constexpr const char* kCastling = "Invalid castling specifier";

INSTANTIATE_TEST_SUITE_P(
    Fields, FenErrorTest,
    ::testing::Values(ErrorCase{"8/8/8/8/8/8/8/8 x KQkq -", kSide},
                      ErrorCase{"8/8/8/8/8/8/8/8 white KQkq -", kSide},
                      ErrorCase{"8/8/8/8/8/8/8/8 W - -", kSide},
                      ErrorCase{"8/8/8/8/8/8/8/8 wb - -", kSide},
                      ErrorCase{"8/8/8/8/8/8/8/8 - - -", kSide},
                      ErrorCase{"8/8/8/8/8/8/8/8 x", kSide},   // before the missing fields
                      ErrorCase{"8/8/8/8/8/8/8/8 x Kx -", kSide},
                      ErrorCase{"8/8/8/8/8/8/8/8 w Kx -", kCastling},
                      ErrorCase{"8/8/8/8/8/8/8/8 w Kx", kCastling},  // before the missing field
                      ErrorCase{"8/8/8/8/8/8/8/8 b KQkqA -", kCastling},
                      ErrorCase{"8/8/8/8/8/8/8/8 w \u00e9 -", kCastling}),
    [](const auto& info) { return case_name(info.param.fen); });

class MissingFieldTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MissingFieldTest, PanicsWithMissingValue) {
  try {
    (void)board_from_fen(GetParam());
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_NE(std::string(p.what()).find("missing value"), std::string::npos) << p.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, MissingFieldTest,
                         ::testing::Values("8/8/8/8/8/8/8/8", "8/8/8/8/8/8/8/8 w",
                                           "8/8/8/8/8/8/8/8 w KQkq", "8/8/8/8/8/8/8/8 b - \t"),
                         TextName());

struct RewriteCase {
  const char* in;
  const char* out;  // nullptr: the text comes back unchanged
};

class BoardFenTest : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(BoardFenTest, WritesFourFields) {
  const RewriteCase& c = GetParam();
  EXPECT_EQ(board_fen(board_at(c.in)), c.out ? c.out : c.in);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BoardFenTest,
    ::testing::Values(
        RewriteCase{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", nullptr},
        RewriteCase{"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -", nullptr},
        RewriteCase{"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -", nullptr},
        RewriteCase{"rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -", nullptr},
        RewriteCase{"rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6", nullptr},
        RewriteCase{"8/8/8/8/8/8/8/8 b - -", nullptr},
        RewriteCase{"7k/8/8/8/8/8/8/K7 b Qk -", nullptr},
        RewriteCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
                    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"},
        RewriteCase{"8/8/8/8/8/8/8/8 w - e4", "8/8/8/8/8/8/8/8 w - e6"},  // only the file is kept
        RewriteCase{"8/8/8/8/8/8/8/8 b - e6", "8/8/8/8/8/8/8/8 b - e3"},
        RewriteCase{"8/8/8/8/8/8/8/8 w qkQK -", "8/8/8/8/8/8/8/8 w KQkq -"},
        RewriteCase{"44/116/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/8 w - -"},
        RewriteCase{"9/7/8/8/8/8/8/k w - -", "8/8/8/8/8/8/8/k7 w - -"}),
    [](const auto& info) { return case_name(info.param.in); });

TEST(BoardFen, LowestEnPassantFileOfTheSideToMoveIsWritten) {
  Board board = board_at("8/8/8/8/8/8/8/8 w - -");
  board.state |= 1u << (5 + 6) | 1u << (5 + 2) | 1u << (13 + 1);
  EXPECT_EQ(board_fen(board), "8/8/8/8/8/8/8/8 w - c6");
  board.state &= ~std::uint64_t{1};
  EXPECT_EQ(board_fen(board), "8/8/8/8/8/8/8/8 b - b3");
}

// What reading gave: the board's bitboards and state, the error, or the Panic.
std::string outcome(Parsed<Board> (*read)(std::string_view), std::string_view fen) {
  try {
    const Parsed<Board> parsed = read(fen);
    if (!parsed.ok()) return "error " + parsed.error();
    std::string out = "board " + std::to_string(parsed.value().state);
    for (Bitboard b : parsed.value().pieces) out += " " + std::to_string(b);
    return out;
  } catch (const Panic& e) {
    return std::string("panic ") + e.what();
  }
}

class OnePassReaderTest : public ::testing::TestWithParam<const char*> {};

// The one-pass reader either reads a text exactly as the general reader does
// or hands it over; near misses of its shape must not be read differently.
TEST_P(OnePassReaderTest, AgreesWithTheGeneralReader) {
  EXPECT_EQ(outcome(board_from_fen, GetParam()), outcome(board_from_fen_general, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OnePassReaderTest,
    ::testing::Values(
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "  r3k2r/8/8/8/8/8/8/R3K2R\tb\nkq\r\ve3\f",
        "rnbqkbnr/8/8/8/8/8/ w - -",             // six ranks: the last one starts at a1
        "rnbqkbnr/8/8/8/8/8/8/8/8 w - -",        // nine ranks
        "rnbqkbnr/8/8/8/8/8/8/7 w - -",          // a short rank
        "rnbqkbnr/9/8/8/8/8/8/8 w - -",          // a long one
        "rnbqkbnr/08/8/8/8/8/8/8 w - -",         // the digit 0
        "pppppppp/44/8/8/8/8/8/ppppppppp w - -",
        "8/8/8/8/8/8/8/8 w -KQ -",               // rights after '-' are not read
        "8/8/8/8/8/8/8/8 w KX -",
        "8/8/8/8/8/8/8/8 wb - -",
        "8/8/8/8/8/8/8/8 x - -",
        "8/8/8/8/8/8/8/8 w - i3",
        "8/8/8/8/8/8/8/8 b - h",
        "8/8/8/8/8/8/8/8 w -",
        "8/8/8/8/8/8/8/8 w",
        "8/8/8/8/8/8/8/8",
        "",
        "8/8/8/8/8/8/8/8\xc2\xa0w - c6",             // no-break space between fields
        "8/8/8/8/8/8/8/8 w -\xc2\xa0" "c6",
        "8/8/8/8/8/8/8/8 w \xc3\xa9 c6",             // e with an accent
        "8/8/8/8/8/8/8/8 w - \xe2\x80\x83" "c6",  // em space before the field
        "8/8/8/8/8/8/8/\xc3\xa9 w - -"),
    TextName());

}  // namespace
}  // namespace orvex::testing
