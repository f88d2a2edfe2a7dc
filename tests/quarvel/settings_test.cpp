// The settings record's lifecycle: copies own their texts, the reverse-test
// listener, and the suffix case helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quarvel/settings.h"

namespace {

thread_Settings *make_client() {
    auto *s = new thread_Settings;
    Settings_Initialize(s);
    s->thread_mode = kMode_Client;
    s->threads = 1;
    s->host = strdup("192.0.2.1");
    s->local_host = strdup("192.0.2.2");
    s->input_file = strdup("data.bin");
    s->output_file = strdup("out.txt");
    s->nat_client_ip = strdup("198.51.100.7");
    s->congestion_algo = strdup("reno");
    s->option_flags |= OPT_DAEMON | OPT_UDP | OPT_CONGESTION;
    s->port = 6001;
    return s;
}

TEST(SettingsCopy, TextsAreDuplicatedAndLinksCleared) {
    thread_Settings *from = make_client();
    from->thread_id = pthread_self();
    thread_Settings other = {};
    from->run_next = &other;
    from->run_after = &other;
    from->hello_message_len = 3;
    memcpy(from->hello_message, "abc", 4);

    thread_Settings *copy = nullptr;
    Settings_Copy(from, &copy);
    for (auto field : {&thread_Settings::host, &thread_Settings::local_host,
                       &thread_Settings::input_file, &thread_Settings::output_file,
                       &thread_Settings::nat_client_ip, &thread_Settings::congestion_algo}) {
        ASSERT_NE(copy->*field, nullptr);
        EXPECT_NE(copy->*field, from->*field);
        EXPECT_STREQ(copy->*field, from->*field);
    }
    EXPECT_EQ(copy->thread_id, pthread_t());
    EXPECT_EQ(copy->run_next, nullptr);
    EXPECT_EQ(copy->run_after, nullptr);
    EXPECT_EQ(copy->port, 6001);
    EXPECT_EQ(copy->option_flags, from->option_flags);
    EXPECT_EQ(copy->hello_message_len, 3);
    EXPECT_STREQ(copy->hello_message, "abc");

    // Each record releases only its own texts.
    Settings_Destroy(from);
    EXPECT_STREQ(copy->host, "192.0.2.1");
    EXPECT_STREQ(copy->congestion_algo, "reno");
    Settings_Destroy(copy);
}

TEST(SettingsCopy, NullTextsStayNull) {
    auto *from = new thread_Settings;
    Settings_Initialize(from);
    thread_Settings *copy = nullptr;
    Settings_Copy(from, &copy);
    EXPECT_EQ(copy->host, nullptr);
    EXPECT_EQ(copy->congestion_algo, nullptr);
    EXPECT_EQ(copy->sock, -1);
    Settings_Destroy(copy);
    Settings_Destroy(from);
    Settings_Destroy(nullptr);
}

struct ListenerCase {
    const char *name;
    TestMode test_mode;
    uint32_t extra_flags;
    uint16_t listen_port;
    bool made;
    uint16_t port;
};

class ListenerSettings : public testing::TestWithParam<ListenerCase> {};

TEST_P(ListenerSettings, OnlyTwoWayTestsWithoutCompatGetOne) {
    const ListenerCase &c = GetParam();
    thread_Settings *client = make_client();
    client->test_mode = c.test_mode;
    client->option_flags |= c.extra_flags;
    client->listen_port = c.listen_port;
    client->nat_mode = 1;
    client->option_flags |= OPT_TIME_SET;
    thread_Settings *listener = reinterpret_cast<thread_Settings *>(1);
    Settings_GenerateListenerSettings(client, &listener);
    if (!c.made) {
        EXPECT_EQ(listener, nullptr);
        Settings_Destroy(client);
        return;
    }
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->thread_mode, kMode_Listener);
    EXPECT_EQ(listener->test_mode, kTest_Normal);
    EXPECT_EQ(listener->port, c.port);
    EXPECT_TRUE(listener->option_flags & OPT_COMPAT);
    EXPECT_FALSE(listener->option_flags & OPT_DAEMON);
    EXPECT_TRUE(listener->option_flags & OPT_UDP);
    // It waits while the client's streams run, not for -t from its start.
    EXPECT_EQ(listener->connect_back, 1);
    EXPECT_FALSE(listener->option_flags & OPT_TIME_SET);
    EXPECT_EQ(client->connect_back, 0);
    EXPECT_STREQ(listener->host, "192.0.2.1");
    EXPECT_NE(listener->host, client->host);
    EXPECT_STREQ(listener->local_host, "192.0.2.2");
    EXPECT_EQ(listener->input_file, nullptr);
    EXPECT_EQ(listener->output_file, nullptr);
    // An ordinary listener: the server calls it back without any NAT.
    EXPECT_EQ(listener->nat_mode, 0);
    EXPECT_EQ(listener->nat_client_ip, nullptr);
    // The congestion control asked for stays usable by the reverse test.
    EXPECT_STREQ(listener->congestion_algo, "reno");
    Settings_Destroy(listener);
    Settings_Destroy(client);
}

const ListenerCase kListenerCases[] = {
    {"normal_test_has_none", kTest_Normal, 0, 0, false, 0},
    {"compat_dual_has_none", kTest_DualTest, OPT_COMPAT, 0, false, 0},
    {"dual_on_the_test_port", kTest_DualTest, 0, 0, true, 6001},
    {"tradeoff_on_the_listen_port", kTest_TradeOff, 0, 6010, true, 6010},
};
std::string name_of(const testing::TestParamInfo<ListenerCase> &param_info) {
    return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, ListenerSettings, testing::ValuesIn(kListenerCases), name_of);

TEST(SettingsCaseArg, OnlyTheLastCharacterChanges) {
    EXPECT_EQ(Settings_GetUpperCaseArg("10k"), "10K");
    EXPECT_EQ(Settings_GetUpperCaseArg("mk"), "mK");
    EXPECT_EQ(Settings_GetLowerCaseArg("10M"), "10m");
    EXPECT_EQ(Settings_GetLowerCaseArg("100P"), "100p");
    EXPECT_EQ(Settings_GetUpperCaseArg("12"), "12");
    EXPECT_EQ(Settings_GetUpperCaseArg(""), "");
    EXPECT_EQ(Settings_GetLowerCaseArg(nullptr), "");
    // Long texts are taken whole, not cut into a fixed buffer.
    const std::string longer(5000, '9');
    EXPECT_EQ(Settings_GetUpperCaseArg((longer + "k").c_str()), longer + "K");
}

}  // namespace
