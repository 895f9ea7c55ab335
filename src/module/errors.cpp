#include "module/errors.h"

namespace orvex::py {

// The key under which the interpreter's dictionary for extensions keeps the
// type, so that orvex_chess and the extensions of orvex_tools, each with its
// own copy of this code, raise one and the same class.
constexpr const char* kPanicKey = "orvex_chess.PanicException";

PyObject* panic_exception() {
  static PyObject* type = nullptr;
  if (type) return type;
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!shared) return nullptr;
  PyObject* found = PyDict_GetItemString(shared, kPanicKey);  // borrowed
  if (found) {
    type = Py_NewRef(found);
    return type;
  }
  PyObject* made = PyErr_NewExceptionWithDoc(
      kPanicKey,
      "A broken internal check of orvex_chess. Derived from BaseException, so "
      "'except Exception' does not catch it.",
      PyExc_BaseException, nullptr);
  if (!made) return nullptr;
  if (PyDict_SetItemString(shared, kPanicKey, made) < 0) {
    Py_DECREF(made);
    return nullptr;
  }
  type = made;
  return type;
}

void set_panic(const char* message) {
  PyObject* type = panic_exception();
  if (type) PyErr_SetString(type, message);
}

void set_value_error(const char* prefix, std::string_view detail) {
  std::string text(prefix);
  text += detail;
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (!message) return;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
}

PyObject* borrow_error(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  return nullptr;
}

}  // namespace orvex::py
