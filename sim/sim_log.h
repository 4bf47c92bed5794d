// The simulator's log: one line per notable event on standard output, each
// stamped with the wall-clock time and the service that wrote it. Safe to
// call from any thread; a quiet log writes nothing.
#pragma once

#include <atomic>
#include <mutex>

#include "avn/runtime/aud_format.h"

namespace sim {

class SimLog {
  public:
    explicit SimLog(bool quiet = false) : quiet_(quiet) {}
    SimLog(const SimLog&) = delete;
    SimLog& operator=(const SimLog&) = delete;

    void set_quiet(bool quiet) { quiet_ = quiet; }
    bool quiet() const { return quiet_; }

    // printf-style through the runtime's own formatter, so every platform
    // formats alike; the newline is added here.
    void line(const char* service, const char* format, ...) AUD_FORMAT_CHECK(3, 4);

  private:
    std::atomic<bool> quiet_;
    std::mutex mutex_;
};

}  // namespace sim
