// What the tests of tpx2ctl share: one run of a command in-process and its
// outcome, an output stream another thread may read while the command writes
// to it, and a bounded wait for a condition.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_runner.h"

namespace cli_test {

// What a script sees of one command: its exit status and both streams.
struct CliRun {
    int status;
    std::string out;
    std::string err;
};

// Parses and runs one command line as tpx2ctl would, with `input` as its
// standard input when given (else the process's own).
inline CliRun run_tpx2ctl(const std::vector<std::string>& arguments, const std::atomic<bool>& interrupted,
                          const std::optional<std::string>& input = std::nullopt) {
    const CliParseResult parsed = parse_cli_arguments(arguments);
    if (!parsed.options) {
        return {kExitUsage, "", parsed.error};
    }
    std::ostringstream out;
    std::ostringstream err;
    int status = 0;
    if (input) {
        std::istringstream in(*input);
        status = run_cli_command(*parsed.options, in, out, err, interrupted);
    } else {
        status = run_cli_command(*parsed.options, out, err, interrupted);
    }
    return {status, out.str(), err.str()};
}

class SharedOutput : public std::streambuf {
public:
    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

protected:
    int overflow(int c) override {
        if (c != traits_type::eof()) {
            std::lock_guard lock(mutex_);
            text_ += static_cast<char>(c);
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard lock(mutex_);
        text_.append(s, static_cast<size_t>(n));
        return n;
    }

private:
    std::mutex mutex_;
    std::string text_;
};

// Polls `pred` every 20 ms until it holds or `limit` has passed.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace cli_test
