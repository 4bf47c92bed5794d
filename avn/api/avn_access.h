// The application's serialised access to the AVN API.
//
// The AVN API is single-threaded; the application calls it from several
// threads. Whoever calls into it, or runs a processing step, holds the one
// process-wide `avn_api_mutex` (Win32 mutex semantics: recursive, waits with
// a time limit). Callbacks of the AVN API therefore run with the mutex held,
// on whichever thread runs the step. A thread that waits for an answer steps
// the runtime itself with `step_avn_events`; when nobody does, the
// `avn_event_loop_thread` started by `start_avn_api` keeps it running.
//
// `start_avn_api` builds the one `avnapi` instance and the connection-manager
// client "FWUpdater", waits (bounded) until the local connection manager has
// accepted it, and starts the event-loop thread. `stop_avn_api` undoes it.
#pragma once

#include <cstdint>
#include <mutex>

#include "avn/conmon/conmon_client.h"
#include "avn/domain/cmm_client.h"
#include "avn/domain/domain_handler.h"
#include "avn/runtime/aud_error.h"
#include "avn/api/avnapi.h"

// How long start_avn_api waits for the connection manager by default.
inline constexpr uint32_t AVN_API_DEFAULT_CONNECT_LIMIT_MS = 5000;

// Where the local AVN services are found. The defaults are the product's;
// tests and tools point them at simulated services.
struct avn_api_options {
    uint16_t cmm_port = CMM_DEFAULT_PORT;               // connection manager, UDP on 127.0.0.1
    uint16_t conmon_port = CONMON_CLIENT_DEFAULT_PORT;  // conmon server, UDP on 127.0.0.1
    // The longest start_avn_api waits for the connection manager to accept
    // the client.
    uint32_t connect_limit_ms = AVN_API_DEFAULT_CONNECT_LIMIT_MS;
};

// ---- The mutex ----

// The process-wide mutex; it lives until the process ends.
std::recursive_timed_mutex& avn_api_mutex();

// Takes the mutex, waiting at most the limit; false on time-out. Prefer these
// to locking avn_api_mutex() directly: a thread that gives the mutex up while
// others wait for it steps aside briefly, so that a thread that takes it
// again at once (a polling loop, the event-loop thread) cannot starve them.
bool avn_api_lock(uint32_t limit_ms);
// Takes the mutex however long it takes (every holder releases it within a
// bounded time).
void avn_api_lock_unbounded();
void avn_api_unlock();

// Holds the mutex for a scope when it was obtained within the limit.
class AvnApiLock {
public:
    explicit AvnApiLock(uint32_t limit_ms) : owned_(avn_api_lock(limit_ms)) {}
    ~AvnApiLock() {
        if (owned_) {
            avn_api_unlock();
        }
    }
    AvnApiLock(const AvnApiLock&) = delete;
    AvnApiLock& operator=(const AvnApiLock&) = delete;

    bool owns_lock() const { return owned_; }
    explicit operator bool() const { return owned_; }

private:
    bool owned_;
};

// ---- Processing steps (call with the mutex held) ----

// One processing step: waits for the runtime's sockets, at most 100 ms (less
// when the runtime wants to be stepped sooner; not at all with deferred calls
// queued), then processes what is ready. With no sockets it sleeps for the
// wait. A failing wait on sockets prints "Error processing sockets: %s (%d)\n"
// to standard output and returns the error.
aud_error step_avn_events(avnapi_runtime* runtime);
// The same with a wait of up to one second.
aud_error step_avn_events_long(avnapi_runtime* runtime);

// ---- Start and stop ----

// Creates the instance and the connection-manager client and waits until the
// connection manager accepted the client (ALREADY when started). When no
// connection manager accepts it within the options' limit, everything built
// is freed again and NOTRUNNING is returned: the AVN platform service is not
// running. Other errors are those of the failing step. Options may be null
// for the product's defaults.
aud_error start_avn_api(const avn_api_options* options = nullptr);
// Stops the event-loop thread, disconnects and frees the connection-manager
// client, frees the instance. Does nothing when not started.
void stop_avn_api();

// The instance and the connection-manager client while started, else null.
// Use them with the mutex held.
avnapi* avn_api_instance();
cmm_client* avn_api_cmm_client();
// The options start_avn_api was given (the defaults before any start).
avn_api_options avn_api_current_options();

// ---- Window callbacks ----
// Each stores one (function, window) pair; a null function removes it. The
// functions run inside processing steps, with the mutex held.

using avn_domain_change_fn = void (*)(void* window, const avn_domain_handler_event* event);
using avn_network_options_fn = void (*)(void* window, cmm_client* client,
                                        const cmm_options* options);
using avn_network_state_fn = void (*)(void* window, const cmm_state* state);

void set_domain_change_callback(avn_domain_change_fn callback, void* window);
void set_network_options_callback(avn_network_options_fn callback, void* window);
void set_network_state_callback(avn_network_state_fn callback, void* window);
