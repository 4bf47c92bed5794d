// avn-sim's command line on CLI11: the pieces every part of the simulator
// declares its options with, and the one place that words CLI11's errors as
// one line. A value follows its option as the next argument or after '='.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace sim {

// The groups of avn-sim's help.
inline constexpr const char* kNetworkGroup = "Network";
inline constexpr const char* kUnitsGroup = "Units and devices";
inline constexpr const char* kFaultsGroup = "Faults";
inline constexpr const char* kDmGroup = "Domain Manager";

// Applies an option's value: an error line, or empty when it was understood.
using OptionValueApply = std::function<std::string(std::string_view value)>;

// A value option. `apply` runs as the option is met, so that repeated options
// (devices, networks, domains) keep the order they were given in.
inline CLI::Option* add_value_option(CLI::App& app, const std::string& name,
                                     const std::string& type_name, OptionValueApply apply,
                                     const std::string& help) {
    return app
        .add_option_function<std::string>(
            name,
            [apply = std::move(apply)](const std::string& value) {
                if (std::string error = apply(value); !error.empty()) {
                    throw CLI::ValidationError(error);
                }
            },
            help)
        ->type_name(type_name)
        ->trigger_on_parse();
}

// An option without a value that sets `*target`; "--name=VALUE" is refused.
inline CLI::Option* add_switch(CLI::App& app, const std::string& name, bool* target,
                               const std::string& help) {
    return app.add_flag(name, *target, help)->disable_flag_override();
}

struct CommandLineOutcome {
    bool help = false;
    bool version = false;
    std::string error;  // one line; empty when the command line was understood
};

// CLI11's words for what it found wrong, in the simulator's: one line.
inline std::string describe_command_line_error(const CLI::ParseError& error, const CLI::App& app) {
    const std::string what = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        const std::vector<std::string> extras = app.remaining();
        return extras.empty() ? what : "unknown option '" + extras.front() + "'";
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        constexpr std::string_view kOverride = " was given a disallowed flag override";
        if (what.ends_with(kOverride)) {
            const std::string name = what.substr(0, what.size() - kOverride.size());
            return (name.starts_with("-") ? name : "--" + name) + " takes no value";
        }
        if (what.ends_with(" missing")) {
            return what.substr(0, what.find(':')) + " needs a value";
        }
    }
    return what;
}

// Parses `arguments` (those after the program's name) with `app`.
inline CommandLineOutcome parse_command_line(CLI::App& app,
                                             std::span<const std::string_view> arguments) {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    CommandLineOutcome outcome;
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        outcome.help = true;
    } catch (const CLI::CallForVersion&) {
        outcome.version = true;
    } catch (const CLI::ParseError& error) {
        outcome.error = describe_command_line_error(error, app);
    }
    return outcome;
}

}  // namespace sim
