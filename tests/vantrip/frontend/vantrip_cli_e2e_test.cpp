// The built vantrip program run as a user runs it: usage text, exit codes,
// log and console texts, and a server start that a stop request ends.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/vantrip/frontend/log_text.h"
#include "tests/vantrip/frontend/usage_text.h"

namespace {

using testsupport::run;
using testsupport::RunOptions;
using testsupport::TempDir;

const std::string kOn = "\n| VANTRIP : Start : Logging will be on.";

RunOptions in_dir(const TempDir &dir) {
    RunOptions opts;
    opts.cwd = dir.path();
    opts.env = {"XDG_STATE_HOME=" + dir.file("state")};
    return opts;
}

TEST(VantripCli, UsageAndExitCodes) {
    TempDir dir;
    const std::string usage = vantrip_test::expected_usage();
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"help"}, usage},
        {{"?", "x"}, usage},
        {{"HELP", "x"}, usage},  // reaches the mode check; its message goes to no log
        {{}, usage},
        {{"SERVER", "0", "results.csv"},
         "Warning: Logging option requires filename, You have entered 'results.csv'. Logging "
         "will be off for now.\n" +
             usage},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {VANTRIP_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto result = run(argv, in_dir(dir));
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 1) << argv.size();
        EXPECT_EQ(result.out, c.out) << argv.size();
        EXPECT_EQ(result.err, "") << argv.size();
    }
    // Nothing was written in the working directory.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(VantripCli, PortOutOfRangeIsLogged) {
    TempDir dir;
    const std::string log = dir.file("c.log");
    const auto result =
        run({VANTRIP_BIN, "CLIENT", "UDP", "V4", "127.0.0.1", "70000", "10", "1", "100", log},
            in_dir(dir));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, vantrip_test::expected_usage());
    const std::string text = testsupport::read_file(log);
    EXPECT_EQ(vantrip_test::normalise_stamps(text),
              kOn +
                  "\n| VANTRIP : checkport : ERROR: Please enter the value in range for "
                  "server_port\n");
}

TEST(VantripCli, StopExitsZeroWhateverTheOutcome) {
    TempDir dir;
    const std::string log = dir.file("stop.log");
    const std::string port = std::to_string(testsupport::free_port());
    const auto result = run({VANTRIP_BIN, "STOP", "127.0.0.1", port, log}, in_dir(dir));
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    const std::string text = testsupport::read_file(log);
    EXPECT_EQ(vantrip_test::normalise_stamps(text).rfind(kOn, 0), 0u) << text;
}

TEST(VantripCli, ServerStartsAndStops) {
    TempDir dir;
    const std::string log = dir.file("server.log");
    const uint16_t port = testsupport::free_port();
    testsupport::Background server;
    ASSERT_TRUE(server.start({VANTRIP_BIN, "SERVER", std::to_string(port), log}, in_dir(dir)));
    ASSERT_TRUE(
        server.wait_for_output("Vantrip server started....\n", std::chrono::milliseconds(10000)))
        << server.out();
    if (server.running()) {
        std::string reply;
        testsupport::udp_exchange(4, port, "STOP;", &reply, 2000);
    }
    ASSERT_TRUE(server.wait(std::chrono::milliseconds(10000))) << "server did not stop";
    const auto result = server.result();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out.rfind("Vantrip server started....\n", 0), 0u) << result.out;
    const std::string text = testsupport::read_file(log);
    EXPECT_EQ(vantrip_test::normalise_stamps(text).rfind(
                  kOn + "\n| VANTRIP :  : \nWaiting for connection....111111", 0),
              0u)
        << text;
}

}  // namespace
