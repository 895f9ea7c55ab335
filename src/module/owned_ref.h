// An owned reference to a Python object, released when it goes out of scope.
#pragma once

#include "module/python.h"

namespace orvex::py {

class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* object) : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller.
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  void reset(PyObject* object = nullptr) {
    PyObject* old = object_;
    object_ = object;
    Py_XDECREF(old);
  }
  bool empty() const { return object_ == nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace orvex::py
