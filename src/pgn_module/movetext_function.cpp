#include "pgn_module/movetext_function.h"

#include <string>
#include <string_view>

#include "board/chess960.h"
#include "board/fen.h"
#include "module/arguments.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "pgn/movetext.h"

namespace orvex::py {
namespace {

const Signature kMovetextSignature{"movetext", {"start", "number", "moves", "result", "chess960"}, 4};

// The ASCII text of a str, or false (with no error set) for anything else.
bool ascii_text(PyObject* item, std::string_view& text) {
  if (!PyUnicode_Check(item)) return false;
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(item, &size);
  if (!data) {  // lone surrogates: not a move either
    PyErr_Clear();
    return false;
  }
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// movetext(start, number, moves, result, chess960=False) -> str | tuple[int, object]
PyObject* movetext(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[5] = {};
  bool chess960 = false;
  if (!extract_fastcall(kMovetextSignature, args, nargs, kwnames, given) ||
      !read_bool(kMovetextSignature, "chess960", given[4], false, chess960)) {
    return nullptr;
  }
  std::string_view start, number, result;
  OwnedRef keep[3];
  const std::pair<const char*, std::string_view*> texts[] = {
      {"start", &start}, {"number", &number}, {"result", &result}};
  for (int i = 0; i < 3; ++i) {
    PyObject* value = given[i == 2 ? 3 : i];
    if (!require_str(kMovetextSignature, texts[i].first, value) ||
        !utf8_text(value, *texts[i].second, keep[i])) {
      return nullptr;
    }
  }
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) {
    set_value_error("movetext() argument 'number' must be decimal digits, not ", number);
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Parsed<Board> board = chess960 ? board_from_fen_chess960(start) : board_from_fen(start);
    if (!board.ok()) {
      set_value_error("Invalid fen: ", board.error());
      return nullptr;
    }
    std::string out;
    pgn::MovetextWriter writer(attack_tables(), board.value(), number, out);
    OwnedRef iterator(PyObject_GetIter(given[2]));
    if (iterator.empty()) return nullptr;
    for (Py_ssize_t ply = 0;; ++ply) {
      OwnedRef item(PyIter_Next(iterator.get()));
      if (item.empty()) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      std::string_view move;
      if (!ascii_text(item.get(), move) || !writer.add(move)) {
        return Py_BuildValue("(nO)", ply, item.get());
      }
    }
    writer.finish(result);
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
  });
}

PyMethodDef kFunctions[] = {
    {"movetext", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(movetext)),
     METH_FASTCALL | METH_KEYWORDS,
     "movetext(start, number, moves, result, chess960=False) -> str | tuple[int, object]\n--\n\n"
     "The movetext of a game from the start FEN (of a Chess960 board with chess960) whose move number is the decimal text number: "
     "SAN with move numbers in lines of at most 80 characters, ended by result. The moves are "
     "taken one by one from the iterable moves, in coordinate notation as MoveGenerator writes "
     "them; at the first item that is not such a legal move, (its place, the item) is returned "
     "instead."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> movetext_functions() { return kFunctions; }

}  // namespace orvex::py
