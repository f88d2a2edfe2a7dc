// The operating-system dependent calls of vantrip: where the result file
// lives, folder creation, file removal and the process identifier.
#include "vantrip/frontend/platform.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <process.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#if defined(_WIN32)

std::string result_directory() {
    return "C:\\ProgramData\\Kestrelon\\Lumo_App";
}

std::string result_file_path() {
    return result_directory() + "\\stunResult.log";
}

int process_id() {
    return _getpid();
}

#else

namespace {

// $HOME, or the password database entry when HOME is unset or empty.
std::string home_directory() {
    const char *home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    const passwd *entry = getpwuid(getuid());
    if (entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
    return ".";
}

// An unset, empty or relative XDG_STATE_HOME means the default.
std::string state_home() {
    const char *state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return state;
    return home_directory() + "/.local/state";
}

}  // namespace

std::string result_directory() {
    return state_home() + "/Kestrelon/Lumo_App";
}

std::string result_file_path() {
    return result_directory() + "/stunResult.log";
}

int process_id() {
    return static_cast<int>(getpid());
}

#endif

bool make_directories(const std::string &path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) return false;
    return fs::is_directory(path, ec);
}

bool remove_file(const std::string &path) {
    // Only a file goes: a folder that happens to carry the name stays.
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(path, ec))) return false;
    return fs::remove(path, ec) && !ec;
}
