// The module orvex_chess: its two classes, registered once per process.
#include "module/board_type.h"
#include "module/errors.h"
#include "module/move_generator_type.h"
#include "module/python.h"

namespace {

PyObject* module_once = nullptr;

// m_size 0 keeps the interpreter from copying the module on a re-import, so a
// second initialisation reaches PyInit and is refused there.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orvex_chess",
    "Fast, exact chess move generation: Board and MoveGenerator.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (!type) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace

PyMODINIT_FUNC PyInit_orvex_chess() {
  if (module_once) {
    PyErr_SetString(PyExc_ImportError,
                    "orvex_chess may be initialised only once per interpreter process");
    return nullptr;
  }
  if (!orvex::py::panic_exception()) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  if (add_type(module, "Board", orvex::py::board_type()) < 0 ||
      add_type(module, "MoveGenerator", orvex::py::move_generator_type()) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  module_once = module;
  return Py_NewRef(module);
}
