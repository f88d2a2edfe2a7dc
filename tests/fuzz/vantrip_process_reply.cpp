// vantrip's reply handler, which every received text passes through on the
// client and the server. The first input byte picks address discovery mode
// and whether the result file is written (to a folder of the run's own);
// the rest is the received buffer.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "vantrip/frontend/log.h"
#include "vantrip/frontend/settings.h"
#include "vantrip/server/protocol.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_stdout();
    // The result file goes below a folder of this run, never the user's state.
    char dir[] = "/tmp/vantrip-fuzz-XXXXXX";
    if (mkdtemp(dir) != nullptr) setenv("XDG_STATE_HOME", dir, 1);
    logging_enabled = false;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 2 * kMaxMessageBytes) return 0;
    const uint8_t form = data[0];
    stun_mode = (form & 1) != 0;
    // Writing the file costs a few system calls: only one input in four does.
    suppress_result_file = (form & 6) != 6;

    const size_t len = size - 1;
    std::unique_ptr<char[]> buffer(new char[len ? len : 1]);
    if (len) std::memcpy(buffer.get(), data + 1, len);
    std::string collected = "prior;";
    const int result = process_reply(buffer.get(), len, collected);
    FUZZ_CHECK(result >= 1 && result <= 3);
    const std::string_view text = message_view(buffer.get(), len);
    if (result == 3) {
        FUZZ_CHECK(is_stop_text(text));
        FUZZ_CHECK(collected == "prior;STOP;");
    } else if (!stun_mode) {
        FUZZ_CHECK(collected == text);
    } else {
        FUZZ_CHECK(collected.size() <= 6 + text.size() + 1);
    }
    return 0;
}
