#include "module/move_strings.h"

#include <array>
#include <string>

#include "module/owned_ref.h"

namespace orvex::py {
namespace {

// Indexed by the move code itself (special codes 0 to 7); the codes of en
// passant, double push and castling share the string of the ordinary code.
// Each slot holds a reference that lives as long as the process.
std::array<PyObject*, 1 << 15> cache{};

// Makes the string of a move whose slot is empty; returns it borrowed, or
// null with an error set.
PyObject* fill(ChessMove move) {
  const std::uint16_t code = move.value();
  const int special = move.special();
  if (special >= kEnPassant && special <= kCastling) {
    PyObject* plain = cache[code & 0xFFF];
    if (!plain) plain = fill(ChessMove(code & 0xFFF));
    if (!plain) return nullptr;
    cache[code] = Py_NewRef(plain);
    return plain;
  }
  const std::string text = move.text();
  PyObject* made = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  cache[code] = made;
  return made;
}

// Returns the move's string, borrowed, or null with an error set.
PyObject* cached(ChessMove move) {
  if (move.value() >> 15) (void)move.text();  // throws: such codes have no text
  PyObject* text = cache[move.value()];
  return text ? text : fill(move);
}

}  // namespace

PyObject* move_string(ChessMove move) {
  PyObject* text = cached(move);
  return text ? Py_NewRef(text) : nullptr;
}

PyObject* move_texts(std::span<const ChessMove> moves) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(moves.size());
  OwnedRef list(PyList_New(n));
  if (list.empty()) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* text = cached(moves[static_cast<std::size_t>(i)]);
    if (!text) return nullptr;
    PyList_SET_ITEM(list.get(), i, Py_NewRef(text));
  }
  return list.release();
}

}  // namespace orvex::py
