// tpx2ctl: configure TPX-2 units from the command line or from scripts.
#include <atomic>
#include <clocale>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "tpx2_version.h"

namespace {

std::atomic<bool> interrupted{false};

extern "C" void on_interrupt(int) {
    interrupted = true;
}

}  // namespace

int main(int argc, char** argv) {
    // Device names are converted in the user's locale, as the utility does.
    std::setlocale(LC_ALL, "");
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const CliParseResult parsed = parse_cli_arguments(arguments);
    if (!parsed.options) {
        std::cerr << "tpx2ctl: " << parsed.error << "\n(run 'tpx2ctl --help' for usage)\n";
        return kExitUsage;
    }
    if (parsed.options->help) {
        std::cout << parsed.usage;
        return kExitSuccess;
    }
    if (parsed.options->version) {
        std::cout << cli_version_text() << "\n";
        return kExitSuccess;
    }
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    return run_cli_command(*parsed.options, std::cout, std::cerr, interrupted);
}
