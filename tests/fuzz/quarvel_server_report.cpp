// quarvel's server report as its UDP client takes it from the server's
// answer to the final datagram: decoded, posted and printed by a stand-in
// for the reporter thread. The first input byte picks the client's report
// form (enhanced, CSV, unit letter); the rest is the report from its flags
// word on.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "quarvel/report_formats.h"
#include "quarvel/reporter.h"
#include "quarvel/settings.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    static const char kUnits[] = "abkmgKMG";
    const uint8_t form = data[0];

    thread_Settings client;
    Settings_Initialize(&client);
    client.thread_mode = kMode_Client;
    client.sock = 7;
    client.option_flags |= OPT_UDP;
    if (form & 0x01) client.option_flags |= OPT_ENHANCED;
    if (form & 0x02) client.report_mode = kReport_CSV;
    client.format = kUnits[(form >> 2) & 7];
    client.buf_len = 1470;
    auto *peer = reinterpret_cast<sockaddr_in *>(&client.peer);
    peer->sin_family = AF_INET;
    peer->sin_port = htons(5001);
    peer->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    client.peer_len = sizeof(sockaddr_in);

    // Exactly the bytes that arrived, so a read past them is caught.
    const size_t len = size - 1;
    std::unique_ptr<uint8_t[]> report(new uint8_t[len ? len : 1]);
    if (len) std::memcpy(report.get(), data + 1, len);
    header_printed = (form & 0x20) != 0;
    ReportServerUDP(&client, report.get(), len);
    for (int pass = 0; pass < 10 && reporter_process_reports(); pass++) {
    }
    FUZZ_CHECK(ReportRoot == nullptr);
    return 0;
}
