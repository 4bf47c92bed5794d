// The Domain Manager's options on avn-sim's command line.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace {

using sim::DmApi;
using sim::DmCertificate;
using sim::DmSettings;

TEST(DmOptions, DefaultsLeaveItOff) {
    const sim::ParsedOptions parsed = sim::parse_sim_options({});
    ASSERT_EQ(parsed.error, "");
    const DmSettings& dm = parsed.options.dm;
    EXPECT_FALSE(dm.enabled);
    EXPECT_EQ(dm.port, 8999);
    EXPECT_FALSE(dm.service_port.has_value());
    EXPECT_EQ(dm.host, "127.0.0.1");
    EXPECT_EQ(dm.api, DmApi::Both);
    EXPECT_EQ(dm.certificate, DmCertificate::Server);
    ASSERT_EQ(sim::dm_users(dm).size(), 1u);
    EXPECT_EQ(sim::dm_users(dm)[0].name, "admin");
}

struct Accepted {
    std::vector<std::string_view> arguments;
    std::function<void(const DmSettings&)> check;
};

TEST(DmOptions, ValuesAreTaken) {
    const std::vector<Accepted> cases = {
        {{"--dm", "--dm-port", "0"},
         [](const DmSettings& dm) {
             EXPECT_TRUE(dm.enabled);
             EXPECT_EQ(dm.port, 0);
         }},
        {{"--dm-port=18999", "--dm-service-port", "19000"},
         [](const DmSettings& dm) {
             EXPECT_FALSE(dm.enabled);
             EXPECT_EQ(dm.port, 18999);
             EXPECT_EQ(dm.service_port, 19000);
         }},
        // The password is everything after the first colon, spaces and all.
        {{"--dm-user", "alice:se:cr et", "--dm-user=bob:"},
         [](const DmSettings& dm) {
             ASSERT_EQ(dm.users.size(), 2u);
             EXPECT_EQ(dm.users[0].name, "alice");
             EXPECT_EQ(dm.users[0].password, "se:cr et");
             EXPECT_EQ(dm.users[1].name, "bob");
             EXPECT_EQ(dm.users[1].password, "");
         }},
        {{"--dm-api", "v1", "--dm-cert", "pinned"},
         [](const DmSettings& dm) {
             EXPECT_EQ(dm.api, DmApi::V1);
             EXPECT_EQ(dm.certificate, DmCertificate::Pinned);
         }},
        {{"--dm-api=v2", "--dm-cert=other"},
         [](const DmSettings& dm) {
             EXPECT_EQ(dm.api, DmApi::V2);
             EXPECT_EQ(dm.certificate, DmCertificate::Other);
         }},
        {{"--dm-fault", "untrusted", "--dm-fault", "key-change", "--dm-fault", "closed",
          "--dm-fault=delay=1500"},
         [](const DmSettings& dm) {
             EXPECT_EQ(dm.certificate, DmCertificate::Untrusted);
             EXPECT_TRUE(dm.faults.key_change);
             EXPECT_TRUE(dm.faults.closed);
             EXPECT_EQ(dm.faults.delay, std::chrono::milliseconds(1500));
             EXPECT_FALSE(dm.faults.identify.has_value());
             EXPECT_FALSE(dm.faults.login.has_value());
         }},
        // A login status and a login body combine; identify's are apart.
        {{"--dm-fault", "status=403", "--dm-fault", "truncated", "--dm-fault", "no-version"},
         [](const DmSettings& dm) {
             ASSERT_TRUE(dm.faults.login.has_value());
             EXPECT_EQ(dm.faults.login->status, 403);
             EXPECT_EQ(dm.faults.login->body, R"({"authToken":"5f3a9c)");
             ASSERT_TRUE(dm.faults.identify.has_value());
             EXPECT_EQ(dm.faults.identify->status, 0);
             EXPECT_EQ(dm.faults.identify->body, R"(["v9"])");
         }},
        {{"--dm-fault", "identify-status=500", "--dm-fault", "identify-malformed", "--dm-fault",
          "malformed"},
         [](const DmSettings& dm) {
             ASSERT_TRUE(dm.faults.identify.has_value());
             EXPECT_EQ(dm.faults.identify->status, 500);
             EXPECT_EQ(dm.faults.identify->body, R"({"versions":2})");
             ASSERT_TRUE(dm.faults.login.has_value());
             EXPECT_EQ(dm.faults.login->status, 0);
             EXPECT_EQ(dm.faults.login->body, R"({"result":"ok","user":"admin"})");
         }},
        {{"--dm-fault", "identify-truncated"},
         [](const DmSettings& dm) {
             ASSERT_TRUE(dm.faults.identify.has_value());
             EXPECT_EQ(dm.faults.identify->body, R"(["v2","v)");
         }},
    };
    for (const Accepted& accepted : cases) {
        SCOPED_TRACE(accepted.arguments.front());
        const sim::ParsedOptions parsed = sim::parse_sim_options(accepted.arguments);
        ASSERT_EQ(parsed.error, "");
        accepted.check(parsed.options.dm);
    }
}

TEST(DmOptions, BadValuesAreRefused) {
    const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
        {{"--dm=1"}, "--dm takes no value"},
        {{"--dm-port"}, "--dm-port needs a value"},
        {{"--dm-port", "65536"}, "--dm-port: not a port number: 65536"},
        {{"--dm-service-port=-1"}, "--dm-service-port: not a port number: -1"},
        {{"--dm-api", "v3"}, "--dm-api: v1, v2 or both, not v3"},
        {{"--dm-cert", "self"}, "--dm-cert: server, pinned, other, untrusted, expired, notyet or wrongname, not self"},
        // The value is not repeated: it may hold a password.
        {{"--dm-user", "secret-without-name"}, "--dm-user: not NAME:PASSWORD with a name"},
        {{"--dm-user", ":secret"}, "--dm-user: not NAME:PASSWORD with a name"},
        {{"--dm-fault", "melted"}, "--dm-fault: unknown fault: melted"},
        {{"--dm-fault", "status=99"}, "--dm-fault status=N: an HTTP status from 100 to 599"},
        {{"--dm-fault", "status"}, "--dm-fault status=N: an HTTP status from 100 to 599"},
        {{"--dm-fault", "delay=soon"}, "--dm-fault delay=MS: milliseconds from 0 to 600000"},
        {{"--dm-fault", "key-change=1"}, "--dm-fault key-change takes no value"},
    };
    for (const auto& [arguments, error] : cases) {
        SCOPED_TRACE(error);
        EXPECT_EQ(sim::parse_sim_options(arguments).error, error);
    }
}

}  // namespace
