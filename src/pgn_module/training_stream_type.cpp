// TrainingStream(encoding, shuffle, seed, shard_index, shard_count, threads,
// min_elo, max_elo, min_ply, results, batch_size): the positions of PGN text
// fed piece by piece, taken out in batches of arrays, batch_size positions
// each but the last (whose bits planes are written in blocks of that many
// positions, which such a batch takes over as its observation without a
// copy). The arguments are checked by orvex_tools.training_batches, its only
// caller.
#include "pgn_module/training_stream_type.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/parallel.h"
#include "module/array_result.h"
#include "module/batch_runner.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "training/batch_arrays.h"
#include "training/training_stream.h"

namespace orvex::py {
namespace {

struct StreamObject {
  PyObject_HEAD
  training::TrainingStream* stream;
  Encoding encoding;
  unsigned threads;
  bool busy;  // a call runs with the interpreter lock released
};

training::TrainingStream* stream_of(PyObject* self) { return reinterpret_cast<StreamObject*>(self)->stream; }

bool optional_int(PyObject* value, std::optional<std::int64_t>& out) {
  if (value == Py_None) return true;
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) return false;
  out = n;
  return true;
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const char* encoding_name;
  unsigned long long shuffle, seed;
  unsigned int shard_index, shard_count, threads, min_ply;
  Py_ssize_t batch_size;
  PyObject *min_elo, *max_elo, *results;
  if (kwargs && PyDict_Size(kwargs)) {
    PyErr_SetString(PyExc_TypeError, "TrainingStream() takes no keyword arguments");
    return nullptr;
  }
  if (!PyArg_ParseTuple(args, "sKKIIIOOIOn:TrainingStream", &encoding_name, &shuffle, &seed, &shard_index,
                        &shard_count, &threads, &min_elo, &max_elo, &min_ply, &results, &batch_size)) {
    return nullptr;
  }
  const std::optional<Encoding> encoding = encoding_named(encoding_name);
  if (!encoding) {
    PyErr_Format(PyExc_ValueError, "encoding must be 'az' or 'lc0', not '%s'", encoding_name);
    return nullptr;
  }
  training::StreamOptions options;
  options.encoding = *encoding;
  options.shuffle = shuffle;
  options.seed = seed;
  options.shard_index = shard_index;
  options.shard_count = shard_count;
  options.threads = threads;
  options.batch_positions = static_cast<std::size_t>(std::max<Py_ssize_t>(batch_size, 1));
  options.filter.min_ply = min_ply;
  if (!optional_int(min_elo, options.filter.min_elo) || !optional_int(max_elo, options.filter.max_elo)) {
    return nullptr;
  }
  OwnedRef items(PySequence_Fast(results, "results must be a sequence of str"));
  if (items.empty()) return nullptr;
  options.filter.results.clear();
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (!text) return nullptr;
    options.filter.results.emplace_back(text, static_cast<std::size_t>(size));
  }
  OwnedRef self(type->tp_alloc(type, 0));
  if (self.empty()) return nullptr;
  auto* object = reinterpret_cast<StreamObject*>(self.get());
  object->encoding = *encoding;
  object->threads = threads < 1 ? 1 : threads;
  object->busy = false;
  object->stream = guarded<training::TrainingStream*>(nullptr, [&] { return new training::TrainingStream(options); });
  if (!object->stream) return nullptr;
  return self.release();
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete stream_of(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Marks the object busy for one call; false with RuntimeError set when
// another thread's call is running.
class Busy {
 public:
  explicit Busy(PyObject* self) : object_(reinterpret_cast<StreamObject*>(self)) {
    if (object_->busy) {
      PyErr_SetString(PyExc_RuntimeError, "the training stream is in use by another thread");
      object_ = nullptr;
      return;
    }
    object_->busy = true;
  }
  ~Busy() {
    if (object_) object_->busy = false;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  StreamObject* object_;
};

PyObject* begin_epoch(PyObject* self, PyObject* arg) {
  Busy busy(self);
  if (!busy) return nullptr;
  const unsigned long long epoch = PyLong_AsUnsignedLongLong(arg);
  if (epoch == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  stream_of(self)->begin_epoch(epoch);
  Py_RETURN_NONE;
}

// Runs body() with the interpreter lock released; false with the Python
// exception set when it throws.
template <class Body>
bool released(Body&& body) {
  std::exception_ptr error;
  {
    ReleasedLock unlocked;
    try {
      body();
    } catch (...) {
      error = std::current_exception();
    }
  }
  return !error || guarded<bool>(false, [&]() -> bool { std::rethrow_exception(error); });
}

PyObject* end_epoch(PyObject* self, PyObject*) {
  Busy busy(self);
  if (!busy) return nullptr;
  if (stream_of(self)->text_pending()) {
    PyErr_SetString(PyExc_RuntimeError, "end_epoch() while a piece is pending");
    return nullptr;
  }
  if (!released([&] { stream_of(self)->end_epoch(); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* take_in(PyObject* self, PyObject*) {
  Busy busy(self);
  if (!busy) return nullptr;
  if (!released([&] { stream_of(self)->take_in(); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// start_text(text, file, game_base, max_game_bytes, max_failures): starts
// reading the whole games of text (copied), in the background with more than
// one thread, and takes in the positions of the piece read before.
PyObject* start_text(PyObject* self, PyObject* args) {
  Py_buffer text;
  unsigned int file;
  unsigned long long game_base, max_game_bytes, max_failures;
  if (!PyArg_ParseTuple(args, "y*IKKK:start_text", &text, &file, &game_base, &max_game_bytes, &max_failures)) {
    return nullptr;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&text};
  Busy busy(self);
  if (!busy) return nullptr;
  if (stream_of(self)->text_pending()) {
    PyErr_SetString(PyExc_RuntimeError, "start_text() while a piece is pending");
    return nullptr;
  }
  const bool ok = released([&] {
    std::string_view view(static_cast<const char*>(text.buf), static_cast<std::size_t>(text.len));
    if (view.starts_with("\xEF\xBB\xBF")) view.remove_prefix(3);
    stream_of(self)->start_text(view, file, game_base, max_game_bytes, max_failures);
  });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

// finish_text() -> (games, lines, skipped, failures, too_long): waits for the
// pending piece.
PyObject* finish_text(PyObject* self, PyObject*) {
  Busy busy(self);
  if (!busy) return nullptr;
  if (!stream_of(self)->text_pending()) {
    PyErr_SetString(PyExc_RuntimeError, "finish_text() without a pending piece");
    return nullptr;
  }
  training::PieceOutcome outcome;
  if (!released([&] { outcome = stream_of(self)->finish_text(); })) return nullptr;
  OwnedRef failures(PyList_New(0));
  if (failures.empty()) return nullptr;
  for (const training::FailedGame& f : outcome.failures) {
    OwnedRef record(Py_BuildValue("(KKKNN)", static_cast<unsigned long long>(f.index),
                                  static_cast<unsigned long long>(f.game_line),
                                  static_cast<unsigned long long>(f.line), text_object(f.text),
                                  text_object(f.reason)));
    if (record.empty() || PyList_Append(failures.get(), record.get()) < 0) return nullptr;
  }
  OwnedRef too_long(Py_NewRef(Py_None));
  if (outcome.stop == pgn::Stop::kGameTooLong || outcome.stop == pgn::Stop::kLineTooLong) {
    too_long.reset(Py_BuildValue("(OKK)", outcome.stop == pgn::Stop::kGameTooLong ? Py_True : Py_False,
                                 static_cast<unsigned long long>(outcome.games),
                                 static_cast<unsigned long long>(outcome.lines + 1)));
    if (too_long.empty()) return nullptr;
  }
  return Py_BuildValue("(KKKOO)", static_cast<unsigned long long>(outcome.games),
                       static_cast<unsigned long long>(outcome.lines),
                       static_cast<unsigned long long>(outcome.skipped), failures.get(), too_long.get());
}

PyObject* ready(PyObject* self, PyObject*) { return PyLong_FromSize_t(stream_of(self)->ready().size()); }

PyObject* discard(PyObject* self, PyObject* arg) {
  Busy busy(self);
  if (!busy) return nullptr;
  const std::size_t n = PyLong_AsSize_t(arg);
  if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  stream_of(self)->consume(n);
  Py_RETURN_NONE;
}

bool put(PyObject* dict, const char* name, ArrayResult& array) {
  OwnedRef value(array.finish());
  return !value.empty() && PyDict_SetItemString(dict, name, value.get()) == 0;
}

// take(n, observation, legal) -> dict of arrays, for the first n ready
// positions (fewer if fewer are ready), which it lets go of.
PyObject* take(PyObject* self, PyObject* args) {
  Py_ssize_t wanted;
  const char* form_name;
  const char* legal_name;
  if (!PyArg_ParseTuple(args, "nsz:take", &wanted, &form_name, &legal_name)) return nullptr;
  const std::string_view form_text(form_name);
  using selfplay::ObservationForm;
  ObservationForm form;
  if (form_text == "float32") {
    form = ObservationForm::kFloat32;
  } else if (form_text == "uint8") {
    form = ObservationForm::kUint8;
  } else if (form_text == "bits") {
    form = ObservationForm::kBits;
  } else {
    PyErr_Format(PyExc_ValueError, "observation must be 'float32', 'uint8' or 'bits', not '%s'", form_name);
    return nullptr;
  }
  const std::string_view legal = legal_name ? legal_name : "";
  if (!legal.empty() && legal != "mask" && legal != "ids") {
    PyErr_Format(PyExc_ValueError, "legal must be None, 'mask' or 'ids', not '%s'", legal_name);
    return nullptr;
  }
  Busy busy(self);
  if (!busy) return nullptr;
  training::TrainingStream* stream = stream_of(self);
  const Encoding encoding = reinterpret_cast<StreamObject*>(self)->encoding;
  const std::span<const training::PositionRecord> records =
      stream->ready().first(std::min<std::size_t>(static_cast<std::size_t>(std::max<Py_ssize_t>(wanted, 0)),
                                                  stream->ready().size()));
  const Py_ssize_t n = static_cast<Py_ssize_t>(records.size());

  ArrayResult observation, move_id, value, file, game, ply, mask, ids_array, offsets_array;
  const Py_ssize_t board_shape[] = {n, 8, 8, selfplay::kPlanes};
  const Py_ssize_t bits_shape[] = {n, selfplay::kPlanes};
  const Py_ssize_t rows[] = {n};
  const Py_ssize_t mask_shape[] = {n, encoding_size(encoding)};
  const bool ok =
      move_id.create(ItemType::kInt32, rows) && value.create(ItemType::kFloat32, rows) &&
      file.create(ItemType::kInt32, rows) && game.create(ItemType::kInt64, rows) &&
      ply.create(ItemType::kInt32, rows) && (legal != "mask" || mask.create(ItemType::kBool, mask_shape));
  if (!ok) return nullptr;
  // The bits planes of a whole block are the observation as they are: the
  // array takes the block over. Should that fail (no memory for the small
  // object), the positions are let go of with it, the queue being left whole.
  bool planes_taken = false;
  if (form == ObservationForm::kBits) {
    if (std::unique_ptr<training::PlaneBlock> block = stream->hand_over(records.size())) {
      void* data = block->data();
      if (!observation.create_owned(ItemType::kUint64, bits_shape, data, std::move(block))) {
        stream->consume(records.size());
        return nullptr;
      }
      planes_taken = true;
    }
  }
  if (!planes_taken &&
      !(form == ObservationForm::kBits
            ? observation.create(ItemType::kUint64, bits_shape)
            : observation.create(form == ObservationForm::kFloat32 ? ItemType::kFloat32 : ItemType::kUint8,
                                 board_shape))) {
    return nullptr;
  }
  std::vector<std::int32_t> ids;
  std::vector<std::int64_t> offsets{0};
  std::exception_ptr error;
  {
    ReleasedLock unlocked;
    try {
      // The observations in slices on the worker threads.
      const unsigned threads = reinterpret_cast<StreamObject*>(self)->threads;
      // (The bits form is a copy, quicker than handing out the work.)
      const bool heavy = form != ObservationForm::kBits || legal == "mask";
      const std::size_t slices = heavy && threads > 1 && n >= 64 ? threads * 4 : 1;
      const std::size_t size = selfplay::observation_bytes(form);
      const training::PlaneSlots planes = stream->ready_planes();
      auto write_slice = [&](std::size_t slice, unsigned) {
        const std::size_t begin = records.size() * slice / slices, end = records.size() * (slice + 1) / slices;
        if (!planes_taken) {
          training::write_observations(records.subspan(begin, end - begin), planes.from(begin), form,
                                       static_cast<std::uint8_t*>(observation.data()) + begin * size);
        }
        if (legal == "mask") {
          training::write_legal_masks(records.subspan(begin, end - begin), encoding,
                                      static_cast<std::uint8_t*>(mask.data()) + begin * encoding_size(encoding));
        }
      };
      if (slices == 1) {
        write_slice(0, 0);
      } else {
        StopFlag stop;
        parallel_for(slices, threads, stop, write_slice);
      }
      auto* move_ids = static_cast<std::int32_t*>(move_id.data());
      auto* values = static_cast<float*>(value.data());
      auto* files = static_cast<std::int32_t*>(file.data());
      auto* games = static_cast<std::int64_t*>(game.data());
      auto* plies = static_cast<std::int32_t*>(ply.data());
      for (Py_ssize_t i = 0; i < n; ++i) {
        const training::PositionRecord& r = records[static_cast<std::size_t>(i)];
        move_ids[i] = r.move_id;
        values[i] = static_cast<float>(r.value);
        files[i] = static_cast<std::int32_t>(r.file);
        games[i] = static_cast<std::int64_t>(r.game);
        plies[i] = static_cast<std::int32_t>(r.ply);
      }
      if (legal == "ids") training::append_legal_ids(records, encoding, ids, offsets);
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) return guarded<PyObject*>(nullptr, [&]() -> PyObject* { std::rethrow_exception(error); });
  stream->consume(records.size());
  OwnedRef dict(PyDict_New());
  if (dict.empty()) return nullptr;
  bool done = put(dict.get(), "observation", observation) && put(dict.get(), "move_id", move_id) &&
              put(dict.get(), "value", value) && put(dict.get(), "file", file) && put(dict.get(), "game", game) &&
              put(dict.get(), "ply", ply);
  if (done && legal == "mask") done = put(dict.get(), "legal", mask);
  if (done && legal == "ids") {
    const Py_ssize_t id_shape[] = {static_cast<Py_ssize_t>(ids.size())};
    const Py_ssize_t offset_shape[] = {static_cast<Py_ssize_t>(offsets.size())};
    done = ids_array.create_from(ItemType::kInt32, id_shape, std::move(ids)) &&
           offsets_array.create_from(ItemType::kInt64, offset_shape, std::move(offsets)) &&
           put(dict.get(), "legal", ids_array) && put(dict.get(), "legal_offsets", offsets_array);
  }
  return done ? dict.release() : nullptr;
}

PyMethodDef stream_methods[] = {
    {"begin_epoch", begin_epoch, METH_O, "begin_epoch(epoch): starts an epoch, holding no positions."},
    {"start_text", start_text, METH_VARARGS,
     "start_text(text, file, game_base, max_game_bytes, max_failures): starts reading the whole games of "
     "text, in the background with more than one thread, and takes in the positions of the piece read "
     "before."},
    {"finish_text", finish_text, METH_NOARGS,
     "finish_text() -> (games, lines, skipped, failures, too_long): waits for the piece started."},
    {"take_in", take_in, METH_NOARGS, "take_in(): takes in the positions of the piece finished last."},
    {"end_epoch", end_epoch, METH_NOARGS,
     "end_epoch(): takes in the last piece, and the shuffle buffer sends out what it holds."},
    {"ready", ready, METH_NOARGS, "ready() -> int: the positions ready to be taken."},
    {"take", take, METH_VARARGS,
     "take(n, observation, legal) -> dict: the arrays of the first n ready positions, which it lets go of."},
    {"discard", discard, METH_O, "discard(n): lets go of the first n ready positions."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_tp_doc, const_cast<char*>(
        "TrainingStream(encoding, shuffle, seed, shard_index, shard_count, threads, min_elo, max_elo, "
        "min_ply, results, batch_size): training positions of PGN text; use orvex_tools.training_batches.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "orvex_tools._pgn.TrainingStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

}  // namespace

bool add_training_stream_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&stream_spec);
  if (!type || PyModule_AddObject(module, "TrainingStream", type) < 0) {
    Py_XDECREF(type);
    return false;
  }
  return true;
}

}  // namespace orvex::py
