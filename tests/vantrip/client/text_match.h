// A small text pattern for output lines whose numbers vary: '#' in the
// pattern stands for one or more decimal digits, every other character for
// itself.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantrip_client_test {

// True when the whole text matches; the numbers that '#' matched are
// appended to numbers when it is given.
inline bool matches(const std::string &text, const std::string &pattern,
                    std::vector<std::string> *numbers = nullptr) {
    std::size_t t = 0;
    for (std::size_t p = 0; p < pattern.size(); ++p) {
        if (pattern[p] == '#') {
            const std::size_t start = t;
            while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t;
            if (t == start) return false;
            if (numbers) numbers->push_back(text.substr(start, t - start));
        } else {
            if (t >= text.size() || text[t] != pattern[p]) return false;
            ++t;
        }
    }
    return t == text.size();
}

}  // namespace vantrip_client_test
