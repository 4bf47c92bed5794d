// What the simulated connection manager runs with (its port, the networks it
// offers, its timing and the faults in force from the start) and the
// command-line options that set them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "avn/domain/cmm_messages.h"
#include "avn/domain/dgcp2_codec.h"

namespace CLI {
class App;
}

namespace sim {

inline constexpr uint16_t kDefaultCmmPort = CMM_DEFAULT_PORT;  // 8850

using MacAddress = std::array<uint8_t, CMM_MAC_SIZE>;

// One network interface of the computer that the service offers.
struct CmmNetwork {
    std::u16string name;  // 1 to 63 UTF-16 code units
    MacAddress mac{};
};

struct CmmSettings {
    uint16_t port = kDefaultCmmPort;  // 0: the system chooses
    // The offered networks, in order; empty offers default_cmm_networks().
    // The first one is the configuration in force at start.
    std::vector<CmmNetwork> networks;
    // The computer's AVN device name in the state (at most 31 bytes are sent).
    std::string device_name = "avn-sim";
    // How long a configuration change stays "Changing" before it is "Ready".
    std::chrono::milliseconds apply_delay{200};
    // How long the service takes to answer a CONNECT (a slow or busy
    // service); other requests are answered at once.
    std::chrono::milliseconds connect_delay{0};
    // A client is sent a keepalive after this long without any other message
    // from the service (the client gives up after 31 s).
    std::chrono::milliseconds keepalive_interval{10000};
    // A client not heard from for this long is forgotten (0: never). The
    // client sends a keepalive every 10 s.
    std::chrono::milliseconds client_timeout{35000};

    // Faults in force from the start (all of them can be changed later).
    bool silent = false;
    bool refuse = false;
    uint16_t refuse_kind = DGCP2_KIND_SERVER_ERROR;

    bool quiet = false;  // no log lines
};

// "Ethernet" (02:53:49:4d:00:01) and "Ethernet 2" (02:53:49:4d:00:02).
std::vector<CmmNetwork> default_cmm_networks();
// The settings' networks, or the defaults when none are given.
std::vector<CmmNetwork> offered_networks(const CmmSettings& settings);
// The records as they go on the wire (at most 16 networks, names cut to 63
// units).
cmm_interface cmm_interface_record(const CmmNetwork& network);
cmm_options cmm_options_record(const std::vector<CmmNetwork>& networks);

// ---- Command line ----
// --cmm-port PORT, --network NAME[,mac=XX:XX:XX:XX:XX:XX] (repeatable),
// --cmm-silent, --cmm-refuse, --cmm-apply-delay MS, --cmm-connect-delay MS;
// numbers may be hexadecimal with 0x.

// Declares the connection manager's options on avn-sim's command line; they
// write into *settings, which must outlive the app.
void add_cmm_options(CLI::App& app, CmmSettings* settings);
// A whole list of the connection manager's options; any other argument is an
// error. Returns the error line, empty when every argument was understood.
std::string parse_cmm_options(std::span<const std::string_view> arguments, CmmSettings* settings);

// ---- Helpers (exposed for the tests) ----

// Well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF)
// to UTF-16; none for anything else.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
// UTF-16 to UTF-8 for log lines; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
// Six pairs of hexadecimal digits separated by ':'.
std::optional<MacAddress> parse_mac(std::string_view text);
std::string mac_text(const MacAddress& mac);

}  // namespace sim
