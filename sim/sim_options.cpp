#include "sim/sim_options.h"

#include <charconv>
#include <optional>

namespace sim {

namespace {

// A device name must fit the 32-byte name field with its terminator.
constexpr size_t kMaxDeviceNameLength = CONMON_NAME_SIZE - 1;
// --units: at most this many at once, named after this pattern by default.
constexpr uint32_t kMaxUnitsAtOnce = 1000;
constexpr std::string_view kDefaultUnitPattern = "TPX2-###";

constexpr const char* kUsage =
    "Usage: avn-sim [OPTION]...\n"
    "The simulated AVN network: the local conmon server on 127.0.0.1 with the\n"
    "TPX-2 units and other devices behind it. Runs until interrupted (SIGINT or\n"
    "SIGTERM) and logs one line per event on standard output.\n"
    "\n"
    "Devices (with none given, two TPX-2 units \"TPX2-Stage\" and \"TPX2-Booth\"):\n"
    "  --unit NAME[,KEY=VALUE]...\n"
    "        a TPX-2 unit (manufacturer ID \"Vornix\"). Keys:\n"
    "          bootloader=X.Y    bootloader version (default 2.5; 0 for none)\n"
    "          application=X.Y   application version (default 1.3)\n"
    "          model=N           model id (default 8)\n"
    "          domain=NAME       the Domain Manager's domain the unit belongs to\n"
    "          PARAMETER=VALUE   starting value of MicLf, MicHf, LineLf, LineHf\n"
    "                            (-12 to 12, default 0), Mode (0 to 4, default 0),\n"
    "                            MicSensitivity (0 to 4, default 4) or MicGate\n"
    "                            (0 or 1, default 1); names in any letter case\n"
    "  --units N[,name=PATTERN][,KEY=VALUE]...\n"
    "        N TPX-2 units (1 to 1000) named after PATTERN, whose run of '#'\n"
    "        becomes the unit's number from 1, zero-padded to the run's length\n"
    "        (default TPX2-###: TPX2-001, TPX2-002, ...); the other keys as for\n"
    "        --unit, for every one of them\n"
    "  --device NAME,maker=TEXT[,model=N]\n"
    "        a device of another maker (manufacturer ID TEXT, at most 8 bytes;\n"
    "        model default 0). It echoes every control message under its own ID.\n"
    "  Device names have 1 to 31 characters and are matched in any letter case.\n"
    "\n"
    "Conmon server:\n"
    "  --conmon-port PORT       UDP port on 127.0.0.1 (default 8900; 0: any free port)\n"
    "  --server-version V       protocol version, 0x1000 to 0x1FFF (default 0x1503);\n"
    "                           below 0x1400 it acts as an older server\n"
    "  --local-name NAME        this computer's AVN device name (default \"avn-sim\")\n"
    "  --client-timeout SECONDS forget a client silent this long (default 30; 0: never)\n"
    "\n"
    "Faults:\n"
    "  --silent                 read every datagram and answer nothing\n"
    "  --mute NAME              the device stops answering: no reports, and control\n"
    "                           messages to it get \"Timeout\" (may be repeated)\n"
    "  --delay MS               send every datagram to clients MS milliseconds late\n"
    "  --drop FRACTION          drop this fraction (0 to 1) of datagrams to clients\n"
    "  --corrupt FRACTION       corrupt this fraction of datagrams to clients\n"
    "  --drop-incoming FRACTION     the same for datagrams from clients\n"
    "  --corrupt-incoming FRACTION\n"
    "  --seed N                 seed of the loss and corruption generator (default 1)\n"
    "\n"
    "Output:\n"
    "  --quiet                  no log lines\n"
    "  --help                   this text\n"
    "  --version                the version\n";

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

class Parser {
  public:
    explicit Parser(std::span<const std::string_view> arguments) : arguments_(arguments) {}

    ParsedOptions parse();

  private:
    bool option(std::string_view argument);
    std::optional<std::string_view> value(std::string_view option);
    bool fail(std::string message);
    bool check_name(std::string_view name);
    bool parse_unit(std::string_view text);
    bool parse_units(std::string_view text);
    bool parse_device(std::string_view text);
    bool parse_unit_key(Tpx2UnitSettings& unit, std::string_view key, std::string_view text,
                        std::string_view option = "--unit");

    std::span<const std::string_view> arguments_;
    size_t next_ = 0;
    std::optional<std::string_view> inline_value_;
    ParsedOptions result_;
};

ParsedOptions Parser::parse() {
    while (next_ < arguments_.size()) {
        const CmmOptionMatch cmm = parse_cmm_option(arguments_, next_, &result_.options.cmm);
        if (!cmm.error.empty()) {
            fail(cmm.error);
            return result_;
        }
        if (cmm.taken > 0) {
            next_ += cmm.taken;
            continue;
        }
        const DmOptionMatch dm = parse_dm_option(arguments_, next_, &result_.options.dm);
        if (!dm.error.empty()) {
            fail(dm.error);
            return result_;
        }
        if (dm.taken > 0) {
            next_ += dm.taken;
            continue;
        }
        const MdnsOptionMatch mdns = parse_mdns_option(arguments_, next_, &result_.options.mdns);
        if (!mdns.error.empty()) {
            fail(mdns.error);
            return result_;
        }
        if (mdns.taken > 0) {
            next_ += mdns.taken;
            continue;
        }
        if (!option(arguments_[next_++])) {
            return result_;
        }
        if (result_.help || result_.version) {
            return result_;
        }
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

std::optional<std::string_view> Parser::value(std::string_view option) {
    if (inline_value_) {
        return inline_value_;
    }
    if (next_ >= arguments_.size()) {
        fail(std::string(option) + " needs a value");
        return std::nullopt;
    }
    return arguments_[next_++];
}

bool Parser::option(std::string_view argument) {
    inline_value_.reset();
    std::string_view name = argument;
    if (const size_t equals = argument.find('=');
        argument.starts_with("--") && equals != std::string_view::npos) {
        name = argument.substr(0, equals);
        inline_value_ = argument.substr(equals + 1);
    }
    SimOptions& options = result_.options;
    const std::string option_name(name);

    if (name == "--help" || name == "-h") {
        result_.help = true;
        return true;
    }
    if (name == "--version") {
        result_.version = true;
        return true;
    }
    if (name == "--quiet") {
        options.quiet = true;
        return true;
    }
    if (name == "--silent") {
        options.silent = true;
        return true;
    }
    if (name == "--unit" || name == "--device") {
        const auto text = value(name);
        return text && (name == "--unit" ? parse_unit(*text) : parse_device(*text));
    }
    if (name == "--units") {
        const auto text = value(name);
        return text && parse_units(*text);
    }
    if (name == "--mute") {
        const auto text = value(name);
        if (!text) {
            return false;
        }
        options.muted_devices.emplace_back(*text);
        return true;
    }
    if (name == "--local-name") {
        const auto text = value(name);
        if (!text || !check_name(*text)) {
            return false;
        }
        options.conmon.local_device_name = std::string(*text);
        return true;
    }
    if (name == "--conmon-port") {
        const auto text = value(name);
        const auto port = text ? parse_number<uint16_t>(*text) : std::nullopt;
        if (!port) {
            return text && fail(option_name + ": not a port number: " + std::string(*text));
        }
        options.conmon.port = *port;
        return true;
    }
    if (name == "--server-version") {
        const auto text = value(name);
        const auto version = text ? parse_number<uint16_t>(*text) : std::nullopt;
        if (!version || *version < CONMON_PROTOCOL_VERSION_MIN ||
            *version > CONMON_PROTOCOL_VERSION_MAX) {
            return text && fail(option_name +
                                ": not a version from 0x1000 to 0x1FFF: " + std::string(*text));
        }
        options.conmon.version = *version;
        return true;
    }
    if (name == "--client-timeout" || name == "--delay" || name == "--seed") {
        const auto text = value(name);
        const auto number = text ? parse_number<uint32_t>(*text) : std::nullopt;
        if (!number) {
            return text && fail(option_name + ": not a number: " + std::string(*text));
        }
        if (name == "--client-timeout") {
            options.conmon.client_timeout = std::chrono::seconds(*number);
        } else if (name == "--delay") {
            options.delay = std::chrono::milliseconds(*number);
        } else {
            options.conmon.seed = *number;
        }
        return true;
    }
    if (name == "--drop" || name == "--corrupt" || name == "--drop-incoming" ||
        name == "--corrupt-incoming") {
        const auto text = value(name);
        const auto fraction = text ? parse_fraction(*text) : std::nullopt;
        if (!fraction) {
            return text &&
                   fail(option_name + ": not a fraction from 0 to 1: " + std::string(*text));
        }
        DatagramFaultSettings& faults =
            name.ends_with("-incoming") ? options.faults_from_clients : options.faults_to_clients;
        (name.starts_with("--drop") ? faults.drop_fraction : faults.corrupt_fraction) = *fraction;
        return true;
    }
    return fail("unknown option: " + std::string(argument));
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
        return fail("--units: a number of units from 1 to " + std::to_string(kMaxUnitsAtOnce) + ": " +
                    std::string(parts[0]));
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
            !parse_unit_key(unit, parts[i].substr(0, equals), parts[i].substr(equals + 1), "--units")) {
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

std::vector<Tpx2UnitSettings> default_units() {
    Tpx2UnitSettings stage;
    stage.name = "TPX2-Stage";
    Tpx2UnitSettings booth;
    booth.name = "TPX2-Booth";
    return {stage, booth};
}

ParsedOptions parse_sim_options(std::span<const std::string_view> arguments) {
    return Parser(arguments).parse();
}

const char* sim_usage() {
    return kUsage;
}

}  // namespace sim
