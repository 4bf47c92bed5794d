// What the command families share to declare their arguments on tpx2ctl's
// command line, and each family's declarations. The program's own options,
// the help and the checks across the whole line are in cli_options.cpp,
// which lists the commands in the order the help shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/cli_options.h"

// A whole number in decimal with an optional '+'; nothing else.
std::optional<int64_t> parse_integer(const std::string& text);

// Throws the one line the user sees when `error` is not empty.
void fail_if(const std::string& error);

// A whole number from `low` to `high`, in the same form everywhere (decimal,
// an optional '+'), and the line that refuses anything else.
uint32_t bounded_number(const std::string& text, int64_t low, int64_t high, const std::string& refusal);

// A command and the arguments it takes. Its own options come after its name;
// the program's go before it.
CLI::App* add_command(CLI::App& app, CliOptions& options, const char* name, CliCommand command,
                      const char* description);

// The DEVICE argument of the commands for one unit.
CLI::Option* device_option(CLI::App& command, std::string& device);
// The FILE argument of the commands that read or write a settings file.
CLI::Option* file_option(CLI::App& command, std::string& file, const std::string& help);

// The units a command works on: DEVICE names, or --discovered (with
// --seconds); with `jobs`, --jobs as well.
void add_unit_list(CLI::App& command, CliOptions& options, bool jobs);
// DEVICE names or --discovered, for the commands that take a list of units.
std::string check_unit_list(CliOptions& options);

// The notes under the help of the program and of the commands.
extern const char* const kFileNote;
extern const char* const kParameters;

// ---- The families' commands ----
// Each adds one command to `app`; a check, where there is one, looks across
// the command's arguments once each has been read (an error line or empty).

// unit_commands_options.cpp: info, get, set, watch.
void add_info_command(CLI::App& app, CliOptions& options);
void add_get_command(CLI::App& app, CliOptions& options);
void add_set_command(CLI::App& app, CliOptions& options);
std::string check_set_command(CliOptions& options);
void add_watch_command(CLI::App& app, CliOptions& options);

// network_commands_options.cpp: networks, use-network.
void add_networks_command(CLI::App& app, CliOptions& options);
void add_use_network_command(CLI::App& app, CliOptions& options);

// fleet_commands_options.cpp: save, load, apply, check, inventory.
void add_save_command(CLI::App& app, CliOptions& options);
void add_load_command(CLI::App& app, CliOptions& options);
void add_apply_command(CLI::App& app, CliOptions& options);
void add_check_command(CLI::App& app, CliOptions& options);
void add_inventory_command(CLI::App& app, CliOptions& options);
std::string check_inventory_command(CliOptions& options);

// cli_discover_options.cpp: discover.
void add_discover_command(CLI::App& app, CliOptions& options);

// cli_domain_options.cpp: domains.
void add_domains_command(CLI::App& app, CliOptions& options);
