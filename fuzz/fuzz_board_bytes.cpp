// Reading a Board record back from bytes (what unpickling a Board does), on
// arbitrary bytes.
//
// board_from_bytes must return a board or an error for every input and never
// throw. A board it returns must write back to exactly the same bytes (bytes of
// an earlier format: to the same record in the current format), keep
// its undo stacks in step with its history, pop that whole history, and go
// through a fixed program of operations (see program.h) with every invariant
// holding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "board/board_bytes.h"
#include "fuzz_support.h"
#include "program.h"

namespace {

// Check generation, walk, copy, FEN and bytes round trips, raw codes, pops.
constexpr char kProgram[] =
    "\x02\x08\x05\x03\x04\x07\x09\x05\x0c\x07\x02\x01\x02\x03\x02\x00\x11\x02\x09\x01\x01";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)orvex::fuzz::tables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvex;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Parsed<Board> parsed = ParseError{""};
  try {
    parsed = board_from_bytes(bytes);
  } catch (const std::exception& e) {
    fuzz::fail("board_from_bytes threw", e.what());
  }
  if (!parsed.ok()) {
    ORVEX_CHECK(!parsed.error().empty(), "an error without a message");
    return 0;
  }
  const Board& board = parsed.value();
  ORVEX_CHECK(fuzz::history_consistent(board), fuzz::describe(board));
  // Bytes of the current format are written back unchanged; those of an
  // earlier one in the current format, which reads back to the same board.
  if (static_cast<unsigned char>(bytes[kBoardBytesMagic.size()]) == kBoardBytesVersion) {
    ORVEX_CHECK(board_to_bytes(board) == bytes, fuzz::describe(board));
  } else {
    Parsed<Board> again = board_from_bytes(board_to_bytes(board));
    ORVEX_CHECK(again.ok() && again.value() == board, fuzz::describe(board));
  }

  Board unwound = board;
  while (!unwound.move_history.empty()) pop_move(unwound);
  for (const auto& stack : unwound.piece_history) ORVEX_CHECK(stack.empty(), fuzz::describe(board));

  fuzz::Program(board, std::string_view(kProgram, sizeof kProgram - 1)).run();
  return 0;
}
