#include "module/array_memory.h"

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "base/platform.h"

namespace orvex::py {
namespace {

// The object: its buffer's description, and the block. A small block follows
// the object in the same allocation; a large one is a mapping of its own; a
// block taken over (new_array_over) belongs to its owner.
struct ArrayMemoryObject {
  PyObject_HEAD
  void* data;
  std::size_t mapped;  // the bytes of data's mapping; 0 when data follows the object
  // When not null, data belongs to owner, and release(owner) gives it back.
  void* owner;
  void (*release)(void*);
  Py_ssize_t len;
  Py_ssize_t itemsize;
  const char* format;
  int ndim;
  Py_ssize_t shape[kMostArrayDims];
  Py_ssize_t strides[kMostArrayDims];
};

ArrayMemoryObject* as_memory(PyObject* self) { return reinterpret_cast<ArrayMemoryObject*>(self); }

// Where the items of a small block start: past the object, at a multiple of
// 64 bytes, so as aligned as the allocation itself (16 bytes).
constexpr std::size_t kInlineOffset = (sizeof(ArrayMemoryObject) + 63) / 64 * 64;

// Large blocks. From this size on a block is a mapping of its own
// (map_large_block), as numpy maps its large arrays: in huge pages where the
// system has them, so that a new block faults once per huge page rather than
// once per 4 KiB page (a fault costs far more than clearing its page, and
// above 32 MiB glibc maps every block afresh, so every call paid it in full).
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

// Blocks whose objects went away, kept for the next arrays: the memory of an
// array dropped after use (a batch per training step) is filled again
// without a fault. At most kKeptBlocks of them, kMostKeptBytes together; the
// oldest are given back first. Guarded by the interpreter lock, which every
// caller holds.
constexpr std::size_t kKeptBlocks = 4;
constexpr std::size_t kMostKeptBytes = std::size_t{512} << 20;

struct Block {
  void* data;
  std::size_t bytes;
};
Block kept[kKeptBlocks];  // oldest first
std::size_t kept_count = 0;
std::size_t kept_bytes = 0;

void unmap(const Block& block) { unmap_large_block(block.data, block.bytes); }

void drop_kept(std::size_t index) {
  kept_bytes -= kept[index].bytes;
  for (std::size_t i = index + 1; i < kept_count; ++i) kept[i - 1] = kept[i];
  --kept_count;
}

// A block of at least bytes (a multiple of kLargePage): the smallest kept one
// that is large enough and no more than twice the size, its tail given back
// where the system can, or a new mapping. Its data is null when there is no
// memory.
Block take_block(std::size_t bytes) {
  std::size_t best = kept_count;
  for (std::size_t i = 0; i < kept_count; ++i) {
    const std::size_t size = kept[i].bytes;
    if (size >= bytes && size / 2 <= bytes && (best == kept_count || size < kept[best].bytes)) best = i;
  }
  if (best == kept_count) return {map_large_block(bytes), bytes};
  Block block = kept[best];
  drop_kept(best);
  block.bytes = trim_large_block(block.data, block.bytes, bytes);
  return block;
}

void give_back(const Block& block) {
  if (block.bytes > kMostKeptBytes) {
    unmap(block);
    return;
  }
  while (kept_count == kKeptBlocks || kept_bytes + block.bytes > kMostKeptBytes) {
    unmap(kept[0]);
    drop_kept(0);
  }
  kept[kept_count++] = block;
  kept_bytes += block.bytes;
}

void memory_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ArrayMemoryObject* memory = as_memory(self);
  if (memory->mapped) give_back({memory->data, memory->mapped});
  if (memory->release) memory->release(memory->owner);
  PyObject_Free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

int memory_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  ArrayMemoryObject* memory = as_memory(self);
  view->obj = Py_NewRef(self);
  view->buf = memory->data;
  view->len = memory->len;
  view->readonly = 0;
  view->itemsize = memory->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(memory->format) : nullptr;
  if ((flags & PyBUF_ND) == PyBUF_ND) {
    view->ndim = memory->ndim;
    view->shape = memory->shape;
  } else {
    view->ndim = 1;  // read as flat bytes
    view->shape = nullptr;
  }
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? memory->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(memory_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(memory_getbuffer)},
    {Py_tp_doc, const_cast<char*>("The memory of an array that orvex_chess made; read it through memoryview.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "orvex_chess._ArrayMemory",
    static_cast<int>(sizeof(ArrayMemoryObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

// The type, made at first need and kept for the life of the process (one per
// extension module that uses it).
PyTypeObject* memory_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return type;
}

// Makes self, fresh memory for an ArrayMemoryObject, an object of type over
// data (the bytes of its mapping, or owner and release: see the struct) and
// describes its items: format, item size and shape (C order), and their
// length in bytes.
void set_up(PyObject* self, PyTypeObject* type, void* data, std::size_t mapped, void* owner,
            void (*release)(void*), const char* format, Py_ssize_t itemsize,
            std::span<const Py_ssize_t> shape) {
  PyObject_Init(self, type);
  ArrayMemoryObject* memory = as_memory(self);
  memory->data = data;
  memory->mapped = mapped;
  memory->owner = owner;
  memory->release = release;
  memory->itemsize = itemsize;
  memory->format = format;
  memory->ndim = static_cast<int>(shape.size());
  Py_ssize_t stride = itemsize;
  for (int i = memory->ndim - 1; i >= 0; --i) {
    memory->shape[i] = shape[i];
    memory->strides[i] = stride;
    stride *= shape[i];
  }
  memory->len = stride;
}

}  // namespace

PyObject* new_array_memory(const char* format, Py_ssize_t itemsize, std::span<const Py_ssize_t> shape,
                           void** data) {
  assert(!shape.empty() && shape.size() <= kMostArrayDims && itemsize > 0);
  PyTypeObject* type = memory_type();
  if (!type) return nullptr;
  Py_ssize_t count = 1;
  for (Py_ssize_t n : shape) count *= n;
  const auto len = static_cast<std::size_t>(count * itemsize);

  const bool mapped = len >= kMappedFrom;
  std::size_t mapping = mapped ? (len + kLargePage - 1) / kLargePage * kLargePage : 0;
  void* block = nullptr;
  PyObject* self;
  if (mapped) {
    const Block taken = take_block(mapping);
    if (!taken.data) return PyErr_NoMemory();
    block = taken.data;
    mapping = taken.bytes;
    self = static_cast<PyObject*>(PyObject_Malloc(sizeof(ArrayMemoryObject)));
    if (!self) give_back(taken);
  } else {
    self = static_cast<PyObject*>(PyObject_Malloc(kInlineOffset + len));
    block = reinterpret_cast<char*>(self) + kInlineOffset;
  }
  if (!self) return PyErr_NoMemory();
  set_up(self, type, block, mapping, nullptr, nullptr, format, itemsize, shape);
  *data = block;
  return self;
}

PyObject* new_array_over(const char* format, Py_ssize_t itemsize, std::span<const Py_ssize_t> shape,
                         void* data, void* owner, void (*release)(void*)) {
  assert(!shape.empty() && shape.size() <= kMostArrayDims && itemsize > 0 && release);
  PyTypeObject* type = memory_type();
  PyObject* self = type ? static_cast<PyObject*>(PyObject_Malloc(sizeof(ArrayMemoryObject))) : nullptr;
  if (!self) {
    release(owner);
    return type ? PyErr_NoMemory() : nullptr;
  }
  set_up(self, type, data, 0, owner, release, format, itemsize, shape);
  return self;
}

}  // namespace orvex::py
