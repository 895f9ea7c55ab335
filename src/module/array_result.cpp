#include "module/array_result.h"

#include <bit>
#include <cstring>
#include <string>

#include "module/array_memory.h"
#include "module/owned_ref.h"

namespace orvex::py {
namespace {

struct ItemInfo {
  char code;           // the struct module's native code
  const char* format;  // the same as the format of new arrays
  Py_ssize_t size;
  char kind;  // '?' bool, 'u' unsigned integer, 'i' signed integer, 'f' float
  const char* name;
};

constexpr ItemInfo kItems[] = {
    {'?', "?", 1, '?', "bool"},
    {'B', "B", 1, 'u', "uint8"},
    {'h', "h", 2, 'i', "int16"},
    {'i', "i", 4, 'i', "int32"},
    {'q', "q", 8, 'i', "int64"},
    {'Q', "Q", 8, 'u', "uint64"},
    {'b', "b", 1, 'i', "int8"},
    {'f', "f", 4, 'f', "float32"},
};

const ItemInfo& info(ItemType type) { return kItems[static_cast<int>(type)]; }

// Whether a buffer's format and item size describe the item type: any
// spelling of the same kind and size in the machine's byte order ('B', '<B',
// '=B'; 'Q', '<Q', and on LP64 'L' for uint64; '?').
bool format_matches(const char* format, Py_ssize_t itemsize, ItemType type) {
  const ItemInfo& item = info(type);
  if (!format) format = "B";
  const bool little = std::endian::native == std::endian::little;
  switch (*format) {
    case '@': case '=': ++format; break;
    case '<': if (!little && item.size > 1) return false; ++format; break;
    case '>': case '!': if (little && item.size > 1) return false; ++format; break;
    default: break;
  }
  if (format[0] == '\0' || format[1] != '\0' || itemsize != item.size) return false;
  const char code = format[0];
  if (item.kind == '?' || item.kind == 'f') return code == item.code;
  if (item.kind == 'u') return std::strchr("BHILQN", code) != nullptr;
  return std::strchr("bhilqn", code) != nullptr;
}

std::string shape_text(const Py_ssize_t* shape, int ndim) {
  std::string text = "(";
  for (int i = 0; i < ndim; ++i) {
    if (i) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + (ndim == 1 ? ",)" : ")");
}

}  // namespace

ArrayResult::~ArrayResult() {
  if (has_view_) PyBuffer_Release(&view_);
  Py_XDECREF(result_);
}

bool ArrayResult::create(ItemType type, std::span<const Py_ssize_t> shape) {
  const ItemInfo& item = info(type);
  OwnedRef memory(new_array_memory(item.format, item.size, shape, &data_));
  if (memory.empty()) return false;
  result_ = PyMemoryView_FromObject(memory.get());
  return result_ != nullptr;
}

bool ArrayResult::create_over(ItemType type, std::span<const Py_ssize_t> shape, void* data, void* owner,
                              void (*release)(void*)) {
  const ItemInfo& item = info(type);
  OwnedRef memory(new_array_over(item.format, item.size, shape, data, owner, release));
  if (memory.empty()) return false;
  data_ = data;
  result_ = PyMemoryView_FromObject(memory.get());
  return result_ != nullptr;
}

bool ArrayResult::adopt(PyObject* out, const char* function, const char* parameter,
                        std::initializer_list<ItemType> accepted, std::span<const Py_ssize_t> shape) {
  const ItemInfo& expected = info(*accepted.begin());
  const std::string wanted = shape_text(shape.data(), static_cast<int>(shape.size()));
  if (!PyObject_CheckBuffer(out)) {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument '%s' must be a writable buffer of %s items with shape %s (such as a "
                 "numpy array), not %.200s",
                 function, parameter, expected.name, wanted.c_str(), Py_TYPE(out)->tp_name);
    return false;
  }
  if (PyObject_GetBuffer(out, &view_, PyBUF_RECORDS_RO) != 0) return false;
  has_view_ = true;
  if (view_.readonly) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be writable, but the buffer is read-only",
                 function, parameter);
    return false;
  }
  bool type_ok = false;
  for (ItemType type : accepted) type_ok = type_ok || format_matches(view_.format, view_.itemsize, type);
  if (!type_ok) {
    std::string names;
    for (ItemType type : accepted) {
      if (!names.empty()) names += " or ";
      names += std::string(info(type).name) + " ('" + info(type).code + "')";
    }
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold %s items, not format '%s' of %zd bytes",
                 function, parameter, names.c_str(), view_.format ? view_.format : "B", view_.itemsize);
    return false;
  }
  bool shape_ok = view_.ndim == static_cast<int>(shape.size());
  for (int i = 0; shape_ok && i < view_.ndim; ++i) shape_ok = view_.shape[i] == shape[i];
  if (!shape_ok) {
    const Py_ssize_t flat = view_.len / view_.itemsize;
    // A buffer without a shape is flat, unless it has no dimension (a 0-d array).
    const std::string given = view_.shape || view_.ndim == 0 ? shape_text(view_.shape, view_.ndim)
                                                             : shape_text(&flat, 1);
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must have shape %s, not %s", function, parameter,
                 wanted.c_str(), given.c_str());
    return false;
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be C-contiguous", function, parameter);
    return false;
  }
  data_ = view_.buf;
  result_ = Py_NewRef(out);
  return true;
}

bool ArrayResult::open(PyObject* out, const char* function, const char* parameter,
                       std::initializer_list<ItemType> accepted, std::span<const Py_ssize_t> shape) {
  return out && out != Py_None ? adopt(out, function, parameter, accepted, shape) : create(*accepted.begin(), shape);
}

PyObject* ArrayResult::finish() {
  if (has_view_) {
    PyBuffer_Release(&view_);
    has_view_ = false;
  }
  PyObject* result = result_;
  result_ = nullptr;
  return result;
}

}  // namespace orvex::py
