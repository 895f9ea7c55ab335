// A position and a program of operations on it (see program.h).
//
// Input: FEN text, the byte '|', then the program. Without '|' the whole input
// is the FEN; an empty FEN part stands for the start position. Texts that do
// not read are left to the FEN harness.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "board/fen.h"
#include "base/panic.h"
#include "program.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)orvex::fuzz::tables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvex;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t bar = input.find('|');
  std::string_view fen = input.substr(0, bar);
  const std::string_view code = bar == std::string_view::npos ? std::string_view() : input.substr(bar + 1);
  if (fen.empty()) fen = kDefaultFen;

  Board board;
  try {
    Parsed<Board> parsed = board_from_fen(fen);
    if (!parsed.ok()) return 0;
    board = std::move(parsed.value());
  } catch (const Panic&) {
    return 0;
  }
  fuzz::Program(std::move(board), code).run();
  return 0;
}
