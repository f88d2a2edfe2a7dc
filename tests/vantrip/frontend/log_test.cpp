// The log writer: entry format, append order, verbatim texts, logging off,
// and a log file that cannot be opened.
#include "vantrip/frontend/log.h"

#include <gtest/gtest.h>

#include <ctime>

#include "tests/support/process.h"
#include "tests/vantrip/frontend/frontend_support.h"
#include "vantrip/frontend/settings.h"

namespace vantrip_test {
namespace {

std::string stamp_at(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &local);
    return text;
}

class Log : public FrontEnd {
  protected:
    void SetUp() override {
        FrontEnd::SetUp();
        logging_enabled = true;
        log_file_path = log_path();
    }
};

TEST_F(Log, EntryFormatAndStamp) {
    const std::time_t before = std::time(nullptr);
    write_log("VANTRIP", "Start", "Logging will be on.");
    const std::time_t after = std::time(nullptr);
    const std::string text = testsupport::read_file(log_path());

    ASSERT_TRUE(is_stamp_at(text, 1)) << text;
    EXPECT_EQ(normalise_stamps(text), "\n| VANTRIP : Start : Logging will be on.");
    const std::string stamp = text.substr(1, 15);
    EXPECT_TRUE(stamp == stamp_at(before) || stamp == stamp_at(after)) << stamp;
}

TEST_F(Log, EntriesAppendInCallOrderAndKeepTextsVerbatim) {
    struct Case {
        std::string tag, operation, message, normalised;
    } cases[] = {
        {"VANTRIP", "", "\nWaiting for connection....111111",
         "\n| VANTRIP :  : \nWaiting for connection....111111"},
        {"CLIENT_UDP : MESSAGE SENT", "", "", "\n| CLIENT_UDP : MESSAGE SENT :  : "},
        {"CLIENT", "Client::connect", "100% of %s %d %n lost\n",
         "\n| CLIENT : Client::connect : 100% of %s %d %n lost\n"},
        {"", "", "", "\n|  :  : "},
        {"PING", "pinger::close", std::string("a\0b", 3),
         std::string("\n| PING : pinger::close : a\0b", 29)},
    };
    std::string expected;
    for (const Case &c : cases) {
        write_log(c.tag, c.operation, c.message);
        expected += c.normalised;
        EXPECT_EQ(normalised_log(log_path()), expected);
    }
}

TEST_F(Log, AppendsToAnExistingFile) {
    {
        std::FILE *file = std::fopen(log_path().c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("earlier run", file);
        std::fclose(file);
    }
    write_log("VANTRIP", "main", "exception caught: boom");
    EXPECT_EQ(normalised_log(log_path()), "earlier run\n| VANTRIP : main : exception caught: boom");
}

TEST_F(Log, OffWritesNothingAnywhere) {
    logging_enabled = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    write_log("VANTRIP", "Start", "nothing");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(testsupport::file_exists(log_path()));
}

TEST_F(Log, UnopenableFileReportsAndTriesAgain) {
    log_file_path = dir_.file("missing/dir/v.log");
    testing::internal::CaptureStderr();
    write_log("VANTRIP", "Start", "lost");
    write_log("VANTRIP", "Start", "lost too");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot open output_file\nCannot open output_file\n");
}

}  // namespace
}  // namespace vantrip_test
