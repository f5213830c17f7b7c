// Table rows that print as their names in test listings and failures. A test file brings the
// printer in with `using quillamar::testing::PrintTo;` in the namespace of its case types.
#pragma once

#include <ostream>
#include <string>

namespace quillamar::testing {

template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

/// Names each instantiated test after its row, for INSTANTIATE_TEST_SUITE_P.
inline constexpr auto kCaseName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace quillamar::testing
