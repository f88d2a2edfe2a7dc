// Log texts in tests: every "\n<stamp> : " becomes "\n| " so that whole
// files compare exactly; a malformed stamp is left and fails the comparison.
#pragma once

#include <string>

namespace vantrip_test {

// True when text holds a YYYYMMDDTHHMMSS stamp at pos.
inline bool is_stamp_at(const std::string &text, std::size_t pos) {
    if (pos + 15 > text.size()) return false;
    for (std::size_t i = 0; i < 15; ++i) {
        const char c = text[pos + i];
        const bool ok = i == 8 ? c == 'T' : c >= '0' && c <= '9';
        if (!ok) return false;
    }
    return true;
}

inline std::string normalise_stamps(const std::string &text) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '\n' && is_stamp_at(text, pos + 1) &&
            text.compare(pos + 16, 3, " : ") == 0) {
            out += "\n| ";
            pos += 19;
        } else {
            out += text[pos++];
        }
    }
    return out;
}

}  // namespace vantrip_test
