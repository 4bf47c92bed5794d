#include "sim/dm/dm_settings.h"

#include <charconv>

#include "sim/command_line.h"
#include "sim/dm/dm_secret.h"

namespace sim {

namespace {

std::optional<uint32_t> parse_decimal(std::string_view text) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint16_t> parse_port(std::string_view text) {
    const auto number = parse_decimal(text);
    if (!number || *number > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*number);
}

// --dm-fault's value; an empty result when it was understood.
// "NAME[,id=N][,role=R][,access=HEX]"; an error line, or empty.
std::string parse_domain(std::string_view text, size_t index, dm_domain_item* out) {
    const size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    if (name.empty() || name.size() >= AVN_DOMAIN_NAME_SIZE) {
        return "--dm-domain: a name of 1 to 127 characters";
    }
    out->name = std::string(name);
    out->id = static_cast<uint16_t>(index + 1);
    out->role = 1;
    std::string_view rest =
        comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    while (!rest.empty()) {
        const size_t next = rest.find(',');
        const std::string_view field = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        const size_t equals = field.find('=');
        const std::string_view key = field.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : field.substr(equals + 1);
        uint32_t number = 0;
        const int base = key == "access" ? 16 : 10;
        const auto [end, failure] =
            std::from_chars(value.data(), value.data() + value.size(), number, base);
        if (value.empty() || failure != std::errc() || end != value.data() + value.size()) {
            return "--dm-domain: not a number in " + std::string(field);
        }
        if (key == "id" && number >= 1 && number < 0xFFFF) {
            out->id = static_cast<uint16_t>(number);
        } else if (key == "role" && number <= 0xFFFF) {
            out->role = static_cast<uint16_t>(number);
        } else if (key == "access" && number < (1u << 28)) {
            dm_domain_item::access_block block;
            for (size_t i = 0; i < 4; ++i) {
                block.value[i] = static_cast<uint8_t>(number >> (8 * i));
            }
            out->access = block;
        } else {
            return "--dm-domain: " + std::string(field) +
                   " (id 1 to 65534, role 0 to 65535, access up to 0FFFFFFF)";
        }
    }
    out->uuid = dm_domain_uuid(*out->id);
    return {};
}

std::string apply_fault(std::string_view text, DmSettings* settings) {
    const size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    const bool has_value = equals != std::string_view::npos;
    const std::string_view value = has_value ? text.substr(equals + 1) : std::string_view{};
    DmFaults& faults = settings->faults;
    if (name == "status" || name == "identify-status") {
        const auto status = has_value ? parse_decimal(value) : std::nullopt;
        if (!status || *status < 100 || *status > 599) {
            return "--dm-fault " + std::string(name) + "=N: an HTTP status from 100 to 599";
        }
        std::optional<DmAnswer>& answer = name == "status" ? faults.login : faults.identify;
        if (!answer) {
            answer.emplace();
        }
        answer->status = static_cast<int>(*status);
        return {};
    }
    if (name == "delay") {
        const auto delay = has_value ? parse_decimal(value) : std::nullopt;
        if (!delay || *delay > 600000) {
            return "--dm-fault delay=MS: milliseconds from 0 to 600000";
        }
        faults.delay = std::chrono::milliseconds(*delay);
        return {};
    }
    if (has_value) {
        return "--dm-fault " + std::string(name) + " takes no value";
    }
    if (name == "untrusted") {
        settings->certificate = DmCertificate::Untrusted;
    } else if (name == "key-change") {
        faults.key_change = true;
    } else if (name == "closed") {
        faults.closed = true;
    } else if (name == "malformed" || name == "truncated") {
        if (!faults.login) {
            faults.login.emplace();
        }
        faults.login->body =
            name == "malformed" ? R"({"result":"ok","user":"admin"})" : R"({"authToken":"5f3a9c)";
    } else if (name == "identify-malformed" || name == "identify-truncated" ||
               name == "no-version") {
        if (!faults.identify) {
            faults.identify.emplace();
        }
        faults.identify->body = name == "identify-malformed"   ? R"({"versions":2})"
                                : name == "identify-truncated" ? R"(["v2","v)"
                                                               : R"(["v9"])";
    } else {
        return "--dm-fault: unknown fault: " + std::string(text);
    }
    return {};
}

}  // namespace

DmUser& DmUser::operator=(const DmUser& other) {
    if (this != &other) {
        wipe_secret(password);
        name = other.name;
        password = other.password;
    }
    return *this;
}

DmUser& DmUser::operator=(DmUser&& other) noexcept {
    if (this != &other) {
        wipe_secret(password);
        name = std::move(other.name);
        password = std::move(other.password);
        wipe_secret(other.password);
    }
    return *this;
}

DmUser::~DmUser() {
    wipe_secret(password);
}

avn_domain_uuid dm_domain_uuid(uint16_t id) {
    avn_domain_uuid uuid{};
    uuid.bytes[0] = 0xD0;
    uuid.bytes[14] = static_cast<uint8_t>(id >> 8);
    uuid.bytes[15] = static_cast<uint8_t>(id);
    return uuid;
}

std::vector<DmUser> dm_users(const DmSettings& settings) {
    if (!settings.users.empty()) {
        return settings.users;
    }
    return {DmUser("admin", "admin")};
}

const char* dm_api_name(DmApi api) {
    switch (api) {
        case DmApi::V1:
            return "v1";
        case DmApi::V2:
            return "v2";
        case DmApi::Both:
            return "both";
    }
    return "?";
}

const char* dm_certificate_name(DmCertificate certificate) {
    switch (certificate) {
        case DmCertificate::Server:
            return "server";
        case DmCertificate::Pinned:
            return "pinned";
        case DmCertificate::Other:
            return "other";
        case DmCertificate::Untrusted:
            return "untrusted";
        case DmCertificate::Expired:
            return "expired";
        case DmCertificate::NotYetValid:
            return "notyet";
        case DmCertificate::WrongName:
            return "wrongname";
    }
    return "?";
}

namespace {

// The value of a port option: an error line or empty.
template <typename Target>
OptionValueApply port_value(const char* name, Target* target) {
    return [name, target](std::string_view value) -> std::string {
        const auto port = parse_port(value);
        if (!port) {
            return std::string(name) + ": not a port number: " + std::string(value);
        }
        *target = *port;
        return {};
    };
}

}  // namespace

void add_dm_options(CLI::App& app, DmSettings* settings) {
    add_switch(app, "--dm", &settings->enabled,
               "serve the Domain Manager's identify (GET /avnapi) and\nlogin "
               "over HTTPS on 127.0.0.1")
        ->group(kDmGroup);
    add_value_option(app, "--dm-port", "PORT", port_value("--dm-port", &settings->port),
                     "TCP port (default 8999; 0: any free port)")
        ->group(kDmGroup);
    add_value_option(
        app, "--dm-service-port", "PORT", port_value("--dm-service-port", &settings->service_port),
        "the connection service's port that login hands out\n(default: the web port + 1)")
        ->group(kDmGroup);
    add_value_option(
        app, "--dm-user", "NAME:PASSWORD",
        [settings](std::string_view value) -> std::string {
            // The value is not repeated in the error: it holds a password.
            const size_t colon = value.find(':');
            if (colon == std::string_view::npos || colon == 0) {
                return "--dm-user: not NAME:PASSWORD with a name";
            }
            settings->users.emplace_back(std::string(value.substr(0, colon)),
                                         std::string(value.substr(colon + 1)));
            return {};
        },
        "a user that may log in (repeatable; default\nadmin:admin); the password is the text after "
        "the\nfirst ':'")
        ->group(kDmGroup);
    add_value_option(
        app, "--dm-domain", "NAME[,id=N][,role=R][,access=HEX]",
        [settings](std::string_view value) {
            dm_domain_item domain;
            std::string error = parse_domain(value, settings->domains.size(), &domain);
            if (error.empty()) {
                settings->domains.push_back(std::move(domain));
            }
            return error;
        },
        "a domain of the list (repeatable; default \"Studio A\"\nid 1 role 3 and \"Studio B\" id 2 "
        "role 1); "
        "access:\nthe user's access bits 0 to 27 in hexadecimal")
        ->group(kDmGroup);
    add_value_option(
        app, "--dm-dns-port", "PORT", port_value("--dm-dns-port", &settings->dns_port),
        "answer the SRV query for\ndefault._avn-dm-c._tcp.avn.test as a unicast DNS\nserver on "
        "this UDP port (with --mdns, the service is\nalso advertised by multicast DNS)")
        ->group(kDmGroup);
    add_value_option(
        app, "--dm-api", "v1|v2|both",
        [settings](std::string_view value) -> std::string {
            if (value == "v1") {
                settings->api = DmApi::V1;
            } else if (value == "v2") {
                settings->api = DmApi::V2;
            } else if (value == "both") {
                settings->api = DmApi::Both;
            } else {
                return "--dm-api: v1, v2 or both, not " + std::string(value);
            }
            return {};
        },
        "interface versions offered (default both: /avnapi\nanswers [\"v2\",\"v1\"]); only their "
        "login paths "
        "exist")
        ->group(kDmGroup);
    add_value_option(
        app, "--dm-cert", "server|pinned|other|untrusted|expired|notyet|wrongname",
        [settings](std::string_view value) -> std::string {
            if (value == "server") {
                settings->certificate = DmCertificate::Server;
            } else if (value == "pinned") {
                settings->certificate = DmCertificate::Pinned;
            } else if (value == "other") {
                settings->certificate = DmCertificate::Other;
            } else if (value == "untrusted") {
                settings->certificate = DmCertificate::Untrusted;
            } else if (value == "expired") {
                settings->certificate = DmCertificate::Expired;
            } else if (value == "notyet") {
                settings->certificate = DmCertificate::NotYetValid;
            } else if (value == "wrongname") {
                settings->certificate = DmCertificate::WrongName;
            } else {
                return "--dm-cert: server, pinned, other, untrusted, expired, notyet or wrongname, "
                       "not " +
                       std::string(value);
            }
            return {};
        },
        "test certificate presented (default server)")
        ->group(kDmGroup);
    add_value_option(
        app, "--dm-fault", "NAME[=VALUE]",
        [settings](std::string_view value) { return apply_fault(value, settings); },
        "a fault in force from the start (repeatable):\n"
        "  untrusted           present the untrusted\n"
        "                      certificate\n"
        "  key-change          the first connection presents\n"
        "                      the chosen certificate, every\n"
        "                      later one the other key\n"
        "  status=N            login answers HTTP status N,\n"
        "                      {\"error\":\"N\"}\n"
        "  identify-status=N   /avnapi answers HTTP status N\n"
        "  malformed           login answers JSON without a\n"
        "                      token\n"
        "  identify-malformed  /avnapi answers a JSON object,\n"
        "                      not an array\n"
        "  truncated           login's answer is cut off\n"
        "                      halfway\n"
        "  identify-truncated  /avnapi's answer is cut off\n"
        "                      halfway\n"
        "  no-version          /avnapi offers only [\"v9\"]\n"
        "  delay=MS            every answer leaves MS\n"
        "                      milliseconds late\n"
        "  closed              nothing listens on the port")
        ->group(kDmGroup);
}

}  // namespace sim
