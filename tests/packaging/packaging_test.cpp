// The programs as they reach users: the Debian package made by cpack, the
// `cmake --install` tree, the manual pages and the chart script.
//
// The package is built once for the suite into a scratch directory and
// unpacked with dpkg -x; the programs are then run from the unpacked tree.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

using testsupport::file_exists;
using testsupport::read_file;
using testsupport::run;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TempDir;

const std::string kSource = SOURCE_DIR;
const std::string kBuild = BUILD_DIR;

const std::vector<std::string> kPrograms = {"toril", "quarvel", "vantrip"};

std::string built(const std::string &prog) {
    if (prog == "toril") return TORIL_BIN;
    if (prog == "quarvel") return QUARVEL_BIN;
    return VANTRIP_BIN;
}

// The absolute path of a program on PATH, or empty.
std::string find_program(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// The system's python3 (what scripts/plot is written for) rather than a
// version manager's wrapper on PATH, which costs seconds per start.
std::string python3() {
    if (access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
    return find_program("python3");
}

RunResult run_tool(const std::string &name, std::vector<std::string> args,
                   const RunOptions &opts = {}) {
    args.insert(args.begin(), name == "python3" ? python3() : find_program(name));
    return run(args, opts);
}

RunOptions slow(int seconds) {
    RunOptions opts;
    opts.timeout = std::chrono::milliseconds(seconds * 1000);
    return opts;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// Every long option ("--name") and short option ("-x,") that a help text lists.
std::set<std::string> options_in_help(const std::string &help) {
    std::set<std::string> out;
    std::regex option(R"((^|[\s\[|])(--?[A-Za-z0-9][A-Za-z0-9_-]*))");
    for (const std::string &line : lines_of(help)) {
        for (std::sregex_iterator it(line.begin(), line.end(), option), end; it != end; ++it) {
            std::string opt = (*it)[2];
            // Short options stand as "-x," or "-x " at the start of an entry.
            if (opt.size() == 2 || opt.rfind("--", 0) == 0) out.insert(opt);
        }
    }
    return out;
}

// Renders a manual page as `man` shows it on an 80-column terminal.
RunResult render_man(const std::string &page) {
    RunOptions opts = slow(20);
    opts.env = {"MANWIDTH=80"};
    opts.unset_env = {"MAN_KEEP_FORMATTING", "MANPAGER", "PAGER"};
    return run_tool("man", {"--warnings", "-l", page}, opts);
}

// man prints "-" as U+2010 where it hyphenates and U+2212 in some fonts;
// plain ASCII makes option names searchable.
std::string plain(std::string text) {
    // Overstruck bold and underline ("X\bX", "_\bX"), should man keep them.
    text = std::regex_replace(text, std::regex(".\b"), "");
    for (const std::string &dash : {std::string("\u2010"), std::string("\u2212")}) {
        for (size_t at; (at = text.find(dash)) != std::string::npos;)
            text.replace(at, dash.size(), "-");
    }
    // Words broken across lines by hyphenation ("connec-\n       tion").
    text = std::regex_replace(text, std::regex("-\n\\s+"), "-");
    // Phrases filled across lines.
    text = std::regex_replace(text, std::regex("\\s+"), " ");
    return text;
}

// ------------------------------------------------------------ manual pages

TEST(ManPages, RenderWithoutWarningsAndCoverEveryOption) {
    if (find_program("man").empty()) GTEST_SKIP() << "man is not installed (Debian package man-db)";
    struct Case {
        std::string prog;
        std::vector<std::string> help_args;
        std::vector<std::string> words;  // mode words and texts the page must show
    };
    const std::vector<Case> cases = {
        {"toril",
         {"--help"},
         {"toril version 2.1.8 (12 August 2022) pthreads", "CSV OUTPUT", "-4"}},
        {"quarvel",
         {"--help"},
         {"quarvel version 2.0.9 (1 June 2016) pthreads", "NAT", "TORIL_NSERVER"}},
        {"vantrip",
         {},
         {"SERVER", "CLIENT", "STUN SERVER", "STUN CLIENT", "STOP", "downlink", "ICMP", "V4", "V6",
          "stunResult.log", ".log", ".txt"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.prog);
        const std::string page = kSource + "/man/" + c.prog + ".1";
        RunResult man = render_man(page);
        ASSERT_EQ(man.exit_code, 0) << man.err;
        EXPECT_EQ(man.err, "") << "warnings while rendering " << page;
        const std::string text = plain(man.out);
        EXPECT_NE(text.find("EXAMPLES"), std::string::npos);
        EXPECT_NE(text.find("198.18.0.10"), std::string::npos)
            << "examples use documentation addresses";
        for (const std::string &word : c.words) {
            EXPECT_NE(text.find(word), std::string::npos) << "page lacks " << word;
        }
        if (c.help_args.empty()) continue;
        RunResult help = run({built(c.prog), c.help_args[0]});
        std::set<std::string> options = options_in_help(help.out + help.err);
        ASSERT_GT(options.size(), 30u) << help.err;
        for (const std::string &opt : options) {
            // The help spells a few names that the program does not take
            // (--NAT, --fileinput, --stdin, --enhancedreports, --udp-histogram);
            // the page documents the accepted ones.
            if (opt == "--NAT" || opt == "--fileinput" || opt == "--stdin" ||
                opt == "--enhancedreports" || opt == "--udp-histogram")
                continue;
            EXPECT_NE(text.find(opt), std::string::npos) << "page lacks " << opt;
        }
    }
}

// ----------------------------------------------------------- the package

// The package as cpack makes it, unpacked into a scratch root. One test
// builds it once and checks it piece by piece (building takes seconds).
struct Package {
    TempDir dir;
    std::string deb;
    std::string root(const std::string &rel) const { return dir.file("root") + "/" + rel; }
    std::string field(const std::string &name) const {
        return run_tool("dpkg-deb", {"--field", deb, name}).out;
    }
};

void check_contents(const Package &p);
void check_depends(const Package &p);
void check_programs(const Package &p);
void check_pages(const Package &p);

TEST(Package, BuildsUnpacksAndRunsItsPrograms) {
    if (find_program("dpkg-deb").empty() || find_program("cpack").empty())
        GTEST_SKIP() << "dpkg-deb or cpack is not installed (dpkg-dev, cmake): no package test";
    Package p;
    RunResult pack = run_tool(
        "cpack", {"--config", kBuild + "/CPackConfig.cmake", "-B", p.dir.file("out")}, slow(120));
    ASSERT_EQ(pack.exit_code, 0) << pack.out << pack.err;
    std::vector<std::string> debs =
        lines_of(run_tool("sh", {"-c", "ls " + p.dir.file("out") + "/*.deb"}).out);
    ASSERT_EQ(debs.size(), 1u);
    p.deb = debs[0];
    RunResult x = run_tool("dpkg-deb", {"-x", p.deb, p.dir.file("root")});
    ASSERT_EQ(x.exit_code, 0) << x.err;
    {
        SCOPED_TRACE("contents");
        check_contents(p);
    }
    {
        SCOPED_TRACE("dependencies");
        check_depends(p);
    }
    {
        SCOPED_TRACE("installed programs");
        check_programs(p);
    }
    {
        SCOPED_TRACE("installed manual pages");
        check_pages(p);
    }
}

void check_contents(const Package &p) {
    EXPECT_EQ(p.field("Package"), "pathtools\n");
    for (const std::string &prog : kPrograms) {
        SCOPED_TRACE(prog);
        struct stat st {};
        ASSERT_EQ(stat(p.root("usr/bin/" + prog).c_str(), &st), 0);
        EXPECT_TRUE(st.st_mode & S_IXOTH);
        EXPECT_TRUE(file_exists(p.root("usr/share/man/man1/" + prog + ".1.gz")));
    }
    const std::string unit = read_file(p.root("usr/lib/systemd/system/toril-server.service"));
    EXPECT_NE(unit.find("\nExecStart=/usr/bin/toril -s "), std::string::npos) << unit;
    EXPECT_NE(unit.find("\n[Install]\nWantedBy=multi-user.target\n"), std::string::npos);
    // Installing must not start or enable the server: no maintainer scripts,
    // no link into a .wants directory.
    RunResult control = run_tool("dpkg-deb", {"--info", p.deb});
    for (const char *script : {"postinst", "preinst", "prerm", "postrm"}) {
        EXPECT_EQ(control.out.find(script), std::string::npos) << control.out;
    }
    RunResult list = run_tool("dpkg-deb", {"--contents", p.deb});
    EXPECT_EQ(list.out.find(".wants/"), std::string::npos) << list.out;
}

// Every shared library an installed program loads must come from a package
// the .deb depends on, or the programs break on a machine without it.
void check_depends(const Package &p) {
    const std::string depends = p.field("Depends");
    std::set<std::string> named;
    std::regex name(R"((^|,\s*)([a-z0-9][a-z0-9+.-]+))");
    for (std::sregex_iterator it(depends.begin(), depends.end(), name), end; it != end; ++it)
        named.insert((*it)[2]);
    EXPECT_TRUE(named.count("libboost-serialization1.74.0")) << depends;
    EXPECT_TRUE(named.count("libc6")) << depends;
    EXPECT_TRUE(named.count("libstdc++6")) << depends;

    std::regex lib(R"(=> (/\S+) \()");
    for (const std::string &prog : kPrograms) {
        RunResult ldd = run_tool("ldd", {p.root("usr/bin/" + prog)});
        ASSERT_EQ(ldd.exit_code, 0) << ldd.err;
        for (std::sregex_iterator it(ldd.out.begin(), ldd.out.end(), lib), end; it != end; ++it) {
            // dpkg knows the file under its real path (/usr/lib on a merged /usr).
            char *real = realpath(std::string((*it)[1]).c_str(), nullptr);
            ASSERT_NE(real, nullptr);
            RunResult owner = run_tool("dpkg", {"-S", real});
            free(real);
            if (owner.exit_code != 0) continue;  // not from a package: nothing to name
            std::string pkg = owner.out.substr(0, owner.out.find(':'));
            EXPECT_TRUE(named.count(pkg)) << prog << " loads " << (*it)[1] << " from " << pkg
                                          << ", which Depends lacks: " << depends;
        }
    }
}

void check_programs(const Package &p) {
    struct Case {
        std::string prog;
        std::vector<std::string> args;
        int exit_code;
        std::string out, err;
    };
    const std::string rule(90, '-');
    const std::vector<Case> cases = {
        {"toril", {"-v"}, 1, "", "toril version 2.1.8 (12 August 2022) pthreads\n"},
        {"quarvel", {"-v"}, 1, "", "quarvel version 2.0.9 (1 June 2016) pthreads\n"},
        {"toril", {}, 0, "", ""},    // short usage, compared with the built program below
        {"quarvel", {}, 0, "", ""},  // likewise
        {"vantrip", {}, 1, "", ""},  // full usage text, likewise
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {p.root("usr/bin/" + c.prog)};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(argv[0] + (c.args.empty() ? "" : " " + c.args[0]));
        RunResult got = run(argv);
        EXPECT_EQ(got.exit_code, c.exit_code);
        if (!c.err.empty() || !c.args.empty()) {
            EXPECT_EQ(got.out, c.out);
            EXPECT_EQ(got.err, c.err);
            continue;
        }
        // The same texts as the programs of the build tree; toril names
        // itself by the path it was started with.
        std::vector<std::string> ref_argv = {built(c.prog)};
        RunResult ref = run(ref_argv);
        auto same_name = [&](std::string text) {
            for (size_t at; (at = text.find(built(c.prog))) != std::string::npos;)
                text.replace(at, built(c.prog).size(), argv[0]);
            return text;
        };
        EXPECT_EQ(got.out, same_name(ref.out));
        EXPECT_EQ(got.err, same_name(ref.err));
    }
    RunResult vantrip = run({p.root("usr/bin/vantrip")});
    EXPECT_EQ(vantrip.out.rfind(rule + "\nVantrip Build: local_build\n\nUSAGE :\n", 0), 0u)
        << vantrip.out;
    RunResult toril = run({p.root("usr/bin/toril")});
    EXPECT_NE(toril.err.find("Usage: " + p.root("usr/bin/toril") + " [-s|-c host] [options]\n"),
              std::string::npos)
        << toril.err;
}

void check_pages(const Package &p) {
    if (find_program("man").empty()) return;  // the page test itself says so
    for (const std::string &prog : kPrograms) {
        SCOPED_TRACE(prog);
        RunResult man = render_man(p.root("usr/share/man/man1/" + prog + ".1.gz"));
        EXPECT_EQ(man.exit_code, 0);
        EXPECT_EQ(man.err, "");
        EXPECT_NE(man.out.find("NAME"), std::string::npos);
    }
}

// ------------------------------------------------------- cmake --install

TEST(Install, PutsProgramsPagesAndUnitUnderThePrefix) {
    TempDir dir;
    const std::string prefix = dir.file("prefix");
    RunResult install = run_tool("cmake", {"--install", kBuild, "--prefix", prefix}, slow(60));
    ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
    for (const std::string &prog : kPrograms) {
        SCOPED_TRACE(prog);
        EXPECT_EQ(access((prefix + "/bin/" + prog).c_str(), X_OK), 0);
        EXPECT_TRUE(file_exists(prefix + "/share/man/man1/" + prog + ".1.gz"));
    }
    // The unit names the server where this prefix put it.
    const std::string unit = read_file(prefix + "/lib/systemd/system/toril-server.service");
    EXPECT_NE(unit.find("\nExecStart=" + prefix + "/bin/toril -s "), std::string::npos) << unit;
    // systemd's own reading of the unit: directives, and a server it can start.
    if (!find_program("systemd-analyze").empty()) {
        RunResult verify = run_tool(
            "systemd-analyze",
            {"verify", "--man=no", prefix + "/lib/systemd/system/toril-server.service"}, slow(30));
        EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;
        EXPECT_EQ(verify.err, "");
    }
    RunResult v = run({prefix + "/bin/toril", "-v"});
    EXPECT_EQ(v.err, "toril version 2.1.8 (12 August 2022) pthreads\n");
}

// ------------------------------------------------------------ scripts/plot

class Plot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (find_program("gnuplot").empty())
            GTEST_SKIP() << "gnuplot is not installed (Debian package gnuplot-nox)";
        if (python3().empty()) GTEST_SKIP() << "python3 is not installed";
    }
    RunResult plot(std::vector<std::string> args) {
        args.insert(args.begin(), {python3(), kSource + "/scripts/plot", "-o", out_.path()});
        return run(args, slow(30));
    }
    static std::string data(const std::string &name) {
        return kSource + "/tests/packaging/data/" + name;
    }
    // Charts the run wrote, by name.
    std::set<std::string> charts() {
        RunResult ls = run_tool("ls", {out_.path()});
        std::set<std::string> names;
        for (const std::string &line : lines_of(ls.out)) names.insert(line);
        return names;
    }
    // Whole PNGs of the script's size, each holding the first curve colour
    // of gnuplot's palette (so a curve or box was drawn, not just a frame).
    void expect_charts(const std::vector<std::string> &names) {
        std::vector<std::string> args = {kSource + "/tests/packaging/png_info.py", "9400d3"};
        for (const std::string &name : names) args.push_back(out_.file(name));
        RunResult info = run_tool("python3", args, slow(60));
        ASSERT_EQ(info.exit_code, 0) << info.err;
        std::istringstream lines(info.out);
        for (const std::string &name : names) {
            SCOPED_TRACE(name);
            EXPECT_GT(read_file(out_.file(name)).size(), 5000u);
            int width = 0, height = 0, colours = 0, curve = 0;
            lines >> width >> height >> colours >> curve;
            EXPECT_EQ(width, 1000);
            EXPECT_EQ(height, 560);
            EXPECT_GT(colours, 10) << "a blank or one-colour picture";
            EXPECT_GT(curve, 20) << "no curve drawn";
        }
    }
    TempDir out_;
};

TEST_F(Plot, DrawsTheChartsOfEachKindOfInput) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> charts;
    };
    const std::vector<Case> cases = {
        {{data("tcp_client.csv")}, {"tcp_client-bandwidth.png"}},
        {{data("udp_server_two_streams.csv")},
         {"udp_server_two_streams-bandwidth.png", "udp_server_two_streams-jitter.png",
          "udp_server_two_streams-loss.png"}},
        {{data("quarvel_udp_server.csv")},
         {"quarvel_udp_server-bandwidth.png", "quarvel_udp_server-jitter.png",
          "quarvel_udp_server-loss.png"}},
        {{data("udp_server_histograms.txt")}, {"udp_server_histograms-latency.png"}},
        {{"--test", "2", data("tcp_server_two_tests.csv")}, {"tcp_server_two_tests-bandwidth.png"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        run_tool("sh", {"-c", "rm -f " + out_.path() + "/*.png"});
        RunResult r = plot(c.args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::string listed;
        for (const std::string &chart : c.charts) listed += out_.file(chart) + "\n";
        EXPECT_EQ(r.out, listed);
        EXPECT_EQ(charts(), std::set<std::string>(c.charts.begin(), c.charts.end()));
        expect_charts(c.charts);
    }
}

TEST_F(Plot, RefusesInputItCannotDrawWithAMessage) {
    TempDir in;
    auto write = [&](const std::string &name, const std::string &text) {
        RunOptions opts;
        opts.stdin_text = text;
        run_tool("sh", {"-c", "cat > " + in.file(name)}, opts);
        return in.file(name);
    };
    const std::string tcp = read_file(data("tcp_client.csv"));
    const std::string udp = read_file(data("udp_server_two_streams.csv"));
    const std::string report = read_file(data("udp_server_histograms.txt"));
    // A text report without its PDF lines.
    std::string no_pdf;
    for (const std::string &line : lines_of(report))
        if (line.find("-PDF:") == std::string::npos) no_pdf += line + "\n";
    struct Case {
        std::string what;
        std::vector<std::string> args;
        int exit_code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty file", {write("empty.csv", "")}, 1, "is empty"},
        {"blank lines only", {write("blank.csv", "\n \n")}, 1, "is empty"},
        {"text report",
         {write("report.txt", no_pdf)},
         1,
         "is not CSV report output (run the test with -y C)"},
        {"two client runs put together", {write("two.csv", tcp + tcp)}, 1, "holds 2 tests"},
        {"TCP and UDP runs put together", {write("mixed.csv", tcp + udp)}, 1, "holds 2 tests"},
        {"no interval lines",
         {write("final.csv", lines_of(tcp).back() + "\n")},
         1,
         "has no interval lines: run the test with -i"},
        {"a test number out of range",
         {"--test", "3", data("tcp_server_two_tests.csv")},
         1,
         "has 2 test(s)"},
        {"a server file without --test",
         {data("tcp_server_two_tests.csv")},
         1,
         "pick one with --test N"},
        {"missing file", {in.file("absent.csv")}, 1, "cannot read"},
        {"no file", {}, 2, "usage: scripts/plot"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = plot(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(charts().empty()) << "a chart was left for bad input";
    }
}

}  // namespace
