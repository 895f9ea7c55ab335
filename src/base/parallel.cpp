#include "base/parallel.h"

#include <algorithm>
#include <system_error>
#include <utility>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace orvex {
namespace {

#if defined(__linux__)
// The processors a new worker may start on: those of the starting thread
// (all, in `all`) but the one it runs on, or none (an empty set) when it has
// no other.
cpu_set_t worker_processors(cpu_set_t& all) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_ZERO(&all);
  const int current = sched_getcpu();
  if (current < 0 || pthread_getaffinity_np(pthread_self(), sizeof all, &all) != 0 ||
      !CPU_ISSET(current, &all) || CPU_COUNT(&all) < 2) {
    return set;
  }
  set = all;
  CPU_CLR(current, &set);
  return set;
}
#endif

}  // namespace

unsigned available_cores() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

ParallelJob::ParallelJob(std::size_t chunks, unsigned threads, StopFlag& stop, ChunkBody body)
    : chunks_(chunks), stop_(stop), body_(std::move(body)), done_(chunks, false) {
  const std::size_t wanted = std::min<std::size_t>(threads, chunks);
#if defined(__linux__)
  // The workers run on other processors than the starting thread, which
  // usually takes chunks too. Left to itself, the system may queue a new
  // thread behind the one that started it when the other processors are
  // busy with other work, and it then runs only once the job is all but done.
  // Only the start: each worker takes back all of the processors once it runs.
  cpu_set_t apart;
  CPU_ZERO(&apart);
  if (wanted) apart = worker_processors(gate_->processors);
  gate_->pinned = CPU_COUNT(&apart) != 0;
#endif
  // Held while the workers start, so that running_ counts every worker
  // before any of them can return.
  std::lock_guard lock(mutex_);
  for (unsigned w = 0; w < wanted; ++w) {
    try {
      std::thread worker(&ParallelJob::run_worker, gate_, this, w);
#if defined(__linux__)
      if (gate_->pinned) pthread_setaffinity_np(worker.native_handle(), sizeof apart, &apart);
#endif
      worker.detach();
      ++started_;
      ++running_;
    } catch (...) {  // std::system_error, or std::bad_alloc for the thread's state
      if (started_) break;  // run on the threads already started
      throw;
    }
  }
}

void ParallelJob::run_worker(std::shared_ptr<Gate> gate, ParallelJob* job, unsigned worker) {
  {
    std::lock_guard lock(gate->mutex);
    if (gate->closed) return;
    ++gate->inside;
  }
#if defined(__linux__)
  if (gate->pinned) pthread_setaffinity_np(pthread_self(), sizeof gate->processors, &gate->processors);
#endif
  job->work(worker);
  std::lock_guard lock(gate->mutex);
  if (--gate->inside == 0) gate->left.notify_all();
}

void ParallelJob::close() noexcept {
  std::unique_lock lock(gate_->mutex);
  gate_->closed = true;
  gate_->left.wait(lock, [&] { return gate_->inside == 0; });
}

void ParallelJob::stop_and_wait() noexcept {
  stop_.request();
  close();
}

bool ParallelJob::run_chunk(std::size_t chunk, unsigned worker) {
  try {
    body_(chunk, worker);
  } catch (...) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
    stop_.request();
    changed_.notify_all();
    return false;
  }
  if (stop_.requested()) return false;  // the chunk may have given up half-way
  std::lock_guard lock(mutex_);
  done_[chunk] = true;
  const std::size_t before = done_prefix_;
  while (done_prefix_ < chunks_ && done_[done_prefix_]) ++done_prefix_;
  if (done_prefix_ != before) changed_.notify_all();
  return true;
}

void ParallelJob::work(unsigned worker) {
  while (!stop_.requested()) {
    const std::size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= chunks_ || !run_chunk(chunk, worker)) break;
  }
  std::lock_guard lock(mutex_);
  if (--running_ == 0) changed_.notify_all();
}

bool ParallelJob::help(unsigned worker) {
  if (stop_.requested()) return false;
  const std::size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
  if (chunk >= chunks_) return false;
  run_chunk(chunk, worker);
  return true;
}

std::size_t ParallelJob::done() {
  std::lock_guard lock(mutex_);
  return done_prefix_;
}

std::size_t ParallelJob::wait_for_done(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return done_prefix_ >= count || running_ == 0; });
  return done_prefix_;
}

void ParallelJob::join() {
  {
    std::unique_lock lock(mutex_);
    // The stop flag is raised without a notice: looked at now and then.
    while (done_prefix_ < chunks_ && running_ != 0 && !stop_.requested()) {
      changed_.wait_for(lock, std::chrono::milliseconds(1));
    }
  }
  close();
  std::exception_ptr failure;
  {
    std::lock_guard lock(mutex_);
    failure = std::exchange(failure_, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

void parallel_for(std::size_t chunks, unsigned threads, StopFlag& stop, const ChunkBody& body) {
  // The calling thread is the last of the threads; it needs no helpers for
  // a single chunk.
  const unsigned caller = std::max(threads, 1u) - 1;
  const unsigned helpers = static_cast<unsigned>(std::min<std::size_t>(caller, chunks ? chunks - 1 : 0));
  ParallelJob job(chunks, helpers, stop, body);
  while (job.help(caller)) {
  }
  job.join();
}

}  // namespace orvex
