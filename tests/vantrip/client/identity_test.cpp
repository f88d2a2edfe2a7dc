// The address discovery client's identity text and request number.
#include "vantrip/client/identity.h"

#include <gtest/gtest.h>

#include "vantrip/server/protocol.h"

namespace {

TEST(ClientIdentity, TextForm) {
    ClientIdentity identity;
    identity.request_id = 4711;
    identity.protocol = "TCP";
    identity.ip_version = "V6";
    identity.server_ip = "::1";
    identity.server_port = 65535;
    identity.packet_size = 100;
    EXPECT_EQ(identity.str(),
              "Client_id: client1234;S_VERSION: CV_1_0;Request_id: 4711;Protocol: TCP;"
              "IP Version: V6;Server IP: ::1;Server Port: 65535;");
    // Seven fields, each ';'-terminated, and none of them a stop request.
    const std::string text = identity.str();
    std::vector<std::string> pieces;
    EXPECT_EQ(split_message(text, &pieces), 7u);
    EXPECT_EQ(pieces.size(), 7u);
    EXPECT_FALSE(is_stop_request(text.data(), text.size()));
}

TEST(ClientIdentity, RequestIdRange) {
    struct Case {
        int r;
        int id;
    } cases[] = {{0, 1}, {1, 2}, {32767, 49999}, {16384, 25001}, {655, 1000}};
    for (const Case &c : cases) EXPECT_EQ(client_request_id(c.r), c.id) << c.r;
}

TEST(ClientIdentity, MadeFromParameters) {
    const ClientIdentity identity = make_client_identity("UDP", "V4", "127.0.0.1", 5000, 0);
    EXPECT_EQ(identity.client_id, "client1234");
    EXPECT_EQ(identity.s_version, "CV_1_0");
    EXPECT_GE(identity.request_id, 1);
    EXPECT_LE(identity.request_id, 49999);
    EXPECT_EQ(identity.protocol, "UDP");
    EXPECT_EQ(identity.ip_version, "V4");
    EXPECT_EQ(identity.server_ip, "127.0.0.1");
    EXPECT_EQ(identity.server_port, 5000);
    EXPECT_EQ(identity.packet_size, 0);
}

}  // namespace
