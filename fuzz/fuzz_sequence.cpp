// A position and a program of operations on it (see program.h).
//
// Input: FEN text, the byte '|', then the program. Without '|' the whole input
// is the FEN; an empty FEN part stands for the start position. Texts that do
// not read are left to the FEN harness.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "program.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)orvex::fuzz::tables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvex;
  std::string_view code;
  std::optional<Board> board =
      fuzz::board_and_rest(std::string_view(reinterpret_cast<const char*>(data), size), code);
  if (!board) return 0;
  fuzz::Program(std::move(*board), code).run();
  return 0;
}
