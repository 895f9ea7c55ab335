#include "module/batch_runner.h"

#include <exception>
#include <optional>

#include "module/errors.h"

namespace orvex::py {
namespace {

// Sets the Python error of a C++ exception caught on a worker.
void set_failure(std::exception_ptr failure) {
  guarded<bool>(false, [&]() -> bool { std::rethrow_exception(failure); });
}

}  // namespace

bool run_batch(std::size_t chunks, const BatchOptions& options, StopFlag& stop,
               const ChunkBody& work, const ChunkDelivery& deliver) {
  if (chunks == 0) return true;
  if (chunks == 1 && options.short_chunks) {
    std::exception_ptr failure;
    {
      ReleasedLock unlocked;
      try {
        work(0, 0);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) {
      set_failure(failure);
      return false;
    }
    return deliver(0);
  }

  std::optional<ParallelJob> job;
  try {
    job.emplace(chunks, options.threads, stop, work);
  } catch (...) {
    set_failure(std::current_exception());
    return false;
  }

  bool ok = true;
  std::size_t delivered = 0;
  while (delivered < chunks) {
    ParallelJob::Progress progress;
    {
      ReleasedLock unlocked;
      progress = job->wait_for_done(delivered + 1, kSignalPollInterval);
    }
    // Signals are looked at before each delivery too, in case many chunks
    // came at once.
    ok = PyErr_CheckSignals() == 0;
    for (; ok && delivered < progress.done; ++delivered) {
      ok = deliver(delivered) && PyErr_CheckSignals() == 0;
    }
    if (!ok || (progress.ended && delivered < chunks)) break;
  }
  if (!ok) stop.request();

  std::exception_ptr failure;
  {
    ReleasedLock unlocked;
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
