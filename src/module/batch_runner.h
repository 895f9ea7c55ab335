// Running C++ work with the interpreter lock released: on worker threads,
// while the calling thread keeps watch for Ctrl-C and hands the results to
// Python as they come.
//
// A batch method has three steps:
//
//   1. With the lock held, read every input into plain C++ data (copies of
//      board records, the UTF-8 text of str objects it keeps references to)
//      and take the borrows the call needs. After this no Python object is
//      touched until step 3.
//   2. run_batch(): the work, cut into chunks (base/parallel.h says how a
//      chunk body behaves), runs on worker threads with the lock released.
//      Done chunks are delivered, in chunk order, to deliver(chunk), which
//      runs on the calling thread with the lock held (it builds the Python
//      results) while the workers go on with later chunks. Between
//      deliveries the calling thread runs chunks itself, with the lock
//      released, if they are short; else it sleeps until chunks are done.
//      Either way it takes the lock at least every kSignalPollInterval and
//      calls PyErr_CheckSignals(); a signal handler that raises (Ctrl-C
//      raises KeyboardInterrupt) stops the workers, which give up between
//      chunks or when their chunk next looks at the stop flag.
//   3. With the lock held, release the borrows and return the result, or
//      null with the exception that run_batch() left set.
//
// Sketch (a list of one int per item; see generator_batch.cpp for the real thing):
//
//   StopFlag stop;
//   std::vector<long> values(n);
//   OwnedRef list(PyList_New(n));
//   const bool ok = run_batch(chunks, {threads, true}, stop,
//       [&](std::size_t chunk, unsigned worker) { /* no Python here */ values[...] = ...; },
//       [&](std::size_t chunk) { /* lock held */ ... PyList_SET_ITEM(...); return true; });
//   return ok ? list.release() : nullptr;
//
// A chunk's worker index is below options.threads: size per-worker scratch
// (PerWorker in base/parallel.h) by it. Whatever happens, the workers have
// been stopped and joined when run_batch() returns, so the chunk bodies may
// refer to the caller's locals.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "base/parallel.h"
#include "module/python.h"

namespace orvex::py {

// Takes the interpreter lock back for this thread, which released it with
// PyEval_SaveThread. While the interpreter shuts down it ends every other
// thread that asks for the lock (with pthread_exit, which unwinds the stack);
// that unwind must not run on into frames that may not throw, and there is no
// interpreter left to return to. The thread then stops job (when given: its
// stop flag raised, its workers joined) and sleeps until the process ends, as
// if it had ended.
void take_back_lock(PyThreadState* state, ParallelJob* job) noexcept;

// The interpreter lock released for the life of the object (the
// Py_BEGIN_ALLOW_THREADS of a scope). No Python object may be touched while
// it lives; the lock is taken again when it goes away, exceptions included.
// job, when given, is work running on other threads meanwhile: it is stopped
// should the interpreter shut down while the lock is released.
class [[nodiscard]] ReleasedLock {
 public:
  explicit ReleasedLock(ParallelJob* job = nullptr) : job_(job), state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { take_back_lock(state_, job_); }

 private:
  ParallelJob* job_;
  PyThreadState* state_;
};

// The longest the calling thread sleeps before it checks for signals.
inline constexpr std::chrono::milliseconds kSignalPollInterval{50};

struct BatchOptions {
  // The threads that run chunks; a chunk's worker index is below this.
  unsigned threads = 1;
  // Each chunk is short (well under kSignalPollInterval): the calling thread
  // is then one of the threads, running chunks with the lock released between
  // its deliveries, and threads - 1 others are started (none for a single
  // chunk). Otherwise the calling thread only waits, delivers and polls for
  // signals while threads others run the chunks.
  bool short_chunks = false;
  // Run once on the calling thread, with the lock held, as soon as the
  // workers have started (before the calling thread takes a chunk): reading
  // the rest of the input while the workers start on what was read before.
  // Returns false with a Python exception set to end the batch.
  std::function<bool()> prepare;
};

// Hands the results of one done chunk to Python; runs with the lock held.
// Returns false with a Python exception set to end the batch.
using ChunkDelivery = std::function<bool(std::size_t chunk)>;

// Runs options.prepare(), if given, then work(chunk, worker) for every chunk
// in [0, chunks) with the lock released and deliver(chunk) for each, in
// order, with the lock held; stop is
// the flag the chunk bodies look at. Returns true when every chunk was worked
// and delivered. Otherwise returns false with a Python exception set: the one
// a signal handler raised, the one prepare or deliver set, or the C++ exception a chunk
// threw (or starting a thread failed with) turned into its Python error as
// guarded() does.
bool run_batch(std::size_t chunks, const BatchOptions& options, StopFlag& stop,
               const ChunkBody& work, const ChunkDelivery& deliver);

// Returns the thread count of a threads argument: None (null too) means one
// per available core. Otherwise it must be an int (not a bool) from 1 to
// kMostThreads. Returns 0 with TypeError or ValueError set, naming function.
unsigned thread_count(const char* function, PyObject* threads);

inline constexpr unsigned kMostThreads = 1024;

}  // namespace orvex::py
