#include "avn/conmon/conmon_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "avn/conmon/conmon_protocol.h"
#include "avn/api/avnapi.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/byte_order.h"
#include "tests/avn/conmon/fake_conmon_server.h"
#include "tests/support/event_loop_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kVornix[CONMON_VENDOR_ID_SIZE] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

// The runtime's clock, moved by hand so that 10-second timeouts take no time.
aud_time fake_now{1000, 0};
aud_time fake_clock() {
    return fake_now;
}

struct Completion {
    bool done = false;
    aud_error status = AUD_ERR_SYSTEM;
};

struct Received {
    uint16_t channel_type;
    uint16_t direction;
    std::string sender;
    Bytes body;
};

class ConmonClient : public ::testing::Test {
protected:
    void SetUp() override {
        fake_now = {1000, 0};
        aud_time_set_clock(fake_clock);
        ASSERT_EQ(avnapi_new(&instance_), AUD_SUCCESS);
        create_client(server_.address());
    }

    void TearDown() override {
        conmon_client_delete(client_);
        avnapi_delete(instance_);
        aud_time_set_clock(nullptr);
    }

    void create_client(const aud_socket_address& server,
                       uint32_t channel_mask = CONMON_CLIENT_DEFAULT_CHANNEL_MASK) {
        conmon_client_config* config = conmon_client_config_new("vendor_controller");
        conmon_client_config_set_server_address(config, &server);
        conmon_client_config_set_channel_mask(config, channel_mask);
        ASSERT_EQ(conmon_client_new(instance_, config, &client_), AUD_SUCCESS);
        conmon_client_config_delete(config);
        conmon_client_set_context(client_, this);
    }

    // One processing step of the runtime, then the fake server's turn.
    void step() {
        test_loop::step_runtime(avnapi_get_runtime(instance_), std::chrono::milliseconds(5));
        server_.service();
    }

    bool run_until(const std::function<bool()>& done, int max_steps = 400) {
        for (int i = 0; i < max_steps; ++i) {
            if (done()) {
                return true;
            }
            step();
        }
        return done();
    }

    void advance(int seconds) {
        fake_now.seconds += seconds;
        step();
        step();
    }

    int state() const { return conmon_client_get_connection_state(client_); }

    void connect() {
        ASSERT_EQ(conmon_client_connect(client_), AUD_SUCCESS);
        ASSERT_TRUE(run_until([&] { return conmon_client_is_ready(client_); }));
    }

    static void record_completion(conmon_client* client, conmon_client_request_id, aud_error status) {
        auto* self = static_cast<ConmonClient*>(conmon_client_get_context(client));
        self->completions_.push_back(status);
    }

    // Collects the library's log lines from here on.
    void capture_log() {
        aud_log* log = aud_env_get_log(avnapi_get_env(instance_));
        aud_log_set_level(log, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_callback(
            log,
            [](aud_log*, const char*, int, const char* text, size_t length, void* context) {
                static_cast<std::vector<std::string>*>(context)->emplace_back(text, length);
            },
            &log_lines_);
    }

    size_t logged(const std::string& text) const {
        size_t n = 0;
        for (const std::string& line : log_lines_) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    static void count_interface_changes(conmon_client* client) {
        auto* self = static_cast<ConmonClient*>(conmon_client_get_context(client));
        ++self->interface_changes_;
    }

    static void record_state(conmon_client* client) {
        auto* self = static_cast<ConmonClient*>(conmon_client_get_context(client));
        self->states_.push_back(conmon_client_get_connection_state(client));
    }

    static void record_message(conmon_client* client, uint16_t type, uint16_t direction,
                               const conmon_message* message, const uint8_t* body) {
        auto* self = static_cast<ConmonClient*>(conmon_client_get_context(client));
        const conmon_source source = conmon_message_source(message);
        const char* sender = conmon_client_device_name_for_source(client, &source);
        self->received_.push_back({type, direction, sender != nullptr ? sender : "",
                                   Bytes(body, body + conmon_message_body_size(message))});
    }

    Bytes device_message(const conmon_source& source, const uint8_t vendor[8], Bytes body) {
        Bytes m(CONMON_MESSAGE_HEAD_SIZE + body.size());
        size_t size = 0;
        conmon_message_build(m, 0x0001, vendor, body, &size);
        conmon_message_set_origin(m.data(), 1, source);
        return m;
    }

    FakeConmonServer server_;
    avnapi* instance_ = nullptr;
    conmon_client* client_ = nullptr;
    std::vector<aud_error> completions_;
    std::vector<int> states_;
    std::vector<Received> received_;
    int interface_changes_ = 0;
    std::vector<std::string> log_lines_;
};

TEST_F(ConmonClient, ConnectsAndLearnsTheLocalDevice) {
    EXPECT_EQ(state(), CONMON_CLIENT_NO_CONNECTION);
    connect();
    EXPECT_EQ(state(), CONMON_CLIENT_CONNECTED);
    EXPECT_STREQ(conmon_client_get_local_device_name(client_), "CONTROL-PC");
    ASSERT_NE(conmon_client_get_local_device_id(client_), nullptr);
    EXPECT_EQ(conmon_client_get_local_device_id(client_)->process_id, 77);
    ASSERT_FALSE(server_.requests.empty());
    const FakeConmonServer::Request& connect_request = server_.requests.front();
    EXPECT_EQ(connect_request.header.opcode, CONMON_OPCODE_CONNECT);
    EXPECT_EQ(connect_request.header.version, CONMON_PROTOCOL_VERSION);
    EXPECT_EQ(connect_request.bytes.size(), 44u);
    // Connecting again is harmless.
    EXPECT_EQ(conmon_client_connect(client_), AUD_SUCCESS);
}

TEST_F(ConmonClient, FallsBackToAnOlderServersVersion) {
    server_.version = 0x1300;
    connect();
    ASSERT_EQ(server_.count(CONMON_OPCODE_CONNECT), 2u);
    const FakeConmonServer::Request& second = server_.requests[1];
    EXPECT_EQ(second.header.version, 0x1300);
    EXPECT_EQ(second.bytes.size(), std::strlen("vendor_controller") + 11);
    ASSERT_EQ(conmon_client_subscribe(client_, record_completion, nullptr, CONMON_CHANNEL_TYPE_STATUS, "TPX2-Stage"),
              AUD_SUCCESS);
    EXPECT_EQ(server_.requests.back().header.version, 0x1300);
}

TEST_F(ConmonClient, KeepsTheConnectionAliveEveryThreeSeconds) {
    connect();
    const size_t before = server_.count(CONMON_OPCODE_KEEPALIVE);
    advance(2);
    EXPECT_EQ(server_.count(CONMON_OPCODE_KEEPALIVE), before);
    advance(1);
    EXPECT_EQ(server_.count(CONMON_OPCODE_KEEPALIVE), before + 1);
    advance(3);
    EXPECT_EQ(server_.count(CONMON_OPCODE_KEEPALIVE), before + 2);
    EXPECT_EQ(state(), CONMON_CLIENT_CONNECTED);
}

TEST_F(ConmonClient, ASilentServerIsLeftAfterTenSecondsAndRetriedFiveLater) {
    connect();
    server_.silent = true;
    for (int i = 0; i < 9; ++i) {
        advance(1);
    }
    EXPECT_EQ(state(), CONMON_CLIENT_CONNECTED);
    advance(1);
    EXPECT_EQ(state(), CONMON_CLIENT_RECONNECT_PENDING);
    EXPECT_EQ(server_.requests.back().header.opcode, CONMON_OPCODE_DISCONNECT);
    EXPECT_FALSE(conmon_client_is_ready(client_));

    server_.silent = false;
    const size_t connects = server_.count(CONMON_OPCODE_CONNECT);
    advance(4);
    EXPECT_EQ(server_.count(CONMON_OPCODE_CONNECT), connects);
    advance(1);
    EXPECT_EQ(server_.count(CONMON_OPCODE_CONNECT), connects + 1);
    EXPECT_TRUE(run_until([&] { return state() == CONMON_CLIENT_CONNECTED; }));
}

// A server that no longer knows the connection (it restarted between two
// keepalives) refuses the keepalive, or answers a request "Invalid State":
// the client connects again at once rather than at its 10 s timeout.
TEST_F(ConmonClient, AServerThatForgotTheClientIsConnectedToAgainAtOnce) {
    for (const bool by_keepalive : {true, false}) {
        SCOPED_TRACE(by_keepalive ? "keepalive refused" : "control answered Invalid State");
        connect();
        const size_t connects = server_.count(CONMON_OPCODE_CONNECT);
        if (by_keepalive) {
            server_.keepalive_status = CONMON_STATUS_INVALID_STATE;
            advance(3);
        } else {
            server_.control_status = CONMON_STATUS_INVALID_STATE;
            completions_.clear();
            const uint8_t body[1] = {0};
            ASSERT_EQ(conmon_client_send_control_message(client_, record_completion, nullptr, "TPX2-Stage",
                                                         0xFFFF, kVornix, body, sizeof body, nullptr),
                      AUD_SUCCESS);
            ASSERT_TRUE(run_until([&] { return !completions_.empty(); }));
            EXPECT_EQ(completions_.front(), conmon_status_error(CONMON_STATUS_INVALID_STATE));
        }
        server_.keepalive_status = CONMON_STATUS_RESPONSE;
        server_.control_status = CONMON_STATUS_RESPONSE;
        EXPECT_TRUE(run_until([&] { return server_.count(CONMON_OPCODE_CONNECT) > connects; }));
        EXPECT_TRUE(run_until([&] { return state() == CONMON_CLIENT_CONNECTED; }));
        ASSERT_EQ(conmon_client_disconnect(client_), AUD_SUCCESS);
    }
}

TEST_F(ConmonClient, ARefusedConnectIsRetriedAsAFailedAutoConnection) {
    capture_log();
    server_.connect_status = CONMON_STATUS_NO_BUFFERS;
    ASSERT_EQ(conmon_client_connect(client_), AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return state() == CONMON_CLIENT_RECONNECT_PENDING; }));
    EXPECT_EQ(logged("conmon_client_local_to_state_inner(conmon_client_local_on_connect_response): "
                     "CONNECTING->RECONNECT_PENDING (auto-connection failed)"),
              1u);
    server_.connect_status = CONMON_STATUS_RESPONSE;
    advance(5);
    EXPECT_TRUE(run_until([&] { return state() == CONMON_CLIENT_CONNECTED; }));
}

// Only the answer to the outstanding CONNECT connects; any other connect
// response, before or after, is logged and changes nothing.
TEST_F(ConmonClient, AConnectResponseForAnotherRequestIsIgnored) {
    capture_log();
    server_.silent = true;
    ASSERT_EQ(conmon_client_connect(client_), AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return server_.count(CONMON_OPCODE_CONNECT) == 1; }));
    const conmon_protocol_header connect = server_.requests.front().header;
    const auto respond = [&](uint16_t request_id, const char* device_name) {
        conmon_protocol_header request = connect;
        request.request_id = request_id;
        conmon_connect_info info;
        std::strcpy(info.device_name, device_name);
        server_.send(server_.built([&](auto o) {
            return conmon_build_connect_response(o, request, CONMON_PROTOCOL_VERSION, info);
        }));
        for (int i = 0; i < 5; ++i) {
            step();
        }
    };
    const std::string mismatch =
        "conmon_client_local_on_connect_response: connection handle mismatch, ignoring message!\n";

    respond(static_cast<uint16_t>(connect.request_id + 1), "IMPOSTOR");
    EXPECT_EQ(state(), CONMON_CLIENT_CONNECTING);
    EXPECT_EQ(logged(mismatch), 1u);

    respond(connect.request_id, "CONTROL-PC");
    EXPECT_EQ(state(), CONMON_CLIENT_CONNECTED);
    EXPECT_STREQ(conmon_client_get_local_device_name(client_), "CONTROL-PC");

    respond(connect.request_id, "LATE");  // the same answer once more
    EXPECT_EQ(state(), CONMON_CLIENT_CONNECTED);
    EXPECT_STREQ(conmon_client_get_local_device_name(client_), "CONTROL-PC");
    EXPECT_EQ(logged(mismatch), 2u);
}

// The closed port shows as a connection reset where the platform reports
// port-unreachable to UDP sockets; elsewhere the 2-second connect timeout
// gives up on the attempt. Either way the client goes on retrying.
bool ConmonClientGaveUpOnTheAttempt(const std::function<bool()>& pending,
                                    const std::function<void()>& wait_two_seconds) {
    if (!pending()) {
        wait_two_seconds();
    }
    return pending();
}

TEST_F(ConmonClient, NoServerGivesReconnectPendingAndRetries) {
    server_.close();
    conmon_client_set_connection_state_callback(client_, record_state);
    ASSERT_EQ(conmon_client_connect(client_), AUD_SUCCESS);
    const auto pending = [&] {
        return run_until([&] { return state() == CONMON_CLIENT_RECONNECT_PENDING; }, 40);
    };
    EXPECT_TRUE(ConmonClientGaveUpOnTheAttempt(pending, [&] { advance(2); }));
    // A request in between finds no socket.
    EXPECT_EQ(conmon_client_send_control_message(client_, nullptr, nullptr, "TPX2-Stage", 0xFFFF, kVornix,
                                                 nullptr, 0, nullptr),
              AUD_ERR_INVALIDPARAMETER);
    advance(5);
    EXPECT_TRUE(ConmonClientGaveUpOnTheAttempt(pending, [&] { advance(2); }));
    EXPECT_EQ(states_, (std::vector<int>{CONMON_CLIENT_CONNECTING, CONMON_CLIENT_RECONNECT_PENDING,
                                         CONMON_CLIENT_CONNECTING, CONMON_CLIENT_RECONNECT_PENDING}));
}

TEST_F(ConmonClient, RequestsCompleteWithTheServersStatus) {
    connect();
    conmon_client_request_id request = nullptr;
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, record_completion, &request,
                                                         CONMON_CHANNEL_TYPE_STATUS,
                                                         CONMON_DIRECTION_REMOTE, record_message),
              AUD_SUCCESS);
    EXPECT_NE(request, nullptr);
    ASSERT_EQ(conmon_client_subscribe(client_, record_completion, nullptr, CONMON_CHANNEL_TYPE_STATUS,
                                      "TPX2-Stage"),
              AUD_SUCCESS);
    const uint8_t body[5] = {1, 2, 3, 4, 5};
    const aud_time timeout{1, 0};
    ASSERT_EQ(conmon_client_send_control_message(client_, record_completion, nullptr, "TPX2-Stage", 0xFFFF,
                                                 kVornix, body, sizeof body, &timeout),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return completions_.size() == 3; }));
    server_.control_status = CONMON_STATUS_NOT_FOUND;
    ASSERT_EQ(conmon_client_send_control_message(client_, record_completion, nullptr, "Nobody", 0xFFFF,
                                                 kVornix, body, sizeof body, &timeout),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return completions_.size() == 4; }));
    EXPECT_EQ(completions_, (std::vector<aud_error>{AUD_SUCCESS, AUD_SUCCESS, AUD_SUCCESS, AUD_ERR_NOTFOUND}));

    const FakeConmonServer::Request& control = server_.requests[server_.requests.size() - 2];
    conmon_request_fields fields;
    ASSERT_TRUE(conmon_parse_request(control.bytes, &fields));
    EXPECT_STREQ(fields.name, "TPX2-Stage");
    EXPECT_EQ(fields.timeout_seconds, 1u);
    ASSERT_EQ(fields.conmon_message.size(), CONMON_MESSAGE_HEAD_SIZE + sizeof body);
    EXPECT_EQ(byte_order::load_be16(fields.conmon_message.data()), 0xFFFF);
}

// The requests say what they were asked to: a control message to the local
// device names it, and a subscription to the control channel goes to the
// server, which judges it.
TEST_F(ConmonClient, RequestsCarryWhatTheyWereAskedFor) {
    connect();
    const uint8_t body[2] = {1, 2};
    ASSERT_EQ(conmon_client_send_control_message(client_, record_completion, nullptr, "CONTROL-PC", 0xFFFF,
                                                 kVornix, body, sizeof body, nullptr),
              AUD_SUCCESS);
    ASSERT_EQ(conmon_client_subscribe(client_, record_completion, nullptr, CONMON_CHANNEL_TYPE_CONTROL,
                                      "TPX2-Stage"),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return completions_.size() == 2; }));
    EXPECT_EQ(completions_, (std::vector<aud_error>{AUD_SUCCESS, AUD_ERR_INVALIDDATA}));

    ASSERT_EQ(server_.opcodes().back(), CONMON_OPCODE_SUBSCRIBE);
    const Bytes& subscribe = server_.requests.back().bytes;
    ASSERT_EQ(subscribe.size(), 25u + std::strlen("TPX2-Stage"));
    EXPECT_EQ(byte_order::load_le16(&subscribe[10]), CONMON_CHANNEL_TYPE_CONTROL);
    EXPECT_STREQ(reinterpret_cast<const char*>(&subscribe[14]), "TPX2-Stage");

    const FakeConmonServer::Request& control = server_.requests[server_.requests.size() - 2];
    conmon_request_fields fields;
    ASSERT_TRUE(conmon_parse_request(control.bytes, &fields));
    EXPECT_STREQ(fields.name, "CONTROL-PC");
}

// With the metering channel in the mask and port 0 configured, the system
// chooses the channel's port; the server must be told that one.
TEST_F(ConmonClient, MeteringRequestsCarryThePortTheChannelBound) {
    conmon_client_delete(client_);
    client_ = nullptr;
    create_client(server_.address(),
                  CONMON_CLIENT_DEFAULT_CHANNEL_MASK | (1u << CONMON_CHANNEL_TYPE_METERING));
    const uint16_t bound = conmon_client_get_metering_port(client_);
    ASSERT_NE(bound, 0);
    connect();
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, record_completion, nullptr,
                                                         CONMON_CHANNEL_TYPE_METERING,
                                                         CONMON_DIRECTION_REMOTE, record_message),
              AUD_SUCCESS);
    ASSERT_EQ(conmon_client_subscribe(client_, record_completion, nullptr, CONMON_CHANNEL_TYPE_METERING,
                                      "TPX2-Stage"),
              AUD_SUCCESS);
    // Unregistering names no port.
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, record_completion, nullptr,
                                                         CONMON_CHANNEL_TYPE_METERING,
                                                         CONMON_DIRECTION_REMOTE, nullptr),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return completions_.size() == 3; }));

    std::vector<std::pair<uint16_t, uint16_t>> sent;  // (opcode, port)
    for (const FakeConmonServer::Request& request : server_.requests) {
        conmon_request_fields fields;
        if (request.header.opcode != CONMON_OPCODE_CONNECT && conmon_parse_request(request.bytes, &fields)) {
            sent.emplace_back(request.header.opcode, fields.port);
        }
    }
    EXPECT_EQ(sent, (std::vector<std::pair<uint16_t, uint16_t>>{{CONMON_OPCODE_REGISTER, bound},
                                                                {CONMON_OPCODE_SUBSCRIBE, bound},
                                                                {CONMON_OPCODE_UNREGISTER, 0}}));
}

// An interface table that arrives unchanged is no change; records are equal
// by their fields, whatever lies between them in memory.
TEST_F(ConmonClient, OnlyAChangedInterfaceTableIsReported) {
    conmon_client_set_interfaces_changed_callback(client_, count_interface_changes);
    connect();
    conmon_interface_record record;
    record.index = 3;
    record.flags = CONMON_INTERFACE_FLAG_LINK_UP;
    record.address = 0x0100007F;
    record.mac[5] = 0x42;
    record.link_speed = 1000;
    conmon_interface_record link_down = record;
    link_down.flags = 0;
    for (const conmon_interface_record& r : {record, record, link_down}) {
        server_.send(server_.built([&](auto o) {
            return conmon_build_interfaces_event(o, CONMON_PROTOCOL_VERSION, {&r, 1});
        }));
    }
    ASSERT_TRUE(run_until([&] { return interface_changes_ >= 2; }));
    for (int i = 0; i < 5; ++i) {
        step();
    }
    EXPECT_EQ(interface_changes_, 2);
}

TEST_F(ConmonClient, TheEleventhOutstandingRequestFindsNoBuffer) {
    connect();
    server_.answer_control = false;
    const uint8_t body[1] = {0};
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(conmon_client_send_control_message(client_, record_completion, nullptr, "TPX2-Stage", 0xFFFF,
                                                     kVornix, body, 1, nullptr),
                  AUD_SUCCESS)
            << i;
    }
    EXPECT_EQ(conmon_client_send_control_message(client_, record_completion, nullptr, "TPX2-Stage", 0xFFFF,
                                                 kVornix, body, 1, nullptr),
              AUD_ERR_NOBUFS);
    // Requests without a callback or handle need no slot.
    EXPECT_EQ(conmon_client_send_control_message(client_, nullptr, nullptr, "TPX2-Stage", 0xFFFF, kVornix,
                                                 body, 1, nullptr),
              AUD_SUCCESS);
    step();
    EXPECT_NE(server_.requests.back().header.status & CONMON_STATUS_NO_RESPONSE, 0);
}

// Requests that nobody waits an answer for (an untracked CONTROL, DISCONNECT)
// carry the 0xF000 marking only for a server that announced it understands
// it; the tracked KEEPALIVE never does.
TEST_F(ConmonClient, UntrackedRequestsAreMarkedOnlyForAServerThatUnderstands) {
    struct Round {
        uint16_t capabilities;
        uint16_t control_status;
        Bytes keepalive;
        Bytes disconnect;
    };
    const Round rounds[] = {
        // Request ids 1 to 4: CONNECT, CONTROL, KEEPALIVE, DISCONNECT.
        {CONMON_CAPABILITY_NO_RESPONSE, 0xF000,
         {0x03, 0x15, 0x0A, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00},
         {0x03, 0x15, 0x0A, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, 0xF0}},
        // Ids 5 to 8, from a server that announces nothing.
        {0, 0x0000,
         {0x03, 0x15, 0x0A, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00},
         {0x03, 0x15, 0x0A, 0x00, 0x08, 0x00, 0x01, 0x01, 0x00, 0x00}},
    };
    const uint8_t body[1] = {0};
    for (const Round& round : rounds) {
        SCOPED_TRACE(round.capabilities);
        server_.capabilities = round.capabilities;
        server_.requests.clear();
        connect();
        ASSERT_EQ(conmon_client_send_control_message(client_, nullptr, nullptr, "TPX2-Stage", 0xFFFF,
                                                     kVornix, body, 1, nullptr),
                  AUD_SUCCESS);
        advance(3);  // the keepalive
        ASSERT_EQ(conmon_client_disconnect(client_), AUD_SUCCESS);
        step();
        ASSERT_EQ(server_.opcodes(), (std::vector<uint16_t>{CONMON_OPCODE_CONNECT, CONMON_OPCODE_CONTROL,
                                                            CONMON_OPCODE_KEEPALIVE,
                                                            CONMON_OPCODE_DISCONNECT}));
        EXPECT_EQ(server_.requests[1].header.status, round.control_status);
        EXPECT_EQ(server_.requests[2].bytes, round.keepalive);
        EXPECT_EQ(server_.requests[3].bytes, round.disconnect);
    }
}

TEST_F(ConmonClient, RefusesWhatCannotBeSent) {
    const Bytes big(1449, 0);
    EXPECT_EQ(conmon_client_send_control_message(client_, nullptr, nullptr, "TPX2-Stage", 0xFFFF, kVornix,
                                                 big.data(), 1448, nullptr),
              AUD_ERR_NOTCONN);  // fits, but nothing is connected
    EXPECT_EQ(conmon_client_send_control_message(client_, nullptr, nullptr, "TPX2-Stage", 0xFFFF, kVornix,
                                                 big.data(), 1449, nullptr),
              AUD_ERR_TRUNCATED);
    EXPECT_EQ(conmon_client_send_control_message(client_, nullptr, nullptr, "TPX2-Stage", 0xFFFF,
                                                 CONMON_VENDOR_ID_AVN_CORE, big.data(), 7, nullptr),
              AUD_ERR_MSGSIZE);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client_, nullptr, nullptr, CONMON_CHANNEL_TYPE_METERING,
                                                         CONMON_DIRECTION_REMOTE, record_message),
              AUD_ERR_NOTINITIALISED);
    EXPECT_EQ(conmon_client_subscribe(client_, nullptr, nullptr, CONMON_CHANNEL_TYPE_METERING, "x"),
              AUD_ERR_NOTINITIALISED);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client_, nullptr, nullptr, CONMON_CHANNEL_TYPE_STATUS,
                                                         CONMON_DIRECTION_REMOTE, record_message),
              AUD_ERR_NOTCONN);
}

TEST_F(ConmonClient, DeliversMessagesToRegisteredHandlersOnly) {
    connect();
    conmon_subscription_record record;
    std::strcpy(record.device_name, "TPX2-Stage");
    record.flags = CONMON_SUBSCRIPTION_FLAG_SOURCE | CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION;
    record.source = {{0x10, 0x20, 0, 0, 0, 0, 0, 5}, 9};
    server_.subscription_records = {record};
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, record_completion, nullptr,
                                                         CONMON_CHANNEL_TYPE_STATUS,
                                                         CONMON_DIRECTION_REMOTE, record_message),
              AUD_SUCCESS);
    ASSERT_EQ(conmon_client_subscribe(client_, record_completion, nullptr, CONMON_CHANNEL_TYPE_STATUS,
                                      "TPX2-Stage"),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return completions_.size() == 2; }));

    const Bytes from_unit = device_message(record.source, kVornix, {7, 7});
    // A named message, a plain one (named through the subscription), and one
    // for a (type, direction) nobody registered for.
    server_.send(server_.built([&](auto o) {
        return conmon_build_rx_named_message(o, CONMON_PROTOCOL_VERSION, 2, 1, "TPX2-Stage", from_unit);
    }));
    server_.send(server_.built([&](auto o) {
        return conmon_build_rx_message(o, CONMON_PROTOCOL_VERSION, 2, 1, 0, from_unit);
    }));
    server_.send(server_.built([&](auto o) {
        return conmon_build_rx_message(o, CONMON_PROTOCOL_VERSION, 3, 1, 0, from_unit);
    }));
    ASSERT_TRUE(run_until([&] { return received_.size() >= 2; }));
    for (int i = 0; i < 5; ++i) {
        step();
    }
    ASSERT_EQ(received_.size(), 2u);
    EXPECT_EQ(received_[0].sender, "TPX2-Stage");
    EXPECT_EQ(received_[1].sender, "TPX2-Stage");
    EXPECT_EQ(received_[0].body, (Bytes{7, 7}));
    EXPECT_EQ(received_[0].channel_type, 2);
    EXPECT_EQ(received_[0].direction, 1);

    // A message whose sender nobody can name.
    const conmon_source stranger{{0x99}, 1};
    EXPECT_EQ(conmon_client_device_name_for_source(client_, &stranger), nullptr);
}

// Invalid datagrams are logged and dropped, and the client goes on reading:
// a valid event after them still takes effect.
TEST_F(ConmonClient, InvalidDatagramsAreDropped) {
    capture_log();
    connect();
    server_.send(Bytes(9, 0x15));
    Bytes wrong_length = server_.built([](auto o) {
        return conmon_build_header_only(o, CONMON_PROTOCOL_VERSION, CONMON_OPCODE_KEEPALIVE);
    });
    wrong_length.resize(14);
    server_.send(wrong_length);
    // A name event cut short: its name field is incomplete.
    Bytes short_name = server_.built([](auto o) {
        return conmon_build_name_event(o, CONMON_PROTOCOL_VERSION, CONMON_OPCODE_LOCAL_NAME, "BROKEN");
    });
    short_name.resize(41);
    byte_order::store_le16(&short_name[2], 41);
    server_.send(short_name);
    server_.send(server_.built([](auto o) {
        return conmon_build_name_event(o, CONMON_PROTOCOL_VERSION, CONMON_OPCODE_LOCAL_NAME, "RENAMED-PC");
    }));
    ASSERT_TRUE(run_until([&] { return std::strcmp(conmon_client_get_local_device_name(client_), "CONTROL-PC") != 0; }));
    EXPECT_STREQ(conmon_client_get_local_device_name(client_), "RENAMED-PC");
    EXPECT_EQ(logged("process_local_message: Error validating: Invalid size!"), 3u);
    EXPECT_EQ(state(), CONMON_CLIENT_CONNECTED);
}

TEST_F(ConmonClient, LosingTheServerForgetsRegistrations) {
    connect();
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, record_completion, nullptr,
                                                         CONMON_CHANNEL_TYPE_STATUS,
                                                         CONMON_DIRECTION_REMOTE, record_message),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return completions_.size() == 1; }));
    server_.silent = true;
    for (int i = 0; i < 10; ++i) {
        advance(1);
    }
    ASSERT_EQ(state(), CONMON_CLIENT_RECONNECT_PENDING);
    server_.silent = false;
    advance(5);
    ASSERT_TRUE(run_until([&] { return state() == CONMON_CLIENT_CONNECTED; }));
    // The old registration is gone: messages are dropped until it is made again.
    const Bytes from_unit = device_message({{1}, 1}, kVornix, {1});
    server_.send(server_.built([&](auto o) {
        return conmon_build_rx_named_message(o, CONMON_PROTOCOL_VERSION, 2, 1, "TPX2-Stage", from_unit);
    }));
    for (int i = 0; i < 5; ++i) {
        step();
    }
    EXPECT_TRUE(received_.empty());
}

TEST_F(ConmonClient, DisconnectEndsInNoConnection) {
    connect();
    ASSERT_EQ(conmon_client_disconnect(client_), AUD_SUCCESS);
    EXPECT_EQ(state(), CONMON_CLIENT_NO_CONNECTION);
    step();
    EXPECT_EQ(server_.requests.back().header.opcode, CONMON_OPCODE_DISCONNECT);
    advance(6);
    EXPECT_EQ(state(), CONMON_CLIENT_NO_CONNECTION);  // no reconnection
}

}  // namespace
