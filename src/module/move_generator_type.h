// The Python class MoveGenerator: its object layout and the helpers its
// methods share.
#pragma once

#include <span>

#include "module/borrow.h"
#include "module/python.h"
#include "move_generator/attack_tables.h"

namespace orvex::py {

struct MoveGeneratorObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  // The process's tables, shared by every generator.
  const AttackTables* tables;
  BorrowFlag borrow;
};

inline MoveGeneratorObject* as_generator(PyObject* self) {
  return reinterpret_cast<MoveGeneratorObject*>(self);
}

// Returns the MoveGenerator type, creating it on first need; null with an
// error set if it cannot be created. The type lives as long as the process.
PyTypeObject* move_generator_type();

// The method tables of MoveGenerator's concepts, gathered by the type in this order.
std::span<const PyMethodDef> generator_pickle_methods();
std::span<const PyMethodDef> generator_tensor_methods();
std::span<const PyMethodDef> generator_batch_methods();
std::span<const PyMethodDef> generator_many_tensor_methods();

}  // namespace orvex::py
