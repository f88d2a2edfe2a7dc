// Every option that takes a value, fed texts a user might mistype or a script
// might produce: the program must end with one of its own statuses (usage 0,
// option error 1, role not built 2), never a signal, a hang or a sanitizer report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

const std::vector<std::string> kValues = {
    "",
    "-1",
    "0",
    "99999999999999999999999",
    "1e400",
    "nan",
    "-inf",
    "-9G",
    "0p",
    "1,",
    ",,,,,",
    ":",
    "0:0,",
    "%",
    "[",
    "1-",
    "-1-70000",
    "1.5.5",
    " 7",
    std::string(4000, '9'),
    std::string(300, 'k'),
};

// Options whose value is not a host name (those would reach the resolver).
const char *const kOptions[] = {"-b",
                                "-f",
                                "-i",
                                "-l",
                                "-n",
                                "-p",
                                "-t",
                                "-w",
                                "-x",
                                "-y",
                                "-F",
                                "-L",
                                "-M",
                                "-P",
                                "-S",
                                "-T",
                                "-Z",
                                "--bounceback",
                                "--bounceback-congest",
                                "--histograms",
                                "--connect-only",
                                "--isochronous",
                                "--local-only",
                                "--near-congestion",
                                "--permit-key",
                                "--tap-dev",
                                "--bounceback-txdelay",
                                "--bounceback-hold",
                                "--bounceback-period",
                                "--txstart-time",
                                "--txdelay-time",
                                "--fq-rate",
                                "--connect-retries",
                                "--ipg",
                                "--permit-key-timeout",
                                "--burst-size",
                                "--burst-period",
                                "--tos-override",
                                "--tcp-rx-window-clamp",
                                "--tcp-write-prefetch",
                                "--NUM_REPORT_STRUCTS"};

class HostileValues : public testing::TestWithParam<const char *> {};

TEST_P(HostileValues, EndWithAnOwnStatus) {
    const std::string option = GetParam();
    const bool long_option = option.rfind("--", 0) == 0;
    // Each mode ends by itself within a moment once the options are taken: a
    // client towards a port nobody serves. (A server would wait for tests; its
    // option checks are covered by the table of command lines.)
    const std::vector<std::vector<std::string>> modes = {
        {"-c", "127.0.0.1", "-p", "1", "-t", "0.1", "--no-udp-fin", "-u"},
        {"-c", "127.0.0.1", "-p", "1", "-t", "0.1"}};
    for (const auto &mode : modes) {
        for (const std::string &value : kValues) {
            std::vector<std::string> argv = {TORIL_BIN};
            argv.insert(argv.end(), mode.begin(), mode.end());
            // "=" reaches optional arguments too; required ones take it the same way.
            if (long_option) {
                argv.push_back(option + "=" + value);
            } else {
                argv.push_back(option);
                argv.push_back(value);
            }
            testsupport::RunOptions opts;
            opts.timeout = std::chrono::milliseconds(1000);
            const testsupport::RunResult r = testsupport::run(argv, opts);
            const std::string where = mode.front() + " " + option + " '" + value.substr(0, 20) + "'";
            // A value may ask for a long test (-t 1e9): still running is fine, a crash is not.
            if (!r.timed_out) {
                EXPECT_TRUE(r.exit_code >= 0 && r.exit_code <= 2)
                    << where << " status " << r.exit_code << r.err;
            }
            EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << where << r.err;
            EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << where << r.err;
        }
    }
}

std::string option_name(const testing::TestParamInfo<const char *> &info) {
    std::string name;
    for (const char *p = info.param; *p; ++p) {
        if (isalnum(static_cast<unsigned char>(*p))) name += *p;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Options, HostileValues, testing::ValuesIn(kOptions), option_name);

}  // namespace
