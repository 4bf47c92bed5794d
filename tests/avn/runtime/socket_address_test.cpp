#include <gtest/gtest.h>

#include <string>

#include "avn/runtime/socket.h"

namespace {

TEST(SocketAddress, FromText) {
    struct Case {
        int family;
        const char* text;
        aud_error error;
        uint32_t address;
    };
    const Case cases[] = {
        {AUD_AF_INET, "127.0.0.1", AUD_SUCCESS, 0x7F000001},
        {AUD_AF_INET, "255.255.255.255", AUD_SUCCESS, 0xFFFFFFFF},  // broadcast, not an error
        {AUD_AF_INET, "0.0.0.0", AUD_SUCCESS, 0},
        {AUD_AF_INET, "192.168.010.1", AUD_SUCCESS, 0xC0A80A01},
        {AUD_AF_INET, "256.1.1.1", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_INET, "1.2.3", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_INET, "1.2.3.4.5", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_INET, "1.2.3.4 ", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_INET, "a.b.c.d", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_INET, "", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_INET, "1..2.3", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_INET, "1234.1.1.1", AUD_ERR_INVALIDPARAMETER, 0},
        {AUD_AF_UNSPEC, "127.0.0.1", AUD_ERR_INVALIDPARAMETER, 0},
        {23, "127.0.0.1", AUD_ERR_NOTSUPPORTED, 0},
    };
    for (const Case& c : cases) {
        aud_socket_address address{};
        EXPECT_EQ(aud_socket_address_from_text(&address, c.family, c.text, 8900), c.error)
            << c.text;
        if (c.error == AUD_SUCCESS) {
            EXPECT_EQ(address.length, 16);
            EXPECT_EQ(aud_socket_address_get_ipv4(&address), c.address) << c.text;
            EXPECT_EQ(aud_socket_address_get_port(&address), 8900);
        }
    }
}

TEST(SocketAddress, ToTextAndEquality) {
    aud_socket_address a{};
    aud_socket_address_set_ipv4(&a, 0x7F000001, 8900);
    char text[AUD_SOCKET_ADDRESS_TEXT_SIZE];
    EXPECT_EQ(std::string(aud_socket_address_to_text(&a, text, sizeof text)),
              "127.0.0.1:8900 (len=16)");
    // Port and address are held in network order, as the system has them.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&a.inet.port);
    EXPECT_EQ(bytes[0], 0x22);
    EXPECT_EQ(bytes[1], 0xC4);

    aud_socket_address b = a;
    EXPECT_TRUE(aud_socket_address_equal(&a, &b));
    aud_socket_address_set_ipv4(&b, 0x7F000001, 8901);
    EXPECT_FALSE(aud_socket_address_equal(&a, &b));

    aud_socket_address none{};
    EXPECT_EQ(std::string(aud_socket_address_to_text(&none, text, sizeof text)), "");
    EXPECT_FALSE(aud_socket_address_equal(&none, &none));  // absent is never equal
}

TEST(SocketAddress, ResolveNumericHostAndService) {
    aud_socket_address address{};
    ASSERT_EQ(aud_socket_address_resolve(&address, AUD_AF_INET, "127.0.0.1", "8850"), AUD_SUCCESS);
    EXPECT_EQ(aud_socket_address_get_ipv4(&address), 0x7F000001u);
    EXPECT_EQ(aud_socket_address_get_port(&address), 8850);
    EXPECT_EQ(aud_socket_address_resolve(&address, 23, "127.0.0.1", "8850"), AUD_ERR_NOTSUPPORTED);
}

TEST(SocketSet, KeepsOrderAndRefusesBeyondItsSize) {
    static aud_fd_set set;
    aud_fd_set_clear(&set);
    EXPECT_TRUE(aud_fd_set_add(&set, 7));
    EXPECT_TRUE(aud_fd_set_add(&set, 3));
    EXPECT_TRUE(aud_fd_set_add(&set, 9));
    EXPECT_TRUE(aud_fd_set_add(&set, 3));  // already there
    EXPECT_EQ(set.count, 3);
    aud_fd_set_remove(&set, 7);
    ASSERT_EQ(set.count, 2);
    EXPECT_EQ(set.sockets[0], 3);
    EXPECT_EQ(set.sockets[1], 9);
    EXPECT_FALSE(aud_fd_set_add(&set, AUD_SOCKET_INVALID));

    for (aud_socket_t s = 100; set.count < AUD_FD_SET_SIZE; ++s) {
        ASSERT_TRUE(aud_fd_set_add(&set, s));
    }
    EXPECT_FALSE(aud_fd_set_add(&set, 5));
    EXPECT_FALSE(aud_fd_set_contains(&set, 5));
}

}  // namespace
