// Wire formats of a toril test: the test header a client sends at the start of
// a TCP stream or inside its first UDP datagram, the UDP datagram header, the
// test acknowledgement, the TCP burst header, the UDP isochronous payload
// fields, the bounceback message header and the UDP server report.
//
// Conventions of every format:
// - All integers are big-endian. Offsets are bytes from the start of the
//   buffer the format lives in; every field is written and read byte by byte.
// - A time is two 32-bit words, seconds then microseconds (seconds are the low
//   32 bits of the wall clock; a reader takes them unsigned).
// - A real number r is two signed 32-bit words: the integer part, then the
//   fraction x 10^6, both truncated toward zero; the reader rebuilds
//   first + second / 10^6. Values outside the int32 range saturate and NaN is
//   sent as 0, since a wider number has no wire form. A value within rounding
//   error of the next microsecond counts as that microsecond, so the binary
//   approximation of 0.999999 is not sent as 0.999998.
// - A 64-bit count is a low and a high 32-bit word, joined as high x 2^32 + low.
// - Reserved bytes are sent as zero unless a format says otherwise.
//
// Decoders take the number of bytes that actually arrived, never read past
// it, and return a HdrResult: kHdr_Ok, or a distinct failure that costs the
// caller that one test (the caller warns and drops it). Every length, count,
// size and rate a peer sends is checked against the bytes received and
// against the bounds below before anything is applied, and no decoder
// allocates memory sized by a peer's number beyond kHdrMaxBufLenTcp.
//
// Nothing here keeps state; the caller owns every buffer. Any thread may call
// these functions on its own records and buffers. The Settings_ functions
// change only the records they are given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "toril/core/settings.h"

// --- Results ---

enum HdrResult : int {
    kHdr_Ok = 0,
    kHdr_TooShort = -1,   // fewer bytes arrived than the format or its flags need
    kHdr_BadLength = -2,  // a length field that is impossible or outside the bounds
    kHdr_BadValue = -3,   // a value outside the bounds, or an impossible flag combination
    kHdr_NoMemory = -4,   // the buffer of a sending record could not be allocated
};

// A short name of a result ("ok", "too short", ...), for warnings.
const char *hdr_result_text(int result);

// --- Header flags (32-bit word at the start of client_hdr_v1) ---

constexpr uint32_t HDR_V1 = 0x80000000;              // connect back for a dual/tradeoff test
constexpr uint32_t HDR_EXTEND = 0x40000000;          // extended fields present
constexpr uint32_t HDR_UDPTESTS = 0x20000000;        // UDP options in the upper flags are valid
constexpr uint32_t HDR_KEYCHECK = 0x10000000;        // a permit key follows the header
constexpr uint32_t HDR_SEQNO64 = 0x08000000;         // 64-bit UDP sequence numbers
constexpr uint32_t HDR_V2 = 0x04000000;              // reverse/full duplex, or peer detection
constexpr uint32_t HDR_PEERDETECT = 0x02000000;      // the client wants the server's version
constexpr uint32_t HDR_BOUNCEBACK = 0x00800000;      // a bounceback header, not a test header
constexpr uint32_t HDR_SMALL_TRIPTIME = 0x00020000;  // short UDP datagrams, flags word only
constexpr uint32_t HDR_LEN = 0x00010000;             // bits 1 to 8 hold the header length x 2
constexpr uint32_t HDR_RUN_NOW = 0x00000001;         // with HDR_V1: dual rather than tradeoff

// --- Upper flags (16-bit word of the extended header) ---

constexpr uint16_t UPPER_ISOCH = 0x0001;           // isochronous test
constexpr uint16_t UPPER_IPV6 = 0x0002;            // UDP over IPv6
constexpr uint16_t UPPER_L2CHECKS = 0x0004;        // UDP L2 length checks
constexpr uint16_t UPPER_NO_UDP_FIN = 0x0008;      // no final UDP exchange
constexpr uint16_t UPPER_TRIP_TIMES = 0x0010;      // trip times; the start time is valid
constexpr uint16_t UPPER_ISOCH_SETTINGS = 0x0040;  // the isochronous block is present
constexpr uint16_t UPPER_RATE_PPS = 0x0080;        // the rate is in packets per second
constexpr uint16_t UPPER_FQ_RATE = 0x0200;         // the pacing rate fields are valid
constexpr uint16_t UPPER_REVERSE = 0x0400;         // reverse test
constexpr uint16_t UPPER_FULL_DUPLEX = 0x0800;     // full-duplex test
constexpr uint16_t UPPER_START_TIME = 0x1000;      // scheduled start time
constexpr uint16_t UPPER_BURST = 0x2000;           // periodic bursts
constexpr uint16_t UPPER_WRITE_PREFETCH = 0x4000;  // the write-prefetch field is valid
constexpr uint16_t UPPER_QUICKACK = 0x8000;        // the server sets TCP quick-ack

// --- Bounceback flags (16-bit word at offset 12 of a bounceback message) ---

constexpr uint16_t HDR_BB_QUICKACK = 0x8000;   // the server sets TCP quick-ack
constexpr uint16_t HDR_BB_TRIPTIMES = 0x4000;  // trip times
constexpr uint16_t HDR_BB_TOS = 0x2000;        // the type of service field is valid
constexpr uint16_t HDR_BB_STOP = 0x1000;       // last message of the test

// --- Version words this program sends (2.1.8, final release) ---

constexpr uint32_t kHdrVersionHi = 0x00020001;  // major x 65536 + minor
constexpr uint32_t kHdrVersionLo = 0x00080003;  // patch x 65536 + release kind (3 = final)

// --- Sizes ---

constexpr int kUdpHdrLen = 16;           // UDP datagram header
constexpr int kClientHdrV1Len = 24;      // client_hdr_v1 block
constexpr int kTcpClientHdrSpace = 244;  // buffer the TCP header may use (with a key)
constexpr int kUdpClientHdrSpace = 160;  // buffer the UDP header may use
constexpr int kSmallTripHdrLen = 20;     // UDP header + flags word
constexpr int kBounceBackHdrLen = 64;    // bounceback message header
constexpr int kBounceBackFirstLen = 60;  // what the test header call returns for it
constexpr int kTestAckLen = 28;          // test acknowledgement
constexpr int kTestAckTripLen = 52;      // ... with trip times
constexpr int kTcpBurstHdrLen = 92;      // bytes a TCP burst header occupies and is read as
constexpr int kUdpIsochLen = 108;        // datagram length that carries the frame fields
constexpr int kServerReportLen = 128;    // UDP server report
constexpr int kHdrKeyMinLen = 4;         // shortest permit key accepted
constexpr int kHdrPeerHostMax = 46;      // longest peer address text of a connect-back

// --- Bounds on values a peer sends (anything outside is kHdr_BadValue) ---

constexpr int32_t kHdrMaxThreads = 65535;                // parallel streams of a client
constexpr int32_t kHdrMaxBufLenTcp = 16 * 1024 * 1024;   // TCP read/write size
constexpr int32_t kHdrMaxBufLenUdp = 65535;              // UDP datagram size
constexpr uint64_t kHdrMaxRate_bps = 10000000000000ULL;  // 10 Tbit/s
constexpr uint64_t kHdrMaxRate_pps = 1000000000ULL;      // 10^9 datagrams per second
constexpr double kHdrMaxFrameRate = 1000000.0;           // frames or bursts per second
constexpr double kHdrMaxIpg = 60000.0;                   // inter-packet gap (ms, as --ipg)
constexpr int32_t kHdrMaxBounceBackHold_us = 10000000;   // server hold per message (10 s)
constexpr int kHdrTxStartWindow_s = 3600;  // a start time more than 3601 s away is dropped
constexpr int kHdrTripWindow_s = 600;      // a trip start more than 601 s away is dropped

// Reads the header flags word at offset 0. kHdr_TooShort when len < 4.
int hdr_flags_read(const uint8_t *buf, int len, uint32_t *flags);

// ===========================================================================
// 1. UDP datagram header (first 16 bytes of every datagram of a test)
//
// | Offset | Size | Field                                     |
// |--------|------|-------------------------------------------|
// | 0      | 4    | sequence number, low 32 bits (signed)     |
// | 4      | 4    | send time, seconds                        |
// | 8      | 4    | send time, microseconds                   |
// | 12     | 4    | sequence number, high 32 bits             |
//
// Datagrams are numbered from 1; a negative number marks a final datagram
// (its magnitude is the datagram's number). Without 64-bit sequence numbers
// the low word alone is the signed number.
// ===========================================================================

struct UdpHdr {
    int64_t seqno;  // may be INT64_MIN when a peer sends it; see udp_seqno_magnitude
    int64_t sent_sec;
    int64_t sent_usec;
};

// Writes the 16 bytes: the low and high words of seqno and the send time.
// Returns 16, or kHdr_TooShort when cap < 16 (nothing written).
int hdr_udp_write(uint8_t *buf, size_t cap, const UdpHdr &hdr);

// Reads the 16 bytes. seqno64: join both words; otherwise the signed low word.
// Returns kHdr_Ok or kHdr_TooShort (len < 16). Values are as sent.
int hdr_udp_read(const uint8_t *buf, int len, bool seqno64, UdpHdr *hdr);

// |seqno| of a final datagram; INT64_MIN (only a peer's choice) gives INT64_MAX.
int64_t udp_seqno_magnitude(int64_t seqno);

// ===========================================================================
// 2. Test header, client_hdr_v1 block (24 bytes; at offset 0 of the TCP
//    stream, at offset 16 of a UDP datagram)
//
// | Offset | Size | Field                                                     |
// |--------|------|-----------------------------------------------------------|
// | 0      | 4    | header flags                                              |
// | 4      | 4    | threads of the client                                     |
// | 8      | 4    | port for the reverse connection: listen_port, else port   |
// | 12     | 4    | buf_len with OPT_LEN_SET, else 0                          |
// | 16     | 4    | reserved                                                  |
// | 20     | 4    | amount: -amount (hundredths of a second) with             |
// |        |      | OPT_TIME_MODE, else the byte count (0 to 2^31 - 1)        |
//
// 3. Extended test header for TCP (follows client_hdr_v1)
//
// | Offset | Size | Field                                                      |
// |--------|------|------------------------------------------------------------|
// | 24     | 8    | reserved                                                   |
// | 32     | 2    | upper flags                                                |
// | 34     | 2    | reserved                                                   |
// | 36     | 4    | version high word                                          |
// | 40     | 4    | version low word                                           |
// | 44     | 2    | reserved                                                   |
// | 46     | 2    | type of service                                            |
// | 48     | 4    | rate, low 32 bits (with OPT_RATE_SET)                      |
// | 52     | 4    | rate bits 32 to 55, shifted left by 8                      |
// | 56     | 4    | write_prefetch (EXT_WRITE_PREFETCH, reverse/full duplex)   |
// | 60     | 4    | reserved                                                   |
// | 64     | 8    | start time: txstart, or the client's first-write time      |
// | 72     | 4    | fq_rate, low word                                          |
// | 76     | 4    | fq_rate, high word                                         |
// | 80     | 32   | isochronous or burst block (format 5)                      |
//
// The fields at 64 to 79 exist with trip times, a pacing rate, a start time
// or an isochronous test (header length 80). A burst or isochronous block adds
// 32; a permit key adds its 16-bit length at the header length and the key
// bytes after it (at most 128).
//
// 4. Extended test header for UDP (first datagram)
//
// | Offset | Size | Field                                                      |
// |--------|------|------------------------------------------------------------|
// | 0      | 16   | UDP datagram header                                        |
// | 16     | 24   | client_hdr_v1 block                                        |
// | 40     | 8    | reserved                                                   |
// | 48     | 2    | upper flags                                                |
// | 50     | 2    | reserved                                                   |
// | 52     | 4    | version high word                                          |
// | 56     | 4    | version low word                                           |
// | 60     | 2    | reserved                                                   |
// | 62     | 2    | type of service                                            |
// | 64     | 4    | rate, low 32 bits; 1048576 bits/s when no rate is set       |
// | 68     | 4    | rate bits 32 to 55, shifted left by 8                      |
// | 72     | 40   | reserved for the isochronous payload fields (format 9)     |
// | 112    | 8    | start time (trip times or a start time)                    |
// | 120    | 4    | fq_rate, low word                                          |
// | 124    | 4    | fq_rate, high word                                         |
// | 128    | 32   | isochronous block (reverse or full-duplex isochronous)     |
//
// A UDP field lies where the table says even when the announced header
// length ends before it (the datagram is at least buf_len bytes); a reader
// takes it only from bytes that arrived.
//
// 5. Isochronous block (32 bytes): frames per second, mean rate in bits per
//    second, variance, inter-packet gap, each a real (offsets 0, 8, 16, 24).
//    Burst block (TCP, same place): frame_rate (real) at 0, burst_size
//    (32-bit) at 8, variance (real) at 16.
// ===========================================================================

// A test header as read from the wire, host order, before any of it is
// applied. has_* say which parts arrived and are valid under the flags.
struct ClientHdr {
    uint32_t flags;
    int header_len;  // announced length; for UDP it counts the datagram header
    bool has_v1;     // client_hdr_v1 (HDR_V1, HDR_EXTEND or HDR_V2)
    int32_t threads;
    uint16_t port;
    int32_t buf_len;  // 0: the client did not set it
    int32_t amount;   // negative: hundredths of a second; else bytes
    bool has_upper;   // upper flags (HDR_EXTEND or HDR_V2)
    uint16_t upper;
    bool has_extend;  // version, tos, rate, write prefetch (HDR_EXTEND)
    uint32_t version_hi;
    uint32_t version_lo;
    uint16_t tos;
    uint64_t rate;
    int32_t write_prefetch;  // valid with UPPER_WRITE_PREFETCH
    bool has_start;          // UPPER_START_TIME or UPPER_TRIP_TIMES
    int64_t start_sec;
    int64_t start_usec;
    bool has_fq;  // UPPER_FQ_RATE
    uint64_t fq_rate;
    bool has_burst;  // UPPER_BURST (TCP): burst frame rate
    double burst_frame_rate;
    bool has_burst_size;  // the burst size arrived too
    int32_t burst_size;
    bool has_isoch;  // isochronous block arrived (TCP: 112 bytes announced;
                     // UDP: UPPER_ISOCH_SETTINGS)
    double isoch_fps;
    double isoch_mean;
    double isoch_variance;
    double isoch_ipg;
};

// Reads and checks a test header. buf is the start of the TCP stream or of
// the UDP datagram; len the bytes received (for TCP the header bytes the
// listener read; a permit key after the announced length is not read here).
// Without HDR_V1, HDR_EXTEND and HDR_V2 (and for HDR_SMALL_TRIPTIME on UDP)
// only flags is filled. Checks, in this order:
// - kHdr_TooShort: fewer than 4 bytes (TCP) or 20 (UDP); fewer bytes than the
//   announced length; a flag whose field did not arrive (UDP).
// - kHdr_BadLength: an announced length too small for the parts its flags
//   announce (TCP: 24 with HDR_V1, 36 with HDR_V2, 60 with HDR_EXTEND, 72/80
//   for a start time/pacing rate, 88 for a burst block, 2 more for a key).
// - kHdr_BadValue: threads outside 0..kHdrMaxThreads; a port above 65535;
//   buf_len negative or above kHdrMaxBufLenTcp/Udp; tos above 255; a rate above
//   kHdrMaxRate_bps (kHdrMaxRate_pps with UPPER_RATE_PPS), or 0 for UDP; a
//   negative write prefetch; a burst frame rate outside 0..kHdrMaxFrameRate or
//   a negative burst size; isochronous frames per second outside
//   (0, kHdrMaxFrameRate], a negative mean or variance, a gap outside
//   0..kHdrMaxIpg; UPPER_REVERSE with UPPER_FULL_DUPLEX; UPPER_BURST with
//   UPPER_ISOCH (TCP); HDR_BOUNCEBACK in a TCP test header.
// Start times are not judged here: the Settings_ReadClientHdr functions drop
// one outside its clock window (or with 10^6 microseconds or more).
int hdr_client_read(const uint8_t *buf, int len, bool udp, ClientHdr *hdr);

// Writes the test header for the client record into buf (which must hold
// kTcpClientHdrSpace bytes for TCP, kUdpClientHdrSpace for UDP) and returns
// the number of bytes to send (for a permit key, including the key), or
// kHdr_TooShort when cap is smaller. start_sec/start_usec: txstart under
// TEST_TXSTART, else the time of the first write. For UDP the datagram header
// (bytes 0 to 15) is left to the caller; a UDP test with EXT_SMALL_TRIPTIME
// gets only the flags word at 16 and returns 20 (the flags word included).
// A TCP bounceback test gets the flag word HDR_BOUNCEBACK and returns 60.
int Settings_GenerateClientHdr(const thread_Settings *client, uint8_t *buf, size_t cap,
                               int64_t start_sec, int64_t start_usec);

// Writes the client_hdr_v1 block at v1 (24 bytes; flags are left zero for
// the caller). Returns 24.
int Settings_GenerateClientHdrV1(const thread_Settings *client, uint8_t *v1);

// The number of header bytes the server must read, counting the flags word:
// 0 when the flags carry none of HDR_V1, HDR_EXTEND, HDR_V2 and the server has
// no permit key; with HDR_LEN (flags / 2) mod 256; otherwise 24 with HDR_V1 or
// HDR_EXTEND, plus 36 with HDR_EXTEND or HDR_V2. kHdr_BadLength when that
// length cannot hold the parts the flags announce (see hdr_client_read), or
// HDR_KEYCHECK comes without HDR_LEN.
int Settings_ClientTestHdrLen(uint32_t flags, const thread_Settings *server);

// Length of the permit key that follows a TCP header of hdr_len bytes (its
// 16-bit length sits at hdr_len - 2). kHdr_TooShort when hdr_len < 6 or
// exceeds len; kHdr_BadLength when the key length is outside 4..128.
int Settings_ClientKeyLen(const uint8_t *hdr, int len, int hdr_len);

// Decodes a client_hdr_v1 block (format 2) into the record of a sending
// side: port, threads = 1, buf_len and OPT_LEN_SET when the field is not 0,
// and the amount (negative: OPT_TIME_MODE, amount = its magnitude; else
// OPT_TIME_MODE cleared, amount = the bytes). A larger buf_len gets a larger
// buf. Returns kHdr_Ok, kHdr_TooShort (len < 24), kHdr_BadValue (bounds as
// hdr_client_read, buf_len bound by OPT_UDP of the record) or kHdr_NoMemory;
// on failure the record is unchanged.
int Settings_ReadClientSettingsV1(thread_Settings *settings, const uint8_t *v1, int len);

// Decodes an isochronous block (format 5) into frame_rate, isoch_mean,
// variance and burst_ipg. kHdr_TooShort (len < 32) or kHdr_BadValue (bounds
// as hdr_client_read) leave the record unchanged.
int Settings_ReadClientSettingsIsoch(thread_Settings *settings, const uint8_t *block, int len);

// Applies a received TCP test header to the server's record (the listener's
// copy). hdr/len: the header bytes read (flags word included). now_sec: the
// server's wall clock. On success first_read_len = len; HDR_V1 without
// HDR_V2 sets test_mode; with HDR_EXTEND: tos, peer versions, UPPER_ISOCH,
// the start time (TEST_TXSTART when within 3601 s of now, else the warning on
// standard output) and trip times (within 601 s unless TEST_TXSTART, else the
// warning), UPPER_BURST (OPT_ENHANCED, TEST_FRAME_INTERVAL, EXT_BURST and
// frame_rate, 1.0 for 0); with HDR_V2 full duplex or reverse (the record
// becomes a client); write prefetch; quick-ack. Any failure of
// hdr_client_read is returned and nothing is applied.
int Settings_ReadClientHdrTcp(thread_Settings *server, const uint8_t *hdr, int len,
                              int64_t now_sec);

// Applies the first UDP datagram of a test (dgram: start of the UDP payload,
// len its length) to the server's record: TEST_SEQNO64; HDR_SMALL_TRIPTIME
// (trip start = the send time, with the trip window and the warning for a
// first datagram other than 1); else test_mode, and with HDR_EXTEND tos,
// versions and the start/trip-time rules (fields at 112), with HDR_UDPTESTS
// isochronous, IPv6, L2 checks and no-FIN, with HDR_V2 full duplex or reverse
// (a client with TEST_SERVER_REVERSE and TEST_NO_UDP_FIN, without
// OPT_REPORT_SETTINGS). Failures of hdr_client_read apply nothing.
int Settings_ReadClientHdrUdp(thread_Settings *server, const uint8_t *dgram, int len,
                              int64_t now_sec);

// True when a TCP server (not in compatibility mode) answers these header
// flags with the test acknowledgement: HDR_EXTEND without HDR_V2, or
// HDR_PEERDETECT.
bool Settings_TestAckWanted(uint32_t flags);

// Builds the record of the server's sending side from the decoded server
// record and the received header (hdr/len as given to the decoder, i.e. the
// TCP header or the UDP datagram):
// - full duplex or a legacy request (HDR_V1 without HDR_V2): *client is a new
//   shallow copy (Settings_Copy) that the caller owns; it keeps
//   TEST_FULL_DUPLEX only for a full-duplex request without HDR_V1, and the
//   server's amount becomes the sending amount + 200;
// - server-reverse without full duplex: *client = server itself;
// - otherwise *client = nullptr.
// The sending record becomes a client with the v1 fields, rate, tos, pacing
// rate, isochronous or burst settings, OPT_NO_SETTINGS_REPORT and
// TEST_NO_CONNECT_SYNC and without TEST_TXDELAY; a legacy request gets
// TEST_SERVER_REVERSE, its test_mode and the peer's address text as host;
// otherwise test_mode is cleared and with TEST_FQ_RATE the socket's pacing
// rate is set ("setsockopt SO_MAX_PACING_RATE" warning on failure).
// Report numbers are the caller's. On failure *client = nullptr and the
// server record is unchanged.
int Settings_GenerateClientSettings(thread_Settings *server, thread_Settings **client,
                                    const uint8_t *hdr, int len);

// ===========================================================================
// 7. Test acknowledgement (server to client, TCP), 28 bytes, 52 with trip times
//
// | Offset | Size | Field                                                |
// |--------|------|------------------------------------------------------|
// | 0      | 4    | type: 2                                              |
// | 4      | 4    | length of this message (28 or 52)                    |
// | 8      | 4    | reserved                                             |
// | 12     | 4    | version high word                                    |
// | 16     | 4    | version low word                                     |
// | 20     | 8    | reserved                                             |
// | 28     | 8    | client's start time from the header (trip times)     |
// | 36     | 8    | time the server accepted the connection              |
// | 44     | 8    | time the server sent this message                    |
// ===========================================================================

constexpr uint32_t kTestAckType = 2;

struct TestAck {
    bool trip_times;  // 52-byte form
    uint32_t version_hi;
    uint32_t version_lo;
    int64_t start_sec;
    int64_t start_usec;
    int64_t accept_sec;
    int64_t accept_usec;
    int64_t sent_sec;
    int64_t sent_usec;
};

// Writes 28 or 52 bytes; returns that length, or kHdr_TooShort when cap is
// smaller. The times are written only in the 52-byte form.
int hdr_ack_write(uint8_t *buf, size_t cap, const TestAck &ack);

// Reads an acknowledgement. kHdr_TooShort when len < 28 or the length word
// says 52 and fewer arrived; kHdr_BadValue for a type other than 2;
// kHdr_BadLength for a length word other than 28 or 52.
int hdr_ack_read(const uint8_t *buf, int len, TestAck *ack);

// The server's acknowledgement from its record: this program's version, and
// with TEST_TRIP_TIMES the trip start, the accept time and now. Returns the
// length or kHdr_TooShort.
int Settings_GenerateTestAck(const thread_Settings *server, uint8_t *buf, size_t cap,
                             int64_t now_sec, int64_t now_usec);

// ===========================================================================
// 8. TCP burst header (start of each burst or frame of a TCP burst,
//    isochronous or trip-time test; the writer leaves the other bytes alone)
//
// | Offset | Size | Field                                               |
// |--------|------|-----------------------------------------------------|
// | 12     | 8    | start time of the test (the client's report start)  |
// | 20     | 8    | time this burst was written                         |
// | 40     | 4    | frame period in microseconds                        |
// | 44     | 4    | frame or burst number                               |
// | 48     | 4    | bytes in this burst                                 |
// | 52     | 4    | running byte count to the end of the burst, low     |
// | 56     | 4    | running byte count, high word                       |
//
// The header occupies kTcpBurstHdrLen (92) bytes of the stream; the reader
// needs all 92.
// ===========================================================================

struct TcpBurstHdr {
    int64_t start_sec;
    int64_t start_usec;
    int64_t write_sec;
    int64_t write_usec;
    uint32_t period_us;
    uint32_t burst_id;
    uint32_t burst_size;  // a reader gets at most INT32_MAX
    uint64_t byte_count;
};

// Writes the fields above (only those bytes). Returns 92 or kHdr_TooShort.
int hdr_burst_write(uint8_t *buf, size_t cap, const TcpBurstHdr &hdr);

// Writes only the frame period (offset 40), as the client does before its
// first burst. Returns 92 or kHdr_TooShort.
int hdr_burst_write_period(uint8_t *buf, size_t cap, uint32_t period_us);

// Reads the fields. kHdr_TooShort when len < 92; kHdr_BadValue for a burst
// size above INT32_MAX (the receiver counts the rest of a burst in an int).
int hdr_burst_read(const uint8_t *buf, int len, TcpBurstHdr *hdr);

// ===========================================================================
// 9. UDP isochronous payload fields (in every datagram of a UDP isochronous
//    test)
//
// | Offset | Size | Field                                               |
// |--------|------|-----------------------------------------------------|
// | 76     | 4    | frame period in microseconds                        |
// | 80     | 8    | start time of the first frame                       |
// | 88     | 4    | previous frame number                               |
// | 92     | 4    | frame number                                        |
// | 96     | 4    | bytes in this frame                                 |
// | 100    | 4    | bytes of this frame still to send, this datagram in |
//
// A datagram shorter than kUdpIsochLen (108) carries no frame fields.
// ===========================================================================

struct UdpIsochFields {
    uint32_t period_us;
    int64_t start_sec;
    int64_t start_usec;
    uint32_t prev_frame_id;
    uint32_t frame_id;
    uint32_t frame_bytes;
    uint32_t remaining;
};

// Writes the fields (only those bytes). Returns 108 or kHdr_TooShort.
int hdr_isoch_write(uint8_t *buf, size_t cap, const UdpIsochFields &fields);

// Reads the fields. kHdr_TooShort when len < 108. Values are as sent.
int hdr_isoch_read(const uint8_t *buf, int len, UdpIsochFields *fields);

// ===========================================================================
// 10. Bounceback message header (first 64 bytes of each message)
//
// | Offset | Size | Field                                                 |
// |--------|------|-------------------------------------------------------|
// | 0      | 4    | header flags: HDR_BOUNCEBACK                          |
// | 4      | 4    | message size in bytes                                 |
// | 8      | 4    | burst number                                          |
// | 12     | 2    | bounceback flags (HDR_BB_*)                           |
// | 14     | 2    | type of service                                       |
// | 16     | 4    | reserved                                              |
// | 20     | 8    | client send time                                      |
// | 28     | 8    | server receive time (all ones as sent by the client)  |
// | 36     | 8    | server send time (all ones as sent by the client)     |
// | 44     | 4    | bounceback_hold in microseconds                       |
// | 48     | 16   | filler, bytes 0x5A ("Z")                              |
// ===========================================================================

struct BounceBackHdr {
    uint32_t flags;
    uint32_t size;
    uint32_t burst_id;
    uint16_t bb_flags;
    uint16_t tos;
    int64_t client_send_sec;
    int64_t client_send_usec;
    int64_t server_recv_sec;  // -1/-1 stands for all ones
    int64_t server_recv_usec;
    int64_t server_send_sec;
    int64_t server_send_usec;
    int32_t hold_us;
};

// Writes the 64 bytes (reserved zero, filler 0x5A); a time of -1 is sent as
// all ones. Returns 64 or kHdr_TooShort.
int hdr_bounceback_write(uint8_t *buf, size_t cap, const BounceBackHdr &hdr);

// Reads the 64 bytes; all-ones times come back as -1. kHdr_TooShort when
// len < 64. The size is as sent (Settings_ReadBounceBackHdr checks it).
int hdr_bounceback_read(const uint8_t *buf, int len, BounceBackHdr *hdr);

// Stamps the server receive time (offsets 28 to 35) into a message.
// Returns 64 or kHdr_TooShort.
int hdr_bounceback_stamp_recv(uint8_t *buf, size_t len, int64_t sec, int64_t usec);

// Stamps the server send time (offsets 36 to 43) and, when tos is not 0, the
// type of service (offset 14). Returns 64 or kHdr_TooShort.
int hdr_bounceback_stamp_send(uint8_t *buf, size_t len, int64_t sec, int64_t usec, int tos);

// Applies a received bounceback header to the server's record: OPT_TIME_MODE
// cleared unless OPT_TIME_SET, EXT_BOUNCEBACK, bounceback_size and
// bounceback_hold, and from the flags TEST_TRIP_TIMES with the client send
// time as trip start, tos, EXT_QUICKACK. max_size is the largest message the
// caller's buffer holds. kHdr_TooShort (len < 64); kHdr_BadValue without
// HDR_BOUNCEBACK, for a hold outside 0..kHdrMaxBounceBackHold_us or a type of
// service above 255; kHdr_BadLength for a size below 64 or above max_size.
// Nothing is applied on failure.
int Settings_ReadBounceBackHdr(thread_Settings *server, const uint8_t *hdr, int len, int max_size);

// ===========================================================================
// 11. UDP server report (server to client at the end of a UDP test, 128 bytes)
//
// | Offset | Size | Field                                                   |
// |--------|------|---------------------------------------------------------|
// | 0      | 16   | zero                                                    |
// | 16     | 4    | flags: HDR_V1 | HDR_SEQNO64, HDR_EXTEND when enhanced   |
// | 20     | 4    | total bytes received, high word                         |
// | 24     | 4    | total bytes received, low word                          |
// | 28     | 8    | end time of the test, seconds (real)                    |
// | 36     | 4    | datagrams lost, low word                                |
// | 40     | 4    | datagrams out of order, low word                        |
// | 44     | 4    | datagrams received, low word                            |
// | 48     | 8    | jitter (real, seconds)                                  |
// | 56     | 8    | transit minimum (real)                                  |
// | 64     | 8    | transit maximum (real)                                  |
// | 72     | 8    | transit sum (real)                                      |
// | 80     | 8    | transit mean (real)                                     |
// | 88     | 8    | transit M2 x 10^12 (real)                               |
// | 96     | 8    | transit variance term (real)                            |
// | 104    | 4    | transit sample count                                    |
// | 108    | 4    | datagrams per second (received / duration, truncated)   |
// | 112    | 4    | 1                                                       |
// | 116    | 4    | datagrams lost, high word                               |
// | 120    | 4    | datagrams out of order, high word                       |
// | 124    | 4    | datagrams received, high word                           |
//
// The reader takes the high words only with HDR_SEQNO64 and the fields from
// 56 on only with HDR_EXTEND. The words at 108 and 112 are read by the
// client as the inter-packet gap count and sum.
// ===========================================================================

struct UdpServerReport {
    bool enhanced;  // HDR_EXTEND: the transit fields are valid
    bool seqno64;   // HDR_SEQNO64: the high words are valid (always set by the writer)
    uint64_t total_bytes;
    double end_time_s;
    uint64_t lost;
    uint64_t out_of_order;
    uint64_t datagrams;
    double jitter_s;
    double transit_min_s;
    double transit_max_s;
    double transit_sum_s;
    double transit_mean_s;
    double transit_m2_s2;  // sent x 10^12 (microseconds squared)
    double transit_variance_term;
    uint32_t transit_count;
    uint32_t ipg_count;  // datagrams per second
    uint32_t ipg_sum;    // 1
};

// Writes the 128 bytes (flags from enhanced; HDR_SEQNO64 always). Returns 128
// or kHdr_TooShort.
int hdr_server_report_write(uint8_t *buf, size_t cap, const UdpServerReport &report);

// Reads a server report datagram from its offset 0. kHdr_TooShort when fewer
// bytes arrived than its flags need (56; 116 with HDR_EXTEND; 128 with
// HDR_SEQNO64); kHdr_BadValue when the flags lack HDR_V1. Fields a flag
// leaves out come back as 0.
int hdr_server_report_read(const uint8_t *buf, int len, UdpServerReport *report);

// Sends the server report on sock (the report's send socket, else its receive
// socket) and repeats it while the client keeps sending: up to 9 times, write
// the 128 bytes ("write-ackfin" warning when that fails), then wait up to
// 250 ms for a datagram; none ends the exchange (returns 0); one is read and
// the report written again. A read error other than try-again or interrupted,
// the ninth pass, or no memory for the max(256, 2 x buf_len)-byte buffer print
// "[%3d] WARNING: ack of last datagram failed.\n" with sock on standard error
// and return -1.
int write_UDP_AckFIN(const UdpServerReport &report, int sock, int buf_len);
