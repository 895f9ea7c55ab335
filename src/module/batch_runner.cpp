#include "module/batch_runner.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>

#include "module/errors.h"

namespace orvex::py {
namespace {

// Sets the Python error of a C++ exception caught on a worker.
void set_failure(std::exception_ptr failure) {
  guarded<bool>(false, [&]() -> bool { std::rethrow_exception(failure); });
}

[[noreturn]] void stop_and_sleep(ParallelJob* job) noexcept {
  if (job) job->stop_and_wait();
  while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void take_back_lock(PyThreadState* state, ParallelJob* job) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // Only the forced unwind of pthread_exit can come out of the C call
    // (its exception object is not one to bind a reference to). Never
    // left: a forced unwind that is caught must be rethrown.
    stop_and_sleep(job);
  }
}

bool run_batch(std::size_t chunks, const BatchOptions& options, StopFlag& stop,
               const ChunkBody& work, const ChunkDelivery& deliver) {
  if (chunks == 0) return !options.prepare || options.prepare();
  // With short chunks the calling thread is the last of the threads (it
  // needs no helpers for a single chunk); otherwise it only watches.
  const unsigned threads = std::max(options.threads, 1u);
  const unsigned caller = options.short_chunks ? threads - 1 : threads;
  const std::size_t workers = std::min<std::size_t>(caller, options.short_chunks ? chunks - 1 : chunks);

  std::optional<ParallelJob> job;
  try {
    job.emplace(chunks, static_cast<unsigned>(workers), stop, work);
  } catch (...) {
    set_failure(std::current_exception());
    return false;
  }

  bool ok = true;
  if (options.prepare) {
    try {
      ok = options.prepare();
    } catch (...) {
      set_failure(std::current_exception());
      ok = false;
    }
  }
  std::size_t delivered = 0;
  std::size_t done = 0;
  while (ok) {
    // Signals are looked at before each delivery too, in case many chunks
    // came at once.
    ok = PyErr_CheckSignals() == 0;
    for (; ok && delivered < done; ++delivered) {
      ok = deliver(delivered) && PyErr_CheckSignals() == 0;
    }
    if (!ok || delivered == chunks || stop.requested()) break;
    ReleasedLock unlocked(&*job);
    // A chunk that is done waits for nobody but this thread: it is handed
    // on before this thread takes another chunk of its own.
    if (options.short_chunks && job->done() == delivered && job->help(caller)) {
      done = job->done();
    } else {
      done = job->wait_for_done(delivered + 1, kSignalPollInterval);
    }
  }
  if (!ok) stop.request();

  std::exception_ptr failure;
  {
    ReleasedLock unlocked(&*job);
    try {
      job->join();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (!ok) return false;  // the first error stands; a worker's is dropped
  if (failure) {
    set_failure(failure);
    return false;
  }
  if (delivered < chunks) {
    set_panic("a batch was stopped before its end");
    return false;
  }
  return true;
}

unsigned thread_count(const char* function, PyObject* threads) {
  if (!threads || threads == Py_None) return available_cores();
  if (PyBool_Check(threads) || !PyIndex_Check(threads)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'threads' must be int or None, not %.200s",
                 function, Py_TYPE(threads)->tp_name);
    return 0;
  }
  PyObject* number = PyNumber_Index(threads);
  if (!number) return 0;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  Py_DECREF(number);
  if (value == -1 && PyErr_Occurred()) return 0;
  if (overflow || value < 1 || value > kMostThreads) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'threads' must be from 1 to %u, not %S",
                 function, kMostThreads, threads);
    return 0;
  }
  return static_cast<unsigned>(value);
}

}  // namespace orvex::py
