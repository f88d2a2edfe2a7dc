// quarvel's client against quarvel's own server on loopback, classic and NAT
// mode, TCP and UDP, as a user runs them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;

struct PairCase {
    const char *name;
    std::vector<std::string> server;  // after -s -p PORT (NAT: -a NAT_PORT appended)
    std::vector<std::string> client;  // after the port options
    bool nat;
    std::vector<std::string> client_lines;  // texts the client prints
};

TEST(ClientWithServer, LoopbackTestsEndWithTheirReports) {
    const PairCase cases[] = {
        {"TCP",
         {},
         {"-c", "127.0.0.1", "-t", "0.5"},
         false,
         {"Client connecting to 127.0.0.1, TCP port "}},
        {"UDP",
         {"-u"},
         {"-c", "127.0.0.1", "-u", "-t", "0.5", "-b", "200p"},
         false,
         {"Client connecting to 127.0.0.1, UDP port ", "Server Report:\n"}},
        {"NAT TCP",
         {"-e", "127.0.0.1"},
         {"-E", "-t", "0.5"},
         true,
         {"Waiting for incoming connection\n", "Batch Report Printing"}},
        {"NAT UDP",
         {"-u", "-e", "127.0.0.1"},
         {"-E", "-u", "-t", "0.5", "-b", "200p"},
         true,
         {"Waiting for incoming connection\n", "Server Report:\n"}},
    };
    for (const PairCase &c : cases) {
        const std::string port = std::to_string(testsupport::free_port());
        const std::string nat_port = std::to_string(testsupport::free_port());
        std::vector<std::string> server_argv = {QUARVEL_BIN, "-s", "-p", port};
        server_argv.insert(server_argv.end(), c.server.begin(), c.server.end());
        std::vector<std::string> client_argv = {QUARVEL_BIN, "-p", port};
        if (c.nat) {
            server_argv.insert(server_argv.end(), {"-a", nat_port});
            client_argv.insert(client_argv.end(), {"-a", nat_port});
        }
        client_argv.insert(client_argv.end(), c.client.begin(), c.client.end());

        testsupport::Background server;
        ASSERT_TRUE(server.start(server_argv)) << c.name;
        ASSERT_TRUE(server.wait_for_output("Server listening on", 5000ms)) << c.name;
        testsupport::RunOptions opts;
        opts.timeout = 10000ms;
        const testsupport::RunResult client = testsupport::run(client_argv, opts);
        const testsupport::RunResult served = server.stop();

        EXPECT_FALSE(client.timed_out) << c.name;
        EXPECT_EQ(client.exit_code, 0) << c.name << client.err;
        for (const std::string &line : c.client_lines) {
            EXPECT_NE(client.out.find(line), std::string::npos) << c.name << ": " << line << "\n"
                                                                << client.out;
        }
        // The server saw the test: its connection line and a final line.
        EXPECT_NE(served.out.find("connected with 127.0.0.1 port"), std::string::npos)
            << c.name << served.out;
        EXPECT_NE(served.out.find(" sec "), std::string::npos) << c.name << served.out;
    }
}

}  // namespace
