// Writing seed files for the corpus generators: <dir>/<target>/<name>.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

inline void write_seed(const std::string &dir, const std::string &target, const std::string &name,
                       const Bytes &bytes) {
    const std::string folder = dir + "/" + target;
    mkdir(dir.c_str(), 0755);
    mkdir(folder.c_str(), 0755);
    const std::string path = folder + "/" + name;
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fclose(file);
}

inline Bytes with_prefix(uint8_t first, const uint8_t *data, size_t len) {
    Bytes out;
    out.push_back(first);
    out.insert(out.end(), data, data + len);
    return out;
}

inline Bytes text_bytes(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace fuzz
