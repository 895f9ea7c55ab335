// The memory of a new array result: a block owned by a small Python object
// that exports it through the buffer protocol, with its item type and shape,
// so that memoryview (and through it numpy) wraps it without copying. The
// block lives as long as the object, which every view of it keeps alive.
//
// Small blocks follow the object in one allocation. Large ones are mapped
// apart, in huge pages where the system has them, and a few of them are kept
// for reuse when their object goes away: a new mapping faults on every page
// it touches, and in the kernel's time to clear those pages a large array
// cost several times what filling it cost (see ArrayMemory in the .cpp).
#pragma once

#include <span>

#include "module/python.h"

namespace orvex::py {

// The most dimensions an array has.
inline constexpr int kMostArrayDims = 4;

// Returns a new writable, C-contiguous buffer object of the item format (a
// struct module code such as "B" or "Q", a string that lives forever),
// itemsize and shape (at most kMostArrayDims extents; any may be 0), with
// *data set to where its items start. The items are not cleared. Null with
// MemoryError set when there is no memory for it. Call with the lock held.
PyObject* new_array_memory(const char* format, Py_ssize_t itemsize, std::span<const Py_ssize_t> shape,
                           void** data);

// Returns a new buffer object like new_array_memory's over data, which it
// does not copy: data belongs to owner, and release(owner) runs when the
// object goes away, or at once when there is no memory for the object (null
// with MemoryError set). Call with the lock held.
PyObject* new_array_over(const char* format, Py_ssize_t itemsize, std::span<const Py_ssize_t> shape,
                         void* data, void* owner, void (*release)(void*));

}  // namespace orvex::py
