// quarvel's NAT side of the listener: the hello datagrams that a NAT UDP
// server sends towards the waiting client from its listening port, once a
// second, until the test has ended.
//
// The hello thread is not counted among the program's threads and nobody
// joins it; it ends at its next check once SendUDP is 1 or the process is
// being forced down. It reads the listening socket afresh for every datagram
// through hello_set_socket, which the listener calls whenever its listening
// socket changes (a UDP test takes the old one with it).
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// The hello datagram: "HELLO:Thank you UDP" followed by zero bytes.
constexpr size_t kHelloDatagramBytes = 50;
extern const char kHelloText[];

// Fills out with the 50 bytes of the hello datagram.
void hello_fill(uint8_t out[kHelloDatagramBytes]);

// The listening socket the hellos are sent from (-1: none at the moment).
void hello_set_socket(int sock);

// Starts the detached hello thread towards peer (its length peer_len). The
// thread keeps its own copy of the address. Warning "pthread_create" on failure.
void hello_start(const sockaddr_storage &peer, socklen_t peer_len);
