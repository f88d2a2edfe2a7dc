// Helpers of quarvel's in-process tests: an owned settings record and a
// command line parsed into it as main would.
#pragma once

#include <getopt.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quarvel/settings.h"

namespace quarveltest {

// Owns a record made by new + Settings_Initialize.
class Record {
  public:
    Record() : s(new thread_Settings) { Settings_Initialize(s); }
    ~Record() { Settings_Destroy(s); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;

    thread_Settings *const s;
};

// Parses "quarvel" followed by words into s (the scanner restarted first).
inline void parse(std::vector<std::string> words, thread_Settings *s) {
    words.insert(words.begin(), "quarvel");
    std::vector<char *> argv(words.size() + 1, nullptr);
    std::transform(words.begin(), words.end(), argv.begin(),
                   [](std::string &word) { return word.data(); });
    optind = 0;
    Settings_ParseCommandLine(static_cast<int>(words.size()), argv.data(), s);
}

}  // namespace quarveltest
