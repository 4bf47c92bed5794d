// What the simulator's DNS-SD responder runs with, and the command-line
// options that set it: --mdns, --mdns-interface NAME, --mdns-control PORT,
// --mdns-ttl SECONDS and --mdns-txt "NAME;STRING;STRING...".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace sim {

// A device's conmon TXT record given string by string instead of the one
// the simulator makes, for tests of odd adverts (no "mf", a bad "model").
struct MdnsTxtOverride {
    std::string device;
    std::vector<std::string> strings;
};

struct MdnsSettings {
    bool enabled = false;
    // The interface to advertise on; empty: every multicast interface.
    std::string interface_name = "lo";
    // UDP port on 127.0.0.1 for run-time commands (0: the system chooses;
    // the control socket exists only when `control` is set).
    bool control = false;
    uint16_t control_port = 0;
    // 0: the usual lifetimes (120 s for SRV and A, 4500 s for the others).
    uint32_t ttl = 0;
    std::vector<MdnsTxtOverride> txt_overrides;
};

// Declares the responder's options on avn-sim's command line; they write
// into *settings, which must outlive the app.
void add_mdns_options(CLI::App& app, MdnsSettings* settings);

}  // namespace sim
