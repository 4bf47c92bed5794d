// What the native benchmarks share: this process's CPU time, a processing
// step of the AVN event loop as the application takes it, and avn-sim's
// DNS-SD responder in a child process (so that its CPU time is not ours).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "avn/runtime/aud_event_loop.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"

namespace bench {

inline double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One processing step: wait for the loop's sockets (at most `cap`),
// dispatch, then the deferred calls and timers that are due.
inline void step(aud_event_loop* loop, std::chrono::milliseconds cap) {
    aud_fdsets sets;
    aud_fdsets_clear(&sets);
    aud_event_loop_get_fdsets(loop, &sets);
    aud_time wait = aud_event_loop_get_timeout(loop);
    const aud_time most = aud_time_from_milliseconds(cap.count());
    if (aud_time_compare(wait, most) > 0) {
        wait = most;
    }
    if (aud_fdsets_wait(&sets, wait) == AUD_SUCCESS) {
        aud_event_loop_dispatch(loop, &sets);
    }
    aud_event_loop_step(loop);
}

// Runs the responder with these devices in a child process until they are
// announced; returns the pipe whose closing (or a byte on it) stops it, or
// -1 when it did not start.
inline int start_responder(const std::vector<sim::MdnsDevice>& devices,
                           std::chrono::seconds announce_limit, pid_t* child) {
    int ready[2];
    int stop[2];
    if (pipe(ready) != 0 || pipe(stop) != 0) {
        return -1;
    }
    *child = fork();
    if (*child == 0) {
        close(ready[0]);
        close(stop[1]);
        sim::SimLog log(true);
        sim::MdnsSettings settings;
        settings.enabled = true;
        sim::MdnsResponder responder(log, settings);
        for (const sim::MdnsDevice& device : devices) {
            responder.add_device(device);
        }
        const bool ok = responder.start() == AUD_SUCCESS && responder.wait_announced(announce_limit);
        const char status = ok ? 1 : 0;
        [[maybe_unused]] ssize_t written = write(ready[1], &status, 1);
        char byte = 0;
        [[maybe_unused]] ssize_t got = read(stop[0], &byte, 1);
        responder.stop();
        _exit(0);
    }
    close(ready[1]);
    close(stop[0]);
    char status = 0;
    if (read(ready[0], &status, 1) != 1 || status != 1) {
        return -1;
    }
    close(ready[0]);
    return stop[1];
}

}  // namespace bench
