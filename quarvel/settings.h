// Per-thread settings of quarvel, and the command line and environment that fill them.
//
// Every thread of quarvel (reporter, listener, server, client) runs from its own
// thread_Settings record. main builds one global record with Settings_Initialize,
// Settings_ParseEnvironment and Settings_ParseCommandLine; the launch code copies
// it (Settings_Copy) for every further thread.
//
// Ownership: the six text fields are owned by the record: Settings_Copy
// duplicates them and Settings_Destroy frees them. report, sum_report, run_next
// and run_after point to objects owned elsewhere (the reporter, the launch
// chain). A record is written only by the thread that owns it; the launch code
// fills a copy before starting its thread.
//
// The option functions are meant for the start-up thread (getopt_long keeps
// process-wide state). Errors in option values end the process with status 1.
#pragma once

#include <pthread.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <string>

struct DataReport;   // a thread's report (reporter)
struct GroupReport;  // the sum report of the streams of one peer (reporter)

// option_flags: one bit per option state, with toril's values.
enum OptionFlags : uint32_t {
    OPT_LEN_SET = 0x1,                // -l given
    OPT_COMPAT = 0x2,                 // no test header or extra messages (-C)
    OPT_DAEMON = 0x4,                 // run the server as a daemon (-D)
    OPT_IPV6 = 0x8,                   // IPv6 domain (-V)
    OPT_FILE_INPUT = 0x10,            // payload read from input_file (-F, -I)
    OPT_NODELAY = 0x20,               // TCP no-delay (-N)
    OPT_PRINT_MSS = 0x40,             // print the MSS (-m)
    OPT_REMOVE = 0x80,                // -R: accepted, read by nothing
    OPT_STDIN = 0x100,                // payload from standard input (-I)
    OPT_STDOUT = 0x200,               // output stays on stdout (cleared by -o)
    OPT_SUGGEST_WIN = 0x400,          // -W given
    OPT_UDP = 0x800,                  // UDP test (-u, -b)
    OPT_TIME_MODE = 0x1000,           // amount is a duration
    OPT_REPORT_SETTINGS = 0x2000,     // this record posts the settings report
    OPT_MULTICAST = 0x4000,           // bind or destination address is multicast
    OPT_NO_SETTINGS_REPORT = 0x8000,  // -x S
    OPT_NO_CONN_REPORT = 0x10000,     // -x C
    OPT_NO_DATA_REPORT = 0x20000,     // -x D
    OPT_NO_SERVER_REPORT = 0x40000,   // -x V
    OPT_NO_MCAST_REPORT = 0x80000,    // -x M
    OPT_SINGLE_CLIENT = 0x100000,     // serve one client at a time (-1)
    OPT_SINGLE_UDP = 0x200000,        // single-threaded UDP server (-U)
    OPT_CONGESTION = 0x400000,        // set the congestion algorithm (-Z)
    OPT_REALTIME = 0x800000,          // real-time scheduling (--realtime)
    OPT_RATE_SET = 0x1000000,         // -b given
    OPT_ENHANCED = 0x2000000,         // enhanced reports (-e, -i below 0.5 s)
    OPT_TIME_SET = 0x4000000,         // -t given
};

// thread_mode
enum ThreadMode : int32_t {
    kMode_Unknown = 0,
    kMode_Server = 1,
    kMode_Client = 2,
    kMode_Reporter = 3,
    kMode_Listener = 4,
};

// report_mode
enum ReportMode : int32_t { kReport_Default = 0, kReport_CSV = 1 };

// test_mode
enum TestMode : int32_t { kTest_Normal = 0, kTest_DualTest = 1, kTest_TradeOff = 2 };

// rate_units
enum RateUnits : int32_t { kRate_BW = 0, kRate_PPS = 1 };

// Longest hello datagram a NAT UDP client keeps.
constexpr int kHelloMessageMax = 50;

struct thread_Settings {
    // Texts (owned, NUL-terminated, null when not given).
    char *input_file;       // -F file, or "<stdin>" (-I)
    char *host;             // -c host; for a NAT server the NAT client address
    char *nat_client_ip;    // -e address
    char *local_host;       // host part of -B
    char *output_file;      // -o
    char *congestion_algo;  // -Z

    // Reports and chaining (not owned).
    DataReport *report;
    GroupReport *sum_report;
    thread_Settings *run_next;   // started, before this record, by thread_start
    thread_Settings *run_after;  // started by the thread wrapper when this thread ended

    int32_t threads;      // -P; on a server the tests to accept (0 = no limit)
    int32_t tos;          // -S
    int32_t sock;         // -1 when none
    int32_t buf_len;      // bytes per read or write (-l)
    int32_t mss;          // -M
    int32_t window_size;  // -w
    uint32_t option_flags;
    ThreadMode thread_mode;
    ReportMode report_mode;
    TestMode test_mode;
    uint64_t rate;  // -b: bits or packets per second
    RateUnits rate_units;
    uint64_t amount;             // OPT_TIME_MODE: hundredths of a second; else bytes (-n)
    double interval;             // report interval in seconds, 0 = none (-i)
    uint16_t listen_port;        // -L
    uint16_t port;               // -p
    uint16_t bind_port;          // port part of -B
    uint16_t client_local_port;  // -a
    char format;                 // -f
    int32_t ttl;                 // -T
    sockaddr_storage peer;
    uint32_t peer_len;
    sockaddr_storage local;
    uint32_t local_len;
    pthread_t thread_id;  // zero when not started
    int32_t nat_mode;     // 1 with -e or -E
    // 1 for a client's own listener of the return test (and the records it
    // serves): it waits while the client's streams run, not by -t.
    int32_t connect_back;

    // NAT UDP: the hello datagram a client received (kept, not interpreted),
    // and where a server sends its hellos.
    char hello_message[kHelloMessageMax + 1];  // NUL after the received bytes
    int32_t hello_message_len;
    sockaddr_storage hello_peer;
    uint32_t hello_peer_len;
};

// --- Lifecycle ---

// Zeroes the record and sets the defaults: a ten-second TCP client or server
// test on port 5001 with 128 KiB reads and writes.
void Settings_Initialize(thread_Settings *settings);

// *into = a new record with every field of from; the texts are duplicated;
// thread_id, run_next and run_after are cleared.
void Settings_Copy(const thread_Settings *from, thread_Settings **into);

// Frees the texts and the record (made by Settings_Copy or new). Null is ignored.
void Settings_Destroy(thread_Settings *settings);

// For a client with a dual or tradeoff test and without OPT_COMPAT:
// *listener = the record of the client's own listener for the reverse test
// (port listen_port when set; connect_back 1, without OPT_TIME_SET: its wait
// follows the client's streams). Otherwise *listener = nullptr.
void Settings_GenerateListenerSettings(const thread_Settings *client, thread_Settings **listener);

// --- Command line and environment ---

// Applies every TORIL_* (and TCP_WINDOW_SIZE) variable that is set, in table order.
void Settings_ParseEnvironment(thread_Settings *settings);

// Applies every option of argv with getopt_long rules (the scanner is restarted
// first), then warns about each extra argument. May end the process.
void Settings_ParseCommandLine(int argc, char **argv, thread_Settings *settings);

// Applies one option letter with its argument (nullptr when none). Unknown
// letters do nothing.
void Settings_Interpret(int option, const char *arg, thread_Settings *settings);

// The argument with its last character in upper (lower) case, so that a
// trailing k or m is read in powers of 1024 (1000). nullptr gives "".
std::string Settings_GetUpperCaseArg(const char *arg);
std::string Settings_GetLowerCaseArg(const char *arg);

// --- Texts ---

// The three-line short usage.
void Settings_PrintUsage(FILE *stream);

// The two help texts, one after the other.
void Settings_PrintHelp(FILE *stream);

// "quarvel version ..." and a newline.
void Settings_PrintVersion(FILE *stream);
