// Where the result file lives and the filesystem helpers behind it.
#include "vantrip/frontend/platform.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/process.h"

namespace {

// Sets (or, for null, unsets) a variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

TEST(Platform, ResultPathFollowsStateHome) {
    ScopedEnv home("HOME", "/home/probe");
    struct Case {
        const char *state_home;
        std::string directory;
    } cases[] = {
        {"/var/state", "/var/state/Kestrelon/Lumo_App"},
        {nullptr, "/home/probe/.local/state/Kestrelon/Lumo_App"},
        {"", "/home/probe/.local/state/Kestrelon/Lumo_App"},
        {"relative/dir", "/home/probe/.local/state/Kestrelon/Lumo_App"},
    };
    for (const Case &c : cases) {
        ScopedEnv state("XDG_STATE_HOME", c.state_home);
        EXPECT_EQ(result_directory(), c.directory);
        EXPECT_EQ(result_file_path(), c.directory + "/stunResult.log");
    }
}

TEST(Platform, MakeDirectoriesCreatesParents) {
    testsupport::TempDir dir;
    const std::string nested = dir.file("a/b/c");
    EXPECT_TRUE(make_directories(nested));
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_TRUE(make_directories(nested));  // existing folder is no error
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_FALSE(make_directories(dir.file("plain")));
    EXPECT_FALSE(make_directories(dir.file("plain/sub")));
}

TEST(Platform, RemoveFileTouchesOnlyThatFile) {
    testsupport::TempDir dir;
    const std::string path = dir.file("stunResult.log");
    std::ofstream(path) << "x";
    EXPECT_TRUE(remove_file(path));
    EXPECT_FALSE(testsupport::file_exists(path));
    EXPECT_FALSE(remove_file(path));  // already gone: reported, no exception
    // Names with shell meaning are just names.
    const std::string odd = dir.file("a & echo b; c.log");
    std::ofstream(odd) << "x";
    EXPECT_TRUE(remove_file(odd));
    // A folder in its place is left alone.
    ASSERT_TRUE(make_directories(dir.file("folder")));
    EXPECT_FALSE(remove_file(dir.file("folder")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
}

TEST(Platform, ProcessId) {
    EXPECT_EQ(process_id(), static_cast<int>(getpid()));
}

}  // namespace
