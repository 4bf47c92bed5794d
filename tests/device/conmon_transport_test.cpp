#include "device/conmon_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "avn/api/avn_access.h"
#include "avn/runtime/byte_order.h"
#include "device/text_convert.h"
#include "device/vendor_envelope.h"
#include "tests/avn/runtime/fake_cmm_service.h"
#include "tests/device/scripted_conmon_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ::testing::ElementsAreArray;

constexpr uint8_t kAcme[8] = {'A', 'c', 'm', 'e', 0, 0, 0, 0};
constexpr uint32_t kOpenLimitMs = 3000;
// How long a read waits for a message that must never be captured.
constexpr uint32_t kAbsentLimitMs = 400;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes envelope(uint32_t channel, const Bytes& payload) {
    Bytes out(payload.size() + kEnvelopeOverhead);
    out.resize(encode_vendor_envelope(channel, payload, out));
    return out;
}

// `bytes` followed by their CRC-32, big-endian, whatever they claim.
Bytes with_crc(Bytes bytes) {
    const uint32_t crc = envelope_crc32(bytes);
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<uint8_t>(crc >> shift));
    }
    return bytes;
}

// The AVN API runs for the whole suite against a simulated connection
// manager and a scripted conmon server; each test opens its own transport.
class ConMonTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cmm_ = new FakeCmmService;
        server_ = new ScriptedConmonServer;
        avn_api_options options;
        options.cmm_port = cmm_->port();
        options.conmon_port = server_->port();
        started_ = start_avn_api(&options);
    }
    static void TearDownTestSuite() {
        stop_avn_api();
        delete server_;
        delete cmm_;
    }

    void SetUp() override {
        ASSERT_EQ(started_, AUD_SUCCESS);
        server_->reset();
    }

    std::unique_ptr<ConMonTransport> open_unit(const wchar_t* name = L"TPX2-Stage") {
        auto transport = std::make_unique<ConMonTransport>(name);
        EXPECT_TRUE(transport->open(kOpenLimitMs));
        return transport;
    }

    static void from_unit(const Bytes& body) {
        server_->send_device_message(ScriptedConmonServer::kUnit.source, kManufacturerId.data(),
                                     body);
    }

    // Sends the bodies from the unit and has them all processed before
    // anyone reads: under the mutex, so that no other step runs in between,
    // then stepping (a step handles one datagram per socket) more often than
    // there are bodies.
    static void deliver_from_unit(const std::vector<Bytes>& bodies) {
        AvnApiLock lock(2000);
        ASSERT_TRUE(lock);
        for (const Bytes& body : bodies) {
            from_unit(body);
        }
        for (size_t i = 0; i < bodies.size() + 3; ++i) {
            step_avn_events(avnapi_get_runtime(avn_api_instance()));
        }
    }

    static FakeCmmService* cmm_;
    static ScriptedConmonServer* server_;
    static aud_error started_;
};

FakeCmmService* ConMonTransportTest::cmm_ = nullptr;
ScriptedConmonServer* ConMonTransportTest::server_ = nullptr;
aud_error ConMonTransportTest::started_ = AUD_ERR_NOTINITIALISED;

TEST_F(ConMonTransportTest, OpenRegistersAndSubscribesAndDeletionDisconnects) {
    auto transport = open_unit();
    EXPECT_TRUE(transport->is_open());
    EXPECT_EQ(std::wstring(transport->name()), L"CONMON");

    bool registered = false;
    bool subscribed = false;
    for (const auto& seen : server_->requests()) {
        if (seen.opcode == CONMON_OPCODE_CONNECT) {
            EXPECT_EQ(seen.name, "vendor_controller");
        }
        if (seen.opcode == CONMON_OPCODE_REGISTER) {
            registered = seen.channel_type == CONMON_CHANNEL_TYPE_STATUS &&
                         seen.direction == CONMON_DIRECTION_REMOTE;
        }
        if (seen.opcode == CONMON_OPCODE_SUBSCRIBE) {
            subscribed =
                seen.channel_type == CONMON_CHANNEL_TYPE_STATUS && seen.name == "TPX2-Stage";
        }
    }
    EXPECT_TRUE(registered);
    EXPECT_TRUE(subscribed);

    transport.reset();  // deleting an open transport closes it
    EXPECT_TRUE(server_->wait_for_opcode(CONMON_OPCODE_DISCONNECT, 2000));
}

struct OpenFailure {
    const char* name;
    ScriptedConmonServer::Script script;
};

class ConMonTransportOpenFailure : public ConMonTransportTest,
                                   public ::testing::WithParamInterface<OpenFailure> {};

// Every step of opening shares the one limit; a failed open holds nothing.
TEST_P(ConMonTransportOpenFailure, FailsWithinTheLimit) {
    server_->set_script(GetParam().script);
    ConMonTransport transport(L"TPX2-Stage");
    const auto start = Clock::now();
    EXPECT_FALSE(transport.open(600));
    EXPECT_LT(ms_since(start), 600 + 300);
    EXPECT_FALSE(transport.is_open());
    const uint8_t byte = 0;
    EXPECT_FALSE(transport.write_channel({&byte, 1}, 1, 100));
    EXPECT_TRUE(transport.close());
}

INSTANTIATE_TEST_SUITE_P(Server, ConMonTransportOpenFailure,
                         ::testing::Values(OpenFailure{"silent", {.silent = true}},
                                           OpenFailure{
                                               "subscription_refused",
                                               {.subscribe_status = CONMON_STATUS_NOT_FOUND}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct WriteCase {
    const char* name;
    Bytes payload;
    uint32_t channel;
    uint32_t limit_ms;
};

class ConMonTransportWrite : public ConMonTransportTest,
                             public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ConMonTransportWrite, SendsOneEnvelopeToTheUnit) {
    const WriteCase& c = GetParam();
    auto transport = open_unit();
    ASSERT_TRUE(transport->write_channel(c.payload, c.channel, c.limit_ms));
    ASSERT_TRUE(server_->wait_for_controls(1, 1000));
    const auto control = server_->controls().at(0);
    EXPECT_EQ(control.device_name, "TPX2-Stage");
    EXPECT_EQ(control.timeout_seconds, c.limit_ms / 1000);
    EXPECT_EQ(control.timeout_microseconds, c.limit_ms % 1000 * 1000);
    ASSERT_TRUE(conmon_message_is_valid(control.conmon_message));
    const conmon_message* message = conmon_message_from_bytes(control.conmon_message.data());
    EXPECT_EQ(conmon_message_type(message), 0xFFFF);
    EXPECT_THAT(Bytes(conmon_message_vendor_id(message), conmon_message_vendor_id(message) + 8),
                ElementsAreArray(kManufacturerId));
    const Bytes body(conmon_message_body(message),
                     conmon_message_body(message) + conmon_message_body_size(message));
    EXPECT_EQ(body.size(), c.payload.size() + 12);
    EXPECT_EQ(body, envelope(c.channel, c.payload));
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, ConMonTransportWrite,
    ::testing::Values(WriteCase{"parameter_request", {0x00}, 1, 1000},
                      WriteCase{"set_message", {1, 2, 0, 0, 0, 5}, 1, 1500},
                      WriteCase{"framed_command", {0x01, 0x09, 0x29, 0x91, 0x04}, 0, 500},
                      WriteCase{"largest_payload", Bytes(ConMonTransport::kMaxPayload, 0x5A), 1,
                                1000}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct WriteFailure {
    const char* name;
    ScriptedConmonServer::Script script;
    size_t payload_size;
    int min_ms;  // the write waits at least this long for a confirmation
};

class ConMonTransportWriteFailure : public ConMonTransportTest,
                                    public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(ConMonTransportWriteFailure, ReturnsFalseWithinTheLimit) {
    const WriteFailure& c = GetParam();
    auto transport = open_unit();
    server_->set_script(c.script);
    const Bytes payload(c.payload_size, 0x11);
    const auto start = Clock::now();
    EXPECT_FALSE(transport->write_channel(payload, 1, 300));
    const auto elapsed = ms_since(start);
    EXPECT_GE(elapsed, c.min_ms);
    EXPECT_LT(elapsed, 300 + 250);
}

INSTANTIATE_TEST_SUITE_P(
    Server, ConMonTransportWriteFailure,
    ::testing::Values(
        WriteFailure{"delivery_failed", {.control_status = CONMON_STATUS_TIMEOUT}, 6, 0},
        WriteFailure{"never_confirmed", {.answer_control = false}, 6, 290},
        WriteFailure{"payload_too_long", {}, ConMonTransport::kMaxPayload + 1, 0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct ReadCase {
    const char* name;
    Bytes body;  // the conmon message body the unit sends
    uint32_t channel;
    size_t capacity;
    Bytes expected;
};

class ConMonTransportRead : public ConMonTransportTest,
                            public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ConMonTransportRead, CopiesOnlyAValidEnvelopeForTheChannel) {
    const ReadCase& c = GetParam();
    auto transport = open_unit();
    from_unit(c.body);
    Bytes buffer(c.capacity, 0xEE);
    const auto start = Clock::now();
    const size_t n = transport->read_channel(buffer, c.channel, 2000);
    EXPECT_LT(ms_since(start), 1500);  // the message arrived, and was kept or discarded
    buffer.resize(n);
    EXPECT_EQ(buffer, c.expected);
    // Whatever it was, the message is gone.
    EXPECT_EQ(transport->read_channel(buffer, c.channel, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, ConMonTransportRead,
    ::testing::Values(
        ReadCase{"report", envelope(1, {0, 1, 0, 0, 0, 3}), 1, 64, {0, 1, 0, 0, 0, 3}},
        ReadCase{"framed_reply", envelope(0, {1, 2, 3}), 0, 64, {1, 2, 3}},
        ReadCase{
            "capacity_smaller_than_payload", envelope(1, {9, 8, 7, 6, 5, 4}), 1, 4, {9, 8, 7, 6}},
        ReadCase{"zero_length_payload", envelope(1, {}), 1, 64, {}},
        ReadCase{"eleven_bytes_with_matching_crc", with_crc({0, 0, 0, 1, 0, 0, 0}), 1, 64, {}},
        ReadCase{"bad_crc",
                 [] {
                     Bytes b = envelope(1, {1, 2});
                     b.back() ^= 1;
                     return b;
                 }(),
                 1,
                 64,
                 {}},
        ReadCase{"length_field_beyond_the_bytes",
                 with_crc({0, 0, 0, 1, 0, 0, 0, 10, 0xAB, 0xCD}),
                 1,
                 64,
                 {}},
        ReadCase{"other_channel", envelope(0, {1, 2, 3}), 1, 64, {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ConMonTransportTest, MessageForAnotherChannelIsConsumed) {
    auto transport = open_unit();
    from_unit(envelope(0, {1, 2, 3}));
    Bytes buffer(64);
    EXPECT_EQ(transport->read_channel(buffer, 1, 2000), 0u);
    EXPECT_EQ(transport->read_channel(buffer, 0, kAbsentLimitMs), 0u);
}

TEST_F(ConMonTransportTest, OnlyTheNewestOfTwoMessagesIsRead) {
    auto transport = open_unit();
    deliver_from_unit({envelope(1, {0xA1}), envelope(1, {0xB2})});
    Bytes buffer(16);
    ASSERT_EQ(transport->read_channel(buffer, 1, 0), 1u);
    EXPECT_EQ(buffer[0], 0xB2);
    EXPECT_EQ(transport->read_channel(buffer, 1, kAbsentLimitMs), 0u);
}

TEST_F(ConMonTransportTest, WriteDiscardsAMessageNotYetRead) {
    auto transport = open_unit();
    deliver_from_unit({envelope(1, {0xA1})});
    ASSERT_TRUE(transport->write_channel(Bytes{0x00}, 1, 1000));
    Bytes buffer(16);
    EXPECT_EQ(transport->read_channel(buffer, 1, kAbsentLimitMs), 0u);
}

struct Sender {
    const char* name;
    conmon_source source;
    const uint8_t* vendor;
    const char* named;  // sent as a named message from this sender, else plain
    bool captured;
};

class ConMonTransportSender : public ConMonTransportTest,
                              public ::testing::WithParamInterface<Sender> {};

TEST_P(ConMonTransportSender, CapturesOnlyTheUnitsVendorMessages) {
    const Sender& c = GetParam();
    auto transport = open_unit();
    server_->send_device_message(c.source, c.vendor, envelope(1, {0x42}), c.named);
    Bytes buffer(16);
    EXPECT_EQ(transport->read_channel(buffer, 1, c.captured ? 2000 : kAbsentLimitMs),
              c.captured ? 1u : 0u);
}

const conmon_source kStranger{{0x77, 0, 0, 0, 0, 0, 0, 1}, 3};

INSTANTIATE_TEST_SUITE_P(
    Filters, ConMonTransportSender,
    ::testing::Values(
        Sender{"unit", ScriptedConmonServer::kUnit.source, kManufacturerId.data(), nullptr, true},
        Sender{"unit_named", kStranger, kManufacturerId.data(), "TPX2-Stage", true},
        Sender{"name_in_other_case", kStranger, kManufacturerId.data(), "tpx2-STAGE", true},
        Sender{"other_device", ScriptedConmonServer::kOtherUnit.source, kManufacturerId.data(),
               nullptr, false},
        Sender{"other_device_named", kStranger, kManufacturerId.data(), "TPX2-Foyer", false},
        Sender{"unnamed_sender", kStranger, kManufacturerId.data(), nullptr, false},
        Sender{"other_maker", ScriptedConmonServer::kUnit.source, kAcme, nullptr, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ConMonTransportTest, ClosedTransportRefusesAtOnce) {
    ConMonTransport never_opened(L"TPX2-Stage");
    auto closed = open_unit();
    EXPECT_TRUE(closed->close());
    EXPECT_TRUE(closed->close());
    for (ConMonTransport* transport : {&never_opened, closed.get()}) {
        const auto start = Clock::now();
        Bytes buffer(8);
        EXPECT_FALSE(transport->is_open());
        EXPECT_FALSE(transport->write_channel(Bytes{0}, 1, 1000));
        EXPECT_FALSE(transport->write(Bytes{0}, 1000));
        EXPECT_EQ(transport->read_channel(buffer, 1, 1000), 0u);
        EXPECT_EQ(transport->read(buffer, 1000), 0u);
        EXPECT_LT(ms_since(start), 50);
    }
    EXPECT_TRUE(server_->controls().empty());
}

TEST(ConMonTransportWithoutApi, OpenFailsAtOnceWhenTheAvnApiDidNotStart) {
    ASSERT_EQ(avn_api_instance(), nullptr);
    ConMonTransport transport(L"TPX2-Stage");
    const auto start = Clock::now();
    EXPECT_FALSE(transport.open(2000));
    EXPECT_LT(ms_since(start), 100);
}

TEST(ConMonTransportName, KeepsANarrowCopyOfTheDeviceName) {
    EXPECT_EQ(ConMonTransport(L"TPX2-Stage").device_name(), "TPX2-Stage");
    EXPECT_EQ(ConMonTransport(nullptr).device_name(), std::nullopt);
    EXPECT_EQ(narrow_from_wide(L""), "");
    EXPECT_EQ(narrow_from_wide(std::wstring_view(L"ab\0cd", 5)), "ab");
}

}  // namespace
