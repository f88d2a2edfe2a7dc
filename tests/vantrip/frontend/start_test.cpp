// The command line: help words, forms, every argument check with its exact
// message, channel, usage text and exit code, and the log-file rule.
#include "vantrip/frontend/start.h"

#include <gtest/gtest.h>

#include <climits>

#include "tests/vantrip/frontend/frontend_support.h"
#include "tests/vantrip/frontend/usage_text.h"
#include "vantrip/frontend/settings.h"

namespace vantrip_test {
namespace {

const std::string kUsage = expected_usage();
const std::string kOn = entry("Start", "Logging will be on.");

std::string warning(const std::string &argument) {
    return "Warning: Logging option requires filename, You have entered '" + argument +
           "'. Logging will be off for now.\n";
}

TEST(Usage, TextIsExact) {
    EXPECT_EQ(usage_text(), kUsage);
    testing::internal::CaptureStdout();
    show_usage();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
}

TEST(Usage, TextShape) {
    // Independent checks on the parts easiest to mistype.
    const std::string text = usage_text();
    EXPECT_EQ(text.compare(0, 91, std::string(90, '-') + "\n"), 0);
    EXPECT_NE(text.find("\n-Log_file\tC:\\Logs.log\tOnly"), std::string::npos);
    EXPECT_EQ(text.find("ICMP"), std::string::npos);
    EXPECT_EQ(text.find("downlink"), std::string::npos);
    int lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 36 + 3);  // 36 lines, three of which carry an inner line break
}

TEST(Usage, BuildLine) {
    struct Case {
        std::string id, line;
    } cases[] = {{" _", "Build: local_build"},
                 {"2.4.1 _", " Build: 2.4.1"},
                 {"abc", " Build: a"},
                 {"ab", " Build: ab"},
                 {"", " Build: "},
                 {"_", " Build: _"}};
    for (const Case &c : cases) EXPECT_EQ(build_line(c.id), c.line) << c.id;
}

// One command line through the whole program: exit code, console, log.
struct CommandCase {
    const char *title;
    std::vector<std::string> words;
    int exit_code;
    std::string console;
    std::string log;  // normalised; "<no file>" when nothing was written
};

void PrintTo(const CommandCase &c, std::ostream *os) {
    *os << c.title;
}

class Commands : public FrontEnd, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(Commands, ExitConsoleAndLog) {
    const CommandCase &c = GetParam();
    const Argv args(c.words, dir_);
    testing::internal::CaptureStdout();
    const int code = vantrip_main(args.argc(), args.argv());
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, c.exit_code);
    EXPECT_EQ(console, c.console);
    EXPECT_EQ(normalised_log(log_path()), c.log);
}

const std::string kNone = "<no file>";

std::vector<std::string> client(const std::string &protocol, const std::string &version,
                                const std::string &ip, const std::string &port,
                                const std::string &size, const std::string &count,
                                const std::string &delay) {
    return {"CLIENT", protocol, version, ip, port, size, count, delay, "{log}"};
}

const CommandCase kCommandCases[] = {
    // Help words and too few arguments.
    {"no_arguments", {}, 1, kUsage, kNone},
    {"one_argument", {"CLIENT"}, 1, kUsage, kNone},
    {"help", {"help"}, 1, kUsage, kNone},
    {"question_mark", {"?", "x"}, 1, kUsage, kNone},
    {"double_dash_help", {"--help", "x", "{log}"}, 1, kUsage, kNone},
    {"dash_help", {"-help", "x"}, 1, kUsage, kNone},
    {"stun_alone", {"STUN"}, 1, kUsage, kNone},
    // HELP is not a help word: it reaches the mode check, whose message goes
    // to a log that is not on.
    {"upper_case_help", {"HELP", "x"}, 1, kUsage, kNone},
    {"unknown_mode_with_log_name", {"FOO", "x", "{log}"}, 1, kUsage, kNone},
    {"stun_unknown_mode", {"STUN", "PROBE", "1", "{log}"}, 1, kUsage, kNone},
    // Wrong argument count for a recognised form: usage only.
    {"client_8", {"CLIENT", "UDP", "V4", "127.0.0.1", "5000", "10", "1"}, 1, kUsage, kNone},
    {"client_12",
     {"CLIENT", "UDP", "V4", "127.0.0.1", "5000", "10", "1", "1", "{log}", "a", "b"},
     1,
     kUsage,
     kNone},
    {"server_5", {"SERVER", "5000", "{log}", "x"}, 1, kUsage, kNone},
    {"stop_3", {"STOP", "127.0.0.1"}, 1, kUsage, kNone},
    {"stop_6", {"STOP", "127.0.0.1", "5000", "{log}", "x"}, 1, kUsage, kNone},
    {"stun_server_3", {"STUN", "SERVER"}, 1, kUsage, kNone},
    {"stun_server_6", {"STUN", "SERVER", "5000", "{log}", "x"}, 1, kUsage, kNone},
    {"stun_client_6", {"STUN", "CLIENT", "UDP", "V4", "127.0.0.1"}, 1, kUsage, kNone},
    // Port checks.
    {"server_port_text",
     {"SERVER", "abc", "{log}"},
     1,
     kUsage,
     kOn + entry("isnumeric", "ERROR: Please enter the numeric value for server_port\n")},
    {"server_port_0",
     {"SERVER", "0", "{log}"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"server_port_65536",
     {"server", "65536", "{log}"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"server_port_huge",
     {"SERVER", "99999999999999999999", "{log}"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"server_port_negative",
     {"SERVER", "-1", "{log}"},
     1,
     kUsage,
     kOn + entry("isnumeric", "ERROR: Please enter the numeric value for server_port\n")},
    {"stun_server_port",
     {"stun", "Server", "70000", "{log}"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"stop_port_text",
     {"STOP", "127.0.0.1", "x", "{log}"},
     1,
     kUsage,
     kOn + entry("isnumeric", "ERROR: Please enter the numeric value for server\n")},
    {"stop_port_0",
     {"stop", "127.0.0.1", "0", "{log}"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server\n")},
    // After STUN the STOP positions do not shift: the address is read as the port.
    {"stun_stop_positions",
     {"STUN", "STOP", "127.0.0.1", "5000"},
     1,
     warning("5000") + kUsage,
     kNone},
    // The log-file rule.
    {"server_log_warning",
     {"SERVER", "0", "results.csv"},
     1,
     warning("results.csv") + kUsage,
     kNone},
    {"server_empty_log_argument", {"SERVER", "0", ""}, 1, warning("") + kUsage, kNone},
    // CLIENT checks, in their order.
    {"client_localhost", client("UDP", "V4", "LocalHost", "5000", "10", "1", "100"), 1, kUsage,
     kOn + entry("Start", "Do not use localhost, but its IP adress. Exiting...")},
    {"client_localhost_before_protocol", client("SCTP", "V9", "localhost", "0", "a", "b", "c"), 1,
     kUsage, kOn + entry("Start", "Do not use localhost, but its IP adress. Exiting...")},
    {"client_protocol", client("SCTP", "V4", "127.0.0.1", "5000", "10", "1", "100"), 1, kUsage,
     kOn + entry("Start", "ERROR: Please enter correct protocol type: TCP/UDP/ICMP")},
    {"client_ip_version", client("udp", "V5", "127.0.0.1", "5000", "10", "1", "100"), 1, kUsage,
     kOn + entry("Start", "ERROR: Please enter correct ip version: V4/V6")},
    {"client_port_70000", client("UDP", "V4", "127.0.0.1", "70000", "10", "1", "100"), 1, kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"client_port_0", client("TCP", "v6", "::1", "0", "10", "1", "100"), 1, kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"client_packet_size_4097", client("UDP", "V4", "127.0.0.1", "5000", "4097", "1", "100"), 1, "",
     kOn + entry("Start",
                 "ERROR: PacketSize is greater than allowed length 4096. Please correct it")},
    {"client_packet_size_huge", client("UDP", "V4", "127.0.0.1", "5000", "4294967296", "1", "100"),
     1, "",
     kOn + entry("Start",
                 "ERROR: PacketSize is greater than allowed length 4096. Please correct it")},
    {"client_packet_size_negative", client("UDP", "V4", "127.0.0.1", "5000", "-5", "1", "100"), 1,
     kUsage, kOn + entry("isnumeric", "ERROR: Please enter the numeric value for packetSize\n")},
    {"client_packet_size_plus", client("UDP", "V4", "127.0.0.1", "5000", "+5", "1", "100"), 1,
     kUsage, kOn + entry("isnumeric", "ERROR: Please enter the numeric value for packetSize\n")},
    {"client_packet_size_space", client("UDP", "V4", "127.0.0.1", "5000", "5 ", "1", "100"), 1,
     kUsage, kOn + entry("isnumeric", "ERROR: Please enter the numeric value for packetSize\n")},
    {"client_packet_size_empty", client("UDP", "V4", "127.0.0.1", "5000", "", "1", "100"), 1,
     kUsage, kOn + entry("isnumeric", "ERROR: Please enter the numeric value for packetSize\n")},
    {"client_count_text", client("UDP", "V4", "127.0.0.1", "5000", "0", "ten", "100"), 1, kUsage,
     kOn + entry("isnumeric", "ERROR: Please enter the numeric value for numberOfPackets\n")},
    {"client_count_capped_then_delay",
     client("UDP", "V4", "127.0.0.1", "5000", "4096", "2000000", "1.5"), 1,
     "NumberOfPackets value is set to 1000001\n" + kUsage,
     kOn + entry("isnumeric", "ERROR: Please enter the numeric value for delay_in_ms\n")},
    {"client_count_1000000_then_delay",
     client("UDP", "V4", "127.0.0.1", "5000", "4096", "1000000", "x"), 1, kUsage,
     kOn + entry("isnumeric", "ERROR: Please enter the numeric value for delay_in_ms\n")},
    // Downlink and log-file positions of the CLIENT form.
    {"client_downlink_no_log",
     {"CLIENT", "UDP", "V4", "127.0.0.1", "0", "10", "1", "100", "DownLink"},
     1,
     kUsage,
     kNone},
    {"client_downlink_log",
     {"CLIENT", "UDP", "V4", "127.0.0.1", "0", "10", "1", "100", "downlink", "{log}"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"client_eleventh_ignored",
     {"CLIENT", "UDP", "V4", "127.0.0.1", "0", "10", "1", "100", "{log}", "other.log"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
    {"client_log_warning",
     {"CLIENT", "UDP", "V4", "127.0.0.1", "0", "10", "1", "100", "results.csv"},
     1,
     warning("results.csv") + kUsage,
     kNone},
    {"client_empty_log_is_none",
     {"CLIENT", "UDP", "V4", "127.0.0.1", "0", "10", "1", "100", ""},
     1,
     kUsage,
     kNone},
    {"stun_client_empty_log_warns",
     {"STUN", "CLIENT", "TCP", "V4", "127.0.0.1", "0", ""},
     1,
     warning("") + kUsage,
     kNone},
    {"stun_client_port",
     {"STUN", "CLIENT", "TCP", "V4", "127.0.0.1", "65536", "{log}"},
     1,
     kUsage,
     kOn + entry("checkport", "ERROR: Please enter the value in range for server_port\n")},
};

INSTANTIATE_TEST_SUITE_P(FailureTable, Commands, ::testing::ValuesIn(kCommandCases),
                         [](const ::testing::TestParamInfo<CommandCase> &param_info) {
                             return std::string(param_info.param.title);
                         });

TEST_F(FrontEnd, LogFileRuleLooksForExtensionAnywhereIgnoringCase) {
    struct Case {
        std::string name;
        bool on;
    } cases[] = {{"results.TXT.old", true}, {"a.Log", true},    {"x.txt", true},
                 {"results.csv", false},    {"log.csv", false}, {"dotlog", false}};
    for (const Case &c : cases) {
        reset_settings();
        const std::string path = dir_.file(c.name);
        const Argv args({"SERVER", "0", path}, dir_);
        testing::internal::CaptureStdout();
        EXPECT_EQ(vantrip_main(args.argc(), args.argv()), 1);
        const std::string console = testing::internal::GetCapturedStdout();
        EXPECT_EQ(logging_enabled, c.on) << c.name;
        if (c.on) {
            EXPECT_EQ(log_file_path, path);
            EXPECT_EQ(console, kUsage);
            EXPECT_EQ(normalised_log(path),
                      kOn + entry("checkport",
                                  "ERROR: Please enter the value in range for server_port\n"));
        } else {
            EXPECT_EQ(console, warning(path) + kUsage);
            EXPECT_FALSE(testsupport::file_exists(path));
        }
    }
}

TEST_F(FrontEnd, DownlinkWordSetsTheMode) {
    struct Case {
        std::vector<std::string> tail;
        bool downlink;
        bool logging;
    } cases[] = {
        {{"DownLink"}, true, false},
        {{"downlink", "{log}"}, true, true},
        {{"{log}", "downlink"}, false, true},
        {{"{log}"}, false, true},
        {{}, false, false},
    };
    for (const Case &c : cases) {
        reset_settings();
        std::vector<std::string> words = {"CLIENT", "TCP", "V4", "127.0.0.1",
                                          "5000",   "10",  "2",  "100"};
        words.insert(words.end(), c.tail.begin(), c.tail.end());
        const Argv args(words, dir_);
        ClientParameters params;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(parse_client_arguments(args.argv(), args.argc(), false, &params));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(downlink_mode, c.downlink) << words.size();
        EXPECT_EQ(params.downlink, c.downlink) << words.size();
        EXPECT_EQ(logging_enabled, c.logging) << words.size();
    }
}

// Accepted CLIENT and STUN CLIENT command lines and what reaches Client::connect.
TEST_F(FrontEnd, ClientParametersPassedOn) {
    struct Case {
        std::vector<std::string> words;
        bool stun;
        ClientParameters want;
        std::string console;
    } cases[] = {
        {{"CLIENT", "tcp", "v6", "::1", "65535", "4096", "1000000", "0"},
         false,
         {1000000, 0, "TCP", "V6", "::1", 65535, 4096, false},
         ""},
        {{"client", "Icmp", "V4", "127.0.0.1", "1", "0", "1", "100"},
         false,
         {1, 100, "ICMP", "V4", "127.0.0.1", 1, 0, false},
         ""},
        {{"CLIENT", "UDP", "V4", "127.0.0.1", "5000", "64", "1000001", "99999999999"},
         false,
         {1000001, INT_MAX, "UDP", "V4", "127.0.0.1", 5000, 64, false},
         "NumberOfPackets value is set to 1000001\n"},
        {{"CLIENT", "UDP", "V4", "127.0.0.1", "5000", "64", "99999999999999", "10"},
         false,
         {1000001, 10, "UDP", "V4", "127.0.0.1", 5000, 64, false},
         "NumberOfPackets value is set to 1000001\n"},
        {{"CLIENT", "UDP", "V4", "127.0.0.1", "5000", "00064", "0", "10", "DOWNLINK"},
         false,
         {0, 10, "UDP", "V4", "127.0.0.1", 5000, 64, true},
         ""},
        // Lower-case STUN CLIENT: no numbers, words upper-cased.
        {{"stun", "client", "udp", "v4", "10.0.0.1", "5000"},
         true,
         {0, 0, "UDP", "V4", "10.0.0.1", 5000, 0, false},
         ""},
        {{"STUN", "CLIENT", "TCP", "V6", "fd00::1", "5000", "{log}"},
         true,
         {0, 0, "TCP", "V6", "fd00::1", 5000, 0, false},
         ""},
    };
    for (const Case &c : cases) {
        reset_settings();
        const Argv args(c.words, dir_);
        ClientParameters got;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(parse_client_arguments(args.argv(), args.argc(), c.stun, &got)) << c.words[3];
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.console);
        EXPECT_EQ(got.number_of_packets, c.want.number_of_packets);
        EXPECT_EQ(got.delay_ms, c.want.delay_ms);
        EXPECT_EQ(got.protocol, c.want.protocol);
        EXPECT_EQ(got.ip_version, c.want.ip_version);
        EXPECT_EQ(got.server_ip, c.want.server_ip);
        EXPECT_EQ(got.server_port, c.want.server_port);
        EXPECT_EQ(got.packet_size, c.want.packet_size);
        EXPECT_EQ(got.downlink, c.want.downlink);
    }
}

TEST_F(FrontEnd, ServerAndStopArguments) {
    uint16_t port = 0;
    {
        const Argv args({"SERVER", "65535"}, dir_);
        EXPECT_TRUE(parse_server_arguments(args.argv(), args.argc(), false, &port));
        EXPECT_EQ(port, 65535);
        EXPECT_FALSE(logging_enabled);
    }
    {
        const Argv args({"STUN", "SERVER", "1", "{log}"}, dir_);
        EXPECT_TRUE(parse_server_arguments(args.argv(), args.argc(), true, &port));
        EXPECT_EQ(port, 1);
        EXPECT_TRUE(logging_enabled);
        EXPECT_EQ(log_file_path, log_path());
    }
    reset_settings();
    {
        std::string ip;
        const Argv args({"STOP", "::1", "5000", "{dir}/stop.log"}, dir_);
        EXPECT_TRUE(parse_stop_arguments(args.argv(), args.argc(), &ip, &port));
        EXPECT_EQ(ip, "::1");
        EXPECT_EQ(port, 5000);
        EXPECT_EQ(normalised_log(dir_.file("stop.log")), kOn);
    }
}

TEST(Numbers, IsNumeric) {
    struct Case {
        std::string text;
        bool ok;
    } cases[] = {{"0", true},   {"4096", true}, {"0007", true},  {"99999999999999999999", true},
                 {"", false},   {"-5", false},  {"+5", false},   {"5 ", false},
                 {" 5", false}, {"5a", false},  {"0x10", false}, {"\xd9\xa3", false}};
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(isnumeric("n", c.text), c.ok) << c.text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.ok ? "" : kUsage) << c.text;
    }
}

TEST(Numbers, CheckPortAndSaturation) {
    struct Case {
        std::string text;
        uint16_t port;
    } cases[] = {{"1", 1},     {"65535", 65535},  {"05000", 5000}, {"0", 0},
                 {"65536", 0}, {"4294967297", 0}, {"x", 0},        {"", 0}};
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(checkport("server_port", c.text), c.port) << c.text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.port ? "" : kUsage) << c.text;
    }
    EXPECT_EQ(decimal_value("0"), 0);
    EXPECT_EQ(decimal_value("2147483647"), INT_MAX);
    EXPECT_EQ(decimal_value("2147483648"), INT_MAX);
    EXPECT_EQ(decimal_value(std::string(400, '9')), INT_MAX);
}

}  // namespace
}  // namespace vantrip_test
