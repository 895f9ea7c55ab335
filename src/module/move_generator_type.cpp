// MoveGenerator: called with a Board for its legal moves.
#include "module/move_generator_type.h"

#include <new>
#include <vector>

#include <structmember.h>

#include "module/arguments.h"
#include "module/board_type.h"
#include "module/errors.h"
#include "module/move_strings.h"
#include "module/owned_ref.h"
#include "move_generator/legal_moves.h"

namespace orvex::py {
namespace {

PyTypeObject* type_object = nullptr;

const Signature kNewSignature{"MoveGenerator", {}, 0};
const Signature kCallSignature{"MoveGenerator.__call__", {"board"}, 1};

PyObject* generator_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The first generator of the process builds the attack tables; every later
// one shares them.
PyObject* generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!extract_tuple(kNewSignature, args, kwargs, nullptr)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const AttackTables& tables = attack_tables();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    MoveGeneratorObject* object = as_generator(self);
    object->vectorcall = generator_call;
    object->tables = &tables;
    new (&object->borrow) BorrowFlag();
    return self;
  });
}

void generator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* generator_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* board_arg = nullptr;
  if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) {
    board_arg = args[0];  // the common call, generator(board)
  } else if (!extract_fastcall(kCallSignature, args, static_cast<Py_ssize_t>(nargsf), kwnames,
                               &board_arg)) {
    return nullptr;
  }
  if (!is_board(board_arg)) {
    PyErr_Format(PyExc_TypeError, "argument 'board': '%.200s' object cannot be converted to 'Board'",
                 Py_TYPE(board_arg)->tp_name);
    return nullptr;
  }
  BorrowGuard generator_borrow;
  if (const char* error = generator_borrow.share(as_generator(self)->borrow)) {
    return borrow_error(error);
  }
  BoardObject* board = as_board(board_arg);
  BorrowGuard board_borrow;
  if (const char* error = board_borrow.exclude(board->borrow)) return borrow_error(error);
  PyObject* result = guarded<PyObject*>(nullptr, [&] {
    MoveList moves;
    legal_moves(*as_generator(self)->tables, board->board, moves);
    return move_texts(moves);
  });
  generator_borrow.release();
  board_borrow.release();
  return result;
}

// Every concept's methods in one table, ended by the sentinel.
PyMethodDef* gathered_methods() {
  static std::vector<PyMethodDef> methods;
  if (methods.empty()) {
    for (auto part : {generator_pickle_methods(), generator_batch_methods(),
                      generator_tensor_methods(), generator_many_tensor_methods()}) {
      methods.insert(methods.end(), part.begin(), part.end());
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
  }
  return methods.data();
}

PyMemberDef generator_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(MoveGeneratorObject, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot generator_slots[] = {
    {Py_tp_doc, const_cast<char*>("MoveGenerator()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(generator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, generator_members},
    {Py_tp_methods, nullptr},  // filled in by move_generator_type()
    {0, nullptr},
};

PyType_Spec generator_spec = {
    "orvex_chess.MoveGenerator",
    sizeof(MoveGeneratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_VECTORCALL,
    generator_slots,
};

}  // namespace

PyTypeObject* move_generator_type() {
  if (!type_object) {
    for (PyType_Slot& slot : generator_slots) {
      if (slot.slot == Py_tp_methods) slot.pfunc = gathered_methods();
    }
    type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&generator_spec));
  }
  return type_object;
}

}  // namespace orvex::py
