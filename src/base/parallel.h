// Running independent pieces of work on several threads: N items, cut into
// chunks, handed out to T threads, with a flag that stops them early.
//
// A job is a count of chunks and a body called once per chunk as
// body(chunk, worker): chunk is in [0, chunks), worker in [0, threads) names
// the thread that runs it. Two calls with the same worker never overlap, so
// per-worker scratch space (a board, a move list: keep it in a PerWorker,
// below) needs no lock; each chunk writes its results into a slot of its own,
// which needs no lock either. Chunks are handed out in increasing order, one
// at a time, to whichever worker is free, so chunks of unequal cost balance
// themselves: cut the work into several times more chunks than threads.
//
// Synchronous use, from any C++ code:
//
//   std::vector<std::uint64_t> counts(pieces);
//   orvex::StopFlag stop;
//   orvex::parallel_for(pieces, orvex::available_cores(), stop,
//                       [&](std::size_t chunk, unsigned) { counts[chunk] = count(chunk); });
//
// ParallelJob is the same job started in the background. The thread that
// started it may take chunks itself (help), wait for it in short slices (to
// poll for Ctrl-C), see which chunks are done and use their results while
// later chunks still run (the done prefix: chunks 0 to k - 1 have all
// finished), and stop it early. module/batch_runner.h builds the Python side
// on it.
//
// Stopping: StopFlag::request() makes every worker take no further chunk. A
// chunk that may run long should itself look at the flag now and then and
// return early; a chunk that ends after the flag was raised is not counted as
// done, so a half-finished result is never handed on. A chunk that throws
// raises the flag too, and join() rethrows the first exception thrown.
//
// The worker threads come from a pool of the process: each worker of a job
// is a thread of its own for the job's life, an idle one of the pool or a
// new one, and goes back to the pool when the job is over (an idle thread
// ends after a few seconds). A job need not wait for a thread that has not
// started on it yet (on a busy machine it may wait for a processor for
// milliseconds): when the job ends, every thread that took part in it has
// left it, and one that comes later finds it over and returns at once,
// touching only a small block they share.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/platform.h"

namespace orvex {

// Tells the workers of a job to stop. Set once, never cleared.
class StopFlag {
 public:
  void request() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
};

// Scratch space of one value per worker, each on cache lines of its own: two
// workers that write next to each other in memory slow each other down many
// times over (false sharing), so per-worker and per-chunk data that is
// written often belongs in one of these, not in a plain vector.
template <class T>
class PerWorker {
 public:
  PerWorker(std::size_t workers, const T& initial) : slots_(workers, Slot{initial}) {}
  explicit PerWorker(std::size_t workers) : slots_(workers) {}

  T& operator[](std::size_t worker) { return slots_[worker].value; }
  std::size_t size() const { return slots_.size(); }

 private:
  // Two lines: some processors fetch cache lines in adjacent pairs.
  struct alignas(128) Slot {
    T value;
  };
  std::vector<Slot> slots_;
};

// The work of one chunk: body(chunk, worker).
using ChunkBody = std::function<void(std::size_t chunk, unsigned worker)>;

// Returns the number of processors this process may run on (its affinity
// mask, as os.sched_getaffinity gives it), at least 1.
unsigned available_cores();

// A job running on its own threads; see the top of this file.
class ParallelJob {
 public:
  // Starts min(threads, chunks) worker threads (see the top of this file),
  // numbered 0 and up as workers. With none (threads 0), the chunks run only
  // when the starting thread calls help(). Throws std::system_error (or
  // std::bad_alloc) when a thread cannot be started and none was; with fewer
  // than asked for, the job runs on those.
  ParallelJob(std::size_t chunks, unsigned threads, StopFlag& stop, ChunkBody body);
  ParallelJob(const ParallelJob&) = delete;
  ParallelJob& operator=(const ParallelJob&) = delete;
  // Raises the stop flag and waits for the workers; an exception is dropped.
  ~ParallelJob() { stop_and_wait(); }

  // The number of worker threads started.
  unsigned threads() const { return started_; }

  // Runs the next chunk that no worker has taken on the calling thread, as
  // worker `worker` (an index no worker thread uses: the constructor's
  // threads argument will do). Returns false, having run nothing, when every
  // chunk is taken or the job is stopped. A chunk that throws is handled as
  // on a worker thread: the job stops and join() rethrows.
  bool help(unsigned worker);

  // Returns the done prefix: the largest k such that chunks 0 to k - 1 are
  // all done. Their results may be read once it has been returned.
  std::size_t done();

  // Waits at most timeout until the first count chunks are done, or every
  // worker thread has returned (all chunks taken, or the job stopped), and
  // returns the done prefix.
  std::size_t wait_for_done(std::size_t count, std::chrono::milliseconds timeout);

  // Waits until every chunk is done, the job is stopped or every worker
  // thread has returned, then for the worker threads still in the job to
  // leave it (a thread that has not started yet will not join in), then
  // rethrows the first exception that a chunk threw, if any. Called again, it
  // returns at once.
  void join();

  // Raises the stop flag and waits for the worker threads in the job to
  // leave it; an exception a chunk threw is dropped.
  void stop_and_wait() noexcept;

 private:
  // What a worker thread shares with its job: whether the job is over, and
  // how many threads are in it.
  struct Gate {
    std::mutex mutex;
    std::condition_variable left;
    bool closed = false;
    unsigned inside = 0;
    // The processors of the starting thread, which a worker started on
    // others takes back once it runs: pinned for good, it could not move
    // when its processor is busy, nor leave the starting thread's processor
    // to it when that thread only watches. Empty where the platform does not
    // tell.
    ProcessorSet processors;
    // Those processors but the starting thread's, where each worker goes
    // first: a thread kept from an earlier job may last have run on the
    // starting thread's processor, and would share it.
    ProcessorSet apart;
    bool pinned = false;
  };
  // A worker thread: enters the job unless it is over, works, leaves.
  static void run_worker(std::shared_ptr<Gate> gate, ParallelJob* job, unsigned worker);
  // Ends the job for its worker threads and waits for those in it to leave.
  void close() noexcept;
  void work(unsigned worker);
  // Runs one chunk; returns false when the job must end (stop or failure).
  bool run_chunk(std::size_t chunk, unsigned worker);

  const std::size_t chunks_;
  StopFlag& stop_;
  const ChunkBody body_;
  std::atomic<std::size_t> next_{0};

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<bool> done_;
  std::size_t done_prefix_ = 0;
  unsigned running_ = 0;  // worker threads that have not returned
  std::exception_ptr failure_;

  unsigned started_ = 0;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

// Runs the job to its end on threads threads, the calling thread being one
// of them (worker threads - 1; with one thread no other is started), and
// rethrows the first exception a chunk threw.
void parallel_for(std::size_t chunks, unsigned threads, StopFlag& stop, const ChunkBody& body);

}  // namespace orvex
