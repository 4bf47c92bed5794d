// The DGCP2 client against a peer socket on loopback that the test drives by
// hand. Time is the test's own clock, so keepalive intervals and the
// 31-second receive timeout pass without waiting.
#include "avn/domain/dgcp2_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/byte_order.h"
#include "avn/runtime/socket.h"
#include "tests/avn/domain/closed_port_probe.h"
#include "tests/support/event_loop_runner.h"

namespace {

constexpr uint16_t kProtocol = 0x1001;
constexpr uint16_t kSetConfig = 0x0110;
constexpr uint32_t kLoopback = 0x7F000001;

aud_time g_now{1000, 0};
aud_time test_clock() {
    return g_now;
}

struct Event {
    uint32_t flags;
    dgcp2_request* request;
    bool has_message;
    uint16_t kind;
    aud_error error;
    int state;  // the client's state when the event arrived
};

void record_event(dgcp2_client* client, const dgcp2_event* event, void* context) {
    auto* events = static_cast<std::vector<Event>*>(context);
    events->push_back(
        {event->flags, event->request, event->message != nullptr,
         event->message != nullptr ? dgcp2_message_get_kind(event->message) : uint16_t{0},
         event->error, dgcp2_client_get_connection_state(client)});
}

void record_line(aud_log*, const char*, int, const char* text, size_t length, void* context) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(text, length);
}

class Dgcp2Client : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = aud_time{1000, 0};
        aud_time_set_clock(test_clock);
        ASSERT_EQ(aud_env_acquire(&global_), AUD_SUCCESS);  // starts the socket layer
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        aud_log* log = aud_env_get_log(env_);
        aud_log_set_level(log, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_callback(log, record_line, &lines_);

        ASSERT_EQ(aud_socket_open_udp(&server_, AUD_AF_INET), AUD_SUCCESS);
        aud_socket_address any{};
        aud_socket_address_set_ipv4(&any, kLoopback, 0);
        ASSERT_EQ(aud_socket_bind(server_, &any), AUD_SUCCESS);
        ASSERT_EQ(aud_socket_get_local_address(server_, &server_address_), AUD_SUCCESS);
        ASSERT_EQ(aud_socket_set_blocking(server_, false), AUD_SUCCESS);
    }

    void TearDown() override {
        dgcp2_client_delete(client_);
        aud_socket_close(&socket_);
        aud_socket_close(&server_);
        aud_socket_close(&intruder_);
        aud_env_delete(env_);
        if (global_ != nullptr) {
            aud_env_release(global_);
        }
        aud_time_set_clock(nullptr);
    }

    // A client on a socket connected to the peer (or, with a server
    // address, on an unconnected socket that sends to it).
    void make_client(bool event_loop = true, bool connection_oriented = true,
                     bool wait_for_disconnect = false, bool use_server_address = false,
                     unsigned slots = 1) {
        if (use_server_address) {
            ASSERT_EQ(aud_socket_open_udp(&socket_, AUD_AF_INET), AUD_SUCCESS);
            aud_socket_address any{};
            aud_socket_address_set_ipv4(&any, kLoopback, 0);
            ASSERT_EQ(aud_socket_bind(socket_, &any), AUD_SUCCESS);
        } else {
            ASSERT_EQ(aud_socket_open_and_connect(&socket_, &server_address_), AUD_SUCCESS);
        }
        ASSERT_EQ(aud_socket_set_blocking(socket_, false), AUD_SUCCESS);
        ASSERT_EQ(aud_socket_get_local_address(socket_, &client_address_), AUD_SUCCESS);
        ASSERT_EQ(dgcp2_client_new(env_, event_loop, DGCP2_HEADER_TYPE_2, slots, &client_),
                  AUD_SUCCESS);
        dgcp2_client_set_context(client_, &events_);
        dgcp2_client_set_callback(client_, record_event);
        ASSERT_EQ(dgcp2_client_initialise(client_, nullptr, socket_, connection_oriented,
                                          wait_for_disconnect,
                                          use_server_address ? &server_address_ : nullptr),
                  AUD_SUCCESS);
    }

    void set_keepalives() {
        const aud_time interval{10, 0};
        const aud_time timeout{31, 0};
        ASSERT_EQ(dgcp2_client_set_keepalives(client_, kProtocol, &interval, &timeout),
                  AUD_SUCCESS);
    }

    // One processing step: a bounded wait on the loop's sockets, dispatch,
    // then the deferred calls and timers due at the test clock's time.
    void step() { ASSERT_EQ(test_loop::step(aud_env_get_event_loop(env_)), AUD_SUCCESS); }

    bool step_until(const std::function<bool()>& done, int steps = 100) {
        for (int i = 0; i < steps && !done(); ++i) {
            step();
        }
        return done();
    }

    // Moves the clock on by whole seconds, one processing step per second.
    void advance(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            g_now.seconds += 1;
            step();
        }
    }

    // The next datagram that reached the peer, waiting at most `ms`.
    bool server_receive(dgcp2_message* out, int ms = 1000) {
        const aud_time timeout = aud_time_from_milliseconds(ms);
        if (aud_socket_wait_readable(server_, &timeout) != AUD_SUCCESS) {
            return false;
        }
        uint8_t buffer[DGCP2_MESSAGE_SIZE + 16];
        size_t size = sizeof buffer;
        aud_socket_address source{};
        if (aud_socket_recvfrom(server_, buffer, &size, &source) != AUD_SUCCESS) {
            return false;
        }
        return dgcp2_message_load(out, DGCP2_HEADER_TYPE_2, {buffer, size}) == AUD_SUCCESS;
    }

    bool server_silent() {
        dgcp2_message m;
        return !server_receive(&m, 50);
    }

    void server_send_bytes(const uint8_t* data, size_t size, aud_socket_t from = -1) {
        size_t length = size;
        ASSERT_EQ(aud_socket_sendto(from == -1 ? server_ : from, data, &length, &client_address_),
                  AUD_SUCCESS);
    }

    void server_send(const dgcp2_message& m) {
        const auto bytes = dgcp2_message_bytes(&m);
        server_send_bytes(bytes.data(), bytes.size());
    }

    void answer(const dgcp2_message& request, uint16_t kind) {
        dgcp2_message response;
        dgcp2_message_init(&response, DGCP2_HEADER_TYPE_2);
        ASSERT_EQ(dgcp2_message_init_response(&response, &request, kind), AUD_SUCCESS);
        server_send(response);
    }

    void send_event(uint16_t opcode) {
        dgcp2_message event;
        dgcp2_message_init(&event, DGCP2_HEADER_TYPE_2);
        dgcp2_message_write_header(&event, kProtocol, opcode, DGCP2_KIND_EVENT);
        server_send(event);
    }

    dgcp2_request* send_request(uint16_t opcode, aud_error expected = AUD_SUCCESS) {
        dgcp2_request* request = nullptr;
        EXPECT_EQ(dgcp2_client_take_request(client_, &request), AUD_SUCCESS);
        if (request == nullptr) {
            return nullptr;
        }
        EXPECT_EQ(dgcp2_request_write_header(request, kProtocol, opcode), AUD_SUCCESS);
        EXPECT_EQ(dgcp2_client_send_request(request), expected);
        return request;
    }

    // Connect and have the peer accept; returns the CONNECT as received.
    dgcp2_message connect() {
        send_request(DGCP2_OPCODE_CONNECT);
        dgcp2_message request{};
        EXPECT_TRUE(server_receive(&request));
        answer(request, DGCP2_KIND_RESPONSE);
        EXPECT_TRUE(step_until(
            [&] { return dgcp2_client_get_connection_state(client_) == DGCP2_STATE_CONNECTED; }));
        events_.clear();
        return request;
    }

    bool logged(const std::string& text) const {
        return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    bool slot_free() {
        dgcp2_request* request = nullptr;
        if (dgcp2_client_take_request(client_, &request) != AUD_SUCCESS) {
            return false;
        }
        dgcp2_client_release_request(request);
        return true;
    }

    aud_env* global_ = nullptr;
    aud_env* env_ = nullptr;
    aud_socket_t server_ = AUD_SOCKET_INVALID;
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    aud_socket_t intruder_ = AUD_SOCKET_INVALID;
    aud_socket_address server_address_{};
    aud_socket_address client_address_{};
    dgcp2_client* client_ = nullptr;
    std::vector<Event> events_;
    std::vector<std::string> lines_;
};

TEST_F(Dgcp2Client, ConnectHandshakeStampsSequenceNumbersAndClientId) {
    make_client();
    send_request(DGCP2_OPCODE_CONNECT);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].flags, DGCP2_EVENT_STATE_CHANGED);
    EXPECT_EQ(events_[0].state, DGCP2_STATE_CONNECTING);

    dgcp2_message request;
    ASSERT_TRUE(server_receive(&request));
    EXPECT_EQ(dgcp2_message_get_seqnum(&request), 0);
    EXPECT_EQ(dgcp2_message_get_opcode(&request), DGCP2_OPCODE_CONNECT);
    EXPECT_EQ(dgcp2_message_get_protocol_id(&request), kProtocol);
    const dgcp2_client_id id = dgcp2_message_get_client_id(&request);
    EXPECT_EQ(id.port, aud_socket_address_get_port(&client_address_));
    EXPECT_EQ(std::count(id.id, id.id + 8, 0), 8);
    EXPECT_TRUE(logged("dgcp2_client_initialise: Client id is now 0000000000000000:"));

    answer(request, DGCP2_KIND_RESPONSE);
    ASSERT_TRUE(step_until([&] { return events_.size() >= 3; }));
    // Before and after the slot is released, with the response both times.
    ASSERT_EQ(events_.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(events_[i].flags, DGCP2_EVENT_STATE_CHANGED | DGCP2_EVENT_RESPONSE);
        EXPECT_TRUE(events_[i].has_message);
        EXPECT_EQ(events_[i].state, DGCP2_STATE_CONNECTED);
    }
    EXPECT_TRUE(slot_free());

    send_request(kSetConfig);
    ASSERT_TRUE(server_receive(&request));
    EXPECT_EQ(dgcp2_message_get_seqnum(&request), 1);
}

TEST_F(Dgcp2Client, ConnectAnsweredWithAnErrorKindDisconnects) {
    make_client();
    send_request(DGCP2_OPCODE_CONNECT);
    dgcp2_message request;
    ASSERT_TRUE(server_receive(&request));
    answer(request, DGCP2_KIND_TOO_MANY_CLIENTS);
    ASSERT_TRUE(step_until([&] { return events_.size() >= 3; }));
    EXPECT_EQ(events_[1].flags, DGCP2_EVENT_STATE_CHANGED | DGCP2_EVENT_RESPONSE);
    EXPECT_EQ(events_[1].kind, DGCP2_KIND_TOO_MANY_CLIENTS);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTED);
    EXPECT_TRUE(slot_free());
}

TEST_F(Dgcp2Client, Slots) {
    make_client();
    dgcp2_request* first = nullptr;
    dgcp2_request* second = nullptr;
    EXPECT_EQ(dgcp2_client_take_request(client_, nullptr), AUD_ERR_INVALIDPARAMETER);
    ASSERT_EQ(dgcp2_client_take_request(client_, &first), AUD_SUCCESS);
    EXPECT_TRUE(dgcp2_request_in_use(first));
    EXPECT_EQ(dgcp2_request_get_client(first), client_);
    EXPECT_EQ(dgcp2_client_take_request(client_, &second), AUD_ERR_NOBUFS);
    dgcp2_client_release_request(first);
    dgcp2_client_release_request(first);  // already free: nothing
    EXPECT_EQ(dgcp2_client_take_request(client_, &second), AUD_SUCCESS);
    EXPECT_EQ(second, first);

    dgcp2_client* slotless = nullptr;
    ASSERT_EQ(dgcp2_client_new(env_, false, DGCP2_HEADER_TYPE_1, 0, &slotless), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_client_take_request(slotless, &second), AUD_ERR_NOTFOUND);
    dgcp2_client_delete(slotless);
}

TEST_F(Dgcp2Client, CreationAndInitialisationErrors) {
    dgcp2_client* client = nullptr;
    EXPECT_EQ(dgcp2_client_new(env_, true, 3, 1, &client), AUD_ERR_INVALIDPARAMETER);
    aud_env* no_loop = nullptr;
    ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG, &no_loop), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_client_new(no_loop, true, DGCP2_HEADER_TYPE_2, 1, &client),
              AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(dgcp2_client_new(no_loop, false, DGCP2_HEADER_TYPE_2, 1, &client), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_client_initialise(client, nullptr, AUD_SOCKET_INVALID, true, false, nullptr),
              AUD_ERR_INVALIDPARAMETER);
    const aud_time interval{10, 0};
    EXPECT_EQ(dgcp2_client_set_keepalives(client, 0, &interval, &interval),
              AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(dgcp2_client_set_keepalives(client, kProtocol, nullptr, &interval),
              AUD_ERR_INVALIDPARAMETER);
    const aud_time zero{0, 0};
    EXPECT_EQ(dgcp2_client_set_keepalives(client, kProtocol, &interval, &zero),
              AUD_ERR_INVALIDPARAMETER);
    dgcp2_client_delete(client);
    aud_env_delete(no_loop);
}

// Which requests each connection state lets out; a refused one is released
// and nothing is sent.
TEST_F(Dgcp2Client, ConnectionRules) {
    struct Case {
        bool connection_oriented;
        int state;
        uint16_t opcode;
        aud_error expected;
    };
    const Case cases[] = {
        {true, DGCP2_STATE_DISCONNECTED, kSetConfig, AUD_ERR_INVALIDSTATE},
        {true, DGCP2_STATE_DISCONNECTED, DGCP2_OPCODE_DISCONNECT, AUD_ERR_INVALIDSTATE},
        {true, DGCP2_STATE_DISCONNECTED, DGCP2_OPCODE_KEEPALIVE, AUD_ERR_INVALIDSTATE},
        {true, DGCP2_STATE_DISCONNECTED, DGCP2_OPCODE_CONNECT, AUD_SUCCESS},
        {true, DGCP2_STATE_CONNECTING, DGCP2_OPCODE_CONNECT, AUD_ERR_INVALIDSTATE},
        {true, DGCP2_STATE_CONNECTING, kSetConfig, AUD_ERR_INVALIDSTATE},
        {true, DGCP2_STATE_CONNECTING, DGCP2_OPCODE_DISCONNECT, AUD_SUCCESS},
        {true, DGCP2_STATE_CONNECTED, DGCP2_OPCODE_CONNECT, AUD_ERR_INVALIDSTATE},
        {true, DGCP2_STATE_CONNECTED, kSetConfig, AUD_SUCCESS},
        {true, DGCP2_STATE_CONNECTED, DGCP2_OPCODE_DISCONNECT, AUD_SUCCESS},
        {true, DGCP2_STATE_DISCONNECTING, kSetConfig, AUD_ERR_INVALIDSTATE},
        {true, DGCP2_STATE_DISCONNECTING, DGCP2_OPCODE_DISCONNECT, AUD_SUCCESS},
        {false, DGCP2_STATE_DISCONNECTED, DGCP2_OPCODE_CONNECT, AUD_ERR_INVALIDPARAMETER},
        {false, DGCP2_STATE_DISCONNECTED, DGCP2_OPCODE_DISCONNECT, AUD_ERR_INVALIDPARAMETER},
        {false, DGCP2_STATE_DISCONNECTED, kSetConfig, AUD_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " opcode " << c.opcode);
        make_client(true, c.connection_oriented, /*wait_for_disconnect=*/true);
        if (c.state >= DGCP2_STATE_CONNECTED) {
            connect();
        }
        if (c.state == DGCP2_STATE_CONNECTING) {
            dgcp2_client_release_request(send_request(DGCP2_OPCODE_CONNECT));
        }
        if (c.state == DGCP2_STATE_DISCONNECTING) {
            dgcp2_client_release_request(send_request(DGCP2_OPCODE_DISCONNECT));
        }
        ASSERT_EQ(dgcp2_client_get_connection_state(client_), c.state);
        dgcp2_message drained;
        while (server_receive(&drained, 20)) {
        }

        dgcp2_request* request = send_request(c.opcode, c.expected);
        if (c.expected == AUD_SUCCESS) {
            dgcp2_message sent;
            ASSERT_TRUE(server_receive(&sent));
            EXPECT_EQ(dgcp2_message_get_opcode(&sent), c.opcode);
        } else {
            EXPECT_FALSE(dgcp2_request_in_use(request));
            EXPECT_TRUE(server_silent());
        }
        dgcp2_client_delete(client_);
        client_ = nullptr;
        aud_socket_close(&socket_);
    }
}

TEST_F(Dgcp2Client, DisconnectWithoutWaitingIsDoneAtOnce) {
    make_client();
    connect();
    dgcp2_request* request = send_request(DGCP2_OPCODE_DISCONNECT);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTED);
    EXPECT_FALSE(dgcp2_request_in_use(request));
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].flags, DGCP2_EVENT_STATE_CHANGED);
    EXPECT_EQ(events_[0].request, request);
}

TEST_F(Dgcp2Client, DisconnectWaitingForItsResponse) {
    make_client(true, true, /*wait_for_disconnect=*/true);
    connect();
    dgcp2_request* request = send_request(DGCP2_OPCODE_DISCONNECT);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTING);
    EXPECT_TRUE(dgcp2_request_in_use(request));
    dgcp2_message sent;
    ASSERT_TRUE(server_receive(&sent));
    answer(sent, DGCP2_KIND_RESPONSE);
    ASSERT_TRUE(step_until([&] { return events_.size() >= 3; }));
    EXPECT_EQ(events_[1].flags, DGCP2_EVENT_STATE_CHANGED | DGCP2_EVENT_RESPONSE);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTED);
    EXPECT_FALSE(dgcp2_request_in_use(request));
}

TEST_F(Dgcp2Client, DisconnectFromAVanishedServerSucceeds) {
    make_client();
    connect();
    aud_socket_close(&server_);  // the peer's port is now closed
    dgcp2_client_release_request(send_request(kSetConfig));
    // Let the port-unreachable answer arrive (where the system reports one);
    // the disconnect must succeed whether its send then fails or not.
    const aud_time wait = aud_time_from_milliseconds(500);
    aud_socket_wait_readable(socket_, &wait);
    events_.clear();
    send_request(DGCP2_OPCODE_DISCONNECT, AUD_SUCCESS);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTED);
    EXPECT_TRUE(slot_free());
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].flags, DGCP2_EVENT_STATE_CHANGED);
}

TEST_F(Dgcp2Client, ResponsesMatchTheirRequestBySequenceNumber) {
    make_client();
    connect();
    dgcp2_request* request = send_request(kSetConfig);
    dgcp2_message sent;
    ASSERT_TRUE(server_receive(&sent));

    // Another sequence number: logged and ignored.
    dgcp2_message stray = sent;
    dgcp2_message_set_seqnum(&stray, static_cast<uint16_t>(dgcp2_message_get_seqnum(&sent) + 5));
    dgcp2_message_set_kind(&stray, DGCP2_KIND_RESPONSE);
    server_send(stray);
    ASSERT_TRUE(step_until([&] { return logged("No active request"); }));
    EXPECT_TRUE(logged("No active request for non-event message with seqnum 0x0006: ignoring"));
    EXPECT_TRUE(events_.empty());
    EXPECT_TRUE(dgcp2_request_in_use(request));

    answer(sent, DGCP2_KIND_INVALID_DATA);
    ASSERT_TRUE(step_until([&] { return !events_.empty(); }));
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].flags, DGCP2_EVENT_RESPONSE);
    EXPECT_EQ(events_[0].request, request);
    EXPECT_EQ(events_[0].kind, DGCP2_KIND_INVALID_DATA);
    EXPECT_FALSE(dgcp2_request_in_use(request));
}

TEST_F(Dgcp2Client, EventsReachTheOwnerOnlyWhileConnected) {
    make_client();
    send_event(0x0100);
    step();
    step();
    EXPECT_TRUE(events_.empty());

    connect();
    send_event(0x0101);
    ASSERT_TRUE(step_until([&] { return !events_.empty(); }));
    EXPECT_EQ(events_[0].flags, DGCP2_EVENT_MESSAGE);
    EXPECT_EQ(events_[0].request, nullptr);
    EXPECT_TRUE(events_[0].has_message);
}

TEST_F(Dgcp2Client, MalformedDatagramsAreDroppedAndProcessingGoesOn) {
    make_client();
    connect();
    dgcp2_message event;
    dgcp2_message_init(&event, DGCP2_HEADER_TYPE_2);
    dgcp2_message_write_header(&event, kProtocol, 0x0100, DGCP2_KIND_EVENT);
    server_send_bytes(event.bytes, 19);
    uint8_t wrong_length[24] = {};
    std::copy(event.bytes, event.bytes + 20, wrong_length);
    server_send_bytes(wrong_length, sizeof wrong_length);  // length field says 20
    server_send(event);
    ASSERT_TRUE(step_until([&] { return !events_.empty(); }));
    EXPECT_EQ(events_.size(), 1u);
    EXPECT_TRUE(logged("dgcp2_client_process: message too small (19 < 20)"));
    EXPECT_TRUE(logged("dgcp2_client_process: invalid size in message (msg=20, recved=24)"));
}

TEST_F(Dgcp2Client, WithAServerAddressOtherSendersAreIgnored) {
    make_client(true, /*connection_oriented=*/false, false, /*use_server_address=*/true);
    ASSERT_EQ(aud_socket_open_udp(&intruder_, AUD_AF_INET), AUD_SUCCESS);
    dgcp2_message event;
    dgcp2_message_init(&event, DGCP2_HEADER_TYPE_2);
    dgcp2_message_write_header(&event, kProtocol, 0x0100, DGCP2_KIND_EVENT);
    server_send_bytes(event.bytes, 20, intruder_);
    ASSERT_TRUE(step_until([&] { return logged("not from server"); }));
    EXPECT_TRUE(events_.empty());

    server_send(event);  // connectionless: events need no connection
    ASSERT_TRUE(step_until([&] { return !events_.empty(); }));

    // Requests go to the server address.
    send_request(kSetConfig);
    dgcp2_message sent;
    ASSERT_TRUE(server_receive(&sent));
    EXPECT_EQ(dgcp2_message_get_opcode(&sent), kSetConfig);
}

TEST_F(Dgcp2Client, ClosedServerPortResetsTheConnection) {
    make_client();
    if (!closed_port_reported_through_wait()) {
        GTEST_SKIP() << "this system does not report a closed UDP port to a waiting socket";
    }
    aud_socket_close(&server_);
    send_request(DGCP2_OPCODE_CONNECT);
    ASSERT_TRUE(step_until([&] { return events_.size() >= 2; }));
    EXPECT_EQ(events_[1].flags, DGCP2_EVENT_STATE_CHANGED);
    EXPECT_EQ(events_[1].error, AUD_ERR_CONNRESET);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTED);
    EXPECT_TRUE(logged("dgcp2_client_process: error recving (CONNRESET): disconnecting"));
}

// ---- Keepalives on the event loop ----

TEST_F(Dgcp2Client, KeepaliveGoesOutAfterAnIdleInterval) {
    make_client();
    set_keepalives();
    connect();  // seqnum 0
    advance(9);
    EXPECT_TRUE(server_silent());
    advance(1);
    dgcp2_message keepalive;
    ASSERT_TRUE(server_receive(&keepalive));
    EXPECT_EQ(dgcp2_message_get_opcode(&keepalive), DGCP2_OPCODE_KEEPALIVE);
    EXPECT_EQ(dgcp2_message_get_protocol_id(&keepalive), kProtocol);
    EXPECT_EQ(dgcp2_message_get_seqnum(&keepalive), 1);
    EXPECT_EQ(dgcp2_message_get_client_id(&keepalive).port,
              aud_socket_address_get_port(&client_address_));

    // Its response is recognised and goes no further.
    answer(keepalive, DGCP2_KIND_RESPONSE);
    ASSERT_TRUE(step_until([&] { return logged("Got a keepalive response"); }));
    EXPECT_TRUE(events_.empty());
}

TEST_F(Dgcp2Client, SentRequestsPostponeTheKeepalive) {
    make_client();
    set_keepalives();
    connect();
    advance(6);
    dgcp2_client_release_request(send_request(kSetConfig));
    dgcp2_message sent;
    ASSERT_TRUE(server_receive(&sent));
    advance(9);  // 15 s after connecting, 9 s after the request
    EXPECT_TRUE(server_silent());
    advance(1);
    ASSERT_TRUE(server_receive(&sent));
    EXPECT_EQ(dgcp2_message_get_opcode(&sent), DGCP2_OPCODE_KEEPALIVE);
}

TEST_F(Dgcp2Client, ExcessivelyLateKeepaliveTimerDoesNotFire) {
    make_client();
    set_keepalives();
    connect();
    g_now.seconds += 25;  // the send timer fires 15 s late
    step();
    EXPECT_TRUE(server_silent());
    EXPECT_TRUE(
        logged("keepalive transmit interval expiry was excessively delayed:15.000000 > "
               "10.000000. NOT firing."));
    advance(10);
    dgcp2_message keepalive;
    ASSERT_TRUE(server_receive(&keepalive));
    EXPECT_EQ(dgcp2_message_get_opcode(&keepalive), DGCP2_OPCODE_KEEPALIVE);
}

TEST_F(Dgcp2Client, SilentServerIsLostAfterTheReceiveTimeout) {
    make_client();
    set_keepalives();
    connect();
    advance(30);
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_CONNECTED);
    advance(1);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].flags, DGCP2_EVENT_STATE_CHANGED | DGCP2_EVENT_CONNECTION_LOST);
    EXPECT_EQ(events_[0].error, AUD_ERR_TIMEDOUT);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTED);
    EXPECT_TRUE(logged("server has disappeared, disconnecting!"));
    // Three keepalives went out meanwhile, unanswered.
    int keepalives = 0;
    dgcp2_message m;
    while (server_receive(&m, 20)) {
        keepalives += dgcp2_message_get_opcode(&m) == DGCP2_OPCODE_KEEPALIVE ? 1 : 0;
    }
    EXPECT_EQ(keepalives, 3);
    // Nothing more to lose once disconnected.
    advance(40);
    EXPECT_EQ(events_.size(), 1u);
}

TEST_F(Dgcp2Client, ServerMessagesKeepTheConnectionButNotConnectedDoesNot) {
    struct Case {
        uint16_t answer_kind;
        bool survives;
    };
    for (const Case c : {Case{DGCP2_KIND_RESPONSE, true}, Case{DGCP2_KIND_NOT_CONNECTED, false}}) {
        SCOPED_TRACE(c.answer_kind);
        make_client();
        set_keepalives();
        connect();
        for (int i = 0; i < 4; ++i) {  // keepalives at 10, 20, 30, 40 s
            advance(10);
            dgcp2_message keepalive;
            ASSERT_TRUE(server_receive(&keepalive));
            answer(keepalive, c.answer_kind);
            step();
            step();
        }
        EXPECT_EQ(dgcp2_client_get_connection_state(client_) == DGCP2_STATE_CONNECTED, c.survives);
        dgcp2_client_delete(client_);
        client_ = nullptr;
        aud_socket_close(&socket_);
        events_.clear();
    }
}

TEST_F(Dgcp2Client, ExcessivelyLateReceiveTimerDoesNotDisconnect) {
    make_client();
    set_keepalives();
    connect();
    g_now.seconds += 37;  // the receive timer fires 6 s late
    step();
    EXPECT_TRUE(events_.empty());
    EXPECT_TRUE(
        logged("keepalive timer was excessively delayed and therefore unreliable. Not "
               "disconnecting."));
    // It was armed again for a full timeout.
    advance(30);
    EXPECT_TRUE(events_.empty());
    advance(1);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].error, AUD_ERR_TIMEDOUT);
}

// ---- Keepalives when polled ----

TEST_F(Dgcp2Client, PolledKeepalivesAndLoss) {
    make_client(/*event_loop=*/false);
    set_keepalives();
    send_request(DGCP2_OPCODE_CONNECT);
    dgcp2_message request;
    ASSERT_TRUE(server_receive(&request));
    answer(request, DGCP2_KIND_RESPONSE);
    const aud_time wait = aud_time_from_milliseconds(1000);
    ASSERT_EQ(aud_socket_wait_readable(socket_, &wait), AUD_SUCCESS);
    aud_time wake{};
    ASSERT_EQ(dgcp2_client_process(client_, &wake), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_CONNECTED);
    // The next wake-up is the keepalive, 10 s after the connect.
    EXPECT_EQ(aud_time_compare(wake, aud_time{1010, 0}), 0);

    g_now = aud_time{1010, 500000};
    ASSERT_EQ(dgcp2_client_process(client_, &wake), AUD_SUCCESS);
    dgcp2_message keepalive;
    ASSERT_TRUE(server_receive(&keepalive));
    EXPECT_EQ(dgcp2_message_get_opcode(&keepalive), DGCP2_OPCODE_KEEPALIVE);
    EXPECT_EQ(aud_time_compare(wake, aud_time{1020, 500000}), 0);

    g_now = aud_time{1031, 1};  // 31 s after the connect's response
    events_.clear();
    ASSERT_EQ(dgcp2_client_process(client_, &wake), AUD_SUCCESS);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].flags, DGCP2_EVENT_STATE_CHANGED | DGCP2_EVENT_CONNECTION_LOST);
    EXPECT_EQ(events_[0].error, AUD_ERR_TIMEDOUT);
}

TEST_F(Dgcp2Client, StopForgetsTheSocketAndRestartsTheSequence) {
    make_client();
    set_keepalives();
    connect();
    dgcp2_client_stop(client_);
    EXPECT_EQ(dgcp2_client_get_connection_state(client_), DGCP2_STATE_DISCONNECTED);
    // No keepalives after stopping, and the socket is still open.
    advance(12);
    EXPECT_TRUE(server_silent());
    ASSERT_EQ(dgcp2_client_initialise(client_, nullptr, socket_, true, false, nullptr),
              AUD_SUCCESS);
    send_request(DGCP2_OPCODE_CONNECT);
    dgcp2_message request;
    ASSERT_TRUE(server_receive(&request));
    EXPECT_EQ(dgcp2_message_get_seqnum(&request), 0);
}

}  // namespace
