// MoveGenerator's pickle protocol: a generator holds nothing of its own.
#include "module/move_generator_type.h"

namespace orvex::py {
namespace {

// Returns (MoveGenerator, ()): a generator is pickled and copied by making a
// new one, which shares the process's tables and gives the same moves.
PyObject* generator_reduce(PyObject* self, PyObject*) {
  return Py_BuildValue("O()", reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

const PyMethodDef kMethods[] = {
    {"__reduce__", generator_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> generator_pickle_methods() { return kMethods; }

}  // namespace orvex::py
