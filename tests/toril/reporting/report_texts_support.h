// Helpers of the settings-banner and connection-line tests: settings records
// as the launch code hands them to a thread, sockets that close themselves,
// addresses, stdout capture and a fixed time zone.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "toril/reporting/report.h"

namespace texttest {

struct SettingsDeleter {
    void operator()(thread_Settings *s) const { Settings_Destroy(s); }
};
using SettingsPtr = std::unique_ptr<thread_Settings, SettingsDeleter>;

struct NodeDeleter {
    void operator()(ReportNode *n) const { FreeReport(n); }
};
using NodePtr = std::unique_ptr<ReportNode, NodeDeleter>;

// A copy of a freshly initialised global record, without a socket.
inline SettingsPtr make_settings(ThreadMode mode) {
    thread_Settings global;
    Settings_Initialize(&global);
    thread_Settings *copy = nullptr;
    Settings_Copy(&global, &copy, true);
    copy->thread_mode = mode;
    copy->sock = -1;
    return SettingsPtr(copy);
}

inline void set_text(char **field, const char *text) {
    free(*field);
    *field = text ? strdup(text) : nullptr;
}

// A socket closed at the end of the test.
class Socket {
  public:
    explicit Socket(int type) : fd_(socket(AF_INET, type, 0)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return fd_; }
    int buffer_size(bool send_side) const {
        int value = 0;
        socklen_t len = sizeof value;
        getsockopt(fd_, SOL_SOCKET, send_side ? SO_SNDBUF : SO_RCVBUF, &value, &len);
        return value;
    }

  private:
    int fd_;
};

inline sockaddr_storage address(const char *text, uint16_t port) {
    sockaddr_storage storage{};
    if (strchr(text, ':')) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, text, &in6->sin6_addr);
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        inet_pton(AF_INET, text, &in->sin_addr);
    }
    return storage;
}

// What print writes on stdout.
inline std::string captured(const std::function<void()> &print) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}

// Local times in the expected texts are UTC.
inline void use_utc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

inline std::string pid_text() {
    return std::to_string(static_cast<int>(getpid()));
}

}  // namespace texttest
