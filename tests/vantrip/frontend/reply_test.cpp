// The reply handler: stop requests, fields, console lines and the result file
// (kept under a temporary XDG_STATE_HOME).
#include "vantrip/frontend/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/process.h"
#include "tests/vantrip/frontend/frontend_support.h"
#include "vantrip/frontend/platform.h"
#include "vantrip/frontend/settings.h"

namespace vantrip_test {
namespace {

const char kOld[] = "old result\n";

class Reply : public FrontEnd {
  protected:
    void SetUp() override {
        FrontEnd::SetUp();
        const char *saved = std::getenv("XDG_STATE_HOME");
        had_state_home_ = saved != nullptr;
        if (had_state_home_) saved_state_home_ = saved;
        setenv("XDG_STATE_HOME", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (had_state_home_)
            setenv("XDG_STATE_HOME", saved_state_home_.c_str(), 1);
        else
            unsetenv("XDG_STATE_HOME");
        FrontEnd::TearDown();
    }
    void write_old_result() {
        ASSERT_TRUE(make_directories(result_directory()));
        std::FILE *file = std::fopen(result_file_path().c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(kOld, file);
        std::fclose(file);
    }
    std::string result() const {
        const std::string path = result_file_path();
        return testsupport::file_exists(path) ? testsupport::read_file(path) : "<no file>";
    }

  private:
    bool had_state_home_ = false;
    std::string saved_state_home_;
};

struct ReplyCase {
    const char *title;
    bool stun;
    bool suppress;
    std::string reply;
    int code;
    std::string collected;  // starting from "pre:"
    std::string console;
    std::string result_file;  // "<no file>" when absent
};

void PrintTo(const ReplyCase &c, std::ostream *os) {
    *os << c.title;
}

class ReplyCases : public Reply, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyCases, ReturnCollectedConsoleAndFile) {
    const ReplyCase &c = GetParam();
    stun_mode = c.stun;
    suppress_result_file = c.suppress;
    write_old_result();

    std::string collected = "pre:";
    testing::internal::CaptureStdout();
    const int code = process_reply(c.reply.data(), c.reply.size(), collected);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.console);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(collected, c.collected);
    EXPECT_EQ(result(), c.result_file);
    if (c.stun) {
        EXPECT_TRUE(std::filesystem::is_directory(result_directory()));
    }
}

const std::string kNoFile = "<no file>";

const ReplyCase kReplyCases[] = {
    // Stop requests: nothing printed, no file touched, whatever the mode.
    {"stop", true, false, "STOP;", 3, "pre:STOP;", "", kOld},
    {"stop_bare", true, false, "STOP", 3, "pre:STOP;", "", kOld},
    {"stop_after_empty_fields", false, false, ";;STOP;x;", 3, "pre:STOP;", "", kOld},
    {"stop_with_fields", true, true, "STOP;A;B;", 3, "pre:STOP;", "", kOld},
    {"stop_lower_case_is_a_field", true, false, "stop;", 2, "pre:stop;", "stop\n", "stop\n"},
    {"stopx_is_a_field", true, false, "STOPX;", 2, "pre:STOPX;", "STOPX\n", "STOPX\n"},
    // Outside discovery mode the text is only collected.
    {"plain_echo", false, false, "105xxxxx", 2, "105xxxxx", "", kOld},
    {"plain_fields", false, true, "A;B;", 2, "A;B;", "", kOld},
    {"plain_empty", false, false, "", 1, "", "", kOld},
    // Discovery client: fresh result file, one line per ';'-terminated field.
    {"three_fields", true, false, "A;B;C;", 2, "pre:A;B;C;", "A\nB\nC\n", "A\nB\nC\n"},
    {"tail_is_no_field", true, false, "A;B;C", 2, "pre:A;B;", "A\nB\n", "A\nB\n"},
    {"empty_fields_skipped", true, false, "A;;B;", 2, "pre:A;B;", "A\nB\n", "A\nB\n"},
    {"leading_separator", true, false, ";A;", 2, "pre:A;", "A\n", "A\n"},
    {"no_separator", true, false, "Server_id", 2, "pre:", "", kNoFile},
    {"empty_reply", true, false, "", 1, "pre:", "", kNoFile},
    {"only_separators", true, false, ";;;", 1, "pre:", "", kNoFile},
    {"text_ends_at_nul", true, false, std::string("A;\0B;", 5), 2, "pre:A;", "A\n", "A\n"},
    // Discovery server: fields printed, no result file written or removed.
    {"server_side", true, true, "Client_id: client1234;Protocol: TCP;", 2,
     "pre:Client_id: client1234;Protocol: TCP;", "Client_id: client1234\nProtocol: TCP\n", kOld},
};

INSTANTIATE_TEST_SUITE_P(Fields, ReplyCases, ::testing::ValuesIn(kReplyCases),
                         [](const ::testing::TestParamInfo<ReplyCase> &param_info) {
                             return std::string(param_info.param.title);
                         });

TEST_F(Reply, LengthAndMaximumBoundTheText) {
    stun_mode = true;
    suppress_result_file = false;
    std::string collected;
    testing::internal::CaptureStdout();
    EXPECT_EQ(process_reply("A;B;", 2, collected), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "A\n");

    // A field that would end past 4096 bytes is not one.
    std::string big(4090, 'a');
    big += ";" + std::string(10, 'b') + ";";
    collected.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(process_reply(big.data(), big.size(), collected), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(4090, 'a') + "\n");
    EXPECT_EQ(collected, std::string(4090, 'a') + ";");
}

TEST_F(Reply, ResultFileThatCannotBeOpened) {
    stun_mode = true;
    suppress_result_file = false;
    // A non-empty folder where the file belongs: neither removed nor opened.
    ASSERT_TRUE(make_directories(result_file_path() + "/keep"));
    std::string collected;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(process_reply("A;B;", 4, collected), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot open output_file\nCannot open output_file\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "A\nB\n");
    EXPECT_EQ(collected, "A;B;");
    EXPECT_TRUE(std::filesystem::is_directory(result_file_path() + "/keep"));
}

TEST_F(Reply, EachReplyStartsAFreshFile) {
    // One STUN CLIENT answer read in two pieces: the second rewrites the file.
    stun_mode = true;
    suppress_result_file = false;
    write_old_result();
    std::string collected;
    testing::internal::CaptureStdout();
    process_reply("A;", 2, collected);
    process_reply("B;C;", 4, collected);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result(), "B\nC\n");
    EXPECT_EQ(collected, "A;B;C;");
}

}  // namespace
}  // namespace vantrip_test
