// The conmon client inside a managed domain: what it relays through the
// Domain Manager (lookups, control messages, the announcement), how it
// waits for names to resolve, and what it does with the packets that come
// back. The instance is a stand-in whose domain provider reports a managed
// domain and captures every relayed packet.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "avn/conmon/db_lookup.h"
#include "avn/conmon/avn_packet.h"
#include "avn/conmon/conmon_client.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/avnapi_handle.h"
#include "avn/runtime/byte_order.h"
#include "avn/runtime/domain_provider.h"

namespace {

aud_time fake_now{1000, 0};
// The managed domain the stand's provider reports (its first byte).
uint8_t current_domain_byte = 0xD0;
aud_time fake_clock() {
    return fake_now;
}

constexpr uint8_t kVendor[8] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};
constexpr uint32_t kDeviceNode = 0x0A000007;

struct Stand {
    avnapi_header header;  // what the client reads its environment from
};

struct Completion {
    bool done = false;
    aud_error status = AUD_SUCCESS;
};

struct Delivered {
    uint16_t channel_type = 0;
    std::string sender;
    std::vector<uint8_t> body;
};

class DomainClient : public ::testing::Test {
  public:  // the client's callbacks reach the fixture
    void SetUp() override {
        fake_now = {1000, 0};
        current_domain_byte = 0xD0;
        aud_time_set_clock(fake_clock);
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &stand_.header.env),
                  AUD_SUCCESS);
        domain_provider_ops ops{};
        ops.mode = [](void*) { return static_cast<int>(DOMAIN_PROVIDER_MODE_DOMAIN_AWARE); };
        ops.current_domain = [](void*) {
            domain_current current{};
            current.uuid.bytes[0] = current_domain_byte;
            current.uuid.bytes[15] = 1;
            current.flags = 2;
            current.access = 1;
            return current;
        };
        ops.connection_state = [](void*) { return static_cast<int>(DOMAIN_CONNECTION_CONNECTED); };
        ops.relay_send = [](void* context, const uint8_t* data, size_t length) -> aud_error {
            static_cast<DomainClient*>(context)->sent_.emplace_back(data, data + length);
            return AUD_SUCCESS;
        };
        ASSERT_EQ(domain_provider_new(stand_.header.env, &ops, this, &provider_), AUD_SUCCESS);
        conmon_client_config* config = conmon_client_config_new("vendor_controller");
        ASSERT_EQ(conmon_client_new(reinterpret_cast<avnapi*>(&stand_), config, &client_),
                  AUD_SUCCESS);
        conmon_client_config_delete(config);
        conmon_client_set_context(client_, this);
    }

    void TearDown() override {
        conmon_client_delete(client_);
        domain_provider_delete(provider_);
        aud_env_delete(stand_.header.env);
        aud_time_set_clock(nullptr);
    }

    // Runs what is due now (deferred calls and timers).
    void run_due() {
        aud_event_loop* loop = aud_env_get_event_loop(stand_.header.env);
        aud_event_loop_step(loop);
    }

    void advance_ms(int64_t ms) {
        fake_now = aud_time_add(fake_now, aud_time_from_milliseconds(ms));
        run_due();
    }

    static avn_packet_view read(const std::vector<uint8_t>& packet) {
        avn_packet_view view;
        EXPECT_EQ(avn_packet_read(packet, &view), AUD_SUCCESS);
        return view;
    }

    // The last relayed packet of a type, if any.
    std::optional<std::vector<uint8_t>> last_sent(uint16_t type) const {
        for (auto it = sent_.rbegin(); it != sent_.rend(); ++it) {
            avn_packet_view view;
            if (avn_packet_read(*it, &view) == AUD_SUCCESS && view.type == type) {
                return *it;
            }
        }
        return std::nullopt;
    }

    uint16_t listener_id() const { return read(sent_.front()).source.listener; }

    void deliver(std::span<const uint8_t> packet) {
        ASSERT_EQ(domain_provider_deliver(provider_, listener_id(), packet.data(), packet.size()),
                  AUD_SUCCESS);
    }

    // A packet from the Domain Manager to the client's listener.
    std::vector<uint8_t> from_dm(uint8_t kind, uint16_t type, uint16_t sequence, uint16_t status,
                                 std::span<const uint8_t> data,
                                 uint32_t from_node = AVN_PACKET_NODE_DOMAIN_MANAGER) {
        std::vector<uint8_t> buffer(1500);
        avn_packet_builder builder;
        EXPECT_EQ(
            avn_packet_begin(&builder, buffer, kind, {0x7F000001, listener_id()}, {from_node, 0}),
            AUD_SUCCESS);
        EXPECT_EQ(avn_packet_add_chunk(&builder, type, sequence, status), AUD_SUCCESS);
        EXPECT_EQ(avn_packet_add_data(&builder, data), AUD_SUCCESS);
        const auto packet = avn_packet_finish(&builder);
        return {packet.begin(), packet.end()};
    }

    // A lookup result naming the device at `node`.
    std::vector<uint8_t> resolution(uint32_t request_id, uint32_t node, bool final,
                                    const char* device = "TPX2-Stage") {
        std::vector<uint8_t> buffer(1500);
        avn_packet_builder builder;
        avn_packet_begin(&builder, buffer, AVN_PACKET_KIND_REQUEST, {0x7F000001, listener_id()},
                         {AVN_PACKET_NODE_DOMAIN_MANAGER, 0});
        avn_packet_add_chunk(&builder, DB_LOOKUP_MESSAGE_RESULT, 40, 0);
        uint8_t data[24] = {};
        byte_order::store_be32(data + 16, request_id);
        byte_order::store_be16(data + 20, final ? 0x3 : 0x2);
        avn_packet_add_data(&builder, data);
        uint16_t name = 0, address = 0, info = 0, record = 0;
        avn_packet_append_text(&builder, device, &name);
        uint8_t node_bytes[6] = {};
        byte_order::store_be16(node_bytes, static_cast<uint16_t>(node >> 16));
        byte_order::store_be16(node_bytes + 2, static_cast<uint16_t>(node));
        avn_packet_append(&builder, node_bytes, &address);
        uint8_t block[12] = {};
        byte_order::store_be16(block, 0x08);
        byte_order::store_be16(block + 8, address);
        avn_packet_append(&builder, block, &info);
        uint8_t head[8] = {};
        byte_order::store_be16(head, name);
        byte_order::store_be16(head + 2, 0x1);
        byte_order::store_be16(head + 4, info);
        avn_packet_append(&builder, head, &record);
        avn_packet_patch16(&builder, 22, record);
        const auto packet = avn_packet_finish(&builder);
        return {packet.begin(), packet.end()};
    }

    uint32_t lookup_request_id() const {
        const auto lookup = last_sent(DB_LOOKUP_MESSAGE_REQUEST);
        EXPECT_TRUE(lookup);
        return byte_order::load_be32(avn_packet_data(read(*lookup)).data() + 16);
    }

    aud_error send(Completion* completion, const aud_time* timeout, uint16_t body_size = 6,
                   const char* device = "TPX2-Stage") {
        completion_ = completion;
        std::vector<uint8_t> body(body_size, 0x11);
        return conmon_client_send_control_message(
            client_,
            [](conmon_client* client, conmon_client_request_id, aud_error status) {
                auto* self = static_cast<DomainClient*>(conmon_client_get_context(client));
                self->completion_->done = true;
                self->completion_->status = status;
            },
            nullptr, device, 0xFFFF, kVendor, body.data(), body_size, timeout);
    }

    Stand stand_;
    domain_provider* provider_ = nullptr;
    conmon_client* client_ = nullptr;
    std::vector<std::vector<uint8_t>> sent_;
    Completion* completion_ = nullptr;
    std::vector<Delivered> delivered_;
};

// The domain is announced when it changes, not when a client is made in it.
TEST_F(DomainClient, AnnouncesTheDomainAndLimitsItsMessages) {
    EXPECT_FALSE(last_sent(0x2012));
    current_domain_byte = 0xD1;
    domain_provider_notify_domain_changed(provider_);
    const auto announcement = last_sent(0x2012);
    ASSERT_TRUE(announcement);
    const avn_packet_view view = read(*announcement);
    EXPECT_EQ(view.destination, (avn_packet_address{AVN_PACKET_NODE_DOMAIN_MANAGER, 0}));
    EXPECT_NE(view.source.listener, 0);  // the relay named the sender
    EXPECT_EQ(avn_packet_data(view)[0], 0xD1);

    EXPECT_EQ(conmon_client_get_max_body_size(client_), 1320u);
    Completion completion;
    completion_ = &completion;
    EXPECT_EQ(send(&completion, nullptr, 1321), AUD_ERR_TRUNCATED);
    const uint8_t body[6] = {};
    EXPECT_EQ(conmon_client_send_control_message(client_, nullptr, nullptr, "", 0xFFFF, kVendor,
                                                 body, 6, nullptr),
              AUD_ERR_INVALIDSTATE);  // the local device is not reached through the domain
}

TEST_F(DomainClient, AnUnresolvedNameFailsWithNotFoundWhenItsWaitEnds) {
    struct Case {
        const char* what;
        const char* device;  // each its own, so that each case starts its own lookup
        std::optional<aud_time> timeout;
        int64_t wait_ms;
    };
    const Case cases[] = {
        {"given timeout", "TPX2-One", aud_time{0, 300000}, 300},
        {"no timeout", "TPX2-Two", std::nullopt, 2000},
        {"zero timeout", "TPX2-Three", aud_time{0, 0}, 2000},
    };
    for (const Case& c : cases) {
        Completion completion;
        completion_ = &completion;
        ASSERT_EQ(send(&completion, c.timeout ? &*c.timeout : nullptr, 6, c.device), AUD_SUCCESS)
            << c.what;
        const auto lookup = last_sent(DB_LOOKUP_MESSAGE_REQUEST);
        ASSERT_TRUE(lookup) << c.what;
        const avn_packet_view request = read(*lookup);
        const char* asked = nullptr;
        ASSERT_TRUE(avn_packet_text(request, byte_order::load_be16(avn_packet_data(request).data() + 24),
                                    32, &asked))
            << c.what;
        EXPECT_STREQ(asked, c.device);
        advance_ms(c.wait_ms - 10);
        EXPECT_FALSE(completion.done) << c.what;
        advance_ms(20);
        EXPECT_TRUE(completion.done) << c.what;
        EXPECT_EQ(completion.status, AUD_ERR_NOTFOUND) << c.what;
        EXPECT_FALSE(last_sent(0x2002)) << c.what;
    }
}

TEST_F(DomainClient, ALookupThatEndsWithoutTheDeviceFailsItsMessages) {
    struct Case {
        const char* what;
        bool refused;  // else a final result without a record
        uint16_t status;
        aud_error expected;
    };
    const Case cases[] = {
        {"not in the domain", false, 0, AUD_ERR_NOTFOUND},
        {"refused by policy", true, 6, AUD_ERR_POLICY},
        {"refused as malformed", true, 5, AUD_ERR_INVALIDDATA},
        {"refused otherwise", true, 1, AUD_ERR_SYSTEM},
    };
    for (const Case& c : cases) {
        Completion completion;
        ASSERT_EQ(send(&completion, nullptr), AUD_SUCCESS) << c.what;
        const auto lookup = last_sent(DB_LOOKUP_MESSAGE_REQUEST);
        ASSERT_TRUE(lookup);
        if (c.refused) {
            deliver(from_dm(AVN_PACKET_KIND_REPLY, DB_LOOKUP_MESSAGE_REQUEST,
                            read(*lookup).sequence, c.status, {}));
        } else {
            uint8_t data[24] = {};
            byte_order::store_be32(data + 16, lookup_request_id());
            byte_order::store_be16(data + 20, 0x1);
            deliver(from_dm(AVN_PACKET_KIND_REQUEST, DB_LOOKUP_MESSAGE_RESULT, 9, 0, data));
        }
        EXPECT_TRUE(completion.done) << c.what;  // at once, not at the end of the wait
        EXPECT_EQ(completion.status, c.expected) << c.what;
    }
}

TEST_F(DomainClient, AResolvedNameCarriesTheMessageAndTheReplyCompletesIt) {
    Completion completion;
    completion_ = &completion;
    ASSERT_EQ(send(&completion, nullptr), AUD_SUCCESS);
    const uint32_t id = lookup_request_id();
    deliver(resolution(id, kDeviceNode, true));
    // The result is acknowledged with status 0.
    const auto ack = last_sent(DB_LOOKUP_MESSAGE_RESULT);
    ASSERT_TRUE(ack);
    EXPECT_EQ(read(*ack).kind, AVN_PACKET_KIND_REPLY);
    EXPECT_EQ(read(*ack).status, 0);
    run_due();
    const auto control = last_sent(0x2002);
    ASSERT_TRUE(control);
    const avn_packet_view view = read(*control);
    EXPECT_EQ(view.destination, (avn_packet_address{kDeviceNode, 0}));
    const auto data = avn_packet_data(view);
    ASSERT_EQ(data.size(), 12u);
    const uint16_t length = byte_order::load_be16(data.data());
    EXPECT_EQ(length, 24 + 6);
    const auto message = avn_packet_at(view, byte_order::load_be16(data.data() + 2), length);
    ASSERT_FALSE(message.empty());
    EXPECT_NE(byte_order::load_be16(message.data() + 4), 0);  // its own sequence number
    EXPECT_EQ(std::memcmp(message.data() + 16, kVendor, 8), 0);
    EXPECT_FALSE(completion.done);

    deliver(from_dm(AVN_PACKET_KIND_REPLY, 0x2002, view.sequence, 0, {}));
    EXPECT_TRUE(completion.done);
    EXPECT_EQ(completion.status, AUD_SUCCESS);

    // The name stays resolved: the next message goes at once, and a
    // refusal maps its status.
    Completion second;
    completion_ = &second;
    const size_t lookups = sent_.size();
    ASSERT_EQ(send(&second, nullptr), AUD_SUCCESS);
    ASSERT_EQ(sent_.size(), lookups + 1);
    deliver(from_dm(AVN_PACKET_KIND_REPLY, 0x2002, read(sent_.back()).sequence, 6, {}));
    EXPECT_EQ(second.status, AUD_ERR_POLICY);
}

TEST_F(DomainClient, DeviceMessagesAreDeliveredAndAnsweredWhenNumbered) {
    ASSERT_EQ(
        conmon_client_register_monitoring_messages(
            client_, nullptr, nullptr, CONMON_CHANNEL_TYPE_STATUS, CONMON_DIRECTION_REMOTE,
            [](conmon_client* client, uint16_t type, uint16_t, const conmon_message* message,
               const uint8_t* body) {
                auto* self = static_cast<DomainClient*>(conmon_client_get_context(client));
                const conmon_source source = conmon_message_source(message);
                const char* name = conmon_client_device_name_for_source(client, &source);
                self->delivered_.push_back({type,
                                            name != nullptr ? name : "",
                                            {body, body + conmon_message_body_size(message)}});
            }),
        AUD_SUCCESS);
    const auto registration = last_sent(0x2010);
    ASSERT_TRUE(registration);
    EXPECT_EQ(avn_packet_data(read(*registration)).size(), 32u);

    // A device message: data, then the conmon message and the sender's name.
    auto device_message = [&](uint16_t sequence) {
        std::vector<uint8_t> buffer(1500);
        avn_packet_builder builder;
        avn_packet_begin(&builder, buffer, AVN_PACKET_KIND_REQUEST, {0x7F000001, listener_id()},
                         {kDeviceNode, 0});
        avn_packet_add_chunk(&builder, 0x2003, sequence, 0);
        uint8_t data[8] = {};
        byte_order::store_be16(data + 4, CONMON_CHANNEL_TYPE_STATUS);
        avn_packet_add_data(&builder, data);
        uint8_t message[28] = {};
        byte_order::store_be16(message, 0xFFFF);
        byte_order::store_be16(message + 2, sizeof message);
        message[8] = 0x42;  // source device id
        std::memcpy(message + 16, kVendor, 8);
        message[24] = 0xAB;
        uint16_t offset = 0;
        avn_packet_append(&builder, message, &offset);
        avn_packet_patch16(&builder, 2, offset);
        avn_packet_append_text(&builder, "TPX2-Stage", &offset);
        avn_packet_patch16(&builder, 6, offset);
        const auto packet = avn_packet_finish(&builder);
        return std::vector<uint8_t>(packet.begin(), packet.end());
    };
    const size_t before = sent_.size();
    deliver(device_message(0));
    EXPECT_EQ(sent_.size(), before);  // sequence 0: nothing to answer
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].sender, "TPX2-Stage");
    EXPECT_EQ(delivered_[0].body[0], 0xAB);

    deliver(device_message(7));
    ASSERT_EQ(sent_.size(), before + 1);
    const avn_packet_view answer = read(sent_.back());
    EXPECT_EQ(answer.kind, AVN_PACKET_KIND_REPLY);
    EXPECT_EQ(answer.type, 0x2003);
    EXPECT_EQ(answer.sequence, 7);
    EXPECT_EQ(answer.destination, (avn_packet_address{kDeviceNode, 0}));
    EXPECT_EQ(answer.source, (avn_packet_address{0x7F000001, listener_id()}));
    EXPECT_EQ(delivered_.size(), 2u);
}

// Answers meant for someone else: a lookup result naming another device,
// a reply with sequence 0 while the message still waits for its name, and
// the late answers to a deleted client whose listener id the next client
// holds. None of them completes or addresses this client's message.
TEST_F(DomainClient, AnswersMeantForAnotherRequestAreIgnored) {
    Completion completion;
    ASSERT_EQ(send(&completion, nullptr), AUD_SUCCESS);
    const uint32_t first_lookup = lookup_request_id();
    deliver(from_dm(AVN_PACKET_KIND_REPLY, 0x2002, 0, 0, {}));
    deliver(resolution(first_lookup, 0x0A000099, false, "TPX2-Booth"));
    run_due();
    EXPECT_FALSE(completion.done);
    EXPECT_FALSE(last_sent(0x2002)) << "sent to another unit's node";

    deliver(resolution(first_lookup, kDeviceNode, true));
    run_due();
    const auto first_control = last_sent(0x2002);
    ASSERT_TRUE(first_control);
    const uint16_t first_sequence = read(*first_control).sequence;
    const uint16_t listener = listener_id();

    // The client gives up and is deleted; the next one gets the same
    // listener id and asks for the same unit.
    conmon_client_delete(client_);
    client_ = nullptr;
    sent_.clear();
    conmon_client_config* config = conmon_client_config_new("vendor_controller");
    ASSERT_EQ(conmon_client_new(reinterpret_cast<avnapi*>(&stand_), config, &client_), AUD_SUCCESS);
    conmon_client_config_delete(config);
    conmon_client_set_context(client_, this);
    Completion next;
    ASSERT_EQ(send(&next, nullptr), AUD_SUCCESS);
    ASSERT_EQ(listener_id(), listener);
    EXPECT_NE(lookup_request_id(), first_lookup);

    // The first client's late answers: its lookup result and its reply.
    deliver(resolution(first_lookup, 0x0A000099, true));
    deliver(from_dm(AVN_PACKET_KIND_REPLY, 0x2002, first_sequence, 0, {}));
    run_due();
    EXPECT_FALSE(next.done);
    EXPECT_FALSE(last_sent(0x2002));

    deliver(resolution(lookup_request_id(), kDeviceNode, true));
    run_due();
    const auto control = last_sent(0x2002);
    ASSERT_TRUE(control);
    EXPECT_EQ(read(*control).destination, (avn_packet_address{kDeviceNode, 0}));
    EXPECT_NE(read(*control).sequence, first_sequence);
    deliver(from_dm(AVN_PACKET_KIND_REPLY, 0x2002, first_sequence, 0, {}));
    EXPECT_FALSE(next.done);
    deliver(from_dm(AVN_PACKET_KIND_REPLY, 0x2002, read(*control).sequence, 0, {}));
    EXPECT_TRUE(next.done);
    EXPECT_EQ(next.status, AUD_SUCCESS);
}

}  // namespace
