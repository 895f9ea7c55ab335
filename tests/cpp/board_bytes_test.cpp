// Writing board records to bytes and reading them back.
#include <cstdint>
#include <string>
#include <vector>

#include "base/crc32.h"
#include "board/board_bytes.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

// Offsets of the fixed fields in the byte layout.
constexpr std::size_t kVersionAt = 4;
constexpr std::size_t kPiecesAt = 5;
constexpr std::size_t kStateAt = kPiecesAt + 8 * kPieceKinds;
constexpr std::size_t kCountersAt = kStateAt + 8;
constexpr std::size_t kMovesAt = kCountersAt + 8;
constexpr std::size_t kLengthsAt = kMovesAt + 8;
constexpr std::size_t kEntriesAt = kLengthsAt + 8 * kPieceKinds;
constexpr std::size_t kEntryBytes = 8 + 8 + 4 + 2;
constexpr std::size_t kMaskAt = 20;  // within an entry

void put_u64(std::string& bytes, std::size_t at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint64_t get_u64(const std::string& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return value;
}

// Writes a fresh checksum over bytes whose body was changed on purpose, so
// that the checks behind the checksum are reached.
std::string resealed(std::string bytes) {
  const std::size_t body = bytes.size() - kBoardBytesChecksum;
  const std::uint32_t crc = crc32(std::string_view(bytes).substr(0, body));
  for (int i = 0; i < 4; ++i) bytes[body + i] = static_cast<char>(crc >> (8 * i) & 0xFF);
  return bytes;
}

void append(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

// The record in an earlier format: no counters, per move only the state and
// the saved mask; version 1 also without the checksum.
std::string earlier_format(const Board& board, int version) {
  std::string out = "OVXB";
  out.push_back(static_cast<char>(version));
  for (Bitboard b : board.pieces) append(out, b, 8);
  append(out, board.state, 8);
  append(out, board.move_history.size(), 8);
  for (const auto& stack : board.piece_history) append(out, stack.size(), 8);
  for (const HistoryEntry& entry : board.move_history) {
    append(out, entry.prev_state, 8);
    append(out, entry.saved_mask, 2);
  }
  for (const auto& stack : board.piece_history) {
    for (Bitboard b : stack) append(out, b, 8);
  }
  if (version >= 2) append(out, crc32(out), 4);
  return out;
}

Board board_after(const char* fen, const std::vector<const char*>& moves) {
  Board board = board_at(fen);
  for (const char* m : moves) push(board, m);
  return board;
}

struct RoundTripCase {
  const char* name;
  const char* fen;
  std::vector<const char*> moves;
};

class BoardBytesRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(BoardBytesRoundTrip, ReadsBackTheWholeRecord) {
  const Board board = board_after(GetParam().fen, GetParam().moves);
  const std::string bytes = board_to_bytes(board);
  Parsed<Board> read = board_from_bytes(bytes);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value(), board);
  EXPECT_EQ(board_to_bytes(read.value()), bytes);
}

TEST_P(BoardBytesRoundTrip, ReadBoardTakesBackTheSameMoves) {
  Board board = board_after(GetParam().fen, GetParam().moves);
  Parsed<Board> read = board_from_bytes(board_to_bytes(board));
  ASSERT_TRUE(read.ok()) << read.error();
  for (std::size_t i = 0; i < GetParam().moves.size(); ++i) {
    pop_move(board);
    pop_move(read.value());
    EXPECT_EQ(read.value(), board) << "after pop " << i + 1;
  }
  EXPECT_EQ(read.value(), board_at(GetParam().fen));
}

TEST_P(BoardBytesRoundTrip, LengthFollowsTheHistory) {
  const Board board = board_after(GetParam().fen, GetParam().moves);
  std::size_t values = 0;
  for (const auto& stack : board.piece_history) values += stack.size();
  EXPECT_EQ(board_to_bytes(board).size(), kBoardBytesHeader + kEntryBytes * board.move_history.size() +
                                              8 * values + kBoardBytesChecksum);
}

constexpr const char* kStart = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

INSTANTIATE_TEST_SUITE_P(
    Positions, BoardBytesRoundTrip,
    ::testing::Values(
        RoundTripCase{"Start", kStart, {}},
        RoundTripCase{"Empty", "8/8/8/8/8/8/8/8 b - -", {}},
        RoundTripCase{"OpeningMoves", kStart, {"e2e4", "e7e5", "g1f3", "b8c6", "f1b5"}},
        RoundTripCase{"CaptureAndCastling",
                      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                      {"e1g1", "e8c8", "e5f7", "h3g2", "f3f6"}},
        RoundTripCase{"EnPassant", "4k3/8/8/3pP3/8/8/8/4K3 w - d6", {"e5d6", "e8e7"}},
        RoundTripCase{"CapturePromotion", "1r2k3/P7/8/8/8/8/8/4K3 w - -", {"a7b8q", "e8d7", "b8b1"}},
        RoundTripCase{"SharedSquare", "9999999Q/K w - -", {"a1b1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoardBytes, LayoutIsLittleEndianAfterTheHeader) {
  const std::string bytes = board_to_bytes(board_at(kStart));
  ASSERT_EQ(bytes.size(), kBoardBytesHeader + kBoardBytesChecksum);
  EXPECT_EQ(bytes.substr(0, 4), "OVXB");
  EXPECT_EQ(bytes[kVersionAt], 3);
  EXPECT_EQ(get_u64(bytes, kPiecesAt + 8 * kWhitePawn), 0xFF00u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[kPiecesAt + 1]), 0xFFu);
  EXPECT_EQ(get_u64(bytes, kPiecesAt + 8 * kBlackKing), 0x1000000000000000u);
  EXPECT_EQ(get_u64(bytes, kStateAt), 0x1Fu);
  EXPECT_EQ(get_u64(bytes, kCountersAt), 0x100000000u);  // halfmove clock 0, fullmove number 1
  EXPECT_EQ(get_u64(bytes, kMovesAt), 0u);
}

TEST(BoardBytes, HistoryFollowsTheFixedFields) {
  const Board board = board_after(kStart, {"e2e4"});
  const std::string bytes = board_to_bytes(board);
  EXPECT_EQ(get_u64(bytes, kMovesAt), 1u);
  EXPECT_EQ(get_u64(bytes, kLengthsAt + 8 * kWhitePawn), 1u);
  EXPECT_EQ(get_u64(bytes, kEntriesAt), 0x1Fu);  // the state before e2e4
  EXPECT_EQ(get_u64(bytes, kEntriesAt + 8), 0x463B96181691FC9Cu);  // the start's key
  EXPECT_EQ(bytes[kEntriesAt + kMaskAt], 1);     // saved mask: white pawns
  EXPECT_EQ(bytes[kEntriesAt + kMaskAt + 1], 0);
  EXPECT_EQ(get_u64(bytes, kEntriesAt + kEntryBytes), 0xFF00u);
}

// A board with every kind of save: its bytes are the base of the broken ones.
Board sample_board() {
  return board_after("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                     {"e1g1", "e8c8", "e5f7", "h3g2", "f3f6"});
}

std::string sample_bytes() { return board_to_bytes(sample_board()); }

void expect_refused(const std::string& bytes, const std::string& part) {
  Parsed<Board> read = board_from_bytes(bytes);
  ASSERT_FALSE(read.ok());
  EXPECT_NE(read.error().find(part), std::string::npos) << read.error();
}

TEST(BoardBytes, EveryShorterPrefixIsRefused) {
  const std::string bytes = sample_bytes();
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(board_from_bytes(bytes.substr(0, n)).ok()) << n << " bytes";
  }
}

TEST(BoardBytes, TrailingBytesAreRefused) {
  for (std::size_t extra : {1u, 2u, 8u, 10u}) {
    expect_refused(sample_bytes() + std::string(extra, '\0'), "checksum");
    expect_refused(resealed(sample_bytes() + std::string(extra, '\0')), "wrong length");
    expect_refused(earlier_format(sample_board(), 1) + std::string(extra, '\0'), "wrong length");
  }
}

TEST(BoardBytes, HeaderAndVersionAreChecked) {
  std::string bytes = sample_bytes();
  bytes[0] = 'X';
  expect_refused(bytes, "unknown header");
  for (char version : {0, 5, 255}) {
    bytes = sample_bytes();
    bytes[kVersionAt] = version;
    expect_refused(bytes, "version " + std::to_string(static_cast<unsigned char>(version)));
  }
  expect_refused("", "too short");
}

// A flipped bit inside the saved history used to load and make pop give
// another position.
TEST(BoardBytes, DamagedBytesAreRefusedByTheChecksum) {
  const std::string good = sample_bytes();
  for (std::size_t at = kVersionAt + 1; at < good.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string bytes = good;
      bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
      ASSERT_FALSE(board_from_bytes(bytes).ok()) << "byte " << at << " bit " << bit;
    }
  }
}

// Earlier formats hold no counters and no keys: they are worked out from the
// history, so the board reads back whole.
class EarlierFormat : public ::testing::TestWithParam<int> {};

TEST_P(EarlierFormat, LoadsWithCountersAndKeys) {
  for (const Board& board : {board_after(kStart, {"e2e4", "e7e5", "g1f3", "b8c6", "f1b5"}),
                             sample_board(), board_after("1r2k3/P7/8/8/8/8/8/4K3 w - -",
                                                         {"a7b8q", "e8d7", "b8b1", "d7e6"})}) {
    Parsed<Board> read = board_from_bytes(earlier_format(board, GetParam()));
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(read.value(), board);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, EarlierFormat, ::testing::Values(1, 2),
                         [](const auto& info) { return "Version" + std::to_string(info.param); });

TEST(BoardBytes, MaskBitsAboveElevenAreRefused) {
  for (int bit = 12; bit < 16; ++bit) {
    std::string bytes = board_to_bytes(board_after(kStart, {"e2e4", "e7e5"}));
    const std::size_t at = kEntriesAt + kEntryBytes + kMaskAt + 1;  // the second move's
    bytes[at] = static_cast<char>(bytes[at] | 1 << (bit - 8));
    expect_refused(resealed(bytes), "above 11");
  }
}

TEST(BoardBytes, StackLengthsMustMatchTheMasks) {
  // Same total length, one value moved from the white pawns' stack to the knights'.
  std::string bytes = board_to_bytes(board_after(kStart, {"e2e4", "e7e5", "d2d4"}));
  ASSERT_EQ(get_u64(bytes, kLengthsAt + 8 * kWhitePawn), 2u);
  put_u64(bytes, kLengthsAt + 8 * kWhitePawn, 1);
  put_u64(bytes, kLengthsAt + 8 * kWhiteKnight, 1);
  expect_refused(resealed(bytes), "history of kind");
}

TEST(BoardBytes, MaskMustMatchTheStackLengths) {
  // Same total length, the first move now claims to have saved the knights.
  std::string bytes = board_to_bytes(board_after(kStart, {"e2e4", "e7e5"}));
  bytes[kEntriesAt + kMaskAt] = 1 << kWhiteKnight;
  expect_refused(resealed(bytes), "history of kind");
}

TEST(BoardBytes, StackLongerThanTheMoveListIsRefused) {
  std::string bytes = board_to_bytes(board_after(kStart, {"e2e4"}));
  put_u64(bytes, kLengthsAt + 8 * kWhitePawn, 2);
  bytes += std::string(8, '\0');
  expect_refused(resealed(bytes), "only 1 moves");
}

TEST(BoardBytes, HugeCountsAreRefusedWithoutAllocating) {
  for (std::uint64_t count : {std::uint64_t{1} << 40, ~std::uint64_t{0}, ~std::uint64_t{0} / 10}) {
    std::string bytes = sample_bytes();
    put_u64(bytes, kMovesAt, count);
    expect_refused(resealed(bytes), "wrong length");
    bytes = sample_bytes();
    put_u64(bytes, kLengthsAt + 8 * kBlackQueen, count);
    EXPECT_FALSE(board_from_bytes(resealed(bytes)).ok());
  }
}

TEST(BoardBytes, MoveCountMustFitTheBytes) {
  std::string bytes = board_to_bytes(board_after(kStart, {"e2e4"}));
  put_u64(bytes, kMovesAt, 2);
  expect_refused(resealed(bytes), "wrong length");
}

}  // namespace
}  // namespace orvex::testing
