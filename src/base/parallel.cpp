#include "base/parallel.h"

#include <algorithm>
#include <deque>
#include <system_error>
#include <utility>

#include "base/platform.h"

namespace orvex {
namespace {

// The processors a new worker may start on: those of the starting thread
// (all, in `all`) but the one it runs on, or none (an empty set) when it has
// no other, or the platform does not tell.
ProcessorSet worker_processors(ProcessorSet& all) {
  const int current = current_processor();
  all = calling_thread_processors();
  if (current < 0 || !all.contains(current) || all.count() < 2) return {};
  ProcessorSet set = all;
  set.remove(current);
  return set;
}

// The threads that work the jobs' chunks, kept for the next job once their
// job is over: starting a thread (and moving it to another processor) cost
// about 100 µs a job, as much as the whole of a cheap batch.
//
// A thread waits, idle, for a task; start() hands a task to an idle thread,
// or starts a new one when none is free, so every task runs at once on a
// thread of its own, as if each job started its own threads. A thread that
// stays idle for kIdleLife ends. The pool is made at first need and never
// destroyed (idle threads wait on it until the process ends); a child made
// by fork() has none of its parent's threads, and makes a pool of its own.
class WorkerPool {
 public:
  using Task = std::function<void()>;

  // The pool of this process.
  static WorkerPool& get() {
    static std::atomic<WorkerPool*> current{nullptr};
    WorkerPool* pool = current.load(std::memory_order_acquire);
    const long self = process_id();
    while (pool == nullptr || pool->pid_ != self) {
      // A pool of a parent process is left as it is: its mutex may be held
      // by a thread the fork did not copy.
      auto* fresh = new WorkerPool(self);
      if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return *fresh;
      delete fresh;  // another thread made one first: pool holds it now
    }
    return *pool;
  }

  // Runs task on an idle thread, or on a new one (placed on processors, when
  // given, until the task moves it). Returns false, task not run, when no
  // thread is idle and none can be started.
  bool start(Task task, const ProcessorSet* processors) {
    {
      std::lock_guard lock(mutex_);
      if (idle_ > pending_.size()) {
        pending_.push_back(std::move(task));
        wake_.notify_one();
        return true;
      }
    }
    try {
      std::thread thread(&WorkerPool::run, this, std::move(task));
      if (processors) set_thread_processors(thread, *processors);
      thread.detach();
      return true;
    } catch (...) {  // std::system_error, or std::bad_alloc for the thread's state
      return false;
    }
  }

 private:
  static constexpr std::chrono::seconds kIdleLife{10};

  explicit WorkerPool(long pid) : pid_(pid) {}

  void run(Task task) {
    while (true) {
      task();
      task = nullptr;
      std::unique_lock lock(mutex_);
      ++idle_;
      const bool woken = wake_.wait_for(lock, kIdleLife, [&] { return !pending_.empty(); });
      --idle_;
      if (!woken) return;
      task = std::move(pending_.front());
      pending_.pop_front();
    }
  }

  const long pid_;
  std::mutex mutex_;  // guards the members below
  std::condition_variable wake_;
  std::deque<Task> pending_;  // tasks handed to idle threads, not yet taken
  std::size_t idle_ = 0;      // threads waiting for a task
};

}  // namespace

unsigned available_cores() { return process_processor_count(); }

ParallelJob::ParallelJob(std::size_t chunks, unsigned threads, StopFlag& stop, ChunkBody body)
    : chunks_(chunks), stop_(stop), body_(std::move(body)), done_(chunks, false) {
  const std::size_t wanted = std::min<std::size_t>(threads, chunks);
  // The workers run on other processors than the starting thread, which
  // usually takes chunks too. Left to itself, the system may queue a new
  // thread behind the one that started it when the other processors are
  // busy with other work, and it then runs only once the job is all but done.
  // Only the start: each worker takes back all of the processors once it runs.
  if (wanted) gate_->apart = worker_processors(gate_->processors);
  gate_->pinned = !gate_->apart.empty();
  // Held while the workers start, so that running_ counts every worker
  // before any of them can return.
  std::lock_guard lock(mutex_);
  WorkerPool& pool = WorkerPool::get();
  const ProcessorSet* processors = gate_->pinned ? &gate_->apart : nullptr;
  for (unsigned w = 0; w < wanted; ++w) {
    bool started = false;
    try {
      started = pool.start([gate = gate_, this, w] { run_worker(gate, this, w); }, processors);
    } catch (...) {  // std::bad_alloc for the task
    }
    if (!started) {
      if (started_) break;  // run on the threads already started
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "no thread could be started");
    }
    ++started_;
    ++running_;
  }
}

void ParallelJob::run_worker(std::shared_ptr<Gate> gate, ParallelJob* job, unsigned worker) {
  {
    std::lock_guard lock(gate->mutex);
    if (gate->closed) return;
    ++gate->inside;
  }
  if (gate->pinned) {
    // Off the starting thread's processor first, then free to move again.
    set_calling_thread_processors(gate->apart);
    set_calling_thread_processors(gate->processors);
  }
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
