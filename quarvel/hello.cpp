// The hello thread of a NAT UDP server.
#include "quarvel/hello.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/signals.h"
#include "common/warn.h"
#include "quarvel/launch.h"

const char kHelloText[] = "HELLO:Thank you UDP";

namespace {

std::atomic<int> hello_socket{-1};

struct HelloJob {
    sockaddr_storage peer;
    socklen_t peer_len;
};

void *hello_main(void *arg) {
    HelloJob *job = static_cast<HelloJob *>(arg);
    uint8_t datagram[kHelloDatagramBytes];
    hello_fill(datagram);
    while (SendUDP.load() == 0 && sInterupted.load() < 2) {
        const int sock = hello_socket.load();
        const ssize_t sent =
            sock < 0 ? -1
                     : sendto(sock, datagram, sizeof(datagram), 0,
                              reinterpret_cast<const sockaddr *>(&job->peer), job->peer_len);
        if (sent < 0) {
            printf("Error in sending UDP hello packets: sInterupted %d \n", sInterupted.load());
            fflush(stdout);
        }
        sleep(1);
    }
    printf("Stopping UDP hello packets..");
    fflush(stdout);
    delete job;
    return nullptr;
}

}  // namespace

void hello_fill(uint8_t out[kHelloDatagramBytes]) {
    memset(out, 0, kHelloDatagramBytes);
    memcpy(out, kHelloText, sizeof(kHelloText) - 1);
}

void hello_set_socket(int sock) {
    hello_socket.store(sock);
}

void hello_start(const sockaddr_storage &peer, socklen_t peer_len) {
    auto *job = new (std::nothrow) HelloJob{peer, peer_len};
    if (!job) return;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, hello_main, job) != 0) {
        WARN("pthread_create");
        delete job;
        return;
    }
    pthread_detach(thread);
}
