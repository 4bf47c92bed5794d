#include "avn/conmon/conmon_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "avn/runtime/byte_order.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kVornix[CONMON_VENDOR_ID_SIZE] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

Bytes built(const std::function<size_t(std::span<uint8_t>)>& build) {
    Bytes out(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
    out.resize(build(out));
    return out;
}

Bytes conmon_message_of(size_t body_size, uint16_t type = 0xFFFF) {
    Bytes body(body_size, 0xAB);
    Bytes out(CONMON_MESSAGE_HEAD_SIZE + body_size);
    size_t size = 0;
    EXPECT_EQ(conmon_message_build(out, type, kVornix, body, &size), AUD_SUCCESS);
    return out;
}

Bytes header_only(uint16_t opcode, uint16_t status, uint16_t version = CONMON_PROTOCOL_VERSION) {
    Bytes m(CONMON_PROTOCOL_HEADER_SIZE);
    conmon_protocol_write_header(m, {version, 10, 7, opcode, status});
    return m;
}

// Copies `m` with its length field rewritten, to build inconsistent messages.
Bytes with_length_field(Bytes m, uint16_t length) {
    byte_order::store_le16(&m[2], length);
    return m;
}

Bytes resized(Bytes m, size_t size) {
    m.resize(size);
    byte_order::store_le16(&m[2], static_cast<uint16_t>(size));
    return m;
}

Bytes with_kind(Bytes m, uint16_t kind) {
    byte_order::store_le16(&m[8], kind);
    return m;
}

TEST(ConmonRequests, SizesOfBuiltRequests) {
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_subscribe(out, CONMON_PROTOCOL_VERSION, CONMON_OPCODE_SUBSCRIBE,
                                                CONMON_CHANNEL_TYPE_STATUS, 0, "TPX-2");
              }).size(),
              30u);
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_subscribe(out, 0x1000, CONMON_OPCODE_SUBSCRIBE, 2, 0, "TPX-2");
              }).size(),
              28u);

    const Bytes message = conmon_message_of(40);
    const Bytes control = built([&](auto out) {
        return conmon_build_control(out, CONMON_PROTOCOL_VERSION, "TPX-2", 1, 500000, message);
    });
    ASSERT_EQ(control.size(), 116u);
    EXPECT_EQ(control[52 + 2], 0x00);  // conmon length, big-endian 0x0040
    EXPECT_EQ(control[52 + 3], 0x40);
    EXPECT_EQ(std::memcmp(&control[52 + 16], kVornix, 8), 0);

    EXPECT_EQ(built([](auto out) {
                  return conmon_build_connect(out, CONMON_PROTOCOL_VERSION, "vendor_controller", true);
              }).size(),
              44u);
    // An older server gets the name and its terminator, no keepalive field.
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_connect(out, 0x1300, "vendor_controller", true);
              }).size(),
              17u + 11u);
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_register(out, 0x1503, CONMON_OPCODE_REGISTER, 2, 1, 0);
              }).size(),
              16u);
    EXPECT_EQ(built([](auto out) {
                  return conmon_build_register(out, 0x1000, CONMON_OPCODE_REGISTER, 2, 1, 0);
              }).size(),
              14u);
}

TEST(ConmonRequests, BuiltRequestsPassValidation) {
    const Bytes message = conmon_message_of(13);
    const std::vector<Bytes> requests = {
        built([](auto o) { return conmon_build_connect(o, 0x1503, "vendor_controller", true); }),
        built([](auto o) { return conmon_build_connect(o, 0x1300, "vendor_controller", false); }),
        built([](auto o) { return conmon_build_register(o, 0x1503, CONMON_OPCODE_REGISTER, 2, 1, 0); }),
        built([](auto o) { return conmon_build_subscribe(o, 0x1503, CONMON_OPCODE_SUBSCRIBE, 2, 0, "u"); }),
        built([&](auto o) { return conmon_build_control(o, 0x1503, "TPX-2", 1, 0, message); }),
        built([](auto o) { return conmon_build_header_only(o, 0x1503, CONMON_OPCODE_KEEPALIVE); }),
    };
    for (const Bytes& r : requests) {
        EXPECT_EQ(conmon_protocol_validate(r), 0) << std::hex << byte_order::load_le16(&r[6]);
    }
}

// A message written out by hand: zero bytes, with fields placed at their
// absolute offsets.
class Handwritten {
public:
    explicit Handwritten(size_t length) : bytes_(length, 0) {}

    Handwritten& at(size_t offset, std::initializer_list<uint8_t> values) {
        return at(offset, Bytes(values));
    }
    Handwritten& at(size_t offset, const Bytes& values) {
        EXPECT_LE(offset + values.size(), bytes_.size()) << "a field at " << offset << " overruns";
        for (size_t i = 0; i < values.size() && offset + i < bytes_.size(); ++i) {
            bytes_[offset + i] = values[i];
        }
        return *this;
    }
    Handwritten& text(size_t offset, std::string_view text) {
        return at(offset, Bytes(text.begin(), text.end()));
    }
    operator Bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

// The fields used throughout the layouts below, and their bytes.
constexpr uint8_t kDeviceId[8] = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
const conmon_source kSource{{0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}, 0x0A0B};

conmon_interface_record interface_record() {
    conmon_interface_record r;
    r.index = 3;
    r.flags = CONMON_INTERFACE_FLAG_LINK_UP;
    const uint8_t address[4] = {192, 168, 1, 20};
    const uint8_t netmask[4] = {255, 255, 255, 0};
    std::memcpy(&r.address, address, 4);
    std::memcpy(&r.netmask, netmask, 4);
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0xAA, 0xBB, 0xCC};
    std::memcpy(r.mac, mac, 6);
    r.link_speed = 1000;
    return r;
}
const Bytes kInterfaceRecordBytes = {
    0x03, 0x00, 0x00, 0x00,              // 0 interface index
    0x01, 0x00, 0x00, 0x00,              // 4 flags: link up
    0xC0, 0xA8, 0x01, 0x14,              // 8 address 192.168.1.20
    0xFF, 0xFF, 0xFF, 0x00,              // 12 netmask
    0x02, 0x00, 0x00, 0xAA, 0xBB, 0xCC,  // 16 MAC address
    0x00, 0x00,                          // 22 nothing
    0xE8, 0x03, 0x00, 0x00,              // 24 link speed 1000 Mbit/s
};

conmon_subscription_record subscription_record() {
    conmon_subscription_record r;
    r.flags = CONMON_SUBSCRIPTION_FLAG_RX_ADDRESS | CONMON_SUBSCRIPTION_FLAG_SOURCE |
              CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION;
    r.subscription_id = 0x0304;
    std::strcpy(r.device_name, "TPX-2");
    r.channel_type = CONMON_CHANNEL_TYPE_STATUS;
    r.status[0] = 0x01;
    r.status[1] = 0x04;
    r.key = 0x0A0B0C0D;
    std::memcpy(r.source.device_id, kDeviceId, 8);
    r.source.process_id = 0x3344;
    const uint8_t rx_address[4] = {192, 168, 1, 20};
    std::memcpy(&r.rx_address, rx_address, 4);
    r.rx_port = 0x1F90;
    for (uint8_t i = 0; i < 8; ++i) {
        r.domain_route[i] = static_cast<uint8_t>(0xD1 + i);
    }
    return r;
}
// Offsets 0 to 43: the record of versions below 0x1100 (48 bytes) ends with
// four bytes of nothing; from 0x1100 on, the source, receive address and
// domain route follow (72 bytes).
const Bytes kSubscriptionRecordHead = {
    0x09, 0x01,              // 0 flags
    0x04, 0x03,              // 2 subscription id
    'T', 'P', 'X', '-', '2', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 4 device name
    0x02, 0x00,              // 36 channel type
    0x01, 0x04,              // 38 two status values
    0x0D, 0x0C, 0x0B, 0x0A,  // 40 key
};
const Bytes kSubscriptionRecordTail = {
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,  // 44 source device id
    0x44, 0x33,                                      // 52 source process id
    0x00, 0x00,                                      // 54 nothing
    0xC0, 0xA8, 0x01, 0x14,                          // 56 receive address
    0x90, 0x1F,                                      // 60 receive port
    0x00, 0x00,                                      // 62 nothing
    0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8,  // 64 domain route
};

// A conmon message from a device (big-endian head, then a 3-byte body) and
// the same message as the client builds it for the local server (sequence
// and source zero).
Bytes device_message() {
    Bytes m(27);
    size_t size = 0;
    EXPECT_EQ(conmon_message_build(m, 0x1234, kVornix, Bytes{0xB1, 0xB2, 0xB3}, &size), AUD_SUCCESS);
    conmon_message_set_origin(m.data(), 0x0102, kSource);
    return m;
}
const Bytes kDeviceMessageBytes = {
    0x12, 0x34,                                      // 0 message type
    0x00, 0x1B,                                      // 2 length 27
    0x01, 0x02,                                      // 4 sequence number
    0x0A, 0x0B,                                      // 6 source process id
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,  // 8 source device id
    'V', 'o', 'r', 'n', 'i', 'x', 0x00, 0x00,        // 16 manufacturer ID
    0xB1, 0xB2, 0xB3,                                // 24 body
};
const Bytes kControlMessageBytes = {
    0xFF, 0xFF, 0x00, 0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    'V', 'o', 'r', 'n', 'i', 'x', 0x00, 0x00, 0xB1, 0xB2, 0xB3,
};

// One layout of the local protocol: what the builder writes, the same
// message written out by hand from the layout, and a check of what the
// reading side makes of the hand-written bytes.
struct Layout {
    const char* what;
    Bytes built;  // empty where the system has no builder for it
    Bytes handwritten;
    std::function<void(std::span<const uint8_t>)> read;
};

std::vector<Layout> layouts() {
    const conmon_interface_record iface = interface_record();
    const conmon_subscription_record subscription = subscription_record();
    conmon_connect_info info;
    info.capabilities = CONMON_CAPABILITY_NO_RESPONSE;
    std::strcpy(info.device_name, "PC-STUDIO");
    std::strcpy(info.device_text, "Control PC");
    std::memcpy(info.source.device_id, kDeviceId, 8);
    info.source.process_id = 4440;
    info.interface_count = 1;
    info.interfaces[0] = iface;
    info.extra[0] = 0x11223344;
    info.extra[1] = 0x55667788;
    const conmon_protocol_header connect{0x1503, 44, 5, CONMON_OPCODE_CONNECT, 0};
    const conmon_protocol_header subscribe{0x1503, 30, 9, CONMON_OPCODE_SUBSCRIBE, 0};
    const conmon_protocol_header control{0x1503, 79, 7, CONMON_OPCODE_CONTROL, 0};
    const auto with_id = [](Bytes m, uint16_t id) {
        conmon_protocol_set_request_id(m, id);
        return m;
    };
    const auto request = [](auto check) {
        return [check](std::span<const uint8_t> m) {
            conmon_request_fields fields;
            ASSERT_TRUE(conmon_parse_request(m, &fields));
            check(fields);
        };
    };
    const auto connect_read = [](uint16_t version, bool newer) {
        return [version, newer](std::span<const uint8_t> m) {
            conmon_connect_info parsed;
            ASSERT_TRUE(conmon_parse_connect_response(m, version, &parsed));
            EXPECT_EQ(parsed.capabilities, newer ? CONMON_CAPABILITY_NO_RESPONSE : 0);
            EXPECT_STREQ(parsed.device_name, "PC-STUDIO");
            EXPECT_STREQ(parsed.device_text, newer ? "Control PC" : "");
            EXPECT_EQ(parsed.source, (conmon_source{{0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}, 4440}));
            ASSERT_EQ(parsed.interface_count, 1u);
            EXPECT_EQ(parsed.interfaces[0], interface_record());
            EXPECT_EQ(parsed.extra[0], newer ? 0x11223344u : 0u);
            EXPECT_EQ(parsed.extra[1], newer ? 0x55667788u : 0u);
        };
    };
    const auto interfaces_read = [](uint16_t version) {
        return [version](std::span<const uint8_t> m) {
            conmon_interface_record records[CONMON_MAX_INTERFACES];
            size_t count = 0;
            ASSERT_TRUE(conmon_parse_interfaces(m, version, records, &count));
            ASSERT_EQ(count, 1u);
            EXPECT_EQ(records[0], interface_record());
        };
    };
    const auto rx_read = [](const char* sender, uint8_t flags) {
        return [sender, flags](std::span<const uint8_t> m) {
            conmon_rx_message rx;
            ASSERT_TRUE(conmon_parse_rx_message(m, &rx));
            EXPECT_EQ(rx.channel_type, CONMON_CHANNEL_TYPE_STATUS);
            EXPECT_EQ(rx.direction, CONMON_DIRECTION_REMOTE);
            EXPECT_EQ(rx.flags, flags);
            EXPECT_STREQ(rx.sender, sender);
            EXPECT_EQ(Bytes(rx.message.begin(), rx.message.end()), kDeviceMessageBytes);
            const conmon_message* message = conmon_message_from_bytes(rx.message.data());
            EXPECT_EQ(conmon_message_type(message), 0x1234);
            EXPECT_EQ(conmon_message_sequence(message), 0x0102);
            EXPECT_EQ(conmon_message_source(message), kSource);
            EXPECT_EQ(conmon_message_body_size(message), 3);
        };
    };
    const auto subscriptions_read = [](uint16_t version, bool with_tail) {
        return [version, with_tail](std::span<const uint8_t> m) {
            ASSERT_EQ(conmon_subscription_record_count(m, version), 1u);
            conmon_subscription_record parsed;
            ASSERT_TRUE(conmon_parse_subscription_record(m, version, 0, &parsed));
            const conmon_subscription_record expected = subscription_record();
            EXPECT_EQ(parsed.subscription_id, expected.subscription_id);
            EXPECT_STREQ(parsed.device_name, "TPX-2");
            EXPECT_EQ(parsed.channel_type, expected.channel_type);
            EXPECT_EQ(parsed.key, expected.key);
            if (with_tail) {
                EXPECT_EQ(parsed.flags, expected.flags);
                EXPECT_EQ(parsed.status[1], 0x04);
                EXPECT_EQ(parsed.source, expected.source);
                EXPECT_EQ(parsed.rx_address, expected.rx_address);
                EXPECT_EQ(parsed.rx_port, expected.rx_port);
                EXPECT_EQ(std::memcmp(parsed.domain_route, expected.domain_route, 8), 0);
            } else {
                // No source in the short record, and no status values before 0x1300.
                EXPECT_EQ(parsed.flags, expected.flags & ~CONMON_SUBSCRIPTION_FLAG_SOURCE);
                EXPECT_EQ(parsed.status[1], 0);
            }
        };
    };
    const Bytes message = device_message();
    Bytes control_message(27);
    conmon_message_build(control_message, 0xFFFF, kVornix, Bytes{0xB1, 0xB2, 0xB3}, nullptr);

    return {
        {"header", built([](auto o) {
             conmon_protocol_write_header(o, {0x1503, 10, 0x0201, CONMON_OPCODE_DISCONNECT, 0xF000});
             return size_t{10};
         }),
         Handwritten(10).at(0, {0x03, 0x15, 0x0A, 0x00, 0x01, 0x02, 0x01, 0x01, 0x00, 0xF0}),
         [](std::span<const uint8_t> m) {
             conmon_protocol_header h;
             ASSERT_TRUE(conmon_protocol_read_header(m, &h));
             EXPECT_EQ(h.version, 0x1503);
             EXPECT_EQ(h.length, 10);
             EXPECT_EQ(h.request_id, 0x0201);
             EXPECT_EQ(h.opcode, CONMON_OPCODE_DISCONNECT);
             EXPECT_EQ(h.status, 0xF000);
         }},
        {"KEEPALIVE request", built([](auto o) { return conmon_build_header_only(o, 0x1503, CONMON_OPCODE_KEEPALIVE); }),
         Handwritten(10).at(0, {0x03, 0x15, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), nullptr},
        {"CLEAR_REMOTE request",
         built([](auto o) { return conmon_build_header_only(o, 0x1503, CONMON_OPCODE_CLEAR_REMOTE); }),
         Handwritten(10).at(0, {0x03, 0x15, 0x0A, 0x00, 0x00, 0x00, 0x30, 0x03, 0x00, 0x00}), nullptr},
        {"CONNECT request",
         built([](auto o) { return conmon_build_connect(o, 0x1503, "vendor_controller", true); }),
         Handwritten(44)
             .at(0, {0x03, 0x15, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00})
             .text(10, "vendor_controller")
             .at(42, {0x0A, 0x00}),
         request([](const conmon_request_fields& f) {
             EXPECT_STREQ(f.name, "vendor_controller");
             EXPECT_EQ(f.keepalive, 10);
         })},
        {"CONNECT request 0x1300",
         built([](auto o) { return conmon_build_connect(o, 0x1300, "vendor_controller", true); }),
         Handwritten(28).at(0, {0x00, 0x13, 0x1C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}).text(10, "vendor_controller"),
         request([](const conmon_request_fields& f) {
             EXPECT_STREQ(f.name, "vendor_controller");
             EXPECT_EQ(f.keepalive, 0);
         })},
        {"CONNECT response",
         built([&](auto o) { return conmon_build_connect_response(o, connect, 0x1503, info); }),
         Handwritten(360)
             .at(0, {0x03, 0x15, 0x68, 0x01, 0x05, 0x00, 0x00, 0x01, 0x01, 0x00})
             .at(10, {0x01, 0x00})
             .text(12, "PC-STUDIO")
             .text(44, "Control PC")
             .at(300, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18})
             .at(308, {0x58, 0x11})
             .at(310, {0x01, 0x00})
             .at(312, {0x24, 0x00})
             .at(314, {0x44, 0x01})
             .at(316, {0x44, 0x33, 0x22, 0x11})
             .at(320, {0x88, 0x77, 0x66, 0x55})
             .at(324, kInterfaceRecordBytes),
         connect_read(0x1503, true)},
        {"CONNECT response 0x1100",
         built([&](auto o) { return conmon_build_connect_response(o, connect, 0x1100, info); }),
         Handwritten(144)
             .at(0, {0x00, 0x11, 0x90, 0x00, 0x05, 0x00, 0x00, 0x01, 0x01, 0x00})
             .text(12, "PC-STUDIO")
             .at(44, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18})
             .at(52, {0x58, 0x11})
             .at(54, {0x01, 0x00})
             .at(56, kInterfaceRecordBytes),
         connect_read(0x1100, false)},
        {"DEVICE_NAME response",
         built([](auto o) { return conmon_build_name_event(o, 0x1503, CONMON_OPCODE_DEVICE_NAME, "PC-STUDIO"); }),
         Handwritten(42).at(0, {0x03, 0x15, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00}).text(10, "PC-STUDIO"),
         nullptr},
        {"REGISTER request",
         built([](auto o) { return conmon_build_register(o, 0x1503, CONMON_OPCODE_REGISTER, 2, 1, 0x1F90); }),
         Handwritten(16)
             .at(0, {0x03, 0x15, 0x10, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00})
             .at(10, {0x02, 0x00, 0x01, 0x00, 0x90, 0x1F}),
         request([](const conmon_request_fields& f) {
             EXPECT_EQ(f.channel_type, 2);
             EXPECT_EQ(f.direction, 1);
             EXPECT_EQ(f.port, 0x1F90);
         })},
        {"UNREGISTER request 0x1000",
         built([](auto o) { return conmon_build_register(o, 0x1000, CONMON_OPCODE_UNREGISTER, 2, 1, 0x1F90); }),
         Handwritten(14)
             .at(0, {0x00, 0x10, 0x0E, 0x00, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00})
             .at(10, {0x02, 0x00, 0x01, 0x00}),
         request([](const conmon_request_fields& f) {
             EXPECT_EQ(f.channel_type, 2);
             EXPECT_EQ(f.direction, 1);
             EXPECT_EQ(f.port, 0);
         })},
        {"SUBSCRIBE request",
         with_id(built([](auto o) {
                     return conmon_build_subscribe(o, 0x1503, CONMON_OPCODE_SUBSCRIBE, 2, 0x1F90, "TPX-2");
                 }),
                 9),
         Handwritten(30)
             .at(0, {0x03, 0x15, 0x1E, 0x00, 0x09, 0x00, 0x10, 0x03, 0x00, 0x00})
             .at(10, {0x02, 0x00, 0x90, 0x1F})
             .text(14, "TPX-2"),
         request([](const conmon_request_fields& f) {
             EXPECT_EQ(f.channel_type, 2);
             EXPECT_EQ(f.port, 0x1F90);
             EXPECT_STREQ(f.name, "TPX-2");
         })},
        {"SUBSCRIBE request 0x1000",
         built([](auto o) { return conmon_build_subscribe(o, 0x1000, CONMON_OPCODE_SUBSCRIBE, 2, 0x1F90, "TPX-2"); }),
         Handwritten(28)
             .at(0, {0x00, 0x10, 0x1C, 0x00, 0x00, 0x00, 0x10, 0x03, 0x00, 0x00})
             .at(10, {0x02, 0x00})
             .text(12, "TPX-2"),
         request([](const conmon_request_fields& f) {
             EXPECT_EQ(f.channel_type, 2);
             EXPECT_EQ(f.port, 0);
             EXPECT_STREQ(f.name, "TPX-2");
         })},
        {"CONTROL request to a named device",
         with_id(built([&](auto o) { return conmon_build_control(o, 0x1503, "TPX-2", 2, 250000, control_message); }),
                 7),
         Handwritten(79)
             .at(0, {0x03, 0x15, 0x4F, 0x00, 0x07, 0x00, 0x00, 0x04, 0x00, 0x00})
             .at(10, {0x00, 0x00})
             .at(12, {0x02, 0x00, 0x00, 0x00})
             .at(16, {0x90, 0xD0, 0x03, 0x00})
             .text(20, "TPX-2")
             .at(52, kControlMessageBytes),
         request([](const conmon_request_fields& f) {
             EXPECT_EQ(f.channel, 0);
             EXPECT_EQ(f.timeout_seconds, 2u);
             EXPECT_EQ(f.timeout_microseconds, 250000u);
             EXPECT_STREQ(f.name, "TPX-2");
             EXPECT_EQ(Bytes(f.conmon_message.begin(), f.conmon_message.end()), kControlMessageBytes);
         })},
        {"CONTROL request on a channel", {},
         Handwritten(39)
             .at(0, {0x03, 0x15, 0x27, 0x00, 0x07, 0x00, 0x00, 0x04, 0x00, 0x00})
             .at(10, {0x03, 0x00})
             .at(12, kControlMessageBytes),
         request([](const conmon_request_fields& f) {
             EXPECT_EQ(f.channel, 3);
             EXPECT_EQ(Bytes(f.conmon_message.begin(), f.conmon_message.end()), kControlMessageBytes);
         })},
        {"error response",
         built([&](auto o) { return conmon_build_response(o, control, CONMON_STATUS_NOT_FOUND); }),
         Handwritten(10).at(0, {0x03, 0x15, 0x0A, 0x00, 0x07, 0x00, 0x00, 0x04, 0x0D, 0x00}), nullptr},
        {"INTERFACES event",
         built([&](auto o) { return conmon_build_interfaces_event(o, 0x1503, {&iface, 1}); }),
         Handwritten(52)
             .at(0, {0x03, 0x15, 0x34, 0x00, 0x00, 0x00, 0x00, 0x05, 0x02, 0x00})
             .at(10, {0x01, 0x00, 0x24, 0x00, 0x10, 0x00})
             .at(16, kInterfaceRecordBytes),
         interfaces_read(0x1503)},
        {"INTERFACES event 0x1100",
         built([&](auto o) { return conmon_build_interfaces_event(o, 0x1100, {&iface, 1}); }),
         Handwritten(100)
             .at(0, {0x00, 0x11, 0x64, 0x00, 0x00, 0x00, 0x00, 0x05, 0x02, 0x00})
             .at(10, {0x01, 0x00})
             .at(12, kInterfaceRecordBytes),
         interfaces_read(0x1100)},
        {"LOCAL_NAME event",
         built([](auto o) { return conmon_build_name_event(o, 0x1503, CONMON_OPCODE_LOCAL_NAME, "PC-STAGE"); }),
         Handwritten(42).at(0, {0x03, 0x15, 0x2A, 0x00, 0x00, 0x00, 0x01, 0x05, 0x02, 0x00}).text(10, "PC-STAGE"),
         nullptr},
        {"LOCAL_TEXT event", built([](auto o) { return conmon_build_text_event(o, 0x1503, "Control PC"); }),
         Handwritten(266).at(0, {0x03, 0x15, 0x0A, 0x01, 0x00, 0x00, 0x02, 0x05, 0x02, 0x00}).text(10, "Control PC"),
         nullptr},
        {"RX_MESSAGE event",
         built([&](auto o) { return conmon_build_rx_message(o, 0x1503, 2, 1, 0x02, message); }),
         Handwritten(43)
             .at(0, {0x03, 0x15, 0x2B, 0x00, 0x00, 0x00, 0x10, 0x05, 0x02, 0x00})
             .at(10, {0x02, 0x00, 0x01, 0x00, 0x00, 0x02})
             .at(16, kDeviceMessageBytes),
         rx_read("", 0x02)},
        {"RX_NAMED_MESSAGE event",
         built([&](auto o) { return conmon_build_rx_named_message(o, 0x1503, 2, 1, "TPX-2", message); }),
         Handwritten(75)
             .at(0, {0x03, 0x15, 0x4B, 0x00, 0x00, 0x00, 0x11, 0x05, 0x02, 0x00})
             .at(10, {0x02, 0x00, 0x01, 0x00})
             .text(16, "TPX-2")
             .at(48, kDeviceMessageBytes),
         rx_read("TPX-2", 0)},
        {"SUBSCRIPTIONS event",
         built([&](auto o) { return conmon_build_subscriptions(o, 0x1503, nullptr, {&subscription, 1}); }),
         Handwritten(88)
             .at(0, {0x03, 0x15, 0x58, 0x00, 0x00, 0x00, 0x21, 0x05, 0x02, 0x00})
             .at(10, {0x01, 0x00, 0x48, 0x00, 0x10, 0x00})
             .at(16, kSubscriptionRecordHead)
             .at(16 + 44, kSubscriptionRecordTail),
         subscriptions_read(0x1503, true)},
        {"SUBSCRIBE response",
         built([&](auto o) { return conmon_build_subscriptions(o, 0x1503, &subscribe, {&subscription, 1}); }),
         Handwritten(88)
             .at(0, {0x03, 0x15, 0x58, 0x00, 0x09, 0x00, 0x10, 0x03, 0x01, 0x00})
             .at(10, {0x01, 0x00, 0x48, 0x00, 0x10, 0x00})
             .at(16, kSubscriptionRecordHead)
             .at(16 + 44, kSubscriptionRecordTail),
         subscriptions_read(0x1503, true)},
        {"SUBSCRIPTIONS event 0x1000",
         built([&](auto o) { return conmon_build_subscriptions(o, 0x1000, nullptr, {&subscription, 1}); }),
         Handwritten(60)
             .at(0, {0x00, 0x10, 0x3C, 0x00, 0x00, 0x00, 0x21, 0x05, 0x02, 0x00})
             .at(10, {0x01, 0x00})
             .at(12, kSubscriptionRecordHead)
             .at(12 + 38, {0x00, 0x00}),  // no status values before 0x1300
         subscriptions_read(0x1000, false)},
    };
}

// Every layout of the local protocol against bytes written out by hand from
// its description, so that a slip shared by the writing and the reading side
// (and so by the client and the simulated server) cannot pass.
TEST(ConmonLayouts, FieldsSitAtTheirOffsets) {
    for (const Layout& layout : layouts()) {
        SCOPED_TRACE(layout.what);
        const Bytes& hand = layout.handwritten;
        if (!layout.built.empty()) {
            ASSERT_EQ(layout.built.size(), hand.size());
            for (size_t i = 0; i < hand.size(); ++i) {
                EXPECT_EQ(layout.built[i], hand[i]) << "at offset " << i;
            }
        }
        EXPECT_EQ(conmon_protocol_validate(hand), 0);
        if (layout.read) {
            layout.read(hand);
        }
    }
}

TEST(ConmonMessage, BuildRefusesLongBodiesAndReadsItsHead) {
    Bytes out(2000);
    EXPECT_EQ(conmon_message_build(out, 0xFFFF, kVornix, Bytes(1449), nullptr),
              AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(conmon_message_build(std::span<uint8_t>(out).first(30), 0xFFFF, kVornix, Bytes(10),
                                   nullptr),
              AUD_ERR_NOBUFS);

    const Bytes m = conmon_message_of(13);
    ASSERT_TRUE(conmon_message_is_valid(m));
    const conmon_message* message = conmon_message_from_bytes(m.data());
    EXPECT_EQ(conmon_message_type(message), 0xFFFF);
    EXPECT_EQ(conmon_message_body_size(message), 13);
    EXPECT_EQ(std::memcmp(conmon_message_vendor_id(message), kVornix, 8), 0);
    EXPECT_FALSE(conmon_message_is_valid(std::span<const uint8_t>(m).first(23)));
    EXPECT_FALSE(conmon_message_is_valid(std::span<const uint8_t>(m).first(30)));
}

struct ValidationCase {
    const char* what;
    Bytes message;
    uint16_t status;
};

class ConmonValidation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(ConmonValidation, GivesTheStatusOfTheFault) {
    const ValidationCase& c = GetParam();
    EXPECT_EQ(conmon_protocol_validate(c.message), c.status)
        << c.what << ": " << conmon_status_name(conmon_protocol_validate(c.message));
}

std::vector<ValidationCase> validation_cases() {
    conmon_connect_info info;
    std::strcpy(info.device_name, "PC-1");
    info.interface_count = 1;
    const conmon_protocol_header connect{0x1503, 44, 1, CONMON_OPCODE_CONNECT, 0};
    const Bytes connect_response =
        built([&](auto o) { return conmon_build_connect_response(o, connect, 0x1503, info); });
    const Bytes old_connect_response =
        built([&](auto o) { return conmon_build_connect_response(o, connect, 0x1100, info); });
    const Bytes message = conmon_message_of(13);
    const Bytes rx = built([&](auto o) { return conmon_build_rx_message(o, 0x1503, 2, 1, 0, message); });
    const Bytes named =
        built([&](auto o) { return conmon_build_rx_named_message(o, 0x1503, 2, 1, "TPX-2", message); });
    conmon_subscription_record record;
    std::strcpy(record.device_name, "TPX-2");
    const Bytes subscriptions =
        built([&](auto o) { return conmon_build_subscriptions(o, 0x1503, nullptr, {&record, 1}); });
    const conmon_interface_record iface{};
    const Bytes interfaces =
        built([&](auto o) { return conmon_build_interfaces_event(o, 0x1503, {&iface, 1}); });
    const Bytes control = built([&](auto o) { return conmon_build_control(o, 0x1503, "TPX-2", 0, 0, message); });
    Bytes control_unterminated = control;
    std::memset(&control_unterminated[20], 'x', 32);
    Bytes rx_bad_inner = rx;
    byte_order::store_be16(&rx_bad_inner[16 + 2], 200);  // inner message longer than the datagram
    Bytes rx_tiny_inner = rx;
    byte_order::store_be16(&rx_tiny_inner[16 + 2], 4);  // shorter than a head
    Bytes register_bad_type =
        built([](auto o) { return conmon_build_register(o, 0x1503, CONMON_OPCODE_REGISTER, 9, 1, 0); });
    Bytes register_bad_direction =
        built([](auto o) { return conmon_build_register(o, 0x1503, CONMON_OPCODE_REGISTER, 2, 2, 0); });
    Bytes subscribe_type_0 =
        built([](auto o) { return conmon_build_subscribe(o, 0x1503, CONMON_OPCODE_SUBSCRIBE, 0, 0, "u"); });

    return {
        {"9 bytes", Bytes(9, 0x15), CONMON_STATUS_INVALID_SIZE},
        {"version too old", header_only(CONMON_OPCODE_KEEPALIVE, 1, 0x0FFF), CONMON_STATUS_INVALID_VERSION},
        {"version too new", header_only(CONMON_OPCODE_KEEPALIVE, 1, 0x2000), CONMON_STATUS_INVALID_VERSION},
        {"length field 12, 14 bytes", with_length_field(resized(header_only(0, 1), 14), 12),
         CONMON_STATUS_INVALID_SIZE},
        {"keepalive response", header_only(CONMON_OPCODE_KEEPALIVE, 1), 0},
        {"error response 13", header_only(CONMON_OPCODE_CONTROL, 13), 0},
        {"error response of unknown opcode", header_only(0x7777, 5), 0},
        {"unknown opcode", header_only(0x7777, 1), CONMON_STATUS_NOT_SUPPORTED},
        {"connect response", connect_response, 0},
        {"old connect response", old_connect_response, 0},
        {"connect response short", resized(connect_response, 200), CONMON_STATUS_INVALID_SIZE},
        {"connect response counts off", resized(connect_response, connect_response.size() + 4),
         CONMON_STATUS_INVALID_DATA},
        {"device name short", resized(header_only(CONMON_OPCODE_DEVICE_NAME, 1), 41), CONMON_STATUS_INVALID_SIZE},
        {"device name", resized(header_only(CONMON_OPCODE_DEVICE_NAME, 1), 42), 0},
        {"local text short", with_kind(resized(header_only(CONMON_OPCODE_LOCAL_TEXT, 2), 265), 2),
         CONMON_STATUS_INVALID_SIZE},
        {"register type 9", register_bad_type, CONMON_STATUS_INVALID_DATA},
        {"register direction 2", register_bad_direction, CONMON_STATUS_INVALID_DATA},
        {"subscribe type 0", subscribe_type_0, CONMON_STATUS_INVALID_DATA},
        {"subscribe event", header_only(CONMON_OPCODE_SUBSCRIBE, 2), CONMON_STATUS_INVALID_STATUS},
        {"control", control, 0},
        {"control name unterminated", control_unterminated, CONMON_STATUS_INVALID_DATA},
        {"control cut short", resized(control, 60), CONMON_STATUS_INVALID_DATA},
        {"rx message", rx, 0},
        {"rx message kind 1", with_kind(rx, 1), CONMON_STATUS_INVALID_STATUS},
        {"rx message short", resized(rx, 39), CONMON_STATUS_INVALID_SIZE},
        {"rx inner too long", rx_bad_inner, CONMON_STATUS_INVALID_DATA},
        {"rx inner shorter than a head", rx_tiny_inner, CONMON_STATUS_INVALID_DATA},
        {"rx named", named, 0},
        {"rx named short", resized(named, 71), CONMON_STATUS_INVALID_SIZE},
        {"subscriptions", subscriptions, 0},
        {"subscriptions count too high", [&] {
             Bytes m = subscriptions;
             byte_order::store_le16(&m[10], 2);
             return m;
         }(), CONMON_STATUS_INVALID_DATA},
        {"interfaces", interfaces, 0},
        {"interfaces counts off", resized(interfaces, interfaces.size() - 1), CONMON_STATUS_INVALID_DATA},
        {"0x520 as response", header_only(0x520, 1), CONMON_STATUS_INVALID_STATUS},
        {"0x520 event", header_only(0x520, 2), 0},
    };
}

INSTANTIATE_TEST_SUITE_P(Messages, ConmonValidation, ::testing::ValuesIn(validation_cases()),
                         [](const ::testing::TestParamInfo<ValidationCase>& param_info) {
                             std::string name = param_info.param.what;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) {
                                     ch = '_';
                                 }
                             }
                             return name;
                         });

TEST(ConmonStatus, NamesAndErrors) {
    EXPECT_STREQ(conmon_status_name(4), "Invalid size");
    EXPECT_STREQ(conmon_status_name(13), "Not Found");
    EXPECT_STREQ(conmon_status_name(14), "???");
    EXPECT_EQ(conmon_status_error(13), AUD_ERR_NOTFOUND);
    EXPECT_EQ(conmon_status_error(1), AUD_SUCCESS);
    EXPECT_EQ(conmon_status_error(3), AUD_ERR_VERSION);
    EXPECT_EQ(conmon_status_error(12), AUD_ERR_NOBUFS);
}

TEST(ConmonParsing, ConnectResponseRoundTripsInBothLayouts) {
    conmon_connect_info info;
    info.capabilities = CONMON_CAPABILITY_NO_RESPONSE;
    std::strcpy(info.device_name, "PC-STUDIO");
    std::strcpy(info.device_text, "Control PC");
    info.source = {{1, 2, 3, 4, 5, 6, 7, 8}, 4440};
    info.interface_count = 2;
    info.interfaces[0].index = 3;
    info.interfaces[0].flags = CONMON_INTERFACE_FLAG_LINK_UP;
    info.interfaces[1].index = 7;
    const conmon_protocol_header request{0x1503, 44, 5, CONMON_OPCODE_CONNECT, 0};
    for (uint16_t version : {uint16_t{0x1503}, uint16_t{0x1300}, uint16_t{0x1100}}) {
        const Bytes m = built([&](auto o) { return conmon_build_connect_response(o, request, version, info); });
        ASSERT_EQ(conmon_protocol_validate(m), 0) << std::hex << version;
        conmon_connect_info parsed;
        ASSERT_TRUE(conmon_parse_connect_response(m, version, &parsed));
        EXPECT_STREQ(parsed.device_name, "PC-STUDIO");
        EXPECT_EQ(parsed.source.process_id, 4440);
        EXPECT_EQ(parsed.source.device_id[7], 8);
        ASSERT_EQ(parsed.interface_count, 2u);
        EXPECT_EQ(parsed.interfaces[1].index, 7u);
        EXPECT_EQ(byte_order::load_le16(&m[4]), 5);  // the request's id
    }
}

TEST(ConmonParsing, NamedMessagesAndSubscriptionRecords) {
    const Bytes message = conmon_message_of(13);
    const Bytes named =
        built([&](auto o) { return conmon_build_rx_named_message(o, 0x1503, 2, 1, "TPX-2", message); });
    conmon_rx_message rx;
    ASSERT_TRUE(conmon_parse_rx_message(named, &rx));
    EXPECT_STREQ(rx.sender, "TPX-2");
    EXPECT_EQ(rx.channel_type, 2);
    EXPECT_EQ(rx.direction, 1);
    EXPECT_EQ(Bytes(rx.message.begin(), rx.message.end()), message);

    conmon_subscription_record records[2];
    std::strcpy(records[0].device_name, "TPX-2");
    records[0].flags = CONMON_SUBSCRIPTION_FLAG_SOURCE | CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION;
    records[0].source = {{9, 9, 9, 9, 9, 9, 9, 1}, 1};
    records[0].status[1] = 4;
    std::strcpy(records[1].device_name, "Other");
    const conmon_protocol_header request{0x1503, 30, 9, CONMON_OPCODE_SUBSCRIBE, 0};
    const Bytes response = built([&](auto o) { return conmon_build_subscriptions(o, 0x1503, &request, records); });
    ASSERT_EQ(conmon_protocol_validate(response), 0);
    ASSERT_EQ(conmon_subscription_record_count(response, 0x1503), 2u);
    conmon_subscription_record parsed;
    ASSERT_TRUE(conmon_parse_subscription_record(response, 0x1503, 0, &parsed));
    EXPECT_STREQ(parsed.device_name, "TPX-2");
    EXPECT_EQ(parsed.source.device_id[7], 1);
    EXPECT_EQ(parsed.status[1], 4);
    EXPECT_FALSE(conmon_parse_subscription_record(response, 0x1503, 2, &parsed));
}

TEST(ConmonParsing, RequestFieldsAsTheServerReadsThem) {
    const Bytes message = conmon_message_of(13);
    const Bytes control =
        built([&](auto o) { return conmon_build_control(o, 0x1503, "TPX-2", 2, 250000, message); });
    conmon_request_fields fields;
    ASSERT_TRUE(conmon_parse_request(control, &fields));
    EXPECT_STREQ(fields.name, "TPX-2");
    EXPECT_EQ(fields.timeout_seconds, 2u);
    EXPECT_EQ(fields.timeout_microseconds, 250000u);
    EXPECT_EQ(Bytes(fields.conmon_message.begin(), fields.conmon_message.end()), message);

    const Bytes connect = built([](auto o) { return conmon_build_connect(o, 0x1503, "vendor_controller", true); });
    ASSERT_TRUE(conmon_parse_request(connect, &fields));
    EXPECT_STREQ(fields.name, "vendor_controller");
    EXPECT_EQ(fields.keepalive, 10);

    // A name of 40 characters is cut to 31 so that it stays terminated.
    const std::string long_name(40, 'n');
    const Bytes subscribe = built([&](auto o) {
        return conmon_build_subscribe(o, 0x1503, CONMON_OPCODE_SUBSCRIBE, 2, 0, long_name.c_str());
    });
    EXPECT_EQ(subscribe.size(), 25u + 31u);
    ASSERT_TRUE(conmon_parse_request(subscribe, &fields));
    EXPECT_EQ(std::string(fields.name), std::string(31, 'n'));
}

}  // namespace
