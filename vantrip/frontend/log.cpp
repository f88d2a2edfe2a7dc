// The log writer: one entry per call, the file opened and closed each time so
// that an entry survives whatever happens to the process afterwards.
#include "vantrip/frontend/log.h"

#include <cstdio>
#include <ctime>

#include "vantrip/frontend/settings.h"

namespace {

// Local wall-clock time to the second as YYYYMMDDTHHMMSS.
std::string time_stamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[32];
    std::size_t n = std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &local);
    return std::string(text, n);
}

}  // namespace

void write_log(const std::string &tag, const std::string &operation, const std::string &message) {
    if (!logging_enabled) return;

    std::string entry;
    entry.reserve(32 + tag.size() + operation.size() + message.size());
    entry += '\n';
    entry += time_stamp();
    entry += " : ";
    entry += tag;
    entry += " : ";
    entry += operation;
    entry += " : ";
    entry += message;

    std::FILE *file = std::fopen(log_file_path.c_str(), "ab");
    if (file == nullptr) {
        std::fprintf(stderr, "Cannot open %s\n", "output_file");
        return;
    }
    std::fwrite(entry.data(), 1, entry.size(), file);
    std::fclose(file);
}
