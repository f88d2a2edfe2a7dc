#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {
namespace {

std::string make_temp_file(const char *tag) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ttXXXXXX").string();
    tmpl += tag;
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemps(buf.data(), static_cast<int>(std::strlen(tag)));
    if (fd < 0) return "";
    close(fd);
    return std::string(buf.data());
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Forks and execs; the child's output goes to the given files.
pid_t spawn(const std::vector<std::string> &argv, const RunOptions &opts,
            const std::string &out_path, const std::string &err_path) {
    std::string in_path;
    if (!opts.stdin_text.empty()) {
        in_path = make_temp_file(".in");
        std::ofstream(in_path) << opts.stdin_text;
    }
    pid_t pid = fork();
    if (pid != 0) {
        if (!in_path.empty()) {
            // The child opened it before exec or failed; give it a moment, then remove.
            std::thread([in_path] {
                std::this_thread::sleep_for(std::chrono::seconds(5));
                unlink(in_path.c_str());
            }).detach();
        }
        return pid;
    }
    // Child.
    setpgid(0, 0);
    int in = open(in_path.empty() ? "/dev/null" : in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_TRUNC);
    int err = open(err_path.c_str(), O_WRONLY | O_TRUNC);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    for (const auto &name : opts.unset_env) unsetenv(name.c_str());
    for (const auto &kv : opts.env) putenv(strdup(kv.c_str()));
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

RunResult run(const std::vector<std::string> &argv, const RunOptions &opts) {
    Background child;
    RunResult r;
    if (!child.start(argv, opts)) return r;
    if (!child.wait(opts.timeout)) {
        r = child.stop(std::chrono::milliseconds(500));
        r.timed_out = true;
        return r;
    }
    return child.result();
}

Background::~Background() {
    if (pid_ > 0 && !reaped_) stop(std::chrono::milliseconds(500));
    if (!out_path_.empty()) unlink(out_path_.c_str());
    if (!err_path_.empty()) unlink(err_path_.c_str());
}

bool Background::start(const std::vector<std::string> &argv, const RunOptions &opts) {
    out_path_ = make_temp_file(".out");
    err_path_ = make_temp_file(".err");
    if (out_path_.empty() || err_path_.empty() || argv.empty()) return false;
    pid_ = spawn(argv, opts, out_path_, err_path_);
    reaped_ = false;
    return pid_ > 0;
}

bool Background::running() {
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        reaped_ = true;
        return false;
    }
    return true;
}

bool Background::wait(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return reaped_;
}

RunResult Background::stop(std::chrono::milliseconds grace) {
    if (running()) {
        kill(pid_, SIGTERM);
        if (!wait(grace)) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            wait(std::chrono::milliseconds(5000));
        }
    }
    return result();
}

std::string Background::out() const { return read_file(out_path_); }
std::string Background::err() const { return read_file(err_path_); }

bool Background::wait_for_output(const std::string &text, std::chrono::milliseconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (out().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return out().find(text) != std::string::npos;
}

RunResult Background::result() const {
    RunResult r;
    r.exit_code = reaped_ ? decode_status(status_) : -1;
    r.out = out();
    r.err = err();
    return r;
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ttdirXXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ignored_ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored_ec);
}

}  // namespace testsupport
