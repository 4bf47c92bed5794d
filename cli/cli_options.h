// The command line of tpx2ctl, parsed into what to do. Pure: no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/parameters.h"

enum class CliCommand { Info, Get, Set, Watch, Networks, UseNetwork, Save, Load, Apply, Discover, Domains, Check, Inventory };

// How many units apply, check and inventory work on at once: by default, and
// at most (each unit in flight holds a client of the local conmon server,
// which serves a limited number of them). watch holds one for each unit it
// watches, so it watches at most kMaxApplyJobs units.
inline constexpr uint32_t kDefaultApplyJobs = 8;
inline constexpr uint32_t kMaxApplyJobs = 32;
// How long apply --discovered browses for units: by default, and at most.
inline constexpr uint32_t kDefaultDiscoverSeconds = 5;
inline constexpr uint32_t kMaxDiscoverSeconds = 60;

struct CliEndpoint {
    std::string host;
    uint16_t port = 0;
};

// Which Domain Manager to log in to, if any.
enum class CliDmMode { None, Address, Discover, Cloud };

inline constexpr uint16_t kDefaultDmPort = 8999;

struct CliDomainManager {
    CliDmMode mode = CliDmMode::None;
    std::string host;              // --dm
    uint16_t port = kDefaultDmPort;
    std::string user;              // --user
    bool password_stdin = false;   // the password is the first line of standard input
    // --dm-dns: the DNS server that --dm-discover asks instead of the
    // interface's (a simulated network's).
    std::optional<CliEndpoint> dns;
    // --domain: the managed domain to work in once logged in.
    std::string domain;
};

struct CliParameterChange {
    ParameterId id;
    int32_t value;
};

struct CliOptions {
    CliCommand command = CliCommand::Get;
    std::optional<CliEndpoint> conmon;  // default: the local conmon server
    std::optional<CliEndpoint> cmm;     // default: the local connection manager
    CliDomainManager dm;
    uint32_t timeout_ms = 5000;
    bool timeout_given = false;  // --timeout was on the command line
    bool json = false;
    bool verbose = false;  // the library's own diagnostic lines too
    bool help = false;
    bool version = false;
    std::string device;   // info, get, set, save, load; watch of one unit
    std::string network;  // use-network
    std::vector<CliParameterChange> changes;  // set
    // The settings file: save writes it (standard output when empty or "-"),
    // load and apply read it ("-" is standard input).
    std::string file;
    std::vector<std::string> devices;  // apply, check, inventory, watch
    uint32_t jobs = kDefaultApplyJobs;  // apply, check, inventory: units worked on at once
    bool discovered = false;            // apply, check, inventory, watch: the units found by browsing
    uint32_t discover_seconds = kDefaultDiscoverSeconds;  // discover and --discovered
    bool csv = false;                         // inventory: comma-separated values
    bool discover_all = false;                // discover: every device of the maker
    bool discover_versions = false;           // discover: with their versions
};

struct CliParseResult {
    std::optional<CliOptions> options;
    std::string error;  // one line for the user when options is empty
    std::string usage;  // with --help: the help of the program or of the command asked about
};

CliParseResult parse_cli_arguments(const std::vector<std::string>& arguments);

// "HOST:PORT" with a dotted IPv4 host (or "localhost") and a port of 1 to 65535.
std::optional<CliEndpoint> parse_endpoint(const std::string& text);

// "Name=Value" with a parameter name in any letter case and an integer in
// the parameter's range; an error line otherwise.
std::optional<CliParameterChange> parse_parameter_change(const std::string& text, std::string* error);

// load, apply and check read a settings file (checked whole before anything
// is sent).
bool command_reads_settings(CliCommand command);

// The program's help, generated from the declaration of its command line.
std::string cli_usage();

// What --version prints: "tpx2ctl VERSION", and in a build that trusts the
// test authority the version marked "+testauthority" and a second line
// saying so.
std::string cli_version_text();
