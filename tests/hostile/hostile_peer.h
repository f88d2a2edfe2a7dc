// Hostile peers for the servers: plain-socket sessions and datagrams that
// carry random, truncated, oversized or absurd bytes, floods of connections
// that send nothing or reset, and the figures of a server process (alive,
// open descriptors, resident memory) before and after the abuse.
//
// Nothing here knows a wire format: the tests build their inputs with each
// program's own encoders and hand them over as bytes. Every wait is bounded.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/net.h"
#include "tests/support/process.h"

namespace hostile {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// A server on loopback: family 4 (127.0.0.1) or 6 (::1).
struct Target {
    int family = 4;
    uint16_t port = 0;
};

socklen_t loopback(const Target &t, sockaddr_storage *out);
const char *loopback_text(int family);

// --- TCP ---

// Connects within limit; -1 when the server did not take the connection.
int tcp_connect(const Target &t, milliseconds limit);

enum class Ending {
    kClose,  // orderly close after the bytes
    kReset,  // SO_LINGER 0: the server sees a reset
};

// One session: connect, send the bytes (as far as the server takes them
// within the limit), end as asked. Whatever the server answers within
// answer_wait is read and dropped. False when it could not connect.
bool tcp_session(const Target &t, const Bytes &bytes, Ending ending, milliseconds answer_wait);

// Closes fd with SO_LINGER 0.
void reset_close(int fd);

// Opens count connections (in batches of at most batch open at once), each
// either silent (held briefly, then closed) or reset at once, alternately;
// stops early when the time budget runs out. Returns connections made.
struct FloodResult {
    int attempted = 0;
    int connected = 0;
};
FloodResult tcp_flood(const Target &t, int count, milliseconds budget, int batch = 4);

// --- UDP ---

// One datagram from a fresh socket (so from a new source port each time);
// false when the send failed. After the send, answers are read and dropped
// for answer_wait.
bool udp_datagram(const Target &t, const Bytes &bytes, milliseconds answer_wait = milliseconds(0));

// Datagrams from one connected socket (one peer address).
class UdpPeer {
  public:
    explicit UdpPeer(const Target &t);
    ~UdpPeer();
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;
    bool send(const Bytes &bytes);
    // Answers within wait, dropped; returns how many came.
    int drain(milliseconds wait);

  private:
    int fd_ = -1;
};

// --- Inputs ---

Bytes random_bytes(std::mt19937 &rng, size_t len);
// count payloads of 1..max_len random bytes from one seed.
std::vector<Bytes> random_payloads(uint32_t seed, int count, size_t max_len);
// Every proper prefix of honest (lengths 0 .. size - 1).
std::vector<Bytes> truncations(const Bytes &honest);
// Copies of honest with each aligned 32-bit word in [from, to) replaced in
// turn by each of the absurd values (0, all ones, INT32_MAX, INT32_MIN).
std::vector<Bytes> word_mutations(const Bytes &honest, size_t from, size_t to);
// Writes a big-endian 32-bit word.
void put_be32(Bytes *b, size_t at, uint32_t v);

// Each single bit of a big-endian flags field of width bytes at offset at.
std::vector<Bytes> bit_flips(const Bytes &honest, size_t at, size_t width);

// --- Barrages: every kind of hostile input a wire format allows ---

// What an honest client of the program sends, built with its own encoders.
struct Shapes {
    std::vector<Bytes> tcp_headers;  // honest TCP test headers of several clients
    std::vector<Bytes> udp_firsts;   // honest first datagrams of several clients
    Bytes udp_final;                 // a datagram that ends a UDP test
    size_t udp_header_span = 0;      // bytes of a first datagram that hold header fields
    // Flag fields (offset, width in bytes) whose every bit is flipped in turn.
    std::vector<std::pair<size_t, size_t>> tcp_flags, udp_flags;
    // Headers that announce more than any client sends; 1 MiB of junk follows.
    std::vector<Bytes> tcp_oversized;
};

class Tally;
// phase_done is called after each kind of input with its name (to find the
// one that brought a server down).
using PhaseDone = void (*)(void *context, const char *phase);

void tcp_barrage(const Target &t, const Shapes &shapes, uint32_t seed, Tally *tally, PhaseDone done,
                 void *context);
void udp_barrage(const Target &t, const Shapes &shapes, uint32_t seed, Tally *tally, PhaseDone done,
                 void *context);

// True when pattern occurs in text; in the pattern '#' stands for one or more
// digits and '~' for any number of spaces, everything else for itself.
bool contains_line(const std::string &text, const std::string &pattern);

// --- The server's figures ---

struct Figures {
    bool alive = false;
    int fds = -1;      // entries of /proc/PID/fd
    long rss_kb = -1;  // VmRSS of /proc/PID/status
    int threads = -1;  // entries of /proc/PID/task
};
Figures figures(pid_t pid);
std::string describe(const Figures &f);

// True when the process maps a sanitizer runtime (its memory figures are
// then dominated by the sanitizer's own quarantine and shadow).
bool sanitized(pid_t pid);

// The first sanitizer report line in a server's standard error, or "".
std::string sanitizer_report(const std::string &err);

// Counts of hostile inputs, printed to the test log and recorded as test
// properties so that a run shows what it tried.
class Tally {
  public:
    void add(const std::string &kind, int n) { counts_[kind] += n; }
    int total() const;
    void publish(const std::string &prefix) const;

  private:
    std::map<std::string, int> counts_;
};

// A server under abuse: started by its argv, waited for until its ready
// text shows on standard output, measured after an honest warm-up and
// checked after the hostile phase.
class WatchedServer {
  public:
    bool start(const std::vector<std::string> &argv, const std::string &ready_text,
               milliseconds limit = milliseconds(10000));
    pid_t pid() const { return proc_.pid(); }
    testsupport::Background &process() { return proc_; }
    // Takes the reference figures (after a warm-up test).
    void take_baseline();
    const Figures &baseline() const { return baseline_; }
    // Waits up to limit for the descriptors and threads to come back within
    // the margins of the baseline (tests in progress end by themselves) and
    // to hold still for a moment; returns the last figures.
    Figures settle(milliseconds limit);
    // Alive; descriptors, memory and threads within the margins of the baseline.
    void expect_sound(const std::string &phase);
    // Stops the server by its PID and fails on any sanitizer report.
    void stop_and_check();
    // Runs the real client (bounded) and expects its output to contain
    // client_final and, within a few seconds, the server's own output after
    // the start of the run to contain server_final (contains_line patterns).
    void honest_run(const std::vector<std::string> &client_argv, const std::string &client_final,
                    const std::string &server_final);
    // Fails (naming the phase) when the server is no longer alive.
    void expect_alive(const std::string &phase);
    // A round opens thousands of connections, so a leak shows far beyond this;
    // within it fit the sockets a server may rightly hold a while after a round
    // (vantrip keeps up to 16 TCP two-way waits open, each for a bounded time).
    static constexpr int kFdMargin = 20;
    static constexpr int kThreadMargin = 2;

    // The whole abuse of a server: honest(phase) runs an honest test,
    // barrage(tally) throws one round of hostile inputs. The first round
    // fills the server's allocator caches and thread stacks; the figures after
    // it settles and serves an honest test are the baseline; after the second
    // round and another honest test they must be within the margins.
    template <typename Honest, typename Barrage>
    void abuse(const std::string &name, Honest honest, Barrage barrage) {
        honest("warm-up");
        for (int round = 1; round <= 2; ++round) {
            Tally tally;
            barrage(&tally);
            tally.publish(name + "_round" + std::to_string(round));
            const Figures settled = settle(milliseconds(30000));
            std::cout << "round " << round << " settled: " << describe(settled) << std::endl;
            if (!settled.alive) {
                expect_alive("round " + std::to_string(round));
                return;
            }
            honest("after round " + std::to_string(round));
            settle(milliseconds(10000));  // the honest test's own threads end
            if (round == 1) take_baseline();
        }
        expect_sound("after round 2");
    }

  private:
    long rss_margin_kb() const;
    testsupport::Background proc_;
    Figures baseline_;
};

// toril and quarvel servers take the same command line, so one fixture
// abuses both: a case names the transport and the family.
struct GeneratorCase {
    const char *name;
    bool udp;
    int family;
};
inline const GeneratorCase kGeneratorCases[] = {
    {"tcp_v4", false, 4}, {"tcp_v6", false, 6}, {"udp_v4", true, 4}, {"udp_v6", true, 6}};
inline std::string generator_case_name(const testing::TestParamInfo<GeneratorCase> &i) {
    return i.param.name;
}

class GeneratorHostile : public testing::TestWithParam<GeneratorCase> {
  protected:
    // The program, the inputs built with its own encoders, the honest
    // client's arguments after "-c host -p port -n 64K -f b", and the final
    // line (a contains_line pattern) both ends must print for that test.
    virtual std::string program() const = 0;
    virtual Shapes shapes() const = 0;
    virtual std::vector<std::string> honest_client_args() const = 0;
    virtual std::string honest_final_line() const = 0;
    virtual uint32_t seed() const = 0;  // of the random inputs

    void SetUp() override {
        if (program().empty()) GTEST_SKIP() << "the program is not built";
        target_.family = GetParam().family;
        target_.port = testsupport::free_port();
        ASSERT_NE(target_.port, 0);
        std::vector<std::string> argv{program(), "-s", "-p", std::to_string(target_.port), "-f",
                                      "b"};
        if (GetParam().udp) argv.push_back("-u");
        if (GetParam().family == 6) argv.push_back("-V");
        ASSERT_TRUE(server_.start(argv, "Server listening")) << server_.process().err();
    }
    void TearDown() override {
        if (!IsSkipped()) server_.stop_and_check();
    }

    // Two rounds of the barrage of the case's transport, each followed by
    // an honest test (see WatchedServer::abuse).
    void abuse(const std::string &program_name) {
        const Shapes inputs = shapes();
        server_.abuse(
            program_name + "_" + GetParam().name,
            [this](const std::string &phase) { honest_test(phase); },
            [&](Tally *tally) {
                if (GetParam().udp)
                    udp_barrage(target_, inputs, seed(), tally, phase_done, this);
                else
                    tcp_barrage(target_, inputs, seed(), tally, phase_done, this);
            });
    }

    Target target_;
    WatchedServer server_;

  private:
    void honest_test(const std::string &phase) {
        SCOPED_TRACE(phase);
        std::vector<std::string> argv{program(), "-c", loopback_text(target_.family), "-p",
                                      std::to_string(target_.port), "-n", "64K", "-f", "b"};
        const std::vector<std::string> extra = honest_client_args();
        argv.insert(argv.end(), extra.begin(), extra.end());
        server_.honest_run(argv, honest_final_line(), honest_final_line());
    }
    static void phase_done(void *self, const char *phase) {
        static_cast<GeneratorHostile *>(self)->server_.expect_alive(phase);
    }
};

}  // namespace hostile
