// The threaded engine: parallel_for and ParallelJob, and perft counted in
// pieces over several threads. Also run under ThreadSanitizer (scripts/tsan.sh).
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/parallel.h"
#include "move_generator/parallel_perft.h"
#include "move_generator/perft.h"
#include "perft_table.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

using namespace std::chrono_literals;

TEST(ParallelFor, RunsEveryChunkOnceAndNoWorkerTwiceAtATime) {
  for (unsigned threads : {1u, 2u, 4u, 64u}) {
    constexpr std::size_t kChunks = 500;
    std::vector<int> runs(kChunks, 0);  // each chunk writes only its own slot
    std::vector<std::atomic<bool>> busy(threads);
    std::atomic<bool> overlap{false};
    StopFlag stop;
    parallel_for(kChunks, threads, stop, [&](std::size_t chunk, unsigned worker) {
      ASSERT_LT(worker, threads);
      if (busy[worker].exchange(true)) overlap = true;
      ++runs[chunk];
      busy[worker] = false;
    });
    EXPECT_FALSE(overlap) << threads;
    EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), static_cast<long>(kChunks)) << threads;
  }
}

TEST(ParallelFor, RethrowsTheExceptionOfAChunkAndStops) {
  // All the chunks would take at least 2.5 seconds on 2 threads.
  constexpr int kChunks = 100'000;
  StopFlag stop;
  std::atomic<int> ran{0};
  EXPECT_THROW(parallel_for(kChunks, 2, stop,
                            [&](std::size_t chunk, unsigned) {
                              if (chunk == 5) throw std::out_of_range("chunk 5");
                              ++ran;
                              std::this_thread::sleep_for(50us);
                            }),
               std::out_of_range);
  EXPECT_TRUE(stop.requested());
  EXPECT_LT(ran.load(), kChunks - 1);
}

TEST(ParallelJob, HandsOnTheDonePrefixInOrder) {
  constexpr std::size_t kChunks = 200;
  std::vector<std::size_t> squares(kChunks, 0);
  StopFlag stop;
  ParallelJob job(kChunks, 3, stop, [&](std::size_t chunk, unsigned) { squares[chunk] = chunk * chunk; });
  std::size_t seen = 0;
  while (seen < kChunks) {
    const std::size_t done = job.wait_for_done(seen + 1, 1000ms);
    ASSERT_GE(done, seen);
    for (; seen < done; ++seen) ASSERT_EQ(squares[seen], seen * seen);
  }
  job.join();
  EXPECT_EQ(job.done(), kChunks);
}

TEST(ParallelJob, TheStartingThreadMayRunChunksToo) {
  // Without worker threads every chunk runs through help(), as worker 0;
  // beside them, as the worker number no thread has.
  for (unsigned threads : {0u, 2u}) {
    constexpr std::size_t kChunks = 300;
    std::vector<unsigned> ran_by(kChunks, 99);
    StopFlag stop;
    ParallelJob job(kChunks, threads, stop,
                    [&](std::size_t chunk, unsigned worker) { ran_by[chunk] = worker; });
    while (job.help(threads)) {
    }
    job.join();
    EXPECT_EQ(job.done(), kChunks);
    EXPECT_EQ(std::count(ran_by.begin(), ran_by.end(), 99u), 0);
    if (threads == 0) {
      EXPECT_EQ(std::count(ran_by.begin(), ran_by.end(), 0u), static_cast<long>(kChunks));
    }
  }
}

TEST(ParallelJob, StopEndsTheJobEarlyWithoutCountingUnfinishedChunks) {
  StopFlag stop;
  std::atomic<bool> raised{false};
  ParallelJob job(1'000'000, 2, stop, [&](std::size_t chunk, unsigned) {
    if (chunk == 100) {
      stop.request();
      raised = true;
    }
  });
  job.join();  // returns only because the workers stopped
  EXPECT_TRUE(raised);
  // Chunk 100 raised the flag before it returned, so it is not done.
  EXPECT_LE(job.done(), 100u);
}

TEST(ParallelJob, DestroyedWhileRunningStopsAndJoins) {
  StopFlag stop;
  std::atomic<std::size_t> ran{0};
  {
    ParallelJob job(1'000'000'000, 2, stop, [&](std::size_t, unsigned) {
      ++ran;
      std::this_thread::sleep_for(1ms);
    });
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(stop.requested());
  EXPECT_LT(ran.load(), 1'000'000u);
}

TEST(ParallelJob, EachWorkerIsAThreadOfItsOwnWhenJobsStartAtOnce) {
  // The threads are kept between jobs; each worker of each job must still run
  // at once on a thread of its own. Both chunks of a job wait until both have
  // begun: two workers served by one thread would wait forever.
  auto jobs = [] {
    bool ok = true;
    for (int round = 0; round < 30 && ok; ++round) {
      StopFlag stop;
      std::atomic<int> begun{0};
      std::atomic<bool> met{true};
      ParallelJob job(2, 2, stop, [&](std::size_t, unsigned) {
        ++begun;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (begun.load() < 2) {
          if (std::chrono::steady_clock::now() > deadline) {
            met = false;
            return;
          }
          std::this_thread::yield();
        }
      });
      job.join();
      ok = met.load() && job.done() == 2;
    }
    return ok;
  };
  std::vector<std::thread> starters;
  std::atomic<int> failed{0};
  for (int t = 0; t < 3; ++t) starters.emplace_back([&] { failed += jobs() ? 0 : 1; });
  for (std::thread& starter : starters) starter.join();
  EXPECT_EQ(failed.load(), 0);
}

TEST(AvailableCores, IsAtLeastOne) { EXPECT_GE(available_cores(), 1u); }

struct ParallelPerftCase {
  std::string name;
  std::string fen;
  int depth;
  std::uint64_t nodes;
};

// The shared table's counts up to a million leaves: quick enough under
// ThreadSanitizer, and deep enough for pieces of every kind (depth 0 to 4).
std::vector<ParallelPerftCase> parallel_perft_cases() {
  std::vector<ParallelPerftCase> cases;
  for (const PerftRow& row : perft_table()) {
    cases.push_back({row.name + "_depth0", row.fen, 0, 1});
    for (std::size_t d = 0; d < row.counts.size() && row.counts[d] <= 1'000'000; ++d) {
      cases.push_back({row.name + "_depth" + std::to_string(d + 1), row.fen,
                       static_cast<int>(d + 1), row.counts[d]});
    }
  }
  return cases;
}

class ParallelPerftTest : public ::testing::TestWithParam<ParallelPerftCase> {};

TEST_P(ParallelPerftTest, MatchesThePublishedCountOnAnyNumberOfThreads) {
  Board board = board_at(GetParam().fen);
  // An earlier move on record: the walk must neither read nor disturb it.
  board.move_history.push_back(HistoryEntry{0x1F, 0, 0, 0x1});
  board.piece_history[kWhitePawn].push_back(0xFF00);
  const Board before = board;
  for (unsigned threads : {1u, 2u, 3u}) {
    StopFlag stop;
    EXPECT_EQ(parallel_perft(tables(), board, GetParam().depth, threads, stop), GetParam().nodes)
        << threads << " threads";
  }
  EXPECT_EQ(board, before);
}

INSTANTIATE_TEST_SUITE_P(Positions, ParallelPerftTest, ::testing::ValuesIn(parallel_perft_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(PerftPieces, AreTheSequencesOfTheFirstPliesAndAddUp) {
  Board board = board_at(kDefaultFen);
  const Board before = board;
  EXPECT_EQ(perft_pieces(tables(), board, 0).prefixes.size(), 1u);
  EXPECT_EQ(perft_pieces(tables(), board, 1).prefixes.size(), 1u);
  EXPECT_EQ(perft_pieces(tables(), board, 2).prefixes.size(), 20u);
  const PerftPieces pieces = perft_pieces(tables(), board, 4);
  ASSERT_EQ(pieces.prefixes.size(), 400u);
  StopFlag stop;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < pieces.prefixes.size(); ++i) {
    total += count_piece(tables(), board, pieces, i, stop);
  }
  EXPECT_EQ(total, 197'281u);
  EXPECT_EQ(board, before);
}

TEST(PerftPieces, NoMovesMeansNoPieces) {
  Board board = board_at("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -");
  StopFlag stop;
  EXPECT_TRUE(perft_pieces(tables(), board, 5).prefixes.empty());
  EXPECT_EQ(parallel_perft(tables(), board, 5, 2, stop), 0u);
}

TEST(ParallelPerft, GivesUpAtOnceWhenStopped) {
  // Ten plies from the start would take days: only the stop flag ends it.
  Board board = board_at(kDefaultFen);
  const Board before = board;
  StopFlag stop;
  stop.request();
  (void)parallel_perft(tables(), board, 10, 2, stop);
  EXPECT_EQ(board, before);
  // A walk already under way gives up too, leaving its board as it was.
  StopFlag later;
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    later.request();
  });
  const PerftPieces pieces = perft_pieces(tables(), board, 10);
  (void)count_piece(tables(), board, pieces, 0, later);
  stopper.join();
  EXPECT_EQ(board, before);
}

}  // namespace
}  // namespace orvex::testing
