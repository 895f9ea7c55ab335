// The JAX samplers and XLA float math of src/search/ against what JAX itself
// computed (tests/data/jax_random.txt, from scripts/make_jax_random_fixture.py):
// every value must be equal bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "search/jax_random.h"
#include "search/xla_math.h"

namespace orvex::search {
namespace {

// One fixture line: "<what> <words...> | <a>=<b> ...".
struct Case {
  std::string what;
  std::vector<std::string> words;
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string text;

  PrngKey key() const {
    return {static_cast<std::uint32_t>(std::stoul(words.at(0))),
            static_cast<std::uint32_t>(std::stoul(words.at(1)))};
  }
  std::size_t size_at(std::size_t i) const { return std::stoul(words.at(i)); }
};

std::uint32_t hex(const std::string& s) { return static_cast<std::uint32_t>(std::stoul(s, nullptr, 16)); }
float hex_float(const std::string& s) { return std::bit_cast<float>(hex(s)); }
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

const std::multimap<std::string, Case>& fixture() {
  static const std::multimap<std::string, Case> cases = [] {
    std::ifstream in(ORVEX_JAX_RANDOM_FIXTURE);
    if (!in) throw std::runtime_error("cannot read " ORVEX_JAX_RANDOM_FIXTURE);
    std::multimap<std::string, Case> out;
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      Case c;
      c.text = line.substr(0, 60);
      std::istringstream words(line.substr(0, line.find('|')));
      words >> c.what;
      for (std::string w; words >> w;) c.words.push_back(w);
      std::istringstream pairs(line.substr(line.find('|') + 1));
      for (std::string p; pairs >> p;) c.pairs.emplace_back(p.substr(0, p.find('=')), p.substr(p.find('=') + 1));
      out.emplace(c.what, std::move(c));
    }
    return out;
  }();
  return cases;
}

std::vector<const Case*> cases_of(const std::string& what) {
  std::vector<const Case*> out;
  const auto [begin, end] = fixture().equal_range(what);
  for (auto it = begin; it != end; ++it) out.push_back(&it->second);
  if (out.empty()) ADD_FAILURE() << "no " << what << " lines in the fixture";
  return out;
}

// Every "<index>=<float bits>" pair of the case against values[index].
void expect_floats(const Case& c, const std::vector<float>& values) {
  for (const auto& [index, expected] : c.pairs)
    EXPECT_EQ(bits(values.at(std::stoul(index))), hex(expected)) << c.text << " at " << index;
}

// normal(key) * 2**(bits(key) % 25 - 12), as the fixture script builds wide rows.
std::vector<float> wide_row(PrngKey key, std::size_t n) {
  std::vector<float> x(n);
  std::vector<std::uint32_t> b(n);
  normal(key, x);
  random_bits(key, b);
  for (std::size_t i = 0; i < n; ++i) x[i] *= std::ldexp(1.0f, static_cast<int>(b[i] % 25) - 12);
  return x;
}

std::vector<float> logits_of(const std::string& pattern, std::size_t rows, std::size_t n) {
  std::vector<float> out(rows * n);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t j = 0; j < n; ++j) {
      const float spread = static_cast<float>((j * 7 + r * 13) % 11) * 0.25f;
      float v = spread;
      if (pattern == "masked" && j % 3 == 0) v = std::numeric_limits<float>::lowest();
      if (pattern == "ties") v = j % 97 == r + 5 ? 1e10f : std::numeric_limits<float>::lowest();
      out[r * n + j] = v;
    }
  return out;
}

TEST(JaxRandom, BitsMatchJax) {
  for (const Case* c : cases_of("bits")) {
    std::vector<std::uint32_t> out(c->size_at(2));
    random_bits(c->key(), out);
    for (const auto& [index, expected] : c->pairs) {
      EXPECT_EQ(out.at(std::stoul(index)), hex(expected)) << c->text << " at " << index;
      EXPECT_EQ(random_bits_at(c->key(), std::stoul(index)), hex(expected)) << c->text;
    }
  }
}

TEST(JaxRandom, UniformMatchesJax) {
  for (const Case* c : cases_of("uniform")) {
    const float lo = hex_float(c->words.at(3)), hi = hex_float(c->words.at(4));
    std::vector<float> out(c->size_at(2));
    uniform(c->key(), out, lo, hi);
    expect_floats(*c, out);
  }
}

// The draws at many indices at once (sixteen lanes, and a part of them) are
// the draws one at a time.
TEST(JaxRandom, UniformAtManyIndicesIsEachAlone) {
  const PrngKey key{0x12345678u, 0x9abcdef0u};
  for (const std::size_t count : {std::size_t{1}, std::size_t{16}, std::size_t{37}}) {
    std::vector<std::int32_t> indices(count);
    for (std::size_t j = 0; j < count; ++j) indices[j] = static_cast<std::int32_t>((j * 2654435761u) % 4672u);
    std::vector<float> out(count);
    uniform_at(key, indices, out);
    for (std::size_t j = 0; j < count; ++j)
      EXPECT_EQ(bits(out[j]), bits(uniform_at(key, static_cast<std::uint64_t>(indices[j])))) << count << " " << j;
  }
}

TEST(JaxRandom, GumbelMatchesJaxAndEachElementAlone) {
  for (const Case* c : cases_of("gumbel")) {
    std::vector<float> out(c->size_at(2));
    gumbel(c->key(), out);
    expect_floats(*c, out);
    for (std::size_t i : {std::size_t{0}, out.size() / 3, out.size() - 1})
      EXPECT_EQ(bits(gumbel_at(c->key(), i)), bits(out[i])) << c->text;
  }
}

TEST(JaxRandom, NormalMatchesJax) {
  for (const Case* c : cases_of("normal")) {
    std::vector<float> out(c->size_at(2));
    normal(c->key(), out);
    expect_floats(*c, out);
  }
}

TEST(JaxRandom, CategoricalMatchesJaxWithTiesToTheFirst) {
  for (const Case* c : cases_of("categorical")) {
    const std::size_t rows = c->size_at(2), n = c->size_at(3);
    const std::vector<float> logits = logits_of(c->words.at(4), rows, n);
    std::vector<std::int32_t> out(rows);
    categorical(c->key(), logits, rows, out);
    for (const auto& [row, expected] : c->pairs)
      EXPECT_EQ(out.at(std::stoul(row)), std::stoi(expected)) << c->text << " row " << row;
  }
}

// mctx's final action: categorical(key, log(max(p, tiny)) - max), which XLA
// fuses with a reduction, so both logarithms are YNNPACK's.
TEST(JaxRandom, CategoricalOfFusedLogMatchesJax) {
  for (const Case* c : cases_of("categorical_of_log")) {
    const std::size_t rows = c->size_at(2), n = c->size_at(3);
    std::vector<float> logits(rows * n);
    for (std::size_t r = 0; r < rows; ++r) {
      float total = 0.0f;
      std::vector<float> counts(n);
      for (std::size_t j = 0; j < n; ++j) {
        counts[j] = j % 7 == 0 ? static_cast<float>((j * 31 + r) % 5) : 0.0f;
        total += counts[j];
      }
      float top = -std::numeric_limits<float>::infinity();
      for (std::size_t j = 0; j < n; ++j) {
        logits[r * n + j] = ynn_log(std::max(counts[j] / total, std::numeric_limits<float>::min()));
        top = std::max(top, logits[r * n + j]);
      }
      for (std::size_t j = 0; j < n; ++j) logits[r * n + j] -= top;
    }
    std::vector<std::int32_t> out(rows);
    categorical(c->key(), logits, rows, out, Kernel::ynn);
    for (const auto& [row, expected] : c->pairs)
      EXPECT_EQ(out.at(std::stoul(row)), std::stoi(expected)) << c->text << " row " << row;
  }
}

TEST(JaxRandom, DirichletMatchesJax) {
  for (const Case* c : cases_of("dirichlet")) {
    const float alpha = hex_float(c->words.at(2));
    const std::size_t rows = c->size_at(3), n = c->size_at(4);
    std::vector<float> out(rows * n);
    dirichlet(c->key(), alpha, rows, n, out);
    expect_floats(*c, out);
    std::vector<float> last_row(n);
    dirichlet_rows(c->key(), alpha, n, rows - 1, last_row);
    EXPECT_TRUE(std::equal(last_row.begin(), last_row.end(), out.end() - n)) << c->text;
  }
}

// The draws are made sixteen at a time, and the rounds after a first round
// that does not accept (one lane in forty) in batches of their own: over
// enough rows for the rarest turns (a second round that draws its normal
// again), they must equal the draws made one at a time.
TEST(JaxRandom, DirichletEqualsItsDrawsMadeOneAtATime) {
  constexpr std::size_t n = 4672, rows = 24;
  for (const float alpha : {0.3f, 0.05f, 2.5f}) {
    const PrngKey key{7, static_cast<std::uint32_t>(alpha * 100)};
    std::vector<float> out(rows * n), alone(n);
    dirichlet(key, alpha, rows, n, out);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t j = 0; j < n; ++j)
        alone[j] = log_gamma_alone(selfplay::split_key(key, static_cast<std::uint32_t>(r * n + j)), alpha);
      softmax(alone, Kernel::ynn);
      ASSERT_TRUE(std::equal(alone.begin(), alone.end(), out.begin() + static_cast<std::ptrdiff_t>(r * n)))
          << alpha << " row " << r;
    }
  }
}

// mctx.muzero_policy's root priors after the noise, from its key:
// log(max(0.75 * softmax(logits) + 0.25 * dirichlet, tiny)) - max, which
// XLA runs in YNNPACK fusions (YNNPACK's log, no fused multiply-add).
TEST(JaxRandom, MuZeroRootNoiseAsMctxAddsIt) {
  for (const Case* c : cases_of("muzero_root_noise")) {
    const std::size_t rows = c->size_at(2), n = c->size_at(3);
    const PrngKey dirichlet_key = selfplay::split_key(c->key(), 1);
    std::vector<float> noise(rows * n), out(rows * n);
    dirichlet(dirichlet_key, 0.3f, rows, n, noise);
    for (std::size_t r = 0; r < rows; ++r) {
      std::vector<float> probs(n);
      float top = std::numeric_limits<float>::lowest();
      for (std::size_t j = 0; j < n; ++j)
        if ((j * 7 + r) % 97 == 0) top = std::max(top, static_cast<float>(static_cast<int>((j * 37 + r * 101) % 80) - 40) * 0.125f);
      for (std::size_t j = 0; j < n; ++j)
        probs[j] = (j * 7 + r) % 97 == 0
                       ? static_cast<float>(static_cast<int>((j * 37 + r * 101) % 80) - 40) * 0.125f - top
                       : std::numeric_limits<float>::lowest();
      softmax(probs);
      float most = -std::numeric_limits<float>::infinity();
      for (std::size_t j = 0; j < n; ++j) {
        const float kept = 0.75f * probs[j], added = 0.25f * noise[r * n + j];
        out[r * n + j] = ynn_log(std::max(kept + added, std::numeric_limits<float>::min()));
        most = std::max(most, out[r * n + j]);
      }
      for (std::size_t j = 0; j < n; ++j) out[r * n + j] -= most;
    }
    expect_floats(*c, out);
  }
}

TEST(JaxRandom, SizeMismatchesThrow) {
  std::vector<float> logits(10);
  std::vector<std::int32_t> three(3);
  EXPECT_THROW(categorical({0, 1}, logits, 3, three), std::invalid_argument);
  std::vector<float> out(7);
  EXPECT_THROW(dirichlet({0, 1}, 0.3f, 2, 4, out), std::invalid_argument);
}

TEST(XlaMath, RowSumInYnnpackOrder) {
  for (const Case* c : cases_of("sum")) {
    const std::size_t rows = c->size_at(2), n = c->size_at(3);
    const std::vector<float> x = wide_row(c->key(), rows * n);
    std::vector<float> sums(rows);
    for (std::size_t r = 0; r < rows; ++r) sums[r] = ynn_sum(std::span(x).subspan(r * n, n));
    expect_floats(*c, sums);
  }
}

// A row that is mostly zero (a node's few children among 4672 actions) adds
// up the same from its entries alone.
TEST(XlaMath, SparseRowSumEqualsDenseSum) {
  for (const std::size_t n : {std::size_t{4672}, std::size_t{4700}, std::size_t{300}}) {
    const std::vector<float> wide = wide_row({7, static_cast<std::uint32_t>(n)}, n);
    std::vector<std::uint32_t> picks(n);
    random_bits({8, static_cast<std::uint32_t>(n)}, picks);
    std::vector<float> dense(n, 0.0f);
    std::vector<std::uint32_t> indices;
    std::vector<float> values;
    for (std::size_t i = 0; i < n; ++i)
      if (picks[i] % 40 == 0 || i % 1024 == 1023) {  // a child every forty, and block ends
        dense[i] = picks[i] % 3 == 0 ? -0.0f : wide[i];
        indices.push_back(static_cast<std::uint32_t>(i));
        values.push_back(dense[i]);
      }
    EXPECT_EQ(bits(ynn_sum(n, indices, values)), bits(ynn_sum(dense))) << n;
  }
  const std::vector<std::uint32_t> unordered = {3, 2};
  const std::vector<float> two = {1.0f, 2.0f};
  EXPECT_THROW(ynn_sum(10, unordered, two), std::invalid_argument);
}

TEST(XlaMath, SoftmaxMatchesJax) {
  for (const Case* c : cases_of("softmax")) {
    std::vector<float> x = wide_row(c->key(), c->size_at(2));
    for (std::size_t j = 0; j < x.size(); ++j)
      x[j] = j % 3 == 0 ? std::numeric_limits<float>::lowest() : x[j] * (1.0f / 256);
    softmax(x);
    expect_floats(*c, x);
  }
}

// Edge values (zeros, subnormals, the ends of the polynomials' ranges,
// infinities, negatives) and a spread of ordinary ones.
TEST(XlaMath, ElementwiseFunctionsMatchJax) {
  const std::map<std::string, float (*)(float)> functions = {
      {"xla_log", xla_log}, {"xla_exp", xla_exp}, {"xla_log1p", xla_log1p},
      {"ynn_log", ynn_log}, {"ynn_exp", ynn_exp}};
  for (const auto& [name, f] : functions)
    for (const Case* c : cases_of(name))
      for (const auto& [in, expected] : c->pairs) {
        const float got = f(hex_float(in)), want = hex_float(expected);
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(got)) << name << "(" << in << ")";
        else
          EXPECT_EQ(bits(got), bits(want)) << name << "(" << in << ") = " << got << ", JAX " << want;
      }
}

// The search takes the largest of a row's logs as the log of its largest
// value, which holds only while XLA's log never decreases.
TEST(XlaMath, LogNeverDecreases) {
  float previous = -std::numeric_limits<float>::infinity();
  for (std::uint32_t b = 0x00800000u; b < 0x7F800000u; b += 997) {
    const float y = xla_log(std::bit_cast<float>(b));
    ASSERT_GE(y, previous) << std::hex << b;
    previous = y;
  }
}

}  // namespace
}  // namespace orvex::search
