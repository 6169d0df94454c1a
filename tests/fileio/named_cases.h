// Cases of parameterised tests that carry a name: test names and failure messages show it.
#pragma once

#include <ostream>
#include <string>

namespace korvadin_test {

struct NamedCase {
    const char* name;
};

inline void PrintTo(const NamedCase& c, std::ostream* os) {
    *os << c.name;
}

// The name generator for INSTANTIATE_TEST_SUITE_P.
struct CaseName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return info.param.name;
    }
};

} // namespace korvadin_test
