// The CMM client on a real AVN API instance against a small fake connection
// manager on 127.0.0.1 (an ephemeral port), built on the same CMM message
// builders that a server-side implementation uses. The test steps both in
// one thread; time is the test's own clock.
#include "avn/domain/cmm_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "avn/domain/dgcp2_codec.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_log.h"
#include "avn/api/avnapi.h"
#include "avn/runtime/avnapi_runtime.h"
#include "avn/runtime/socket.h"
#include "tests/avn/domain/closed_port_probe.h"
#include "tests/support/event_loop_runner.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

aud_time g_now{5000, 0};
aud_time test_clock() {
    return g_now;
}

cmm_interface interface_of(const std::u16string& name, uint8_t last_mac_byte) {
    cmm_interface out{};
    std::memcpy(out.name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    out.mac[0] = 0x02;
    out.mac[5] = last_mac_byte;
    return out;
}

// What the fake service does with what it receives.
class FakeCmmService {
  public:
    FakeCmmService() {
        EXPECT_EQ(aud_socket_open_udp(&socket_, AUD_AF_INET), AUD_SUCCESS);
        aud_socket_address local{};
        aud_socket_address_set_ipv4(&local, kLoopback, 0);
        EXPECT_EQ(aud_socket_bind(socket_, &local), AUD_SUCCESS);
        EXPECT_EQ(aud_socket_get_local_address(socket_, &local), AUD_SUCCESS);
        EXPECT_EQ(aud_socket_set_blocking(socket_, false), AUD_SUCCESS);
        port_ = aud_socket_address_get_port(&local);

        std::memset(&options, 0, sizeof options);
        options.count = 3;
        options.interfaces[0] = interface_of(u"Ethernet", 1);
        options.interfaces[1] = interface_of(u"Ethernet 2", 2);
        options.interfaces[2] = interface_of(u"Wi-Fi \u00e9", 3);
        std::memset(&state, 0, sizeof state);
        state.status = CMM_STATUS_READY;
        std::strcpy(state.device_name, "studio-pc");
        state.current_config.count = 2;
        state.current_config.interfaces[0] = options.interfaces[0];
    }
    ~FakeCmmService() { aud_socket_close(&socket_); }

    uint16_t port() const { return port_; }

    // Handles every datagram waiting (a bounded number).
    void poll() {
        for (int i = 0; i < 64; ++i) {
            uint8_t buffer[DGCP2_MESSAGE_SIZE];
            size_t size = sizeof buffer;
            aud_socket_address source{};
            if (aud_socket_recvfrom(socket_, buffer, &size, &source) != AUD_SUCCESS) {
                return;
            }
            dgcp2_message request;
            if (dgcp2_message_load(&request, CMM_HEADER_TYPE, {buffer, size}) != AUD_SUCCESS) {
                continue;
            }
            client_ = source;
            client_id_ = dgcp2_message_get_client_id(&request);
            received.push_back(dgcp2_message_get_opcode(&request));
            if (!silent) {
                handle(request);
            }
        }
    }

    int count_received(uint16_t opcode) const {
        return static_cast<int>(std::count(received.begin(), received.end(), opcode));
    }

    void send_options() {
        dgcp2_message event;
        ASSERT_EQ(cmm_build_options_event(&event, seqnum_++, &client_id_, &options), AUD_SUCCESS);
        send(event);
    }
    void send_state() {
        dgcp2_message event;
        ASSERT_EQ(cmm_build_state_event(&event, seqnum_++, &client_id_, &state), AUD_SUCCESS);
        send(event);
    }
    void send(const dgcp2_message& message) {
        const auto bytes = dgcp2_message_bytes(&message);
        size_t length = bytes.size();
        ASSERT_EQ(aud_socket_sendto(socket_, bytes.data(), &length, &client_), AUD_SUCCESS);
    }

    // Completes a configuration change: the pending set is now in force.
    void finish_change() {
        state.status = CMM_STATUS_READY;
        state.current_config = state.pending_config;
        std::memset(&state.pending_config, 0, sizeof state.pending_config);
        send_state();
    }

    // Behaviour.
    bool silent = false;
    uint16_t connect_kind = DGCP2_KIND_RESPONSE;
    uint16_t set_config_kind = DGCP2_KIND_RESPONSE;
    bool events_after_connect = true;
    cmm_connection_info info{{1, 2}, {0x0300, 0x0004}};
    cmm_options options;
    cmm_state state;

    // What it saw.
    std::vector<uint16_t> received;
    cmm_registration registration{};
    cmm_config_request last_config{};

  private:
    void handle(const dgcp2_message& request) {
        dgcp2_message answer;
        switch (dgcp2_message_get_opcode(&request)) {
            case CMM_OPCODE_CONNECT:
                EXPECT_EQ(cmm_decode_connect_request(&request, &registration), AUD_SUCCESS);
                if (connect_kind != DGCP2_KIND_RESPONSE) {
                    ASSERT_EQ(cmm_build_response(&answer, &request, connect_kind), AUD_SUCCESS);
                    send(answer);
                    return;
                }
                ASSERT_EQ(cmm_build_connect_response(&answer, &request, &info), AUD_SUCCESS);
                send(answer);
                if (events_after_connect) {
                    send_options();
                    send_state();
                }
                return;
            case CMM_OPCODE_SET_CONFIG:
                EXPECT_EQ(cmm_decode_set_config_request(&request, &last_config), AUD_SUCCESS);
                if (set_config_kind != DGCP2_KIND_RESPONSE) {
                    ASSERT_EQ(cmm_build_response(&answer, &request, set_config_kind), AUD_SUCCESS);
                    send(answer);
                    return;
                }
                state.status = CMM_STATUS_CHANGING;
                state.pending_config = last_config.interfaces;
                ASSERT_EQ(
                    cmm_build_set_config_response(&answer, &request, DGCP2_KIND_RESPONSE, &state),
                    AUD_SUCCESS);
                send(answer);
                return;
            case CMM_OPCODE_KEEPALIVE:
                ASSERT_EQ(cmm_build_response(&answer, &request, DGCP2_KIND_RESPONSE), AUD_SUCCESS);
                send(answer);
                return;
            default:  // DISCONNECT: the client does not wait for an answer
                return;
        }
    }

    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    uint16_t port_ = 0;
    aud_socket_address client_{};
    dgcp2_client_id client_id_{};
    uint16_t seqnum_ = 0;
};

// What the application saw at each callback.
struct Seen {
    uint32_t flags;
    aud_error error;
    int connection_state;
    bool has_options;
    bool has_state;
    uint16_t status;
    bool own_process;
};

void record_event(cmm_client* client, const cmm_event* event, void* context) {
    const cmm_state* state = cmm_client_get_state(client);
    static_cast<std::vector<Seen>*>(context)->push_back(
        {event->flags, event->error, cmm_client_get_connection_state(client),
         cmm_client_get_options(client) != nullptr, state != nullptr,
         state != nullptr ? state->status : uint16_t{0}, cmm_client_get_own_process_flag(client)});
}

void record_line(aud_log*, const char*, int, const char* text, size_t length, void* context) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(text, length);
}

class CmmClient : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = aud_time{5000, 0};
        aud_time_set_clock(test_clock);
        ASSERT_EQ(avnapi_new(&api_), AUD_SUCCESS);  // starts the socket layer too
        service_ = std::make_unique<FakeCmmService>();
        aud_log* log = aud_env_get_log(avnapi_get_env(api_));
        aud_log_set_level(log, AUD_LOG_LEVEL_DEBUG);
        aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_DEBUG);
        aud_log_set_callback(log, record_line, &lines_);
        ASSERT_EQ(cmm_client_new(api_, &client_), AUD_SUCCESS);
        cmm_client_set_context(client_, &seen_);
        cmm_client_set_event_callback(client_, record_event);
    }

    void TearDown() override {
        cmm_client_delete(client_);
        service_.reset();
        avnapi_delete(api_);
        aud_time_set_clock(nullptr);
    }

    void init(uint16_t port) {
        ASSERT_EQ(cmm_client_set_service_port(client_, port), AUD_SUCCESS);
        ASSERT_EQ(cmm_client_init(client_, "FWUpdater"), AUD_SUCCESS);
    }

    // One step of the application's loop (bounded wait), with the service
    // handling what reached it before and after.
    void step() {
        service_->poll();
        ASSERT_EQ(test_loop::step_runtime(avnapi_get_runtime(api_)), AUD_SUCCESS);
        service_->poll();
    }

    bool step_until(const std::function<bool()>& done, int steps = 100) {
        for (int i = 0; i < steps && !done(); ++i) {
            step();
        }
        return done();
    }

    // Steps a few times so that anything in flight lands.
    void settle() {
        for (int i = 0; i < 5; ++i) {
            step();
        }
    }

    // Moves the clock on by whole seconds; within each second the service's
    // answers reach the client before the clock moves again.
    void advance(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            g_now.seconds += 1;
            step();
            step();
        }
    }

    void connect() {
        init(service_->port());
        ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
        ASSERT_TRUE(step_until([&] {
            return cmm_client_get_connection_state(client_) == CMM_CLIENT_CONNECTED &&
                   cmm_client_get_options(client_) != nullptr &&
                   cmm_client_get_state(client_) != nullptr;
        }));
        seen_.clear();
    }

    std::vector<uint32_t> flags_seen() const {
        std::vector<uint32_t> out;
        for (const Seen& s : seen_) {
            out.push_back(s.flags);
        }
        return out;
    }

    bool logged(const std::string& text) const {
        return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    // A state listing this process (and another) with the flag given.
    void list_this_process(bool flag) {
        service_->state.process_count = 2;
        std::strcpy(service_->state.processes[0].name, "mixer");
        service_->state.processes[0].process_id = cmm_client_get_process_id(client_) + 1;
        service_->state.processes[0].flag = 1;
        std::strcpy(service_->state.processes[1].name, "FWUpdater");
        service_->state.processes[1].process_id = cmm_client_get_process_id(client_);
        service_->state.processes[1].flag = flag ? 1 : 0;
    }

    avnapi* api_ = nullptr;
    std::unique_ptr<FakeCmmService> service_;
    cmm_client* client_ = nullptr;
    std::vector<Seen> seen_;
    std::vector<std::string> lines_;
};

TEST_F(CmmClient, ConnectRegistersAndReceivesOptionsAndState) {
    init(service_->port());
    EXPECT_TRUE(logged("cmm_client_init: opened cmm client socket "));
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    EXPECT_EQ(cmm_client_get_connection_state(client_), CMM_CLIENT_CONNECTING);
    ASSERT_TRUE(step_until([&] { return seen_.size() >= 4; }));
    EXPECT_EQ(flags_seen(), (std::vector<uint32_t>{CMM_EVENT_CONNECTION,
                                                   CMM_EVENT_REQUEST_DONE | CMM_EVENT_CONNECTION,
                                                   CMM_EVENT_OPTIONS, CMM_EVENT_STATE}));
    EXPECT_EQ(seen_[0].connection_state, CMM_CLIENT_CONNECTING);
    EXPECT_EQ(seen_[1].connection_state, CMM_CLIENT_CONNECTED);
    EXPECT_EQ(seen_[1].error, AUD_SUCCESS);

    EXPECT_STREQ(service_->registration.name, "FWUpdater");
    EXPECT_EQ(service_->registration.process_id, cmm_client_get_process_id(client_));
    EXPECT_NE(service_->registration.process_id, 0u);
    EXPECT_EQ(service_->registration.own_process, 0u);

    const cmm_connection_info* info = cmm_client_get_connection_info(client_);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(std::memcmp(info, &service_->info, sizeof *info), 0);
    const cmm_options* options = cmm_client_get_options(client_);
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(std::memcmp(options, &service_->options, sizeof *options), 0);
    const cmm_state* state = cmm_client_get_state(client_);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(std::memcmp(state, &service_->state, sizeof *state), 0);
    EXPECT_TRUE(logged("_cmm_client_set_connection_state: state is now 2 (was 1)"));
}

TEST_F(CmmClient, StartTwiceBeforeTheResponse) {
    service_->silent = true;
    init(service_->port());
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    EXPECT_EQ(cmm_client_start(client_), AUD_ERR_INVALIDSTATE);
    settle();
    EXPECT_EQ(service_->count_received(CMM_OPCODE_CONNECT), 1);
}

TEST_F(CmmClient, StopWhenDisconnectedSendsNothing) {
    init(service_->port());
    EXPECT_EQ(cmm_client_stop(client_), AUD_SUCCESS);
    settle();
    EXPECT_TRUE(service_->received.empty());
    EXPECT_TRUE(seen_.empty());
}

TEST_F(CmmClient, StopDisconnectsAtOnceAndClearsWhatWasHeld) {
    connect();
    ASSERT_EQ(cmm_client_stop(client_), AUD_SUCCESS);
    EXPECT_EQ(cmm_client_get_connection_state(client_), CMM_CLIENT_DISCONNECTED);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].flags, CMM_EVENT_CONNECTION | CMM_EVENT_OPTIONS | CMM_EVENT_STATE);
    EXPECT_EQ(cmm_client_get_options(client_), nullptr);
    EXPECT_EQ(cmm_client_get_state(client_), nullptr);
    EXPECT_EQ(cmm_client_get_connection_info(client_), nullptr);
    settle();
    EXPECT_EQ(service_->count_received(CMM_OPCODE_DISCONNECT), 1);

    // The shutdown sequence, then a fresh start on the same client.
    cmm_client_close(client_);
    init(service_->port());
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    ASSERT_TRUE(step_until(
        [&] { return cmm_client_get_connection_state(client_) == CMM_CLIENT_CONNECTED; }));
}

TEST_F(CmmClient, OptionsChangesOnly) {
    connect();
    service_->send_options();  // identical
    settle();
    EXPECT_TRUE(seen_.empty());

    service_->options.count = 2;
    service_->send_options();
    ASSERT_TRUE(step_until([&] { return !seen_.empty(); }));
    EXPECT_EQ(flags_seen(), std::vector<uint32_t>{CMM_EVENT_OPTIONS});
    EXPECT_EQ(cmm_interface_list_count(cmm_client_get_options(client_)), 2);
}

TEST_F(CmmClient, OwnProcessFlagFollowsTheState) {
    connect();
    list_this_process(true);
    service_->send_state();
    ASSERT_TRUE(step_until([&] { return !seen_.empty(); }));
    EXPECT_EQ(flags_seen(), std::vector<uint32_t>{CMM_EVENT_STATE | CMM_EVENT_OWN_PROCESS});
    EXPECT_TRUE(cmm_client_get_own_process_flag(client_));

    service_->send_state();  // the same again
    settle();
    EXPECT_EQ(seen_.size(), 1u);

    // A state without this process leaves the flag as it is.
    service_->state.process_count = 1;
    service_->send_state();
    ASSERT_TRUE(step_until([&] { return seen_.size() >= 2; }));
    EXPECT_EQ(seen_[1].flags, CMM_EVENT_STATE);
    EXPECT_TRUE(cmm_client_get_own_process_flag(client_));

    list_this_process(false);
    service_->send_state();
    ASSERT_TRUE(step_until([&] { return seen_.size() >= 3; }));
    EXPECT_EQ(seen_[2].flags, CMM_EVENT_STATE | CMM_EVENT_OWN_PROCESS);
    EXPECT_FALSE(cmm_client_get_own_process_flag(client_));

    // Losing the connection clears a set flag with the state.
    list_this_process(true);
    service_->send_state();
    ASSERT_TRUE(step_until([&] { return seen_.size() >= 4; }));
    ASSERT_EQ(cmm_client_stop(client_), AUD_SUCCESS);
    ASSERT_EQ(seen_.size(), 5u);
    EXPECT_EQ(seen_[4].flags,
              CMM_EVENT_CONNECTION | CMM_EVENT_OPTIONS | CMM_EVENT_STATE | CMM_EVENT_OWN_PROCESS);
}

TEST_F(CmmClient, TwentyInterfacesKeepSixteen) {
    connect();
    // The option encoder writes at most 16; the service here offers 20, so
    // the body is built by hand.
    dgcp2_message event;
    dgcp2_message_init(&event, CMM_HEADER_TYPE);
    dgcp2_message_write_header(&event, CMM_PROTOCOL_ID, CMM_OPCODE_OPTIONS, DGCP2_KIND_EVENT);
    uint16_t root = 0, list = 0;
    ASSERT_EQ(dgcp2_body_add_array(&event, 1, &root), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_array(&event, 20, &list), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&event, root, 0, list), AUD_SUCCESS);
    for (uint16_t i = 0; i < 20; ++i) {
        uint16_t node = 0, name = 0, mac = 0;
        const std::u16string text = u"port " + std::u16string(1, static_cast<char16_t>(u'a' + i));
        ASSERT_EQ(dgcp2_body_add_array(&event, 2, &node), AUD_SUCCESS);
        ASSERT_EQ(dgcp2_body_add_utf32(&event, text, &name), AUD_SUCCESS);
        ASSERT_EQ(dgcp2_body_add_bytes(&event, nullptr, 6, &mac), AUD_SUCCESS);
        ASSERT_EQ(dgcp2_body_set_slot(&event, node, 0, name), AUD_SUCCESS);
        ASSERT_EQ(dgcp2_body_set_slot(&event, node, 1, mac), AUD_SUCCESS);
        ASSERT_EQ(dgcp2_body_set_slot(&event, list, i, node), AUD_SUCCESS);
    }
    service_->send(event);
    ASSERT_TRUE(step_until([&] { return !seen_.empty(); }));
    EXPECT_EQ(seen_[0].flags, CMM_EVENT_OPTIONS);
    const cmm_options* options = cmm_client_get_options(client_);
    ASSERT_EQ(cmm_interface_list_count(options), 16);
    EXPECT_EQ(std::u16string(cmm_interface_get_name(cmm_interface_list_get(options, 15))),
              u"port p");
}

TEST_F(CmmClient, UndecodableEventsKeepWhatIsHeld) {
    connect();
    dgcp2_message event;
    const cmm_options held = *cmm_client_get_options(client_);
    dgcp2_message_init(&event, CMM_HEADER_TYPE);
    dgcp2_message_write_header(&event, CMM_PROTOCOL_ID, CMM_OPCODE_OPTIONS, DGCP2_KIND_EVENT);
    ASSERT_EQ(dgcp2_body_add_array(&event, 1, nullptr), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&event, 0, 0, 3), AUD_SUCCESS);  // odd offset
    service_->send(event);
    dgcp2_message_write_header(&event, CMM_PROTOCOL_ID, CMM_OPCODE_STATE, DGCP2_KIND_EVENT);
    service_->send(event);  // empty body
    ASSERT_TRUE(step_until([&] { return logged("Error reading state"); }));
    EXPECT_TRUE(logged("cmm_client_on_event: Error reading options: invalid parameter"));
    EXPECT_TRUE(logged("cmm_client_on_event: Error reading state: no data"));
    EXPECT_TRUE(seen_.empty());
    EXPECT_EQ(std::memcmp(cmm_client_get_options(client_), &held, sizeof held), 0);
    EXPECT_NE(cmm_client_get_state(client_), nullptr);
}

TEST_F(CmmClient, SetConfigCycle) {
    connect();
    cmm_interface_set* set = cmm_client_get_config_buffer(client_);
    cmm_interface_set_clear(set);
    ASSERT_EQ(cmm_interface_set_add_by_name(set, cmm_client_get_options(client_), u"Ethernet 2"),
              AUD_SUCCESS);
    ASSERT_EQ(cmm_interface_set_add_none(set), AUD_SUCCESS);
    const cmm_system_config config{CMM_CONFIG_INTERFACES, set, 0};
    ASSERT_EQ(cmm_client_set_system_config(client_, &config), AUD_SUCCESS);
    EXPECT_EQ(cmm_client_set_system_config(client_, &config), AUD_ERR_INVALIDSTATE);
    EXPECT_TRUE(logged("cmm_client_set_system_config: Sending SET CONFIG request with config:"));
    EXPECT_TRUE(logged("  Config:"));
    EXPECT_TRUE(logged("    Interface 0: Ethernet 2 (02:00:00:00:00:02)"));
    EXPECT_TRUE(logged("cmm_client_set_system_config: Sent request, request id is 0x"));

    // The response: the service is changing to the requested set.
    ASSERT_TRUE(step_until([&] { return !seen_.empty(); }));
    EXPECT_EQ(service_->count_received(CMM_OPCODE_SET_CONFIG), 1);
    EXPECT_EQ(std::memcmp(&service_->last_config.interfaces, set, sizeof *set), 0);
    EXPECT_EQ(seen_[0].flags, CMM_EVENT_REQUEST_DONE | CMM_EVENT_STATE);
    EXPECT_EQ(seen_[0].error, AUD_SUCCESS);
    EXPECT_EQ(seen_[0].status, CMM_STATUS_CHANGING);
    const cmm_interface_set* pending = cmm_state_get_pending_config(cmm_client_get_state(client_));
    ASSERT_NE(pending, nullptr);
    EXPECT_EQ(std::memcmp(pending, set, sizeof *set), 0);
    EXPECT_TRUE(logged("cmm_client_on_event: SET_CONFIG: state is now:"));
    EXPECT_TRUE(logged("cmm_client_on_event  System status: Changing"));
    EXPECT_TRUE(logged("cmm_client_on_event  Device Name: studio-pc"));
    EXPECT_TRUE(logged("cmm_client_on_event  Pending config:"));
    EXPECT_TRUE(logged("cmm_client_on_event    Interface 0: Ethernet 2 (02:00:00:00:00:02)"));
    EXPECT_TRUE(logged("cmm_client_on_event    Interface 1:  (00:00:00:00:00:00)"));

    // Then the service reports the change done.
    service_->finish_change();
    ASSERT_TRUE(step_until([&] { return seen_.size() >= 2; }));
    EXPECT_EQ(seen_[1].flags, CMM_EVENT_STATE);
    EXPECT_EQ(seen_[1].status, CMM_STATUS_READY);
    const cmm_state* state = cmm_client_get_state(client_);
    EXPECT_EQ(cmm_state_get_pending_config(state), nullptr);
    EXPECT_EQ(std::memcmp(cmm_state_get_current_config(state), set, sizeof *set), 0);

    // A new request is possible again.
    EXPECT_EQ(cmm_client_set_system_config(client_, &config), AUD_SUCCESS);
}

TEST_F(CmmClient, RefusedSetConfigReportsTheKindAndKeepsTheState) {
    connect();
    service_->set_config_kind = DGCP2_KIND_INVALID_STATE;
    list_this_process(true);
    service_->send_state();
    ASSERT_TRUE(step_until([&] { return !seen_.empty(); }));
    seen_.clear();
    const cmm_state held = *cmm_client_get_state(client_);
    const cmm_system_config lock_only{CMM_CONFIG_LOCK, nullptr, 1};
    ASSERT_EQ(cmm_client_set_system_config(client_, &lock_only), AUD_SUCCESS);
    EXPECT_TRUE(logged("  Lock: true"));
    ASSERT_TRUE(step_until([&] { return !seen_.empty(); }));
    EXPECT_EQ(flags_seen(), std::vector<uint32_t>{CMM_EVENT_REQUEST_DONE});
    EXPECT_EQ(seen_[0].error, AUD_ERR_INVALIDSTATE);
    EXPECT_TRUE(logged("cmm_client_on_event: SET_CONFIG response status=Invalid State"));
    EXPECT_EQ(std::memcmp(cmm_client_get_state(client_), &held, sizeof held), 0);
    EXPECT_TRUE(cmm_client_get_own_process_flag(client_));
    EXPECT_EQ(service_->last_config.lock, 1u);
}

TEST_F(CmmClient, SetConfigNeedsAConnection) {
    init(service_->port());
    cmm_interface_set set{};
    const cmm_system_config config{CMM_CONFIG_INTERFACES, &set, 0};
    EXPECT_EQ(cmm_client_set_system_config(client_, &config), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(cmm_client_set_system_config(client_, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_client_set_system_config(nullptr, &config), AUD_ERR_INVALIDPARAMETER);
    // The refused request gave its slot back: connecting still works.
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    settle();
    EXPECT_TRUE(service_->count_received(CMM_OPCODE_SET_CONFIG) == 0);
}

TEST_F(CmmClient, RefusedConnect) {
    service_->connect_kind = DGCP2_KIND_TOO_MANY_CLIENTS;
    init(service_->port());
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return seen_.size() >= 2; }));
    settle();
    EXPECT_EQ(flags_seen(), (std::vector<uint32_t>{CMM_EVENT_CONNECTION,
                                                   CMM_EVENT_REQUEST_DONE | CMM_EVENT_CONNECTION}));
    EXPECT_EQ(seen_[1].error, AUD_ERR_NOBUFS);
    EXPECT_EQ(cmm_client_get_connection_state(client_), CMM_CLIENT_DISCONNECTED);
    // It may try again.
    service_->connect_kind = DGCP2_KIND_RESPONSE;
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    ASSERT_TRUE(step_until(
        [&] { return cmm_client_get_connection_state(client_) == CMM_CLIENT_CONNECTED; }));
}

TEST_F(CmmClient, NothingListeningResetsTheConnection) {
    if (!closed_port_reported_through_wait()) {
        GTEST_SKIP() << "this system does not report a closed UDP port to a waiting socket";
    }
    // A port that was just free: nothing listens there.
    aud_socket_t probe = AUD_SOCKET_INVALID;
    ASSERT_EQ(aud_socket_open_udp(&probe, AUD_AF_INET), AUD_SUCCESS);
    aud_socket_address local{};
    aud_socket_address_set_ipv4(&local, kLoopback, 0);
    ASSERT_EQ(aud_socket_bind(probe, &local), AUD_SUCCESS);
    ASSERT_EQ(aud_socket_get_local_address(probe, &local), AUD_SUCCESS);
    aud_socket_close(&probe);

    init(aud_socket_address_get_port(&local));
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return seen_.size() >= 2; }));
    EXPECT_EQ(flags_seen(), (std::vector<uint32_t>{CMM_EVENT_CONNECTION,
                                                   CMM_EVENT_REQUEST_DONE | CMM_EVENT_CONNECTION}));
    EXPECT_EQ(seen_[1].error, AUD_ERR_CONNRESET);
    EXPECT_EQ(seen_[1].connection_state, CMM_CLIENT_DISCONNECTED);
}

TEST_F(CmmClient, KeepalivesHoldTheConnectionUntilTheServiceFallsSilent) {
    connect();
    advance(65);
    EXPECT_EQ(cmm_client_get_connection_state(client_), CMM_CLIENT_CONNECTED);
    EXPECT_EQ(service_->count_received(CMM_OPCODE_KEEPALIVE), 6);
    EXPECT_TRUE(seen_.empty());

    // Last answer at 60 s; silent from now on (65 s).
    service_->silent = true;
    advance(25);
    EXPECT_TRUE(seen_.empty());
    advance(1);  // 31 s after the last answer
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].flags, CMM_EVENT_CONNECTION | CMM_EVENT_OPTIONS | CMM_EVENT_STATE);
    EXPECT_EQ(seen_[0].error, AUD_ERR_TIMEDOUT);
    EXPECT_EQ(cmm_client_get_connection_state(client_), CMM_CLIENT_DISCONNECTED);
    EXPECT_EQ(cmm_client_get_options(client_), nullptr);
    EXPECT_EQ(cmm_client_get_state(client_), nullptr);
}

TEST_F(CmmClient, SilenceWithARequestOutstandingFinishesIt) {
    connect();
    service_->silent = true;
    const cmm_system_config lock_only{CMM_CONFIG_LOCK, nullptr, 0};
    ASSERT_EQ(cmm_client_set_system_config(client_, &lock_only), AUD_SUCCESS);
    advance(31);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].flags,
              CMM_EVENT_REQUEST_DONE | CMM_EVENT_CONNECTION | CMM_EVENT_OPTIONS | CMM_EVENT_STATE);
    EXPECT_EQ(seen_[0].error, AUD_ERR_TIMEDOUT);
}

TEST_F(CmmClient, ArgumentsAndOrder) {
    EXPECT_EQ(cmm_client_new(nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_client_init(nullptr, "x"), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_client_start(nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_client_stop(nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_client_get_connection_state(nullptr), CMM_CLIENT_DISCONNECTED);
    EXPECT_EQ(cmm_client_get_options(nullptr), nullptr);
    EXPECT_EQ(cmm_client_get_state(nullptr), nullptr);
    EXPECT_EQ(cmm_client_get_config_buffer(nullptr), nullptr);
    cmm_client_set_event_callback(nullptr, record_event);
    cmm_client_close(nullptr);
    cmm_client_delete(nullptr);

    EXPECT_EQ(cmm_client_start(client_), AUD_ERR_INVALIDSTATE);  // not initialised
    init(service_->port());
    EXPECT_EQ(cmm_client_init(client_, "again"), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(cmm_client_set_service_port(client_, 1), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(cmm_client_get_options(client_), nullptr);
    EXPECT_EQ(cmm_client_get_state(client_), nullptr);

    // A long name is cut to 63 characters.
    cmm_client_close(client_);
    const std::string long_name(80, 'n');
    ASSERT_EQ(cmm_client_init(client_, long_name.c_str()), AUD_SUCCESS);
    ASSERT_EQ(cmm_client_start(client_), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return service_->registration.name[0] != '\0'; }));
    EXPECT_EQ(std::string(service_->registration.name), std::string(63, 'n'));
}

}  // namespace
