// Identify and login against avn-sim's Domain Manager on loopback, driven by
// the AVN event loop as the domain handler drives them.
#include "avn/domain/avnapi_auth.h"
#include "avn/domain/secret_buffer.h"

#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "avn/domain/dm_trust.h"
#include "avn/domain/secret_buffer.h"
#include "avn/domain/x509_fingerprint.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "sim/dm/dm_certificates.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_log.h"
#include "tests/support/event_loop_runner.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kUser = "engineer";
// Every character that a form body gives a meaning to.
constexpr const char* kPassword = "p&ss=w+rd% 1";

std::string fingerprint_of(sim::DmCertificate certificate) {
    return get_x509_fingerprint_pem(sim::dm_certificate_pem(certificate).certificate);
}

class AvnapiAuthTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        aud_log* log = aud_env_get_log(env_);
        aud_log_set_level(log, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_callback(log, &AvnapiAuthTest::on_log, this);
        ASSERT_EQ(avnapi_auth_new(env_, &auth_), AUD_SUCCESS);
        avnapi_auth_set_context(auth_, this);
        avnapi_auth_set_callback(auth_, &AvnapiAuthTest::on_done);

        settings_.enabled = true;
        settings_.port = 0;
        settings_.users = {sim::DmUser(kUser, kPassword)};
        sim_log_.set_quiet(true);
    }

    void TearDown() override {
        avnapi_auth_delete(auth_);
        aud_env_delete(env_);
    }

    sim::DmWebService& start_dm() {
        dm_ = std::make_unique<sim::DmWebService>(sim_log_, settings_);
        EXPECT_EQ(dm_->start(), AUD_SUCCESS);
        return *dm_;
    }

    static void on_log(aud_log*, const char*, int, const char* text, size_t length, void* context) {
        static_cast<AvnapiAuthTest*>(context)->log_.append(text, length);
    }

    static void on_done(void* context, int code) {
        auto* test = static_cast<AvnapiAuthTest*>(context);
        test->codes_.push_back(code);
    }

    // Steps the event loop until the transfer reports (at most `limit`).
    std::optional<int> run_until_done(std::chrono::milliseconds limit = 10s) {
        const size_t before = codes_.size();
        if (!test_loop::run_until(env_, [&] { return codes_.size() != before; }, limit)) {
            return std::nullopt;
        }
        return codes_.back();
    }

    std::optional<int> identify(uint16_t port) {
        const aud_error started = avnapi_auth__identify(auth_, "127.0.0.1", port);
        EXPECT_EQ(started, AUD_SUCCESS);
        return started == AUD_SUCCESS ? run_until_done() : std::nullopt;
    }

    std::optional<int> login(const char* user = kUser, const char* password = kPassword) {
        const aud_error started = avnapi_auth__login(auth_, user, password);
        EXPECT_EQ(started, AUD_SUCCESS);
        return started == AUD_SUCCESS ? run_until_done() : std::nullopt;
    }

    std::string token() {
        const uint8_t* bytes = nullptr;
        size_t length = 0;
        if (avnapi_auth_get_token(auth_, &bytes, &length) != AUD_SUCCESS) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(bytes), length);
    }

    uint16_t version() {
        uint16_t value = 0;
        avnapi_auth_get_version(auth_, &value);
        return value;
    }

    std::string identity() {
        const char* text = nullptr;
        size_t length = 0;
        if (avnapi_auth_get_identity(auth_, &text, &length) != AUD_SUCCESS) {
            return {};
        }
        return std::string(text, length);
    }

    aud_env* env_ = nullptr;
    avnapi_auth* auth_ = nullptr;
    sim::SimLog sim_log_;
    sim::DmSettings settings_;
    std::unique_ptr<sim::DmWebService> dm_;
    std::vector<int> codes_;
    std::string log_;
};

// ---- Success, both interface versions ----

TEST_F(AvnapiAuthTest, LogsInWithEitherVersionAndTheTokenIsTheServers) {
    struct Case {
        sim::DmApi api;
        uint16_t version;
    };
    for (const Case c : {Case{sim::DmApi::V1, 1}, Case{sim::DmApi::V2, 2}}) {
        settings_.api = c.api;
        sim::DmWebService& dm = start_dm();
        ASSERT_EQ(identify(dm.port()), AVNAPI_AUTH_SUCCESS);
        EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDENTIFIED);
        EXPECT_EQ(version(), c.version);
        EXPECT_EQ(identity(), fingerprint_of(sim::DmCertificate::Server));
        EXPECT_EQ(identity().size(), kX509FingerprintLength);

        ASSERT_EQ(login(), AVNAPI_AUTH_SUCCESS) << log_;
        EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_TOKEN_ACQUIRED);
        uint16_t port = 0;
        EXPECT_EQ(avnapi_auth_get_service_port(auth_, &port), AUD_SUCCESS);
        EXPECT_EQ(port, dm.service_port());
        // The token is one the server issued to this user, good once.
        EXPECT_EQ(dm.tokens().redeem(token()), std::optional<std::string>(kUser));
        EXPECT_EQ(dm.tokens().redeem(token()), std::nullopt);

        avnapi_auth_drop_token(auth_);
        EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDENTIFIED);
        avnapi_auth_reset(auth_);
        dm.stop();
    }
}

TEST_F(AvnapiAuthTest, NoSecretReachesTheLogOrTheStandardStreams) {
    sim::DmWebService& dm = start_dm();
    sim_log_.set_quiet(false);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const std::optional<int> identified = identify(dm.port());
    const std::optional<int> logged_in = login();
    const std::string the_token = token();
    // A refused login and a truncated answer show their bodies nowhere either.
    avnapi_auth_drop_token(auth_);
    const std::optional<int> refused = login(kUser, "wrong-secret");
    dm.set_answer(sim::DmEndpoint::Login,
                  sim::DmAnswer{200, R"({"authToken":")" + the_token + "-partial"});
    const std::optional<int> truncated = login();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(identified, AVNAPI_AUTH_SUCCESS);
    EXPECT_EQ(logged_in, AVNAPI_AUTH_SUCCESS);
    EXPECT_EQ(refused, AVNAPI_AUTH_UNAUTHORISED);
    EXPECT_EQ(truncated, AVNAPI_AUTH_MALFORMED);
    ASSERT_EQ(the_token.size(), sim::DmTokenStore::kTokenLength);
    EXPECT_NE(log_.find("Attempting to login on"), std::string::npos) << log_;
    for (const std::string& output : {log_, out, err}) {
        EXPECT_EQ(output.find(kPassword), std::string::npos) << output;
        EXPECT_EQ(output.find("wrong-secret"), std::string::npos) << output;
        EXPECT_EQ(output.find(the_token.substr(0, 16)), std::string::npos) << output;
    }
}

TEST_F(AvnapiAuthTest, APasswordWithFormCharactersArrivesAsTyped) {
    // kPassword holds '&', '=', '+', '%' and a space: sent as they stand the
    // server would read another password.
    sim::DmWebService& dm = start_dm();
    ASSERT_EQ(identify(dm.port()), AVNAPI_AUTH_SUCCESS);
    EXPECT_EQ(login(), AVNAPI_AUTH_SUCCESS);
    EXPECT_EQ(dm.logins_accepted(), 1u);
}

// ---- Every result code a server can cause ----

struct FailureCase {
    const char* what;
    std::function<void(sim::DmWebService&)> fault;
    bool at_login;  // the fault shows at login; identify succeeds first
    int code;
};

TEST_F(AvnapiAuthTest, FailuresReportTheirCodes) {
    using sim::DmAnswer;
    using sim::DmEndpoint;
    const FailureCase cases[] = {
        {"wrong password v2", [](auto& dm) { dm.set_api(sim::DmApi::V2); }, true,
         AVNAPI_AUTH_UNAUTHORISED},
        {"wrong password v1", [](auto& dm) { dm.set_api(sim::DmApi::V1); }, true,
         AVNAPI_AUTH_UNAUTHORISED},
        {"login 403", [](auto& dm) { dm.set_answer(DmEndpoint::Login, DmAnswer{403, {}}); }, true,
         AVNAPI_AUTH_UNAUTHORISED},
        {"login 500", [](auto& dm) { dm.set_answer(DmEndpoint::Login, DmAnswer{500, {}}); }, true,
         AVNAPI_AUTH_CONNECTION_FAILED},
        {"identify 500", [](auto& dm) { dm.set_answer(DmEndpoint::Identify, DmAnswer{500, {}}); },
         false, AVNAPI_AUTH_CONNECTION_FAILED},
        {"closed port", [](auto& dm) { ASSERT_EQ(dm.set_closed(true), AUD_SUCCESS); }, false,
         AVNAPI_AUTH_CONNECTION_FAILED},
        {"untrusted root",
         [](auto& dm) { dm.set_certificate(sim::DmCertificate::Untrusted); }, false,
         AVNAPI_AUTH_CA_CERTIFICATE_ERROR},
        {"identify answer not an array",
         [](auto& dm) { dm.set_answer(DmEndpoint::Identify, DmAnswer{200, R"({"a":1})"}); },
         false, AVNAPI_AUTH_MALFORMED},
        {"identify answer truncated",
         [](auto& dm) { dm.set_answer(DmEndpoint::Identify, DmAnswer{200, R"(["v2","v)"}); },
         false, AVNAPI_AUTH_MALFORMED},
        {"no known version",
         [](auto& dm) { dm.set_answer(DmEndpoint::Identify, DmAnswer{200, R"(["v7"])"}); },
         false, AVNAPI_AUTH_NO_SUPPORTED_VERSION},
        {"login answer truncated",
         [](auto& dm) { dm.set_answer(DmEndpoint::Login, DmAnswer{200, R"({"authToken":"ab)"}); },
         true, AVNAPI_AUTH_MALFORMED},
        {"login answer without a port",
         [](auto& dm) {
             dm.set_api(sim::DmApi::V2);
             dm.set_answer(DmEndpoint::Login, DmAnswer{200, R"({"authToken":"ab"})"});
         },
         true, AVNAPI_AUTH_MALFORMED},
        // The key changes between identify and login: the pin refuses it
        // although the new certificate is under the same trusted root.
        {"key changed after identify", [](auto& dm) { dm.set_key_change(true); }, true,
         AVNAPI_AUTH_TRANSFER_ERROR},
        // The answer is held to 1 MiB: a longer one ends the transfer.
        {"login answer above 1 MiB",
         [](auto& dm) {
             dm.set_answer(DmEndpoint::Login,
                           DmAnswer{200, "\"" + std::string(SecretBuffer::max_size(), 'x') + "\""});
         },
         true, AVNAPI_AUTH_TRANSFER_ERROR},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DmWebService& dm = start_dm();
        c.fault(dm);
        const std::optional<int> identified = identify(dm.port());
        if (c.at_login) {
            ASSERT_EQ(identified, AVNAPI_AUTH_SUCCESS) << log_;
            const bool wrong_password = std::string(c.what).starts_with("wrong password");
            EXPECT_EQ(login(kUser, wrong_password ? "not-it" : kPassword), c.code) << log_;
            // Refused by the pin, not by any other transfer error.
            EXPECT_EQ(avnapi_auth_last_failure_was_pin(auth_),
                      std::string(c.what) == "key changed after identify");
            EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDENTIFIED);
        } else {
            EXPECT_EQ(identified, c.code) << log_;
            EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDLE);
        }
        avnapi_auth_reset(auth_);
        dm.stop();
        log_.clear();
    }
}

TEST_F(AvnapiAuthTest, AServerThatSpeaksNoTlsIsAHandshakeError) {
    httplib::Server plain;
    const int port = plain.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { plain.listen_after_bind(); });
    EXPECT_EQ(identify(static_cast<uint16_t>(port)), AVNAPI_AUTH_TLS_HANDSHAKE_ERROR) << log_;
    plain.stop();
    serving.join();
}

TEST_F(AvnapiAuthTest, TheStoredPinIdentifiesAServerWhateverItsStatus) {
    ASSERT_EQ(fingerprint_of(sim::DmCertificate::Pinned), avn_dm_stored_pin);
    struct Case {
        sim::DmCertificate certificate;
        const char* body;
        int code;
    };
    const Case cases[] = {
        {sim::DmCertificate::Pinned, "not json", AVNAPI_AUTH_SUCCESS},
        {sim::DmCertificate::Pinned, "", AVNAPI_AUTH_SUCCESS},
        {sim::DmCertificate::Server, "not json", AVNAPI_AUTH_CONNECTION_FAILED},
    };
    for (const Case& c : cases) {
        sim::DmWebService& dm = start_dm();
        dm.set_certificate(c.certificate);
        dm.set_answer(sim::DmEndpoint::Identify, sim::DmAnswer{404, std::string(c.body)});
        EXPECT_EQ(identify(dm.port()), c.code) << c.body;
        if (c.code == AVNAPI_AUTH_SUCCESS) {
            EXPECT_EQ(version(), 1);
            EXPECT_EQ(identity(), avn_dm_stored_pin);
        }
        avnapi_auth_reset(auth_);
        dm.stop();
    }
}

TEST_F(AvnapiAuthTest, ASlowAnswerKeepsTheLoopRunning) {
    sim::DmWebService& dm = start_dm();
    dm.set_delay(400ms);
    bool timer_fired = false;
    aud_timer* timer = nullptr;
    const aud_time delay = aud_time_from_milliseconds(100);
    aud_event_loop_add_oneshot(
        aud_env_get_event_loop(env_),
        [](aud_error, aud_timer* t) { *static_cast<bool*>(aud_timer_get_context(t)) = true; },
        nullptr, &delay, &timer_fired, &timer);
    EXPECT_EQ(identify(dm.port()), AVNAPI_AUTH_SUCCESS);
    EXPECT_TRUE(timer_fired);
}

// ---- State rules ----

TEST_F(AvnapiAuthTest, CallsInTheWrongStateAreRefused) {
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    const char* text = nullptr;
    uint16_t value = 0;
    EXPECT_EQ(avnapi_auth__login(auth_, kUser, kPassword), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avnapi_auth_get_identity(auth_, &text, &length), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avnapi_auth_get_version(auth_, &value), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avnapi_auth_get_token(auth_, &bytes, &length), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avnapi_auth_set_callback(nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(avnapi_auth_set_context(nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    // A name longer than any DNS name (an SRV target may carry ~1000
    // characters) is refused, not cut to a prefix that names another host.
    const std::string long_name = std::string(280, 'a') + ".example";
    EXPECT_EQ(avnapi_auth__identify(auth_, long_name.c_str(), 8999), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDLE);

    sim::DmWebService& dm = start_dm();
    ASSERT_EQ(identify(dm.port()), AVNAPI_AUTH_SUCCESS);
    EXPECT_EQ(avnapi_auth_get_token(auth_, &bytes, &length), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avnapi_auth_get_service_port(auth_, &value), AUD_ERR_INVALIDSTATE);

    // Dropping the token while login runs ends the transfer without a report.
    dm.set_delay(300ms);
    ASSERT_EQ(avnapi_auth__login(auth_, kUser, kPassword), AUD_SUCCESS);
    EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_ACQUIRING_TOKEN);
    avnapi_auth_drop_token(auth_);
    EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDENTIFIED);
    EXPECT_EQ(run_until_done(800ms), std::nullopt);  // the answer would have come by now

    // Identify again starts over from idle; a reset mid-way reports nothing.
    ASSERT_EQ(avnapi_auth__identify(auth_, "127.0.0.1", dm.port()), AUD_SUCCESS);
    EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDENTIFYING);
    avnapi_auth_reset(auth_);
    EXPECT_EQ(avnapi_auth_get_state(auth_), AVNAPI_AUTH_STATE_IDLE);
    EXPECT_EQ(run_until_done(800ms), std::nullopt);
}

TEST(AvnapiAuth, NeedsAnEventLoopAndMapsCodesToErrors) {
    aud_env* env = nullptr;
    ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG, &env), AUD_SUCCESS);
    avnapi_auth* auth = nullptr;
    ASSERT_EQ(avnapi_auth_new(env, &auth), AUD_SUCCESS);
    EXPECT_EQ(avnapi_auth__identify(auth, "127.0.0.1", 8999), AUD_ERR_NOTSUPPORTED);
    avnapi_auth_delete(auth);
    aud_env_delete(env);

    const aud_error expected[] = {AUD_SUCCESS,         AUD_ERR_POLICY,       AUD_ERR_CONNREFUSED,
                                  AUD_ERR_CONNREFUSED, AUD_ERR_CONNREFUSED,  AUD_ERR_CONNREFUSED,
                                  AUD_ERR_INVALIDDATA, AUD_ERR_NOTSUPPORTED, AUD_ERR_FAULT};
    for (int code = 0; code <= 8; ++code) {
        EXPECT_EQ(avnapi_auth_code_to_error(code), expected[code]) << code;
    }
}

}  // namespace
