// What the simulated Domain Manager's web side runs with (its port, its
// users, the interface versions it offers, the certificate it presents and
// the faults in force from the start) and the command-line options that set
// them: --dm, --dm-port, --dm-service-port, --dm-user NAME:PASSWORD,
// --dm-domain NAME[,id=N][,role=R][,access=HEX], --dm-dns-port PORT,
// --dm-api v1|v2|both, --dm-cert server|pinned|other|untrusted and
// --dm-fault NAME[=VALUE].
#pragma once

#include "avn/domain/dm_domain_list.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace sim {

inline constexpr uint16_t kDefaultDmPort = 8999;

// Which interface versions /avnapi offers, and so which login paths exist.
enum class DmApi { V1, V2, Both };

// The test certificates the service can present.
enum class DmCertificate {
    Server,     // the usual one, under the test root
    Pinned,     // its key is the test build's stored pin
    Other,      // a second key under the test root
    Untrusted,  // under a root that nobody trusts
    Expired,    // under the test root, expired
    NotYetValid,  // under the test root, valid only from 2090
    WrongName,  // under the test root, for another host name
};

// A user that may log in. The password is wiped from memory when the user
// is dropped (copies included).
struct DmUser {
    std::string name;
    std::string password;

    DmUser() = default;
    DmUser(std::string name_, std::string password_)
        : name(std::move(name_)), password(std::move(password_)) {}
    DmUser(const DmUser&) = default;
    DmUser(DmUser&&) noexcept = default;
    DmUser& operator=(const DmUser& other);
    DmUser& operator=(DmUser&& other) noexcept;
    ~DmUser();
};

// What one endpoint answers instead of its usual answer. A status of 0
// keeps the usual status; no body keeps the usual body, except that a login
// given only a status answers {"error":"STATUS"}.
struct DmAnswer {
    int status = 0;
    std::optional<std::string> body;
};

struct DmFaults {
    // The first TLS connection presents the chosen certificate, every later
    // one the "other" certificate.
    bool key_change = false;
    std::optional<DmAnswer> identify;
    std::optional<DmAnswer> login;
    std::chrono::milliseconds delay{0};  // before every answer
    bool closed = false;                 // nothing listens on the port
};

struct DmSettings {
    bool enabled = false;
    std::string host = "127.0.0.1";
    uint16_t port = kDefaultDmPort;  // 0: the system chooses
    // The connection service's port that login hands out; none: the web
    // port + 1 (the port actually bound, when the web port is 0).
    std::optional<uint16_t> service_port;
    std::vector<DmUser> users;  // none: "admin" with password "admin"
    DmApi api = DmApi::Both;
    DmCertificate certificate = DmCertificate::Server;
    DmFaults faults;
    // The domains of the connection service's list; none: two of them
    // ("Studio A", id 1, role 3; "Studio B", id 2, role 1).
    std::vector<dm_domain_item> domains;
    // The unicast DNS server that answers the service's SRV record
    // ("default._avn-dm-c._tcp.avn.test"); none: no such server.
    std::optional<uint16_t> dns_port;
};

// The uuid of the simulated domain with this id: D0, zeros, the id (big-endian).
avn_domain_uuid dm_domain_uuid(uint16_t id);

// The users the settings give, or the default one.
std::vector<DmUser> dm_users(const DmSettings& settings);

const char* dm_api_name(DmApi api);
const char* dm_certificate_name(DmCertificate certificate);

// Declares the Domain Manager's options on avn-sim's command line; they
// write into *settings, which must outlive the app.
void add_dm_options(CLI::App& app, DmSettings* settings);

}  // namespace sim
