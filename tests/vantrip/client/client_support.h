// Helpers for the in-process client tests: a log file in a temporary folder,
// the process-wide settings put back afterwards, and a small stopwatch.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/process.h"
#include "vantrip/frontend/settings.h"

namespace vantrip_client_test {

// Number of non-overlapping occurrences of needle in text.
inline int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

inline int64_t ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

class LoggedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logging_enabled = true;
        log_file_path = dir_.file("client.log");
        stun_mode = false;
        downlink_mode = false;
        suppress_result_file = true;
        io_service.restart();
    }
    void TearDown() override {
        logging_enabled = false;
        log_file_path.clear();
        stun_mode = false;
        // Nothing of a test may stay queued for the next one.
        io_service.restart();
        EXPECT_EQ(io_service.poll(), 0u);
        io_service.restart();
    }
    std::string log_text() const {
        const std::string path = dir_.file("client.log");
        return testsupport::file_exists(path) ? testsupport::read_file(path) : std::string();
    }
    testsupport::TempDir dir_;
};

}  // namespace vantrip_client_test
