// What the tests of tpx2ctl share: the outcome of one run of a command, an
// output stream another thread may read while the command writes to it, and
// a bounded wait for a condition.
#pragma once

#include <chrono>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

namespace cli_test {

// What a script sees of one command: its exit status and both streams.
struct CliRun {
    int status;
    std::string out;
    std::string err;
};

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
