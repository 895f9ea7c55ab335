// The extension module orvex_tools._pgn: the native side of
// orvex_tools.read_games. Its one class, Reader, pulls bytes from a read
// callable, reads games with the interpreter lock released (on the calling
// thread, or on background threads while the games before are handed out),
// and builds the Game records one by one.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "base/parallel.h"
#include "board/fen.h"
#include "module/arguments.h"
#include "module/batch_runner.h"
#include "module/borrow.h"
#include "module/errors.h"
#include "module/move_strings.h"
#include "module/owned_ref.h"
#include "module/python.h"
#include "pgn/reader.h"
#include "pgn/start_position.h"
#include "pgn_module/chunk_functions.h"
#include "pgn_module/movetext_function.h"
#include "pgn_module/training_stream_type.h"

namespace orvex::py {
namespace {

// The most failures a reader keeps for its errors list.
constexpr std::size_t kErrorsKept = 100;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A stretch of input read in pieces (the chunks of the job): from its start
// by threads - 1 worker threads, while the calling thread hands out the games
// before it; then by the calling thread as well, once those are out.
struct BackgroundRead {
  std::string text;
  std::size_t offset = 0;  // the text read starts here
  std::optional<pgn::PieceRead> read;
  StopFlag stop;
  unsigned helper = 0;  // the worker number of the calling thread
  // Last, so that its threads are stopped and joined first.
  std::optional<ParallelJob> job;
};

struct ReaderState {
  OwnedRef read;
  // The source's readinto(buffer), or empty: then read(n) is called.
  OwnedRef readinto;
  OwnedRef game_type;
  OwnedRef error_type;
  OwnedRef errors;  // a list of at most kErrorsKept error records
  bool skip = false;
  // The source is a pipe, a FIFO or a device: read(n) returns what has come
  // (at least a byte) rather than n bytes, and the reader reads no more than
  // it must before handing out the games it has, so that a live feed of games
  // is read game by game.
  bool live = false;
  unsigned threads = 1;
  std::size_t block = 1 << 20;
  std::size_t max_game_bytes = pgn::kNoLimit;

  // Input not yet read, starting at a line start between games.
  std::string buffer;
  // Input read ahead while a background read runs: after kAheadRoom bytes of
  // room, where what the read leaves unread is put in front of it, so that the
  // next read starts without copying the input read ahead.
  std::string ahead;
  // The text of the last background read, kept for reading ahead into next: a
  // large block of new memory costs more to touch (the system clears every
  // page) than filling it.
  std::string spare;
  std::uint64_t line_base = 0;
  bool input_done = false;
  bool mark_checked = false;
  bool finished = false;
  // kGameTooLong or kLineTooLong: the reading stopped before a game or line
  // longer than max_game_bytes, which begins on line line_base + 1. It is
  // reported once the games before it are out.
  pgn::Stop too_long = pgn::Stop::kNeedMore;
  // close() was called, possibly from another thread while this reader was
  // inside next(); that thread ends the reading when it regains control.
  bool close_requested = false;

  pgn::GameBatch current;
  std::size_t cursor = 0;
  std::uint64_t next_index = 0;
  std::uint64_t skipped = 0;
  std::unique_ptr<BackgroundRead> job;
  BorrowFlag borrow;
};

struct ReaderObject {
  PyObject_HEAD
  ReaderState* state;
};

ReaderState& state_of(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self)->state; }

// Strings made once per process: the standard start and the four results.
struct Constants {
  PyObject* start_fen = nullptr;
  std::array<PyObject*, 4> results{};
};
Constants constants;

bool make_constants() {
  if (constants.start_fen) return true;
  constants.start_fen = PyUnicode_FromStringAndSize(kDefaultFen.data(), kDefaultFen.size());
  if (!constants.start_fen) return false;
  const char* results[] = {"1-0", "0-1", "1/2-1/2", "*"};
  for (std::size_t i = 0; i < 4; ++i) {
    constants.results[i] = PyUnicode_InternFromString(results[i]);
    if (!constants.results[i]) return false;
  }
  return true;
}

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* result_object(std::string_view result) {
  const std::string_view standard[] = {"1-0", "0-1", "1/2-1/2", "*"};
  for (std::size_t i = 0; i < 4; ++i) {
    if (result == standard[i]) return Py_NewRef(constants.results[i]);
  }
  return text_object(result);
}

void finish(ReaderState& s);

// Lets the source's readinto() write up to want bytes into into after its
// first at bytes, without a bytes object between; into then ends after them.
// The memoryview it is given is released afterwards; if the source still
// holds a view of it (it kept a slice, say), it could write into memory that
// is used again, so the reading ends there, with BufferError, and that memory
// is left to the source. As read_input.
bool read_into(ReaderState& s, std::size_t want, std::string& into, std::size_t at) {
  if (!guarded<bool>(false, [&] {
        // Bytes that into holds already are not cleared first.
        if (into.size() < at + want) into.resize(at + want);
        return true;
      })) {
    finish(s);
    return false;
  }
  OwnedRef view(PyMemoryView_FromMemory(into.data() + at, static_cast<Py_ssize_t>(want), PyBUF_WRITE));
  if (view.empty()) {
    into.resize(at);
    return false;
  }
  OwnedRef count(PyObject_CallOneArg(s.readinto.get(), view.get()));
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  OwnedRef released(PyObject_CallMethod(view.get(), "release", nullptr));
  if (released.empty()) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    new std::string(std::move(into));  // never freed: the source may still write there
    into = std::string();
    finish(s);
    return false;
  }
  PyErr_Restore(type, value, traceback);
  if (s.close_requested || count.empty()) {
    into.resize(at);
    return false;
  }
  const Py_ssize_t n = count.get() == Py_None ? -1 : PyLong_AsSsize_t(count.get());
  if (n < 0 || static_cast<std::size_t>(n) > want) {
    into.resize(at);
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "readinto() must return the number of bytes read, not %R",
                 count.get());
    finish(s);
    return false;
  }
  into.resize(at + static_cast<std::size_t>(n));
  if (n == 0) s.input_done = true;
  return true;
}

// read_input's work; on failure into may hold bytes past at that are not
// input.
bool read_input_at(ReaderState& s, std::size_t want, std::string& into, std::size_t at) {
  if (s.read.empty()) {
    PyErr_SetString(PyExc_ValueError, "the reader is closed");
    return false;
  }
  if (!s.readinto.empty()) return read_into(s, want, into, at);
  OwnedRef size(PyLong_FromSize_t(want));
  if (size.empty()) return false;
  PyObject* args[] = {size.get()};
  OwnedRef chunk(PyObject_Vectorcall(s.read.get(), args, 1, nullptr));
  if (s.close_requested || chunk.empty()) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "read() must return bytes, not %.200s",
                 Py_TYPE(chunk.get())->tp_name);
    finish(s);
    return false;
  }
  const bool ok = guarded<bool>(false, [&] {
    into.resize(at);
    into.append(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    return true;
  });
  PyBuffer_Release(&view);
  if (!ok) finish(s);
  if (ok && view.len == 0) s.input_done = true;
  return ok;
}

// Calls read(want) and puts the bytes it returns into into after its first
// at bytes (at most its size), where into then ends; an empty result marks
// the end of the input. Bytes into holds past at are not kept: they are a
// buffer of an earlier read, kept at its size so that it need not be cleared
// again (a large fill showed in the profile). Returns false with an error
// set, or without one when close() was called meanwhile (reader_next ends
// the reading then), into cut to at bytes. Input that was read but cannot be
// kept (out of memory) ends the reading: the reader goes on with no gap in the
// text.
bool read_input(ReaderState& s, std::size_t want, std::string& into, std::size_t at) {
  const bool ok = read_input_at(s, want, into, at);
  if (!ok && into.size() > at) into.resize(at);
  return ok;
}

// The size to grow unfinished text of `have` bytes to before it is read
// again: twice as much, so that a long game is read again only a few times,
// but no more than one byte past max_game_bytes, so that a game or line that
// never ends is refused without holding much more than the limit.
std::size_t grown_size(const ReaderState& s, std::size_t have) {
  const std::size_t room = have < s.max_game_bytes ? s.max_game_bytes - have : 0;
  return have + std::min(have, room) + 1;
}

// Takes in how a read of the buffer ended: a game or line too long ends the
// reading once the games read before it are out.
void note_outcome(ReaderState& s, const pgn::ReadOutcome& outcome) {
  s.line_base += outcome.lines;
  s.finished = outcome.finished;
  if (outcome.stop == pgn::Stop::kGameTooLong || outcome.stop == pgn::Stop::kLineTooLong) {
    s.too_long = outcome.stop;
    s.finished = true;
    std::string().swap(s.buffer);
    std::string().swap(s.ahead);
    std::string().swap(s.spare);
  }
}

// Drops a UTF-8 byte order mark from the very start of the input.
void drop_byte_order_mark(ReaderState& s, std::string& text) {
  if (s.mark_checked) return;
  if (text.size() < kByteOrderMark.size() && !s.input_done) return;
  s.mark_checked = true;
  if (std::string_view(text).starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
}

// Reads the games of the buffer on this thread, reading more input until a
// game is complete or the input ends.
bool refill_here(ReaderState& s) {
  while (true) {
    if (!s.input_done &&
        !read_input(s, std::max(s.block, grown_size(s, s.buffer.size()) - s.buffer.size()),
                    s.buffer, s.buffer.size())) {
      return false;
    }
    drop_byte_order_mark(s, s.buffer);
    s.current.clear();
    s.cursor = 0;
    pgn::ReadOutcome outcome;
    std::exception_ptr error;
    {
      ReleasedLock unlocked;
      try {
        outcome = pgn::read_games(s.buffer, s.input_done, s.line_base, s.current, nullptr,
                                  s.max_game_bytes);
      } catch (...) {
        error = std::current_exception();
      }
    }
    if (error) {
      s.current.clear();
      return guarded<bool>(false, [&]() -> bool { std::rethrow_exception(error); });
    }
    s.buffer.erase(0, outcome.consumed);
    note_outcome(s, outcome);
    if (!s.current.games.empty() || s.finished) return true;
  }
}

// The room in front of the input read ahead (see ReaderState::ahead).
constexpr std::size_t kAheadRoom = 256 << 10;

// Starts a background read of the buffer, the input read ahead and enough new
// input to give every thread a block (and to grow what was left unfinished,
// so that a game longer than a block is soon complete), then reads ahead for
// the next one while it runs.
bool start_background_read(ReaderState& s) {
  const std::size_t target =
      std::max(s.block * static_cast<std::size_t>(s.threads), grown_size(s, s.buffer.size()));
  // The text: what the last read left, then what was read ahead.
  std::string text;
  std::size_t offset = 0;
  if (s.ahead.size() > kAheadRoom) {
    const std::size_t left = s.buffer.size();
    if (left <= kAheadRoom) {
      offset = kAheadRoom - left;
      std::memcpy(s.ahead.data() + offset, s.buffer.data(), left);
    } else if (!guarded<bool>(false, [&] {
                 s.ahead.replace(0, kAheadRoom, s.buffer);
                 return true;
               })) {
      return false;
    }
    s.buffer.clear();
    text.swap(s.ahead);
  } else {
    text.swap(s.buffer);
  }
  while (!s.input_done && text.size() - offset < target) {
    if (!read_input(s, target - (text.size() - offset), text, text.size())) {
      text.erase(0, offset);  // the text waits for the next call
      s.buffer.swap(text);
      return false;
    }
    if (s.live) break;  // what has come is read now
  }
  if (offset == 0) drop_byte_order_mark(s, text);
  auto job = guarded<std::unique_ptr<BackgroundRead>>(
      nullptr, [] { return std::make_unique<BackgroundRead>(); });
  if (!job) {
    text.erase(0, offset);
    s.buffer.swap(text);
    return false;
  }
  job->text.swap(text);
  job->offset = offset;
  const bool started = guarded<bool>(false, [&] {
    pgn::PieceRead& read =
        job->read.emplace(std::string_view(job->text).substr(job->offset), s.input_done,
                          pgn::kPiecesPerThread * s.threads, pgn::kMinPiece, s.max_game_bytes);
    StopFlag& stop = job->stop;
    const ChunkBody body = [&read, &stop](std::size_t i, unsigned) { read.read_piece(i, &stop); };
    job->helper = s.threads - 1;
    try {
      job->job.emplace(read.pieces(), job->helper, stop, body);
    } catch (const std::system_error&) {
      // No thread could be started (short of memory, say): this one reads every piece.
      job->job.emplace(read.pieces(), 0, stop, body);
    }
    return true;
  });
  if (!started) {
    job->text.erase(0, job->offset);
    job->text.swap(s.buffer);  // the text waits for the next call
    return false;
  }
  s.job = std::move(job);
  if (s.input_done || s.live) return true;
  // Read ahead into the last read's text (kept at its size, so that its
  // bytes are not cleared again), after room for what this one leaves.
  s.ahead.swap(s.spare);
  return read_input(s, s.block * static_cast<std::size_t>(s.threads), s.ahead, kAheadRoom);
}

// Reads the pieces of the running background read that no worker has taken,
// waits for the workers, takes the games, then starts the next read.
bool refill_background(ReaderState& s) {
  if (!s.job && !start_background_read(s)) return false;
  BackgroundRead& running = *s.job;
  const std::size_t pieces = running.read->pieces();
  {
    ReleasedLock unlocked(&*running.job);
    while (running.job->help(running.helper)) {
    }
  }
  while (!running.stop.requested()) {
    std::size_t done;
    {
      ReleasedLock unlocked(&*running.job);
      done = running.job->wait_for_done(pieces, kSignalPollInterval);
    }
    if (done == pieces) break;
    if (PyErr_CheckSignals() < 0 || s.close_requested) return false;
  }
  std::unique_ptr<BackgroundRead> job = std::move(s.job);
  std::exception_ptr error;
  pgn::ReadOutcome outcome;
  s.current.clear();
  s.cursor = 0;
  {
    ReleasedLock unlocked;
    try {
      job->job->join();
      outcome = job->read->stitch(s.line_base, s.current, nullptr);
      s.buffer.assign(job->text, job->offset + outcome.consumed);
      s.spare.swap(job->text);
      job.reset();
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) {
    // The text of the read is gone with it: the reading cannot go on.
    finish(s);
    return guarded<bool>(false, [&]() -> bool { std::rethrow_exception(error); });
  }
  note_outcome(s, outcome);
  // A live source is read again only once these games are out.
  return s.finished || (s.live && !s.current.games.empty()) || start_background_read(s);
}

PyObject* game_object(ReaderState& s, const pgn::GameRecord& g, std::uint64_t index) {
  const pgn::GameBatch& b = s.current;
  OwnedRef index_object(PyLong_FromUnsignedLongLong(index));
  OwnedRef line(PyLong_FromUnsignedLongLong(g.line + 1));
  OwnedRef tags(PyDict_New());
  if (index_object.empty() || line.empty() || tags.empty()) return nullptr;
  for (std::uint32_t i = 0; i < g.tag_count; ++i) {
    const pgn::TagRecord& t = b.tags[g.first_tag + i];
    OwnedRef name(text_object(b.view(t.name)));
    if (name.empty()) return nullptr;
    OwnedRef value(text_object(b.view(t.value)));
    if (value.empty() || PyDict_SetItem(tags.get(), name.get(), value.get()) < 0) return nullptr;
  }
  OwnedRef fen;
  std::uint32_t halfmove_clock = 0, fullmove_number = 1;
  bool chess960 = false;
  if (g.start == pgn::kNone) {
    fen.reset(Py_NewRef(constants.start_fen));
  } else {
    const pgn::StartPosition& start = b.starts[g.start];
    halfmove_clock = start.halfmove_clock;
    fullmove_number = start.fullmove_number;
    chess960 = start.chess960;
    std::string text;
    if (!guarded<bool>(false, [&] {
          Board board;
          pgn::put_start(board, start);
          text = board_fen(board);
          return true;
        })) {
      return nullptr;
    }
    fen.reset(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (fen.empty()) return nullptr;
  }
  OwnedRef moves(PyList_New(g.move_count));
  if (moves.empty()) return nullptr;
  for (std::uint32_t i = 0; i < g.move_count; ++i) {
    PyObject* move = move_string(b.moves[g.first_move + i]);
    if (!move) return nullptr;
    PyList_SET_ITEM(moves.get(), i, move);
  }
  OwnedRef result(result_object(b.view(g.result)));
  if (result.empty()) return nullptr;
  OwnedRef clock(PyLong_FromUnsignedLong(halfmove_clock));
  OwnedRef number(PyLong_FromUnsignedLong(fullmove_number));
  if (clock.empty() || number.empty()) return nullptr;
  PyObject* args[] = {index_object.get(), line.get(), tags.get(), fen.get(), moves.get(),
                      result.get(), clock.get(), number.get(), chess960 ? Py_True : Py_False};
  return PyObject_Vectorcall(s.game_type.get(), args, 9, nullptr);
}

// Counts a game that cannot be replayed and keeps its error record; raises
// ValueError unless failures are skipped. Returns false with an error set.
bool report_failure(ReaderState& s, const pgn::GameRecord& g, std::uint64_t index) {
  const pgn::GameFailure& f = s.current.failures[g.failure];
  ++s.skipped;
  std::string message;
  if (!guarded<bool>(false, [&] {
        message = pgn::failure_message(index, g, f);
        return true;
      })) {
    return false;
  }
  OwnedRef message_object(text_object(message));
  if (message_object.empty()) return false;
  if (static_cast<std::size_t>(PyList_GET_SIZE(s.errors.get())) < kErrorsKept) {
    OwnedRef index_object(PyLong_FromUnsignedLongLong(index));
    OwnedRef line(PyLong_FromUnsignedLongLong(f.line + 1));
    OwnedRef text(text_object(f.text));
    if (index_object.empty() || line.empty() || text.empty()) return false;
    PyObject* args[] = {index_object.get(), line.get(), text.get(), message_object.get()};
    OwnedRef record(PyObject_Vectorcall(s.error_type.get(), args, 4, nullptr));
    if (record.empty() || PyList_Append(s.errors.get(), record.get()) < 0) return false;
  }
  if (s.skip) return true;
  PyErr_SetObject(PyExc_ValueError, message_object.get());
  return false;
}

// Raises ValueError for the game or line longer than max_game_bytes that
// ended the reading.
PyObject* report_too_long(ReaderState& s) {
  const pgn::Stop stop = std::exchange(s.too_long, pgn::Stop::kNeedMore);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::string message = pgn::too_long_message(stop == pgn::Stop::kGameTooLong, s.next_index,
                                                      s.line_base + 1, s.max_game_bytes);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  });
}

PyObject* next_game(ReaderState& s) {
  while (true) {
    while (s.cursor < s.current.games.size()) {
      const pgn::GameRecord& g = s.current.games[s.cursor++];
      const std::uint64_t index = s.next_index++;
      if (g.failure == pgn::kNone) return game_object(s, g, index);
      if (!report_failure(s, g, index)) return nullptr;
    }
    if (s.finished) {
      s.current.clear();
      s.cursor = 0;
      return s.too_long == pgn::Stop::kNeedMore ? nullptr : report_too_long(s);
    }
    if (!(s.threads > 1 ? refill_background(s) : refill_here(s))) return nullptr;
  }
}

// Ends the reading for good and lets go of the input.
void close_reader(ReaderState& s) {
  finish(s);
  s.read.reset();
  s.readinto.reset();
}

PyObject* reader_next(PyObject* self) {
  ReaderState& s = state_of(self);
  BorrowGuard borrow;
  if (const char* error = borrow.exclude(s.borrow)) {
    // Another thread is closing the reader: the iteration is over.
    return s.close_requested ? nullptr : borrow_error(error);
  }
  PyObject* game = next_game(s);
  if (!s.close_requested) return game;
  // close() was called from another thread while this one read, waited for
  // input or built the game: the iteration ends here, and what went wrong
  // meanwhile (such as the read that close() cut short) is dropped.
  Py_XDECREF(game);
  if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
  close_reader(s);
  return nullptr;
}

// Stops a background read, drops the input and marks the reader finished.
void finish(ReaderState& s) {
  if (s.job) {
    ReleasedLock unlocked;
    s.job.reset();
  }
  s.finished = true;
  s.current.clear();
  s.cursor = 0;
  std::string().swap(s.buffer);
  std::string().swap(s.ahead);
  std::string().swap(s.spare);
}

// Returns True once the reader is closed; False when another thread is inside
// next(): that thread ends the reading (and closes the reader) as soon as it
// regains control, its next() raising StopIteration.
PyObject* reader_close(PyObject* self, PyObject*) {
  ReaderState& s = state_of(self);
  s.close_requested = true;
  BorrowGuard borrow;
  if (borrow.exclude(s.borrow)) Py_RETURN_FALSE;
  close_reader(s);
  Py_RETURN_TRUE;
}

PyObject* reader_skipped(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).skipped);
}

PyObject* reader_errors(PyObject* self, void*) { return PyList_GetSlice(state_of(self).errors.get(), 0, PY_SSIZE_T_MAX); }

const Signature kNewSignature{
    "Reader",
    {"read", "game", "error", "skip_errors", "threads", "block_size", "max_game_bytes", "readinto",
     "live"},
    7};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[9] = {};
  if (!extract_tuple(kNewSignature, args, kwargs, a)) return nullptr;
  if (!PyCallable_Check(a[0]) || !PyCallable_Check(a[1]) || !PyCallable_Check(a[2]) ||
      (a[7] && a[7] != Py_None && !PyCallable_Check(a[7]))) {
    PyErr_SetString(PyExc_TypeError, "Reader(): read, game, error and readinto must be callable");
    return nullptr;
  }
  const int skip = PyObject_IsTrue(a[3]);
  if (skip < 0) return nullptr;
  const int live = a[8] ? PyObject_IsTrue(a[8]) : 0;
  if (live < 0) return nullptr;
  const unsigned threads = thread_count("read_games", a[4]);
  if (!threads) return nullptr;
  const Py_ssize_t block = PyLong_AsSsize_t(a[5]);
  if (block == -1 && PyErr_Occurred()) return nullptr;
  if (block < 1) {
    PyErr_SetString(PyExc_ValueError, "Reader(): block_size must be positive");
    return nullptr;
  }
  std::size_t max_game_bytes = pgn::kNoLimit;
  if (a[6] != Py_None) {
    max_game_bytes = PyLong_AsSize_t(a[6]);
    if (max_game_bytes == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    if (max_game_bytes < 1) {
      PyErr_SetString(PyExc_ValueError, "Reader(): max_game_bytes must be positive or None");
      return nullptr;
    }
  }
  if (!make_constants()) return nullptr;
  OwnedRef errors(PyList_New(0));
  if (errors.empty()) return nullptr;
  OwnedRef self(type->tp_alloc(type, 0));
  if (self.empty()) return nullptr;
  ReaderState* state = guarded<ReaderState*>(nullptr, [] { return new ReaderState(); });
  if (!state) return nullptr;
  reinterpret_cast<ReaderObject*>(self.get())->state = state;
  state->read.reset(Py_NewRef(a[0]));
  if (a[7] && a[7] != Py_None) state->readinto.reset(Py_NewRef(a[7]));
  state->game_type.reset(Py_NewRef(a[1]));
  state->error_type.reset(Py_NewRef(a[2]));
  state->errors = std::move(errors);
  state->skip = skip != 0;
  state->live = live != 0;
  state->threads = threads;
  state->block = static_cast<std::size_t>(block);
  state->max_game_bytes = max_game_bytes;
  return self.release();
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  ReaderState* s = reinterpret_cast<ReaderObject*>(self)->state;
  if (s) {
    Py_VISIT(s->read.get());
    Py_VISIT(s->readinto.get());
    Py_VISIT(s->game_type.get());
    Py_VISIT(s->error_type.get());
    Py_VISIT(s->errors.get());
  }
  return 0;
}

int reader_clear(PyObject* self) {
  ReaderState* s = reinterpret_cast<ReaderObject*>(self)->state;
  if (s) {
    s->read.reset();
    s->readinto.reset();
    s->game_type.reset();
    s->error_type.reset();
    s->errors.reset();
  }
  return 0;
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  ReaderState* s = reinterpret_cast<ReaderObject*>(self)->state;
  if (s) {
    finish(*s);
    delete s;
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reader_iter(PyObject* self) { return Py_NewRef(self); }

PyMethodDef reader_methods[] = {
    {"close", reader_close, METH_NOARGS,
     "close() -> bool: stops reading; the reader yields no more games. Returns False when "
     "another thread is inside next(): it stops as soon as it regains control, its next() "
     "raising StopIteration."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"skipped", reader_skipped, nullptr, "The number of games that could not be replayed.",
     nullptr},
    {"errors", reader_errors, nullptr, "The error records of the first failed games.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>(
        "Reader(read, game, error, skip_errors, threads, block_size, max_game_bytes, readinto=None, "
        "live=False): "
        "the games of PGN bytes pulled from read(n), or read into the reader's buffer by "
        "readinto(buffer); use orvex_tools.read_games.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "orvex_tools._pgn.Reader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    reader_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orvex_tools._pgn",
    "The native PGN reader behind orvex_tools.read_games.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_once = nullptr;

}  // namespace
}  // namespace orvex::py

PyMODINIT_FUNC PyInit__pgn() {
  using namespace orvex::py;
  if (module_once) return Py_NewRef(module_once);
  if (!panic_exception()) return nullptr;
  OwnedRef module(PyModule_Create(&module_def));
  if (module.empty()) return nullptr;
  if (PyModule_AddFunctions(module.get(), chunk_functions().data()) < 0 ||
      PyModule_AddFunctions(module.get(), movetext_functions().data()) < 0) {
    return nullptr;
  }
  PyObject* type = PyType_FromSpec(&reader_spec);
  if (!type || PyModule_AddObject(module.get(), "Reader", type) < 0) {
    Py_XDECREF(type);
    return nullptr;
  }
  if (!add_training_stream_type(module.get())) return nullptr;
  module_once = Py_NewRef(module.get());
  return module.release();
}
