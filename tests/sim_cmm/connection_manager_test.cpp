// The simulated connection manager, in-process on an ephemeral port, against
// the real CMM client on an AVN API instance, and against a raw DGCP2 socket
// where the test needs to see or send exact datagrams.
//
// The service keeps real time on its own thread. The clients' runtime runs
// on a test clock, so a client's 31-second keepalive timeout passes in a few
// steps; the test steps the clients itself, every wait bounded.
#include "sim/cmm/connection_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "avn/domain/cmm_client.h"
#include "avn/runtime/aud_time.h"
#include "avn/api/avnapi.h"
#include "avn/runtime/avnapi_runtime.h"
#include "tests/support/event_loop_runner.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kLoopback = 0x7F000001;

aud_time g_now{5000, 0};
aud_time test_clock() {
    return g_now;
}

std::u16string name_of(const cmm_interface* interface) {
    return interface != nullptr ? std::u16string(cmm_interface_get_name(interface)) : u"(none)";
}

cmm_interface interface_of(const std::u16string& name, sim::MacAddress mac) {
    cmm_interface out{};
    std::copy(name.begin(), name.end(), out.name);
    std::copy(mac.begin(), mac.end(), out.mac);
    return out;
}

// What a client's application saw at each callback.
struct Seen {
    uint32_t flags;
    aud_error error;
    int connection_state;
    uint16_t status;  // 0 without a state
};

// One CMM client as the utility runs it, with what it saw.
struct TestClient {
    cmm_client* client = nullptr;
    std::vector<Seen> seen;

    ~TestClient() { cmm_client_delete(client); }

    int state() const { return cmm_client_get_connection_state(client); }
    const cmm_state* cmm() const { return cmm_client_get_state(client); }
    std::vector<uint32_t> flags() const {
        std::vector<uint32_t> out;
        for (const Seen& s : seen) {
            out.push_back(s.flags);
        }
        return out;
    }
    std::vector<uint16_t> statuses() const {
        std::vector<uint16_t> out;
        for (const Seen& s : seen) {
            out.push_back(s.status);
        }
        return out;
    }
};

void record_event(cmm_client* client, const cmm_event* event, void* context) {
    const cmm_state* state = cmm_client_get_state(client);
    static_cast<TestClient*>(context)->seen.push_back(
        {event->flags, event->error, cmm_client_get_connection_state(client),
         state != nullptr ? state->status : uint16_t{0}});
}

// A bare UDP socket speaking DGCP2 by hand.
class RawClient {
  public:
    explicit RawClient(uint16_t service_port) {
        EXPECT_EQ(aud_socket_open_udp(&socket_, AUD_AF_INET), AUD_SUCCESS);
        aud_socket_address local{};
        aud_socket_address_set_ipv4(&local, kLoopback, 0);
        EXPECT_EQ(aud_socket_bind(socket_, &local), AUD_SUCCESS);
        EXPECT_EQ(aud_socket_get_local_address(socket_, &local), AUD_SUCCESS);
        EXPECT_EQ(aud_socket_set_blocking(socket_, false), AUD_SUCCESS);
        id_.port = aud_socket_address_get_port(&local);
        aud_socket_address_set_ipv4(&service_, kLoopback, service_port);
    }
    ~RawClient() { aud_socket_close(&socket_); }

    // A request of the opcode with the client's id and the next sequence
    // number; its body is left to the caller.
    dgcp2_message request(uint16_t opcode) {
        dgcp2_message message;
        dgcp2_message_init(&message, CMM_HEADER_TYPE);
        dgcp2_message_write_header(&message, CMM_PROTOCOL_ID, opcode, DGCP2_KIND_REQUEST);
        dgcp2_message_set_seqnum(&message, seqnum_++);
        dgcp2_message_set_client_id(&message, &id_);
        return message;
    }
    dgcp2_message connect_request(const char* name) {
        dgcp2_message message = request(CMM_OPCODE_CONNECT);
        cmm_registration registration{};
        std::strcpy(registration.name, name);
        registration.process_id = 4242;
        EXPECT_EQ(cmm_encode_connect_request(&message, &registration), AUD_SUCCESS);
        return message;
    }

    void send(const dgcp2_message& message) {
        const auto bytes = dgcp2_message_bytes(&message);
        send_bytes(bytes.data(), bytes.size());
    }
    void send_bytes(const void* data, size_t size) {
        size_t length = size;
        ASSERT_EQ(aud_socket_sendto(socket_, data, &length, &service_), AUD_SUCCESS);
    }

    // The next message, waiting at most the timeout.
    bool receive(dgcp2_message* out, milliseconds timeout = milliseconds(2000)) {
        const aud_time wait = aud_time_from_milliseconds(timeout.count());
        if (aud_socket_wait_readable(socket_, &wait) != AUD_SUCCESS) {
            return false;
        }
        uint8_t buffer[DGCP2_MESSAGE_SIZE];
        size_t size = sizeof buffer;
        aud_socket_address from{};
        return aud_socket_recvfrom(socket_, buffer, &size, &from) == AUD_SUCCESS &&
               dgcp2_message_load(out, CMM_HEADER_TYPE, {buffer, size}) == AUD_SUCCESS;
    }
    // Sends the request and returns the answer to it (events on the way are
    // passed over).
    bool exchange(const dgcp2_message& request, dgcp2_message* answer) {
        send(request);
        for (int i = 0; i < 32 && receive(answer); ++i) {
            if (dgcp2_message_get_kind(answer) != DGCP2_KIND_EVENT) {
                return dgcp2_message_get_seqnum(answer) == dgcp2_message_get_seqnum(&request);
            }
        }
        return false;
    }

  private:
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    aud_socket_address service_{};
    dgcp2_client_id id_{};
    uint16_t seqnum_ = 0x100;
};

class CmmService : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = aud_time{5000, 0};
        aud_time_set_clock(test_clock);
        ASSERT_EQ(avnapi_new(&api_), AUD_SUCCESS);
    }

    void TearDown() override {
        clients_.clear();
        if (service_) {
            service_->stop();
        }
        avnapi_delete(api_);
        aud_time_set_clock(nullptr);
    }

    void start(sim::CmmSettings settings = {}) {
        settings.port = 0;
        service_ =
            std::make_unique<sim::ConnectionManager>(settings, [this](std::string_view line) {
                const std::lock_guard<std::mutex> lock(log_mutex_);
                log_.emplace_back(line);
            });
        ASSERT_EQ(service_->start(), AUD_SUCCESS);
        ASSERT_NE(service_->port(), 0);
    }

    bool logged(const std::string& text) {
        const std::lock_guard<std::mutex> lock(log_mutex_);
        return std::any_of(log_.begin(), log_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    TestClient& add_client() {
        clients_.push_back(std::make_unique<TestClient>());
        TestClient& c = *clients_.back();
        EXPECT_EQ(cmm_client_new(api_, &c.client), AUD_SUCCESS);
        cmm_client_set_context(c.client, &c);
        cmm_client_set_event_callback(c.client, record_event);
        EXPECT_EQ(cmm_client_set_service_port(c.client, service_->port()), AUD_SUCCESS);
        EXPECT_EQ(cmm_client_init(c.client, "FWUpdater"), AUD_SUCCESS);
        return c;
    }

    // Connects and waits for the options and the state; what was seen on the
    // way is cleared.
    void connect(TestClient& c) {
        ASSERT_EQ(cmm_client_start(c.client), AUD_SUCCESS);
        ASSERT_TRUE(step_until([&] {
            return c.state() == CMM_CLIENT_CONNECTED && cmm_client_get_options(c.client) &&
                   c.cmm() != nullptr;
        }));
        c.seen.clear();
    }

    // One step of the clients' event loop, waiting at most 20 ms.
    void step() {
        ASSERT_EQ(test_loop::step_runtime(avnapi_get_runtime(api_)), AUD_SUCCESS);
    }

    bool step_until(const std::function<bool()>& done, int steps = 250) {
        for (int i = 0; i < steps && !done(); ++i) {
            step();
        }
        return done();
    }

    // Steps for a while of real time, so that what is in flight lands.
    void settle(milliseconds duration = milliseconds(100)) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            step();
        }
    }

    // Moves the clients' clock on by whole seconds, letting the service answer
    // within each second.
    void advance(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            g_now.seconds += 1;
            settle(milliseconds(30));
        }
    }

    // Waits (at most 3 s) until the service's state satisfies the condition;
    // the service reports no events of its own to wait on.
    static bool service_until(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + milliseconds(3000);
        while (!done() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        return done();
    }

    avnapi* api_ = nullptr;
    std::unique_ptr<sim::ConnectionManager> service_;
    std::vector<std::unique_ptr<TestClient>> clients_;
    std::mutex log_mutex_;
    std::vector<std::string> log_;
};

TEST_F(CmmService, ConnectRegistersTheClientAndSendsOptionsAndState) {
    start();
    TestClient& c = add_client();
    ASSERT_EQ(cmm_client_start(c.client), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return c.seen.size() >= 4; }));
    EXPECT_EQ(c.flags(), (std::vector<uint32_t>{
                             CMM_EVENT_CONNECTION, CMM_EVENT_REQUEST_DONE | CMM_EVENT_CONNECTION,
                             CMM_EVENT_OPTIONS, CMM_EVENT_STATE | CMM_EVENT_OWN_PROCESS}));
    EXPECT_EQ(c.seen[1].error, AUD_SUCCESS);

    const cmm_connection_info* info = cmm_client_get_connection_info(c.client);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->bytes[0], 1);
    EXPECT_EQ(info->bytes[1], 0);
    EXPECT_EQ(info->words[0], 1);   // its place among the attached processes
    EXPECT_EQ(info->words[1], 16);  // the most there can be

    const cmm_options* options = cmm_client_get_options(c.client);
    ASSERT_EQ(cmm_interface_list_count(options), 2);
    EXPECT_EQ(name_of(cmm_interface_list_get(options, 0)), u"Ethernet");
    EXPECT_EQ(name_of(cmm_interface_list_get(options, 1)), u"Ethernet 2");
    const uint8_t* mac = cmm_interface_get_mac(cmm_interface_list_get(options, 1));
    EXPECT_EQ(sim::mac_text({mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}), "02:53:49:4d:00:02");

    const cmm_state* state = c.cmm();
    EXPECT_EQ(state->status, CMM_STATUS_READY);
    EXPECT_STREQ(state->device_name, "avn-sim");
    const cmm_interface_set* current = cmm_state_get_current_config(state);
    ASSERT_EQ(cmm_interface_list_count(current), 2);
    EXPECT_EQ(std::memcmp(cmm_interface_list_get(current, 0), cmm_interface_list_get(options, 0),
                          sizeof(cmm_interface)),
              0);
    EXPECT_EQ(name_of(cmm_interface_list_get(current, 1)), u"");
    ASSERT_EQ(state->process_count, 1);
    EXPECT_STREQ(state->processes[0].name, "FWUpdater");
    EXPECT_EQ(state->processes[0].process_id, cmm_client_get_process_id(c.client));
    EXPECT_EQ(state->processes[0].flag, 1u);
    EXPECT_TRUE(cmm_client_get_own_process_flag(c.client));

    const std::vector<sim::CmmClientInfo> attached = service_->clients();
    ASSERT_EQ(attached.size(), 1u);
    EXPECT_EQ(attached[0].name, "FWUpdater");
    EXPECT_EQ(attached[0].process_id, cmm_client_get_process_id(c.client));
    EXPECT_TRUE(logged("connected: \"FWUpdater\", process "));
}

TEST_F(CmmService, OffersTheNetworksOfItsOptionsAsUtf16) {
    sim::CmmSettings settings;
    const std::vector<std::string_view> arguments = {
        "--network", "Caf\xC3\xA9,mac=00:1a:2B:3c:4d:5e", "--network=LAN \xF0\x9F\x8E\xB5"};
    ASSERT_EQ(sim::parse_cmm_options(arguments, &settings), "");
    settings.device_name = "studio-pc";
    start(settings);
    TestClient& c = add_client();
    connect(c);

    const cmm_options* options = cmm_client_get_options(c.client);
    ASSERT_EQ(cmm_interface_list_count(options), 2);
    EXPECT_EQ(name_of(cmm_interface_list_get(options, 0)), u"Caf\u00e9");
    EXPECT_EQ(name_of(cmm_interface_list_get(options, 1)), u"LAN \U0001F3B5");
    const uint8_t* mac = cmm_interface_get_mac(cmm_interface_list_get(options, 0));
    EXPECT_EQ(sim::mac_text({mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}), "00:1a:2b:3c:4d:5e");
    EXPECT_STREQ(c.cmm()->device_name, "studio-pc");
    EXPECT_EQ(name_of(cmm_interface_list_get(cmm_state_get_current_config(c.cmm()), 0)),
              u"Caf\u00e9");
}

TEST_F(CmmService, SetConfigChangesThenBecomesReadyForEveryClient) {
    sim::CmmSettings settings;
    settings.apply_delay = milliseconds(150);
    start(settings);
    TestClient& a = add_client();
    TestClient& b = add_client();
    connect(a);
    connect(b);
    ASSERT_TRUE(step_until([&] { return a.cmm()->process_count == 2; }));
    // Both clients live in this process, so both are marked as its own.
    EXPECT_EQ(b.cmm()->processes[0].flag, 1u);
    EXPECT_EQ(b.cmm()->processes[1].flag, 1u);
    a.seen.clear();
    b.seen.clear();

    cmm_interface_set* set = cmm_client_get_config_buffer(a.client);
    cmm_interface_set_clear(set);
    ASSERT_EQ(cmm_interface_set_add_by_name(set, cmm_client_get_options(a.client), u"Ethernet 2"),
              AUD_SUCCESS);
    ASSERT_EQ(cmm_interface_set_add_none(set), AUD_SUCCESS);
    const cmm_system_config config{CMM_CONFIG_INTERFACES, set, 0};
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(cmm_client_set_system_config(a.client, &config), AUD_SUCCESS);

    // The response: changing to the set asked for.
    ASSERT_TRUE(step_until([&] { return !a.seen.empty(); }));
    EXPECT_EQ(a.seen[0].flags, CMM_EVENT_REQUEST_DONE | CMM_EVENT_STATE);
    EXPECT_EQ(a.seen[0].error, AUD_SUCCESS);
    EXPECT_EQ(a.seen[0].status, CMM_STATUS_CHANGING);
    const cmm_interface_set* pending = cmm_state_get_pending_config(a.cmm());
    ASSERT_NE(pending, nullptr);
    EXPECT_EQ(std::memcmp(pending, set, sizeof *set), 0);

    // Then ready, with the set in force, for the one that asked and the other.
    ASSERT_TRUE(step_until([&] { return a.cmm()->status == CMM_STATUS_READY; }));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, settings.apply_delay);
    EXPECT_EQ(a.statuses(), (std::vector<uint16_t>{CMM_STATUS_CHANGING, CMM_STATUS_READY}));
    EXPECT_EQ(cmm_state_get_pending_config(a.cmm()), nullptr);
    EXPECT_EQ(std::memcmp(cmm_state_get_current_config(a.cmm()), set, sizeof *set), 0);
    ASSERT_TRUE(step_until([&] { return b.seen.size() >= 2; }));
    EXPECT_EQ(b.flags(), (std::vector<uint32_t>{CMM_EVENT_STATE, CMM_EVENT_STATE}));
    EXPECT_EQ(b.statuses(), (std::vector<uint16_t>{CMM_STATUS_CHANGING, CMM_STATUS_READY}));
    EXPECT_EQ(std::memcmp(b.cmm(), a.cmm(), sizeof(cmm_state)), 0);

    const cmm_state held = service_->state();
    EXPECT_EQ(held.status, CMM_STATUS_READY);
    EXPECT_EQ(std::memcmp(&held.current_config, set, sizeof *set), 0);
    EXPECT_TRUE(logged("configuration in force: \"Ethernet 2\" (02:53:49:4d:00:02), none"));
}

TEST_F(CmmService, ConfigurationsItCannotApplyAreInvalid) {
    start();
    TestClient& c = add_client();
    connect(c);
    const cmm_options offered = service_->options();
    const cmm_interface ethernet_2 = offered.interfaces[1];
    cmm_interface other_mac = ethernet_2;
    other_mac.mac[5] ^= 0xFF;
    const cmm_interface wifi = interface_of(u"Wi-Fi", {0x02, 0, 0, 0, 0, 9});
    const cmm_interface none{};

    struct Case {
        const char* what;
        cmm_interface_set set;
        bool applied;
    };
    const Case cases[] = {
        {"not offered", {2, {wifi, none}}, false},
        {"offered with another MAC", {1, {other_mac, none}}, false},
        {"named twice", {2, {ethernet_2, ethernet_2}}, false},
        {"offered second to none", {2, {none, ethernet_2}}, true},
        {"no interface at all", {1, {none, none}}, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const cmm_state before = service_->state();
        c.seen.clear();
        const cmm_system_config config{CMM_CONFIG_INTERFACES, &test.set, 0};
        ASSERT_EQ(cmm_client_set_system_config(c.client, &config), AUD_SUCCESS);
        ASSERT_TRUE(step_until([&] { return !c.seen.empty(); }));
        EXPECT_TRUE((c.seen[0].flags & CMM_EVENT_REQUEST_DONE) != 0);
        if (test.applied) {
            EXPECT_EQ(c.seen[0].error, AUD_SUCCESS);
            ASSERT_TRUE(step_until([&] { return c.cmm()->status == CMM_STATUS_READY; }));
            EXPECT_EQ(std::memcmp(&c.cmm()->current_config, &test.set, sizeof test.set), 0);
            continue;
        }
        // The one who asked learns why; the service's state stays as it was.
        EXPECT_EQ(c.seen[0].error, AUD_ERR_INVALIDDATA);
        EXPECT_EQ(c.seen[0].status, CMM_STATUS_INVALID_CONFIG);
        EXPECT_EQ(std::memcmp(&c.cmm()->current_config, &before.current_config,
                              sizeof before.current_config),
                  0);
        EXPECT_EQ(cmm_state_get_pending_config(c.cmm()), nullptr);
        const cmm_state after = service_->state();
        EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0);
    }
    EXPECT_TRUE(logged("\"Wi-Fi\" is not offered"));
}

TEST_F(CmmService, LockAloneChangesNoConfiguration) {
    start();
    TestClient& c = add_client();
    connect(c);
    const cmm_state before = *c.cmm();
    const cmm_system_config lock{CMM_CONFIG_LOCK, nullptr, 1};
    ASSERT_EQ(cmm_client_set_system_config(c.client, &lock), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return !c.seen.empty(); }));
    settle();
    EXPECT_EQ(c.flags(), std::vector<uint32_t>{CMM_EVENT_REQUEST_DONE});
    EXPECT_EQ(c.seen[0].error, AUD_SUCCESS);
    EXPECT_EQ(std::memcmp(c.cmm(), &before, sizeof before), 0);
    EXPECT_TRUE(service_->lock());
}

TEST_F(CmmService, AnsweredKeepalivesHoldTheConnection) {
    start();  // its own keepalives are 10 s apart on the real clock: none in this test
    TestClient& c = add_client();
    connect(c);
    // The client sends a keepalive after every 10 s on its clock; without
    // answers it would give up after 31 s.
    advance(75);
    EXPECT_EQ(c.state(), CMM_CLIENT_CONNECTED);
    EXPECT_TRUE(c.seen.empty());
    EXPECT_EQ(service_->client_count(), 1u);
}

TEST_F(CmmService, ItsOwnKeepalivesChangeNothingForTheApplication) {
    sim::CmmSettings settings;
    settings.keepalive_interval = milliseconds(20);
    start(settings);
    TestClient& c = add_client();
    connect(c);
    settle(milliseconds(300));
    EXPECT_EQ(c.state(), CMM_CLIENT_CONNECTED);
    EXPECT_TRUE(c.seen.empty());
}

TEST_F(CmmService, SilenceLosesTheClientAfterItsTimeout) {
    start();
    TestClient& c = add_client();
    connect(c);
    service_->set_silent(true);
    advance(29);
    EXPECT_EQ(c.state(), CMM_CLIENT_CONNECTED);
    advance(4);
    ASSERT_EQ(c.seen.size(), 1u);
    EXPECT_EQ(c.seen[0].flags,
              CMM_EVENT_CONNECTION | CMM_EVENT_OPTIONS | CMM_EVENT_STATE | CMM_EVENT_OWN_PROCESS);
    EXPECT_EQ(c.seen[0].error, AUD_ERR_TIMEDOUT);
    EXPECT_EQ(c.state(), CMM_CLIENT_DISCONNECTED);

    // Speaking again, it takes the client back as the same one.
    service_->set_silent(false);
    connect(c);
    EXPECT_EQ(service_->client_count(), 1u);
}

TEST_F(CmmService, RefusedConnect) {
    start();
    service_->set_refusing(true);
    TestClient& c = add_client();
    ASSERT_EQ(cmm_client_start(c.client), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return c.seen.size() >= 2; }));
    settle();
    EXPECT_EQ(c.flags(), (std::vector<uint32_t>{CMM_EVENT_CONNECTION,
                                                CMM_EVENT_REQUEST_DONE | CMM_EVENT_CONNECTION}));
    EXPECT_EQ(c.seen[1].error, AUD_ERR_SYSTEM);  // "Server error"
    EXPECT_EQ(c.state(), CMM_CLIENT_DISCONNECTED);
    EXPECT_EQ(service_->client_count(), 0u);
    EXPECT_TRUE(logged("refused CONNECT from 127.0.0.1:"));

    service_->set_refusing(false);
    connect(c);
    EXPECT_EQ(service_->client_count(), 1u);
}

TEST_F(CmmService, RestartForgetsTheClientsWhichThenGiveUpAndReconnect) {
    start();
    TestClient& c = add_client();
    connect(c);
    service_->restart();
    EXPECT_EQ(service_->client_count(), 0u);

    // A request from a forgotten client is answered "Not connected".
    const cmm_system_config lock{CMM_CONFIG_LOCK, nullptr, 1};
    ASSERT_EQ(cmm_client_set_system_config(c.client, &lock), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return !c.seen.empty(); }));
    EXPECT_TRUE((c.seen[0].flags & CMM_EVENT_REQUEST_DONE) != 0);
    EXPECT_EQ(c.seen[0].error, AUD_ERR_NOTCONN);
    EXPECT_FALSE(service_->lock());

    // Such answers do not keep the client alive: it gives up 31 s after the
    // last real message and can connect again.
    c.seen.clear();
    advance(33);
    EXPECT_EQ(c.state(), CMM_CLIENT_DISCONNECTED);
    ASSERT_FALSE(c.seen.empty());
    EXPECT_EQ(c.seen.back().error, AUD_ERR_TIMEDOUT);
    EXPECT_TRUE(logged("answered KEEPALIVE from 127.0.0.1:"));
    connect(c);
    EXPECT_EQ(service_->client_count(), 1u);
}

TEST_F(CmmService, DisconnectForgetsTheClientAndTellsTheOthers) {
    start();
    TestClient& a = add_client();
    TestClient& b = add_client();
    connect(a);
    connect(b);
    ASSERT_TRUE(step_until([&] { return a.cmm()->process_count == 2; }));
    a.seen.clear();
    ASSERT_EQ(cmm_client_stop(b.client), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return !a.seen.empty(); }));
    EXPECT_EQ(a.flags(), std::vector<uint32_t>{CMM_EVENT_STATE});
    EXPECT_EQ(a.cmm()->process_count, 1);
    EXPECT_EQ(service_->client_count(), 1u);
    EXPECT_TRUE(logged("(\"FWUpdater\") disconnected"));
}

TEST_F(CmmService, SendsKeepalivesAndForgetsAClientItNoLongerHears) {
    sim::CmmSettings settings;
    settings.keepalive_interval = milliseconds(100);
    settings.client_timeout = milliseconds(600);
    start(settings);
    RawClient raw(service_->port());
    dgcp2_message answer;
    ASSERT_TRUE(raw.exchange(raw.connect_request("raw"), &answer));
    EXPECT_EQ(dgcp2_message_get_kind(&answer), DGCP2_KIND_RESPONSE);

    // The options and the state, then keepalive events while it is attached.
    std::vector<uint16_t> events;
    dgcp2_message message;
    while (service_->client_count() == 1 && raw.receive(&message, milliseconds(500))) {
        ASSERT_EQ(dgcp2_message_get_kind(&message), DGCP2_KIND_EVENT);
        events.push_back(dgcp2_message_get_opcode(&message));
    }
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0], CMM_OPCODE_OPTIONS);
    EXPECT_EQ(events[1], CMM_OPCODE_STATE);
    EXPECT_TRUE(std::all_of(events.begin() + 2, events.end(),
                            [](uint16_t opcode) { return opcode == CMM_OPCODE_KEEPALIVE; }));
    // It sent nothing since its CONNECT, so it was forgotten.
    ASSERT_TRUE(service_until([&] { return service_->client_count() == 0; }));
    EXPECT_TRUE(logged("(\"raw\"): not heard from for 600 ms"));
}

TEST_F(CmmService, AtMostSixteenClients) {
    start();
    std::vector<std::unique_ptr<RawClient>> raws;
    dgcp2_message answer;
    for (int i = 0; i < 16; ++i) {
        raws.push_back(std::make_unique<RawClient>(service_->port()));
        ASSERT_TRUE(raws.back()->exchange(raws.back()->connect_request("raw"), &answer));
        ASSERT_EQ(dgcp2_message_get_kind(&answer), DGCP2_KIND_RESPONSE);
    }
    cmm_connection_info info{};
    ASSERT_EQ(cmm_decode_connect_response(&answer, &info), AUD_SUCCESS);
    EXPECT_EQ(info.words[0], 16);

    RawClient one_more(service_->port());
    ASSERT_TRUE(one_more.exchange(one_more.connect_request("late"), &answer));
    EXPECT_EQ(dgcp2_message_get_kind(&answer), DGCP2_KIND_TOO_MANY_CLIENTS);
    EXPECT_EQ(service_->client_count(), 16u);
    // A known client may still connect afresh.
    ASSERT_TRUE(raws[3]->exchange(raws[3]->connect_request("again"), &answer));
    EXPECT_EQ(dgcp2_message_get_kind(&answer), DGCP2_KIND_RESPONSE);
    EXPECT_EQ(service_->clients()[3].name, "again");
}

TEST_F(CmmService, BadDatagramsAreDroppedOrAnsweredAndItGoesOn) {
    start();
    RawClient raw(service_->port());
    dgcp2_message answer;

    // Dropped without an answer.
    const uint8_t tiny[3] = {0x10, 0x01, 0x00};
    raw.send_bytes(tiny, sizeof tiny);
    dgcp2_message wrong_length = raw.request(CMM_OPCODE_KEEPALIVE);
    wrong_length.bytes[3] += 4;  // the length field says more than is sent
    raw.send_bytes(wrong_length.bytes, DGCP2_HEADER_SIZE_TYPE_2);
    dgcp2_message other_protocol = raw.request(CMM_OPCODE_KEEPALIVE);
    other_protocol.bytes[1] = 0x02;
    raw.send(other_protocol);
    dgcp2_message event = raw.request(CMM_OPCODE_KEEPALIVE);
    dgcp2_message_set_kind(&event, DGCP2_KIND_EVENT);
    raw.send(event);
    std::vector<uint8_t> huge(DGCP2_MESSAGE_SIZE + 28, 0);
    raw.send_bytes(huge.data(), huge.size());
    EXPECT_FALSE(raw.receive(&answer, milliseconds(200)));
    EXPECT_TRUE(logged("shorter than a header"));
    EXPECT_TRUE(logged("its length field says"));
    EXPECT_TRUE(logged("of protocol 0x1002"));
    EXPECT_TRUE(logged("not a request"));
    EXPECT_TRUE(logged("longer than a message"));

    struct Case {
        const char* what;
        dgcp2_message request;
        uint16_t kind;
    };
    dgcp2_message bodiless_connect = raw.request(CMM_OPCODE_CONNECT);
    const Case before_connect[] = {
        {"request before CONNECT", raw.request(0x0777), DGCP2_KIND_NOT_CONNECTED},
        {"CONNECT without a body", bodiless_connect, DGCP2_KIND_INVALID_DATA},
        {"CONNECT", raw.connect_request("raw"), DGCP2_KIND_RESPONSE},
    };
    dgcp2_message bad_config = raw.request(CMM_OPCODE_SET_CONFIG);
    ASSERT_EQ(dgcp2_body_add_array(&bad_config, 3, nullptr), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&bad_config, 0, 0, CMM_CONFIG_INTERFACES), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&bad_config, 0, 1, 0x0401), AUD_SUCCESS);  // outside
    const Case after_connect[] = {
        {"unknown opcode", raw.request(0x0777), DGCP2_KIND_UNRECOGNISED_OPCODE},
        {"the service's own event as a request", raw.request(CMM_OPCODE_STATE),
         DGCP2_KIND_UNSUPPORTED_OPCODE},
        {"SET_CONFIG that does not decode", bad_config, DGCP2_KIND_INVALID_DATA},
        {"KEEPALIVE", raw.request(CMM_OPCODE_KEEPALIVE), DGCP2_KIND_RESPONSE},
    };
    for (const auto& cases :
         {std::span<const Case>(before_connect), std::span<const Case>(after_connect)}) {
        for (const Case& test : cases) {
            SCOPED_TRACE(test.what);
            ASSERT_TRUE(raw.exchange(test.request, &answer));
            EXPECT_EQ(dgcp2_message_get_kind(&answer), test.kind);
            EXPECT_EQ(dgcp2_message_get_opcode(&answer), dgcp2_message_get_opcode(&test.request));
        }
    }
    // A SET_CONFIG answered with an error still carries the state.
    ASSERT_TRUE(raw.exchange(bad_config, &answer));
    cmm_state state{};
    ASSERT_EQ(cmm_decode_state(&answer, &state), AUD_SUCCESS);
    EXPECT_EQ(state.status, CMM_STATUS_READY);
    EXPECT_EQ(state.process_count, 1);
}

}  // namespace
