// The sums and softmaxes over a node's legal actions against the dense
// functions they stand for: equal bit for bit on rows of every density.
#include "search/sparse_row.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "search/row_scan.h"
#include "search/xla_math.h"

namespace orvex::search {
namespace {

constexpr std::size_t kRow = 4672;

std::vector<std::int16_t> random_places(std::mt19937& rng, std::size_t count) {
  std::vector<std::int16_t> all(kRow);
  for (std::size_t i = 0; i < kRow; ++i) all[i] = static_cast<std::int16_t>(i);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(count);
  std::sort(all.begin(), all.end());
  return all;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(SparseRow, SumEqualsTheDenseSumOfTheRow) {
  std::mt19937 rng(7);
  for (std::size_t count : {0u, 1u, 2u, 17u, 40u, 218u, 1500u, 4672u}) {
    for (int round = 0; round < 20; ++round) {
      const std::vector<std::int16_t> places = random_places(rng, count);
      std::vector<float> values(count), row(kRow, 0.0f);
      std::uniform_real_distribution<float> value(0.0f, 1.0f);
      for (std::size_t i = 0; i < count; ++i) {
        // Values of very different sizes, so that the order shows.
        values[i] = value(rng) * (i % 3 == 0 ? 1e-4f : i % 3 == 1 ? 1.0f : 300.0f);
        row[static_cast<std::size_t>(places[i])] = values[i];
      }
      EXPECT_TRUE(same_bits(sparse_ynn_sum(places, values, kRow), ynn_sum(row))) << count;
    }
  }
}

// Two entries: in one lane of one carry period, in two lanes, and in one
// lane across a carry (where the compensated sum differs from a + b).
TEST(SparseRow, SumOfTwoEntriesEqualsTheDenseSum) {
  for (const auto& [i, k] : {std::pair{3, 19}, std::pair{3, 4}, std::pair{3, 1027}, std::pair{1000, 4648},
                            std::pair{4100, 4116}}) {
    for (const auto& [a, b] : {std::pair{1.0f, 3e-8f}, std::pair{3e-8f, 1.0f}, std::pair{-0.0f, -0.0f},
                              std::pair{16777216.0f, 1.0f}}) {
      const std::vector<std::int16_t> places = {static_cast<std::int16_t>(i), static_cast<std::int16_t>(k)};
      const std::vector<float> values = {a, b};
      std::vector<float> row(kRow, 0.0f);
      row[static_cast<std::size_t>(i)] = a;
      row[static_cast<std::size_t>(k)] = b;
      EXPECT_TRUE(same_bits(sparse_ynn_sum(places, values, kRow), ynn_sum(row))) << i << " " << k << " " << a;
    }
  }
}

TEST(SparseRow, SoftmaxEqualsTheDenseSoftmaxWithTheRestAtTheLowest) {
  std::mt19937 rng(11);
  constexpr float kLowest = std::numeric_limits<float>::lowest();
  for (std::size_t count : {1u, 5u, 33u, 300u}) {
    for (float rest : {kLowest, kLowest + 3.0f}) {
      const std::vector<std::int16_t> places = random_places(rng, count);
      std::vector<float> logits(count), probs(count), row(kRow, rest);
      std::normal_distribution<float> logit(0.0f, 3.0f);
      for (std::size_t i = 0; i < count; ++i) {
        logits[i] = logit(rng);
        row[static_cast<std::size_t>(places[i])] = logits[i];
      }
      ASSERT_TRUE(sparse_softmax(places, logits, rest, kRow, probs));
      softmax(row);
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(same_bits(probs[i], row[static_cast<std::size_t>(places[i])])) << count << " " << i;
      }
    }
  }
  // A rest whose exp is not 0 is left to the dense softmax.
  std::vector<std::int16_t> one{3};
  std::vector<float> logit{0.0f}, prob(1);
  EXPECT_FALSE(sparse_softmax(one, logit, -1.0f, kRow, prob));
}

// The argmax of softmax - taken skips the ordered sum when bounds decide
// it: rows built so that two places tie, or miss a tie by an ulp, at the
// exact probabilities must still give the exact argmax.
TEST(SparseRow, SoftmaxArgmaxEqualsTheArgmaxOfTheExactSoftmaxOnNearTies) {
  std::mt19937 rng(5);
  constexpr float kLowest = std::numeric_limits<float>::lowest();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (int round = 0; round < 20000; ++round) {
    const std::size_t count = 1 + rng() % (round % 2 ? 48 : 600);
    const std::vector<std::int16_t> places = random_places(rng, count);
    std::vector<float> logits(count), probs(count), taken(count, 0.0f), exps(count);
    std::normal_distribution<float> spread(0.0f, 0.3f);
    for (float& x : logits) x = round % 3 ? static_cast<float>(rng() % 5) * 0.25f : spread(rng);
    ASSERT_TRUE(sparse_softmax(places, logits, kLowest, kRow, probs));
    const std::size_t a = rng() % count, b = rng() % count;
    for (std::size_t i = 0; i < count; ++i)
      if (rng() % 3 == 0) taken[i] = static_cast<float>(rng() % 4) / 7.0f;
    // b then scores what a scores, or an ulp to either side.
    taken[b] = probs[b] - (probs[a] - taken[a]);
    if (rng() % 3 == 1) taken[b] = std::nextafter(taken[b], kInf);
    if (rng() % 3 == 2) taken[b] = std::nextafter(taken[b], -kInf);
    std::int32_t first_other = -1;
    if (rng() % 2) {
      first_other = 0;
      for (const std::int16_t p : places)
        if (p == first_other) ++first_other;
    }
    std::int32_t want = first_other;
    float best = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
      const float score = probs[i] - taken[i];
      if (want < 0 || score > best || (score == best && places[i] < want)) {
        best = score;
        want = places[i];
      }
    }
    std::int32_t got = -2;
    ASSERT_TRUE(sparse_softmax_argmax(places, logits, kLowest, kRow, taken, first_other, exps, got));
    ASSERT_EQ(got, want) << round;
  }
  std::vector<std::int16_t> one{3};
  std::vector<float> logit{0.0f}, taken{0.0f}, exps(1);
  std::int32_t action = 7;
  EXPECT_FALSE(sparse_softmax_argmax(one, logit, -1.0f, kRow, taken, 0, exps, action));
  EXPECT_EQ(action, 7);
}

TEST(RowScan, FindsTheMaximumAndRefusesNaNAndPlusInfinity) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (std::size_t n : {8u, 4672u, 13u}) {
    std::vector<float> row(n, -kInf);
    row[n / 2] = -3.5f;
    row[n - 1] = -2.0f;
    float top = 0.0f;
    ASSERT_TRUE(scan_row(row.data(), n, top));
    EXPECT_EQ(top, -2.0f);
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(), kInf}) {
      std::vector<float> spoiled = row;
      spoiled[n - 1] = bad;
      EXPECT_FALSE(scan_row(spoiled.data(), n, top)) << n << " " << bad;
    }
  }
}

}  // namespace
}  // namespace orvex::search
