// The Domain Manager's web side over HTTPS on loopback, in-process.
#include <gtest/gtest.h>
#include <httplib.h>
#include <jansson.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cctype>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/dm/dm_certificates.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_log.h"
#include "sim/sim_network.h"

namespace {

using sim::DmApi;
using sim::DmCertificate;
using sim::DmEndpoint;

struct JsonFree {
    void operator()(json_t* json) const { json_decref(json); }
};
using Json = std::unique_ptr<json_t, JsonFree>;

Json parse_json(const std::string& text) {
    return Json(json_loadb(text.data(), text.size(), 0, nullptr));
}

X509_STORE* test_ca_store() {
    X509_STORE* store = X509_STORE_new();
    BIO* bio = BIO_new_mem_buf(sim::dm_test_ca_pem(), -1);
    X509* ca = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    X509_STORE_add_cert(store, ca);
    X509_free(ca);
    BIO_free(bio);
    return store;
}

// The public key of a PEM certificate, DER-encoded.
std::string public_key_of(const char* pem) {
    BIO* bio = BIO_new_mem_buf(pem, -1);
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    unsigned char* der = nullptr;
    const int length = certificate ? i2d_PUBKEY(X509_get0_pubkey(certificate), &der) : 0;
    std::string key(reinterpret_cast<char*>(der), length > 0 ? static_cast<size_t>(length) : 0);
    OPENSSL_free(der);
    X509_free(certificate);
    return key;
}

struct Presented {
    std::string public_key;  // DER
    bool trusted = false;    // verified against the test root
};

// One TLS handshake, as a client that trusts the test root but lets any
// certificate through so that it can be looked at.
std::optional<Presented> handshake(uint16_t port) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                              SSL_CTX_free);
    SSL_CTX_set_cert_store(context.get(), test_ca_store());
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    std::unique_ptr<BIO, decltype(&BIO_free_all)> bio(BIO_new_ssl_connect(context.get()),
                                                      BIO_free_all);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    BIO_set_conn_hostname(bio.get(), address.c_str());
    if (BIO_do_handshake(bio.get()) != 1) {
        return std::nullopt;
    }
    SSL* ssl = nullptr;
    BIO_get_ssl(bio.get(), &ssl);
    X509* peer = SSL_get1_peer_certificate(ssl);
    if (peer == nullptr) {
        return std::nullopt;
    }
    Presented presented;
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(peer), &der);
    presented.public_key.assign(reinterpret_cast<char*>(der), length > 0 ? length : 0);
    OPENSSL_free(der);
    X509_free(peer);
    presented.trusted = SSL_get_verify_result(ssl) == X509_V_OK;
    return presented;
}

// application/x-www-form-urlencoded, every byte but letters and digits
// escaped.
std::string form_encode(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte)) {
            encoded.push_back(c);
        } else {
            encoded += '%';
            encoded.push_back(kDigits[byte >> 4]);
            encoded.push_back(kDigits[byte & 0x0F]);
        }
    }
    return encoded;
}

class DmWebTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settings_.port = 0;
        settings_.users = {sim::DmUser("operator", "p&w=+% 1"), sim::DmUser("admin", "admin")};
        start();
    }

    void start() {
        dm_ = std::make_unique<sim::DmWebService>(log_, settings_);
        ASSERT_EQ(dm_->start(), AUD_SUCCESS);
        ASSERT_NE(dm_->port(), 0);
    }

    std::unique_ptr<httplib::SSLClient> client() {
        // By name: cpp-httplib built with mingw-w64 does not match an IP
        // address against the certificate.
        auto client = std::make_unique<httplib::SSLClient>("localhost", dm_->port());
        client->set_ca_cert_store(test_ca_store());
        client->set_connection_timeout(std::chrono::seconds(5));
        client->set_read_timeout(std::chrono::seconds(5));
        return client;
    }

    httplib::Result login(const std::string& path, const std::string& body) {
        return client()->Post(path.c_str(), body, "application/x-www-form-urlencoded");
    }

    sim::SimLog log_{true};
    sim::DmSettings settings_;
    std::unique_ptr<sim::DmWebService> dm_;
};

TEST_F(DmWebTest, IdentifyOffersTheVersionsOfTheApi) {
    const std::vector<std::pair<DmApi, std::string>> cases = {
        {DmApi::Both, R"(["v2","v1"])"},
        {DmApi::V1, R"(["v1"])"},
        {DmApi::V2, R"(["v2"])"},
    };
    for (const auto& [api, offered] : cases) {
        SCOPED_TRACE(offered);
        dm_->set_api(api);
        const httplib::Result result = client()->Get("/avnapi");
        ASSERT_TRUE(result) << httplib::to_string(result.error());
        EXPECT_EQ(result->status, 200);
        EXPECT_EQ(result->body, offered);
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    }
    // A test's own answer, status and body as given; then the usual again.
    dm_->set_answer(DmEndpoint::Identify, sim::DmAnswer{404, R"(["x","v2","v1"])"});
    httplib::Result result = client()->Get("/avnapi");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    EXPECT_EQ(result->body, R"(["x","v2","v1"])");
    dm_->set_answer(DmEndpoint::Identify, std::nullopt);
    result = client()->Get("/avnapi");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
}

TEST_F(DmWebTest, LoginHandsOutASingleUseTokenAndTheServicePort) {
    dm_->set_service_port(9443);
    // v1 names the service as HOST:PORT, v2 gives the port as a number.
    for (const int version : {1, 2}) {
        SCOPED_TRACE(version);
        const std::string path = version == 1 ? "/api/login" : "/avnapi/v2/login";
        const httplib::Result result = login(path, "username=admin&password=admin");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200);
        const Json answer = parse_json(result->body);
        ASSERT_TRUE(answer && json_is_object(answer.get())) << result->body;
        const char* token = json_string_value(json_object_get(answer.get(), "authToken"));
        ASSERT_NE(token, nullptr);
        EXPECT_EQ(std::string(token).size(), sim::DmTokenStore::kTokenLength);
        if (version == 1) {
            EXPECT_STREQ(json_string_value(json_object_get(answer.get(), "service")),
                         "127.0.0.1:9443");
        } else {
            EXPECT_EQ(json_integer_value(json_object_get(answer.get(), "servicePort")), 9443);
        }
        EXPECT_EQ(dm_->tokens().redeem(token), "admin");
        EXPECT_EQ(dm_->tokens().redeem(token), std::nullopt);
    }
    EXPECT_EQ(dm_->logins_accepted(), 2u);
}

TEST_F(DmWebTest, TheServicePortFollowsTheWebPort) {
    EXPECT_EQ(dm_->service_port(), dm_->port() + 1);
}

// Refusals: v1 says so in its body, v2 by its status. The password holds
// '&', '=', '+', '%' and a space: sent form-encoded it is accepted; sent as
// it is, the field ends at the '&' and the login is refused.
TEST_F(DmWebTest, LoginChecksTheFormDecodedPassword) {
    struct Case {
        std::string form;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"username=operator&password=" + form_encode("p&w=+% 1"), true},
        {"password=" + form_encode("p&w=+% 1") + "&username=operator", true},
        {"username=operator&password=p&w=+% 1", false},
        {"username=operator&password=p%26w%3D%2B%25+1", true},
        {"username=operator&password=wrong", false},
        {"username=Operator&password=" + form_encode("p&w=+% 1"), false},
        {"username=admin", false},
        {"", false},
    };
    for (const int version : {1, 2}) {
        const std::string path = version == 1 ? "/api/login" : "/avnapi/v2/login";
        for (const Case& login_case : cases) {
            SCOPED_TRACE(std::to_string(version) + " " + login_case.form);
            const httplib::Result result = login(path, login_case.form);
            ASSERT_TRUE(result);
            const Json answer = parse_json(result->body);
            ASSERT_TRUE(answer) << result->body;
            if (login_case.accepted) {
                EXPECT_EQ(result->status, 200);
                EXPECT_NE(json_object_get(answer.get(), "authToken"), nullptr);
            } else if (version == 1) {
                EXPECT_EQ(result->status, 200);
                EXPECT_EQ(result->body, R"({"error":"401"})");
            } else {
                EXPECT_EQ(result->status, 401);
                EXPECT_EQ(json_object_get(answer.get(), "authToken"), nullptr);
            }
        }
    }
    EXPECT_EQ(dm_->logins_accepted(), 6u);
    EXPECT_EQ(dm_->logins_refused(), 10u);
    EXPECT_EQ(dm_->tokens().outstanding(), 6u);
}

TEST_F(DmWebTest, OnlyTheOfferedVersionsLoginPathExists) {
    dm_->set_api(DmApi::V1);
    httplib::Result result = login("/avnapi/v2/login", "username=admin&password=admin");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    dm_->set_api(DmApi::V2);
    result = login("/api/login", "username=admin&password=admin");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    EXPECT_EQ(dm_->tokens().outstanding(), 0u);
}

TEST_F(DmWebTest, LoginFaultsAnswerWithoutAToken) {
    // The answer's body is kept as text with a flag: GCC 12 warns wrongly
    // about an optional inside an aggregate table.
    struct Case {
        int answer_status;
        const char* answer_body;  // null: the usual body
        int status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {403, nullptr, 403, R"({"error":"403"})"},
        {500, nullptr, 500, R"({"error":"500"})"},
        {0, R"({"error":"401 "})", 200, R"({"error":"401 "})"},
        {0, R"({"authToken":"abc","service":"8443"})", 200, R"({"authToken":"abc","service":"8443"})"},
    };
    for (const Case& fault : cases) {
        SCOPED_TRACE(fault.body);
        sim::DmAnswer answer;
        answer.status = fault.answer_status;
        if (fault.answer_body != nullptr) {
            answer.body = fault.answer_body;
        }
        dm_->set_answer(DmEndpoint::Login, answer);
        const httplib::Result result = login("/avnapi/v2/login", "username=admin&password=admin");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, fault.status);
        EXPECT_EQ(result->body, fault.body);
    }
    EXPECT_EQ(dm_->tokens().outstanding(), 0u);
}

// Each certificate is presented as chosen, and only the untrusted one fails
// against the test root.
TEST_F(DmWebTest, PresentsTheChosenCertificate) {
    for (const DmCertificate certificate : {DmCertificate::Server, DmCertificate::Pinned,
                                            DmCertificate::Other, DmCertificate::Untrusted}) {
        SCOPED_TRACE(sim::dm_certificate_name(certificate));
        dm_->set_certificate(certificate);
        const std::optional<Presented> presented = handshake(dm_->port());
        ASSERT_TRUE(presented);
        EXPECT_EQ(presented->public_key,
                  public_key_of(sim::dm_certificate_pem(certificate).certificate));
        EXPECT_EQ(presented->trusted, certificate != DmCertificate::Untrusted);
    }
    // A client that checks the certificate gives up on the untrusted one.
    const httplib::Result result = client()->Get("/avnapi");
    EXPECT_FALSE(result);
}

TEST_F(DmWebTest, KeyChangePresentsTheOtherKeyFromTheSecondConnectionOn) {
    dm_->set_certificate(DmCertificate::Pinned);
    ASSERT_TRUE(handshake(dm_->port()));  // before the fault: not counted
    dm_->set_key_change(true);
    const std::string pinned =
        public_key_of(sim::dm_certificate_pem(DmCertificate::Pinned).certificate);
    const std::string other =
        public_key_of(sim::dm_certificate_pem(DmCertificate::Other).certificate);
    ASSERT_NE(pinned, other);
    for (const std::string* expected : {&pinned, &other, &other}) {
        const std::optional<Presented> presented = handshake(dm_->port());
        ASSERT_TRUE(presented);
        EXPECT_EQ(presented->public_key, *expected);
    }
    dm_->set_key_change(false);
    const std::optional<Presented> presented = handshake(dm_->port());
    ASSERT_TRUE(presented);
    EXPECT_EQ(presented->public_key, pinned);
    EXPECT_EQ(dm_->tls_connections(), 5u);
}

// Connections the server closed linger on the port; it opens again anyway.
TEST_F(DmWebTest, AClosedPortRefusesAndOpensAgainOnTheSamePort) {
    const uint16_t port = dm_->port();
    ASSERT_TRUE(client()->Get("/avnapi"));
    ASSERT_EQ(dm_->set_closed(true), AUD_SUCCESS);
    EXPECT_FALSE(handshake(port));
    ASSERT_EQ(dm_->set_closed(false), AUD_SUCCESS);
    EXPECT_EQ(dm_->port(), port);
    EXPECT_TRUE(handshake(port));
}

TEST_F(DmWebTest, ASecondServiceCannotTakeThePort) {
    sim::DmSettings same = settings_;
    same.port = dm_->port();
    sim::DmWebService second(log_, same);
    EXPECT_EQ(second.start(), AUD_ERR_ADDRINUSE);
    EXPECT_TRUE(client()->Get("/avnapi"));
}

TEST_F(DmWebTest, ADelayedAnswerComesLate) {
    dm_->set_delay(std::chrono::milliseconds(300));
    const auto begun = std::chrono::steady_clock::now();
    const httplib::Result result = client()->Get("/avnapi");
    ASSERT_TRUE(result);
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(300));
    // Stopping does not wait for the delay to run out.
    dm_->set_delay(std::chrono::seconds(60));
    const size_t connections = dm_->tls_connections();
    auto pending = std::async(std::launch::async, [this] { return client()->Get("/avnapi"); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (dm_->tls_connections() == connections && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto stopping = std::chrono::steady_clock::now();
    dm_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10));
    pending.wait_for(std::chrono::seconds(10));
}

// The simulated network runs the web side only when asked to.
TEST(DmInNetwork, StartsWhenEnabled) {
    sim::SimOptions options = sim::options_on_free_ports();
    options.units = sim::default_units();
    {
        sim::SimNetwork network(options);
        ASSERT_EQ(network.start(), AUD_SUCCESS);
        EXPECT_EQ(network.dm(), nullptr);
    }
    options.dm.enabled = true;
    options.dm.port = 0;
    sim::SimNetwork network(options);
    ASSERT_EQ(network.start(), AUD_SUCCESS);
    ASSERT_NE(network.dm(), nullptr);
    ASSERT_NE(network.dm()->port(), 0);
    EXPECT_TRUE(handshake(network.dm()->port()));
}

}  // namespace
