// Lifecycle of thread_Settings: defaults, copies for new threads, release.
#include "toril/core/settings.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "toril/core/settings_markers.h"

namespace {

char *dup_or_null(const char *text) {
    return text ? strdup(text) : nullptr;
}

void init_await(SettingsAwait *await) {
    pthread_mutex_init(&await->mutex, nullptr);
    pthread_cond_init(&await->cond, nullptr);
}

void destroy_await(SettingsAwait *await) {
    // A record may be abandoned by a thread that still holds its mutex.
    if (pthread_mutex_destroy(&await->mutex) == EBUSY) {
        pthread_mutex_unlock(&await->mutex);
        pthread_mutex_destroy(&await->mutex);
    }
    pthread_cond_destroy(&await->cond);
}

}  // namespace

void Settings_Initialize(thread_Settings *settings) {
    *settings = thread_Settings();
    init_await(&settings->await);
    settings->sock = -1;
    // Descriptor 0 is standard input, so "no descriptor" must be -1 here.
    settings->udp_sock = -1;
    settings->tuntap_fd = -1;
    settings->port = 5001;
    settings->option_flags = OPT_TIME_MODE | OPT_STDOUT;
    settings->test_flags = 0;
    settings->extra_flags = 0;
    settings->report_mode = kReport_Default;
    settings->test_mode = kTest_Normal;
    settings->thread_mode = kMode_Unknown;
    settings->rate_units = kRate_BW;
    settings->permit_key_timeout = -1;
    settings->format = 'a';
    settings->buf_len = 128 * 1024;
    settings->bind_port = 0;
    settings->amount = 1000;  // ten seconds
    settings->interval_mode = kInterval_None;
    settings->ttl = -1;
    settings->key_check = 1;
    settings->frame_rate = 1.0;
    settings_markers_reset();
}

size_t Settings_BufferSize(int32_t buf_len) {
    const int64_t wanted = static_cast<int64_t>(buf_len) + 512;
    return static_cast<size_t>(std::max<int64_t>(wanted, 1268));
}

void Settings_AllocateBuffer(thread_Settings *settings) {
    free(settings->buf);
    settings->buf = static_cast<char *>(calloc(1, Settings_BufferSize(settings->buf_len)));
}

void Settings_Copy(const thread_Settings *from, thread_Settings **into, bool deep) {
    auto *copy = new thread_Settings(*from);
    if (deep) {
        copy->host = dup_or_null(from->host);
        copy->output_file = dup_or_null(from->output_file);
        copy->local_host = dup_or_null(from->local_host);
        copy->input_file = dup_or_null(from->input_file);
        copy->histogram_spec = dup_or_null(from->histogram_spec);
        copy->ssm_source = dup_or_null(from->ssm_source);
        copy->bind_device = dup_or_null(from->bind_device);
        copy->host_device = dup_or_null(from->host_device);
        copy->congestion_algo = dup_or_null(from->congestion_algo);
    } else {
        copy->host = nullptr;
        copy->output_file = nullptr;
        copy->local_host = nullptr;
        copy->input_file = nullptr;
        copy->histogram_spec = nullptr;
        copy->ssm_source = nullptr;
        copy->bind_device = nullptr;
        copy->host_device = nullptr;
        copy->congestion_algo = nullptr;
    }
    copy->isoch_spec = dup_or_null(from->isoch_spec);
    copy->hidden_text = dup_or_null(from->hidden_text);
    copy->transfer_id_text = nullptr;  // a copy takes its own report number text
    copy->thread_id = pthread_t();
    copy->run_next = nullptr;
    copy->run_after = nullptr;
    copy->udp_sock = -1;
    // The descriptor stays with the record that opened it.
    copy->tuntap_fd = -1;
    copy->buf = nullptr;
    Settings_AllocateBuffer(copy);
    init_await(&copy->await);
    copy->option_flags &= ~OPT_REPORT_SETTINGS;
    *into = copy;
}

void Settings_Destroy(thread_Settings *settings) {
    if (!settings) return;
    if (settings->tuntap_fd > 0) close(settings->tuntap_fd);
    destroy_await(&settings->await);
    free(settings->input_file);
    free(settings->host);
    free(settings->hidden_text);
    free(settings->local_host);
    free(settings->output_file);
    free(settings->bind_device);
    free(settings->host_device);
    free(settings->ssm_source);
    free(settings->isoch_spec);
    free(settings->histogram_spec);
    free(settings->congestion_algo);
    free(settings->transfer_id_text);
    free(settings->buf);
    delete settings;
}

void Settings_GenerateListenerSettings(const thread_Settings *client, thread_Settings **listener) {
    *listener = nullptr;
    if (client->test_mode != kTest_DualTest && client->test_mode != kTest_TradeOff) return;
    thread_Settings *copy = nullptr;
    Settings_Copy(client, &copy, false);
    copy->option_flags &= ~OPT_DAEMON;
    copy->option_flags |= OPT_COMPAT;
    copy->port = client->listen_port ? client->listen_port : client->port;
    const uint64_t stretch = (client->test_mode == kTest_DualTest) ? 200 : 300;
    const uint64_t amount =
        (client->amount > UINT64_MAX - stretch) ? UINT64_MAX : client->amount + stretch;
    copy->amount = std::max<uint64_t>(amount, 300);
    copy->host = dup_or_null(client->host);
    copy->local_host = dup_or_null(client->local_host);
    copy->test_mode = kTest_Normal;
    copy->thread_mode = kMode_Listener;
    if (client->buf_len <= 0) copy->buf_len = (client->option_flags & OPT_UDP) ? 1470 : 128 * 1024;
    copy->option_flags |= OPT_REPORT_SETTINGS;
    *listener = copy;
}
