#include "avn/domain/auth_answers.h"

#include <gtest/gtest.h>

#include <string>

#include <jansson.h>
#include <vector>

#include "avn/domain/secret_buffer.h"
#include "avn/domain/x509_fingerprint.h"
#include "sim/dm/dm_certificates.h"

namespace {

struct IdentifyCase {
    const char* body;
    bool well_formed;
    uint16_t version;
};

// First in this program: a value the program makes with jansson before any
// answer is read, and frees after, goes through one allocator only.
TEST(AuthAnswers, JsonValuesMadeBeforeTheFirstAnswerAreFreedSafely) {
    json_t* before = json_string("made before any answer was read");
    ASSERT_NE(before, nullptr);
    const auth_login_answer answer =
        auth_parse_login(R"({"authToken":"t","servicePort":8443})", 2, 200);
    EXPECT_EQ(answer.code, AVNAPI_AUTH_SUCCESS);
    json_decref(before);
}

TEST(AuthIdentifyAnswer, FirstKnownVersionOfAnArrayOfStrings) {
    const IdentifyCase cases[] = {
        {R"(["v3","v2","v1"])", true, 2},  // unknown first, then the first known one
        {R"(["v1","v2"])", true, 1},
        {R"([7,"v2"])", true, 2},          // non-strings are passed over
        {R"(["v3"])", true, 0},            // well formed, nothing we speak
        {R"([])", false, 0},
        {R"([1,2])", false, 0},
        {R"({"a":1})", false, 0},          // not an array at all
        {R"("v1")", false, 0},
        {"", false, 0},
        {R"(["v1")", false, 0},            // truncated
    };
    for (const IdentifyCase& c : cases) {
        const auth_identify_answer answer = auth_parse_identify(c.body);
        EXPECT_EQ(answer.well_formed, c.well_formed) << c.body;
        EXPECT_EQ(answer.version, c.version) << c.body;
    }
}

TEST(AuthIdentifyAnswer, ParseErrorCarriesLineAndText) {
    const auth_identify_answer answer = auth_parse_identify("[\n\"v1\",\n}");
    EXPECT_TRUE(answer.error.failed);
    EXPECT_EQ(answer.error.line, 3);
    EXPECT_FALSE(answer.error.text.empty());
}

struct LoginCase {
    const char* what;
    uint16_t version;
    long status;
    std::string body;
    int code;
    std::string token;
    uint16_t port;
};

TEST(AuthLoginAnswer, CodesTokensAndPorts) {
    const std::string long_token(300, 't');
    const LoginCase cases[] = {
        {"v1 accepted", 1, 200, R"({"authToken":"t","service":"dm.example:8443"})", 0, "t", 8443},
        {"v1 refused", 1, 401, R"({"error":"401"})", 1, "", 0},
        {"v1 400 and 404 refuse too", 1, 200, R"({"error":"404","authToken":"t","service":"h:1"})",
         1, "", 0},
        {"v1 error not a whole number", 1, 200,
         R"({"error":"401 ","authToken":"t","service":"h:8443"})", 0, "t", 8443},
        {"v1 other error number", 1, 200, R"({"error":"500","authToken":"t","service":"h:2"})", 0,
         "t", 2},
        {"v1 service without host", 1, 200, R"({"authToken":"t","service":"8443"})", 6, "", 0},
        {"v1 service port too large", 1, 200, R"({"authToken":"t","service":"h:70000"})", 6, "", 0},
        {"v1 status is not looked at", 1, 500, R"({"authToken":"t","service":"h:9"})", 0, "t", 9},
        {"v2 accepted", 2, 200, R"({"authToken":"t2","servicePort":9000})", 0, "t2", 9000},
        {"v2 forbidden", 2, 403, R"({"authToken":"t2","servicePort":9000})", 1, "", 0},
        {"v2 unauthorised without a body", 2, 401, "", 1, "", 0},
        {"v2 server error", 2, 500, "{}", 2, "", 0},
        {"v2 port as text", 2, 200, R"({"authToken":"t","servicePort":"9000"})", 6, "", 0},
        {"v2 port out of range", 2, 200, R"({"authToken":"t","servicePort":65536})", 6, "", 0},
        {"v2 no port", 2, 200, R"({"authToken":"t"})", 6, "", 0},
        {"missing token", 2, 200, R"({"servicePort":9000})", 6, "", 0},
        {"empty token", 2, 200, R"({"authToken":"","servicePort":9000})", 6, "", 0},
        {"token not a string", 2, 200, R"({"authToken":5,"servicePort":9000})", 6, "", 0},
        {"array instead of object", 2, 200, R"(["authToken"])", 6, "", 0},
        {"long token is cut", 2, 200, R"({"authToken":")" + long_token + R"(","servicePort":1})", 0,
         std::string(255, 't'), 1},
        {"not JSON", 1, 200, "<html>", 6, "", 0},
    };
    for (const LoginCase& c : cases) {
        const auth_login_answer answer = auth_parse_login(c.body, c.version, c.status);
        EXPECT_EQ(answer.code, c.code) << c.what;
        EXPECT_EQ(answer.token.view(), c.token) << c.what;
        EXPECT_EQ(answer.service_port, c.port) << c.what;
    }
}

TEST(AuthLoginAnswer, ParseErrorNeverQuotesTheBody) {
    const auth_login_answer answer =
        auth_parse_login(R"({"authToken":"very-secret-token)", 2, 200);
    EXPECT_EQ(answer.code, AVNAPI_AUTH_MALFORMED);
    EXPECT_TRUE(answer.error.failed);
    EXPECT_EQ(answer.error.text.find("secret"), std::string::npos) << answer.error.text;
}

TEST(AuthLoginAnswer, Version1ServerErrorIsReported) {
    const auth_login_answer answer = auth_parse_login(R"({"error":"401"})", 1, 401);
    EXPECT_TRUE(answer.has_server_error);
    EXPECT_EQ(answer.server_error, "401");
}

// libcurl lists the chain the server sent, its own certificate first: the
// identity is that one's key, never the root's (which every server under
// the root shares).
TEST(AuthCertinfo, AChainIsIdentifiedByTheServersOwnKey) {
    const std::string leaf =
        std::string("Cert:") + sim::dm_certificate_pem(sim::DmCertificate::Server).certificate;
    const std::string root = std::string("Cert:") + sim::dm_test_ca_pem();
    const std::vector<std::string_view> chain = {"Subject:CN=avn-sim", leaf, "Subject:CN=root",
                                                 root};
    const std::string identity = auth_identity_from_certinfo(chain);
    EXPECT_EQ(identity,
              get_x509_fingerprint_pem(sim::dm_certificate_pem(sim::DmCertificate::Server).certificate));
    EXPECT_NE(identity, get_x509_fingerprint_pem(sim::dm_test_ca_pem()));
}

TEST(AuthCertinfo, IdentityNeedsACertificateEntry) {
    const std::vector<std::string_view> none = {"Subject:CN=x", "Issuer:CN=y"};
    EXPECT_EQ(auth_identity_from_certinfo(none), "");
    const std::vector<std::string_view> garbage = {"Cert:-----BEGIN CERTIFICATE-----\nAAAA\n"};
    EXPECT_EQ(auth_identity_from_certinfo(garbage), "");
}

TEST(SecretBuffer, GrowsKeepsATerminatorAndRefusesBeyondItsLimit) {
    SecretBuffer buffer;
    EXPECT_STREQ(buffer.c_str(), "");
    const std::string chunk(1000, 'x');
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(buffer.append(chunk.data(), chunk.size()));
    }
    EXPECT_EQ(buffer.size(), 5000u);
    EXPECT_EQ(buffer.c_str()[5000], '\0');
    const std::string too_much(SecretBuffer::max_size(), 'y');
    EXPECT_FALSE(buffer.append(too_much.data(), too_much.size()));
    EXPECT_EQ(buffer.size(), 5000u);

    SecretBuffer moved(std::move(buffer));
    EXPECT_EQ(moved.size(), 5000u);
    EXPECT_TRUE(buffer.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty
    moved.clear();
    EXPECT_TRUE(moved.empty());
    EXPECT_STREQ(moved.c_str(), "");
}

TEST(AuthAnswers, ServerTextIsMadeFitForOneLogLine) {
    struct Case {
        std::string text;
        size_t limit;
        std::string expected;
    };
    const Case cases[] = {
        {"401", 200, "401"},
        {"bad\nFAKE: logged in\r", 200, "bad\\x0AFAKE: logged in\\x0D"},
        {"tab\there\\", 200, "tab\\x09here\\\\"},
        {std::string(300, 'e'), 200, std::string(200, 'e') + "..."},
        {std::string("nul\0in", 6), 200, "nul\\x00in"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(auth_printable_text(c.text, c.limit), c.expected);
    }
}

}  // namespace

