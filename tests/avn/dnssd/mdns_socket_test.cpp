// The signal sockets that make a service reference readable: only a raise
// makes the reader readable, never a datagram from anywhere else (on
// Windows the pair is two loopback UDP sockets, which any local program
// could otherwise reach), and a drain makes it quiet again.
#include <gtest/gtest.h>

#include "avn/dnssd/mdns_socket.h"

namespace {

bool readable(const mdns::SignalPair& pair, int timeout_ms) {
    bool ready = false;
    EXPECT_TRUE(mdns::wait_readable(&pair.reader, 1, timeout_ms, &ready));
    return ready;
}

TEST(MdnsSignal, OnlyARaiseMakesTheReaderReadable) {
    mdns::platform_startup();
    mdns::SignalPair pair;
    ASSERT_TRUE(mdns::signal_open(&pair));
    const uint16_t port = mdns::signal_port(pair);
    if (port != 0) {
        // A stray datagram from another socket, to the reader's port.
        mdns::socket_t stray = mdns::open_multicast_socket(0);
        ASSERT_NE(stray, mdns::kInvalidSocket);
        mdns::Interface loopback;
        loopback.address = 0x7F000001u;
        const uint8_t byte = 1;
        mdns::send_to(stray, loopback, &byte, 1, 0x7F000001u, port);
        mdns::close_socket(&stray);
    }
    EXPECT_FALSE(readable(pair, 300));
    mdns::signal_raise(pair);
    EXPECT_TRUE(readable(pair, 1000));
    mdns::signal_drain(pair);
    EXPECT_FALSE(readable(pair, 0));
    mdns::signal_close(&pair);
    mdns::platform_cleanup();
}

}  // namespace
