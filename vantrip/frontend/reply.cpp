// The reply handler: recognises a stop request and, in address discovery
// mode, shows the answer's fields and keeps them in the result file.
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
    const std::string text = message_text(buffer, len);
    std::vector<std::string> fields;
    const std::size_t handled = split_message(text, &fields);

    if (!fields.empty() && fields.front() == "STOP") {
        collected += "STOP;";
        return 3;
    }

    const bool write_result = !suppress_result_file;
    const std::string result_path = result_file_path();
    if (write_result && stun_mode) remove_file(result_path);  // missing file is no error

    if (!stun_mode) {
        collected = text;
    } else {
        make_directories(result_directory());
        // Only ';'-terminated fields count: never more than there are separators.
        const std::size_t count = handled < fields.size() ? handled : fields.size();
        for (std::size_t i = 0; i < count; ++i) {
            collected += fields[i];
            collected += ';';
            std::cout << fields[i] << '\n';
            if (write_result) append_result_line(result_path, fields[i]);
        }
        std::cout.flush();
    }
    return fields.empty() ? 1 : 2;
}
