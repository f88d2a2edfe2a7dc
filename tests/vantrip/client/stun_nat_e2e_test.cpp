// Address discovery through a real address translator: three namespaces of
// the test's own (client, router, server), the router masquerading towards
// the server. The client must learn the router's outside address, not its own.
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::NetLab;

constexpr const char *kVantrip = VANTRIP_BIN;
constexpr const char *kServerAddr = "198.18.2.2";
constexpr const char *kRouterOutside = "198.18.2.1";
constexpr const char *kClientAddr = "198.18.1.2";
constexpr const char *kPort = "5001";

constexpr const char *kMasquerade =
    "table ip vtnat {\n"
    "  chain post {\n"
    "    type nat hook postrouting priority 100; policy accept;\n"
    "    oifname \"out0\" masquerade\n"
    "  }\n"
    "}\n";

TEST(StunThroughNat, ClientLearnsTheTranslatedAddress) {
    NetLab lab("vtnat");
    if (!lab.ready()) GTEST_SKIP() << lab.error();
    if (testsupport::system_tool("nft").empty()) GTEST_SKIP() << "nftables (nft) is not installed";
    lab.add_host("c");
    lab.add_host("r");
    lab.add_host("s");
    lab.link("c", "in1", std::string(kClientAddr) + "/24", "r", "in0", "198.18.1.1/24");
    lab.link("r", "out0", std::string(kRouterOutside) + "/24", "s", "out1",
             std::string(kServerAddr) + "/24");
    ASSERT_TRUE(lab.ready()) << lab.error();
    ASSERT_TRUE(lab.exec(
        "c", {testsupport::system_tool("ip"), "route", "add", "default", "via", "198.18.1.1"}))
        << lab.error();
    ASSERT_TRUE(lab.exec("r", {testsupport::system_tool("sysctl"), "-qw", "net.ipv4.ip_forward=1"}))
        << lab.error();
    ASSERT_TRUE(lab.exec("r", {testsupport::system_tool("nft"), "-f", "-"}, kMasquerade))
        << lab.error();
    // The server has no route back to the client's network: only translated
    // traffic can reach it and be answered.

    testsupport::Background server;
    std::vector<std::string> server_argv = lab.prefix("s");
    server_argv.insert(server_argv.end(), {kVantrip, "STUN", "SERVER", kPort});
    ASSERT_TRUE(server.start(server_argv));
    ASSERT_TRUE(server.wait_for_output("Vantrip server started....", 5000ms)) << server.err();

    testsupport::TempDir state;
    testsupport::RunOptions opts;
    opts.timeout = 15000ms;
    opts.env.push_back("XDG_STATE_HOME=" + state.path());
    std::vector<std::string> client_argv = lab.prefix("c");
    client_argv.insert(client_argv.end(), {kVantrip, "STUN", "CLIENT", "TCP", "V4", kServerAddr,
                                           kPort, state.file("client.log")});
    const testsupport::RunResult client = testsupport::run(client_argv, opts);
    server.stop();

    ASSERT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_code, 0)
        << client.err << testsupport::read_file(state.file("client.log"));
    const std::string result =
        testsupport::read_file(state.path() + "/Kestrelon/Lumo_App/stunResult.log");
    EXPECT_NE(result.find("\nClient Public IP: " + std::string(kRouterOutside) + "\n"),
              std::string::npos)
        << result;
    EXPECT_EQ(result.find(kClientAddr + std::string("\n")), std::string::npos) << result;
    const std::string port_label = "\nClient Public Port: ";
    const size_t at = result.find(port_label);
    ASSERT_NE(at, std::string::npos) << result;
    const std::string port =
        result.substr(at + port_label.size(), result.find('\n', at + 1) - at - port_label.size());
    ASSERT_FALSE(port.empty());
    EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << port;
    // The console shows the same fields.
    EXPECT_NE(client.out.find("Client Public IP: " + std::string(kRouterOutside)),
              std::string::npos)
        << client.out;
}

}  // namespace
