// How failures of the core become Python exceptions.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "base/panic.h"
#include "module/python.h"

namespace orvex::py {

// Returns the PanicException type (a BaseException), creating it on first
// need; null with an error set if it cannot be made. Every extension of the
// package shares the one type (kept in the interpreter's dictionary for
// extensions), whichever made it first.
PyObject* panic_exception();

// Sets PanicException with the message.
void set_panic(const char* message);

// Sets ValueError with the prefix followed by the detail, which is UTF-8 text
// that may hold NUL characters and lone surrogates.
void set_value_error(const char* prefix, std::string_view detail);

// Sets RuntimeError for a borrow conflict and returns null.
PyObject* borrow_error(const char* message);

// Runs body and returns its result; a C++ exception thrown inside becomes the
// matching Python exception and the result is failure.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const Panic& e) {
    set_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown internal failure");
  }
  return failure;
}

}  // namespace orvex::py
