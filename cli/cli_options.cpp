#include "cli/cli_options.h"

#include <climits>
#include <memory>

#include <CLI/CLI.hpp>

#include "avn/domain/dm_trust.h"
#include "cli/command_options.h"
#include "tpx2_version.h"

namespace {

constexpr uint32_t kMaxTimeoutMs = 600000;

bool is_dotted_ipv4(const std::string& host) {
    int parts = 0;
    size_t start = 0;
    while (start <= host.size()) {
        const size_t dot = host.find('.', start);
        const std::string part =
            host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
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
    const bool name_characters =
        dm.host.find_first_not_of(
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
            return "--user, --password-stdin, --dm-dns and --domain go with --dm, --dm-discover or "
                   "--cloud";
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
    return CliParseResult{std::nullopt, std::move(error), {}};
}

CLI::Option* endpoint_option(CLI::App& app, const std::string& name,
                             std::optional<CliEndpoint>& target, const std::string& help) {
    return app
        .add_option_function<std::string>(
            name,
            [&target, name](const std::string& value) {
                target = parse_endpoint(value);
                if (!target) {
                    throw CLI::ValidationError(
                        name + " must be HOST:PORT with a dotted IPv4 host, got '" + value + "'");
                }
            },
            help)
        ->type_name("HOST:PORT");
}

void add_connection_options(CLI::App& app, CliOptions& options) {
    const char* group = "Connection";
    endpoint_option(app, "--conmon", options.conmon,
                    "the local conmon server (default 127.0.0.1:8900)")
        ->group(group);
    endpoint_option(app, "--cmm", options.cmm,
                    "the local connection manager (default 127.0.0.1:8850)")
        ->group(group);
    app.add_option_function<std::string>(
           "--timeout",
           [&options](const std::string& value) {
               options.timeout_ms =
                   bounded_number(value, 1, kMaxTimeoutMs,
                                  "--timeout must be a number of milliseconds from 1 to 600000");
               options.timeout_given = true;
           },
           "how long to wait for a unit or a service, and for each exchange with a Domain "
           "Manager (finding it, identify, login, the TLS connection and its domain list; "
           "default 5000, or 15000 for a Domain Manager's exchanges)")
        ->type_name("MS")
        ->group(group);
}

void add_domain_manager_options(CLI::App& app, CliOptions& options) {
    const char* group = "Domain Manager (for a managed network)";
    CliDomainManager& dm = options.dm;
    // One way to find the Domain Manager; which one is checked after parsing
    // so that the refusal names all three.
    app.add_option_function<std::string>(
           "--dm",
           [&dm](const std::string& value) {
               fail_if(parse_dm_address(value, dm));
               dm.mode = CliDmMode::Address;
           },
           "log in to this Domain Manager (port default 8999)")
        ->type_name("HOST[:PORT]")
        ->group(group);
    app.add_flag_callback(
           "--dm-discover",
           [&dm] { dm.mode = dm.mode == CliDmMode::None ? CliDmMode::Discover : dm.mode; },
           "find it by its DNS service (unicast DNS, then\nmulticast DNS)")
        ->group(group);
    endpoint_option(app, "--dm-dns", dm.dns,
                    "with --dm-discover: ask this DNS server instead of\nthe interface's (a "
                    "simulated network's)")
        ->group(group);
    app.add_flag_callback(
           "--cloud", [&dm] { dm.mode = dm.mode == CliDmMode::None ? CliDmMode::Cloud : dm.mode; },
           "log in to the AVN Cloud service")
        ->group(group);
    app.add_option_function<std::string>(
           "--user",
           [&dm](const std::string& value) {
               fail_if(value.empty() ? "--user must not be empty" : "");
               dm.user = value;
           },
           "the user to log in as")
        ->type_name("NAME")
        ->group(group);
    app.add_option_function<std::string>(
           "--domain",
           [&dm](const std::string& value) {
               fail_if(value.empty() || value.size() > 127
                           ? "--domain must be a domain name of 1 to 127 characters"
                           : "");
               dm.domain = value;
           },
           "work in this managed domain (the command runs as in\nan unmanaged network, through the "
           "Domain Manager)")
        ->type_name("NAME")
        ->group(group);
    app.add_flag("--password-stdin", dm.password_stdin,
                 "read the password from the first line of standard\ninput; otherwise it is taken "
                 "from TPX2CTL_PASSWORD\n(never from an argument)")
        ->group(group);
    // Refused, with the reason: not shown in the help. The value it may have
    // swallowed is never kept.
    app.add_option_function<std::string>(
           "--password",
           [](const std::string&) {
               throw CLI::ValidationError(
                   "--password is not taken: a command line is seen by every user of the "
                   "computer; use --password-stdin or TPX2CTL_PASSWORD");
           })
        ->expected(0, 1)
        ->group("");
}

void add_output_options(CLI::App& app, CliOptions& options) {
    const char* group = "Output";
    app.add_flag("--json", options.json, "machine-readable output: one JSON object per result")
        ->group(group);
    app.add_flag("--verbose", options.verbose,
                 "also print the AVN library's own diagnostic lines (a failure is otherwise told "
                 "in one sentence)")
        ->group(group);
    app.set_help_flag("-h,--help", "print this help and exit")->group(group);
    app.set_version_flag("--version", cli_version_text(), "print the version and exit")
        ->group(group);
}

// CLI11's help, in this program's words; an option kept out of the help is
// kept out of the usage line too.
class HelpFormatter : public CLI::Formatter {
  public:
    HelpFormatter() {
        label("SUBCOMMAND", "COMMAND");
        label("Positionals", "Arguments");
        column_width(26);
    }
    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string usage = CLI::Formatter::make_usage(app, std::move(name));
        for (size_t at = usage.find(" []"); at != std::string::npos; at = usage.find(" []")) {
            usage.erase(at, 3);
        }
        return usage;
    }
};

constexpr const char* kExitStatus =
    "Exit status: 0 success; 2 usage error, bad value or bad settings file (nothing is sent);\n"
    "3 the unit (for apply: any unit) is not found or does not answer; 4 the AVN platform\n"
    "services or the Domain Manager are not reachable (or none is found); 5 the Domain Manager\n"
    "refused the login; 6 the Domain Manager could not be trusted (its certificate, CA or key\n"
    "check failed); 7 check: a unit differs from the file; 1 anything else (apply, check,\n"
    "inventory: interrupted before every unit was done).\n";

// A command of the table below: how it is declared, and its check across
// its arguments once each has been read (none when null).
struct CommandDeclaration {
    CliCommand command;
    void (*declare)(CLI::App& app, CliOptions& options);
    std::string (*check)(CliOptions& options);
};

// tpx2ctl's commands, in the order the help lists them. Each family declares
// its own in its *_options.cpp.
constexpr CommandDeclaration kCommands[] = {
    {CliCommand::Info, add_info_command, nullptr},
    {CliCommand::Get, add_get_command, nullptr},
    {CliCommand::Set, add_set_command, check_set_command},
    {CliCommand::Networks, add_networks_command, nullptr},
    {CliCommand::UseNetwork, add_use_network_command, nullptr},
    {CliCommand::Save, add_save_command, nullptr},
    {CliCommand::Load, add_load_command, nullptr},
    {CliCommand::Apply, add_apply_command, check_unit_list},
    {CliCommand::Discover, add_discover_command, nullptr},
    {CliCommand::Domains, add_domains_command, nullptr},
    {CliCommand::Check, add_check_command, check_unit_list},
    {CliCommand::Inventory, add_inventory_command, check_inventory_command},
    {CliCommand::Watch, add_watch_command, check_unit_list},
};

// The whole command line, declared once: parsing and the help come from it.
// The callbacks write into `options`, which must outlive the app.
std::unique_ptr<CLI::App> make_app(CliOptions& options) {
    auto app = std::make_unique<CLI::App>(
        "Configure TPX-2 units through the local AVN platform services.", "tpx2ctl");
    app->require_subcommand(0, 1);
    // An option given twice: the last one counts, as scripts that add to a
    // base command line expect.
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app->footer(std::string(kFileNote) + "\n" + kParameters + "\n" + kExitStatus);
    app->formatter(std::make_shared<HelpFormatter>());
    add_connection_options(*app, options);
    add_domain_manager_options(*app, options);
    add_output_options(*app, options);
    for (const CommandDeclaration& entry : kCommands) {
        entry.declare(*app, options);
    }
    return app;
}

// The checks across arguments, once each has been read.
std::string check_command(CliOptions& options) {
    // The password and the settings file cannot both be read from standard input.
    if (command_reads_settings(options.command) && options.file == "-" && options.dm.password_stdin) {
        return "--password-stdin and FILE \"-\" both read standard input: give the settings file by name";
    }
    for (const CommandDeclaration& entry : kCommands) {
        if (entry.command == options.command && entry.check != nullptr) {
            return entry.check(options);
        }
    }
    return {};
}

// CLI11's words for what it found wrong, in this program's: one line.
std::string describe(const CLI::ParseError& error, const CLI::App& app) {
    const std::string what = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        // Left over before the command, or among the command's arguments.
        const std::vector<CLI::App*> chosen = app.get_subcommands();
        const bool top = !app.remaining().empty() || chosen.empty();
        const CLI::App& where = top ? app : *chosen.front();
        const std::vector<std::string> extras = where.remaining();
        const std::string first = extras.empty() ? std::string{} : extras.front();
        const bool option = first.size() > 1 && first[0] == '-';
        if (top) {
            return (option ? "unknown option '" : "unknown command '") + first + "'";
        }
        if (option) {
            return "unknown option '" + first + "' for " + where.get_name() +
                   " (--json, --timeout, --conmon and --cmm go before the command)";
        }
        return "unexpected argument '" + first + "'";
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr &&
        what.ends_with(" is required")) {
        return "missing " + what.substr(0, what.size() - std::string_view(" is required").size());
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr &&
        what.ends_with(" missing")) {
        return what.substr(0, what.find(':')) + " needs a value";
    }
    return what;
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

std::optional<CliParameterChange> parse_parameter_change(const std::string& text,
                                                         std::string* error) {
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
        *error = std::string(parameter_name(*id)) + " must be an integer from " +
                 std::to_string(low) + " to " + std::to_string(high) + ", got '" + value_text + "'";
        return std::nullopt;
    }
    return CliParameterChange{*id, static_cast<int32_t>(*value)};
}

CliParseResult parse_cli_arguments(const std::vector<std::string>& arguments) {
    CliOptions options;
    const std::unique_ptr<CLI::App> app = make_app(options);
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app->parse(reversed);
        if (app->get_subcommands().empty()) {
            return failure("missing COMMAND");
        }
        if (app->count("--dm") + app->count("--dm-discover") + app->count("--cloud") > 1) {
            return failure("give one of --dm, --dm-discover and --cloud");
        }
        const CLI::App* chosen = app->get_subcommands().front();
        if (options.command != CliCommand::Discover && chosen->get_option_no_throw("--seconds") != nullptr &&
            chosen->count("--seconds") > 0 && !options.discovered &&
            !(options.command == CliCommand::Inventory && options.devices.empty())) {
            return failure("--seconds goes with --discovered");
        }
        fail_if(check_command(options));
        fail_if(check_dm_options(options));
    } catch (const CLI::CallForHelp&) {
        options.help = true;
        return CliParseResult{options, {}, app->help()};
    } catch (const CLI::CallForVersion&) {
        options.version = true;
        return CliParseResult{options, {}, {}};
    } catch (const CLI::ParseError& error) {
        return failure(describe(error, *app));
    }
    return CliParseResult{options, {}, {}};
}

bool command_reads_settings(CliCommand command) {
    return command == CliCommand::Load || command == CliCommand::Apply || command == CliCommand::Check;
}

std::string cli_usage() {
    CliOptions options;
    return make_app(options)->help();
}

std::string cli_version_text() {
    std::string text = "tpx2ctl " TPX2_VERSION;
    if (avn_dm_trusts_test_authority) {
        text += std::string("+testauthority\n") + kAvnDmTestBuildNote;
    }
    return text;
}
