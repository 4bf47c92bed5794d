// The domain handler against avn-sim's Domain Manager on loopback: login,
// the TLS connection and its domain list, keepalives, relayed messages,
// losses, logout and discovery by unicast DNS.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "avn/domain/domain_handler.h"
#include "avn/runtime/aud_env.h"
#include "sim/dm/dm_certificates.h"
#include "sim/dm/dm_connection_service.h"
#include "sim/dm/dm_dns.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_log.h"
#include "tests/avn/domain/test_environment.h"
#include "tests/support/event_loop_runner.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kUser = "engineer";
constexpr const char* kPassword = "secret&pass";

struct Event {
    uint32_t flags;
    aud_error error;
    int state;
};

class DmConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        settings_.enabled = true;
        settings_.port = 0;
        settings_.users = {sim::DmUser(kUser, kPassword)};
        log_.set_quiet(true);
        current_ = this;
    }

    void TearDown() override {
        avn_domain_handler_delete(handler_);
        aud_env_delete(env_);
        current_ = nullptr;
    }

    void make_handler(unsigned keepalive_seconds = 120) {
        static const avn_domain_handler_notifications notifications = {
            [](avnapi*, const uint8_t* data, size_t length) {
                current_->relayed_.emplace_back(data, data + length);
            },
            nullptr, nullptr};
        ASSERT_EQ(avn_domain_handler_new(env_, nullptr, &notifications, &keepalive_seconds,
                                         &handler_),
                  AUD_SUCCESS);
        avn_domain_handler_set_event_callback(handler_, [](const avn_domain_handler_event* event) {
            current_->events_.push_back({avn_domain_handler_event_get_flags(event),
                                         avn_domain_handler_event_get_error(event),
                                         avn_domain_handler_get_internal_state(
                                             avn_domain_handler_event_get_handler(event))});
        });
    }

    void start_dm(sim::DmCertificate service_certificate = sim::DmCertificate::Server) {
        web_ = std::make_unique<sim::DmWebService>(log_, settings_);
        ASSERT_EQ(web_->start(), AUD_SUCCESS);
        service_ = std::make_unique<sim::DmConnectionService>(log_, web_->tokens());
        ASSERT_EQ(service_->start(0, service_certificate), AUD_SUCCESS);
        web_->set_service_port(service_->port());
    }

    bool run_until(const std::function<bool()>& done) { return test_loop::run_until(env_, done); }
    void run_for(std::chrono::milliseconds duration) { test_loop::run_for(env_, duration); }

    int state() const { return avn_domain_handler_get_internal_state(handler_); }

    bool connected() {
        return run_until([&] { return state() == AVN_DOMAIN_HANDLER_STATE_CONNECTED; });
    }

    bool error_reported(aud_error error) {
        return run_until([&] {
            for (const Event& e : events_) {
                if ((e.flags & AVN_DOMAIN_EVENT_ERROR) && e.error == error) {
                    return true;
                }
            }
            return false;
        });
    }

    void log_in(const char* password = kPassword) {
        ASSERT_EQ(avn_domain_handler_set_dm_address(handler_, "127.0.0.1", web_->port()), AUD_SUCCESS);
        ASSERT_EQ(avn_domain_handler_login(handler_, kUser, password), AUD_SUCCESS);
    }

    std::vector<std::string> domain_names() const {
        std::vector<std::string> names;
        for (size_t i = 0; i < avn_domain_handler_get_domain_count(handler_); ++i) {
            names.emplace_back(avn_domain_handler_get_domain_at(handler_, i).name);
        }
        return names;
    }

    static DmConnectionTest* current_;
    aud_env* env_ = nullptr;
    avn_domain_handler* handler_ = nullptr;
    sim::SimLog log_;
    sim::DmSettings settings_;
    std::unique_ptr<sim::DmWebService> web_;
    std::unique_ptr<sim::DmConnectionService> service_;
    std::vector<Event> events_;
    std::vector<std::vector<uint8_t>> relayed_;
};

DmConnectionTest* DmConnectionTest::current_ = nullptr;

TEST_F(DmConnectionTest, LogsInAndReceivesTheDomainList) {
    make_handler();
    start_dm();
    log_in();
    // A login from state 2 reads as connecting at once.
    EXPECT_EQ(avn_domain_handler_get_state(handler_), AVN_DOMAIN_STATE_CONNECTING);
    ASSERT_TRUE(connected());
    EXPECT_EQ(avn_domain_handler_get_state(handler_), AVN_DOMAIN_STATE_CONNECTED);
    ASSERT_TRUE(run_until([&] { return domain_names().size() == 3; }));
    EXPECT_EQ(domain_names(), (std::vector<std::string>{"", "Studio A", "Studio B"}));
    EXPECT_EQ(service_->sessions_logged_in(), 1u);
    EXPECT_EQ(web_->tokens().outstanding(), 0u);  // the token was spent

    const char* identity = nullptr;
    EXPECT_EQ(avn_domain_handler_get_identity(handler_, &identity), AUD_SUCCESS);
    aud_socket_address remote{};
    EXPECT_EQ(avn_domain_handler_get_dm_endpoint(handler_, true, &remote), AUD_SUCCESS);
    EXPECT_EQ(aud_socket_address_get_port(&remote), service_->port());

    ASSERT_EQ(avn_domain_handler_set_current_domain_by_id(handler_, 1), AUD_SUCCESS);
    EXPECT_STREQ(avn_domain_handler_get_current_domain(handler_).name, "Studio A");

    // A partial update adds a domain; the current one stays.
    dm_domain_item studio_c;
    studio_c.name = "Studio C";
    studio_c.id = 3;
    studio_c.uuid = avn_domain_uuid{{0xC0, 3}};
    service_->send_update({studio_c}, 3, 3);
    ASSERT_TRUE(run_until([&] { return domain_names().size() == 4; }));
    EXPECT_EQ(domain_names().back(), "Studio C");
    EXPECT_STREQ(avn_domain_handler_get_current_domain(handler_).name, "Studio A");
}

TEST_F(DmConnectionTest, KeepsAliveAndRelaysBothWays) {
    make_handler(1);
    start_dm();
    service_->set_relay_handler([](const std::string&, std::span<const uint8_t> payload,
                                   sim::DmRelayReply reply) {
        std::vector<uint8_t> echo(payload.begin(), payload.end());
        echo.push_back(0xEE);
        reply(std::move(echo));
    });
    log_in();
    ASSERT_TRUE(connected());
    const uint8_t message[] = {1, 2, 3, 4};
    ASSERT_EQ(avn_domain_handler_send(handler_, message, sizeof message), AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return !relayed_.empty(); }));
    EXPECT_EQ(relayed_[0], (std::vector<uint8_t>{1, 2, 3, 4, 0xEE}));
    // Nothing sent for the interval: a keepalive goes out.
    ASSERT_TRUE(run_until([&] { return service_->keepalives_received() >= 1; }));
    EXPECT_TRUE(avn_domain_handler_keepalive_running(handler_));
}

TEST_F(DmConnectionTest, LossesAreReportedButALogoutIsNot) {
    struct Case {
        const char* what;
        std::function<void(sim::DmConnectionService&)> fault;
    };
    const Case cases[] = {
        {"server drops the connection", [](auto& s) { s.drop_connections(); }},
        {"server sends the client's own sync value", [](auto& s) { s.send_bad_sync(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make_handler();
        start_dm();
        log_in();
        ASSERT_TRUE(connected());
        events_.clear();
        c.fault(*service_);
        EXPECT_TRUE(error_reported(AUD_ERR_NOTCONN));
        EXPECT_EQ(avn_domain_handler_get_last_failure(handler_), AVN_DM_FAILURE_LOST);
        EXPECT_EQ(state(), AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
        EXPECT_EQ(domain_names(), std::vector<std::string>{""});  // ADHOC alone again
        avn_domain_handler_delete(std::exchange(handler_, nullptr));
    }

    make_handler();
    start_dm();
    log_in();
    ASSERT_TRUE(connected());
    events_.clear();
    EXPECT_EQ(avn_domain_handler_logout(handler_), AUD_SUCCESS);
    EXPECT_EQ(state(), AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
    run_for(300ms);  // anything late would arrive meanwhile
    EXPECT_TRUE(events_.empty());
    ASSERT_TRUE(run_until([&] { return service_->open_sessions() == 0; }));
}

TEST_F(DmConnectionTest, RefusalsAndUntrustedServers) {
    struct Case {
        const char* what;
        const char* password;
        sim::DmCertificate web_certificate;
        sim::DmCertificate service_certificate;
        aud_error error;
        int failure;
    };
    const Case cases[] = {
        {"wrong password", "wrong", sim::DmCertificate::Server, sim::DmCertificate::Server,
         AUD_ERR_POLICY, AVN_DM_FAILURE_REFUSED},
        {"untrusted web server", kPassword, sim::DmCertificate::Untrusted,
         sim::DmCertificate::Server, AUD_ERR_CONNREFUSED, AVN_DM_FAILURE_UNTRUSTED},
        // The connection service's chain verifies, but its key is not the one
        // identify saw: the pin refuses it.
        {"other key on the connection", kPassword, sim::DmCertificate::Server,
         sim::DmCertificate::Other, AUD_ERR_NOTCONN, AVN_DM_FAILURE_UNTRUSTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make_handler();
        settings_.certificate = c.web_certificate;
        start_dm(c.service_certificate);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        log_in(c.password);
        EXPECT_TRUE(error_reported(c.error));
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(state(), AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
        EXPECT_EQ(avn_domain_handler_get_last_failure(handler_), c.failure);
        EXPECT_EQ(service_->sessions_logged_in(), 0u);
        for (const std::string& output : {err, out}) {
            EXPECT_EQ(output.find(kPassword), std::string::npos) << output;
        }
        avn_domain_handler_delete(std::exchange(handler_, nullptr));
        events_.clear();
    }
}

// What the program trusts: the stored root alone (not a root that the
// system's bundle holds), certificates within their dates, any host name,
// and on the TLS connection only the key that identify saw.
TEST_F(DmConnectionTest, TrustsOnlyTheStoredRootAndTheIdentifiedKey) {
    // A "public" root, installed where OpenSSL and curl look for the
    // system's trust: the program must not use it.
    const std::string bundle = testing::TempDir() + "dm_connection_test_public_roots.pem";
    {
        std::FILE* file = std::fopen(bundle.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(sim::dm_untrusted_ca_pem(), file);
        std::fclose(file);
    }
    test_set_environment("SSL_CERT_FILE", bundle.c_str());
    test_set_environment("CURL_CA_BUNDLE", bundle.c_str());

    using sim::DmCertificate;
    struct Case {
        const char* what;
        DmCertificate web_certificate;
        DmCertificate service_certificate;
        aud_error error;       // SUCCESS: connects
        bool password_sent;    // whether the login reached the server
        sim::DmApi api = sim::DmApi::Both;
    };
    const Case cases[] = {
        {"root in the system's bundle", DmCertificate::Untrusted, DmCertificate::Server,
         AUD_ERR_CONNREFUSED, false},
        {"expired", DmCertificate::Expired, DmCertificate::Server, AUD_ERR_CONNREFUSED, false},
        {"not yet valid", DmCertificate::NotYetValid, DmCertificate::Server, AUD_ERR_CONNREFUSED,
         false},
        {"another host name", DmCertificate::WrongName, DmCertificate::WrongName, AUD_SUCCESS,
         true},
        // The stored pin's server speaks v1 (where the pin lets identify
        // skip the usual checks).
        {"the stored pin's server", DmCertificate::Pinned, DmCertificate::Pinned, AUD_SUCCESS, true,
         sim::DmApi::V1},
        {"key changed after login", DmCertificate::Server, DmCertificate::Other, AUD_ERR_NOTCONN,
         true},
        {"key changed after login, stored pin's server", DmCertificate::Pinned,
         DmCertificate::Other, AUD_ERR_NOTCONN, true, sim::DmApi::V1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make_handler();
        settings_.certificate = c.web_certificate;
        settings_.api = c.api;
        start_dm(c.service_certificate);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        log_in();
        if (c.error == AUD_SUCCESS) {
            EXPECT_TRUE(connected());
            EXPECT_EQ(service_->sessions_logged_in(), 1u);
        } else {
            EXPECT_TRUE(error_reported(c.error));
            EXPECT_EQ(state(), AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
            EXPECT_EQ(avn_domain_handler_get_last_failure(handler_), AVN_DM_FAILURE_UNTRUSTED);
            EXPECT_EQ(service_->sessions_logged_in(), 0u);
        }
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(web_->logins_accepted() + web_->logins_refused() > 0, c.password_sent);
        avn_domain_handler_delete(std::exchange(handler_, nullptr));
        service_.reset();
        web_.reset();
        events_.clear();
    }
    test_unset_environment("SSL_CERT_FILE");
    test_unset_environment("CURL_CA_BUNDLE");
    std::remove(bundle.c_str());
}

TEST_F(DmConnectionTest, StateRules) {
    make_handler();
    EXPECT_EQ(avn_domain_handler_identify(handler_), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avn_domain_handler_login(handler_, kUser, kPassword), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avn_domain_handler_send(handler_, nullptr, 0), AUD_ERR_INVALIDSTATE);
    aud_socket_address endpoint{};
    EXPECT_EQ(avn_domain_handler_get_dm_endpoint(handler_, true, &endpoint), AUD_ERR_NOTCONN);
    EXPECT_EQ(avn_domain_handler_set_dm_address(handler_, nullptr, 0), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(avn_domain_handler_logout(handler_), AUD_SUCCESS);

    ASSERT_EQ(avn_domain_handler_set_dm_address(handler_, "dm.example", 0), AUD_SUCCESS);
    const char* host = nullptr;
    uint16_t port = 0;
    ASSERT_EQ(avn_domain_handler_get_dm_address(handler_, &host, &port), AUD_SUCCESS);
    EXPECT_STREQ(host, "dm.example");
    EXPECT_EQ(port, 8999);  // port 0 means the default
    ASSERT_EQ(avn_domain_handler_set_dm_address(handler_, "", 1), AUD_SUCCESS);
    EXPECT_EQ(avn_domain_handler_identify(handler_), AUD_ERR_NOTSUPPORTED);
}

TEST_F(DmConnectionTest, DiscoversTheDomainManagerByUnicastDns) {
    make_handler();
    start_dm();
    sim::DmDnsSettings dns_settings;
    dns_settings.target = "127.0.0.1.";
    dns_settings.target_port = web_->port();
    sim::DmDns dns(log_, dns_settings);
    ASSERT_EQ(dns.start(), AUD_SUCCESS);
    aud_socket_address server{};
    aud_socket_address_set_ipv4(&server, 0x7F000001, dns.port());
    ASSERT_EQ(avn_domain_handler_set_dm_dns_override(handler_, &server, "avn.test"), AUD_SUCCESS);

    const uint32_t loopback_index = 1;
    ASSERT_EQ(avn_domain_handler_start_dm_discovery(handler_, &loopback_index), AUD_SUCCESS);
    EXPECT_EQ(state(), AVN_DOMAIN_HANDLER_STATE_DISCOVERING);
    ASSERT_TRUE(run_until([&] { return state() == AVN_DOMAIN_HANDLER_STATE_DISCOVERED; }));
    const char* host = nullptr;
    uint16_t port = 0;
    ASSERT_EQ(avn_domain_handler_get_dm_address(handler_, &host, &port), AUD_SUCCESS);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(port, web_->port());
    // And the address found is good for a login.
    ASSERT_EQ(avn_domain_handler_login(handler_, kUser, kPassword), AUD_SUCCESS);
    EXPECT_TRUE(connected());

    // Nobody answering: discovery goes on until stopped.
    avn_domain_handler_delete(std::exchange(handler_, nullptr));
    make_handler();
    dns.set_fault(sim::DmDnsFault::Silent);
    ASSERT_EQ(avn_domain_handler_set_dm_dns_override(handler_, &server, "avn.test"), AUD_SUCCESS);
    ASSERT_EQ(avn_domain_handler_start_dm_discovery(handler_, &loopback_index), AUD_SUCCESS);
    run_for(300ms);
    EXPECT_EQ(state(), AVN_DOMAIN_HANDLER_STATE_DISCOVERING);
    EXPECT_EQ(avn_domain_handler_stop_dm_discovery(handler_), AUD_SUCCESS);
    EXPECT_EQ(state(), AVN_DOMAIN_HANDLER_STATE_NONE);
}

}  // namespace
