// The reply handler: recognises a stop request and, in address discovery
// mode, shows the answer's fields and keeps them in the result file.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

#include "vantrip/frontend/log.h"
#include "vantrip/frontend/platform.h"
#include "vantrip/frontend/settings.h"
#include "vantrip/server/protocol.h"

namespace {

void append_result_line(const std::string &path, const std::string &field) {
    std::FILE *file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        std::fprintf(stderr, "Cannot open %s\n", "output_file");
        return;
    }
    std::fwrite(field.data(), 1, field.size(), file);
    std::fputc('\n', file);
    std::fclose(file);
}

}  // namespace

int process_reply(const char *buffer, std::size_t len, std::string &collected) {
    // Every probe a server receives passes here: outside discovery mode this
    // path neither splits nor allocates beyond the collected copy.
    const std::string_view text = message_view(buffer, len);
    if (is_stop_text(text)) {
        collected += "STOP;";
        return 3;
    }
    const int result = text.find_first_not_of(';') == std::string_view::npos ? 1 : 2;
    if (!stun_mode) {
        collected.assign(text.data(), text.size());
        return result;
    }

    const bool write_result = !suppress_result_file;
    const std::string result_path = write_result ? result_file_path() : std::string();
    if (write_result) remove_file(result_path);  // a missing file is no error
    make_directories(result_directory());

    std::vector<std::string> fields;
    const std::size_t separators = split_message(std::string(text), &fields);
    // Only ';'-terminated fields count: never more than there are separators.
    const std::size_t count = std::min(separators, fields.size());
    for (std::size_t i = 0; i < count; ++i) {
        collected += fields[i];
        collected += ';';
        std::cout << fields[i] << '\n';
        if (write_result) append_result_line(result_path, fields[i]);
    }
    std::cout.flush();
    return result;
}
