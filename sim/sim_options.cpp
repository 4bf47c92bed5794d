#include "sim/sim_options.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <optional>

#include "sim/command_line.h"

namespace sim {

namespace {

// A device name must fit the 32-byte name field with its terminator.
constexpr size_t kMaxDeviceNameLength = CONMON_NAME_SIZE - 1;
// --units: at most this many at once, named after this pattern by default.
constexpr uint32_t kMaxUnitsAtOnce = 1000;
constexpr std::string_view kDefaultUnitPattern = "TPX2-###";

constexpr const char* kDescription =
    "The simulated AVN network: the local conmon server on 127.0.0.1 with the\n"
    "TPX-2 units and other devices behind it, the local connection manager, and\n"
    "on request a DNS-SD responder and a Domain Manager. Runs until interrupted\n"
    "(SIGINT or SIGTERM) and logs one line per event on standard output.";

constexpr const char* kUnitKeys =
    "--unit and --units keys:\n"
    "  bootloader=X.Y    bootloader version (default 2.5; 0 for none)\n"
    "  application=X.Y   application version (default 1.3)\n"
    "  model=N           model id (default 8)\n"
    "  domain=NAME       the Domain Manager's domain the unit belongs to\n"
    "  PARAMETER=VALUE   starting value of MicLf, MicHf, LineLf, LineHf (-12 to 12,\n"
    "                    default 0), Mode (0 to 4, default 0), MicSensitivity (0 to 4,\n"
    "                    default 4) or MicGate (0 or 1, default 1); names in any\n"
    "                    letter case\n"
    "With no device given: two TPX-2 units \"TPX2-Stage\" and \"TPX2-Booth\". Device\n"
    "names have 1 to 31 characters and are matched in any letter case. Numbers may\n"
    "be hexadecimal with 0x.\n";

// Decimal, or hexadecimal after "0x".
template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parse_fraction(std::string_view text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < 0.0 ||
        value > 1.0) {
        return std::nullopt;
    }
    return value;
}

// "X.Y" into the two halves of a version, each at most `part_max`; "0" alone
// is the value 0.
std::optional<uint32_t> parse_version(std::string_view text, uint32_t part_max, int shift) {
    if (text == "0") {
        return 0u;
    }
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const auto major = parse_number<uint32_t>(text.substr(0, dot));
    const auto minor = parse_number<uint32_t>(text.substr(dot + 1));
    if (!major || !minor || *major > part_max || *minor > part_max) {
        return std::nullopt;
    }
    return (*major << shift) | *minor;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// The command line, declared once: parsing and the help come from it. The
// devices are checked as they are added (names are unique in any letter
// case); the values of the other parts' options are theirs to check.
class Parser {
  public:
    Parser();

    ParsedOptions parse(std::span<const std::string_view> arguments);
    std::string help() const { return app_.help(); }

  private:
    void declare();
    void declare_network();
    void declare_units();
    void declare_faults();
    // The option's value applied by `read`, which names the fault by fail().
    OptionValueApply reader(bool (Parser::*read)(std::string_view));
    bool fail(std::string message);
    bool check_name(std::string_view name);
    bool parse_unit(std::string_view text);
    bool parse_units(std::string_view text);
    bool parse_device(std::string_view text);
    bool parse_unit_key(Tpx2UnitSettings& unit, std::string_view key, std::string_view text,
                        std::string_view option = "--unit");

    bool mute(std::string_view name);

    ParsedOptions result_;
    CLI::App app_;
};

ParsedOptions Parser::parse(std::span<const std::string_view> arguments) {
    const CommandLineOutcome outcome = parse_command_line(app_, arguments);
    result_.help = outcome.help;
    result_.version = outcome.version;
    result_.error = outcome.error;
    if (!result_.error.empty() || result_.help || result_.version) {
        return result_;
    }
    SimOptions& options = result_.options;
    // Both services name this computer alike.
    options.cmm.device_name = options.conmon.local_device_name;
    if (options.units.empty() && options.devices.empty()) {
        options.units = default_units();
    }
    for (const std::string& muted : options.muted_devices) {
        bool known = false;
        for (const Tpx2UnitSettings& unit : options.units) {
            known = known || device_names_equal(unit.name, muted);
        }
        for (const ForeignDeviceSettings& device : options.devices) {
            known = known || device_names_equal(device.name, muted);
        }
        if (!known) {
            fail("--mute: no device is named \"" + muted + "\"");
            return result_;
        }
    }
    return result_;
}

bool Parser::fail(std::string message) {
    result_.error = std::move(message);
    return false;
}

Parser::Parser() : app_(kDescription, "avn-sim") {
    declare();
}

OptionValueApply Parser::reader(bool (Parser::*read)(std::string_view)) {
    return [this, read](std::string_view value) {
        result_.error.clear();
        return (this->*read)(value) ? std::string{} : result_.error;
    };
}

// A value that is a number in the option's range, written into `target`.
template <typename Number, typename Target>
OptionValueApply number_value(const char* name, const char* refusal, Target* target, Number low,
                              Number high, Target (*convert)(Number)) {
    return [=](std::string_view value) -> std::string {
        const auto number = parse_number<Number>(value);
        if (!number || *number < low || *number > high) {
            return std::string(name) + ": " + refusal + ": " + std::string(value);
        }
        *target = convert(*number);
        return {};
    };
}

template <typename T>
T same(T value) {
    return value;
}

OptionValueApply fraction_value(const char* name, double* target) {
    return [=](std::string_view value) -> std::string {
        const auto fraction = parse_fraction(value);
        if (!fraction) {
            return std::string(name) + ": not a fraction from 0 to 1: " + std::string(value);
        }
        *target = *fraction;
        return {};
    };
}

void Parser::declare() {
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.get_formatter()->column_width(30);
    app_.footer(kUnitKeys);
    // The groups of the help come in the order of their first option.
    declare_network();
    declare_units();
    add_cmm_options(app_, &result_.options.cmm);
    add_mdns_options(app_, &result_.options.mdns);
    declare_faults();
    add_dm_options(app_, &result_.options.dm);
    const char* output = "Output";
    add_switch(app_, "--quiet", &result_.options.quiet, "no log lines")->group(output);
    app_.set_help_flag("-h,--help", "this text")->group(output);
    app_.set_version_flag("--version", "avn-sim", "the version")->group(output);
}

void Parser::declare_network() {
    ConmonServerSettings& conmon = result_.options.conmon;
    add_value_option(app_, "--conmon-port", "PORT",
                     number_value<uint16_t>("--conmon-port", "not a port number", &conmon.port, 0,
                                            0xFFFF, same<uint16_t>),
                     "the conmon server's UDP port on 127.0.0.1 (default\n8900; 0: any free port)")
        ->group(kNetworkGroup);
    add_value_option(
        app_, "--server-version", "V",
        number_value<uint16_t>("--server-version", "not a version from 0x1000 to 0x1FFF",
                               &conmon.version, CONMON_PROTOCOL_VERSION_MIN,
                               CONMON_PROTOCOL_VERSION_MAX, same<uint16_t>),
        "protocol version, 0x1000 to 0x1FFF (default 0x1503);\nbelow 0x1400 it acts as an older "
        "server")
        ->group(kNetworkGroup);
    add_value_option(
        app_, "--local-name", "NAME",
        [this](std::string_view name) {
            result_.error.clear();
            if (check_name(name)) {
                result_.options.conmon.local_device_name = std::string(name);
            }
            return result_.error;
        },
        "this computer's AVN device name (default \"avn-sim\")")
        ->group(kNetworkGroup);
    add_value_option(app_, "--client-timeout", "SECONDS",
                     number_value<uint32_t>(
                         "--client-timeout", "not a number", &conmon.client_timeout, 0, UINT32_MAX,
                         +[](uint32_t seconds) -> std::chrono::milliseconds {
                             return std::chrono::seconds(seconds);
                         }),
                     "forget a client silent this long (default 30; 0:\nnever)")
        ->group(kNetworkGroup);
}

void Parser::declare_units() {
    add_value_option(app_, "--unit", "NAME[,KEY=VALUE]...", reader(&Parser::parse_unit),
                     "a TPX-2 unit (manufacturer ID \"Vornix\"); the keys\nbelow")
        ->group(kUnitsGroup);
    add_value_option(
        app_, "--units", "N[,name=PATTERN][,KEY=VALUE]...", reader(&Parser::parse_units),
        "N TPX-2 units (1 to 1000) named after PATTERN,\nwhose run of '#' becomes the unit's "
        "number from 1,\nzero-padded to the run's length (default TPX2-###:\nTPX2-001, TPX2-002, "
        "...); the other keys as for\n--unit, for every one of them")
        ->group(kUnitsGroup);
    add_value_option(
        app_, "--device", "NAME,maker=TEXT[,model=N]", reader(&Parser::parse_device),
        "a device of another maker (manufacturer ID TEXT, at\nmost 8 bytes; model default 0). It "
        "echoes every\ncontrol message under its own ID.")
        ->group(kUnitsGroup);
}

void Parser::declare_faults() {
    SimOptions& options = result_.options;
    add_switch(app_, "--silent", &options.silent,
               "the conmon server reads every datagram and\nanswers nothing")
        ->group(kFaultsGroup);
    add_value_option(
        app_, "--mute", "NAME", reader(&Parser::mute),
        "the device stops answering: no reports, and control\nmessages to it get \"Timeout\" "
        "(may be repeated)")
        ->group(kFaultsGroup);
    add_value_option(app_, "--delay", "MS",
                     number_value<uint32_t>(
                         "--delay", "not a number", &options.delay, 0, UINT32_MAX,
                         +[](uint32_t ms) { return std::chrono::milliseconds(ms); }),
                     "send every datagram to clients MS milliseconds late")
        ->group(kFaultsGroup);
    add_value_option(app_, "--drop", "FRACTION",
                     fraction_value("--drop", &options.faults_to_clients.drop_fraction),
                     "drop this fraction (0 to 1) of datagrams to clients")
        ->group(kFaultsGroup);
    add_value_option(app_, "--corrupt", "FRACTION",
                     fraction_value("--corrupt", &options.faults_to_clients.corrupt_fraction),
                     "corrupt this fraction of datagrams to clients")
        ->group(kFaultsGroup);
    add_value_option(app_, "--drop-incoming", "FRACTION",
                     fraction_value("--drop-incoming", &options.faults_from_clients.drop_fraction),
                     "the same for datagrams from clients")
        ->group(kFaultsGroup);
    add_value_option(
        app_, "--corrupt-incoming", "FRACTION",
        fraction_value("--corrupt-incoming", &options.faults_from_clients.corrupt_fraction),
        "the same for datagrams from clients")
        ->group(kFaultsGroup);
    add_value_option(app_, "--seed", "N",
                     number_value<uint32_t>("--seed", "not a number", &options.conmon.seed, 0,
                                            UINT32_MAX, same<uint32_t>),
                     "seed of the loss and corruption generator (default 1)")
        ->group(kFaultsGroup);
}

bool Parser::mute(std::string_view name) {
    result_.options.muted_devices.emplace_back(name);
    return true;
}

bool Parser::check_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxDeviceNameLength) {
        return fail("a device name has 1 to 31 characters: \"" + std::string(name) + "\"");
    }
    const SimOptions& options = result_.options;
    for (const Tpx2UnitSettings& unit : options.units) {
        if (device_names_equal(unit.name, name)) {
            return fail("two devices are named \"" + std::string(name) + "\"");
        }
    }
    for (const ForeignDeviceSettings& device : options.devices) {
        if (device_names_equal(device.name, name)) {
            return fail("two devices are named \"" + std::string(name) + "\"");
        }
    }
    return true;
}

bool Parser::parse_unit(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, ',');
    if (!check_name(parts[0])) {
        return false;
    }
    Tpx2UnitSettings unit;
    unit.name = std::string(parts[0]);
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t equals = parts[i].find('=');
        if (equals == std::string_view::npos ||
            !parse_unit_key(unit, parts[i].substr(0, equals), parts[i].substr(equals + 1))) {
            return result_.error.empty() ? fail("--unit: not KEY=VALUE: " + std::string(parts[i]))
                                         : false;
        }
    }
    result_.options.units.push_back(std::move(unit));
    return true;
}

// Many units alike: the number, then the name pattern and the keys that
// every one of them takes.
bool Parser::parse_units(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, ',');
    const auto count = parse_number<uint32_t>(parts[0]);
    if (!count || *count < 1 || *count > kMaxUnitsAtOnce) {
        return fail("--units: a number of units from 1 to " + std::to_string(kMaxUnitsAtOnce) +
                    ": " + std::string(parts[0]));
    }
    Tpx2UnitSettings unit;
    unit.name = std::string(kDefaultUnitPattern);
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t equals = parts[i].find('=');
        if (equals != std::string_view::npos && parts[i].substr(0, equals) == "name") {
            unit.name = std::string(parts[i].substr(equals + 1));
        }
    }
    const size_t run = unit.name.find('#');
    if (run == std::string::npos) {
        return fail("--units: the name pattern has no '#' for the unit's number: " + unit.name);
    }
    const size_t width = unit.name.find_first_not_of('#', run) == std::string::npos
                             ? unit.name.size() - run
                             : unit.name.find_first_not_of('#', run) - run;
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t equals = parts[i].find('=');
        if (equals != std::string_view::npos && parts[i].substr(0, equals) == "name") {
            continue;
        }
        if (equals == std::string_view::npos ||
            !parse_unit_key(unit, parts[i].substr(0, equals), parts[i].substr(equals + 1),
                            "--units")) {
            return result_.error.empty() ? fail("--units: not KEY=VALUE: " + std::string(parts[i]))
                                         : false;
        }
    }
    const std::string prefix = unit.name.substr(0, run);
    const std::string suffix = unit.name.substr(run + width);
    for (uint32_t number = 1; number <= *count; ++number) {
        std::string digits = std::to_string(number);
        if (digits.size() < width) {
            digits.insert(0, width - digits.size(), '0');
        }
        Tpx2UnitSettings named = unit;
        named.name = prefix + digits + suffix;
        if (!check_name(named.name)) {
            return false;
        }
        result_.options.units.push_back(std::move(named));
    }
    return true;
}

bool Parser::parse_unit_key(Tpx2UnitSettings& unit, std::string_view key, std::string_view text,
                            std::string_view option) {
    const std::string where = std::string(option) + " " + unit.name + ": ";
    if (key == "bootloader") {
        const auto version = parse_version(text, 0xFF, 8);
        if (!version) {
            return fail(where + "bootloader version X.Y (each 0 to 255): " + std::string(text));
        }
        unit.bootloader_version = static_cast<uint16_t>(*version);
        return true;
    }
    if (key == "application") {
        const auto version = parse_version(text, 0xFFFF, 16);
        if (!version) {
            return fail(where + "application version X.Y (each 0 to 65535): " + std::string(text));
        }
        unit.application_version = *version;
        return true;
    }
    if (key == "domain") {
        if (text.empty() || text.size() >= 128) {
            return fail(where + "a domain name of 1 to 127 characters");
        }
        unit.domain = std::string(text);
        return true;
    }
    if (key == "model") {
        const auto model = parse_number<uint32_t>(text);
        if (!model) {
            return fail(where + "not a model id: " + std::string(text));
        }
        unit.model = *model;
        return true;
    }
    const std::optional<ParameterId> id = parameter_from_name(key);
    if (!id) {
        return fail(where + "unknown key: " + std::string(key));
    }
    const auto value = parse_number<int32_t>(text);
    if (!value || *value < parameter_min_value(*id) || *value > parameter_max_value(*id)) {
        return fail(where + parameter_name(*id) + " from " +
                    std::to_string(parameter_min_value(*id)) + " to " +
                    std::to_string(parameter_max_value(*id)) + ": " + std::string(text));
    }
    unit.parameters[static_cast<size_t>(*id) - 1] = *value;
    return true;
}

bool Parser::parse_device(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, ',');
    if (!check_name(parts[0])) {
        return false;
    }
    ForeignDeviceSettings device;
    device.name = std::string(parts[0]);
    bool has_maker = false;
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t equals = parts[i].find('=');
        const std::string_view key = parts[i].substr(0, equals);
        const std::string_view setting =
            equals == std::string_view::npos ? std::string_view{} : parts[i].substr(equals + 1);
        if (key == "maker" && !setting.empty() && setting.size() <= CONMON_VENDOR_ID_SIZE) {
            device.maker = std::string(setting);
            has_maker = true;
        } else if (const auto model = parse_number<uint32_t>(setting); key == "model" && model) {
            device.model = *model;
        } else {
            return fail("--device " + device.name +
                        ": not maker=TEXT (1 to 8 bytes) or model=N: " + std::string(parts[i]));
        }
    }
    if (!has_maker) {
        return fail("--device " + device.name + ": maker=TEXT is required");
    }
    result_.options.devices.push_back(std::move(device));
    return true;
}

}  // namespace

SimOptions options_on_free_ports() {
    SimOptions options;
    options.quiet = true;
    options.conmon.port = 0;
    options.cmm.port = 0;
    return options;
}

std::vector<Tpx2UnitSettings> default_units() {
    Tpx2UnitSettings stage;
    stage.name = "TPX2-Stage";
    Tpx2UnitSettings booth;
    booth.name = "TPX2-Booth";
    return {stage, booth};
}

ParsedOptions parse_sim_options(std::span<const std::string_view> arguments) {
    return Parser().parse(arguments);
}

std::string sim_usage() {
    return Parser().help();
}

}  // namespace sim
