// The Windows program (vantrip.exe from scripts/build-windows) run under Wine
// against the Linux program on loopback, both ways round. Wine differs from
// Windows in its error texts and in some socket errors (a datagram to a closed
// port times out instead of failing), so these tests compare what happens,
// not how a failure is worded.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/vantrip/client/text_match.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Background;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TempDir;
using vantrip_client_test::matches;

const std::string kLinux = VANTRIP_BIN;
const std::string kWindowsExe = VANTRIP_WINDOWS_EXE;
const std::string kWinePrefix = VANTRIP_WINE_PREFIX;

// The first executable named name on PATH, or empty.
std::string find_on_path(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Console output of the Windows program ends its lines with CR LF.
std::string without_cr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

class WindowsCross : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        wine_ = find_on_path("wine");
        if (!std::filesystem::exists(kWindowsExe))
            skip_ = kWindowsExe + " is not built (scripts/build-windows builds it)";
        else if (wine_.empty())
            skip_ = "wine is not installed (scripts/deps-windows installs it)";
        else if (!std::filesystem::exists(kWinePrefix + "/system.reg"))
            skip_ = "the Wine prefix " + kWinePrefix +
                    " is not prepared (scripts/build-windows prepares it)";
        else {
            const RunResult help = run_windows({"help"});
            if (help.exit_code != 1 || without_cr(help.out).find("USAGE :") == std::string::npos)
                skip_ = "wine cannot run " + kWindowsExe + " here: " + help.err;
        }
    }

    // Wine's server ends a few seconds after its last program; wait for it
    // (bounded) so that no Wine process outlives the test.
    static void TearDownTestSuite() {
        if (!skip_.empty()) return;
        RunOptions opts = wine_options();
        opts.timeout = 20s;
        testsupport::run({find_on_path("wineserver"), "-w"}, opts);
    }

    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
    }

    static RunOptions wine_options(const std::string &cwd = "") {
        RunOptions opts;
        opts.timeout = 60s;
        opts.cwd = cwd;
        opts.env = {"WINEPREFIX=" + kWinePrefix, "WINEDEBUG=-all",
                    "WINEDLLOVERRIDES=mscoree,mshtml="};
        opts.unset_env = {"DISPLAY", "WAYLAND_DISPLAY"};
        return opts;
    }

    static std::vector<std::string> windows_argv(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {wine_, kWindowsExe};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // Paths handed to the Windows program are relative to cwd: Wine maps the
    // working directory, while an absolute Linux path would mean drive C:.
    static RunResult run_windows(const std::vector<std::string> &args,
                                 const std::string &cwd = "") {
        return testsupport::run(windows_argv(args), wine_options(cwd));
    }

    static RunResult run_linux(const std::vector<std::string> &args, const TempDir &dir) {
        std::vector<std::string> argv = {kLinux};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions opts;
        opts.timeout = 30s;
        opts.cwd = dir.path();
        opts.env = {"XDG_STATE_HOME=" + dir.file("state")};
        return testsupport::run(argv, opts);
    }

    static std::string wine_;
    static std::string skip_;
};

std::string WindowsCross::wine_;
std::string WindowsCross::skip_;

// The per-message lines of a UDP client run: TimeMs varies, the rest is fixed.
void expect_udp_lines(const std::string &out, const std::string &ip, const std::string &version,
                      uint16_t port, int count, bool two_way) {
    const std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(count)) << out;
    const int first_id = two_way ? 1000 : 100;
    for (int i = 0; i < count; ++i) {
        const std::string pattern =
            "Counter=" + std::to_string(i + 1) + " PacketId=" + std::to_string(first_id + i) +
            " TwoWay=" + (two_way ? "true" : "false") + " PayloadBytes=64 IpVersion=" + version +
            " Ip=" + ip + " Port=" + std::to_string(port) + " TimeMs=# Status=OK";
        EXPECT_TRUE(matches(lines[i], pattern)) << lines[i] << "\n  vs " << pattern;
    }
}

// The client runs every peer combination takes: UDP over both IP versions,
// a two-way round, TCP with its log summary.
struct ClientRun {
    std::vector<std::string> args;  // after "CLIENT"; the port goes after the address
    std::string ip, version;
    int count;
    bool two_way;
    bool tcp;
};

const ClientRun kClientRuns[] = {
    {{"UDP", "V4", "127.0.0.1"}, "127.0.0.1", "V4", 2, false, false},
    {{"UDP", "V6", "::1"}, "::1", "V6", 1, false, false},
    {{"UDP", "V4", "127.0.0.1"}, "127.0.0.1", "V4", 2, true, false},
    {{"TCP", "V4", "127.0.0.1"}, "127.0.0.1", "V4", 2, false, true},
};

std::vector<std::string> client_args(const ClientRun &c, uint16_t port, const std::string &log) {
    std::vector<std::string> args = {"CLIENT"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {std::to_string(port), "64", std::to_string(c.count), "2000"});
    if (c.two_way) args.push_back("downlink");
    args.push_back(log);
    return args;
}

void expect_client_run(const RunResult &r, const ClientRun &c, uint16_t port,
                       const std::string &log_text) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string protocol = c.tcp ? "TCP" : "UDP";
    if (c.tcp) {
        EXPECT_EQ(without_cr(r.out), "");
        EXPECT_EQ(count_of(log_text, " : CLIENT_TCP : MESSAGE RECEIVED :  : "), c.count)
            << log_text;
    } else {
        expect_udp_lines(without_cr(r.out), c.ip, c.version, port, c.count, c.two_way);
    }
    const std::string sent = std::to_string(c.count);
    EXPECT_NE(
        log_text.find("Packets: Sent = " + sent + ", Received = " + sent + ", Lost = 0 (0% loss),"),
        std::string::npos)
        << protocol << "\n"
        << log_text;
}

TEST_F(WindowsCross, WindowsClientAgainstLinuxServer) {
    TempDir dir;
    const uint16_t port = testsupport::free_port();
    Background server;
    RunOptions opts;
    opts.cwd = dir.path();
    opts.env = {"XDG_STATE_HOME=" + dir.file("state")};
    ASSERT_TRUE(server.start({kLinux, "SERVER", std::to_string(port)}, opts));
    ASSERT_TRUE(server.wait_for_output("Vantrip server started....\n", 10s));

    int n = 0;
    for (const ClientRun &c : kClientRuns) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + (c.two_way ? " downlink" : ""));
        const std::string log = "client" + std::to_string(n++) + ".log";
        const RunResult r = run_windows(client_args(c, port, log), dir.path());
        expect_client_run(r, c, port, testsupport::read_file(dir.file(log)));
    }

    // The stop request of the Windows program ends the Linux server.
    const RunResult stop = run_windows({"STOP", "127.0.0.1", std::to_string(port)}, dir.path());
    EXPECT_EQ(stop.exit_code, 0);
    EXPECT_EQ(without_cr(stop.out), "");
    ASSERT_TRUE(server.wait(10s)) << "the Linux server did not stop";
    EXPECT_EQ(server.result().exit_code, 0);
    // The server saw every UDP message; the two-way round reports its own
    // measurements too.
    const std::string server_out = server.result().out;
    EXPECT_EQ(count_of(server_out, "TwoWay=false"), 3) << server_out;
    EXPECT_EQ(count_of(server_out, "TwoWay=true"), 2) << server_out;
}

TEST_F(WindowsCross, LinuxClientAgainstWindowsServer) {
    TempDir dir;
    const uint16_t port = testsupport::free_port();
    Background server;
    ASSERT_TRUE(server.start(windows_argv({"SERVER", std::to_string(port), "server.log"}),
                             wine_options(dir.path())));
    ASSERT_TRUE(server.wait_for_output("Vantrip server started....\r\n", 60s)) << server.err();

    int n = 0;
    for (const ClientRun &c : kClientRuns) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + (c.two_way ? " downlink" : ""));
        const std::string log = "client" + std::to_string(n++) + ".log";
        const RunResult r = run_linux(client_args(c, port, log), dir);
        expect_client_run(r, c, port, testsupport::read_file(dir.file(log)));
    }

    const RunResult stop = run_linux({"STOP", "127.0.0.1", std::to_string(port)}, dir);
    EXPECT_EQ(stop.exit_code, 0);
    ASSERT_TRUE(server.wait(30s)) << "the Windows server did not stop";
    EXPECT_EQ(server.result().exit_code, 0);
    const std::string server_out = without_cr(server.result().out);
    EXPECT_EQ(count_of(server_out, "TwoWay=false"), 3) << server_out;
    EXPECT_EQ(count_of(server_out, "TwoWay=true"), 2) << server_out;
    // The Windows server's log file is where the user asked for it.
    const std::string log = testsupport::read_file(dir.file("server.log"));
    EXPECT_NE(log.find(" : VANTRIP : Start : Logging will be on."), std::string::npos) << log;
}

// A STUN CLIENT run keeps its answer in the fixed Windows folder, which Wine
// places inside its prefix.
TEST_F(WindowsCross, StunClientResultUnderProgramData) {
    TempDir dir;
    const uint16_t port = testsupport::free_port();
    Background server;
    RunOptions opts;
    opts.cwd = dir.path();
    opts.env = {"XDG_STATE_HOME=" + dir.file("state")};
    ASSERT_TRUE(server.start({kLinux, "STUN", "SERVER", std::to_string(port)}, opts));
    ASSERT_TRUE(server.wait_for_output("Vantrip server started....\n", 10s));

    const std::string result_dir = kWinePrefix + "/drive_c/ProgramData/Kestrelon/Lumo_App";
    const std::string result_file = result_dir + "/stunResult.log";
    // An earlier answer is replaced, not appended to.
    std::filesystem::create_directories(result_dir);
    std::ofstream(result_file) << "stale\n";

    const RunResult r =
        run_windows({"STUN", "CLIENT", "TCP", "V4", "127.0.0.1", std::to_string(port)}, dir.path());
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;

    ASSERT_TRUE(testsupport::file_exists(result_file));
    const std::string stored = testsupport::read_file(result_file);
    const std::vector<std::string> lines = lines_of(stored);
    ASSERT_GE(lines.size(), 5u) << stored;
    EXPECT_EQ(lines.front(), "Server_id: server1234");
    EXPECT_EQ(lines[1], "S_VERSION: SV_1_0");
    EXPECT_EQ(lines[lines.size() - 2], "Client Public IP: 127.0.0.1");
    EXPECT_TRUE(matches(lines.back(), "Client Public Port: #")) << lines.back();
    EXPECT_EQ(stored.find("stale"), std::string::npos);
    EXPECT_EQ(stored.find('\r'), std::string::npos);
    EXPECT_NE(stored.find("Server Port: " + std::to_string(port) + "\n"), std::string::npos);
    // The console shows the same lines.
    EXPECT_EQ(without_cr(r.out), stored);

    ASSERT_EQ(run_linux({"STOP", "127.0.0.1", std::to_string(port)}, dir).exit_code, 0);
    ASSERT_TRUE(server.wait(10s));
    EXPECT_EQ(server.result().exit_code, 0);
}

// Raw ICMP sockets need the privilege they need on Linux.
TEST_F(WindowsCross, IcmpEchoOnLoopback) {
    if (geteuid() != 0) GTEST_SKIP() << "raw ICMP sockets need root";
    TempDir dir;
    const RunResult r = run_windows(
        {"CLIENT", "ICMP", "V4", "127.0.0.1", "1", "32", "2", "2000", "ping.log"}, dir.path());
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string log = testsupport::read_file(dir.file("ping.log"));
    EXPECT_EQ(
        count_of(log, " : PING : pinger::handle_receive : Received 40 bytes from 127.0.0.1: "), 2)
        << log;
    EXPECT_NE(log.find("Packets: Sent = 2, Received = 2, Lost = 0 (0% loss),"), std::string::npos)
        << log;
}

}  // namespace
