// Multicast receive of toril -s inside a network namespace the test creates
// (addresses from 198.18.0.0/15, multicast routed on its loopback): an
// any-source join, and source-specific joins with the right and a wrong
// source. Needs root; skips otherwise.
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/net.h"
#include "tests/support/process.h"

namespace {

using std::chrono::milliseconds;

class TorilMulticast : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
            if (access(path, X_OK) == 0) {
                ip_path = path;
                break;
            }
        }
        if (ip_path.empty()) GTEST_SKIP() << "the ip command is not installed";
        ns = "toril-ts-" + std::to_string(getpid());
        ASSERT_TRUE(ip({"netns", "add", ns}));
        created = true;
        ASSERT_TRUE(ip({"-n", ns, "link", "set", "lo", "up"}));
        ASSERT_TRUE(ip({"-n", ns, "addr", "add", "198.18.0.1/32", "dev", "lo"}));
        ASSERT_TRUE(ip({"-n", ns, "route", "add", "224.0.0.0/4", "dev", "lo"}));
    }
    void TearDown() override {
        if (server.pid() > 0) {
            const testsupport::RunResult r = server.stop();
            if (HasFailure()) ADD_FAILURE() << "server output:\n" << r.out << "\n" << r.err;
        }
        if (created) ip({"netns", "del", ns});
    }
    bool ip(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {ip_path};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::run(argv).exit_code == 0;
    }
    std::vector<std::string> in_ns(std::vector<std::string> args) {
        args.insert(args.begin(), {ip_path, "netns", "exec", ns, TORIL_BIN});
        return args;
    }
    void StartServer(const std::vector<std::string> &args) {
        ASSERT_TRUE(server.start(in_ns(args)));
        ASSERT_TRUE(server.wait_for_output("Server listening on UDP port", milliseconds(3000)))
            << server.err();
    }
    void RunClient(const std::string &group) {
        testsupport::RunOptions opts;
        opts.timeout = milliseconds(6000);
        const testsupport::RunResult r = testsupport::run(
            in_ns({"-c", group, "-u", "-p", p(), "-t", "1", "-T", "1", "-B", "198.18.0.1"}), opts);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    std::string p() const { return std::to_string(port); }

    std::string ip_path;
    std::string ns;
    bool created = false;
    uint16_t port = testsupport::free_port();
    testsupport::Background server;
};

TEST_F(TorilMulticast, AnySourceJoinReceivesTheTest) {
    StartServer({"-s", "-u", "-B", "239.1.1.1", "-p", p()});
    EXPECT_NE(server.out().find("Joining multicast group  239.1.1.1"), std::string::npos);
    RunClient("239.1.1.1");
    EXPECT_TRUE(server.wait_for_output("connected with 198.18.0.1", milliseconds(3000)));
}

TEST_F(TorilMulticast, SourceSpecificJoinTakesOnlyItsSource) {
    StartServer({"-s", "-u", "-B", "232.1.1.1", "-H", "198.18.0.1", "-p", p()});
    EXPECT_NE(server.out().find("Joining multicast (S,G)=198.18.0.1,232.1.1.1"), std::string::npos);
    RunClient("232.1.1.1");
    EXPECT_TRUE(server.wait_for_output("connected with 198.18.0.1", milliseconds(3000)));
}

TEST_F(TorilMulticast, SourceSpecificJoinIgnoresAnotherSource) {
    StartServer({"-s", "-u", "-B", "232.1.1.2", "-H", "198.18.0.9", "-p", p()});
    RunClient("232.1.1.2");
    EXPECT_FALSE(server.wait_for_output("connected with", milliseconds(500)));
}

}  // namespace
