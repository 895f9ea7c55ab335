// The 16-bit move code and its coordinate notation.
#include "base/panic.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

std::string panic_message(auto&& call) {
  try {
    call();
  } catch (const Panic& p) {
    return p.what();
  }
  return "(no panic)";
}

TEST(ChessMoveMake, PacksTheThreeFields) {
  EXPECT_EQ(ChessMove::make(12, 28, 0).value(), 1804);
  EXPECT_EQ(ChessMove::make(63, 63, 15).value(), 0xFFFF);
  const ChessMove m = ChessMove::make(52, 60, 7);
  EXPECT_EQ(m.from(), 52);
  EXPECT_EQ(m.to(), 60);
  EXPECT_EQ(m.special(), 7);
}

struct RangeCase {
  std::uint16_t from, to, special;
  const char* message;
};

class MakeRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(MakeRangeTest, PanicsInCheckOrder) {
  const RangeCase& c = GetParam();
  EXPECT_EQ(panic_message([&] { (void)ChessMove::make(c.from, c.to, c.special); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, MakeRangeTest,
    ::testing::Values(RangeCase{64, 0, 0, "Invalid FROM int"},
                      RangeCase{65535, 64, 16, "Invalid FROM int"},
                      RangeCase{0, 64, 0, "Invalid TO int"},
                      RangeCase{63, 1000, 16, "Invalid TO int"},
                      RangeCase{0, 0, 16, "Invalid SPECIAL int"},
                      RangeCase{63, 63, 65535, "Invalid SPECIAL int"}),
    [](const auto& info) {
      return "from" + std::to_string(info.param.from) + "_to" + std::to_string(info.param.to) +
             "_special" + std::to_string(info.param.special);
    });

struct ParseCase {
  const char* text;
  int from, to, code;
  const char* printed;
};

class FromStrTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FromStrTest, ParsesAndPrintsBack) {
  const ParseCase& c = GetParam();
  Parsed<ChessMove> parsed = ChessMove::from_str(c.text);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value(), ChessMove::pack(c.from, c.to, c.code));
  EXPECT_EQ(parsed.value().text(), c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FromStrTest,
    ::testing::Values(ParseCase{"e2e4", 12, 28, 0, "e2e4"}, ParseCase{"e7e8Q", 52, 60, 7, "e7e8q"},
                      ParseCase{"a2a1n", 8, 0, 4, "a2a1n"}, ParseCase{"e2e4q", 12, 28, 7, "e2e4q"},
                      ParseCase{"e7e8", 52, 60, 0, "e7e8"}, ParseCase{"h8a1", 63, 0, 0, "h8a1"},
                      ParseCase{"a1h8B", 0, 63, 5, "a1h8b"}, ParseCase{"b7b8r", 49, 57, 6, "b7b8r"},
                      ParseCase{"g2g1R", 14, 6, 6, "g2g1r"}, ParseCase{"c7c8N", 50, 58, 4, "c7c8n"},
                      ParseCase{"e1g1", 4, 6, 0, "e1g1"}),
    [](const auto& info) { return case_name(info.param.text); });

struct ErrorCase {
  std::string text;
  std::string message;
};

class FromStrErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FromStrErrorTest, ReturnsTheMessage) {
  Parsed<ChessMove> parsed = ChessMove::from_str(GetParam().text);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), GetParam().message);
}

const std::string kNotation = "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: ";
const std::string kPromotion = "Unsupported promotion type";

INSTANTIATE_TEST_SUITE_P(
    Texts, FromStrErrorTest,
    ::testing::Values(ErrorCase{"e2e4x", kPromotion}, ErrorCase{"e2e4k", kPromotion},
                      ErrorCase{"z9z9x", kPromotion},   // the length test comes first
                      ErrorCase{"\u00e92e4", kPromotion},  // 5 bytes: the last character is "4"
                      ErrorCase{"\u00e9\u00e94", kPromotion},
                      ErrorCase{"e2e", kNotation + "e2e"}, ErrorCase{"e2e4qq", kNotation + "e2e4qq"},
                      ErrorCase{"", kNotation}, ErrorCase{"i9", kNotation + "i9"},
                      ErrorCase{"\u00e9\u00e9\u00e9", kNotation + "\u00e9\u00e9\u00e9"}),
    [](const auto& info) { return case_name(info.param.text); });

struct AssertCase {
  const char* text;
  const char* message;
};

class FromStrAssertTest : public ::testing::TestWithParam<AssertCase> {};

TEST_P(FromStrAssertTest, Panics) {
  EXPECT_EQ(panic_message([&] { (void)ChessMove::from_str(GetParam().text); }),
            GetParam().message);
}

constexpr const char* kFromFile = "assertion failed: from_file <= 7";
constexpr const char* kFromRank = "assertion failed: from_rank <= 7";
constexpr const char* kToFile = "assertion failed: to_file <= 7";
constexpr const char* kToRank = "assertion failed: to_rank <= 7";

INSTANTIATE_TEST_SUITE_P(
    Texts, FromStrAssertTest,
    ::testing::Values(AssertCase{"E2E4", kFromFile}, AssertCase{"i2e4", kFromFile},
                      AssertCase{"`2e4", kFromFile}, AssertCase{"i9i9", kFromFile},
                      AssertCase{"e9e4", kFromRank}, AssertCase{"e0e4", kFromRank},
                      AssertCase{"e2i4", kToFile}, AssertCase{"e2E4q", kToFile},
                      AssertCase{"e2e9", kToRank}, AssertCase{"e2e0", kToRank},
                      AssertCase{"\u00e92e", kFromFile},      // both characters exist
                      AssertCase{"\u00e9\u00e9", kFromFile},
                      // U+0165 counts as its low byte "e"; the 4th character "q" is no rank.
                      AssertCase{"\u01652eq", kToRank}),
    [](const auto& info) { return case_name(info.param.text); });

class FromStrIndexTest : public ::testing::TestWithParam<const char*> {};

// Texts that pass the length test with too few characters.
TEST_P(FromStrIndexTest, PanicsWithIndexFailure) {
  const std::string message = panic_message([&] { (void)ChessMove::from_str(GetParam()); });
  EXPECT_NE(message.find("index"), std::string::npos) << message;
  EXPECT_EQ(message.find("assertion"), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(Texts, FromStrIndexTest,
                         ::testing::Values("e2\u00e9",          // 4 bytes, 3 characters
                                           "\U0001F600",        // 4 bytes, 1 character
                                           "a\u2031q",          // 5 bytes; U+2031 reads as "1"
                                           "\u0161\u0132q"),    // "a", "2", "q": 5 bytes
                         TextName());

TEST(ChessMoveText, EveryCodeRoundTrips) {
  for (int from = 0; from < 64; ++from) {
    for (int to = 0; to < 64; ++to) {
      for (int code = 0; code < 8; ++code) {
        const ChessMove m = ChessMove::pack(from, to, code);
        const std::string text = m.text();
        ASSERT_EQ(text.size(), code >= 4 ? 5u : 4u) << text;
        Parsed<ChessMove> back = ChessMove::from_str(text);
        ASSERT_TRUE(back.ok()) << text;
        ASSERT_EQ(back.value(), ChessMove::pack(from, to, code >= 4 ? code : 0)) << text;
      }
    }
  }
}

TEST(ChessMoveText, SuffixesAndAppending) {
  EXPECT_EQ(ChessMove::pack(52, 60, kEnPassant).text(), "e7e8");
  EXPECT_EQ(ChessMove::pack(12, 28, kDoublePush).text(), "e2e4");
  EXPECT_EQ(ChessMove::pack(4, 6, kCastling).text(), "e1g1");
  EXPECT_EQ(ChessMove(1804).text(), "e2e4");
  std::string out = "x ";
  ChessMove::pack(52, 60, kPromoteBishop).write_text(out);
  EXPECT_EQ(out, "x e7e8b");
}

TEST(ChessMoveText, CodesEightToFifteenPanicWithoutWriting) {
  for (int code = 8; code < 16; ++code) {
    std::string out = "kept";
    EXPECT_THROW(ChessMove::pack(12, 28, code).write_text(out), Panic) << code;
    EXPECT_EQ(out, "kept");
  }
}

}  // namespace
}  // namespace orvex::testing
