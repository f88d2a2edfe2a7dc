#include "tests/support/netns.h"

#include <unistd.h>

#include <chrono>

namespace testsupport {

std::string system_tool(const std::string &name) {
    for (const char *dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string path = dir + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

NetLab::NetLab(const std::string &tag) : tag_(tag), ip_(system_tool("ip")) {
    if (geteuid() != 0) {
        error_ = "needs root to create network namespaces";
    } else if (ip_.empty()) {
        error_ = "iproute2 (ip) is not installed";
    } else {
        ready_ = true;
    }
}

NetLab::~NetLab() {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it)
        run({ip_, "netns", "del", *it}, RunOptions{});
}

std::string NetLab::full_name(const std::string &host) const {
    return tag_ + "_" + host + "_" + std::to_string(getpid());
}

std::string NetLab::add_host(const std::string &host) {
    if (!ready_) return "";
    const std::string name = full_name(host);
    run({ip_, "netns", "del", name});  // a leftover of an aborted run
    if (run({ip_, "netns", "add", name}).exit_code != 0) {
        ready_ = false;
        error_ = "could not create network namespace " + name;
        return "";
    }
    created_.push_back(name);
    if (run({ip_, "-n", name, "link", "set", "lo", "up"}).exit_code != 0) {
        ready_ = false;
        error_ = "could not bring up loopback in " + name;
        return "";
    }
    return name;
}

bool NetLab::link(const std::string &a, const std::string &if_a, const std::string &addr_a,
                  const std::string &b, const std::string &if_b, const std::string &addr_b) {
    if (!ready_) return false;
    const std::string na = full_name(a), nb = full_name(b);
    const bool ok =
        run({ip_, "-n", na, "link", "add", if_a, "type", "veth", "peer", "name", if_b, "netns", nb})
                .exit_code == 0 &&
        run({ip_, "-n", na, "addr", "add", addr_a, "dev", if_a}).exit_code == 0 &&
        run({ip_, "-n", nb, "addr", "add", addr_b, "dev", if_b}).exit_code == 0 &&
        run({ip_, "-n", na, "link", "set", if_a, "up"}).exit_code == 0 &&
        run({ip_, "-n", nb, "link", "set", if_b, "up"}).exit_code == 0;
    if (!ok) {
        ready_ = false;
        error_ = "could not link " + a + " and " + b;
    }
    return ok;
}

bool NetLab::exec(const std::string &host, const std::vector<std::string> &argv,
                  const std::string &stdin_text) {
    if (!ready_) return false;
    std::vector<std::string> full = prefix(host);
    full.insert(full.end(), argv.begin(), argv.end());
    RunOptions opts;
    opts.stdin_text = stdin_text;
    const RunResult r = run(full, opts);
    if (r.exit_code != 0) error_ = "failed in " + host + ": " + argv[0] + ": " + r.err;
    return r.exit_code == 0;
}

std::vector<std::string> NetLab::prefix(const std::string &host) const {
    return {ip_, "netns", "exec", full_name(host)};
}

}  // namespace testsupport
