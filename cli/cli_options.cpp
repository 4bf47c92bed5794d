#include "cli/cli_options.h"

#include <charconv>
#include <climits>

namespace {

constexpr uint32_t kMaxTimeoutMs = 600000;

std::optional<int64_t> parse_integer(const std::string& text) {
    int64_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end || begin == end) {
        return std::nullopt;
    }
    return value;
}

bool is_dotted_ipv4(const std::string& host) {
    int parts = 0;
    size_t start = 0;
    while (start <= host.size()) {
        const size_t dot = host.find('.', start);
        const std::string part = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        const auto number = parse_integer(part);
        if (part.empty() || part.size() > 3 || !number || *number > 255 || part[0] == '+') {
            return false;
        }
        ++parts;
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return parts == 4;
}

std::optional<CliCommand> command_from_name(const std::string& name) {
    if (name == "info") return CliCommand::Info;
    if (name == "get") return CliCommand::Get;
    if (name == "set") return CliCommand::Set;
    if (name == "watch") return CliCommand::Watch;
    if (name == "networks") return CliCommand::Networks;
    if (name == "use-network") return CliCommand::UseNetwork;
    if (name == "save") return CliCommand::Save;
    if (name == "load") return CliCommand::Load;
    if (name == "apply") return CliCommand::Apply;
    if (name == "discover") return CliCommand::Discover;
    if (name == "domains") return CliCommand::Domains;
    return std::nullopt;
}

// "HOST" or "HOST:PORT": a DNS name or dotted IPv4 address, port 1 to 65535.
std::string parse_dm_address(const std::string& text, CliDomainManager& dm) {
    const size_t colon = text.rfind(':');
    dm.host = text.substr(0, colon);
    if (colon != std::string::npos) {
        const auto port = parse_integer(text.substr(colon + 1));
        if (!port || *port < 1 || *port > 65535) {
            return "--dm must be HOST or HOST:PORT with a port from 1 to 65535, got '" + text + "'";
        }
        dm.port = static_cast<uint16_t>(*port);
    }
    const bool name_characters = dm.host.find_first_not_of(
                                     "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
                                 std::string::npos;
    if (dm.host.empty() || dm.host.size() > 253 || !name_characters) {
        return "--dm must name a host (a DNS name or IPv4 address), got '" + text + "'";
    }
    return {};
}

// The Domain Manager options: one way to find it, and a user with it.
std::string check_dm_options(const CliOptions& options) {
    const CliDomainManager& dm = options.dm;
    if (dm.mode == CliDmMode::None) {
        if (!dm.user.empty() || dm.password_stdin || dm.dns || !dm.domain.empty()) {
            return "--user, --password-stdin, --dm-dns and --domain go with --dm, --dm-discover or --cloud";
        }
        if (options.command == CliCommand::Domains) {
            return "domains needs a Domain Manager: --dm HOST[:PORT], --dm-discover or --cloud";
        }
        return {};
    }
    if (dm.user.empty()) {
        return "a Domain Manager needs --user NAME";
    }
    if (dm.dns && dm.mode != CliDmMode::Discover) {
        return "--dm-dns goes with --dm-discover";
    }
    return {};
}

CliParseResult failure(std::string error) {
    return CliParseResult{std::nullopt, std::move(error)};
}

// An error line for a name that cannot be an AVN device name, else empty.
std::string check_device_name(const std::string& name) {
    if (name.empty()) {
        return "DEVICE must not be empty";
    }
    if (name.size() > 31) {
        return "DEVICE is longer than an AVN device name can be (31 characters)";
    }
    return {};
}

// AVN device names are compared without regard to letter case.
bool same_device_name(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string check_file_name(const std::string& file) {
    return file.empty() ? "FILE must not be empty (use \"-\" for the standard streams)" : "";
}

// apply FILE DEVICE... | --discovered [--seconds N], with --jobs N anywhere
// among them and "--" ending the options.
std::string read_apply_arguments(const std::vector<std::string>& args, CliOptions& options) {
    std::vector<std::string> positional;
    bool options_ended = false;
    bool seconds_given = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
        } else if (arg == "--discovered") {
            options.discovered = true;
        } else if (arg == "--jobs" || arg == "--seconds") {
            if (i + 1 >= args.size()) {
                return arg + " needs a value";
            }
            const auto number = parse_integer(args[++i]);
            const uint32_t most = arg == "--jobs" ? kMaxApplyJobs : kMaxDiscoverSeconds;
            if (!number || *number < 1 || *number > most) {
                return arg + " must be a number from 1 to " + std::to_string(most) + ", got '" + args[i] + "'";
            }
            (arg == "--jobs" ? options.jobs : options.discover_seconds) = static_cast<uint32_t>(*number);
            seconds_given = seconds_given || arg == "--seconds";
        } else {
            return "unknown option '" + arg +
                   "' for apply (--json, --timeout, --conmon and --cmm go before the command)";
        }
    }
    if (positional.empty()) {
        return "missing FILE";
    }
    options.file = positional[0];
    if (std::string error = check_file_name(options.file); !error.empty()) {
        return error;
    }
    for (size_t i = 1; i < positional.size(); ++i) {
        if (std::string error = check_device_name(positional[i]); !error.empty()) {
            return error;
        }
        for (const std::string& earlier : options.devices) {
            if (same_device_name(earlier, positional[i])) {
                return "unit '" + positional[i] + "' is named twice";
            }
        }
        options.devices.push_back(positional[i]);
    }
    if (options.discovered && !options.devices.empty()) {
        return "give DEVICE names or --discovered, not both";
    }
    if (!options.discovered && options.devices.empty()) {
        return "apply needs at least one DEVICE (or --discovered)";
    }
    if (seconds_given && !options.discovered) {
        return "--seconds goes with --discovered";
    }
    return {};
}

// discover [--seconds N] [--all] [--versions]
std::string read_discover_arguments(const std::vector<std::string>& args, CliOptions& options) {
    constexpr int64_t kLongestDiscoverSeconds = 3600;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--all") {
            options.discover_all = true;
        } else if (args[i] == "--versions") {
            options.discover_versions = true;
        } else if (args[i] == "--seconds") {
            const auto seconds = i + 1 < args.size() ? parse_integer(args[++i]) : std::nullopt;
            if (!seconds || *seconds < 1 || *seconds > kLongestDiscoverSeconds) {
                return "--seconds must be a number of seconds from 1 to 3600";
            }
            options.discover_seconds = static_cast<uint32_t>(*seconds);
        } else {
            return "unexpected argument '" + args[i] + "'";
        }
    }
    return {};
}

// Reads the command's own arguments into `options`; an error line or empty.
std::string read_command_arguments(const std::vector<std::string>& args, CliOptions& options) {
    const auto need_device = [&]() -> std::string {
        if (args.empty()) {
            return "missing DEVICE";
        }
        options.device = args[0];
        return check_device_name(options.device);
    };
    switch (options.command) {
        case CliCommand::Info:
        case CliCommand::Get:
        case CliCommand::Watch:
            if (args.size() > 1) {
                return "unexpected argument '" + args[1] + "'";
            }
            return need_device();
        case CliCommand::Set: {
            if (std::string error = need_device(); !error.empty()) {
                return error;
            }
            if (args.size() < 2) {
                return "set needs at least one NAME=VALUE";
            }
            for (size_t i = 1; i < args.size(); ++i) {
                std::string error;
                const auto change = parse_parameter_change(args[i], &error);
                if (!change) {
                    return error;
                }
                options.changes.push_back(*change);
            }
            return {};
        }
        case CliCommand::Networks:
        case CliCommand::Domains:
            return args.empty() ? std::string{} : "unexpected argument '" + args[0] + "'";
        case CliCommand::UseNetwork:
            if (args.size() != 1) {
                return args.empty() ? "missing NAME" : "unexpected argument '" + args[1] + "'";
            }
            options.network = args[0];
            return options.network.empty() ? "NAME must not be empty (use \"None\" for none)" : "";
        case CliCommand::Save:
        case CliCommand::Load: {
            const bool save = options.command == CliCommand::Save;
            if (args.size() > 2) {
                return "unexpected argument '" + args[2] + "'";
            }
            if (std::string error = need_device(); !error.empty()) {
                return error;
            }
            if (args.size() < 2) {
                return save ? std::string{} : "missing FILE";
            }
            options.file = args[1];
            return check_file_name(options.file);
        }
        case CliCommand::Apply:
            return read_apply_arguments(args, options);
        case CliCommand::Discover:
            return read_discover_arguments(args, options);
    }
    return {};
}

}  // namespace

std::optional<CliEndpoint> parse_endpoint(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    CliEndpoint endpoint{text.substr(0, colon), 0};
    const auto port = parse_integer(text.substr(colon + 1));
    if (!port || *port < 1 || *port > 65535) {
        return std::nullopt;
    }
    if (endpoint.host == "localhost") {
        endpoint.host = "127.0.0.1";
    }
    if (!is_dotted_ipv4(endpoint.host)) {
        return std::nullopt;
    }
    endpoint.port = static_cast<uint16_t>(*port);
    return endpoint;
}

std::optional<CliParameterChange> parse_parameter_change(const std::string& text, std::string* error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        *error = "expected NAME=VALUE, got '" + text + "'";
        return std::nullopt;
    }
    const std::string name = text.substr(0, equals);
    const auto id = parameter_from_name(name);
    if (!id) {
        *error = "unknown parameter '" + name +
                 "' (known: MicLf, MicHf, LineLf, LineHf, Mode, MicSensitivity, MicGate)";
        return std::nullopt;
    }
    const std::string value_text = text.substr(equals + 1);
    const auto value = parse_integer(value_text);
    const int32_t low = parameter_min_value(*id);
    const int32_t high = parameter_max_value(*id);
    if (!value || *value < low || *value > high) {
        *error = std::string(parameter_name(*id)) + " must be an integer from " + std::to_string(low) +
                 " to " + std::to_string(high) + ", got '" + value_text + "'";
        return std::nullopt;
    }
    return CliParameterChange{*id, static_cast<int32_t>(*value)};
}

CliParseResult parse_cli_arguments(const std::vector<std::string>& arguments) {
    CliOptions options;
    size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return CliParseResult{options, {}};
        }
        if (arg == "--version") {
            options.version = true;
            return CliParseResult{options, {}};
        }
        if (arg == "--json") {
            options.json = true;
            continue;
        }
        if (arg == "--conmon" || arg == "--cmm" || arg == "--timeout") {
            if (i + 1 >= arguments.size()) {
                return failure(arg + " needs a value");
            }
            const std::string& value = arguments[++i];
            if (arg == "--timeout") {
                const auto ms = parse_integer(value);
                if (!ms || *ms < 1 || *ms > kMaxTimeoutMs) {
                    return failure("--timeout must be a number of milliseconds from 1 to 600000");
                }
                options.timeout_ms = static_cast<uint32_t>(*ms);
                continue;
            }
            const auto endpoint = parse_endpoint(value);
            if (!endpoint) {
                return failure(arg + " must be HOST:PORT with a dotted IPv4 host, got '" + value + "'");
            }
            (arg == "--conmon" ? options.conmon : options.cmm) = endpoint;
            continue;
        }
        if (arg == "--dm" || arg == "--dm-discover" || arg == "--cloud") {
            if (options.dm.mode != CliDmMode::None) {
                return failure("give one of --dm, --dm-discover and --cloud");
            }
            if (arg == "--dm-discover") {
                options.dm.mode = CliDmMode::Discover;
            } else if (arg == "--cloud") {
                options.dm.mode = CliDmMode::Cloud;
            } else if (i + 1 >= arguments.size()) {
                return failure("--dm needs a value");
            } else {
                options.dm.mode = CliDmMode::Address;
                if (std::string error = parse_dm_address(arguments[++i], options.dm); !error.empty()) {
                    return failure(error);
                }
            }
            continue;
        }
        if (arg == "--user" || arg == "--dm-dns" || arg == "--domain") {
            if (i + 1 >= arguments.size()) {
                return failure(arg + " needs a value");
            }
            const std::string& value = arguments[++i];
            if (arg == "--user") {
                if (value.empty()) {
                    return failure("--user must not be empty");
                }
                options.dm.user = value;
            } else if (arg == "--domain") {
                if (value.empty() || value.size() > 127) {
                    return failure("--domain must be a domain name of 1 to 127 characters");
                }
                options.dm.domain = value;
            } else if (!(options.dm.dns = parse_endpoint(value))) {
                return failure("--dm-dns must be HOST:PORT with a dotted IPv4 host, got '" + value + "'");
            }
            continue;
        }
        if (arg == "--password-stdin") {
            options.dm.password_stdin = true;
            continue;
        }
        if (arg == "--password") {
            return failure("--password is not taken: a command line is seen by every user of the "
                           "computer; use --password-stdin or TPX2CTL_PASSWORD");
        }
        if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return failure("unknown option '" + arg + "'");
        }
        break;
    }
    if (i >= arguments.size()) {
        return failure("missing COMMAND");
    }
    const auto command = command_from_name(arguments[i]);
    if (!command) {
        return failure("unknown command '" + arguments[i] + "'");
    }
    options.command = *command;
    const std::vector<std::string> rest(arguments.begin() + static_cast<ptrdiff_t>(i) + 1, arguments.end());
    if (std::string error = read_command_arguments(rest, options); !error.empty()) {
        return failure(error);
    }
    if (std::string error = check_dm_options(options); !error.empty()) {
        return failure(error);
    }
    return CliParseResult{options, {}};
}

std::string cli_usage() {
    return "usage: tpx2ctl [--conmon HOST:PORT] [--cmm HOST:PORT] [--timeout MS] [--json]\n"
           "               [--dm HOST[:PORT] | --dm-discover | --cloud] [--user NAME] [--password-stdin]\n"
           "               COMMAND [ARGS]\n"
           "\n"
           "Configure TPX-2 units through the local AVN platform services.\n"
           "\n"
           "commands:\n"
           "  info DEVICE               bootloader and application versions\n"
           "  get DEVICE                the seven parameters\n"
           "  set DEVICE NAME=VALUE...  change parameters, then confirm them from the unit's report\n"
           "  watch DEVICE              print each report as it arrives, until interrupted\n"
           "  networks                  the interfaces the connection manager offers; the one in use marked\n"
           "  use-network NAME          choose the interface (\"None\" for none)\n"
           "  save DEVICE [FILE]        the seven parameters as a settings file (to standard output\n"
           "                            without FILE)\n"
           "  load DEVICE FILE          apply a settings file: change what differs, confirming each\n"
           "                            change from the unit's report; prints what changed\n"
           "  apply FILE DEVICE... [--jobs N]\n"
           "                            load on many units, N at once (default 8, at most 32); a\n"
           "                            line per unit as it finishes, then a summary. Ctrl-C stops\n"
           "                            starting units and lets those under way finish\n"
           "  FILE \"-\" is standard input (load, apply) or output (save). A settings file is the\n"
           "  object of 'get --json' with \"format_version\": 1; it may name fewer parameters.\n"
           "  discover [--seconds N] [--all] [--versions]\n"
           "                            list the TPX-2 units advertised on the network for N seconds\n"
           "                            (default 5); --all: every device of the maker; --versions:\n"
           "                            with bootloader and application versions\n"
           "  domains                   log in to the Domain Manager and list its domains (\"*\" marks\n"
           "                            the current one)\n"
           "\n"
           "parameters (NAME=VALUE, names in any letter case):\n"
           "  MicLf, MicHf, LineLf, LineHf   equaliser gain in dB, -12 to 12\n"
           "  Mode                           0 to 4\n"
           "  MicSensitivity                 0 (0 dBu) to 4 (-37 dBu)\n"
           "  MicGate                        0 disabled, 1 enabled\n"
           "\n"
           "options:\n"
           "  --conmon HOST:PORT   local conmon server (default 127.0.0.1:8900)\n"
           "  --cmm HOST:PORT      local connection manager (default 127.0.0.1:8850)\n"
           "  --timeout MS         how long to wait for a unit or a service (default 5000)\n"
           "  --json               machine-readable output\n"
           "\n"
           "Domain Manager (for a managed network):\n"
           "  --dm HOST[:PORT]     log in to this Domain Manager (port default 8999)\n"
           "  --dm-discover        find it by its DNS service (unicast DNS, then multicast DNS)\n"
           "  --dm-dns HOST:PORT   with --dm-discover: ask this DNS server instead of the\n"
           "                       interface's (a simulated network's)\n"
           "  --cloud              log in to the AVN Cloud service\n"
           "  --user NAME          the user to log in as\n"
           "  --domain NAME        work in this managed domain (the command runs as in an\n"
           "                       unmanaged network, through the Domain Manager)\n"
           "  --password-stdin     read the password from the first line of standard input;\n"
           "                       otherwise it is taken from TPX2CTL_PASSWORD (never from an\n"
           "                       argument)\n"
           "  --version            print the version and exit\n"
           "\n"
           "exit status: 0 success; 2 usage error, bad value or bad settings file (nothing is\n"
           "sent); 3 the unit (for apply: any unit) is not found or does not answer; 4 the AVN\n"
           "platform services or the Domain Manager are not reachable (or none is found); 5 the\n"
           "Domain Manager refused the login; 6 the Domain Manager could not be trusted (its\n"
           "certificate, CA or key check failed); 1 anything else (apply: interrupted before\n"
           "every unit was done).\n";
}
