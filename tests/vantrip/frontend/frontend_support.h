// Helpers for running front-end code in-process: argv vectors with a
// temporary log file, captured console output and normalised log text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/vantrip/frontend/log_text.h"
#include "vantrip/frontend/start.h"

namespace vantrip_test {

// argv built from words; "{log}" becomes a log file in dir, "{dir}" the dir.
class Argv {
  public:
    Argv(const std::vector<std::string> &words, const testsupport::TempDir &dir) {
        words_.push_back("vantrip");
        for (std::string word : words) {
            replace(word, "{log}", dir.file("v.log"));
            replace(word, "{dir}", dir.path());
            words_.push_back(word);
        }
        for (const std::string &word : words_) pointers_.push_back(word.c_str());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    const char *const *argv() const { return pointers_.data(); }

  private:
    static void replace(std::string &word, const std::string &from, const std::string &to) {
        const std::size_t at = word.find(from);
        if (at != std::string::npos) word.replace(at, from.size(), to);
    }
    std::vector<std::string> words_;
    std::vector<const char *> pointers_;
};

// The log file's text with every "\n<stamp> : " replaced by "\n| "; a
// malformed stamp stays and fails the comparison.
inline std::string normalised_log(const std::string &path) {
    if (!testsupport::file_exists(path)) return "<no file>";
    return normalise_stamps(testsupport::read_file(path));
}

// One entry as normalised_log shows it.
inline std::string entry(const std::string &operation, const std::string &message) {
    return "\n| VANTRIP : " + operation + " : " + message;
}

class FrontEnd : public ::testing::Test {
  protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
    std::string log_path() const { return dir_.file("v.log"); }
    testsupport::TempDir dir_;
};

}  // namespace vantrip_test
