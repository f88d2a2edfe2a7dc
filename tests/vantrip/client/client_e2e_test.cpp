// The vantrip client run as a user runs it, against the real vantrip server
// (or a silent socket) on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"
#include "tests/vantrip/client/text_match.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Background;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TempDir;
using vantrip_client_test::matches;

const std::string kVantrip = VANTRIP_BIN;

int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// A running vantrip server on a free port, stopped by its PID at the end.
class Server {
  public:
    explicit Server(bool stun = false, const std::string &state_home = "") {
        port_ = testsupport::free_port();
        std::vector<std::string> argv = {kVantrip};
        if (stun) argv.push_back("STUN");
        argv.push_back("SERVER");
        argv.push_back(std::to_string(port_));
        RunOptions opts;
        if (!state_home.empty()) opts.env.push_back("XDG_STATE_HOME=" + state_home);
        started_ = port_ != 0 && process_.start(argv, opts) &&
                   process_.wait_for_output("Vantrip server started....", 5000ms);
    }
    ~Server() {
        if (process_.pid() > 0) process_.stop();
    }
    bool started() const { return started_; }
    uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    Background &process() { return process_; }

  private:
    uint16_t port_ = 0;
    bool started_ = false;
    Background process_;
};

RunResult run_vantrip(const std::vector<std::string> &args, std::chrono::milliseconds limit,
                      const std::vector<std::string> &env = {}) {
    std::vector<std::string> argv = {kVantrip};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions opts;
    opts.timeout = limit;
    opts.env = env;
    return testsupport::run(argv, opts);
}

class ClientE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kVantrip.empty()) GTEST_SKIP() << "vantrip is not built";
    }
    std::string log_path() const { return dir_.file("client.log"); }
    std::string log_text() const {
        return testsupport::file_exists(log_path()) ? testsupport::read_file(log_path()) : "";
    }
    TempDir dir_;
};

std::string summary(const std::string &ip, const std::string &protocol, const std::string &family,
                    int sent, int received, const std::string &loss) {
    return " : CLIENT :  : Ping statistics for " + ip + " via " + protocol + " with IP " + family +
           ":\n\tPackets: Sent = " + std::to_string(sent) +
           ", Received = " + std::to_string(received) +
           ", Lost = " + std::to_string(sent - received) + " (" + loss + "% loss),";
}

TEST_F(ClientE2E, UdpThreeProbesPrintThreeResultLinesAndLogNoLoss) {
    Server server;
    ASSERT_TRUE(server.started());
    const RunResult r = run_vantrip(
        {"CLIENT", "UDP", "V4", "127.0.0.1", server.port_text(), "64", "3", "1000", log_path()},
        20000ms);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (int i = 0; i < 3; ++i) {
        const std::string line =
            "Counter=" + std::to_string(i + 1) + " PacketId=" + std::to_string(100 + i) +
            " TwoWay=false PayloadBytes=64 IpVersion=V4 Ip=127.0.0.1 Port=" + server.port_text() +
            " TimeMs=# Status=OK";
        EXPECT_TRUE(matches(lines[i], line)) << lines[i];
    }
    const std::string log = log_text();
    EXPECT_NE(log.find(summary("127.0.0.1", "UDP", "V4", 3, 3, "0")), std::string::npos) << log;
    EXPECT_NE(log.find(" : CLIENT :  : Approximate round trip times in milli-seconds: \n"
                       "\tMinimum = "),
              std::string::npos);
}

TEST_F(ClientE2E, UdpProbeWhoseEchoNeverComesTimesOutAndIsLost) {
    // A bound socket that never reads: every probe is dropped.
    const int silent = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));

    const RunResult r = run_vantrip(
        {"CLIENT", "UDP", "V4", "127.0.0.1", port, "16", "1", "200", log_path()}, 10000ms);
    close(silent);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              "Counter=1 PacketId=100 TwoWay=false PayloadBytes=16 IpVersion=V4 "
              "Ip=127.0.0.1 Port=" +
                  port + " TimeMs=0 Status=TimeOut\n");
    const std::string log = log_text();
    EXPECT_NE(log.find(summary("127.0.0.1", "UDP", "V4", 1, 0, "100")), std::string::npos) << log;
    EXPECT_EQ(log.find("Approximate round trip times"), std::string::npos);
}

TEST_F(ClientE2E, TcpOverIpv6UsesOneConnectionPerMessage) {
    Server server;
    ASSERT_TRUE(server.started());
    const RunResult r = run_vantrip(
        {"CLIENT", "TCP", "V6", "::1", server.port_text(), "32", "2", "1000", log_path()}, 20000ms);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");  // TCP runs print no per-message line
    const std::string log = log_text();
    EXPECT_NE(log.find(summary("::1", "TCP", "V6", 2, 2, "0")), std::string::npos) << log;
    EXPECT_EQ(count_of(log, " : CLIENT_TCP:CONNECTED :  : "), 2);
    EXPECT_EQ(count_of(log, " : CLIENT_TCP : SOCKET CLOSED :  : "), 2);
    EXPECT_EQ(count_of(log, " : CLIENT_TCP : MESSAGE RECEIVED :  : "), 2);
    EXPECT_NE(log.find("Pinging ::1:" + server.port_text() +
                       " with 32 bytes of data (Package Nr. 1) ..."),
              std::string::npos);
    EXPECT_NE(log.find("Received 32 bytes from ::1:" + server.port_text() + ": Message ID: 1,"),
              std::string::npos);
}

TEST_F(ClientE2E, DownlinkRunsTheTwoWayExchangeOverBothTransports) {
    for (const char *protocol : {"UDP", "TCP"}) {
        SCOPED_TRACE(protocol);
        Server server;
        ASSERT_TRUE(server.started());
        const std::string log_file = dir_.file(std::string(protocol) + ".log");
        const RunResult r = run_vantrip({"CLIENT", protocol, "V4", "127.0.0.1", server.port_text(),
                                         "64", "2", "500", "downlink", log_file},
                                        20000ms);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const std::string log =
            testsupport::file_exists(log_file) ? testsupport::read_file(log_file) : std::string();
        EXPECT_NE(log.find(summary("127.0.0.1", protocol, "V4", 2, 2, "0")), std::string::npos)
            << log;
        if (std::string(protocol) == "UDP") {
            const std::vector<std::string> lines = lines_of(r.out);
            ASSERT_EQ(lines.size(), 2u) << r.out;
            for (int i = 0; i < 2; ++i) {
                const std::string line = "Counter=" + std::to_string(i + 1) +
                                         " PacketId=" + std::to_string(1000 + i) +
                                         " TwoWay=true PayloadBytes=64 IpVersion=V4 "
                                         "Ip=127.0.0.1 Port=" +
                                         server.port_text() + " TimeMs=# Status=OK";
                EXPECT_TRUE(matches(lines[i], line)) << lines[i];
            }
            EXPECT_NE(log.find("Recd rtt packet=1001,64,"), std::string::npos);
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_NE(log.find("Received 64 bytes from 127.0.0.1:" + server.port_text() +
                               ": Message ID: 1001,"),
                      std::string::npos)
                << log;
        }
    }
}

TEST_F(ClientE2E, StunOverTcpLeavesOneFieldPerLineInTheResultFile) {
    TempDir server_state, client_state;
    Server server(true, server_state.path());
    ASSERT_TRUE(server.started());
    const RunResult r =
        run_vantrip({"STUN", "CLIENT", "TCP", "V4", "127.0.0.1", server.port_text(), log_path()},
                    10000ms, {"XDG_STATE_HOME=" + client_state.path()});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;

    const std::string result_file = client_state.file("Kestrelon/Lumo_App/stunResult.log");
    ASSERT_TRUE(testsupport::file_exists(result_file));
    const std::vector<std::string> lines = lines_of(testsupport::read_file(result_file));
    const std::vector<std::string> expected = {
        "Server_id: server1234",
        "S_VERSION: SV_1_0",
        "--Message Received from Client:",
        "Client_id: client1234",
        "S_VERSION: CV_1_0",
        "Request_id: #",
        "Protocol: TCP",
        "IP Version: V4",
        "Server IP: 127.0.0.1",
        "Server Port: " + server.port_text(),
        "--Client IP and Port observed:",
        "Client Public IP: 127.0.0.1",
        "Client Public Port: #",
    };
    ASSERT_EQ(lines.size(), expected.size()) << testsupport::read_file(result_file);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(matches(lines[i], expected[i])) << lines[i];
    const int request_id = std::stoi(lines[5].substr(std::string("Request_id: ").size()));
    EXPECT_GE(request_id, 1);
    EXPECT_LE(request_id, 49999);
    // The console shows the same lines.
    EXPECT_EQ(r.out, testsupport::read_file(result_file));
    EXPECT_NE(log_text().find(" : CLIENT_TCP : MESSAGE RECEIVED FROM SERVER  : Server_id: "
                              "server1234;S_VERSION: SV_1_0;"),
              std::string::npos);
}

TEST_F(ClientE2E, StunOverUdpEndsWithOneWhenTheServerGivesNoAnswer) {
    TempDir server_state, client_state;
    Server server(true, server_state.path());
    ASSERT_TRUE(server.started());
    const RunResult r =
        run_vantrip({"STUN", "CLIENT", "UDP", "V4", "127.0.0.1", server.port_text(), log_path()},
                    15000ms, {"XDG_STATE_HOME=" + client_state.path()});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(log_text().find(" : CLIENT_UDP : Client::connect : ERROR socket.receive_from : "),
              std::string::npos);
    EXPECT_FALSE(testsupport::file_exists(client_state.file("Kestrelon/Lumo_App/stunResult.log")));
}

TEST_F(ClientE2E, StopEndsARunningServerOverEitherFamily) {
    for (const char *address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        Server server;
        ASSERT_TRUE(server.started());
        const RunResult r = run_vantrip({"STOP", address, server.port_text()}, 5000ms);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(server.process().wait(5000ms)) << "server still running";
    }
}

// A TCP listener in a child process that accepts every connection and
// resets it at once; stopped by its PID.
class ResettingTcpServer {
  public:
    ResettingTcpServer() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            close(fd);
            return;
        }
        port_ = ntohs(addr.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            alarm(60);  // never outlives a forgotten test
            for (;;) {
                const int conn = accept(fd, nullptr, nullptr);
                if (conn < 0) continue;
                const linger reset{1, 0};
                setsockopt(conn, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                close(conn);
            }
        }
        close(fd);
    }
    ~ResettingTcpServer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    std::string port_text() const { return std::to_string(port_); }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

TEST_F(ClientE2E, TcpRunEndsWithOneAfterFiveExceptions) {
    ResettingTcpServer server;
    ASSERT_TRUE(server.started());
    const RunResult r = run_vantrip(
        {"CLIENT", "TCP", "V4", "127.0.0.1", server.port_text(), "16", "3", "100", log_path()},
        20000ms);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, " : CLIENT_TCP : Exception caught. Repeating this loop.. : "), 5)
        << log;
    EXPECT_EQ(count_of(log, " : CLIENT_TCP:CONNECTED :  : "), 5);
    // The same message is repeated every time.
    EXPECT_EQ(count_of(log, "with 16 bytes of data (Package Nr. 0) ..."), 5);
    EXPECT_NE(
        log.find(" : CLIENT_TCP : Client::connect : Exception caught for 5 times. Exiting now "),
        std::string::npos);
    EXPECT_EQ(log.find("Ping statistics"), std::string::npos);
}

using testsupport::system_tool;

// A network namespace of the test's own whose loopback ignores echo
// requests; removed by the destructor whatever happened.
class SilentNamespace {
  public:
    SilentNamespace() : name_("vc_icmp_" + std::to_string(getpid())), ip_(system_tool("ip")) {
        if (ip_.empty()) return;
        if (testsupport::run({ip_, "netns", "add", name_}).exit_code != 0) return;
        created_ = true;
        ready_ = testsupport::run({ip_, "-n", name_, "link", "set", "lo", "up"}).exit_code == 0 &&
                 testsupport::run({ip_, "netns", "exec", name_, system_tool("sysctl"), "-qw",
                                   "net.ipv4.icmp_echo_ignore_all=1"})
                         .exit_code == 0;
    }
    ~SilentNamespace() {
        if (created_) testsupport::run({ip_, "netns", "del", name_});
    }
    bool ready() const { return ready_; }
    std::vector<std::string> exec_prefix() const { return {ip_, "netns", "exec", name_}; }

  private:
    std::string name_, ip_;
    bool created_ = false, ready_ = false;
};

TEST_F(ClientE2E, IcmpHostThatNeverAnswersLogsEachTimeoutAndFullLoss) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and a raw socket";
    SilentNamespace ns;
    if (!ns.ready()) GTEST_SKIP() << "could not set up a network namespace";
    std::vector<std::string> argv = ns.exec_prefix();
    for (const char *a : {"CLIENT", "ICMP", "V4", "127.0.0.1", "1", "32", "2", "500"})
        argv.push_back(a);
    argv.push_back(log_path());
    argv.insert(argv.begin() + 4, kVantrip);
    RunOptions opts;
    opts.timeout = 10000ms;
    const RunResult r = testsupport::run(argv, opts);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, " : PING : pinger::start_send : Pinging 127.0.0.1:0 with 32 bytes"), 2);
    EXPECT_EQ(count_of(log,
                       " : PING : pinger::handle_timeout : No answer received during 500 ms. "
                       "=> Waiting one second before resending...\n"),
              1)
        << log;
    EXPECT_EQ(
        count_of(log, " : PING : pinger::handle_timeout : No answer received during 500 ms.\n"), 1);
    EXPECT_NE(log.find("\tPackets: Sent = 2, Received = 0, Lost = 2 (100% loss),"),
              std::string::npos);
    EXPECT_EQ(log.find("Approximate round trip"), std::string::npos);
    EXPECT_EQ(log.find("pinger::handle_receive"), std::string::npos);
}

// Runs the program as user nobody (no right to raw sockets); the output goes
// to files opened before the switch.
RunResult run_as_nobody(const std::vector<std::string> &argv, const TempDir &dir,
                        std::chrono::milliseconds limit) {
    RunResult result;
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) return result;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const std::string out_path = dir.file("nobody.out"), err_path = dir.file("nobody.err");
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(125);
        execv(args[0], args.data());
        _exit(126);
    }
    close(out);
    close(err);
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = testsupport::read_file(out_path);
    result.err = testsupport::read_file(err_path);
    return result;
}

TEST_F(ClientE2E, IcmpEchoAgainstLoopbackLogsNoLoss) {
    if (geteuid() != 0) GTEST_SKIP() << "ICMP echo needs a raw socket: run as root";
    const RunResult r = run_vantrip(
        {"CLIENT", "ICMP", "V4", "127.0.0.1", "1", "32", "2", "1000", log_path()}, 15000ms);
    ASSERT_FALSE(r.timed_out);
    if (r.out.find("Operation not permitted") != std::string::npos)
        GTEST_SKIP() << "root here has no right to raw sockets";
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string log = log_text();
    EXPECT_EQ(count_of(log,
                       " : PING : pinger::start_send : Pinging 127.0.0.1:0 with 32 bytes of "
                       "data (Message ID: "),
              2);
    EXPECT_EQ(count_of(log,
                       " : PING : pinger::handle_receive : Received 40 bytes from "
                       "127.0.0.1: Message ID: "),
              2)
        << log;
    EXPECT_NE(log.find(" : PING : pinger::close : Ping statistics for 127.0.0.1:0 via ICMP with "
                       "IPv4:\n\tPackets: Sent = 2, Received = 2, Lost = 0 (0% loss),"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" : PING : pinger::close : Approximate round trip times in milli-seconds: "
                       "\n\tMinimum = "),
              std::string::npos);
}

TEST_F(ClientE2E, IcmpWithoutTheRightToRawSocketsSaysSoAndEndsWithOne) {
    if (geteuid() != 0) GTEST_SKIP() << "switching to user nobody needs root";
    const RunResult r = run_as_nobody(
        {kVantrip, "CLIENT", "ICMP", "V4", "127.0.0.1", "1", "32", "2", "1000"}, dir_, 10000ms);
    if (r.exit_code == 125 || r.exit_code == 126)
        GTEST_SKIP() << "could not run the program as user nobody";
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "ERROR: Operation not permitted\nSystem does not support IPV4\n");
}

TEST_F(ClientE2E, IcmpWithV4AndAnIpv6AddressIsRefusedOnTheConsole) {
    if (geteuid() != 0) GTEST_SKIP() << "ICMP needs a raw socket: run as root";
    const RunResult r =
        run_vantrip({"CLIENT", "ICMP", "V4", "::1", "1", "32", "1", "100", log_path()}, 10000ms);
    if (r.out.find("Operation not permitted") != std::string::npos)
        GTEST_SKIP() << "root here has no right to raw sockets";
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "When using V4 option, please provide V4 type address for server\n");
}

}  // namespace
