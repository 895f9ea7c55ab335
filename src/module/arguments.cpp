#include "module/arguments.h"

#include <algorithm>
#include <cstring>

#include "base/excerpt.h"

namespace orvex::py {
namespace {

bool too_many(const Signature& sig, Py_ssize_t given) {
  const Py_ssize_t most = static_cast<Py_ssize_t>(sig.parameters.size());
  if (most == 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", sig.function, given);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd argument%s (%zd given)", sig.function,
                 sig.required == most ? "exactly" : "at most", most, most == 1 ? "" : "s", given);
  }
  return false;
}

// Places one keyword argument; false with TypeError set if it does not fit.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t positional,
                   PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  Py_ssize_t index = 0;
  for (const char* name : sig.parameters) {
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
      if (index < positional || out[index]) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                     sig.function, name, index + 1);
        return false;
      }
      out[index] = value;
      return true;
    }
    ++index;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
  return false;
}

bool check_required(const Signature& sig, PyObject** out) {
  Py_ssize_t index = 0;
  for (const char* name : sig.parameters) {
    if (index < sig.required && !out[index]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.function,
                   name, index + 1);
      return false;
    }
    ++index;
  }
  return true;
}

}  // namespace

bool extract_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t count = static_cast<Py_ssize_t>(sig.parameters.size());
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > count) return too_many(sig, nargs + nkw);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs, out)) return false;
  }
  return check_required(sig, out);
}

bool extract_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t count = static_cast<Py_ssize_t>(sig.parameters.size());
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nargs > count) return too_many(sig, nargs + nkw);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (nkw) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, nargs, out)) return false;
    }
  }
  return check_required(sig, out);
}

bool require_str(const Signature& sig, const char* parameter, PyObject* value) {
  if (PyUnicode_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", sig.function,
               parameter, Py_TYPE(value)->tp_name);
  return false;
}

bool utf8_text(PyObject* str, std::string_view& text, OwnedRef& keep) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
    text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  keep.reset(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (keep.empty()) return false;
  text = std::string_view(PyBytes_AS_STRING(keep.get()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(keep.get())));
  return true;
}

bool extract_text(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                  PyObject* kwnames, TextArgument& out) {
  return extract_fastcall(sig, args, nargsf, kwnames, &out.object) &&
         require_str(sig, *sig.parameters.begin(), out.object) &&
         utf8_text(out.object, out.text, out.keep);
}

bool extract_short_text(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames, Py_ssize_t longest, TextArgument& out) {
  if (!extract_fastcall(sig, args, nargsf, kwnames, &out.object) ||
      !require_str(sig, *sig.parameters.begin(), out.object)) {
    return false;
  }
  if (PyUnicode_GET_LENGTH(out.object) <= longest) return utf8_text(out.object, out.text, out.keep);
  const Py_ssize_t head_length =
      std::max(longest, static_cast<Py_ssize_t>(kExcerptCharacters)) + 1;
  OwnedRef head(PyUnicode_Substring(out.object, 0, head_length));
  if (head.empty() || !utf8_text(head.get(), out.text, out.keep)) return false;
  out.keep_head = std::move(head);
  return true;
}

}  // namespace orvex::py
