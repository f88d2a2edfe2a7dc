// Lifecycle of quarvel's thread_Settings: defaults, copies for new threads, release.
#include "quarvel/settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

char *dup_or_null(const char *text) {
    return text ? strdup(text) : nullptr;
}

// Every text a record owns, so that copying and releasing cannot miss one.
char *thread_Settings::*const kOwnedTexts[] = {
    &thread_Settings::input_file, &thread_Settings::host,        &thread_Settings::nat_client_ip,
    &thread_Settings::local_host, &thread_Settings::output_file, &thread_Settings::congestion_algo,
};

void clear_text(thread_Settings *s, char *thread_Settings::*text) {
    free(s->*text);
    s->*text = nullptr;
}

std::string with_last_char(const char *arg, int (*convert)(int)) {
    std::string text = arg ? arg : "";
    if (!text.empty()) {
        text.back() = static_cast<char>(convert(static_cast<unsigned char>(text.back())));
    }
    return text;
}

}  // namespace

void Settings_Initialize(thread_Settings *settings) {
    *settings = thread_Settings();
    settings->sock = -1;
    settings->port = 5001;
    settings->option_flags = OPT_STDOUT | OPT_TIME_MODE;
    settings->format = 'a';
    settings->buf_len = 128 * 1024;
    settings->amount = 1000;  // ten seconds
    settings->ttl = 1;
}

void Settings_Copy(const thread_Settings *from, thread_Settings **into) {
    auto *copy = new thread_Settings(*from);
    for (char *thread_Settings::*text : kOwnedTexts) copy->*text = dup_or_null(from->*text);
    copy->thread_id = pthread_t();
    copy->run_next = nullptr;
    copy->run_after = nullptr;
    *into = copy;
}

void Settings_Destroy(thread_Settings *settings) {
    if (!settings) return;
    for (char *thread_Settings::*text : kOwnedTexts) free(settings->*text);
    delete settings;
}

void Settings_GenerateListenerSettings(const thread_Settings *client, thread_Settings **listener) {
    *listener = nullptr;
    const bool two_way = client->test_mode == kTest_DualTest || client->test_mode == kTest_TradeOff;
    if (!two_way || (client->option_flags & OPT_COMPAT)) return;
    thread_Settings *copy = nullptr;
    Settings_Copy(client, &copy);
    // The listener has no file to send or output of its own.
    clear_text(copy, &thread_Settings::input_file);
    clear_text(copy, &thread_Settings::output_file);
    // It waits for an ordinary connection back from the server, so it is no
    // NAT endpoint: a NAT listener would need a client address to call out to.
    clear_text(copy, &thread_Settings::nat_client_ip);
    copy->nat_mode = 0;
    copy->thread_mode = kMode_Listener;
    copy->option_flags = (copy->option_flags | OPT_COMPAT) & ~OPT_DAEMON;
    copy->test_mode = kTest_Normal;
    // Its wait for the return test follows the client's own streams (it must
    // outlast a tradeoff test's first half), and the return test's server
    // receives until the sender closes rather than for -t from its accept.
    copy->connect_back = 1;
    copy->option_flags &= ~OPT_TIME_SET;
    if (client->listen_port != 0) copy->port = client->listen_port;
    *listener = copy;
}

std::string Settings_GetUpperCaseArg(const char *arg) {
    return with_last_char(arg, toupper);
}

std::string Settings_GetLowerCaseArg(const char *arg) {
    return with_last_char(arg, tolower);
}
