// What the simulated network runs with: its devices, the conmon server's
// settings and the faults in force from the start; and the command line
// that sets them.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/cmm/cmm_options.h"
#include "sim/conmon_server.h"
#include "sim/datagram_faults.h"
#include "sim/dm/dm_settings.h"
#include "sim/foreign_device.h"
#include "sim/mdns_options.h"
#include "sim/tpx2_unit.h"

namespace sim {

struct SimOptions {
    ConmonServerSettings conmon;
    CmmSettings cmm;
    MdnsSettings mdns;
    DmSettings dm;
    std::vector<Tpx2UnitSettings> units;
    std::vector<ForeignDeviceSettings> devices;
    bool quiet = false;

    // Faults in force from the start (all of them can be changed later).
    bool silent = false;
    std::vector<std::string> muted_devices;
    std::chrono::milliseconds delay{0};
    DatagramFaultSettings faults_to_clients;
    DatagramFaultSettings faults_from_clients;
};

// The units started when the command line names no device.
std::vector<Tpx2UnitSettings> default_units();

// avn-sim run inside a test or a benchmark: quiet, with its conmon server
// and connection manager on free ports of 127.0.0.1 (so that several can run
// at once), and no units yet.
SimOptions options_on_free_ports();

struct ParsedOptions {
    SimOptions options;
    bool help = false;
    bool version = false;
    std::string error;  // empty when the command line was understood
};

// The arguments after the program's name. Values follow their option as the
// next argument or after '='.
ParsedOptions parse_sim_options(std::span<const std::string_view> arguments);

// The text of --help, generated from the declaration of the command line.
std::string sim_usage();

}  // namespace sim
