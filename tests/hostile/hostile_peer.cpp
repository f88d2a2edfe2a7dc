#include "tests/hostile/hostile_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace hostile {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void set_nonblocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

// Starts a non-blocking connect; the socket, or -1.
int start_connect(const Target &t) {
    const int fd = socket(t.family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    set_nonblocking(fd, true);
    sockaddr_storage a;
    const socklen_t len = loopback(t, &a);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 || errno == EINPROGRESS) return fd;
    close(fd);
    return -1;
}

bool connect_done(int fd) {
    int error = 0;
    socklen_t len = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

// Reads and drops whatever arrives within wait; stops at end of stream.
void drain_fd(int fd, milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    char buf[65536];
    for (;;) {
        const int left = remaining_ms(deadline);
        if (left <= 0) return;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) != 1) return;
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    }
}

std::string tail(const std::string &text) {
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

int count_dir(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

}  // namespace

socklen_t loopback(const Target &t, sockaddr_storage *out) {
    std::memset(out, 0, sizeof *out);
    if (t.family == 6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(out);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(t.port);
        return sizeof *a;
    }
    auto *a = reinterpret_cast<sockaddr_in *>(out);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(t.port);
    return sizeof *a;
}

const char *loopback_text(int family) {
    return family == 6 ? "::1" : "127.0.0.1";
}

int tcp_connect(const Target &t, milliseconds limit) {
    const int fd = start_connect(t);
    if (fd < 0) return -1;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1 || !connect_done(fd)) {
        close(fd);
        return -1;
    }
    set_nonblocking(fd, false);
    return fd;
}

void reset_close(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

bool tcp_session(const Target &t, const Bytes &bytes, Ending ending, milliseconds answer_wait) {
    const int fd = tcp_connect(t, milliseconds(2000));
    if (fd < 0) return false;
    // A server that stops reading must not hold the peer: sends are bounded.
    const auto deadline = Clock::now() + milliseconds(2000);
    size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd p{fd, POLLOUT, 0};
        const int left = remaining_ms(deadline);
        if (left <= 0 || poll(&p, 1, left) != 1) break;
        const ssize_t n =
            send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break;
        }
        sent += static_cast<size_t>(n);
    }
    if (ending == Ending::kReset) {
        reset_close(fd);
        return true;
    }
    shutdown(fd, SHUT_WR);
    drain_fd(fd, answer_wait);
    close(fd);
    return true;
}

FloodResult tcp_flood(const Target &t, int count, milliseconds budget, int batch) {
    FloodResult r;
    const auto deadline = Clock::now() + budget;
    while (r.attempted < count && remaining_ms(deadline) > 0) {
        std::vector<int> open;
        const int n = std::min(batch, count - r.attempted);
        for (int i = 0; i < n; ++i) {
            ++r.attempted;
            const int fd = start_connect(t);
            if (fd >= 0) open.push_back(fd);
        }
        // Wait for the handshakes of this batch (bounded), then end each one.
        const auto batch_end = Clock::now() + milliseconds(1500);
        std::vector<bool> done(open.size(), false);
        size_t pending = open.size();
        while (pending > 0 && remaining_ms(batch_end) > 0) {
            std::vector<pollfd> ps;
            std::vector<size_t> which;
            for (size_t i = 0; i < open.size(); ++i) {
                if (done[i]) continue;
                ps.push_back(pollfd{open[i], POLLOUT, 0});
                which.push_back(i);
            }
            if (poll(ps.data(), ps.size(), remaining_ms(batch_end)) <= 0) break;
            for (size_t k = 0; k < ps.size(); ++k) {
                if (!ps[k].revents) continue;
                done[which[k]] = true;
                --pending;
                if (connect_done(open[which[k]])) ++r.connected;
            }
        }
        // Silent connections are held a moment, as a peer that says nothing.
        std::this_thread::sleep_for(milliseconds(5));
        for (size_t i = 0; i < open.size(); ++i) {
            if (i % 2)
                reset_close(open[i]);
            else
                close(open[i]);
        }
    }
    return r;
}

bool udp_datagram(const Target &t, const Bytes &bytes, milliseconds answer_wait) {
    UdpPeer peer(t);
    const bool ok = peer.send(bytes);
    if (answer_wait.count() > 0) peer.drain(answer_wait);
    return ok;
}

UdpPeer::UdpPeer(const Target &t) {
    fd_ = socket(t.family == 6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) return;
    sockaddr_storage a;
    const socklen_t len = loopback(t, &a);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) close(fd_);
}

bool UdpPeer::send(const Bytes &bytes) {
    if (fd_ < 0) return false;
    return ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT) ==
           static_cast<ssize_t>(bytes.size());
}

int UdpPeer::drain(milliseconds wait) {
    if (fd_ < 0) return 0;
    const auto deadline = Clock::now() + wait;
    int n = 0;
    uint8_t buf[65536];
    for (int left = remaining_ms(deadline); left > 0; left = remaining_ms(deadline)) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, left) != 1) break;
        if (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            break;  // an ICMP refusal from a closed port
        }
        ++n;
    }
    return n;
}

Bytes random_bytes(std::mt19937 &rng, size_t len) {
    Bytes b(len);
    for (auto &c : b) c = static_cast<uint8_t>(rng());
    return b;
}

std::vector<Bytes> random_payloads(uint32_t seed, int count, size_t max_len) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> length(1, max_len);
    std::vector<Bytes> out;
    for (int i = 0; i < count; ++i) out.push_back(random_bytes(rng, length(rng)));
    return out;
}

std::vector<Bytes> truncations(const Bytes &honest) {
    std::vector<Bytes> out;
    for (size_t len = 0; len < honest.size(); ++len)
        out.emplace_back(honest.begin(), honest.begin() + len);
    return out;
}

void put_be32(Bytes *b, size_t at, uint32_t v) {
    (*b)[at] = static_cast<uint8_t>(v >> 24);
    (*b)[at + 1] = static_cast<uint8_t>(v >> 16);
    (*b)[at + 2] = static_cast<uint8_t>(v >> 8);
    (*b)[at + 3] = static_cast<uint8_t>(v);
}

std::vector<Bytes> word_mutations(const Bytes &honest, size_t from, size_t to) {
    static const uint32_t kAbsurd[] = {0u, 0xffffffffu, 0x7fffffffu, 0x80000000u};
    std::vector<Bytes> out;
    for (size_t at = from; at + 4 <= to && at + 4 <= honest.size(); at += 4) {
        for (uint32_t v : kAbsurd) {
            Bytes b = honest;
            put_be32(&b, at, v);
            out.push_back(std::move(b));
        }
    }
    return out;
}

std::vector<Bytes> bit_flips(const Bytes &honest, size_t at, size_t width) {
    std::vector<Bytes> out;
    for (size_t bit = 0; bit < 8 * width && at + width <= honest.size(); ++bit) {
        Bytes b = honest;
        b[at + width - 1 - bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        out.push_back(std::move(b));
    }
    return out;
}

void tcp_barrage(const Target &t, const Shapes &shapes, uint32_t seed, Tally *tally, PhaseDone done,
                 void *context) {
    // The server answers rejected headers by closing; a short wait for that
    // keeps the peers from piling up faster than the listener takes them.
    const milliseconds answer(20);
    int n = 0;
    for (const Bytes &b : random_payloads(seed, 300, 2048)) {
        tcp_session(t, b, n++ % 2 ? Ending::kReset : Ending::kClose, answer);
    }
    tally->add("random", n);
    done(context, "random");
    n = 0;
    for (const Bytes &honest : shapes.tcp_headers) {
        for (const Bytes &b : truncations(honest))
            tcp_session(t, b, n++ % 2 ? Ending::kReset : Ending::kClose, answer);
    }
    tally->add("truncated", n);
    done(context, "truncated");
    n = 0;
    std::mt19937 rng(seed);
    std::vector<Bytes> oversized = shapes.tcp_oversized;
    oversized.push_back(Bytes(4, 0xff));
    if (!shapes.tcp_headers.empty()) oversized.push_back(shapes.tcp_headers.front());
    for (Bytes b : oversized) {
        const Bytes junk = random_bytes(rng, 1 << 20);
        b.insert(b.end(), junk.begin(), junk.end());
        tcp_session(t, b, Ending::kClose, answer);
        tcp_session(t, b, Ending::kReset, answer);
        n += 2;
    }
    tally->add("oversized", n);
    done(context, "oversized");
    n = 0;
    for (const Bytes &honest : shapes.tcp_headers) {
        std::vector<Bytes> absurd = word_mutations(honest, 0, honest.size());
        for (const auto &field : shapes.tcp_flags) {
            for (Bytes &b : bit_flips(honest, field.first, field.second))
                absurd.push_back(std::move(b));
        }
        for (const Bytes &b : absurd)
            tcp_session(t, b, n++ % 3 == 2 ? Ending::kReset : Ending::kClose, answer);
    }
    tally->add("absurd_fields", n);
    done(context, "absurd_fields");
    const FloodResult flood = tcp_flood(t, 2000, milliseconds(40000));
    tally->add("silent_or_reset_connections", flood.attempted);
    std::cout << "flood: " << flood.connected << " of " << flood.attempted << " connected"
              << std::endl;
    EXPECT_GT(flood.connected, 0);
    done(context, "silent_or_reset_connections");
}

namespace {

// One hostile datagram from a fresh port, then the datagram that ends a test:
// whatever test the first one started is over, so what stays behind is the
// server's own doing.
void udp_then_final(const Target &t, const Bytes &b, const Shapes &shapes) {
    UdpPeer peer(t);
    peer.send(b);
    peer.send(shapes.udp_final);
    peer.drain(milliseconds(2));
}

}  // namespace

void udp_barrage(const Target &t, const Shapes &shapes, uint32_t seed, Tally *tally, PhaseDone done,
                 void *context) {
    int n = 0;
    for (const Bytes &b : random_payloads(seed, 300, 1470)) {
        udp_then_final(t, b, shapes);
        ++n;
    }
    tally->add("random", n);
    done(context, "random");
    n = 0;
    for (const Bytes &first : shapes.udp_firsts) {
        const size_t span = std::min(first.size(), shapes.udp_header_span);
        for (const Bytes &b : truncations(Bytes(first.begin(), first.begin() + span))) {
            udp_then_final(t, b, shapes);
            ++n;
        }
    }
    tally->add("truncated", n);
    done(context, "truncated");
    n = 0;
    std::mt19937 rng(seed);
    for (int i = 0; i < 4 && !shapes.udp_firsts.empty(); ++i) {
        Bytes big = i % 2 ? random_bytes(rng, 65507) : shapes.udp_firsts.front();
        big.resize(65507, 0x5a);
        udp_then_final(t, big, shapes);
        ++n;
    }
    tally->add("oversized", n);
    done(context, "oversized");
    n = 0;
    for (const Bytes &first : shapes.udp_firsts) {
        std::vector<Bytes> absurd = word_mutations(first, 0, shapes.udp_header_span);
        for (const auto &field : shapes.udp_flags) {
            for (Bytes &b : bit_flips(first, field.first, field.second))
                absurd.push_back(std::move(b));
        }
        for (const Bytes &b : absurd) {
            udp_then_final(t, b, shapes);
            ++n;
        }
    }
    tally->add("absurd_fields", n);
    done(context, "absurd_fields");
    n = 0;
    const auto deadline = Clock::now() + milliseconds(30000);
    for (int i = 0; i < 2000 && Clock::now() < deadline; ++i) {
        udp_then_final(t, random_bytes(rng, static_cast<size_t>(i % 17)), shapes);
        if (i % 100 == 99) std::this_thread::sleep_for(milliseconds(10));
        ++n;
    }
    tally->add("tiny_datagrams_from_fresh_ports", n);
    done(context, "tiny_datagrams_from_fresh_ports");
}

Figures figures(pid_t pid) {
    Figures f;
    if (pid <= 0 || kill(pid, 0) != 0) return f;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream status(base + "/status");
    std::string line;
    bool zombie = false;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) f.rss_kb = std::stol(line.substr(6));
        if (line.rfind("State:", 0) == 0) zombie = line.find('Z') != std::string::npos;
    }
    f.alive = !zombie && f.rss_kb >= 0;
    f.fds = count_dir(base + "/fd");
    f.threads = count_dir(base + "/task");
    return f;
}

std::string describe(const Figures &f) {
    std::ostringstream s;
    s << (f.alive ? "alive" : "dead") << ", " << f.fds << " fds, " << f.rss_kb << " kB resident, "
      << f.threads << " threads";
    return s.str();
}

bool sanitized(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libasan") != std::string::npos || line.find("libtsan") != std::string::npos)
            return true;
    }
    return false;
}

std::string sanitizer_report(const std::string &err) {
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "runtime error:", "WARNING: ThreadSanitizer"}) {
        const size_t at = err.find(mark);
        if (at == std::string::npos) continue;
        const size_t start = err.rfind('\n', at);
        const size_t begin = start == std::string::npos ? 0 : start + 1;
        return err.substr(begin, 3000);
    }
    return "";
}

namespace {

bool match_here(const char *text, const char *pattern) {
    for (;; ++pattern) {
        switch (*pattern) {
            case '\0':
                return true;
            case '#':
                if (*text < '0' || *text > '9') return false;
                while (*text >= '0' && *text <= '9') ++text;
                break;
            case '~':
                while (*text == ' ') ++text;
                break;
            default:
                if (*text != *pattern) return false;
                ++text;
        }
    }
}

}  // namespace

bool contains_line(const std::string &text, const std::string &pattern) {
    for (size_t at = 0; at < text.size(); ++at) {
        if (match_here(text.c_str() + at, pattern.c_str())) return true;
    }
    return false;
}

int Tally::total() const {
    int n = 0;
    for (const auto &kv : counts_) n += kv.second;
    return n;
}

void Tally::publish(const std::string &prefix) const {
    std::cout << prefix << " hostile inputs:";
    for (const auto &kv : counts_) {
        std::cout << " " << kv.first << "=" << kv.second;
        testing::Test::RecordProperty(prefix + "_" + kv.first, kv.second);
    }
    std::cout << " total=" << total() << std::endl;
    testing::Test::RecordProperty(prefix + "_total", total());
}

bool WatchedServer::start(const std::vector<std::string> &argv, const std::string &ready_text,
                          milliseconds limit) {
    if (!proc_.start(argv)) return false;
    return proc_.wait_for_output(ready_text, limit);
}

void WatchedServer::take_baseline() {
    baseline_ = figures(pid());
    std::cout << "baseline: " << describe(baseline_) << std::endl;
}

long WatchedServer::rss_margin_kb() const {
    // A sanitizer keeps freed memory in quarantine and grows its shadow; the
    // plain build gets a few MiB for allocator caches and thread stacks
    // touched by tests still in progress.
    return sanitized(proc_.pid()) ? 96 * 1024 : 8 * 1024;
}

Figures WatchedServer::settle(milliseconds limit) {
    // Within the margins is not enough: tests of the round may still be
    // ending one after another, and a figure taken in between is no figure
    // of the server's. So wait for the count to hold still as well.
    constexpr milliseconds kQuiet(2000);
    const auto deadline = Clock::now() + limit;
    Figures f = figures(pid());
    auto last_change = Clock::now();
    for (;;) {
        // Before the baseline is taken only the stillness counts.
        const bool within = baseline_.threads < 0 || (f.fds <= baseline_.fds + kFdMargin &&
                                                      f.threads <= baseline_.threads + kThreadMargin);
        if (!f.alive || remaining_ms(deadline) <= 0 ||
            (within && Clock::now() - last_change >= kQuiet))
            return f;
        std::this_thread::sleep_for(milliseconds(100));
        const Figures next = figures(pid());
        if (next.fds != f.fds || next.threads != f.threads) last_change = Clock::now();
        f = next;
    }
}

void WatchedServer::expect_sound(const std::string &phase) {
    const Figures f = figures(pid());
    std::cout << phase << ": " << describe(f) << " (fd growth " << f.fds - baseline_.fds
              << ", resident growth " << f.rss_kb - baseline_.rss_kb << " kB)" << std::endl;
    testing::Test::RecordProperty(phase + "_fd_growth", f.fds - baseline_.fds);
    testing::Test::RecordProperty(phase + "_rss_growth_kb",
                                  static_cast<int>(f.rss_kb - baseline_.rss_kb));
    EXPECT_TRUE(f.alive) << phase << ": the server died\n" << tail(proc_.err());
    EXPECT_LE(f.fds, baseline_.fds + kFdMargin) << phase << ": descriptors grew";
    EXPECT_LE(f.rss_kb, baseline_.rss_kb + rss_margin_kb()) << phase << ": memory grew";
    EXPECT_LE(f.threads, baseline_.threads + kThreadMargin)
        << phase << ": threads were left running";
}

void WatchedServer::honest_run(const std::vector<std::string> &client_argv,
                               const std::string &client_final, const std::string &server_final) {
    const size_t seen = proc_.out().size();
    testsupport::RunOptions opts;
    opts.timeout = milliseconds(30000);
    const testsupport::RunResult r = testsupport::run(client_argv, opts);
    ASSERT_FALSE(r.timed_out) << "the honest test hung\n" << r.out << r.err;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(contains_line(r.out, client_final)) << r.out << r.err;
    EXPECT_EQ(sanitizer_report(r.err), "") << r.err;
    const auto deadline = Clock::now() + milliseconds(10000);
    std::string fresh;
    for (;;) {
        const std::string out = proc_.out();
        fresh = out.size() > seen ? out.substr(seen) : "";
        if (contains_line(fresh, server_final) || Clock::now() > deadline) break;
        std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_TRUE(contains_line(fresh, server_final)) << "the server said:\n" << fresh;
}

void WatchedServer::expect_alive(const std::string &phase) {
    std::this_thread::sleep_for(milliseconds(100));
    if (figures(pid()).alive) return;
    const int status = proc_.wait(milliseconds(1000)) ? proc_.result().exit_code : -1;
    ADD_FAILURE() << "the server died on the " << phase << " inputs (exit status " << status
                  << ")\n"
                  << tail(proc_.err());
}

void WatchedServer::stop_and_check() {
    const testsupport::RunResult r = proc_.stop();
    EXPECT_EQ(sanitizer_report(r.err), "") << r.err.substr(0, 4000);
}

}  // namespace hostile
