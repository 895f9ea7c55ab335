#include "module/errors.h"

namespace orvex::py {

PyObject* panic_exception() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "orvex_chess.PanicException",
        "A broken internal check of orvex_chess. Derived from BaseException, so "
        "'except Exception' does not catch it.",
        PyExc_BaseException, nullptr);
  }
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
