// Per-thread settings of toril, and the command line and environment that fill them.
//
// Every thread of toril (listener, server, client, reporter) runs from its own
// thread_Settings record. One global record is built by Settings_Initialize,
// Settings_ParseEnvironment and Settings_ParseCommandLine; the launch code copies
// it (Settings_Copy) for every thread it starts.
//
// Ownership: the text fields and buf are owned by the record and released by
// Settings_Destroy; sum_report, fullduplex_report, transmit_barrier, run_next and
// run_after point to objects owned elsewhere. A record is written only by the
// thread that owns it (the launch code fills a copy before starting its thread).
//
// The option functions keep a few process-wide markers (pending long options,
// run-forever, --l2checks, --bounceback-no-quickack); they are meant for the
// start-up thread only.
#pragma once

#include <pthread.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>

#include "common/sockopt.h"

struct SumReport;     // group and full-duplex sum reports (reporting)
struct BarrierMutex;  // start barrier of the parallel clients (launch)

// option_flags
constexpr uint32_t OPT_LEN_SET = 0x1;          // -l given
constexpr uint32_t OPT_COMPAT = 0x2;           // no test header or extra messages (-C)
constexpr uint32_t OPT_DAEMON = 0x4;           // run the server as a daemon (-D)
constexpr uint32_t OPT_IPV6 = 0x8;             // IPv6 domain (-V, -6)
constexpr uint32_t OPT_FILE_INPUT = 0x10;      // payload from input_stream
constexpr uint32_t OPT_NODELAY = 0x20;         // TCP no-delay
constexpr uint32_t OPT_PRINT_MSS = 0x40;       // print the MSS
constexpr uint32_t OPT_LEGACY_REVERSE = 0x80;  // old-form reverse; a client makes it TEST_REVERSE
constexpr uint32_t OPT_STDIN = 0x100;          // payload from standard input
constexpr uint32_t OPT_STDOUT = 0x200;         // output stays on stdout (cleared by -o)
constexpr uint32_t OPT_SUGGEST_WIN = 0x400;    // -W given
constexpr uint32_t OPT_UDP = 0x800;            // UDP test
constexpr uint32_t OPT_TIME_MODE = 0x1000;     // amount is a duration
constexpr uint32_t OPT_REPORT_SETTINGS = 0x2000;     // this record posts the SettingsReport
constexpr uint32_t OPT_MULTICAST = 0x4000;           // bind or destination address is multicast
constexpr uint32_t OPT_NO_SETTINGS_REPORT = 0x8000;  // no SettingsReport
constexpr uint32_t OPT_NO_CONN_REPORT = 0x10000;     // no ConnectionReports
constexpr uint32_t OPT_NO_DATA_REPORT = 0x20000;     // no data reports
constexpr uint32_t OPT_NO_SERVER_REPORT = 0x40000;   // no server reports
constexpr uint32_t OPT_NO_MCAST_REPORT = 0x80000;    // no multicast reports
constexpr uint32_t OPT_SINGLE_CLIENT = 0x100000;     // serve one client at a time
constexpr uint32_t OPT_SINGLE_UDP = 0x200000;        // single-threaded UDP server
constexpr uint32_t OPT_CONGESTION = 0x400000;        // set the congestion algorithm
constexpr uint32_t OPT_REALTIME = 0x800000;          // real-time scheduling
constexpr uint32_t OPT_RATE_SET = 0x1000000;         // -b given
constexpr uint32_t OPT_ENHANCED = 0x2000000;         // enhanced reports
constexpr uint32_t OPT_TIME_SET = 0x4000000;         // -t given (server: listen time)
constexpr uint32_t OPT_SSM = 0x8000000;              // source-specific multicast

// test_flags
constexpr uint32_t TEST_PEER_DETECT = 0x1;            // version exchange with the server (-X)
constexpr uint32_t TEST_SEQNO64 = 0x2;                // 64-bit UDP sequence numbers
constexpr uint32_t TEST_REVERSE = 0x4;                // server sends, client receives
constexpr uint32_t TEST_ISOCH = 0x8;                  // isochronous frames
constexpr uint32_t TEST_HISTOGRAM = 0x20;             // latency histograms
constexpr uint32_t TEST_L2CHECKS = 0x100;             // L2 length checks of received frames
constexpr uint32_t TEST_TXSTART = 0x200;              // scheduled start time
constexpr uint32_t TEST_INCR_DSTIP = 0x400;           // parallel copies increment the destination
constexpr uint32_t TEST_RATE_VARIANCE = 0x800;        // rate has a variance
constexpr uint32_t TEST_FQ_RATE = 0x1000;             // socket pacing rate
constexpr uint32_t TEST_TRIP_TIMES = 0x2000;          // end-to-end times (clocks in sync)
constexpr uint32_t TEST_TXDELAY = 0x4000;             // hold back after connect
constexpr uint32_t TEST_INFINITE = 0x10000;           // client sends until stopped
constexpr uint32_t TEST_CONNECT_ONLY = 0x20000;       // connect-only test
constexpr uint32_t TEST_SERVER_REVERSE = 0x40000;     // server end sending towards the client
constexpr uint32_t TEST_FULL_DUPLEX = 0x80000;        // both directions on one socket
constexpr uint32_t TEST_NO_UDP_FIN = 0x200000;        // no final UDP exchange
constexpr uint32_t TEST_NO_CONNECT_SYNC = 0x400000;   // parallel clients do not wait after connect
constexpr uint32_t TEST_SUM_ONLY = 0x800000;          // only sum reports
constexpr uint32_t TEST_FRAME_INTERVAL = 0x1000000;   // reports per frame or burst
constexpr uint32_t TEST_IPG = 0x2000000;              // an inter-packet gap was given
constexpr uint32_t TEST_LOCAL_ONLY = 0x4000000;       // do not route
constexpr uint32_t TEST_NEAR_CONGESTION = 0x8000000;  // near-congestion write pacing
constexpr uint32_t TEST_PERMIT_KEY = 0x10000000;      // permit key in use
constexpr uint32_t TEST_MSS_SET = 0x20000000;         // -M given
constexpr uint32_t TEST_INCR_DSTPORT = 0x40000000;    // parallel copies increment the port
constexpr uint32_t TEST_INCR_SRCIP = 0x80000000;      // parallel copies increment the source

// extra_flags
constexpr uint32_t EXT_BURST = 0x1;               // burst mode
constexpr uint32_t EXT_SUM_DSTIP = 0x2;           // server sums by destination address
constexpr uint32_t EXT_SMALL_TRIPTIME = 0x4;      // UDP trip times with short datagrams
constexpr uint32_t EXT_RX_WINCLAMP = 0x8;         // receive window clamp
constexpr uint32_t EXT_WRITE_PREFETCH = 0x10;     // not-sent low-water mark, event writes
constexpr uint32_t EXT_TAP_DEV = 0x40;            // receive through a tap device
constexpr uint32_t EXT_HIDE_IPS = 0x80;           // hide addresses in output
constexpr uint32_t EXT_BOUNCEBACK = 0x100;        // bounceback test
constexpr uint32_t EXT_WRITE_TIMES = 0x200;       // measure write times
constexpr uint32_t EXT_INCR_SRCPORT = 0x400;      // parallel copies increment the source port
constexpr uint32_t EXT_TOS_OVERRIDE = 0x800;      // server uses override_tos
constexpr uint32_t EXT_QUICKACK = 0x1000;         // TCP quick-ack
constexpr uint32_t EXT_BB_CONGEST_DOWN = 0x2000;  // bounceback congestion server to client
constexpr uint32_t EXT_BB_CONGEST_UP = 0x4000;    // bounceback congestion client to server
constexpr uint32_t EXT_IPV4 = 0x8000;             // IPv4 only (-4)

// thread_mode. Values 5, 6 and above 7 are unknown thread types.
enum ThreadMode : int32_t {
    kMode_Unknown = 0,
    kMode_Server = 1,
    kMode_Client = 2,
    kMode_ReporterServer = 3,  // reporter started on the server side
    kMode_ReporterClient = 4,  // reporter started on the client side
    kMode_Listener = 7,
};

// report_mode
enum ReportMode : int32_t { kReport_Default = 0, kReport_CSV = 1 };

// test_mode
enum TestMode : int32_t { kTest_Normal = 0, kTest_DualTest = 1, kTest_TradeOff = 2 };

// interval_mode
enum IntervalMode : int32_t { kInterval_None = 0, kInterval_Time = 1, kInterval_Frames = 2 };

// rate_units
enum RateUnits : uint8_t { kRate_BW = 0, kRate_PPS = 1 };

// Per-record wait pair, initialised by Settings_Copy.
struct SettingsAwait {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
};

constexpr int kPermitKeyMax = 128;  // longest permit key kept

struct thread_Settings {
    // Strings and buffers (owned).
    char *input_file;      // -F file, or "<stdin>" (-I)
    char *host;            // -c host; may get "%dev" for IPv6 link-local peers
    char *hidden_text;     // "(**hidden**)" with --hide-ips
    char *local_host;      // -B as typed, later without its port and device parts
    char *output_file;     // -o
    char *bind_device;     // device from -B, --tap-dev or the local interface
    char *host_device;     // device name split off the -c host
    char *ssm_source;      // -H
    char *isoch_spec;      // --isochronous value
    char *histogram_spec;  // --histograms value
    FILE *input_stream;    // open -F/-I input
    char *buf;             // read/write buffer, Settings_BufferSize(buf_len) bytes

    // Report and chaining pointers (not owned).
    SumReport *sum_report;
    SumReport *fullduplex_report;
    thread_Settings *run_next;   // next record of a start list
    thread_Settings *run_after;  // started when this thread has ended

    // Numbers of the test.
    int32_t threads;  // -P; on a server the tests to accept (0 = no limit)
    int32_t tos;
    int32_t override_tos;
    int32_t transfer_id;
    char *transfer_id_text;  // report line prefix, owned (setTransferID); copies start without
    int32_t connect_retries;
    int32_t sock;      // -1 when none
    int32_t udp_sock;  // kept while a packet socket receives in L2 mode; -1 otherwise
    int32_t input_chunk;
    int32_t buf_len;  // bytes per read or write (-l)
    int32_t mss;
    int32_t window_size;
    uint32_t option_flags;
    uint32_t test_flags;
    uint32_t extra_flags;
    ThreadMode thread_mode;
    ReportMode report_mode;
    TestMode test_mode;
    uint64_t rate;  // bits or packets per second (-b)
    RateUnits rate_units;
    uint64_t amount;  // OPT_TIME_MODE: hundredths of a second; else bytes (-n)
    uint32_t interval_usec;
    IntervalMode interval_mode;
    uint16_t listen_port;  // -L
    uint16_t port;         // -p
    uint16_t port_last;    // last port of a range; equals port without one
    uint16_t bind_port;    // port suffix of -B
    char format;           // -f
    int32_t ttl;           // -T, -1 = system default
    sockaddr_storage peer;
    uint32_t peer_len;
    sockaddr_storage local;
    uint32_t local_len;
    pthread_t thread_id;  // zero when not started
    int32_t dstip_index;
    int32_t srcip_index;
    int32_t srcport_index;
    int32_t connect_only_count;  // -1 = no count given
    char *congestion_algo;       // -Z (owned)
    int32_t histogram_bins;
    int32_t histogram_binwidth;
    int32_t histogram_units;  // power of ten of the unit divisor: 3 ms, 6 us
    double histogram_ci_lower;
    double histogram_ci_upper;
    double frame_rate;  // isochronous frames, or bursts, per second
    double isoch_mean;  // bits per second
    int32_t burst_size;
    double burst_ipg;  // --ipg
    int32_t l2_header_len;
    int32_t l2_payload_offset;
    int32_t recv_flags;
    double variance;
    uint64_t fq_rate;  // bytes per second
    int64_t txdelay_sec;
    int64_t txdelay_usec;
    int64_t txstart_sec;
    int64_t txstart_usec;
    int64_t accept_sec;
    int64_t accept_usec;
    int64_t trip_start_sec;
    int64_t trip_start_usec;
    SettingsAwait await;
    BarrierMutex *transmit_barrier;
    int32_t num_report_structs;
    uint32_t peer_version_hi;
    uint32_t peer_version_lo;
    double near_congest_weight;
    char permit_key[kPermitKeyMax + 1];
    int64_t key_time_sec;
    int64_t key_time_usec;
    uint8_t key_check;          // 1 when the key check passed or is not required
    double permit_key_timeout;  // seconds; -1 = not set
    int32_t tuntap_fd;
    int32_t first_read_len;
    int32_t bounceback_size;
    int32_t bounceback_count;  // -1 = not given
    int32_t bb_congest_streams;
    int32_t bounceback_hold;  // microseconds
    TcpStats connect_stats;
    int32_t rx_window_clamp;
    int32_t write_prefetch;
};

// --- Lifecycle ---

// Zeroes the record and sets the defaults: a ten-second TCP test to port 5001
// with 128 KiB writes. Also resets the process-wide option markers, which
// belong to the global record being built.
void Settings_Initialize(thread_Settings *settings);

// Allocates *into as a copy of from (see the file comment for what is shared).
// deep: duplicate every text field; otherwise only isoch_spec and hidden_text
// are duplicated and the other texts are null. The copy gets its own zeroed buf,
// its own await pair, no thread, no chain links, udp_sock -1, and never carries
// OPT_REPORT_SETTINGS.
void Settings_Copy(const thread_Settings *from, thread_Settings **into, bool deep);

// Closes tuntap_fd, destroys the await pair, frees every owned text, buf and the
// record itself (which must come from Settings_Copy or new).
void Settings_Destroy(thread_Settings *settings);

// Bytes of buf for a given buf_len: max(buf_len + 512, 1268).
size_t Settings_BufferSize(int32_t buf_len);

// Gives settings a fresh zero-filled buf of Settings_BufferSize(buf_len) bytes,
// releasing any old one. Used for the global record, which Initialize leaves
// without a buffer.
void Settings_AllocateBuffer(thread_Settings *settings);

// For a dual or tradeoff client: *listener = the record of the client's own
// listener (port listen_port or port, amount stretched to outlast the client).
// Otherwise *listener = nullptr.
void Settings_GenerateListenerSettings(const thread_Settings *client, thread_Settings **listener);

// --- Command line and environment ---

// Applies every TORIL_* (and TCP_WINDOW_SIZE) variable that is set.
void Settings_ParseEnvironment(thread_Settings *settings);

// Applies every option of argv (getopt_long rules), warns about extra
// arguments, then runs Settings_ModalOptions. May end the process (status 1).
void Settings_ParseCommandLine(int argc, char **argv, thread_Settings *settings);

// Applies one option: a short letter, or 0 for the pending long option. arg is
// the option's argument or nullptr. Unknown codes do nothing.
void Settings_Interpret(int option, const char *arg, thread_Settings *settings);

// Defaults that depend on other options, cross-checks and compound values.
// Ends the process with status 1 on any error.
void Settings_ModalOptions(thread_Settings *settings);

// "[addr]rest" -> "addr" in place; other texts are left alone.
void strip_v6_brackets(char *text);

// --- Texts ---

// The two-line usage, with the program name twice, on stream.
void Settings_PrintUsage(FILE *stream, const char *program_name);

// The two help texts, one after the other, on stream.
void Settings_PrintHelp(FILE *stream);

// "toril version ..." on stream.
void Settings_PrintVersion(FILE *stream);
