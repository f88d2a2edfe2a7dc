// Running the built programs from tests, as a user would.
//
// Every wait is bounded, output is captured into temporary files (so a chatty
// child never blocks on a full pipe) and every child is stopped by its PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    int exit_code = -1;      // exit status, or 128 + signal number
    bool timed_out = false;  // the child was killed after the time limit
    std::string out;         // standard output
    std::string err;         // standard error
};

struct RunOptions {
    std::chrono::milliseconds timeout{10000};
    std::string cwd;                     // empty: the test's own directory
    std::vector<std::string> env;        // extra NAME=VALUE entries
    std::vector<std::string> unset_env;  // names removed from the environment
    std::string stdin_text;              // fed on standard input, then closed
};

// Runs argv[0] with its arguments to completion (or the time limit).
RunResult run(const std::vector<std::string> &argv, const RunOptions &opts = {});

// A child left running while the test talks to it.
class Background {
public:
    Background() = default;
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;
    ~Background();  // stops the child if it is still running

    bool start(const std::vector<std::string> &argv, const RunOptions &opts = {});
    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the child to end by itself; false when it did not within the limit.
    bool wait(std::chrono::milliseconds limit);
    // SIGTERM, then SIGKILL after a grace period; returns the collected result.
    RunResult stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    // Output so far.
    std::string out() const;
    std::string err() const;
    // Polls standard output until it contains text; false after the limit.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds limit) const;
    RunResult result() const;  // valid after wait() returned true or stop()

private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::string out_path_, err_path_;
};

// A fresh directory under the system's temporary folder, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

}  // namespace testsupport
