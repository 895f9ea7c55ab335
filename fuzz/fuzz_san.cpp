// SAN on arbitrary positions and texts.
//
// Input: FEN text, the byte '|', then a SAN text (without '|', the whole input
// is the FEN and the text is empty; an empty FEN stands for the start
// position). Checked:
//   - on a board without shared squares, every legal move writes SAN that
//     read_san reads and match_san finds as that very move;
//   - match_san and parse_san agree on the text (the same move, or a failure
//     with a message), never throw, and a move found is a legal move;
//   - the board is left exactly as it was.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "move_generator/legal_moves.h"
#include "notation/san.h"

namespace orvex::fuzz {
namespace {

const AttackTables& tables() { return attack_tables(); }

bool contains(const MoveList& moves, ChessMove move) {
  for (ChessMove m : moves) {
    if (m == move) return true;
  }
  return false;
}

void check_round_trips(Board& board, const MoveList& legal) {
  if (has_shared_square(board)) return;
  for (ChessMove move : legal) {
    std::string san;
    write_san(tables(), board, move, san);
    SanText parts;
    ORVEX_CHECK(read_san(san, parts), san + " in " + describe(board));
    ChessMove found;
    const SanStatus status = match_san(tables(), board, san, found);
    ORVEX_CHECK(status == SanStatus::kFound && found == move,
                move.text() + " wrote " + san + " in " + describe(board));
  }
}

void check_text(Board& board, const MoveList& legal, std::string_view text) {
  ChessMove found;
  const SanStatus status = match_san(tables(), board, text, found);
  const Parsed<ChessMove> parsed = parse_san(tables(), board, text);
  const std::string where = "text '" + std::string(text) + "' in " + describe(board);
  ORVEX_CHECK((status == SanStatus::kFound) == parsed.ok(), where);
  if (parsed.ok()) {
    ORVEX_CHECK(parsed.value() == found, where);
    ORVEX_CHECK(contains(legal, found), where);
  } else {
    ORVEX_CHECK(!parsed.error().empty(), where);
  }
  if (has_shared_square(board)) ORVEX_CHECK(status != SanStatus::kFound, where);
}

}  // namespace
}  // namespace orvex::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)orvex::attack_tables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvex;
  std::string_view text;
  std::optional<Board> read =
      fuzz::board_and_rest(std::string_view(reinterpret_cast<const char*>(data), size), text);
  if (!read) return 0;
  Board& board = *read;
  const Board before = board;
  MoveList legal;
  legal_moves(attack_tables(), board, legal);
  fuzz::check_round_trips(board, legal);
  fuzz::check_text(board, legal, text);
  ORVEX_CHECK(board == before, fuzz::describe(board));
  return 0;
}
