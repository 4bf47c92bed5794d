#include "avn/api/avnapi.h"

#include <gtest/gtest.h>

#include <vector>

#include "avn/api/domain_relay.h"

#include <vector>

#include "avn/domain/domain_handler.h"
#include "avn/runtime/domain_provider.h"

namespace {

struct Seen {
    std::vector<std::pair<uint16_t, int>> events;  // (listener id, event)
};

class AvnApiInstance : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(avnapi_new(&instance_), AUD_SUCCESS);
        provider_ = avnapi_get_domain_provider(instance_);
        ASSERT_NE(provider_, nullptr);
    }
    void TearDown() override { avnapi_delete(instance_); }

    domain_listener* listen(domain_listener_callback callback = record) {
        domain_listener* listener = nullptr;
        EXPECT_EQ(domain_listener_new(provider_, callback, nullptr, &seen_, &listener), AUD_SUCCESS);
        return listener;
    }

    static void record(domain_listener* listener, int event, void* context) {
        static_cast<Seen*>(context)->events.push_back({domain_listener_get_id(listener), event});
    }

    void connect_with_domain(uint16_t id, uint32_t access) {
        avn_domain_handler* handler = avnapi_get_domain_handler(instance_);
        for (int state : {2, 3, 4, 5, 7, 8, 9}) {
            avn_domain_handler_change_state(handler, state);
        }
        avn_domain_entry entry{};
        entry.info.id = id;
        entry.info.uuid.bytes[0] = 0x11;
        entry.flags = 0x12;  // only the low four bits reach components
        entry.access = access;
        avn_domain_handler_apply_domain_list(handler, {&entry, 1}, false, 0, 0);
    }

    avnapi* instance_ = nullptr;
    domain_provider* provider_ = nullptr;
    Seen seen_;
};

TEST_F(AvnApiInstance, ANewInstanceIsAdhocAndDomainAware) {
    EXPECT_NE(avnapi_get_env(instance_), nullptr);
    EXPECT_NE(avnapi_get_runtime(instance_), nullptr);
    EXPECT_EQ(domain_provider_from_env(avnapi_get_env(instance_)), provider_);
    EXPECT_EQ(domain_provider_get_mode(provider_), DOMAIN_PROVIDER_MODE_DOMAIN_AWARE);
    const domain_current current = domain_provider_get_current(provider_);
    EXPECT_TRUE(avn_domain_uuid_is_adhoc(&current.uuid));
    EXPECT_EQ(current.flags, 5u);
    EXPECT_EQ(current.access, 0x1FFFFFFFu);
    EXPECT_EQ(domain_provider_get_connection_state(provider_), DOMAIN_CONNECTION_DISCONNECTED);
    aud_socket_address address{};
    EXPECT_EQ(domain_provider_get_endpoint(provider_, 0, &address), AUD_ERR_NOTCONN);
    EXPECT_EQ(avnapi_get_env(nullptr), nullptr);
    EXPECT_EQ(avnapi_new(nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST_F(AvnApiInstance, ListenerIdsTakeTheLowestFreeFromTwo) {
    domain_listener* first = listen();
    domain_listener* second = listen();
    EXPECT_EQ(domain_listener_get_id(first), 2);
    EXPECT_EQ(domain_listener_get_id(second), 3);
    domain_listener_delete(first);
    domain_listener* third = listen();
    EXPECT_EQ(domain_listener_get_id(third), 2);
}

TEST_F(AvnApiInstance, DomainChangesReachListenersInOrder) {
    listen();
    connect_with_domain(7, 0x3);
    // Connection state first (the handler connects), then nothing for the list alone.
    ASSERT_EQ(seen_.events, (std::vector<std::pair<uint16_t, int>>{{2, DOMAIN_EVENT_CONNECTION}}));
    seen_.events.clear();

    ASSERT_EQ(avn_domain_handler_set_current_domain_by_id(avnapi_get_domain_handler(instance_), 7),
              AUD_SUCCESS);
    EXPECT_EQ(seen_.events, (std::vector<std::pair<uint16_t, int>>{{2, DOMAIN_EVENT_CHANGING},
                                                                   {2, DOMAIN_EVENT_CHANGED},
                                                                   {2, DOMAIN_EVENT_FLAGS},
                                                                   {2, DOMAIN_EVENT_ACCESS}}));
    const domain_current current = domain_provider_get_current(provider_);
    EXPECT_EQ(current.flags, 0x2u);
    EXPECT_EQ(current.access, 0x3u);
}

TEST_F(AvnApiInstance, AListenerRemovedDuringANotificationIsFreedAfterThePass) {
    static domain_listener* victim = nullptr;
    static int victim_calls = 0;
    victim_calls = 0;
    // The first listener removes the second while the pass runs.
    listen([](domain_listener*, int, void*) {
        if (victim != nullptr) {
            domain_listener_delete(victim);
            victim = nullptr;
        }
    });
    victim = listen([](domain_listener*, int, void*) { ++victim_calls; });
    connect_with_domain(7, 0x3);
    EXPECT_EQ(victim_calls, 0);
    // Its id is free again only now that the pass is over.
    domain_listener* next = listen();
    EXPECT_EQ(domain_listener_get_id(next), 3);
}

TEST_F(AvnApiInstance, RelayedMessagesReachTheNamedListener) {
    static int received = 0;
    received = 0;
    domain_listener* listener = nullptr;
    ASSERT_EQ(domain_listener_new(
                  provider_, nullptr,
                  [](domain_listener*, const uint8_t*, size_t length, void*) {
                      received += static_cast<int>(length);
                  },
                  nullptr, &listener),
              AUD_SUCCESS);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(domain_provider_deliver(provider_, 2, data, sizeof data), AUD_SUCCESS);
    EXPECT_EQ(domain_provider_deliver(provider_, 9, data, sizeof data), AUD_ERR_NOTFOUND);
    EXPECT_EQ(received, 3);
    // Without a Domain Manager connection nothing can be relayed.
    EXPECT_EQ(domain_provider_relay_send(provider_, data, sizeof data), AUD_ERR_INVALIDSTATE);
}

// A packet as the Domain Manager relays it: a 24-byte header with the
// destination and source options, then a few bytes of message.
std::vector<uint8_t> relayed_packet(uint32_t node, uint16_t listener, bool with_source = true,
                                    bool with_destination = true) {
    std::vector<uint8_t> packet(32, 0);
    packet[1] = 24;
    packet[3] = 1;
    packet[7] = 8;
    size_t at = 8;
    const auto option = [&](uint8_t type, uint32_t option_node, uint16_t option_listener) {
        packet[at] = 8;
        packet[at + 1] = type;
        packet[at + 2] = static_cast<uint8_t>(option_node >> 24);
        packet[at + 3] = static_cast<uint8_t>(option_node >> 16);
        packet[at + 4] = static_cast<uint8_t>(option_node >> 8);
        packet[at + 5] = static_cast<uint8_t>(option_node);
        packet[at + 6] = static_cast<uint8_t>(option_listener >> 8);
        packet[at + 7] = static_cast<uint8_t>(option_listener);
        at += 8;
    };
    if (with_destination) {
        option(64, node, listener);
    }
    if (with_source) {
        option(65, 0x01020304, 0);
    }
    return packet;
}

TEST_F(AvnApiInstance, PacketsFromTheDomainManagerGoToTheListenerTheyName) {
    static size_t received = 0;
    received = 0;
    domain_listener* listener = nullptr;
    ASSERT_EQ(domain_listener_new(
                  provider_, nullptr,
                  [](domain_listener*, const uint8_t*, size_t length, void*) { received += length; },
                  nullptr, &listener),
              AUD_SUCCESS);
    struct Case {
        const char* what;
        std::vector<uint8_t> packet;
        aud_error result;
        size_t delivered;
    };
    const std::vector<uint8_t> good = relayed_packet(0x0A000001, 2);
    const Case cases[] = {
        {"to listener 2", good, AUD_SUCCESS, good.size()},
        {"to the relay itself", relayed_packet(0x0A000001, 1), AUD_SUCCESS, 0},
        {"to nobody", relayed_packet(0x0A000001, 9), AUD_ERR_NOTFOUND, 0},
        {"listener 0", relayed_packet(0x0A000001, 0), AUD_ERR_INVALIDDATA, 0},
        {"listener 0xFFFF", relayed_packet(0x0A000001, 0xFFFF), AUD_ERR_INVALIDDATA, 0},
        {"node 0", relayed_packet(0, 2), AUD_ERR_INVALIDDATA, 0},
        {"no source", relayed_packet(0x0A000001, 2, false), AUD_ERR_INVALIDDATA, 0},
        {"no destination", relayed_packet(0x0A000001, 2, true, false), AUD_ERR_NOTFOUND, 0},
        {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 7), AUD_ERR_INVALIDDATA, 0},
        {"header longer than the packet", std::vector<uint8_t>(good.begin(), good.begin() + 20),
         AUD_ERR_INVALIDDATA, 0},
    };
    for (const Case& c : cases) {
        received = 0;
        EXPECT_EQ(domain_relay_receive(provider_, c.packet.data(), c.packet.size()), c.result) << c.what;
        EXPECT_EQ(received, c.delivered) << c.what;
    }
}

}  // namespace
