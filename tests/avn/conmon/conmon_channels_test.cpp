#include "avn/conmon/conmon_channels.h"

#include <gtest/gtest.h>

#include <vector>

#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/byte_order.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kVendor[CONMON_VENDOR_ID_SIZE] = {'A', 'c', 'm', 'e', 0, 0, 0, 0};
const conmon_source kLocal{{0x0A, 0, 0, 0, 0, 0, 0, 1}, 10};
const conmon_source kRemote{{0x0B, 0, 0, 0, 0, 0, 0, 2}, 20};

Bytes message_from(const conmon_source& source, uint16_t sequence, size_t body = 16) {
    Bytes m(CONMON_MESSAGE_HEAD_SIZE + body, 0x5A);
    size_t size = 0;
    conmon_message_build(m, 0x0042, kVendor, Bytes(body, 0x5A), &size);
    conmon_message_set_origin(m.data(), sequence, source);
    return m;
}

aud_socket_msg_info arrival(uint32_t interface_index, uint32_t destination) {
    aud_socket_msg_info info{};
    info.flags = AUD_SOCKET_MSG_SOURCE | AUD_SOCKET_MSG_DESTINATION | AUD_SOCKET_MSG_INTERFACE;
    aud_socket_address_set_ipv4(&info.source, 0x0A000063, 4000);
    aud_socket_address_set_ipv4(&info.destination, destination, 0);
    info.interface_index = interface_index;
    return info;
}

class ConmonChannels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_acquire(&global_), AUD_SUCCESS);  // starts the socket layer
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
    }
    void TearDown() override {
        conmon_channels_delete(channels_);
        aud_env_delete(env_);
        aud_env_release(global_);
    }

    conmon_channel* make(uint32_t mask, uint16_t type) {
        channels_ = conmon_channels_new(env_, mask);
        conmon_channels_set_local_source(channels_, &kLocal);
        conmon_interface_record networks[2]{};
        networks[0].index = 5;
        networks[1].index = 6;
        conmon_channels_set_interfaces(channels_, networks);
        conmon_channel* channel = conmon_channels_get(channels_, type);
        if (channel != nullptr) {
            conmon_channel_set_callback(channel, record, this);
            conmon_channel_set_enabled(channel, true);
        }
        return channel;
    }

    static void record(void* context, uint16_t type, uint16_t direction, const conmon_message* message,
                       const uint8_t*) {
        auto* self = static_cast<ConmonChannels*>(context);
        self->delivered_.push_back(conmon_message_sequence(message));
        EXPECT_EQ(direction, CONMON_DIRECTION_REMOTE);
        self->types_.push_back(type);
    }

    void step() {
        aud_event_loop* loop = aud_env_get_event_loop(env_);
        aud_fdsets sets;
        aud_fdsets_clear(&sets);
        aud_event_loop_get_fdsets(loop, &sets);
        aud_fdsets_wait(&sets, aud_time{0, 20000});
        aud_event_loop_dispatch(loop, &sets);
    }

    aud_env* global_ = nullptr;
    aud_env* env_ = nullptr;
    conmon_channels* channels_ = nullptr;
    std::vector<uint16_t> delivered_;
    std::vector<uint16_t> types_;
};

TEST_F(ConmonChannels, TheDefaultMaskMakesNoChannelAndOpensNoSocket) {
    channels_ = conmon_channels_new(env_, 0x15D);
    ASSERT_NE(channels_, nullptr);
    EXPECT_EQ(conmon_channels_count(channels_), 0u);
    EXPECT_EQ(conmon_channels_initialise(channels_), AUD_SUCCESS);
    aud_fdsets sets;
    aud_fdsets_clear(&sets);
    aud_event_loop_get_fdsets(aud_env_get_event_loop(env_), &sets);
    EXPECT_EQ(sets.read.count, 0);
}

TEST_F(ConmonChannels, AMessageSeenOnBothNetworksIsDeliveredOnce) {
    conmon_channel* channel = make(1u << CONMON_CHANNEL_TYPE_SERIAL, CONMON_CHANNEL_TYPE_SERIAL);
    ASSERT_NE(channel, nullptr);
    ASSERT_EQ(conmon_channel_initialise_remote_multicast(channel, 0, CONMON_SERIAL_GROUP), AUD_SUCCESS);
    const Bytes m = message_from(kRemote, 7);
    const aud_time t0{100, 0};
    conmon_channel_receive(channel, m, arrival(5, CONMON_SERIAL_GROUP), t0);
    conmon_channel_receive(channel, m, arrival(6, CONMON_SERIAL_GROUP), aud_time{101, 0});
    EXPECT_EQ(delivered_, std::vector<uint16_t>{7});
    // The same message three seconds after it was first seen is new again.
    conmon_channel_receive(channel, m, arrival(6, CONMON_SERIAL_GROUP), aud_time{103, 0});
    EXPECT_EQ(delivered_, (std::vector<uint16_t>{7, 7}));
    // Another sequence number from the same source is another message.
    conmon_channel_receive(channel, message_from(kRemote, 8), arrival(5, CONMON_SERIAL_GROUP), aud_time{103, 0});
    EXPECT_EQ(delivered_.size(), 3u);
}

TEST_F(ConmonChannels, DatagramsThatDoNotBelongAreDropped) {
    conmon_channel* channel = make(1u << CONMON_CHANNEL_TYPE_SERIAL, CONMON_CHANNEL_TYPE_SERIAL);
    ASSERT_EQ(conmon_channel_initialise_remote_multicast(channel, 0, CONMON_SERIAL_GROUP), AUD_SUCCESS);
    const aud_time now{100, 0};
    const aud_socket_msg_info to_group = arrival(5, CONMON_SERIAL_GROUP);

    Bytes short_datagram = message_from(kRemote, 1);
    short_datagram.resize(23);
    conmon_channel_receive(channel, short_datagram, to_group, now);

    Bytes wrong_length = message_from(kRemote, 2, 16);  // 40 bytes
    byte_order::store_be16(&wrong_length[2], 48);
    conmon_channel_receive(channel, wrong_length, to_group, now);

    conmon_channel_receive(channel, message_from(kLocal, 3), to_group, now);                 // our own
    conmon_channel_receive(channel, message_from(kRemote, 4), arrival(9, CONMON_SERIAL_GROUP), now);  // no network
    conmon_channel_receive(channel, message_from(kRemote, 5), arrival(5, 0x0A000001), now);  // unicast
    aud_socket_msg_info no_index = to_group;
    no_index.flags &= ~AUD_SOCKET_MSG_INTERFACE;
    conmon_channel_receive(channel, message_from(kRemote, 6), no_index, now);
    conmon_channel_set_enabled(channel, false);
    conmon_channel_receive(channel, message_from(kRemote, 7), to_group, now);
    EXPECT_TRUE(delivered_.empty());
}

TEST_F(ConmonChannels, AUnicastChannelReceivesOnLoopback) {
    conmon_channel* channel = make(1u << CONMON_CHANNEL_TYPE_METERING, CONMON_CHANNEL_TYPE_METERING);
    ASSERT_NE(channel, nullptr);
    ASSERT_EQ(conmon_channel_initialise_remote_unicast(channel, 0), AUD_SUCCESS);
    EXPECT_EQ(conmon_channel_get_mode(channel), CONMON_CHANNEL_MODE_REMOTE_ANYCAST);
    ASSERT_NE(conmon_channel_get_port(channel), 0);

    aud_socket_t sender = AUD_SOCKET_INVALID;
    ASSERT_EQ(aud_socket_open_udp(&sender, AUD_AF_INET), AUD_SUCCESS);
    aud_socket_address to{};
    aud_socket_address_set_ipv4(&to, 0x7F000001, conmon_channel_get_port(channel));
    for (const Bytes& datagram : {message_from(kRemote, 11), Bytes(23, 0), message_from(kRemote, 12)}) {
        size_t length = datagram.size();
        ASSERT_EQ(aud_socket_sendto(sender, datagram.data(), &length, &to), AUD_SUCCESS);
    }
    for (int i = 0; i < 100 && delivered_.size() < 2; ++i) {
        step();
    }
    aud_socket_close(&sender);
    // Loopback is no network of the device's, but counts as the first.
    EXPECT_EQ(delivered_, (std::vector<uint16_t>{11, 12}));
    EXPECT_EQ(types_.front(), CONMON_CHANNEL_TYPE_METERING);
}

}  // namespace
