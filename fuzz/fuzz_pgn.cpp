// The PGN reader on arbitrary bytes.
//
// The input is read as a whole, then again cut in two at a point chosen by its
// first byte (the first part read as text that goes on, the rest after it), and
// again cut into pieces that are read apart and stitched as the threads of
// read_games_parallel would. The three readings must give the same games and
// stop at the same place, without a limit on the length of a game and with one
// chosen by the second byte; every move of a game that replayed must be legal
// where it is played. Each reading sees a buffer of exactly its own size, so
// that a read past the end of the text is caught by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "board/make_move.h"
#include "fuzz_support.h"
#include "move_generator/legal_moves.h"
#include "pgn/reader.h"
#include "pgn/start_position.h"

namespace orvex::fuzz {
namespace {

using namespace orvex::pgn;

// A copy of the text in a buffer of exactly its size.
std::vector<char> exact_copy(std::string_view text) { return {text.begin(), text.end()}; }

std::string_view view(const std::vector<char>& buffer) { return {buffer.data(), buffer.size()}; }

bool too_long(Stop stop) { return stop == Stop::kGameTooLong || stop == Stop::kLineTooLong; }

// The games of a reading of the whole text, and where and why it stopped:
// at the end, or before a game or line longer than the limit.
std::string account(const GameBatch& batch, const ReadOutcome& outcome, std::string_view text) {
  ORVEX_CHECK(outcome.finished ? outcome.consumed == text.size() : too_long(outcome.stop),
              std::string(text));
  return describe_games(batch) + "stopped at " + std::to_string(outcome.consumed) + " line " +
         std::to_string(outcome.lines) + (outcome.finished ? "" : " before a long one") + "\n";
}

std::string read_whole(std::string_view text, std::size_t limit) {
  const std::vector<char> buffer = exact_copy(text);
  GameBatch batch;
  return account(batch, read_games(view(buffer), true, 0, batch, nullptr, limit), text);
}

std::string read_in_two(std::string_view text, std::size_t cut, std::size_t limit) {
  GameBatch batch;
  const std::vector<char> first = exact_copy(text.substr(0, cut));
  const ReadOutcome head = read_games(view(first), false, 0, batch, nullptr, limit);
  ORVEX_CHECK(!head.finished && head.consumed <= cut, std::string(text));
  if (too_long(head.stop)) return account(batch, head, text);
  const std::vector<char> rest = exact_copy(text.substr(head.consumed));
  const ReadOutcome tail = read_games(view(rest), true, head.lines, batch, nullptr, limit);
  return account(batch,
                 {head.consumed + tail.consumed, head.lines + tail.lines, tail.finished, tail.stop},
                 text);
}

std::string read_in_pieces(std::string_view text, unsigned pieces, std::size_t min_piece,
                           std::size_t limit) {
  const std::vector<char> buffer = exact_copy(text);
  PieceRead read(view(buffer), true, pieces, min_piece, limit);
  for (std::size_t i = read.pieces(); i-- > 0;) read.read_piece(i, nullptr);
  GameBatch batch;
  return account(batch, read.stitch(0, batch, nullptr), text);
}

// Replays every game that did not fail with the generator's own moves.
void check_moves(std::string_view text) {
  GameBatch batch;
  read_games(text, true, 0, batch);
  const AttackTables& tables = attack_tables();
  for (const GameRecord& g : batch.games) {
    if (g.failure != kNone) continue;
    Board board;
    if (g.start == kNone) {
      board = board_from_fen(kDefaultFen).value();
    } else {
      put_start(board, batch.starts[g.start]);
    }
    for (std::uint32_t i = 0; i < g.move_count; ++i) {
      const ChessMove move = batch.moves[g.first_move + i];
      MoveList legal;
      legal_moves(tables, board, legal);
      bool found = false;
      for (ChessMove m : legal) found = found || m == move;
      ORVEX_CHECK(found, move.text() + " in " + describe(board));
      ORVEX_CHECK(push_move(board, move) == PushOutcome::kMade, move.text());
    }
  }
}

}  // namespace
}  // namespace orvex::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)orvex::attack_tables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvex::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = size == 0 ? 0 : (data[0] * size) / 255;
  const unsigned pieces = 2 + (size == 0 ? 0 : data[size - 1] % 6);
  const std::size_t limits[] = {kNoLimit, size < 2 ? kNoLimit : 1 + (data[1] * size) / 255};
  for (const std::size_t limit : limits) {
    const std::string whole = read_whole(text, limit);
    const std::string in_two = read_in_two(text, cut, limit);
    ORVEX_CHECK(in_two == whole, "cut at " + std::to_string(cut) + "\n" + whole + "---\n" + in_two);
    const std::string in_pieces = read_in_pieces(text, pieces, 1 + size / 16, limit);
    ORVEX_CHECK(in_pieces == whole,
                std::to_string(pieces) + " pieces\n" + whole + "---\n" + in_pieces);
  }
  check_moves(text);
  return 0;
}
