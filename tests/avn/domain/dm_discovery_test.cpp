// Domain Manager discovery against avn-sim's DNS server on 127.0.0.1 (or a
// server socket the test drives by hand) and, for multicast, either a query
// the test feeds itself or, inside a private network namespace, avn-sim's
// DNS-SD responder. Time is the test's own clock, so the 5 s, 10 s and 3 s
// periods pass without waiting.
#include "avn/domain/dm_discovery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "avn/browse/interfaces.h"
#include "avn/dnssd/mdns_packet.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/byte_order.h"
#include "avn/runtime/socket.h"
#include "sim/dm/dm_dns.h"
#include "sim/sim_log.h"
#include "tests/support/event_loop_runner.h"

#if TPX2_MULTICAST_TESTS
#include "sim/mdns_responder.h"
#include "tests/avn/dnssd/dnssd_test_support.h"
#endif

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kLoopback = 0x7F000001;
const std::string kSuffix = "avn.test";
const std::string kUnicastName = "default._avn-dm-c._tcp.avn.test";
const std::string kMulticastName = "default._avn-dm-c._tcp.local";

aud_time g_now{5000, 0};
aud_time test_clock() {
    return g_now;
}

struct Found {
    std::string host;
    uint16_t port;
};

class DmDiscovery : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = aud_time{5000, 0};
        aud_time_set_clock(test_clock);
        ASSERT_EQ(aud_env_acquire(&global_), AUD_SUCCESS);  // starts the socket layer
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        test_loop::capture_log(env_, &lines_);
    }

    void TearDown() override {
        if (discovery_ != nullptr) {
            EXPECT_EQ(dm_client_url_discovery_delete(discovery_), AUD_SUCCESS);
        }
        if (dns_) {
            dns_->stop();
        }
        aud_socket_close(&server_);
        aud_socket_close(&intruder_);
        aud_env_delete(env_);
        if (global_ != nullptr) {
            aud_env_release(global_);
        }
        aud_time_set_clock(nullptr);
    }

    // avn-sim's DNS server, knowing the service under `settings.suffix`.
    void start_dns(const sim::DmDnsSettings& settings) {
        dns_ = std::make_unique<sim::DmDns>(sim_log_, settings);
        ASSERT_EQ(dns_->start(), AUD_SUCCESS);
        aud_socket_address_set_ipv4(&dns_address_, kLoopback, dns_->port());
    }

    sim::DmDnsSettings dns_settings() const {
        sim::DmDnsSettings settings;
        settings.suffix = kSuffix;
        settings.target = "dm.avn.test.";
        settings.target_port = 8999;
        return settings;
    }

    // The discovery, asking `server` (avn-sim's by default) under `suffix`;
    // multicast fed by the test unless `real_multicast`.
    void make_discovery(const aud_socket_address* server = nullptr,
                        const std::string& suffix = kSuffix, bool real_multicast = false) {
        ASSERT_EQ(dm_client_url_discovery_new(env_, on_found, this, &discovery_), AUD_SUCCESS);
        engine_ = dm_client_url_discovery_get_engine(discovery_);
        ASSERT_EQ(dm_discovery_set_dns_override(engine_, server != nullptr ? server : &dns_address_,
                                                suffix.c_str()),
                  AUD_SUCCESS);
        dm_discovery_set_mdns_detached(engine_, !real_multicast);
    }

    static void on_found(void* context, const char* host, uint16_t port) {
        auto* self = static_cast<DmDiscovery*>(context);
        self->found_.push_back({host, port});
        if (self->on_found_hook_) {
            self->on_found_hook_();
        }
    }

    // One processing step: a bounded wait on the loop's sockets, dispatch,
    // then the deferred calls and timers due at the test clock's time.
    void step() { ASSERT_EQ(test_loop::step(aud_env_get_event_loop(env_)), AUD_SUCCESS); }

    // Steps (without moving the clock) until `done` or the real-time limit.
    bool step_until(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
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

    // Runs the steps that are due without reading any socket: whatever has
    // arrived meanwhile stays unread.
    void run_timers_only() {
        ASSERT_EQ(aud_event_loop_step(aud_env_get_event_loop(env_)), AUD_SUCCESS);
    }

    size_t count_lines(const std::string& text) const {
        size_t count = 0;
        for (const std::string& line : lines_) {
            count += line.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    int phase() const { return dm_discovery_get_phase(engine_); }
    int mdns_state() const { return dm_discovery_get_mdns_state(engine_); }
    uint16_t query_id() {
        return nslookup_query_id(dm_discovery_get_nslookup(engine_),
                                 dm_discovery_get_query(engine_));
    }

    // Feeds the test's multicast query one SRV record as the DNS-SD layer
    // would hand it on (flags 0x02: added; 0: removed).
    void feed_srv(const std::string& target, uint16_t port, uint32_t flags = 0x02) {
        dt_dnssd_query* query = dm_discovery_get_mdns_query(engine_);
        ASSERT_NE(query, nullptr);
        mdns::Name name;
        ASSERT_TRUE(mdns::name_from_text(target, &name));
        std::vector<uint8_t> rdata(6, 0);
        byte_order::store_be16(rdata.data() + 4, port);
        rdata.insert(rdata.end(), name.begin(), name.end());
        dt_dnssd_query_reply(nullptr, flags, 1, 0, kMulticastName.c_str(), 33, 1,
                             static_cast<uint16_t>(rdata.size()), rdata.data(), 120, query);
    }

    // ---- A DNS server socket the test answers from by hand ----

    void open_server() {
        aud_socket_address local{};
        aud_socket_address_set_ipv4(&local, kLoopback, 0);
        ASSERT_EQ(aud_socket_open_bound(&server_, &local, &server_address_), AUD_SUCCESS);
        ASSERT_EQ(aud_socket_open_bound(&intruder_, &local, nullptr), AUD_SUCCESS);
    }

    // The next query that reached the server: its id and where it came from.
    bool server_receive(uint16_t* id, aud_socket_address* client) {
        const aud_time timeout = aud_time_from_milliseconds(2000);
        if (aud_socket_wait_readable(server_, &timeout) != AUD_SUCCESS) {
            return false;
        }
        uint8_t buffer[1024];
        size_t length = sizeof buffer;
        if (aud_socket_recvfrom(server_, buffer, &length, client) != AUD_SUCCESS) {
            return false;
        }
        dns_header header{};
        if (dns_message_read_header(buffer, length, &header) != AUD_SUCCESS) {
            return false;
        }
        *id = header.id;
        return true;
    }

    static mdns::Record srv_record(const std::string& name, const std::string& target,
                                   uint16_t port) {
        mdns::Record r;
        mdns::name_from_text(name, &r.name);
        r.type = mdns::kTypeSrv;
        r.ttl = 60;
        r.rdata.assign(6, 0);
        byte_order::store_be16(r.rdata.data() + 4, port);
        mdns::Name t;
        mdns::name_from_text(target, &t);
        r.rdata.insert(r.rdata.end(), t.begin(), t.end());
        return r;
    }

    static mdns::Record a_record(const std::string& name) {
        mdns::Record r;
        mdns::name_from_text(name, &r.name);
        r.type = mdns::kTypeA;
        r.ttl = 60;
        r.rdata = {10, 0, 0, 9};
        return r;
    }

    void send_from(aud_socket_t socket, const std::vector<uint8_t>& bytes,
                   const aud_socket_address& to) {
        size_t length = bytes.size();
        ASSERT_EQ(aud_socket_sendto(socket, bytes.data(), &length, &to), AUD_SUCCESS);
    }

    aud_env* global_ = nullptr;
    aud_env* env_ = nullptr;
    std::vector<std::string> lines_;
    sim::SimLog sim_log_{true};
    std::unique_ptr<sim::DmDns> dns_;
    aud_socket_address dns_address_{};
    dm_client_url_discovery* discovery_ = nullptr;
    dm_discovery* engine_ = nullptr;
    std::vector<Found> found_;
    std::function<void()> on_found_hook_;
    aud_socket_t server_ = AUD_SOCKET_INVALID;
    aud_socket_t intruder_ = AUD_SOCKET_INVALID;
    aud_socket_address server_address_{};
};

// ---- Unicast ----

TEST_F(DmDiscovery, UnicastSrvAnswerEndsDiscoveryWithTheHostWithoutItsDot) {
    const struct {
        std::string suffix;  // the interface's DNS suffix
        std::string target;  // what the SRV record names
        std::string host;    // what the domain handler gets
    } cases[] = {
        {"avn.test", "dm.avn.test.", "dm.avn.test"},
        {"Corp.Example.", "dm1.Corp.Example.", "dm1.Corp.Example"},
        {"avn.test", "dm", "dm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.suffix + " " + c.target);
        sim::DmDnsSettings settings = dns_settings();
        settings.suffix = c.suffix;
        settings.target = c.target;
        start_dns(settings);
        make_discovery(nullptr, c.suffix);
        ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
        EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_UNICAST);
        ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
        ASSERT_EQ(found_.size(), 1u);
        EXPECT_EQ(found_[0].host, c.host);
        EXPECT_EQ(found_[0].port, 8999);
        EXPECT_EQ(dns_->names_asked(),
                  std::vector<std::string>{"default._avn-dm-c._tcp." + c.suffix +
                                           (c.suffix.back() == '.' ? "" : ".")});
        EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_DONE);
        EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_IDLE) << "no multicast needed";
        // Nothing more comes, however long it runs.
        advance(30);
        EXPECT_EQ(found_.size(), 1u);
        EXPECT_EQ(dns_->queries_received(), 1u);

        ASSERT_EQ(dm_client_url_discovery_delete(discovery_), AUD_SUCCESS);
        discovery_ = nullptr;
        dns_->stop();
        found_.clear();
    }
}

TEST_F(DmDiscovery, SilentServerMulticastAfterFiveSecondsAndUnicastAgainAfterTen) {
    sim::DmDnsSettings settings = dns_settings();
    settings.fault = sim::DmDnsFault::Silent;
    start_dns(settings);
    make_discovery();
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    const uint16_t first_id = query_id();
    ASSERT_TRUE(dns_->wait_queries(1, 2s));

    advance(4);
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_UNICAST);
    EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_IDLE);
    EXPECT_TRUE(dns_->wait_queries(2, 2s)) << "sent again after 3 s";

    advance(1);  // 5 s
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_WAIT);
    EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_RUNNING);
    EXPECT_EQ(count_lines("Searching for mDNS record " + kMulticastName), 1u);
    EXPECT_EQ(query_id(), first_id) << "the first query keeps its slot";

    advance(9);  // 14 s
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_WAIT);
    EXPECT_EQ(count_lines("Searching for DNS SRV " + kUnicastName), 1u);

    advance(1);  // 15 s: the second unicast query
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_UNICAST);
    EXPECT_EQ(count_lines("Searching for DNS SRV " + kUnicastName), 2u);
    EXPECT_NE(query_id(), first_id);
    EXPECT_EQ(query_id() % 128, first_id % 128) << "the same slot, its next id";
    EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_RUNNING) << "multicast keeps running";

    advance(5);  // 20 s: multicast is not started twice
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_WAIT);
    EXPECT_EQ(count_lines("Searching for mDNS record"), 1u);
    EXPECT_EQ(count_lines("mDNS lookup in progress not restarting"), 1u);
    EXPECT_TRUE(found_.empty());
}

TEST_F(DmDiscovery, DnsErrorStartsMulticastAtOnceWhileTheFiveSecondsRun) {
    start_dns(dns_settings());
    make_discovery(nullptr, "elsewhere.test");  // a name the server does not know
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return mdns_state() == DM_DISCOVERY_MDNS_RUNNING; }));
    EXPECT_EQ(dns_->names_asked(),
              std::vector<std::string>{"default._avn-dm-c._tcp.elsewhere.test."});
    EXPECT_EQ(count_lines("Searching for mDNS record " + kMulticastName), 1u)
        << "the multicast name is .local whatever the suffix";
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_UNICAST);

    advance(5);
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_WAIT);
    advance(10);
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_UNICAST);
    EXPECT_TRUE(dns_->wait_queries(2, 2s));
    EXPECT_TRUE(found_.empty());
}

TEST_F(DmDiscovery, LateUnicastAnswerDuringTheWaitEndsDiscovery) {
    sim::DmDnsSettings settings = dns_settings();
    settings.fault = sim::DmDnsFault::Late;
    settings.late_delay = 1000ms;
    start_dns(settings);
    make_discovery();
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    // The 5 s pass before anything is read: the answer, if it is there
    // already, stays unread.
    g_now.seconds += 5;
    run_timers_only();
    ASSERT_EQ(phase(), DM_DISCOVERY_PHASE_WAIT);
    ASSERT_EQ(mdns_state(), DM_DISCOVERY_MDNS_RUNNING);
    ASSERT_TRUE(found_.empty());

    ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
    EXPECT_EQ(found_[0].host, "dm.avn.test");
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_DONE);
    advance(20);
    EXPECT_EQ(found_.size(), 1u);
}

TEST_F(DmDiscovery, SrvInTheAdditionalSectionCounts) {
    sim::DmDnsSettings settings = dns_settings();
    settings.srv_in_additional = true;
    start_dns(settings);
    make_discovery();
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
    EXPECT_EQ(found_[0].host, "dm.avn.test");
    EXPECT_EQ(found_[0].port, 8999);
}

// Datagrams that reach the discovery's socket in answer to its query. An
// SRV record counts wherever it comes; what is no answer is passed over (the
// real answer that follows is found); an answer whose SRV record names no
// usable host ends nothing, and the cycle goes on to multicast.
TEST_F(DmDiscovery, ServerDatagramsThatAreAndAreNotAnswers) {
    enum class From { Server, Intruder };
    enum class Outcome { Found, PassedOver, Unusable };
    struct Case {
        const char* what;
        From from;
        std::function<std::vector<uint8_t>(uint16_t id)> datagram;
        Outcome outcome;
    };
    const uint16_t response = mdns::kFlagResponse | 0x0100;
    const Case cases[] = {
        {"SRV in the additional section of an answer to another query", From::Server,
         [&](uint16_t id) {
             mdns::Builder b(static_cast<uint16_t>(id + 1), response);
             b.add_record(mdns::Section::Answer, a_record("other.avn.test"));
             b.add_record(mdns::Section::Additional,
                          srv_record(kUnicastName, "additional.avn.test.", 443));
             return b.finish();
         },
         Outcome::Found},
        {"answer from another address", From::Intruder,
         [&](uint16_t id) {
             mdns::Builder b(id, response);
             b.add_record(mdns::Section::Answer, srv_record(kUnicastName, "evil.test.", 443));
             return b.finish();
         },
         Outcome::PassedOver},
        {"a query, not a response", From::Server,
         [&](uint16_t id) {
             mdns::Builder b(id, 0x0100);
             b.add_record(mdns::Section::Answer, srv_record(kUnicastName, "query.test.", 443));
             return b.finish();
         },
         Outcome::PassedOver},
        {"SRV of another name", From::Server,
         [&](uint16_t id) {
             mdns::Builder b(id, response);
             b.add_record(mdns::Section::Answer,
                          srv_record("default._avn-dm-c._tcp.other.test", "other.test.", 443));
             return b.finish();
         },
         Outcome::PassedOver},
        {"SRV with the target \".\" (service not offered)", From::Server,
         [&](uint16_t id) {
             mdns::Builder b(id, response);
             b.add_record(mdns::Section::Answer, srv_record(kUnicastName, ".", 443));
             return b.finish();
         },
         Outcome::Unusable},
        {"SRV with port 0", From::Server,
         [&](uint16_t id) {
             mdns::Builder b(id, response);
             b.add_record(mdns::Section::Answer, srv_record(kUnicastName, "zero.test.", 0));
             return b.finish();
         },
         Outcome::Unusable},
        {"SRV followed by a malformed record", From::Server,
         [&](uint16_t id) {
             mdns::Builder b(id, response);
             b.add_record(mdns::Section::Answer, srv_record(kUnicastName, "torn.test.", 443));
             b.add_record(mdns::Section::Answer, a_record("x.test"));
             std::vector<uint8_t> bytes = b.finish();
             bytes.resize(bytes.size() - 2);  // the A record's data cut short
             return bytes;
         },
         Outcome::PassedOver},
        {"error answer for another slot's id", From::Server,
         [&](uint16_t id) {
             mdns::Builder b(static_cast<uint16_t>(id + 1), response | 3);
             return b.finish();
         },
         Outcome::PassedOver},
    };
    open_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make_discovery(&server_address_);
        ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
        uint16_t id = 0;
        aud_socket_address client{};
        ASSERT_TRUE(server_receive(&id, &client));
        send_from(c.from == From::Server ? server_ : intruder_, c.datagram(id), client);
        if (c.outcome == Outcome::Found) {
            ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
            ASSERT_EQ(found_.size(), 1u);
            EXPECT_EQ(found_[0].host, "additional.avn.test");
            EXPECT_EQ(found_[0].port, 443);
        } else {
            // The datagram under test is read first.
            EXPECT_FALSE(step_until([&] { return !found_.empty(); }, 300ms));
        }
        if (c.outcome == Outcome::PassedOver) {
            mdns::Builder b(id, response);
            b.add_record(mdns::Section::Answer, srv_record(kUnicastName, "real.avn.test.", 8999));
            send_from(server_, b.finish(), client);
            ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
            ASSERT_EQ(found_.size(), 1u);
            EXPECT_EQ(found_[0].host, "real.avn.test");
        }
        if (c.outcome == Outcome::Unusable) {
            advance(5);
            EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_RUNNING);
            EXPECT_TRUE(found_.empty());
        } else {
            EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_IDLE);
        }

        ASSERT_EQ(dm_client_url_discovery_delete(discovery_), AUD_SUCCESS);
        discovery_ = nullptr;
        found_.clear();
        // Drop the retransmissions that reached the server meanwhile.
        uint8_t scratch[1024];
        size_t length = sizeof scratch;
        while (aud_socket_recv(server_, scratch, &length) == AUD_SUCCESS) {
            length = sizeof scratch;
        }
    }
}

TEST_F(DmDiscovery, UnknownInterfaceIsAnErrorAndNothingIsSent) {
    ASSERT_EQ(dm_client_url_discovery_new(env_, on_found, this, &discovery_), AUD_SUCCESS);
    engine_ = dm_client_url_discovery_get_engine(discovery_);
    dm_discovery_set_mdns_detached(engine_, true);
    dm_client_url_discovery_set_interface(discovery_, 0x7FFFFFF0u);
    EXPECT_EQ(dm_client_url_discovery_start(discovery_), AUD_ERR_NOTFOUND);
    EXPECT_EQ(count_lines("Unable to get interface"), 1u);
    EXPECT_FALSE(nslookup_is_open(dm_discovery_get_nslookup(engine_)));
}

// ---- Several interfaces' DNS servers ----

aud_interface netif(bool up, bool loopback, uint32_t dns_server, const char* suffix) {
    aud_interface record{};
    record.up = up;
    record.loopback = loopback;
    if (dns_server != 0) {
        aud_socket_address_set_ipv4(&record.dns_server, dns_server, 0);
    }
    std::snprintf(record.dns_suffix, sizeof record.dns_suffix, "%s", suffix);
    return record;
}

TEST(DmDiscoveryDnsServers, EachUsableServerAndSuffixOnceInTheListsOrder) {
    const aud_interface interfaces[] = {
        netif(true, true, 0x7F000035, "lo.test"),   // loopback: never asked
        netif(true, false, 0x0A000001, "site.test"),
        netif(false, false, 0x0A000002, "down.test"),  // down
        netif(true, false, 0x0A000001, "SITE.test."),  // the same server and suffix
        netif(true, false, 0, "none.test"),            // no DNS server
        netif(true, false, 0x0A000003, "lab.test"),
        netif(true, false, 0x0A000001, "office.test"),  // the same server, another suffix
    };
    const std::vector<dm_discovery_dns_server> servers =
        dm_discovery_dns_servers_of(interfaces, std::size(interfaces));
    ASSERT_EQ(servers.size(), 3u);
    const struct {
        uint32_t address;
        std::string suffix;
    } expected[] = {{0x0A000001, "site.test"}, {0x0A000003, "lab.test"}, {0x0A000001, "office.test"}};
    for (size_t i = 0; i < servers.size(); ++i) {
        EXPECT_EQ(aud_socket_address_get_ipv4(&servers[i].address), expected[i].address) << i;
        EXPECT_EQ(aud_socket_address_get_port(&servers[i].address), 53) << i;
        EXPECT_EQ(servers[i].suffix, expected[i].suffix) << i;
    }
    EXPECT_TRUE(dm_discovery_dns_servers_of(nullptr, 0).empty());
}

// Without a chosen interface each unicast attempt after a fruitless one asks
// the next interface's server, with that interface's suffix, and after the
// last the first again.
TEST_F(DmDiscovery, UnicastAttemptsTakeTurnsAmongTheInterfacesServers) {
    start_dns(dns_settings());
    open_server();  // a server that never answers
    ASSERT_EQ(dm_client_url_discovery_new(env_, on_found, this, &discovery_), AUD_SUCCESS);
    engine_ = dm_client_url_discovery_get_engine(discovery_);
    dm_discovery_set_mdns_detached(engine_, true);
    dm_discovery_dns_server silent{};
    silent.address = server_address_;
    std::snprintf(silent.suffix, sizeof silent.suffix, "%s", "other.test");
    dm_discovery_dns_server answering{};
    answering.address = dns_address_;
    std::snprintf(answering.suffix, sizeof answering.suffix, "%s", kSuffix.c_str());
    dm_discovery_dns_server no_port = answering;
    aud_socket_address_set_ipv4(&no_port.address, kLoopback, 0);
    EXPECT_EQ(dm_discovery_set_dns_servers(engine_, {silent, no_port}), AUD_ERR_INVALIDPARAMETER);

    // The answering server's turn comes second: then it is found at 15 s.
    ASSERT_EQ(dm_discovery_set_dns_servers(engine_, {silent, answering}), AUD_SUCCESS);
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    uint16_t id = 0;
    aud_socket_address client{};
    ASSERT_TRUE(server_receive(&id, &client));
    EXPECT_EQ(count_lines("Searching for DNS SRV default._avn-dm-c._tcp.other.test"), 1u);
    advance(14);
    EXPECT_EQ(dns_->queries_received(), 0u);
    EXPECT_TRUE(found_.empty());
    advance(1);
    EXPECT_EQ(count_lines("Asking the next DNS server (2 of 2)"), 1u);
    ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
    EXPECT_EQ(found_[0].host, "dm.avn.test");
    EXPECT_EQ(found_[0].port, 8999);
    ASSERT_EQ(dm_client_url_discovery_delete(discovery_), AUD_SUCCESS);
    discovery_ = nullptr;

    // Two silent servers: the third attempt is the first's again.
    lines_.clear();
    ASSERT_EQ(dm_client_url_discovery_new(env_, on_found, this, &discovery_), AUD_SUCCESS);
    engine_ = dm_client_url_discovery_get_engine(discovery_);
    dm_discovery_set_mdns_detached(engine_, true);
    dm_discovery_dns_server second_silent = silent;
    std::snprintf(second_silent.suffix, sizeof second_silent.suffix, "%s", "lab.test");
    ASSERT_EQ(dm_discovery_set_dns_servers(engine_, {silent, second_silent}), AUD_SUCCESS);
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    advance(31);
    EXPECT_EQ(count_lines("Searching for DNS SRV default._avn-dm-c._tcp.other.test"), 2u) << "at 0 and 30 s";
    EXPECT_EQ(count_lines("Searching for DNS SRV default._avn-dm-c._tcp.lab.test"), 1u) << "at 15 s";
}

// ---- Multicast, fed by the test ----

TEST_F(DmDiscovery, MulticastAnswerWithPortZeroIsNotPassedOn) {
    sim::DmDnsSettings settings = dns_settings();
    settings.fault = sim::DmDnsFault::Silent;
    start_dns(settings);
    make_discovery();
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    advance(5);
    ASSERT_EQ(mdns_state(), DM_DISCOVERY_MDNS_RUNNING);

    feed_srv("dm.local.", 0);
    step();
    EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_ANSWERED);
    EXPECT_TRUE(found_.empty());
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_WAIT) << "the cycle goes on";

    // The faulty advert goes, a good one comes.
    feed_srv("dm.local.", 0, 0);
    feed_srv("dm.local.", 8999);
    ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
    EXPECT_EQ(found_[0].host, "dm.local");
    EXPECT_EQ(found_[0].port, 8999);
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_DONE);
    advance(20);
    EXPECT_EQ(found_.size(), 1u);
}

TEST_F(DmDiscovery, NoDomainManagerFindsNothingAndStopsCleanly) {
    sim::DmDnsSettings settings = dns_settings();
    settings.fault = sim::DmDnsFault::Silent;
    start_dns(settings);
    make_discovery();
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    advance(40);
    EXPECT_TRUE(found_.empty());
    EXPECT_EQ(count_lines("Searching for DNS SRV"), 3u) << "at 0, 15 and 30 s";
    EXPECT_EQ(count_lines("Searching for mDNS record"), 1u);

    dm_client_url_discovery_stop(discovery_);
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_DONE);
    EXPECT_EQ(mdns_state(), DM_DISCOVERY_MDNS_IDLE);
    EXPECT_EQ(dm_discovery_get_mdns_query(engine_), nullptr);
    EXPECT_FALSE(nslookup_is_open(dm_discovery_get_nslookup(engine_)));
    const uint64_t queries = dns_->queries_received();
    advance(30);
    EXPECT_EQ(dns_->queries_received(), queries) << "no retransmission after stop";
    EXPECT_EQ(count_lines("Searching for DNS SRV"), 3u);

    // Started again, it runs as before.
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    EXPECT_EQ(phase(), DM_DISCOVERY_PHASE_UNICAST);
    EXPECT_TRUE(dns_->wait_queries(queries + 1, 2s));
}

// The domain handler stops and deletes the discovery from inside its
// callback; nothing may touch the discovery afterwards.
TEST_F(DmDiscovery, CallbackMayStopAndDeleteTheDiscovery) {
    for (const bool multicast : {false, true}) {
        SCOPED_TRACE(multicast ? "multicast" : "unicast");
        sim::DmDnsSettings settings = dns_settings();
        settings.fault = multicast ? sim::DmDnsFault::Silent : sim::DmDnsFault::None;
        start_dns(settings);
        make_discovery();
        on_found_hook_ = [&] {
            dm_client_url_discovery_stop(discovery_);
            EXPECT_EQ(dm_client_url_discovery_delete(discovery_), AUD_SUCCESS);
            discovery_ = nullptr;
        };
        ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
        if (multicast) {
            advance(5);
            feed_srv("dm.local.", 8999);
        }
        ASSERT_TRUE(step_until([&] { return !found_.empty(); }));
        EXPECT_EQ(discovery_, nullptr);
        advance(20);
        EXPECT_EQ(found_.size(), 1u);
        on_found_hook_ = nullptr;
        found_.clear();
        dns_->stop();
    }
}

// ---- Multicast DNS against avn-sim's responder ----

#if TPX2_MULTICAST_TESTS

class DmDiscoveryMdns : public DmDiscovery {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        DmDiscovery::SetUp();
    }

    void TearDown() override {
        if (!dnssd_test::in_private_namespace()) {
            return;
        }
        DmDiscovery::TearDown();
        if (responder_) {
            responder_->stop();
        }
    }

    void start_responder(uint16_t port) {
        sim::MdnsSettings settings;
        settings.enabled = true;
        settings.interface_name = "lo";
        responder_ = std::make_unique<sim::MdnsResponder>(sim_log_, settings);
        responder_->add_service(sim::dm_mdns_service("avn-dm", port));
        ASSERT_EQ(responder_->start(), AUD_SUCCESS);
        ASSERT_TRUE(responder_->wait_announced(5s));
    }

    std::unique_ptr<sim::MdnsResponder> responder_;
};

// As the domain handler does, the callback stops and deletes the discovery
// while the DNS-SD layer's query is still being processed.
TEST_F(DmDiscoveryMdns, FindsTheAdvertisedDomainManagerWhenUnicastDnsDoesNotKnowIt) {
    start_responder(8999);
    start_dns(dns_settings());
    make_discovery(nullptr, "elsewhere.test", true);  // NXDOMAIN: multicast at once
    on_found_hook_ = [&] {
        dm_client_url_discovery_stop(discovery_);
        EXPECT_EQ(dm_client_url_discovery_delete(discovery_), AUD_SUCCESS);
        discovery_ = nullptr;
    };
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return !found_.empty(); }, 5000ms));
    // The advertised name's address, asked for by multicast DNS.
    EXPECT_EQ(found_[0].host, "127.0.0.1");
    EXPECT_EQ(found_[0].port, 8999);
    EXPECT_EQ(dns_->names_asked(),
              std::vector<std::string>{"default._avn-dm-c._tcp.elsewhere.test."});
    step_until([] { return false; }, 300ms);
    EXPECT_EQ(found_.size(), 1u);
}

TEST_F(DmDiscoveryMdns, AdvertWithPortZeroIsNotPassedOn) {
    start_responder(0);
    start_dns(dns_settings());
    make_discovery(nullptr, "elsewhere.test", true);
    ASSERT_EQ(dm_client_url_discovery_start(discovery_), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return mdns_state() == DM_DISCOVERY_MDNS_ANSWERED; }, 5000ms));
    step_until([&] { return !found_.empty(); }, 500ms);
    EXPECT_TRUE(found_.empty());
    EXPECT_EQ(count_lines("Ignoring mDNS SRV record without a host or port"), 1u);
}

#endif  // TPX2_MULTICAST_TESTS

}  // namespace
