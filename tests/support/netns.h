// Test hosts in network namespaces of the test's own, joined by veth pairs.
//
// Every namespace the lab creates is removed by its destructor, whatever the
// test did. Names carry the test process's PID so parallel tests never meet.
// Needs root and iproute2; ready() is false (and the caller skips) otherwise.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

// Full path of a system tool in the usual sbin/bin folders; empty when missing.
std::string system_tool(const std::string &name);

class NetLab {
  public:
    explicit NetLab(const std::string &tag);
    ~NetLab();
    NetLab(const NetLab &) = delete;
    NetLab &operator=(const NetLab &) = delete;

    // Creates a namespace with its loopback up; returns its full name ("" on failure).
    std::string add_host(const std::string &host);
    // A veth pair from host a (interface if_a, address addr_a as CIDR) to host b.
    bool link(const std::string &a, const std::string &if_a, const std::string &addr_a,
              const std::string &b, const std::string &if_b, const std::string &addr_b);
    // Runs a command inside a host's namespace; true when it exits 0.
    bool exec(const std::string &host, const std::vector<std::string> &argv,
              const std::string &stdin_text = "");
    // The argv prefix that runs a program inside a host's namespace.
    std::vector<std::string> prefix(const std::string &host) const;

    bool ready() const { return ready_; }
    const std::string &error() const { return error_; }

  private:
    std::string full_name(const std::string &host) const;

    std::string tag_;
    std::string ip_;
    std::vector<std::string> created_;
    bool ready_ = false;
    std::string error_;
};

}  // namespace testsupport
