// The example parameter file of the format tests, and that file with some
// of its fields replaced.
#pragma once

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace example_file {

inline const char* const kExampleLine =
    "  25.00   80.00   10.00    0.00   30.00   60.00   90.00    5.00    0.00  100.00    4.00    0.00  100.00    "
    "3.00    0.00  100.00    2.00    0.00  100.00    0.00    0.00  -20.00  150.00    0.00 120 30 120 30 120 30 120 "
    "30 1 0 0 31 1";

// The example line with fields (1-based) replaced, one space between fields.
inline std::string WithFields(const std::vector<std::pair<int, std::string>>& changes)
{
    std::istringstream in(kExampleLine);
    std::string token, out;
    for (int field = 1; in >> token; ++field) {
        for (const auto& [which, text] : changes)
            if (which == field)
                token = text;
        out += (field > 1 ? " " : "") + token;
    }
    return out;
}

} // namespace example_file
