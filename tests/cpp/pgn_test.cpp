// The PGN reader: cutting text into games, tag lines, FEN tags, and reading
// the same text in chunks or on several threads.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pgn/reader.h"
#include "pgn/scanner.h"
#include "pgn/start_position.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

using namespace orvex::pgn;

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string number(std::uint64_t n) {
  std::ostringstream out;
  out << n;
  return out.str();
}

// Records what the scanner hands on, one line per game.
struct Recorder {
  std::vector<std::string> games;
  std::string current;

  void begin_game(std::uint64_t line) { current.assign("@").append(number(line + 1)); }
  void tag(std::string_view name, std::string_view value, std::uint64_t) {
    current.append(" [").append(name).append("=").append(value).append("]");
  }
  void move(std::string_view token, std::uint64_t line) {
    current.append(" ").append(token).append("/").append(number(line + 1));
  }
  void result(std::string_view word) { current.append(" => ").append(word); }
  void end_game() { games.push_back(current); }
  void abandon_game() {}
};

std::vector<std::string> scan(std::string_view text) {
  Recorder recorder;
  Scanner scanner(text, 0, true);
  while (scanner.next(recorder) == Stop::kGame) {
  }
  return recorder.games;
}

struct ScanCase {
  const char* name;
  const char* text;
  std::vector<std::string> games;
};

class ScannerTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScannerTest, CutsGamesAndTokens) { EXPECT_EQ(scan(GetParam().text), GetParam().games); }

INSTANTIATE_TEST_SUITE_P(
    Pgn, ScannerTest,
    ::testing::Values(
        ScanCase{"skips_what_is_not_a_move",
                 "[A \"1\"]\n\n1. e4 {x\n\n[B \"2\"]} $1 e5!? (1... c5 (1... d5)) 2.Nf3 ; Nc3\n"
                 "% Nc6\n2...Nc6 e.p. 1-0 trailing words\n",
                 {"@1 [A=1] e4/3 e5!?/5 Nf3/5 Nc6/7 => 1-0"}},
        ScanCase{"a_result_ends_the_game_and_a_tag_line_starts_one",
                 "1. e4 *\n[A \"1\"]\n1. d4\n[B \"2\"]\n1. c4",
                 {"@1 e4/1 => *", "@2 [A=1] d4/3", "@4 [B=2] c4/5"}},
        ScanCase{"a_blank_line_ends_the_movetext",
                 "[A \"1\"]\n1. e4\n \t\r\n2. Nf3 Nc6\n",
                 {"@1 [A=1] e4/2", "@4 Nf3/4 Nc6/4"}},
        ScanCase{"two_blank_lines_end_the_tags",
                 "[A \"1\"]\n\n[B \"2\"]\n\n\n1. e4 *\n",
                 {"@1 [A=1] [B=2]", "@6 e4/6 => *"}},
        ScanCase{"garbage_between_games_is_skipped",
                 "Downloaded from somewhere.\n2023 archive\n{ stray\n1-0\n\nhello e4\n",
                 {"@4 => 1-0"}},
        ScanCase{"crlf_line_ends",
                 "[A \"x y\"]\r\n\r\n1. e4 e5\r\n2. Nf3 1/2-1/2\r\n\r\n[B \"2\"]\r\n",
                 {"@1 [A=x y] e4/3 e5/3 Nf3/4 => 1/2-1/2", "@6 [B=2]"}},
        ScanCase{"an_unterminated_comment_runs_to_the_end",
                 "1. e4 {never closed\n\n[A \"1\"]\n1. d4", {"@1 e4/1"}},
        ScanCase{"results_inside_variations_do_not_count",
                 "1. e4 (1. d4 1-0) e5 0-1\n", {"@1 e4/1 e5/1 => 0-1"}},
        ScanCase{"malformed_tag_lines_are_ignored",
                 "[A \"1\"\n[B 2]\n[C \"3\"] x\n[D \"4\"]\n*\n", {"@1 [D=4] => *"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Archives padded with NUL bytes or ended with Ctrl-Z used to lose their last game.
TEST(Scanner, NulAndCtrlZAreWhiteSpace) {
  using namespace std::string_literals;
  using Games = std::vector<std::string>;
  EXPECT_EQ(scan("[A \"1\"]\n\n1. e4 e5 1-0\x1a"s), Games{"@1 [A=1] e4/3 e5/3 => 1-0"});
  EXPECT_EQ(scan("1. e4\0e5\0\0"s), Games{"@1 e4/1 e5/1"});
  EXPECT_EQ(scan("1. e4 *\n\0\0\n\x1a\n[A \"1\"]\x1a\n1. d4 *\0\n"s),
            (Games{"@1 e4/1 => *", "@4 [A=1] d4/5 => *"}));
}

struct TagCase {
  const char* line;
  bool ok;
  const char* name;
  const char* raw_value;
};

class TagLineTest : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagLineTest, ReadsTheForm) {
  std::string_view name, value;
  ASSERT_EQ(read_tag_line(GetParam().line, name, value), GetParam().ok);
  if (!GetParam().ok) return;
  EXPECT_EQ(name, GetParam().name);
  EXPECT_EQ(value, GetParam().raw_value);
}

INSTANTIATE_TEST_SUITE_P(
    Pgn, TagLineTest,
    ::testing::Values(TagCase{"[Event \"a\"]", true, "Event", "a"},
                      TagCase{"[Event\t\"\"]  \r", true, "Event", ""},
                      TagCase{"[Event \"a\"] [Site \"b\"]", true, "Event", "a\"] [Site \"b"},
                      TagCase{"[White_Elo+ \"say \\\"hi\\\"\"]", true, "White_Elo+", "say \\\"hi\\\""},
                      TagCase{"[Event\"a\"]", false, "", ""},
                      TagCase{"[ Event \"a\"]", false, "", ""},
                      TagCase{"[_x \"a\"]", false, "", ""},
                      TagCase{"[Event \"]", false, "", ""},
                      TagCase{"[Event \"a\" ]", false, "", ""},
                      TagCase{"[Event \"a\"] x", false, "", ""}),
    [](const auto& info) { return case_name(info.param.line); });

TEST(TagValue, ResolvesOnlyQuoteAndBackslashEscapes) {
  std::string out;
  append_unescaped(R"(a \"q\" b\\c \n\)", out);
  EXPECT_EQ(out, R"(a "q" b\c \n\)");
}

struct FenCase {
  const char* fen;
  const char* error;  // nullptr: reads, and writes back as expected
  const char* expected;
};

class StartPositionTest : public ::testing::TestWithParam<FenCase> {};

TEST_P(StartPositionTest, ReadsStrictly) {
  const Parsed<Board> board = start_position(GetParam().fen);
  if (GetParam().error) {
    ASSERT_FALSE(board.ok()) << board_fen(board.value());
    EXPECT_EQ(board.error(), GetParam().error);
    return;
  }
  ASSERT_TRUE(board.ok()) << board.error();
  EXPECT_EQ(board_fen(board.value()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pgn, StartPositionTest,
    ::testing::Values(
        FenCase{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", nullptr,
                "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"},
        // Rights without their rook or king, and a target without its pawn, go.
        FenCase{"4k2r/8/8/8/8/8/8/R3K3 w KQkq e6 3 9", nullptr, "4k2r/8/8/8/8/8/8/R3K3 w Qk -"},
        FenCase{"4k3/8/8/3pP3/8/8/8/4K3 w - d6", nullptr, "4k3/8/8/3pP3/8/8/8/4K3 w - d6"},
        FenCase{"4k3/8/8/8/8/8/8/4K3", "a FEN needs at least four fields", nullptr},
        FenCase{"4k3/8/8/8/8/8/4K3 w - -",
                "the placement must have eight ranks of eight squares", nullptr},
        FenCase{"4k3/8p/8/8/8/8/8/4K3 w - -",
                "the placement must have eight ranks of eight squares", nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K2X w - -", "the placement holds a character that is no piece",
                nullptr},
        // The first fault in the text is named.
        FenCase{"4k3/8/8/8/8/8/8/4K3x/8 w - -", "the placement holds a character that is no piece",
                nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K3/x w - -", "the placement must have eight ranks of eight squares",
                nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K3 w - -", nullptr, "4k3/8/8/8/8/8/8/4K3 w - -"},
        FenCase{"4k3/9/8/8/8/8/8/4K3 w - -", "the placement holds a character that is no piece",
                nullptr},
        FenCase{"4k3/44p/8/8/8/8/8/4K3 w - -", "the placement must have eight ranks of eight squares",
                nullptr},
        FenCase{"8/8/8/8/8/8/8/4K3 w - -", "each side must have exactly one king", nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K2P w - -", "no pawn may stand on the first or last rank",
                nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K3 x - -", "the side to move must be \"w\" or \"b\"", nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K3 w Kx -",
                "the castling field must be \"-\" or letters from \"KQkq\" and the files", nullptr},
        // Files name Chess960 rooks; so do KQkq when Chess960 keeps more rights
        // than standard chess (the king off e1, a rook off a1 and h1).
        FenCase{"1r2k1r1/8/8/8/8/8/8/1R2K1R1 w GBgb -", nullptr, "1r2k1r1/8/8/8/8/8/8/1R2K1R1 w KQkq -"},
        FenCase{"4k3/8/8/8/8/8/8/4K3 w HAha -", nullptr, "4k3/8/8/8/8/8/8/4K3 w - -"},
        FenCase{"rk5r/8/8/8/8/8/8/RK5R w KQkq -", nullptr, "rk5r/8/8/8/8/8/8/RK5R w KQkq -"},
        FenCase{"4k3/8/8/8/8/8/8/4K3 w KK -", "the castling field repeats a letter", nullptr},
        FenCase{"4k3/8/8/3pP3/8/8/8/4K3 w - d3",
                "the en-passant field must be \"-\" or a square on the third or sixth rank",
                nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K3 w - - x 1", "the move counters must be whole numbers",
                nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4K3 w - - 0 1 7", "a FEN has at most six fields", nullptr},
        FenCase{"4k3/8/8/8/8/8/8/4KR2 w - - 0 1", nullptr, "4k3/8/8/8/8/8/8/4KR2 w - -"},
        FenCase{"4k3/8/8/8/8/8/8/4R1K1 w - -", "the side not to move is in check", nullptr}),
    [](const auto& info) { return case_name(info.param.fen); });

std::string read_all(std::string_view text, int threads, std::size_t min_piece) {
  GameBatch batch;
  const ReadOutcome outcome = read_games_parallel(text, true, 0, threads, batch, min_piece);
  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.consumed, text.size());
  return describe_games(batch);
}

// The hand-written file of awkward cases, with traps for the threaded cut: a
// comment holding a blank line and a tag line, and a tag section holding a
// blank line.
std::string test_text() {
  std::string text = read_file(ORVEX_PGN_NASTY);
  text += "\n\n[Event \"trap\"]\n\n1. e4 {\n\n[Event \"inside a comment\"]\n\n} e5 *\n";
  text += "\n[Event \"split tags\"]\n\n[Site \"here\"]\n\n1. d4 1-0\n";
  return text;
}

TEST(ReadGames, ChunkedReadingGivesTheSameGames) {
  const std::string text = test_text();
  const std::string whole = read_all(text, 1, kMinPiece);
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    GameBatch batch;
    const ReadOutcome first = read_games(std::string_view(text).substr(0, cut), false, 0, batch);
    ASSERT_FALSE(first.finished);
    ASSERT_LE(first.consumed, cut);
    const ReadOutcome rest =
        read_games(std::string_view(text).substr(first.consumed), true, first.lines, batch);
    ASSERT_TRUE(rest.finished);
    ASSERT_EQ(describe_games(batch), whole) << "cut at " << cut;
  }
}

TEST(ReadGames, ThreadsGiveTheSameGames) {
  const std::string text = test_text();
  const std::string whole = read_all(text, 1, kMinPiece);
  for (unsigned threads = 2; threads <= 9; ++threads) {
    for (std::size_t min_piece : {1, 50, 300}) {
      EXPECT_EQ(read_all(text, threads, min_piece), whole)
          << threads << " threads, pieces of at least " << min_piece;
    }
  }
}

// Text that never ended a line or a game used to be held whole, however long.
// The read stops before a game or a line longer than the limit, the same way
// wherever the text is cut and however many threads read it.
TEST(ReadGames, StopsBeforeAGameOrLineLongerThanTheLimit) {
  constexpr std::size_t kLimit = 200;
  const std::pair<std::string, Stop> cases[] = {
      {"1. e4 {" + std::string(100, 'x') + "\n\n" + std::string(100, 'x') + "} e5 *\n",
       Stop::kGameTooLong},
      // A line that begins with more white space than the limit may never end.
      {"1. e4\n" + std::string(kLimit + 1, ' ') + "\n", Stop::kGameTooLong},
      {"%" + std::string(kLimit, 'x') + "\n", Stop::kLineTooLong},
  };
  for (const auto& [long_part, expected] : cases) {
    const std::string text = "[A \"1\"]\n1. d4 *\n\n" + long_part + "\n1. c4 *\n";
    const Stop stop = expected;  // clang before 16 lets no lambda capture a structured binding
    const auto expect_stop = [&](const ReadOutcome& outcome, const GameBatch& batch) {
      EXPECT_EQ(outcome.stop, stop);
      EXPECT_FALSE(outcome.finished);
      EXPECT_EQ(outcome.consumed, 17u);
      EXPECT_EQ(outcome.lines, 3u);
      EXPECT_EQ(describe_games(batch), "game at line 1\n  [A \"1\"]\n  moves d2d4\n  result *\n");
    };
    GameBatch whole;
    expect_stop(read_games(text, true, 0, whole, nullptr, kLimit), whole);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      GameBatch batch;
      const std::string_view head = std::string_view(text).substr(0, cut);
      ReadOutcome outcome = read_games(head, false, 0, batch, nullptr, kLimit);
      if (outcome.stop == Stop::kNeedMore) {
        const ReadOutcome rest = read_games(std::string_view(text).substr(outcome.consumed), true,
                                            outcome.lines, batch, nullptr, kLimit);
        outcome = {outcome.consumed + rest.consumed, outcome.lines + rest.lines, rest.finished,
                   rest.stop};
      }
      expect_stop(outcome, batch);
    }
    for (std::size_t min_piece : {1, 20}) {
      GameBatch batch;
      expect_stop(read_games_parallel(text, true, 0, 3, batch, min_piece, kLimit), batch);
    }
    GameBatch unlimited;
    EXPECT_TRUE(read_games(text, true, 0, unlimited).finished);
    EXPECT_EQ(unlimited.games.size(), stop == Stop::kGameTooLong ? 3u : 2u);
  }
}

TEST(ReadGames, StoppedEarlyBetweenGames) {
  const std::string text = test_text();
  StopFlag stop;
  stop.request();
  GameBatch batch;
  const ReadOutcome outcome = read_games(text, true, 0, batch, &stop);
  EXPECT_FALSE(outcome.finished);
  EXPECT_TRUE(batch.games.empty());
}

TEST(FindGameBoundary, IsATagLineAfterBlankLinesAfterAResult) {
  // A tag line right after the result, or after a blank line that follows no result, is no boundary.
  EXPECT_EQ(find_game_boundary("1. e4 1-0\n[A \"1\"]\n\n[B \"2\"]", 0), std::string_view::npos);
  EXPECT_EQ(find_game_boundary("1. e4 e5 1/2-1/2 \r\n \t\n\n[A \"1\"]", 0), 23u);
  EXPECT_EQ(find_game_boundary("1. e4 *\n\n[A \"1\"]\n\n1. d4 0-1\n\n[B", 0), 9u);
  EXPECT_EQ(find_game_boundary("1. e4 *\n\n[A \"1\"]\n\n1. d4 0-1\n\n[B", 10), 29u);
  EXPECT_EQ(find_game_boundary("\n\n[A \"1\"]", 0), std::string_view::npos);
}

}  // namespace
}  // namespace orvex::testing
