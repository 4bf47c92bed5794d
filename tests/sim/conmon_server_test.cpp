// The simulated local conmon server, driven over loopback with raw datagrams
// built by the project's codecs, the way the conmon client will drive it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "avn/runtime/byte_order.h"
#include "device/frame_codec.h"
#include "device/framed_command.h"
#include "device/parameters.h"
#include "device/vendor_envelope.h"
#include "sim/sim_network.h"
#include "tests/sim/conmon_test_client.h"

namespace {

using namespace sim_test;
using std::chrono::steady_clock;

constexpr const char* kStage = "TPX2-Stage";
constexpr const char* kBooth = "TPX2-Booth";
constexpr const char* kOther = "Other";
const sim::ManufacturerId kAcme = sim::manufacturer_id_from_text("Acme");

constexpr uint32_t kFramedChannel = 0;
constexpr uint32_t kParameterChannel = 1;

sim::SimOptions test_options() {
    sim::SimOptions options;
    options.conmon.port = 0;
    options.cmm.port = 0;
    sim::Tpx2UnitSettings stage;
    stage.name = kStage;
    sim::Tpx2UnitSettings booth;
    booth.name = kBooth;
    booth.bootloader_version = 0;
    booth.application_version = (2u << 16) | 10u;
    booth.parameters[0] = -3;
    options.units = {stage, booth};
    options.devices = {{kOther, "Acme", 3}};
    return options;
}

class ConmonServerTest : public ::testing::Test {
  protected:
    void SetUp() override { start(test_options()); }

    void start(const sim::SimOptions& options) {
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
    }

    sim::ConmonServer& server() { return network_->conmon(); }
    uint16_t port() const { return network_->conmon_port(); }
    const sim::DeviceIdentity& identity(size_t index) const {
        return network_->devices()[index]->identity();
    }

    std::unique_ptr<sim::SimNetwork> network_;
};

Datagram request_all() {
    const auto message = encode_request_all();
    return envelope(kParameterChannel, message);
}

Datagram set_parameter(uint8_t id, int32_t value) {
    const auto message = encode_set_parameter(1, id, value);
    return envelope(kParameterChannel, message);
}

// The message of a framed command without payload: type, sequence number
// for a sequenced type, CRC.
Datagram framed_command(uint8_t type, uint32_t sequence = 0) {
    Datagram message{type};
    if ((type & 0x80) != 0) {
        message.resize(5);
        byte_order::store_be32(&message[1], sequence);
    }
    const uint16_t crc = crc16_xmodem(message);
    message.push_back(static_cast<uint8_t>(crc));
    message.push_back(static_cast<uint8_t>(crc >> 8));
    Datagram frame(64);
    frame.resize(encode_frame(message, frame));
    return frame;
}

// The payload of the vendor envelope in a device's event, on the channel.
std::optional<Datagram> envelope_payload(const DeviceEvent& event, uint32_t channel) {
    const auto decoded = decode_vendor_envelope(event.body);
    if (!decoded || decoded->channel != channel) {
        return std::nullopt;
    }
    return Datagram(decoded->payload.begin(), decoded->payload.end());
}

std::optional<DeviceEvent> next_device_event(ConmonTestClient& client,
                                             milliseconds wait = kAnswerWait) {
    const auto datagram = client.next_event(wait);
    return datagram ? parse_device_event(*datagram) : std::nullopt;
}

// The values of the next parameter report the client receives.
std::vector<ParameterValue> next_report(ConmonTestClient& client) {
    const auto event = next_device_event(client);
    if (!event) {
        return {};
    }
    const auto payload = envelope_payload(*event, kParameterChannel);
    return payload ? parse_parameter_report(*payload) : std::vector<ParameterValue>{};
}

bool source_equal(const conmon_source& a, const conmon_source& b) {
    return std::memcmp(a.device_id, b.device_id, CONMON_DEVICE_ID_SIZE) == 0 &&
           a.process_id == b.process_id;
}

Datagram header_only(uint16_t version, uint16_t opcode, uint16_t status = 0) {
    Datagram datagram(CONMON_PROTOCOL_HEADER_SIZE);
    conmon_protocol_write_header(
        datagram, {version, static_cast<uint16_t>(CONMON_PROTOCOL_HEADER_SIZE), 0, opcode, status});
    return datagram;
}

// ---- Connection ----

TEST_F(ConmonServerTest, ConnectIsAnsweredWithTheLocalDeviceAndRecordsTheClient) {
    ConmonTestClient client(port());
    const auto answer = client.connect();
    ASSERT_TRUE(answer);
    ASSERT_EQ(conmon_protocol_validate(*answer), 0);
    const conmon_protocol_header header = header_of(*answer);
    EXPECT_EQ(header.opcode, CONMON_OPCODE_CONNECT);
    EXPECT_EQ(header.request_id, 1);
    EXPECT_EQ(header.status, CONMON_STATUS_RESPONSE);

    conmon_connect_info info;
    ASSERT_TRUE(conmon_parse_connect_response(*answer, CONMON_PROTOCOL_VERSION, &info));
    EXPECT_STREQ(info.device_name, "avn-sim");
    EXPECT_NE(info.capabilities & CONMON_CAPABILITY_NO_RESPONSE, 0);
    ASSERT_EQ(info.interface_count, 1u);
    EXPECT_NE(info.interfaces[0].flags & CONMON_INTERFACE_FLAG_LINK_UP, 0u);

    const auto state = server().client_at_port(client.local_port());
    ASSERT_TRUE(state);
    EXPECT_EQ(state->name, "vendor_controller");
    EXPECT_EQ(state->version, CONMON_PROTOCOL_VERSION);
    EXPECT_EQ(server().client_count(), 1u);
}

// Every layout a client's version selects: the connect response, the
// subscription records and the device's events must pass that version's
// validation.
TEST_F(ConmonServerTest, AnswersAndEventsUseTheLayoutsOfTheClientsVersion) {
    for (const uint16_t version : {uint16_t{0x1503}, uint16_t{0x1400}, uint16_t{0x1300},
                                   uint16_t{0x1100}, uint16_t{0x1000}}) {
        SCOPED_TRACE(testing::Message() << "version 0x" << std::hex << version);
        ConmonTestClient client(port(), version);
        const auto connected = client.connect();
        ASSERT_TRUE(connected);
        EXPECT_EQ(conmon_protocol_validate(*connected), 0);
        EXPECT_EQ(header_of(*connected).version, version);
        conmon_connect_info info;
        ASSERT_TRUE(conmon_parse_connect_response(*connected, version, &info));
        EXPECT_STREQ(info.device_name, "avn-sim");

        ASSERT_TRUE(client.register_for(CONMON_CHANNEL_TYPE_STATUS, CONMON_DIRECTION_REMOTE));
        const auto subscribed = client.subscribe(CONMON_CHANNEL_TYPE_STATUS, kStage);
        ASSERT_TRUE(subscribed);
        ASSERT_EQ(conmon_protocol_validate(*subscribed), 0);
        ASSERT_EQ(conmon_subscription_record_count(*subscribed, version), 1u);
        conmon_subscription_record record;
        ASSERT_TRUE(conmon_parse_subscription_record(*subscribed, version, 0, &record));
        EXPECT_STREQ(record.device_name, kStage);
        if (version >= CONMON_VERSION_PORT_FIELD) {
            EXPECT_NE(record.flags & CONMON_SUBSCRIPTION_FLAG_SOURCE, 0);
            EXPECT_TRUE(source_equal(record.source, identity(0).source));
        }

        ASSERT_TRUE(client.vendor_control(kStage, request_all()));
        const auto event = client.next_event();
        ASSERT_TRUE(event);
        EXPECT_EQ(conmon_protocol_validate(*event), 0);
        EXPECT_EQ(header_of(*event).version, version);
    }
}

TEST(ConmonServerOlderVersion, AnOlderServerAsksANewerClientToConnectInItsVersion) {
    sim::SimOptions options = test_options();
    options.conmon.version = 0x1300;
    sim::SimNetwork network(options);
    ASSERT_EQ(network.start(), AUD_SUCCESS);

    ConmonTestClient client(network.conmon_port(), CONMON_PROTOCOL_VERSION);
    const auto refused = client.connect();
    ASSERT_TRUE(refused);
    ASSERT_EQ(conmon_protocol_validate(*refused), 0);
    const conmon_protocol_header header = header_of(*refused);
    EXPECT_EQ(header.status, CONMON_STATUS_INVALID_SIZE);
    EXPECT_EQ(header.version, 0x1300);
    EXPECT_EQ(header.opcode, CONMON_OPCODE_CONNECT);
    EXPECT_EQ(header.request_id, 1);
    EXPECT_EQ(network.conmon().client_count(), 0u);

    // The client repeats its CONNECT in the server's version: name length
    // plus 11 bytes, no keepalive field.
    client.set_version(header.version);
    const auto accepted = client.connect();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(status_of(*accepted), CONMON_STATUS_RESPONSE);
    conmon_connect_info info;
    EXPECT_TRUE(conmon_parse_connect_response(*accepted, 0x1300, &info));
    const auto state = network.conmon().client_at_port(client.local_port());
    ASSERT_TRUE(state);
    EXPECT_EQ(state->version, 0x1300);
}

TEST_F(ConmonServerTest, KeepaliveIsAnsweredUnlessMarkedAsNeedingNoAnswer) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.connect());

    const auto answer = client.keepalive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(header_of(*answer).opcode, CONMON_OPCODE_KEEPALIVE);
    EXPECT_EQ(status_of(*answer), CONMON_STATUS_RESPONSE);

    client.send_request(
        header_only(CONMON_PROTOCOL_VERSION, CONMON_OPCODE_KEEPALIVE, CONMON_STATUS_NO_RESPONSE));
    EXPECT_FALSE(client.receive(kSilenceWait));
    EXPECT_TRUE(client.keepalive());
}

// A client the server does not know gets no answer, except that its
// keepalive is refused ("Invalid State"), which tells it to connect again;
// a server may be set to stay silent to that too.
TEST_F(ConmonServerTest, RequestsOfAnUnconnectedClientAreIgnoredAndDisconnectForgetsTheClient) {
    ConmonTestClient client(port());
    const auto refused = client.keepalive();
    ASSERT_TRUE(refused);
    EXPECT_EQ(header_of(*refused).opcode, CONMON_OPCODE_KEEPALIVE);
    EXPECT_EQ(status_of(*refused), CONMON_STATUS_INVALID_STATE);
    EXPECT_FALSE(
        client.vendor_control(kStage, request_all(), sim::kVornixManufacturerId, 0, kSilenceWait));
    server().set_refuse_unknown_keepalive(false);
    EXPECT_FALSE(client.keepalive(kSilenceWait));
    server().set_refuse_unknown_keepalive(true);

    ASSERT_TRUE(client.connect());
    const auto answer = client.keepalive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(status_of(*answer), CONMON_STATUS_RESPONSE);
    client.send_request(header_only(CONMON_PROTOCOL_VERSION, CONMON_OPCODE_DISCONNECT));
    const auto after = client.keepalive();
    ASSERT_TRUE(after);
    EXPECT_EQ(status_of(*after), CONMON_STATUS_INVALID_STATE);
    EXPECT_EQ(server().client_count(), 0u);
}

// ---- Registrations and subscriptions ----

TEST_F(ConmonServerTest, RegistrationsAndSubscriptionsAreRecordedPerClient) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    ConmonTestClient other(port());
    ASSERT_TRUE(other.connect());

    auto state = server().client_at_port(client.local_port());
    ASSERT_TRUE(state);
    EXPECT_EQ(state->registrations, (std::vector<sim::ClientRegistration>{
                                        {CONMON_CHANNEL_TYPE_STATUS, CONMON_DIRECTION_REMOTE}}));
    ASSERT_EQ(state->subscriptions.size(), 1u);
    EXPECT_EQ(state->subscriptions[0].device_name, kStage);
    EXPECT_EQ(state->subscriptions[0].channel_type, CONMON_CHANNEL_TYPE_STATUS);
    state = server().client_at_port(other.local_port());
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->registrations.empty());
    EXPECT_TRUE(state->subscriptions.empty());

    const auto unregistered = client.register_for(
        CONMON_CHANNEL_TYPE_STATUS, CONMON_DIRECTION_REMOTE, CONMON_OPCODE_UNREGISTER);
    ASSERT_TRUE(unregistered);
    EXPECT_EQ(status_of(*unregistered), CONMON_STATUS_RESPONSE);
    const auto unsubscribed =
        client.subscribe(CONMON_CHANNEL_TYPE_STATUS, "tpx2-stage", CONMON_OPCODE_UNSUBSCRIBE);
    ASSERT_TRUE(unsubscribed);
    EXPECT_EQ(status_of(*unsubscribed), CONMON_STATUS_RESPONSE);
    state = server().client_at_port(client.local_port());
    EXPECT_TRUE(state->registrations.empty());
    EXPECT_TRUE(state->subscriptions.empty());
}

TEST_F(ConmonServerTest, ClearRemoteDropsTheClientsSubscriptions) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    ASSERT_TRUE(client.subscribe(CONMON_CHANNEL_TYPE_STATUS, kBooth));

    const auto cleared =
        client.request(header_only(CONMON_PROTOCOL_VERSION, CONMON_OPCODE_CLEAR_REMOTE));
    ASSERT_TRUE(cleared);
    EXPECT_EQ(status_of(*cleared), CONMON_STATUS_RESPONSE);
    EXPECT_TRUE(server().client_at_port(client.local_port())->subscriptions.empty());

    ASSERT_TRUE(client.vendor_control(kStage, request_all()));
    EXPECT_FALSE(client.next_event(kSilenceWait));
}

TEST_F(ConmonServerTest, SubscribingToAnUnknownNameIsAcceptedWithoutASource) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.connect());
    const auto answer = client.subscribe(CONMON_CHANNEL_TYPE_STATUS, "Nobody");
    ASSERT_TRUE(answer);
    EXPECT_EQ(status_of(*answer), CONMON_STATUS_RESPONSE);
    conmon_subscription_record record;
    ASSERT_TRUE(conmon_parse_subscription_record(*answer, CONMON_PROTOCOL_VERSION, 0, &record));
    EXPECT_STREQ(record.device_name, "Nobody");
    EXPECT_EQ(record.flags & CONMON_SUBSCRIPTION_FLAG_SOURCE, 0);
}

// ---- Control messages and delivery ----

TEST_F(ConmonServerTest, ControlToAnUnknownNameIsNotFoundAndNamesMatchInAnyCase) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.connect());

    const auto missing = client.vendor_control("Nobody", request_all());
    ASSERT_TRUE(missing);
    EXPECT_EQ(header_of(*missing).opcode, CONMON_OPCODE_CONTROL);
    EXPECT_EQ(status_of(*missing), CONMON_STATUS_NOT_FOUND);

    const auto delivered = client.vendor_control("tpx2-STAGE", request_all());
    ASSERT_TRUE(delivered);
    EXPECT_EQ(status_of(*delivered), CONMON_STATUS_RESPONSE);
    EXPECT_EQ(server().device_control_messages(kStage), 1u);
}

TEST_F(ConmonServerTest, RequestAllIsAnsweredWithAReportOfAllSevenValues) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    const auto delivered = client.vendor_control(kStage, request_all());
    ASSERT_TRUE(delivered);
    EXPECT_EQ(status_of(*delivered), CONMON_STATUS_RESPONSE);

    const auto datagram = client.next_event();
    ASSERT_TRUE(datagram);
    ASSERT_EQ(conmon_protocol_validate(*datagram), 0);
    const auto event = parse_device_event(*datagram);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->channel_type, CONMON_CHANNEL_TYPE_STATUS);
    EXPECT_EQ(event->direction, CONMON_DIRECTION_REMOTE);
    EXPECT_EQ(event->sender, kStage);
    EXPECT_EQ(event->message_type, sim::kVendorMessageType);
    EXPECT_EQ(event->maker, sim::kVornixManufacturerId);
    EXPECT_TRUE(source_equal(event->source, identity(0).source));

    const auto payload = envelope_payload(*event, kParameterChannel);
    ASSERT_TRUE(payload);
    EXPECT_EQ(
        parse_parameter_report(*payload),
        (std::vector<ParameterValue>{{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 4}, {7, 1}}));

    // The other unit reports its own values, under its own name and source.
    ASSERT_TRUE(client.subscribe(CONMON_CHANNEL_TYPE_STATUS, kBooth));
    ASSERT_TRUE(client.vendor_control(kBooth, request_all()));
    const auto booth = next_device_event(client);
    ASSERT_TRUE(booth);
    EXPECT_EQ(booth->sender, kBooth);
    EXPECT_TRUE(source_equal(booth->source, identity(1).source));
    EXPECT_EQ(parse_parameter_report(*envelope_payload(*booth, kParameterChannel))[0],
              (ParameterValue{1, -3}));
}

TEST_F(ConmonServerTest, SetParameterIsAppliedClampedToItsRangeAndReported) {
    struct Case {
        uint8_t id;
        int32_t sent;
        std::optional<int32_t> applied;  // nothing: ignored, no report
    };
    const Case cases[] = {
        {3, -3, -3}, {5, 4, 4},  {1, 20, 12}, {2, -13, -12},
        {7, 5, 1},   {6, -1, 0}, {9, 1, {}},  {0, 1, {}},
    };
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << int{c.id} << " value " << c.sent);
        const sim::ParameterValues before = *server().unit_parameters(kStage);
        const auto delivered = client.vendor_control(kStage, set_parameter(c.id, c.sent));
        ASSERT_TRUE(delivered);
        EXPECT_EQ(status_of(*delivered), CONMON_STATUS_RESPONSE);
        if (!c.applied) {
            EXPECT_FALSE(client.next_event(kSilenceWait));
            EXPECT_EQ(*server().unit_parameters(kStage), before);
            continue;
        }
        EXPECT_EQ(next_report(client), (std::vector<ParameterValue>{{c.id, *c.applied}}));
        EXPECT_EQ((*server().unit_parameters(kStage))[c.id - 1u], *c.applied);
    }
}

TEST_F(ConmonServerTest, FramedVersionQueriesAreAnsweredWithCorrectFrames) {
    struct Case {
        const char* unit;
        uint8_t type;
        Datagram expected_frame;  // empty: only the decoded version is checked
        uint32_t version;
    };
    const Case cases[] = {
        {kStage,
         CMD_BOOTLOADER_VERSION,
         {0x01, 0x10, 0x01, 0x02, 0x05, 0xF7, 0x10, 0x01, 0x04},
         0x0205},
        {kStage,
         CMD_APPLICATION_VERSION,
         {0x01, 0x09, 0x03, 0x00, 0x10, 0x01, 0x00, 0x91, 0x00, 0x04},
         0x00010003},
        {kBooth, CMD_BOOTLOADER_VERSION, {}, 0},
        {kBooth, CMD_APPLICATION_VERSION, {}, (2u << 16) | 10u},
    };
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    ASSERT_TRUE(client.subscribe(CONMON_CHANNEL_TYPE_STATUS, kBooth));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.unit << " type " << int{c.type});
        ASSERT_TRUE(
            client.vendor_control(c.unit, envelope(kFramedChannel, framed_command(c.type))));
        const auto event = next_device_event(client);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->sender, c.unit);
        const auto frame = envelope_payload(*event, kFramedChannel);
        ASSERT_TRUE(frame);
        if (!c.expected_frame.empty()) {
            EXPECT_EQ(*frame, c.expected_frame);
        }
        FrameDecoder decoder;
        ASSERT_TRUE(decoder.feed(*frame));
        ASSERT_EQ(decoder.frame()[0], c.type);
        if (c.type == CMD_BOOTLOADER_VERSION) {
            EXPECT_EQ(decode_bootloader_version(decoder.frame()), c.version);
        } else {
            EXPECT_EQ(decode_application_version(decoder.frame()), c.version);
        }
    }
}

TEST_F(ConmonServerTest, AFrameSplitOverTwoEnvelopesAndASequencedCommandAreAnswered) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));

    const Datagram frame = framed_command(CMD_APPLICATION_VERSION);
    const size_t half = frame.size() / 2;
    ASSERT_TRUE(
        client.vendor_control(kStage, envelope(kFramedChannel, std::span(frame).first(half))));
    EXPECT_FALSE(client.next_event(kSilenceWait));
    ASSERT_TRUE(
        client.vendor_control(kStage, envelope(kFramedChannel, std::span(frame).subspan(half))));
    const auto event = next_device_event(client);
    ASSERT_TRUE(event);
    FrameDecoder decoder;
    ASSERT_TRUE(decoder.feed(*envelope_payload(*event, kFramedChannel)));
    EXPECT_EQ(decode_application_version(decoder.frame()), 0x00010003u);

    // A sequenced type carries its sequence number back before the payload.
    ASSERT_TRUE(client.vendor_control(
        kStage, envelope(kFramedChannel, framed_command(0x80 | CMD_BOOTLOADER_VERSION, 7))));
    const auto sequenced = next_device_event(client);
    ASSERT_TRUE(sequenced);
    FrameDecoder sequenced_decoder;
    ASSERT_TRUE(sequenced_decoder.feed(*envelope_payload(*sequenced, kFramedChannel)));
    const auto reply = sequenced_decoder.frame();
    ASSERT_EQ(reply.size(), 1u + 4u + 2u + 2u);
    EXPECT_EQ(reply[0], 0x81);
    EXPECT_EQ(byte_order::load_be32(&reply[1]), 7u);
    EXPECT_EQ(reply[5], 2);
    EXPECT_EQ(reply[6], 5);
}

TEST_F(ConmonServerTest, AUnitIgnoresMessagesItCannotTrustOrDoesNotServe) {
    Datagram bad_crc = request_all();
    bad_crc.back() ^= 0xFF;
    Datagram short_body = request_all();
    short_body.resize(11);
    struct Case {
        const char* what;
        uint16_t type;
        sim::ManufacturerId maker;
        Datagram body;
    };
    const Case cases[] = {
        {"bad CRC", sim::kVendorMessageType, sim::kVornixManufacturerId, bad_crc},
        {"another maker", sim::kVendorMessageType, kAcme, request_all()},
        {"not vendor-specific", 0x0001, sim::kVornixManufacturerId, request_all()},
        {"shorter than an envelope", sim::kVendorMessageType, sim::kVornixManufacturerId,
         short_body},
        {"unserved channel", sim::kVendorMessageType, sim::kVornixManufacturerId,
         envelope(7, encode_request_all())},
        {"not a parameter message", sim::kVendorMessageType, sim::kVornixManufacturerId,
         envelope(kParameterChannel, Datagram{0x02, 0x01, 0, 0, 0, 0})},
    };
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t ignored_before = server().unit_counters(kStage)->ignored_messages;
        const auto delivered =
            client.control(kStage, build_conmon_message(c.type, c.maker, c.body));
        ASSERT_TRUE(delivered);
        EXPECT_EQ(status_of(*delivered), CONMON_STATUS_RESPONSE);
        EXPECT_FALSE(client.next_event(kSilenceWait));
        EXPECT_EQ(server().unit_counters(kStage)->ignored_messages, ignored_before + 1);
    }
}

TEST_F(ConmonServerTest, AnotherMakersDeviceEchoesUnderItsOwnManufacturerId) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kOther));
    const Datagram body = request_all();
    const auto delivered = client.vendor_control(kOther, body);
    ASSERT_TRUE(delivered);
    EXPECT_EQ(status_of(*delivered), CONMON_STATUS_RESPONSE);
    const auto event = next_device_event(client);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->sender, kOther);
    EXPECT_EQ(event->maker, kAcme);
    EXPECT_EQ(event->body, body);
}

TEST_F(ConmonServerTest, DeviceMessagesReachOnlyClientsRegisteredAndSubscribed) {
    ConmonTestClient both(port());
    ASSERT_TRUE(both.open_like_transport(kStage));
    ConmonTestClient registered_only(port());
    ASSERT_TRUE(registered_only.connect());
    ASSERT_TRUE(registered_only.register_for(CONMON_CHANNEL_TYPE_STATUS, CONMON_DIRECTION_REMOTE));
    ConmonTestClient subscribed_only(port());
    ASSERT_TRUE(subscribed_only.connect());
    ASSERT_TRUE(subscribed_only.subscribe(CONMON_CHANNEL_TYPE_STATUS, kStage));
    ConmonTestClient other_device(port());
    ASSERT_TRUE(other_device.open_like_transport(kBooth));

    // A change made at the unit itself is reported too, unchecked.
    ASSERT_TRUE(server().change_unit_parameter(kStage, ParameterId::MicLf, 13));
    EXPECT_EQ(next_report(both), (std::vector<ParameterValue>{{1, 13}}));
    for (ConmonTestClient* client : {&registered_only, &subscribed_only, &other_device}) {
        EXPECT_FALSE(client->next_event(kSilenceWait));
    }
}

// ---- Faults ----

TEST_F(ConmonServerTest, AMutedUnitTimesOutControlMessagesAndSendsNothing) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    ASSERT_TRUE(server().set_device_muted(kStage, true));
    EXPECT_FALSE(server().set_device_muted("Nobody", true));

    const auto sent = steady_clock::now();
    const auto timed_out =
        client.vendor_control(kStage, request_all(), sim::kVornixManufacturerId, 400);
    ASSERT_TRUE(timed_out);
    EXPECT_EQ(status_of(*timed_out), CONMON_STATUS_TIMEOUT);
    EXPECT_GE(steady_clock::now() - sent, milliseconds(350));
    ASSERT_TRUE(server().change_unit_parameter(kStage, ParameterId::Mode, 2));
    EXPECT_FALSE(client.next_event(kSilenceWait));
    EXPECT_EQ(server().device_control_messages(kStage), 0u);

    server().set_device_muted(kStage, false);
    const auto delivered = client.vendor_control(kStage, request_all());
    ASSERT_TRUE(delivered);
    EXPECT_EQ(status_of(*delivered), CONMON_STATUS_RESPONSE);
    EXPECT_EQ(next_report(client).size(), 7u);
}

TEST_F(ConmonServerTest, ASilentServerAnswersNothingButKeepsItsClients) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.connect());
    server().set_silent(true);
    EXPECT_FALSE(client.keepalive(kSilenceWait));
    EXPECT_EQ(server().client_count(), 1u);
    server().set_silent(false);
    EXPECT_TRUE(client.keepalive());
}

TEST_F(ConmonServerTest, ARestartForgetsEveryClient) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));
    server().restart();
    EXPECT_EQ(server().client_count(), 0u);
    const auto refused = client.keepalive();
    ASSERT_TRUE(refused);
    EXPECT_EQ(status_of(*refused), CONMON_STATUS_INVALID_STATE);

    ASSERT_TRUE(client.connect());
    const auto state = server().client_at_port(client.local_port());
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->registrations.empty());
    EXPECT_TRUE(state->subscriptions.empty());
}

TEST_F(ConmonServerTest, ARestartWithDowntimeClosesThePortUntilItComesBack) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.connect());
    const uint16_t before = port();
    server().restart(milliseconds(500));

    // While the port is closed nothing answers; a system that reports the
    // closed port reports it as CONNRESET.
    client.keepalive(milliseconds(0));
    aud_error error = AUD_SUCCESS;
    EXPECT_FALSE(client.receive(kSilenceWait, &error));
    if (error != AUD_SUCCESS) {
        EXPECT_EQ(error, AUD_ERR_CONNRESET);
    }

    // Back on the same port once the downtime is over, knowing no client.
    EXPECT_EQ(server().client_count(), 0u);
    std::optional<Datagram> connected;
    const auto deadline = steady_clock::now() + kAnswerWait;
    while (!connected && steady_clock::now() < deadline) {
        ConmonTestClient fresh(port());
        connected = fresh.connect("vendor_controller", milliseconds(200));
    }
    ASSERT_TRUE(connected);
    EXPECT_EQ(status_of(*connected), CONMON_STATUS_RESPONSE);
    EXPECT_EQ(port(), before);
}

TEST_F(ConmonServerTest, CountedLossAndCorruptionHitTheNextDatagrams) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));

    // To clients: a lost answer, then a corrupted answer and device message.
    server().drop_next_datagrams(sim::DatagramFlow::ToClients, 1);
    EXPECT_FALSE(client.keepalive(kSilenceWait));
    EXPECT_TRUE(client.keepalive());
    server().corrupt_next_datagrams(sim::DatagramFlow::ToClients, 2);
    const auto corrupted = client.vendor_control(kStage, request_all());
    ASSERT_TRUE(corrupted);
    EXPECT_EQ(status_of(*corrupted), 0xFF01);  // the status's high byte inverted
    const auto event = next_device_event(client);
    ASSERT_TRUE(event);
    EXPECT_FALSE(decode_vendor_envelope(event->body));  // its CRC no longer matches
    const sim::DatagramFaultCounts to_clients =
        server().datagram_fault_counts(sim::DatagramFlow::ToClients);
    EXPECT_EQ(to_clients.dropped, 1u);
    EXPECT_EQ(to_clients.corrupted, 2u);

    // From clients: a lost control message never reaches the unit; a
    // corrupted one arrives with a broken envelope, which the unit ignores.
    const uint32_t delivered_before = *server().device_control_messages(kStage);
    server().drop_next_datagrams(sim::DatagramFlow::FromClients, 1);
    EXPECT_FALSE(
        client.vendor_control(kStage, request_all(), sim::kVornixManufacturerId, 0, kSilenceWait));
    EXPECT_EQ(server().device_control_messages(kStage), delivered_before);
    const uint32_t ignored_before = server().unit_counters(kStage)->ignored_messages;
    server().corrupt_next_datagrams(sim::DatagramFlow::FromClients, 1);
    const auto delivered = client.vendor_control(kStage, request_all());
    ASSERT_TRUE(delivered);
    EXPECT_EQ(status_of(*delivered), CONMON_STATUS_RESPONSE);
    EXPECT_EQ(server().unit_counters(kStage)->ignored_messages, ignored_before + 1);
    EXPECT_FALSE(client.next_event(kSilenceWait));
}

TEST_F(ConmonServerTest, AFractionOfOneLosesEverythingUntilSwitchedOff) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.connect());
    server().set_datagram_faults(sim::DatagramFlow::ToClients, {1.0, 0.0});
    EXPECT_FALSE(client.keepalive(kSilenceWait));
    EXPECT_FALSE(client.keepalive(kSilenceWait));
    server().set_datagram_faults(sim::DatagramFlow::ToClients, {});
    EXPECT_TRUE(client.keepalive());
    EXPECT_EQ(server().datagram_fault_counts(sim::DatagramFlow::ToClients).dropped, 2u);
}

TEST_F(ConmonServerTest, DelaysHoldBackAnswersOrADevicesMessages) {
    ConmonTestClient client(port());
    ASSERT_TRUE(client.open_like_transport(kStage));

    server().set_delay(milliseconds(300));
    auto sent = steady_clock::now();
    ASSERT_TRUE(client.keepalive());
    EXPECT_GE(steady_clock::now() - sent, milliseconds(250));
    server().set_delay(milliseconds(0));

    ASSERT_TRUE(server().set_device_reply_delay(kStage, milliseconds(400)));
    ASSERT_TRUE(client.vendor_control(kStage, request_all()));
    sent = steady_clock::now();
    EXPECT_EQ(next_report(client).size(), 7u);
    EXPECT_GE(steady_clock::now() - sent, milliseconds(300));
}

TEST(ConmonServerClientTimeout, AClientSilentForTheTimeoutIsForgotten) {
    sim::SimOptions options = test_options();
    options.conmon.client_timeout = milliseconds(200);
    sim::SimNetwork network(options);
    ASSERT_EQ(network.start(), AUD_SUCCESS);
    ConmonTestClient client(network.conmon_port());
    ASSERT_TRUE(client.connect());
    const auto deadline = steady_clock::now() + kAnswerWait;
    while (network.conmon().client_count() != 0 && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(network.conmon().client_count(), 0u);
}

// ---- Bad input ----

TEST_F(ConmonServerTest, BadDatagramsAreAnsweredWithTheirFaultOrDroppedAndServiceGoesOn) {
    const uint16_t v = CONMON_PROTOCOL_VERSION;
    Datagram wrong_length = header_only(v, CONMON_OPCODE_KEEPALIVE);
    byte_order::store_le16(&wrong_length[2], 12);
    Datagram bad_register(32);
    bad_register.resize(conmon_build_register(bad_register, v, CONMON_OPCODE_REGISTER, 9, 1, 0));
    Datagram overrunning_control(256);
    overrunning_control.resize(conmon_build_control(
        overrunning_control, v, kStage, 1, 0,
        build_conmon_message(sim::kVendorMessageType, sim::kVornixManufacturerId, request_all())));
    byte_order::store_be16(&overrunning_control[52 + 2], 200);  // conmon length past the end

    struct Case {
        const char* what;
        Datagram datagram;
        std::optional<uint16_t> status;  // of the answer; nothing: no answer
        uint16_t version = CONMON_PROTOCOL_VERSION;
    };
    const Case cases[] = {
        {"shorter than a header", Datagram(9, 0), {}},
        {"length field disagrees", wrong_length, CONMON_STATUS_INVALID_SIZE},
        {"version out of range", header_only(0x0900, CONMON_OPCODE_KEEPALIVE),
         CONMON_STATUS_INVALID_VERSION},
        {"unknown opcode", header_only(v, 0x777), CONMON_STATUS_NOT_SUPPORTED},
        {"channel type 9", bad_register, CONMON_STATUS_INVALID_DATA},
        {"conmon message past the end", overrunning_control, CONMON_STATUS_INVALID_DATA},
        {"a response", header_only(v, CONMON_OPCODE_KEEPALIVE, CONMON_STATUS_RESPONSE), {}},
        {"an event", header_only(v, CONMON_OPCODE_LOCAL_NAME, CONMON_STATUS_EVENT), {}},
    };
    ConmonTestClient client(port());
    ASSERT_TRUE(client.connect());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        client.send_raw(c.datagram);
        const auto answer = client.receive(c.status ? kAnswerWait : kSilenceWait);
        ASSERT_EQ(answer.has_value(), c.status.has_value());
        if (answer) {
            ASSERT_EQ(conmon_protocol_validate(*answer), 0);
            EXPECT_EQ(status_of(*answer), *c.status);
            EXPECT_EQ(header_of(*answer).version, c.version);
        }
    }
    EXPECT_TRUE(client.keepalive());
}

}  // namespace
