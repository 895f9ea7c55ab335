// orvex_tools.MCTS: a batched search over the games of a ChessEnv, equal to
// mctx's muzero_policy and gumbel_muzero_policy over pgx's chess. The
// network stays in Python: run() calls evaluate(observation) once for the
// roots and once per simulation, and everything between those calls runs in
// C++ on worker threads with the interpreter lock released.
#include "env_module/search_type.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "env_module/env_state.h"
#include "module/arguments.h"
#include "module/array_result.h"
#include "module/batch_runner.h"
#include "module/errors.h"
#include "search/batched_search.h"
#include "search/row_scan.h"

namespace orvex::py {
namespace {

using search::kActions;
using search::Policy;
using search::SearchOptions;
using selfplay::ObservationForm;

PyTypeObject* output_type = nullptr;

struct SearchState {
  SearchOptions options;
  unsigned threads = 1;
  // The observation array of the last run, used again when nothing else
  // holds it (the pages of a new one cost as much as a simulation).
  OwnedRef observation;
  std::uint8_t* observation_data = nullptr;
  std::size_t observation_games = 0;
  ObservationForm observation_form = ObservationForm::kFloat32;
  std::unique_ptr<search::BatchedSearch> search;
  bool running = false;
};

struct SearchObject {
  PyObject_HEAD
  PyObject* env;
  SearchState* state;
};

SearchObject& search_of(PyObject* self) { return *reinterpret_cast<SearchObject*>(self); }

// The options each policy takes, by mctx's names.
const char* const kMuZeroOptions[] = {"pb_c_init", "pb_c_base", "dirichlet_fraction", "dirichlet_alpha",
                                      "temperature", "max_depth", "epsilon"};
const char* const kGumbelOptions[] = {"max_num_considered_actions", "gumbel_scale", "max_depth",
                                      "value_scale", "maxvisit_init", "rescale_values",
                                      "use_mixed_value", "epsilon"};

bool read_float(const char* name, PyObject* value, float& out) {
  if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value) || PyIndex_Check(value) ||
                               PyNumber_Check(value))) {
    PyErr_Format(PyExc_TypeError, "MCTS() option '%s' must be a number, not %.200s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) return false;
  if (!std::isfinite(d)) {
    PyErr_Format(PyExc_ValueError, "MCTS() option '%s' must be finite, not %R", name, value);
    return false;
  }
  out = static_cast<float>(d);
  return true;
}

bool read_count(const char* name, PyObject* value, long long least, long long most, int& out) {
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "MCTS() argument '%s' must be int, not %.200s", name, Py_TYPE(value)->tp_name);
    return false;
  }
  const long long v = PyLong_AsLongLong(value);
  if (v == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  } else if (v >= least && v <= most) {
    out = static_cast<int>(v);
    return true;
  }
  PyErr_Format(PyExc_ValueError, "MCTS() argument '%s' must be from %lld to %lld, not %R", name, least, most,
               value);
  return false;
}

bool read_flag(const char* name, PyObject* value, bool& out) {
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "MCTS() option '%s' must be bool, not %.200s", name, Py_TYPE(value)->tp_name);
    return false;
  }
  out = value == Py_True;
  return true;
}

bool read_option(SearchOptions& o, const char* name, PyObject* value) {
  const std::string key = name;
  auto in_range = [&](float v, float least, float most) {
    if (v >= least && v <= most) return true;
    PyErr_Format(PyExc_ValueError, "MCTS() option '%s' must be from %g to %g, not %R", name,
                 static_cast<double>(least), static_cast<double>(most), value);
    return false;
  };
  if (key == "max_depth") {
    if (value == Py_None) return o.max_depth = -1, true;
    return read_count(name, value, 1, 1 << 20, o.max_depth);
  }
  if (key == "max_num_considered_actions") return read_count(name, value, 1, kActions, o.max_num_considered_actions);
  if (key == "rescale_values") return read_flag(name, value, o.rescale_values);
  if (key == "use_mixed_value") return read_flag(name, value, o.use_mixed_value);
  float v;
  if (!read_float(name, value, v)) return false;
  if (key == "pb_c_init") return o.pb_c_init = v, true;
  if (key == "pb_c_base") return in_range(v, 1e-30f, 3e38f) && (o.pb_c_base = v, true);
  if (key == "dirichlet_fraction") return in_range(v, 0.0f, 1.0f) && (o.dirichlet_fraction = v, true);
  if (key == "dirichlet_alpha") return in_range(v, 1e-30f, 3e38f) && (o.dirichlet_alpha = v, true);
  if (key == "temperature") return in_range(v, 0.0f, 3e38f) && (o.temperature = v, true);
  if (key == "gumbel_scale") return o.gumbel_scale = v, true;
  if (key == "value_scale") return o.value_scale = v, true;
  if (key == "maxvisit_init") return o.maxvisit_init = v, true;
  if (key == "epsilon") return in_range(v, 0.0f, 3e38f) && (o.epsilon = v, true);
  return false;
}

// MCTS(env, num_simulations=64, policy="gumbel", threads=None, **options)
PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"env", "num_simulations", "policy", "threads"};
  PyObject* given[4] = {};
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > 4) {
    PyErr_Format(PyExc_TypeError, "MCTS() takes at most 4 positional arguments (%zd given)", nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = PyTuple_GET_ITEM(args, i);
  OwnedRef options_left(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
  if (options_left.empty()) return nullptr;
  for (int i = 0; i < 4; ++i) {
    PyObject* v = PyDict_GetItemString(options_left.get(), kNames[i]);
    if (!v) continue;
    if (given[i]) {
      PyErr_Format(PyExc_TypeError, "MCTS() got multiple values for argument '%s'", kNames[i]);
      return nullptr;
    }
    given[i] = v;
    Py_INCREF(v);  // kept alive past the deletion below by the kwargs dict
    Py_DECREF(v);
    if (PyDict_DelItemString(options_left.get(), kNames[i]) < 0) return nullptr;
  }
  if (!given[0]) {
    PyErr_SetString(PyExc_TypeError, "MCTS() missing required argument 'env'");
    return nullptr;
  }
  if (!PyObject_TypeCheck(given[0], reinterpret_cast<PyTypeObject*>(env_type))) {
    PyErr_Format(PyExc_TypeError, "MCTS() argument 'env' must be ChessEnv, not %.200s",
                 Py_TYPE(given[0])->tp_name);
    return nullptr;
  }
  SearchOptions options;
  if (given[1] && !read_count("num_simulations", given[1], 1, 1 << 20, options.num_simulations)) return nullptr;
  if (given[2]) {
    if (!PyUnicode_Check(given[2])) {
      PyErr_Format(PyExc_TypeError, "MCTS() argument 'policy' must be str, not %.200s", Py_TYPE(given[2])->tp_name);
      return nullptr;
    }
    if (PyUnicode_CompareWithASCIIString(given[2], "muzero") == 0) {
      options.policy = Policy::kMuZero;
    } else if (PyUnicode_CompareWithASCIIString(given[2], "gumbel") != 0) {
      PyErr_Format(PyExc_ValueError, "MCTS() argument 'policy' must be 'muzero' or 'gumbel', not %R", given[2]);
      return nullptr;
    }
  }
  const unsigned threads = thread_count("MCTS", given[3]);
  if (!threads) return nullptr;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(options_left.get(), &pos, &name, &value)) {
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return nullptr;
    bool known = false;
    if (options.policy == Policy::kMuZero) {
      for (const char* o : kMuZeroOptions) known = known || std::strcmp(o, text) == 0;
    } else {
      for (const char* o : kGumbelOptions) known = known || std::strcmp(o, text) == 0;
    }
    if (!known) {
      PyErr_Format(PyExc_TypeError, "MCTS() got an unexpected option '%s' for policy '%s'", text,
                   options.policy == Policy::kMuZero ? "muzero" : "gumbel");
      return nullptr;
    }
    if (!read_option(options, text, value)) return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto state = std::make_unique<SearchState>();
    state->options = options;
    state->threads = threads;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    search_of(self).env = Py_NewRef(given[0]);
    search_of(self).state = state.release();
    return self;
  });
}

void search_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(search_of(self).env);
  delete search_of(self).state;
  type->tp_free(self);
  Py_DECREF(type);
}

int search_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(search_of(self).env);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int search_clear(PyObject* self) {
  Py_CLEAR(search_of(self).env);
  return 0;
}

// Reads the key: an int, as jax.random.PRNGKey takes it (modulo 2**32), or
// two uint32 words of raw key data.
bool read_key(PyObject* value, search::PrngKey& out) {
  if (!PyBool_Check(value) && PyIndex_Check(value) && !PyObject_CheckBuffer(value)) {
    OwnedRef number(PyNumber_Index(value));
    if (number.empty()) return false;
    const unsigned long long seed = PyLong_AsUnsignedLongLongMask(number.get());
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = selfplay::prng_key(seed & 0xFFFFFFFFu);
    return true;
  }
  OwnedRef items(PySequence_Check(value) || PyObject_CheckBuffer(value)
                     ? PyObject_CallMethod(value, "tolist", nullptr)
                     : nullptr);
  if (items.empty()) {
    PyErr_Clear();
    if (PySequence_Check(value) && !PyUnicode_Check(value)) items.reset(PySequence_List(value));
    if (items.empty()) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "run() argument 'key' must be an int or two uint32 words, not %.200s",
                   Py_TYPE(value)->tp_name);
      return false;
    }
  }
  if (!PyList_Check(items.get()) || PyList_GET_SIZE(items.get()) != 2) {
    PyErr_SetString(PyExc_ValueError, "run() argument 'key' must hold two uint32 words (raw JAX key data)");
    return false;
  }
  std::uint32_t words[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (PyBool_Check(item) || !PyLong_Check(item)) {
      PyErr_SetString(PyExc_TypeError, "run() argument 'key' must hold integers");
      return false;
    }
    const long long w = PyLong_AsLongLong(item);
    if ((w == -1 && PyErr_Occurred()) || w < 0 || w > 0xFFFFFFFFll) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "run() argument 'key' must hold uint32 words (0 to 2**32 - 1)");
      return false;
    }
    words[i] = static_cast<std::uint32_t>(w);
  }
  out = {words[0], words[1]};
  return true;
}

// A float32 array given back by evaluate (or as gumbel=), held
// while it is read.
class FloatArray {
 public:
  FloatArray() = default;
  FloatArray(const FloatArray&) = delete;
  FloatArray& operator=(const FloatArray&) = delete;
  ~FloatArray() { release(); }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
    copy_.clear();
  }
  const float* data() const { return copy_.empty() ? static_cast<const float*>(view_.buf) : copy_.data(); }

  // Takes value as an array of that shape; false with TypeError (not a
  // float32 array) or ValueError (shape, layout) set, naming what.
  bool take(PyObject* value, const char* what, std::initializer_list<Py_ssize_t> shape) {
    release();
    if (!PyObject_CheckBuffer(value)) {
      PyErr_Format(PyExc_TypeError, "%s must be a float32 array, not %.200s", what, Py_TYPE(value)->tp_name);
      return false;
    }
    if (PyObject_GetBuffer(value, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    const char* format = view_.format ? view_.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (std::strcmp(format, "f") != 0 || view_.itemsize != 4) {
      PyErr_Format(PyExc_TypeError, "%s must be a float32 array, not of format '%s'", what,
                   view_.format ? view_.format : "B");
      return false;
    }
    bool same = view_.ndim == static_cast<int>(shape.size());
    for (std::size_t d = 0; same && d < shape.size(); ++d) same = view_.shape[d] == shape.begin()[d];
    if (!same) {
      std::string want = "(", got = "(";
      for (Py_ssize_t s : shape) want += std::to_string(s) + ", ";
      for (int d = 0; d < view_.ndim; ++d) got += std::to_string(view_.shape[d]) + ", ";
      want.resize(want.size() - 2);
      if (view_.ndim) got.resize(got.size() - 2);
      PyErr_Format(PyExc_ValueError, "%s must have shape %s), not %s)", what, want.c_str(), got.c_str());
      return false;
    }
    // Another layout (a transposed array, a slice): read in C order.
    copy_.clear();
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
      copy_.resize(static_cast<std::size_t>(view_.len) / sizeof(float));
      if (PyBuffer_ToContiguous(copy_.data(), &view_, view_.len, 'C') < 0) return false;
    }
    return true;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
  std::vector<float> copy_;
};

// Runs body(i, worker) for every game on the search's threads, the lock
// released; false with the error set when stopped (Ctrl-C) or failed.
template <class Body>
bool for_each_game(std::size_t n, unsigned threads, Body&& body) {
  const std::size_t chunk = std::clamp<std::size_t>(n / (std::size_t{threads} * 8), 1, 64);
  const std::size_t chunks = (n + chunk - 1) / chunk;
  StopFlag stop;
  return run_batch(
      chunks, {threads, true, {}}, stop,
      [&](std::size_t c, unsigned worker) {
        const std::size_t end = std::min(n, (c + 1) * chunk);
        for (std::size_t i = c * chunk; i < end; ++i) body(i, worker);
      },
      [](std::size_t) { return true; });
}

// Calls evaluate on the observations, takes its two arrays and hands each
// game's row, checked, with its maximum, to use(i, worker, logits, top,
// value) on the workers, after before() has run on this thread. A bad row
// (NaN, +inf) is not handed on and fails the call once every row has been
// seen: the search is then abandoned.
template <class Use, class Before = void (*)()>
bool evaluate_batch(PyObject* evaluate, PyObject* observation, std::size_t n, unsigned threads,
                    FloatArray& logits, FloatArray& values, OwnedRef& result, Use&& use,
                    Before&& before = [] {}) {
  result.reset(PyObject_CallOneArg(evaluate, observation));
  if (result.empty()) return false;
  PyObject* r = result.get();
  if (!(PyTuple_Check(r) || PyList_Check(r)) || PySequence_Size(r) != 2) {
    PyErr_Format(PyExc_TypeError, "evaluate() must return (prior_logits, value), not %.200s", Py_TYPE(r)->tp_name);
    return false;
  }
  const Py_ssize_t rows = static_cast<Py_ssize_t>(n);
  OwnedRef first(PySequence_GetItem(r, 0)), second(PySequence_GetItem(r, 1));
  if (first.empty() || second.empty()) return false;
  if (!logits.take(first.get(), "evaluate()'s prior_logits", {rows, kActions}) ||
      !values.take(second.get(), "evaluate()'s value", {rows})) {
    return false;
  }
  before();
  // NaN logits, +inf logits and values that are not finite: the first game.
  std::vector<std::uint8_t> bad(n, 0);
  const float* l = logits.data();
  const float* v = values.data();
  if (!for_each_game(n, threads, [&](std::size_t i, unsigned worker) {
        float top = 0.0f;
        bad[i] = !search::scan_row(l + i * kActions, kActions, top) || !std::isfinite(v[i]);
        if (!bad[i]) use(i, worker, l + i * kActions, top, v[i]);
      })) {
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (bad[i]) {
      PyErr_Format(PyExc_ValueError,
                   "evaluate() returned NaN or infinite outputs for game %zu (prior_logits may be -inf, "
                   "nothing else may be NaN or infinite)",
                   i);
      return false;
    }
  }
  return true;
}

const Signature kRunSignature{"run", {"evaluate", "key", "gumbel"}, 2};

PyObject* run_search(PyObject* self, PyObject* evaluate, PyObject* key_arg, PyObject* gumbel_arg) {
  SearchObject& object = search_of(self);
  SearchState& st = *object.state;
  if (!PyCallable_Check(evaluate)) {
    PyErr_Format(PyExc_TypeError, "run() argument 'evaluate' must be callable, not %.200s",
                 Py_TYPE(evaluate)->tp_name);
    return nullptr;
  }
  search::PrngKey key;
  if (!read_key(key_arg, key)) return nullptr;
  EnvState& env = state_of(object.env);
  const std::size_t n = env.size();
  const Py_ssize_t rows = static_cast<Py_ssize_t>(n);
  FloatArray gumbel;
  if (gumbel_arg && gumbel_arg != Py_None) {
    if (st.options.policy != Policy::kGumbel) {
      PyErr_SetString(PyExc_TypeError, "run() argument 'gumbel' is for policy 'gumbel' only");
      return nullptr;
    }
    if (!gumbel.take(gumbel_arg, "run() argument 'gumbel'", {rows, kActions})) return nullptr;
  }
  if (st.running) {
    PyErr_SetString(PyExc_RuntimeError, "run() called again while it runs (from evaluate?)");
    return nullptr;
  }
  // The games stay as they are for the whole search.
  BorrowGuard borrow;
  if (const char* error = borrow.share(env.borrow)) return borrow_error(error);
  st.running = true;
  struct Running {
    bool& flag;
    ~Running() { flag = false; }
  } running{st.running};
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!st.search || st.search->games() != n) {
      st.search.reset();
      st.search = std::make_unique<search::BatchedSearch>(*env.tables, st.options, n, st.threads);
    }
    search::BatchedSearch& s = *st.search;
    std::vector<const selfplay::Game*> roots(n);
    for (std::size_t i = 0; i < n; ++i) roots[i] = &env.record.games[i];
    std::vector<float> own_gumbel;
    if (gumbel.data()) own_gumbel.assign(gumbel.data(), gumbel.data() + n * kActions);
    gumbel.release();
    {
      ReleasedLock unlocked;
      s.start(roots, key, own_gumbel.empty() ? nullptr : own_gumbel.data());
    }
    // The observations handed to evaluate, in the environment's form.
    const ObservationForm form = env.record.form;
    if (st.observation.empty() || Py_REFCNT(st.observation.get()) != 1 || st.observation_games != n ||
        st.observation_form != form) {
      st.observation.reset();
      ArrayResult observation_array;
      bool made;
      switch (form) {
        case ObservationForm::kFloat32:
          made = observation_array.create(ItemType::kFloat32, std::initializer_list<Py_ssize_t>{rows, 8, 8, selfplay::kPlanes});
          break;
        case ObservationForm::kUint8:
          made = observation_array.create(ItemType::kUint8, std::initializer_list<Py_ssize_t>{rows, 8, 8, selfplay::kPlanes});
          break;
        default:
          made = observation_array.create(ItemType::kUint64, std::initializer_list<Py_ssize_t>{rows, selfplay::kPlanes});
      }
      if (!made) return nullptr;
      st.observation_data = static_cast<std::uint8_t*>(observation_array.data());
      st.observation.reset(observation_array.finish());
      if (st.observation.empty()) return nullptr;
      st.observation_games = n;
      st.observation_form = form;
    }
    std::uint8_t* obs = st.observation_data;
    PyObject* observation = st.observation.get();
    const std::size_t bytes = selfplay::observation_bytes(form);
    const unsigned threads = st.threads;
    if (!for_each_game(n, threads, [&](std::size_t i, unsigned) { s.write_root_observation(i, form, obs + i * bytes); })) {
      return nullptr;
    }
    FloatArray logits, values;
    OwnedRef result;
    if (!evaluate_batch(evaluate, observation, n, threads, logits, values, result,
                        [&](std::size_t i, unsigned worker, const float* row, float, float value) {
                          s.root(i, row, value, worker);
                        })) {
      return nullptr;
    }
    // Each game's leaf is expanded and the next simulation's leaf chosen in
    // one pass, while its tree is at hand; apart, should the network's
    // outputs lie inside the observation array that the choosing rewrites.
    bool selected = false;
    for (int sim = 0; sim < st.options.num_simulations; ++sim) {
      logits.release();
      values.release();
      result.reset();
      if (PyErr_CheckSignals() < 0) return nullptr;
      if (!selected) {
        s.begin_simulation(sim);
        if (!for_each_game(n, threads, [&](std::size_t i, unsigned worker) { s.select(i, worker, form, obs + i * bytes); })) {
          return nullptr;
        }
      }
      const bool next = sim + 1 < st.options.num_simulations;
      selected = false;
      if (!evaluate_batch(evaluate, observation, n, threads, logits, values, result,
                          [&](std::size_t i, unsigned worker, const float* row, float top, float value) {
                            s.expand(i, row, top, value);
                            if (selected) s.select(i, worker, form, obs + i * bytes);
                          },
                          [&] {
                            const std::uint8_t* end = obs + n * bytes;
                            const auto apart = [&](const float* data, std::size_t count) {
                              const auto* bytes_at = reinterpret_cast<const std::uint8_t*>(data);
                              return bytes_at + count * sizeof(float) <= obs || bytes_at >= end;
                            };
                            selected = next && apart(logits.data(), n * kActions) && apart(values.data(), n);
                            if (selected) s.begin_simulation(sim + 1);
                          })) {
        return nullptr;
      }
    }
    logits.release();
    values.release();
    result.reset();
    ArrayResult actions, weights, counts, root_values;
    const Py_ssize_t row_shape[] = {rows};
    const Py_ssize_t table_shape[] = {rows, kActions};
    if (!actions.create(ItemType::kInt32, row_shape) || !weights.create(ItemType::kFloat32, table_shape) ||
        !counts.create(ItemType::kInt32, table_shape) || !root_values.create(ItemType::kFloat32, row_shape)) {
      return nullptr;
    }
    auto* action_data = static_cast<std::int32_t*>(actions.data());
    auto* weight_data = static_cast<float*>(weights.data());
    auto* count_data = static_cast<std::int32_t*>(counts.data());
    auto* value_data = static_cast<float*>(root_values.data());
    if (!for_each_game(n, threads, [&](std::size_t i, unsigned worker) {
          s.finish(i, count_data + i * kActions, weight_data + i * kActions, value_data[i], action_data[i], worker);
        })) {
      return nullptr;
    }
    OwnedRef out(PyStructSequence_New(output_type));
    if (out.empty()) return nullptr;
    PyObject* fields[] = {actions.finish(), weights.finish(), counts.finish(), root_values.finish()};
    bool ok = true;
    for (int f = 0; f < 4; ++f) {
      if (!fields[f]) ok = false;
      PyStructSequence_SetItem(out.get(), f, fields[f] ? fields[f] : Py_NewRef(Py_None));
    }
    if (!ok) return nullptr;
    return out.release();
  });
}

PyObject* search_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3] = {};
  if (!extract_fastcall(kRunSignature, args, nargs, kwnames, a)) return nullptr;
  return run_search(self, a[0], a[1], a[2]);
}

PyObject* get_env(PyObject* self, void*) { return Py_NewRef(search_of(self).env); }
PyObject* get_num_simulations(PyObject* self, void*) {
  return PyLong_FromLong(search_of(self).state->options.num_simulations);
}
PyObject* get_policy(PyObject* self, void*) {
  return PyUnicode_FromString(search_of(self).state->options.policy == Policy::kMuZero ? "muzero" : "gumbel");
}
PyObject* get_threads(PyObject* self, void*) { return PyLong_FromUnsignedLong(search_of(self).state->threads); }

template <auto Function>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef search_methods[] = {
    {"run", fastcall<search_run>(), METH_FASTCALL | METH_KEYWORDS,
     "run($self, evaluate, key, gumbel=None)\n--\n\nSearches every game of the environment from its current "
     "state; evaluate(observation) -> (prior_logits, value) is the network."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef search_getset[] = {
    {"env", get_env, nullptr, "The ChessEnv searched.", nullptr},
    {"num_simulations", get_num_simulations, nullptr, "Simulations per run.", nullptr},
    {"policy", get_policy, nullptr, "'muzero' or 'gumbel'.", nullptr},
    {"threads", get_threads, nullptr, "The worker threads.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot search_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(search_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(search_clear)},
    {Py_tp_methods, search_methods},
    {Py_tp_getset, search_getset},
    {Py_tp_doc, const_cast<char*>(
        "MCTS(env, num_simulations=64, policy=\"gumbel\", threads=None, **options)\n--\n\n"
        "A batched search over the games of a ChessEnv, as mctx's muzero_policy or gumbel_muzero_policy.")},
    {0, nullptr},
};

PyType_Spec search_spec = {
    "orvex_tools.MCTS",
    sizeof(SearchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    search_slots,
};

PyStructSequence_Field output_fields[] = {
    {"action", "(N,) int32: the action chosen in each game."},
    {"action_weights", "(N, 4672) float32: the policy target."},
    {"visit_counts", "(N, 4672) int32: the visits of the root's children."},
    {"root_value", "(N,) float32: the root's search value."},
    {nullptr, nullptr},
};

PyStructSequence_Desc output_desc = {
    "orvex_tools.SearchOutput",
    "What MCTS.run returns: action, action_weights, visit_counts, root_value.",
    output_fields,
    4,
};

}  // namespace

bool add_search_types(PyObject* module) {
  if (!output_type) {
    output_type = PyStructSequence_NewType(&output_desc);
    if (!output_type) return false;
  }
  if (PyModule_AddObject(module, "SearchOutput", Py_NewRef(reinterpret_cast<PyObject*>(output_type))) < 0) {
    Py_DECREF(output_type);
    return false;
  }
  PyObject* type = PyType_FromSpec(&search_spec);
  if (!type || PyModule_AddObject(module, "MCTS", type) < 0) {
    Py_XDECREF(type);
    return false;
  }
  return true;
}

}  // namespace orvex::py
