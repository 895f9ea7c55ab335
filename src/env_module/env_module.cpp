// The extension module orvex_tools._env: ChessEnv, a batch of chess games
// played by pgx's rules (selfplay/game.h). reset and step work on every
// game at once on worker threads, with the interpreter lock released, and
// write each game's observation, legal-action mask, rewards, flags, player
// and step count into arrays the environment owns and reuses: the attributes
// are memoryviews over them, valid (and updated in place) for the life of
// the environment.
//
// A step is all or nothing: actions are checked before any game moves, and a
// step stopped by Ctrl-C takes back what the games that had moved did.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "module/arguments.h"
#include "module/array_result.h"
#include "module/batch_runner.h"
#include "module/borrow.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "module/python.h"
#include "move_generator/attack_tables.h"
#include "selfplay/env_bytes.h"
#include "selfplay/game.h"
#include "selfplay/observation.h"
#include "selfplay/threefry.h"
#include "env_module/env_state.h"
#include "env_module/search_type.h"

namespace orvex::py {
namespace {

using selfplay::EnvRecord;
using selfplay::Game;
using selfplay::ObservationForm;

constexpr Py_ssize_t kMostGames = Py_ssize_t{1} << 24;

constexpr std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}


// Makes the arrays for the games and the observation form.
bool make_outputs(EnvState& s) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(s.size());
  Outputs out;
  auto make = [&](OwnedRef& slot, auto*& data, ItemType type, std::initializer_list<Py_ssize_t> shape) {
    ArrayResult array;
    if (!array.create(type, std::span<const Py_ssize_t>(shape.begin(), shape.size()))) return false;
    data = static_cast<std::remove_reference_t<decltype(data)>>(array.data());
    OwnedRef writable(array.finish());
    if (writable.empty()) return false;
    // Read-only views: what the arrays hold is the environment's to write.
    slot.reset(PyObject_CallMethod(writable.get(), "toreadonly", nullptr));
    return !slot.empty();
  };
  bool ok;
  switch (s.record.form) {
    case ObservationForm::kFloat32:
      ok = make(out.observation, out.observation_data, ItemType::kFloat32, {n, 8, 8, selfplay::kPlanes});
      break;
    case ObservationForm::kUint8:
      ok = make(out.observation, out.observation_data, ItemType::kUint8, {n, 8, 8, selfplay::kPlanes});
      break;
    default:
      ok = make(out.observation, out.observation_data, ItemType::kUint64, {n, selfplay::kPlanes});
      break;
  }
  ok = ok && make(out.mask, out.mask_data, ItemType::kBool, {n, selfplay::kActions}) &&
       make(out.rewards, out.rewards_data, ItemType::kFloat32, {n, 2}) &&
       make(out.terminated, out.terminated_data, ItemType::kBool, {n}) &&
       make(out.truncated, out.truncated_data, ItemType::kBool, {n}) &&
       make(out.current_player, out.player_data, ItemType::kInt32, {n}) &&
       make(out.step_count, out.step_data, ItemType::kInt32, {n});
  if (!ok) return false;
  s.out = std::move(out);
  return true;
}

std::uint8_t* mask_row(EnvState& s, std::size_t i) { return s.out.mask_data + i * selfplay::kActions; }

// Writes game i's rows of every array but the mask.
void write_outputs_but_mask(EnvState& s, std::size_t i) {
  const Game& g = s.record.games[i];
  const std::size_t bytes = selfplay::observation_bytes(s.record.form);
  selfplay::write_observation(g, s.record.form, s.out.observation_data + i * bytes);
  s.out.rewards_data[2 * i] = g.rewards[0];
  s.out.rewards_data[2 * i + 1] = g.rewards[1];
  s.out.terminated_data[i] = g.terminated;
  s.out.truncated_data[i] = 0;
  s.out.player_data[i] = selfplay::current_player(g);
  s.out.step_data[i] = g.step_count;
}

// Writes game i's rows of every array.
void write_outputs(EnvState& s, std::size_t i) {
  write_outputs_but_mask(s, i);
  selfplay::write_mask(s.record.games[i], mask_row(s, i));
}

// Runs body(i) for every game on the environment's threads, with the lock
// released; ran[chunk] is set for each chunk that ran to its end. Returns
// false with the error set (KeyboardInterrupt) when stopped.
template <class Body>
bool for_each_game(EnvState& s, std::vector<std::uint8_t>& ran, std::size_t& chunk, Body&& body) {
  const std::size_t n = s.size();
  const unsigned threads = s.record.threads;
  chunk = std::clamp<std::size_t>(n / (std::size_t{threads} * 8), 8, 512);
  const std::size_t chunks = (n + chunk - 1) / chunk;
  ran.assign(chunks, 0);
  StopFlag stop;
  return run_batch(
      chunks, {threads, true, {}}, stop,
      [&](std::size_t c, unsigned) {
        const std::size_t end = std::min(n, (c + 1) * chunk);
        for (std::size_t i = c * chunk; i < end; ++i) body(i);
        ran[c] = 1;
      },
      [](std::size_t) { return true; });
}

// ChessEnv(batch_size, *, threads=None, observation="float32", autoreset=False, illegal="raise")
const Signature kNewSignature{
    "ChessEnv", {"batch_size", "threads", "observation", "autoreset", "illegal"}, 1, 1};
const Signature kResetSignature{"reset", {"seed"}, 0};
const Signature kStepSignature{"step", {"actions"}, 1};
const Signature kSampleSignature{"sample_actions", {"rng_seed"}, 0};
const Signature kMovesSignature{"moves", {"game"}, 1};
const Signature kBoardSignature{"board", {"game"}, 1};

bool read_choice(const Signature& sig, const char* parameter, PyObject* value,
                 std::initializer_list<const char*> choices, int& out) {
  if (!value) {
    out = 0;
    return true;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", sig.function, parameter,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  int i = 0;
  std::string allowed;
  for (const char* choice : choices) {
    if (PyUnicode_CompareWithASCIIString(value, choice) == 0) {
      out = i;
      return true;
    }
    allowed += (i ? ", '" : "'") + std::string(choice) + "'";
    ++i;
  }
  PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be one of %s, not %R", sig.function,
               parameter, allowed.c_str(), value);
  return false;
}

// Reads an int argument in [least, most]; TypeError or ValueError naming it.
bool read_int(const Signature& sig, const char* parameter, PyObject* value, long long least,
              long long most, long long& out) {
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", sig.function, parameter,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  OwnedRef number(PyNumber_Index(value));
  if (number.empty()) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (out == -1 && PyErr_Occurred()) return false;
  if (overflow || out < least || out > most) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be from %lld to %lld, not %S", sig.function,
                 parameter, least, most, value);
    return false;
  }
  return true;
}

// Resets every game; with a seed, each game's player order is drawn as pgx's
// init draws it from jax.random.split(jax.random.PRNGKey(seed), N)[i].
// Builds the new games apart from the old, so that an interrupted reset
// leaves every game as it was.
bool reset_games(EnvState& s, bool seeded, std::uint64_t seed) {
  const std::size_t n = s.size();
  std::vector<Game> fresh(n);
  const selfplay::PrngKey root = selfplay::prng_key(seed);
  std::vector<std::uint8_t> ran;
  std::size_t chunk = 0;
  std::vector<Game>& old = s.record.games;
  const bool ok = for_each_game(s, ran, chunk, [&](std::size_t i) {
    const selfplay::PrngKey key =
        seeded ? selfplay::split_key(root, static_cast<std::uint32_t>(i)) : selfplay::PrngKey{};
    selfplay::reset_game(*s.tables, fresh[i], seeded && selfplay::bernoulli_half(key), key);
    std::swap(old[i], fresh[i]);
    write_outputs(s, i);
  });
  if (ok) {
    s.record.seeded = seeded;
    s.record.sample_stream = seeded ? splitmix64(seed) : 0;
    return true;
  }
  for (std::size_t c = 0; c < ran.size(); ++c) {
    if (!ran[c]) continue;
    for (std::size_t i = c * chunk; i < std::min(n, (c + 1) * chunk); ++i) {
      std::swap(old[i], fresh[i]);
      write_outputs(s, i);
    }
  }
  return false;
}

// Reads a seed: an int or any integer that has __index__ (a NumPy integer, as
// the constructor takes), not a bool; its value modulo 2**64 (two's complement).
bool read_seed(const Signature& sig, const char* parameter, PyObject* value, std::uint64_t& out) {
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int or None, not %.200s", sig.function,
                 parameter, Py_TYPE(value)->tp_name);
    return false;
  }
  OwnedRef number(PyNumber_Index(value));
  if (number.empty()) return false;
  out = PyLong_AsUnsignedLongLongMask(number.get());
  return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

// Reads the actions: a one-dimensional buffer of integers, or a sequence of
// ints, of one action per game.
bool read_actions(PyObject* value, std::size_t n, std::vector<std::int64_t>& out) {
  out.resize(n);
  if (PyObject_CheckBuffer(value)) {
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_RECORDS_RO) < 0) return false;
    const char* format = view.format ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const bool integer = format[0] && !format[1] && std::strchr("bBhHiIlLqQnN", format[0]);
    bool ok = false;
    if (!integer) {
      PyErr_Format(PyExc_TypeError, "step() argument 'actions' must hold integers, not items of format '%s'",
                   view.format ? view.format : "B");
    } else if (view.ndim != 1) {
      PyErr_Format(PyExc_ValueError, "step() argument 'actions' must be one-dimensional, not of %d dimensions",
                   view.ndim);
    } else if (static_cast<std::size_t>(view.shape[0]) != n) {
      PyErr_Format(PyExc_ValueError, "step() argument 'actions' must hold %zu actions (one per game), not %zd",
                   n, view.shape[0]);
    } else {
      const bool is_signed = std::islower(static_cast<unsigned char>(format[0]));
      const char* item = static_cast<const char*>(view.buf);
      for (std::size_t i = 0; i < n; ++i, item += view.strides[0]) {
        std::int64_t v = 0;
        switch (view.itemsize) {
          case 1: v = is_signed ? std::int64_t{*reinterpret_cast<const std::int8_t*>(item)} : std::int64_t{*reinterpret_cast<const std::uint8_t*>(item)}; break;
          case 2: v = is_signed ? std::int64_t{*reinterpret_cast<const std::int16_t*>(item)} : std::int64_t{*reinterpret_cast<const std::uint16_t*>(item)}; break;
          case 4: v = is_signed ? std::int64_t{*reinterpret_cast<const std::int32_t*>(item)} : std::int64_t{*reinterpret_cast<const std::uint32_t*>(item)}; break;
          default: {
            const std::uint64_t u = *reinterpret_cast<const std::uint64_t*>(item);
            v = !is_signed && u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
          }
        }
        out[i] = v;
      }
      ok = true;
    }
    PyBuffer_Release(&view);
    return ok;
  }
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    PyErr_Format(PyExc_TypeError, "step() argument 'actions' must be an array or a sequence of ints, not %.200s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  // A snapshot: an item's __index__ may change a list while it is read.
  OwnedRef items(PySequence_Tuple(value));
  if (items.empty()) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  if (static_cast<std::size_t>(count) != n) {
    PyErr_Format(PyExc_ValueError, "step() argument 'actions' must hold %zu actions (one per game), not %zd", n,
                 count);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (PyBool_Check(item) || !PyIndex_Check(item)) {
      PyErr_Format(PyExc_TypeError, "step() argument 'actions' must hold ints, but actions[%zd] is %.200s", i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    OwnedRef number(PyNumber_Index(item));
    if (number.empty()) return false;
    int overflow = 0;
    out[i] = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (out[i] == -1 && PyErr_Occurred()) return false;
    if (overflow) out[i] = overflow > 0 ? INT64_MAX : INT64_MIN;
  }
  return true;
}

PyObject* env_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* actions_arg = nullptr;
  if (!extract_fastcall(kStepSignature, args, nargs, kwnames, &actions_arg)) return nullptr;
  EnvState& s = state_of(self);
  BorrowGuard borrow;
  if (const char* error = borrow.exclude(s.borrow)) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::size_t n = s.size();
    std::vector<std::int64_t> actions;
    if (!read_actions(actions_arg, n, actions)) return nullptr;
    // Every action is checked before any game moves.
    std::vector<std::int16_t> places(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
      if (actions[i] < 0 || actions[i] >= selfplay::kActions) {
        PyErr_Format(PyExc_ValueError, "step(): game %zu: action %lld is not an action id (0 to 4671)", i,
                     static_cast<long long>(actions[i]));
        return nullptr;
      }
      const Game& g = s.record.games[i];
      if (g.terminated) continue;
      places[i] = static_cast<std::int16_t>(selfplay::legal_place(g, static_cast<int>(actions[i])));
      if (places[i] < 0 && !s.record.lose_on_illegal) {
        PyErr_Format(PyExc_ValueError, "step(): game %zu: action %lld is not legal in its position", i,
                     static_cast<long long>(actions[i]));
        return nullptr;
      }
    }
    s.undo.resize(n);
    s.replaced.resize(n);
    const bool autoreset = s.record.autoreset;
    const bool seeded = s.record.seeded;
    std::vector<std::uint8_t> ran;
    std::size_t chunk = 0;
    const bool ok = for_each_game(s, ran, chunk, [&](std::size_t i) {
      Game& g = s.record.games[i];
      selfplay::StepUndo& undo = s.undo[i];
      undo.stepped = false;
      undo.rewards = g.rewards;
      selfplay::clear_mask(g, mask_row(s, i));
      if (g.terminated) {
        if (autoreset) {
          // The next game of this slot: its key follows from the last one.
          const selfplay::PrngKey key = selfplay::split_key(g.key, 1);
          s.replaced[i] = std::make_unique<Game>(std::move(g));
          g = Game();
          selfplay::reset_game(*s.tables, g, seeded && selfplay::bernoulli_half(key), key);
        } else {
          g.rewards = {0.0f, 0.0f};
        }
      } else {
        selfplay::step_game(*s.tables, g, static_cast<int>(actions[i]), places[i], undo);
      }
      selfplay::set_mask(g, mask_row(s, i));
      write_outputs_but_mask(s, i);
    });
    if (!ok) {
      for (std::size_t c = 0; c < ran.size(); ++c) {
        if (!ran[c]) continue;
        for (std::size_t i = c * chunk; i < std::min(n, (c + 1) * chunk); ++i) {
          Game& g = s.record.games[i];
          selfplay::clear_mask(g, mask_row(s, i));
          if (s.replaced[i]) {
            g = std::move(*s.replaced[i]);
          } else {
            selfplay::undo_step(*s.tables, g, s.undo[i]);
          }
          selfplay::set_mask(g, mask_row(s, i));
          write_outputs_but_mask(s, i);
        }
      }
    }
    for (auto& game : s.replaced) game.reset();
    if (!ok) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* env_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* seed_arg = nullptr;
  if (!extract_fastcall(kResetSignature, args, nargs, kwnames, &seed_arg)) return nullptr;
  std::uint64_t seed = 0;
  const bool seeded = seed_arg && seed_arg != Py_None;
  if (seeded) {
    // As jax.random.PRNGKey takes it: modulo 2**32 (two's complement).
    if (!read_seed(kResetSignature, "seed", seed_arg, seed)) return nullptr;
  }
  EnvState& s = state_of(self);
  BorrowGuard borrow;
  if (const char* error = borrow.exclude(s.borrow)) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!reset_games(s, seeded, seed & 0xFFFFFFFFu)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* env_sample_actions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* seed_arg = nullptr;
  if (!extract_fastcall(kSampleSignature, args, nargs, kwnames, &seed_arg)) return nullptr;
  EnvState& s = state_of(self);
  BorrowGuard borrow;
  if (const char* error = borrow.exclude(s.borrow)) return borrow_error(error);
  std::uint64_t base;
  if (seed_arg && seed_arg != Py_None) {
    std::uint64_t seed = 0;
    if (!read_seed(kSampleSignature, "rng_seed", seed_arg, seed)) return nullptr;
    base = splitmix64(seed ^ 0x5A4D504C45ull);
  } else {
    s.record.sample_stream = splitmix64(s.record.sample_stream);
    base = s.record.sample_stream;
  }
  const Py_ssize_t shape[] = {static_cast<Py_ssize_t>(s.size())};
  ArrayResult array;
  if (!array.create(ItemType::kInt32, shape)) return nullptr;
  auto* out = static_cast<std::int32_t*>(array.data());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const Game& g = s.record.games[i];
    if (!g.legal) {
      out[i] = 0;
      continue;
    }
    const std::uint64_t r = splitmix64(base + i * 0x9E3779B97F4A7C15ull) >> 32;
    out[i] = g.ids[(r * g.legal) >> 32];
  }
  return array.finish();
}

// Reads a game index argument.
bool read_game(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const EnvState& s, std::size_t& out) {
  PyObject* value = nullptr;
  long long i;
  if (!extract_fastcall(sig, args, nargs, kwnames, &value) ||
      !read_int(sig, "game", value, 0, static_cast<long long>(s.size()) - 1, i)) {
    return false;
  }
  out = static_cast<std::size_t>(i);
  return true;
}

PyObject* moves_list(const Game& g) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(g.played.size())));
  if (list.empty()) return nullptr;
  for (std::size_t j = 0; j < g.played.size(); ++j) {
    const std::string text = g.played[j].text();
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), item);
  }
  return list.release();
}

PyObject* env_moves(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  EnvState& s = state_of(self);
  std::size_t i;
  if (!read_game(kMovesSignature, args, nargs, kwnames, s, i)) return nullptr;
  BorrowGuard borrow;
  if (const char* error = borrow.share(s.borrow)) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&] { return moves_list(s.record.games[i]); });
}

// board(i): an orvex_chess.Board at the standard position with the game's
// legal moves pushed.
PyObject* env_board(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  EnvState& s = state_of(self);
  std::size_t i;
  if (!read_game(kBoardSignature, args, nargs, kwnames, s, i)) return nullptr;
  BorrowGuard borrow;
  if (const char* error = borrow.share(s.borrow)) return borrow_error(error);
  OwnedRef moves(guarded<PyObject*>(nullptr, [&] { return moves_list(s.record.games[i]); }));
  if (moves.empty()) return nullptr;
  OwnedRef module(PyImport_ImportModule("orvex_chess"));
  if (module.empty()) return nullptr;
  OwnedRef board(PyObject_CallMethod(module.get(), "Board", nullptr));
  if (board.empty()) return nullptr;
  OwnedRef push(PyObject_GetAttrString(board.get(), "push"));
  if (push.empty()) return nullptr;
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(moves.get()); ++j) {
    PyObject* move = PyList_GET_ITEM(moves.get(), j);
    OwnedRef done(PyObject_CallOneArg(push.get(), move));
    if (done.empty()) return nullptr;
  }
  return board.release();
}

PyObject* env_reduce(PyObject* self, PyObject*) {
  EnvState& s = state_of(self);
  BorrowGuard borrow;
  if (const char* error = borrow.share(s.borrow)) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::string bytes = selfplay::env_to_bytes(s.record);
    return Py_BuildValue("O(n)y#", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         static_cast<Py_ssize_t>(s.size()), bytes.data(),
                         static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* env_setstate(PyObject* self, PyObject* state) {
  if (!PyBytes_Check(state)) {
    PyErr_Format(PyExc_TypeError, "__setstate__() argument 'state' must be bytes, not %.200s",
                 Py_TYPE(state)->tp_name);
    return nullptr;
  }
  EnvState& s = state_of(self);
  BorrowGuard borrow;
  if (const char* error = borrow.exclude(s.borrow)) return borrow_error(error);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::string_view bytes(PyBytes_AS_STRING(state), static_cast<std::size_t>(PyBytes_GET_SIZE(state)));
    Parsed<EnvRecord> parsed = selfplay::env_from_bytes(*s.tables, bytes);
    if (!parsed.ok()) {
      set_value_error("Invalid environment state: ", parsed.error());
      return nullptr;
    }
    EnvState next;
    next.tables = s.tables;
    next.record = std::move(parsed.value());
    if (!make_outputs(next)) return nullptr;
    for (std::size_t i = 0; i < next.size(); ++i) write_outputs(next, i);
    s.record = std::move(next.record);
    s.out = std::move(next.out);
    Py_RETURN_NONE;
  });
}

PyObject* env_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[5] = {};
  if (!extract_tuple(kNewSignature, args, kwargs, a)) return nullptr;
  long long batch_size;
  int form = 0, illegal = 0;
  bool autoreset = false;
  if (!read_int(kNewSignature, "batch_size", a[0], 1, kMostGames, batch_size)) return nullptr;
  const unsigned threads = thread_count("ChessEnv", a[1]);
  if (!threads) return nullptr;
  if (!read_choice(kNewSignature, "observation", a[2], {"float32", "uint8", "bits"}, form) ||
      !read_bool(kNewSignature, "autoreset", a[3], false, autoreset) ||
      !read_choice(kNewSignature, "illegal", a[4], {"raise", "lose"}, illegal)) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto state = std::make_unique<EnvState>();
    state->tables = &attack_tables();
    state->record.form = static_cast<ObservationForm>(form);
    state->record.autoreset = autoreset;
    state->record.lose_on_illegal = illegal == 1;
    state->record.threads = threads;
    state->record.games.resize(static_cast<std::size_t>(batch_size));
    if (!make_outputs(*state) || !reset_games(*state, false, 0)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<EnvObject*>(self)->state = state.release();
    return self;
  });
}

void env_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<EnvObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

template <OwnedRef Outputs::*Member>
PyObject* output_getter(PyObject* self, void*) {
  return Py_NewRef((state_of(self).out.*Member).get());
}

PyObject* env_batch_size(PyObject* self, void*) { return PyLong_FromSize_t(state_of(self).size()); }

template <auto Function>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef env_methods[] = {
    {"reset", fastcall<env_reset>(), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, seed=None)\n--\n\nStarts every game again at the standard position; with a seed, "
     "draws each game's player order as pgx's init does from jax.random.split(jax.random.PRNGKey(seed), N)."},
    {"step", fastcall<env_step>(), METH_FASTCALL | METH_KEYWORDS,
     "step($self, actions)\n--\n\nMakes one action (an AlphaZero id) in every game and updates the arrays."},
    {"sample_actions", fastcall<env_sample_actions>(), METH_FASTCALL | METH_KEYWORDS,
     "sample_actions($self, rng_seed=None)\n--\n\nA uniformly random legal action per running game (0 for an "
     "ended one), as a (N,) int32 array."},
    {"moves", fastcall<env_moves>(), METH_FASTCALL | METH_KEYWORDS,
     "moves($self, game)\n--\n\nThe legal moves played in game `game`, in coordinate notation."},
    {"board", fastcall<env_board>(), METH_FASTCALL | METH_KEYWORDS,
     "board($self, game)\n--\n\nGame `game` as an orvex_chess.Board, its moves pushed from the standard "
     "position."},
    {"__reduce__", env_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", env_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef env_getset[] = {
    {"observation", output_getter<&Outputs::observation>, nullptr,
     "(N, 8, 8, 119) float32 or uint8, or (N, 119) uint64: each game's observation for the player to move.",
     nullptr},
    {"legal_action_mask", output_getter<&Outputs::mask>, nullptr,
     "(N, 4672) bool: the legal actions (all of them once a game has ended).", nullptr},
    {"rewards", output_getter<&Outputs::rewards>, nullptr, "(N, 2) float32: the last step's rewards by player.",
     nullptr},
    {"terminated", output_getter<&Outputs::terminated>, nullptr, "(N,) bool: the game has ended.", nullptr},
    {"truncated", output_getter<&Outputs::truncated>, nullptr, "(N,) bool: always false, as in pgx.", nullptr},
    {"current_player", output_getter<&Outputs::current_player>, nullptr,
     "(N,) int32: the player (0 or 1) to move.", nullptr},
    {"step_count", output_getter<&Outputs::step_count>, nullptr, "(N,) int32: the steps since the reset.",
     nullptr},
    {"batch_size", env_batch_size, nullptr, "The number of games.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot env_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(env_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(env_dealloc)},
    {Py_tp_methods, env_methods},
    {Py_tp_getset, env_getset},
    {Py_tp_doc, const_cast<char*>(
        "ChessEnv(batch_size, *, threads=None, observation=\"float32\", autoreset=False, illegal=\"raise\")\n--\n\n"
        "A batch of chess games stepped together by pgx's rules, in C++ on worker threads.")},
    {0, nullptr},
};

PyType_Spec env_spec = {
    "orvex_tools.ChessEnv",
    sizeof(EnvObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    env_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orvex_tools._env",
    "The native self-play environment behind orvex_tools.ChessEnv.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_once = nullptr;

}  // namespace
}  // namespace orvex::py

PyMODINIT_FUNC PyInit__env() {
  using namespace orvex::py;
  if (module_once) return Py_NewRef(module_once);
  if (!panic_exception()) return nullptr;
  OwnedRef module(PyModule_Create(&module_def));
  if (module.empty()) return nullptr;
  PyObject* type = PyType_FromSpec(&env_spec);
  if (!type || PyModule_AddObject(module.get(), "ChessEnv", type) < 0) {
    Py_XDECREF(type);
    return nullptr;
  }
  env_type = type;
  if (!add_search_types(module.get())) return nullptr;
  module_once = Py_NewRef(module.get());
  return module.release();
}
