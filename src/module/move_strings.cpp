#include "module/move_strings.h"

#include <array>
#include <string>

namespace orvex::py {
namespace {

// Indexed by from | to << 6 | promotion << 12, promotion 0 for none and 1 to 4
// for n, b, r, q. The strings live as long as the process.
std::array<PyObject*, 5 * 4096> cache{};

}  // namespace

PyObject* move_string(ChessMove move) {
  const int code = move.special();
  const int promotion = code >= kPromoteKnight ? code - kPromoteKnight + 1 : 0;
  if (code > kPromoteQueen) (void)move.text();  // throws: such codes have no text
  PyObject*& slot = cache[(move.value() & 0xFFF) | promotion << 12];
  if (!slot) {
    const std::string text = move.text();
    slot = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!slot) return nullptr;
  }
  return Py_NewRef(slot);
}

}  // namespace orvex::py
