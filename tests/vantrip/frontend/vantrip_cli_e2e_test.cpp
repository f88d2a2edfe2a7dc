// The built vantrip program run as a user runs it: usage text, exit codes,
// log and console texts, and a server start that a stop request ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
    ASSERT_TRUE(server.running());
    std::string reply;
    EXPECT_TRUE(testsupport::udp_exchange(4, port, "STOP;", &reply, 5000));
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

// A discovery run leaves a fresh result file under XDG_STATE_HOME with one
// line per field of the answer, and shows the same lines on the console.
TEST(VantripCli, DiscoveryAnswerReachesTheResultFile) {
    TempDir dir;
    const std::string state = dir.file("state");
    const std::string folder = state + "/Kestrelon/Lumo_App";
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    std::ofstream(folder + "/stunResult.log") << "answer of an earlier run\n";

    const std::string port = std::to_string(testsupport::free_port());
    testsupport::Background server;
    ASSERT_TRUE(server.start({VANTRIP_BIN, "STUN", "SERVER", port}, in_dir(dir)));
    ASSERT_TRUE(
        server.wait_for_output("Vantrip server started....\n", std::chrono::milliseconds(10000)));

    const auto client =
        run({VANTRIP_BIN, "STUN", "CLIENT", "tcp", "v4", "127.0.0.1", port}, in_dir(dir));
    server.stop();
    EXPECT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_code, 0);
    const std::string result = testsupport::read_file(folder + "/stunResult.log");
    EXPECT_EQ(client.out, result);
    EXPECT_EQ(result.rfind("Server_id: server1234\nS_VERSION: SV_1_0\n"
                           "--Message Received from Client:\nClient_id: client1234\n",
                           0),
              0u)
        << result;
    EXPECT_NE(result.find("\nProtocol: TCP\nIP Version: V4\nServer IP: 127.0.0.1\nServer Port: " +
                          port + "\n--Client IP and Port observed:\nClient Public IP: 127.0.0.1\n"),
              std::string::npos)
        << result;
    EXPECT_EQ(result.find("earlier run"), std::string::npos);
}

}  // namespace
