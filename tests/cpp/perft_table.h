// The standard perft positions with their published counts, read from the
// table that the C++ tests, the Python tests and the benchmarks share.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace orvex::testing {

struct PerftRow {
  std::string name;
  std::string fen;
  std::vector<std::uint64_t> counts;  // counts[d - 1] at depth d
};

inline std::string trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(' ');
  const auto end = text.find_last_not_of(' ');
  return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

// Returns the rows of tests/data/perft.txt; throws if it cannot be read.
inline std::vector<PerftRow> perft_table() {
  std::ifstream in(ORVEX_PERFT_TABLE);
  if (!in) throw std::runtime_error("cannot read " ORVEX_PERFT_TABLE);
  std::vector<PerftRow> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, fen, counts;
    std::getline(fields, name, '|');
    std::getline(fields, fen, '|');
    std::getline(fields, counts);
    PerftRow row{trimmed(name), trimmed(fen), {}};
    std::istringstream numbers(counts);
    for (std::uint64_t n; numbers >> n;) row.counts.push_back(n);
    rows.push_back(row);
  }
  return rows;
}

}  // namespace orvex::testing
