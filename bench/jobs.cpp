// What handing work to worker threads costs: a job of empty chunks, and a job
// of equal chunks of real work on one thread and on two, each repeated.
//
//   orvex_jobs_bench [JOBS] [ROUNDS]   defaults 2000 and 5
//
// Prints, per round, the median time of an empty job (8 chunks, 2 threads)
// and of a job of 16 chunks of about 60 µs each on 1 and on 2 threads, with
// the share of the chunks the calling thread ran. On a virtual machine the
// second processor's wake-up time varies from hour to hour: compare rounds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/parallel.h"

namespace {

using Clock = std::chrono::steady_clock;

volatile long sink;

long work(long n) {
  long x = 0;
  for (long i = 0; i < n; ++i) x += i * i ^ (x >> 3);
  return x;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Median microseconds of jobs of chunks chunks on threads threads, each chunk
// running body; *caller_share is the share of chunks the calling thread ran.
template <class Body>
double time_jobs(int jobs, std::size_t chunks, unsigned threads, Body body, double* caller_share) {
  std::vector<double> times;
  std::atomic<long> by_caller{0}, total{0};
  const unsigned caller = threads - 1;
  for (int j = 0; j < jobs; ++j) {
    orvex::StopFlag stop;
    const auto start = Clock::now();
    orvex::parallel_for(chunks, threads, stop, [&](std::size_t, unsigned worker) {
      body();
      if (worker == caller) ++by_caller;
      ++total;
    });
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (caller_share) *caller_share = static_cast<double>(by_caller) / static_cast<double>(total);
  return median(times);
}

}  // namespace

int main(int argc, char** argv) {
  const int jobs = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::printf("| round | empty job, 2 threads | 16 x 60 us, 1 thread | 2 threads | 1 / 2 | caller's share |\n");
  std::printf("| --- | --- | --- | --- | --- | --- |\n");
  for (int round = 1; round <= rounds; ++round) {
    const double empty = time_jobs(jobs, 8, 2, [] {}, nullptr);
    const auto chunk = [] { sink = work(60000); };
    const double one = time_jobs(jobs / 20, 16, 1, chunk, nullptr);
    double share = 0;
    const double two = time_jobs(jobs / 20, 16, 2, chunk, &share);
    std::printf("| %d | %.1f us | %.0f us | %.0f us | %.2fx | %.0f%% |\n", round, empty, one, two, one / two,
                share * 100);
  }
}
