// The settings record: defaults, buffer sizes, copies and the dual-test listener.
#include "toril/core/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Owns a record made by new + Settings_Initialize.
struct Record {
    thread_Settings *s = new thread_Settings;
    Record() { Settings_Initialize(s); }
    ~Record() { Settings_Destroy(s); }
};

TEST(SettingsInitialize, FreshRecordIsATenSecondTcpTestToPort5001) {
    Record r;
    const thread_Settings &s = *r.s;
    EXPECT_EQ(s.sock, -1);
    EXPECT_EQ(s.udp_sock, -1);
    EXPECT_EQ(s.tuntap_fd, -1);
    EXPECT_EQ(s.port, 5001);
    EXPECT_EQ(s.option_flags, OPT_TIME_MODE | OPT_STDOUT);
    EXPECT_EQ(s.test_flags, 0u);
    EXPECT_EQ(s.extra_flags, 0u);
    EXPECT_EQ(s.thread_mode, kMode_Unknown);
    EXPECT_EQ(s.report_mode, kReport_Default);
    EXPECT_EQ(s.test_mode, kTest_Normal);
    EXPECT_EQ(s.rate_units, kRate_BW);
    EXPECT_EQ(s.permit_key_timeout, -1);
    EXPECT_EQ(s.format, 'a');
    EXPECT_EQ(s.buf_len, 131072);
    EXPECT_EQ(s.amount, 1000u);
    EXPECT_EQ(s.interval_mode, kInterval_None);
    EXPECT_EQ(s.ttl, -1);
    EXPECT_EQ(s.key_check, 1);
    EXPECT_EQ(s.frame_rate, 1.0);
    EXPECT_EQ(s.host, nullptr);
    EXPECT_EQ(s.buf, nullptr);
    EXPECT_EQ(s.threads, 0);
}

TEST(SettingsBuffer, SizeIsBufLenPlus512WithA1268Floor) {
    const struct {
        int32_t buf_len;
        size_t bytes;
    } cases[] = {{100, 1268},      {755, 1268}, {756, 1268}, {757, 1269},
                 {131072, 131584}, {0, 1268},   {-5, 1268},  {INT32_MAX, 2147484159u}};
    for (const auto &c : cases) {
        EXPECT_EQ(Settings_BufferSize(c.buf_len), c.bytes) << "buf_len " << c.buf_len;
    }
}

TEST(SettingsBuffer, AllocatedBufferIsZeroFilledAndWritableToTheEnd) {
    Record r;
    r.s->buf_len = 100;
    Settings_AllocateBuffer(r.s);
    ASSERT_NE(r.s->buf, nullptr);
    for (size_t i = 0; i < 1268; ++i) ASSERT_EQ(r.s->buf[i], 0) << i;
    r.s->buf[1267] = 'x';          // ASan catches a short buffer
    Settings_AllocateBuffer(r.s);  // replacing frees the old one
    EXPECT_EQ(r.s->buf[1267], 0);
}

void fill_texts(thread_Settings *s) {
    auto set = [](char **field, const char *text) { *field = strdup(text); };
    set(&s->host, "host");
    set(&s->output_file, "out");
    set(&s->local_host, "local");
    set(&s->input_file, "in");
    set(&s->histogram_spec, "1m,100");
    set(&s->ssm_source, "ssm");
    set(&s->bind_device, "eth0");
    set(&s->host_device, "eth1");
    set(&s->isoch_spec, "60:1m");
    set(&s->congestion_algo, "cubic");
    set(&s->hidden_text, "(**hidden**)");
}

TEST(SettingsCopy, DeepCopyOwnsEveryTextAndOutlivesItsSource) {
    thread_Settings *source = new thread_Settings;
    Settings_Initialize(source);
    fill_texts(source);
    source->buf_len = 2000;
    Settings_AllocateBuffer(source);
    auto *report = reinterpret_cast<SumReport *>(0x1234);
    source->sum_report = report;
    source->fullduplex_report = report;
    source->run_next = source;
    source->run_after = source;
    source->thread_id = pthread_self();
    source->udp_sock = 7;
    source->option_flags |= OPT_REPORT_SETTINGS | OPT_UDP;
    strcpy(source->permit_key, "secret");

    thread_Settings *copy = nullptr;
    Settings_Copy(source, &copy, true);
    char *const texts_of_source[] = {
        source->host,           source->output_file,     source->local_host,  source->input_file,
        source->histogram_spec, source->ssm_source,      source->bind_device, source->host_device,
        source->isoch_spec,     source->congestion_algo, source->hidden_text, source->buf};
    const char *const texts_of_copy[] = {
        copy->host,           copy->output_file,     copy->local_host,  copy->input_file,
        copy->histogram_spec, copy->ssm_source,      copy->bind_device, copy->host_device,
        copy->isoch_spec,     copy->congestion_algo, copy->hidden_text, copy->buf};
    for (size_t i = 0; i < sizeof texts_of_copy / sizeof texts_of_copy[0]; ++i) {
        ASSERT_NE(texts_of_copy[i], nullptr) << i;
        EXPECT_NE(texts_of_copy[i], texts_of_source[i]) << i;
    }
    Settings_Destroy(source);  // the copy must not depend on anything freed here

    EXPECT_STREQ(copy->host, "host");
    EXPECT_STREQ(copy->output_file, "out");
    EXPECT_STREQ(copy->local_host, "local");
    EXPECT_STREQ(copy->input_file, "in");
    EXPECT_STREQ(copy->histogram_spec, "1m,100");
    EXPECT_STREQ(copy->ssm_source, "ssm");
    EXPECT_STREQ(copy->bind_device, "eth0");
    EXPECT_STREQ(copy->host_device, "eth1");
    EXPECT_STREQ(copy->isoch_spec, "60:1m");
    EXPECT_STREQ(copy->congestion_algo, "cubic");
    EXPECT_STREQ(copy->hidden_text, "(**hidden**)");
    EXPECT_STREQ(copy->permit_key, "secret");
    EXPECT_EQ(copy->buf_len, 2000);
    for (size_t i = 0; i < 2512; ++i) ASSERT_EQ(copy->buf[i], 0) << i;
    EXPECT_EQ(copy->sum_report, report);
    EXPECT_EQ(copy->fullduplex_report, report);
    EXPECT_EQ(copy->run_next, nullptr);
    EXPECT_EQ(copy->run_after, nullptr);
    EXPECT_EQ(copy->thread_id, pthread_t());
    EXPECT_EQ(copy->udp_sock, -1);
    EXPECT_EQ(copy->option_flags & OPT_REPORT_SETTINGS, 0u);
    EXPECT_TRUE(copy->option_flags & OPT_UDP);
    // Its wait pair is usable.
    EXPECT_EQ(pthread_mutex_lock(&copy->await.mutex), 0);
    EXPECT_EQ(pthread_mutex_unlock(&copy->await.mutex), 0);
    Settings_Destroy(copy);
}

TEST(SettingsCopy, ShallowCopyKeepsOnlyIsochronousSpecAndHiddenText) {
    Record r;
    fill_texts(r.s);
    thread_Settings *copy = nullptr;
    Settings_Copy(r.s, &copy, false);
    EXPECT_EQ(copy->host, nullptr);
    EXPECT_EQ(copy->output_file, nullptr);
    EXPECT_EQ(copy->local_host, nullptr);
    EXPECT_EQ(copy->input_file, nullptr);
    EXPECT_EQ(copy->histogram_spec, nullptr);
    EXPECT_EQ(copy->ssm_source, nullptr);
    EXPECT_EQ(copy->bind_device, nullptr);
    EXPECT_EQ(copy->host_device, nullptr);
    EXPECT_EQ(copy->congestion_algo, nullptr);
    ASSERT_NE(copy->isoch_spec, nullptr);
    EXPECT_NE(copy->isoch_spec, r.s->isoch_spec);
    EXPECT_STREQ(copy->isoch_spec, "60:1m");
    ASSERT_NE(copy->hidden_text, nullptr);
    EXPECT_NE(copy->hidden_text, r.s->hidden_text);
    Settings_Destroy(copy);
    EXPECT_STREQ(r.s->host, "host");  // the source keeps its own texts
}

TEST(SettingsCopy, TapDescriptorStaysWithTheRecordThatOpenedIt) {
    Record r;
    r.s->tuntap_fd = 99;  // never closed by a copy's Destroy
    thread_Settings *copy = nullptr;
    Settings_Copy(r.s, &copy, true);
    EXPECT_EQ(copy->tuntap_fd, -1);
    Settings_Destroy(copy);
    r.s->tuntap_fd = -1;
}

TEST(SettingsDestroy, LockedWaitMutexIsReleasedAndNullIsIgnored) {
    thread_Settings *s = new thread_Settings;
    Settings_Initialize(s);
    pthread_mutex_lock(&s->await.mutex);
    Settings_Destroy(s);
    Settings_Destroy(nullptr);
}

TEST(SettingsListener, DualAndTradeoffClientsGetTheirOwnListener) {
    const struct {
        const char *name;
        TestMode mode;
        uint16_t listen_port;
        uint64_t amount;
        int32_t buf_len;
        bool udp;
        uint16_t want_port;
        uint64_t want_amount;
        int32_t want_buf_len;
    } cases[] = {
        {"dual", kTest_DualTest, 0, 1000, 131072, false, 5001, 1200, 131072},
        {"tradeoff with -L", kTest_TradeOff, 6000, 1000, 8000, false, 6000, 1300, 8000},
        {"short test stretched to 3 s", kTest_DualTest, 0, 50, 1470, true, 5001, 300, 1470},
        {"udp without a length", kTest_DualTest, 0, 1000, 0, true, 5001, 1200, 1470},
        {"tcp without a length", kTest_TradeOff, 0, 1000, 0, false, 5001, 1300, 131072},
        {"no overflow", kTest_DualTest, 0, UINT64_MAX - 10, 100, false, 5001, UINT64_MAX, 100},
    };
    for (const auto &c : cases) {
        Record r;
        r.s->thread_mode = kMode_Client;
        r.s->test_mode = c.mode;
        r.s->listen_port = c.listen_port;
        r.s->amount = c.amount;
        r.s->buf_len = c.buf_len;
        r.s->option_flags |= OPT_DAEMON | (c.udp ? OPT_UDP : 0);
        r.s->host = strdup("127.0.0.1");
        r.s->local_host = strdup("127.0.0.2");
        r.s->output_file = strdup("out");
        thread_Settings *listener = nullptr;
        Settings_GenerateListenerSettings(r.s, &listener);
        ASSERT_NE(listener, nullptr) << c.name;
        EXPECT_EQ(listener->thread_mode, kMode_Listener) << c.name;
        EXPECT_EQ(listener->test_mode, kTest_Normal) << c.name;
        EXPECT_EQ(listener->port, c.want_port) << c.name;
        EXPECT_EQ(listener->amount, c.want_amount) << c.name;
        EXPECT_EQ(listener->buf_len, c.want_buf_len) << c.name;
        EXPECT_EQ(listener->option_flags & OPT_DAEMON, 0u) << c.name;
        EXPECT_TRUE(listener->option_flags & OPT_COMPAT) << c.name;
        EXPECT_TRUE(listener->option_flags & OPT_REPORT_SETTINGS) << c.name;
        EXPECT_STREQ(listener->host, "127.0.0.1") << c.name;
        EXPECT_NE(listener->host, r.s->host) << c.name;
        EXPECT_STREQ(listener->local_host, "127.0.0.2") << c.name;
        EXPECT_EQ(listener->output_file, nullptr) << c.name;
        EXPECT_EQ(listener->input_file, nullptr) << c.name;
        Settings_Destroy(listener);
    }
}

TEST(SettingsListener, OtherClientsGetNone) {
    Record r;
    r.s->thread_mode = kMode_Client;
    thread_Settings *listener = reinterpret_cast<thread_Settings *>(0x1);
    Settings_GenerateListenerSettings(r.s, &listener);
    EXPECT_EQ(listener, nullptr);
}

}  // namespace
