// Table rows that print as their names in test listings and failures. A test file brings the
// printer in with `using quillamar::testing::PrintTo;` in the namespace of its case types.
#pragma once

#include <ostream>
#include <string>
#include <tuple>

namespace quillamar::testing {

template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

/// Names each instantiated test after its row, for INSTANTIATE_TEST_SUITE_P.
inline constexpr auto kCaseName = [](const auto& info) { return std::string(info.param.name); };
/// Instantiates a table test over its rows, each test named after its row.
#define QUILLAMAR_TABLE_TESTS(prefix, suite, rows)                   \
  INSTANTIATE_TEST_SUITE_P(prefix, suite, ::testing::ValuesIn(rows), \
                           ::quillamar::testing::kCaseName)
/// The same for a row combined with a word (an engine's name, say): "RowWord".
inline constexpr auto kCaseAndWordName = [](const auto& info) {
  return std::string(std::get<0>(info.param).name) + std::get<1>(info.param);
};

}  // namespace quillamar::testing
