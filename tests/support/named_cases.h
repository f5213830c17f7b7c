// Table rows that print as their names in test listings and failures. A test file brings the
// printer in with `using quillamar::testing::PrintTo;` in the namespace of its case types.
#pragma once

#include <ostream>

namespace quillamar::testing {

template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

}  // namespace quillamar::testing
