// Board: the type object, construction from FEN text, deallocation and repr.
#include "module/board_type.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "board/chess960.h"
#include "board/fen.h"
#include "module/arguments.h"
#include "module/owned_ref.h"

namespace orvex::py {
namespace {

PyTypeObject* type_object = nullptr;

// A new Board object of type whose record and flag are still to be made, or
// null with MemoryError set. Unlike tp_alloc it does not zero the memory
// first: the record's constructor writes all of it anyway.
PyObject* allocate(PyTypeObject* type) {
  void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
  if (!memory) return PyErr_NoMemory();
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

const Signature kNewSignature{"Board", {"fen", "chess960"}, 0, 1};

// Reads the fen argument (null: the default) into a new board of type, with
// the Chess960 castling rules when chess960_arg is true.
PyObject* board_from_argument(PyTypeObject* type, PyObject* fen_arg, PyObject* chess960_arg = nullptr) {
  std::string_view fen = kDefaultFen;
  OwnedRef keep;
  if (fen_arg && (!require_str(kNewSignature, "fen", fen_arg) || !utf8_text(fen_arg, fen, keep))) {
    return nullptr;
  }
  bool chess960 = false;
  if (chess960_arg && !read_bool(kNewSignature, "chess960", chess960_arg, false, chess960)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    // The common text is read straight into the new object's record.
    OwnedRef self(allocate(type));
    if (self.empty()) return nullptr;
    new (&as_board(self.get())->board) Board();
    new (&as_board(self.get())->borrow) BorrowFlag();
    Board& board = as_board(self.get())->board;
    if (chess960 || !read_common_fen(fen, board)) {
      Parsed<Board> parsed = chess960 ? board_from_fen_chess960(fen) : board_from_fen_general(fen);
      if (!parsed.ok()) {
        set_value_error("Invalid fen: ", parsed.error());
        return nullptr;
      }
      board = std::move(parsed.value());
    }
    return self.release();
  });
}

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* given[2] = {nullptr, nullptr};
  if (!extract_tuple(kNewSignature, args, kwargs, given)) return nullptr;
  return board_from_argument(type, given[0], given[1]);
}

// Board(...) without building an argument tuple.
PyObject* board_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* given[2] = {nullptr, nullptr};
  if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) {
    given[0] = args[0];  // the common call, Board(fen)
  } else if (!extract_fastcall(kNewSignature, args, static_cast<Py_ssize_t>(nargsf), kwnames, given)) {
    return nullptr;
  }
  return board_from_argument(reinterpret_cast<PyTypeObject*>(type), given[0], given[1]);
}

void board_dealloc(PyObject* self) {
  as_board(self)->board.~Board();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Returns "Board('<fen>')", which rebuilds the position (the history aside).
PyObject* board_repr(PyObject* self) {
  return with_board(self, Access::kShared, [](Board& board) -> PyObject* {
    const std::string fen = board_fen(board);
    OwnedRef text(PyUnicode_FromStringAndSize(fen.data(), static_cast<Py_ssize_t>(fen.size())));
    if (text.empty()) return nullptr;
    return PyUnicode_FromFormat(board.chess960 ? "Board(%R, chess960=True)" : "Board(%R)", text.get());
  });
}

// Every concept's methods in one table, ended by the sentinel.
PyMethodDef* gathered_methods() {
  static std::vector<PyMethodDef> methods;
  if (methods.empty()) {
    for (auto part : {board_position_methods(), board_pickle_methods(), board_san_methods(),
                      board_keys_methods(), board_tensor_methods(), board_rules_methods()}) {
      methods.insert(methods.end(), part.begin(), part.end());
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
  }
  return methods.data();
}

PyType_Slot board_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Board(fen=\"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -\", *, chess960=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(board_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(board_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(board_repr)},
    {Py_tp_methods, nullptr},  // filled in by board_type()
    {0, nullptr},
};

PyType_Spec board_spec = {
    "orvex_chess.Board",
    sizeof(BoardObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    board_slots,
};

}  // namespace

PyTypeObject* board_type() {
  if (!type_object) {
    for (PyType_Slot& slot : board_slots) {
      if (slot.slot == Py_tp_methods) slot.pfunc = gathered_methods();
    }
    type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&board_spec));
    // Calls of the class go straight to the constructor (the class cannot
    // be subclassed, so no other type reaches it).
    if (type_object) type_object->tp_vectorcall = board_vectorcall;
  }
  return type_object;
}

bool is_board(PyObject* object) { return type_object && Py_IS_TYPE(object, type_object); }

PyObject* wrap_board(PyTypeObject* type, Board&& record) {
  PyObject* self = allocate(type);
  if (!self) return nullptr;
  BoardObject* object = as_board(self);
  new (&object->board) Board(std::move(record));
  new (&object->borrow) BorrowFlag();
  return self;
}

PyObject* new_board(Board&& record) {
  PyTypeObject* type = board_type();
  if (!type) {
    PyErr_Print();
    set_panic("failed to create type object for Board");
    return nullptr;
  }
  return wrap_board(type, std::move(record));
}

}  // namespace orvex::py
