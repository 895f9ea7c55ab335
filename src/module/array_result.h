// Array results: C-contiguous buffers with a shape and an item type, which
// numpy.asarray wraps without copying and memoryview reads without numpy.
//
// A new array is a memoryview of its item type and shape over the memory of
// module/array_memory.h, which owns the block. A caller's out= is any
// writable C-contiguous buffer of the right shape and item type; it is filled
// in place and returned.
#pragma once

#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "module/python.h"

namespace orvex::py {

// The item types of array results, each with its size in bytes.
enum class ItemType { kBool, kUint8, kInt16, kInt32, kInt64, kUint64, kInt8, kFloat32 };

// The array being filled by one call: a new one, or the caller's buffer.
// Releases whatever it holds when it goes out of scope.
class ArrayResult {
 public:
  ArrayResult() = default;
  ArrayResult(const ArrayResult&) = delete;
  ArrayResult& operator=(const ArrayResult&) = delete;
  ~ArrayResult();

  // Makes a new array of that item type and shape (only the first extent may
  // be 0); false with an error set.
  bool create(ItemType type, std::span<const Py_ssize_t> shape);

  // Makes a new array of that item type and shape over the items of a
  // vector, which it takes without copying them; false with an error set.
  template <class T>
  bool create_from(ItemType type, std::span<const Py_ssize_t> shape, std::vector<T>&& items) {
    if (items.empty()) return create(type, shape);
    auto* owner = new (std::nothrow) std::vector<T>(std::move(items));
    if (!owner) {
      PyErr_NoMemory();
      return false;
    }
    return create_over(type, shape, owner->data(), owner,
                       [](void* vector) { delete static_cast<std::vector<T>*>(vector); });
  }

  // Makes a new array of that item type and shape over data, which owner
  // keeps alive: the array takes owner over and deletes it when it goes
  // away; false with an error set (owner deleted).
  template <class Owner>
  bool create_owned(ItemType type, std::span<const Py_ssize_t> shape, void* data, std::unique_ptr<Owner> owner) {
    return create_over(type, shape, data, owner.release(), [](void* o) { delete static_cast<Owner*>(o); });
  }

  // Takes the caller's out= buffer, which must be writable, C-contiguous, of
  // that shape and of one of the accepted item types (the first is the one
  // named in messages). False with an error naming the function and the
  // parameter set: TypeError for a non-buffer or a wrong item type,
  // ValueError for a wrong shape, a read-only or a non-contiguous buffer.
  bool adopt(PyObject* out, const char* function, const char* parameter,
             std::initializer_list<ItemType> accepted, std::span<const Py_ssize_t> shape);

  // create() when out is null or None, else adopt().
  bool open(PyObject* out, const char* function, const char* parameter,
            std::initializer_list<ItemType> accepted, std::span<const Py_ssize_t> shape);

  // Where to write the items, in C order.
  void* data() const { return data_; }

  // Returns the array (a new reference) and lets go of the buffer.
  PyObject* finish();

 private:
  // create_from's work: an array over data, which release(owner) gives back.
  bool create_over(ItemType type, std::span<const Py_ssize_t> shape, void* data, void* owner,
                   void (*release)(void*));

  PyObject* result_ = nullptr;
  Py_buffer view_{};
  bool has_view_ = false;
  void* data_ = nullptr;
};

}  // namespace orvex::py
