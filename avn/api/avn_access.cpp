#include "avn/api/avn_access.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "avn/runtime/socket.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kStepWaitMs = 100;
constexpr uint32_t kLongStepWaitMs = 1000;
constexpr uint32_t kEventLoopMutexWaitMs = 100;
// A failing step returns at once; the event-loop thread then pauses this long
// so that a lasting socket fault does not turn it into a busy loop.
constexpr milliseconds kFailedStepPause{10};
// How long a releasing thread steps aside for a thread that waits.
constexpr milliseconds kHandOverLimit{20};
// Between two CONNECT attempts while the connection manager refuses or its
// port is closed.
constexpr milliseconds kConnectRetryInterval{500};
// How long a CONNECT may go unanswered before it is sent again: a service
// that answers within this is never abandoned (each abandoned CONNECT leaves
// a registration behind in it), while one that starts after the CONNECT was
// lost (where a closed port is not reported) is still found.
constexpr milliseconds kConnectAnswerLimit{2000};
// How long stop_avn_api steps for the connection manager's disconnection.
constexpr milliseconds kDisconnectLimit{1000};

constexpr const char* kCmmClientName = "FWUpdater";

// ---- The mutex and its fair hand-over ----

std::atomic<int> lock_waiters{0};
std::atomic<uint64_t> lock_acquisitions{0};
thread_local int lock_depth = 0;

// ---- Waking a step for a thread that wants the mutex ----
// A step holds the mutex while it waits (up to 100 ms) for the runtime's
// sockets. A thread that finds the mutex busy sends one byte to the waker,
// whose socket every step also waits on, so that the holder's wait ends at
// once instead of running its course. The receiving end is touched only under
// the AVN API mutex; the sending end under a small mutex of its own.

std::mutex waker_mutex;
aud_socket_t waker_receiver = AUD_SOCKET_INVALID;
aud_socket_t waker_sender = AUD_SOCKET_INVALID;

void close_waker() {
    std::lock_guard lock(waker_mutex);
    aud_socket_close(&waker_sender);
    aud_socket_close(&waker_receiver);
}

// A failure only costs the early wake-ups.
void open_waker() {
    std::lock_guard lock(waker_mutex);
    aud_socket_address local{};
    aud_socket_address_set_ipv4(&local, 0x7F000001u, 0);
    const bool opened = aud_socket_open_bound(&waker_receiver, &local, &local) == AUD_SUCCESS &&
                        aud_socket_open_and_connect(&waker_sender, &local) == AUD_SUCCESS &&
                        aud_socket_set_blocking(waker_sender, false) == AUD_SUCCESS;
    if (!opened) {
        aud_socket_close(&waker_sender);
        aud_socket_close(&waker_receiver);
    }
}

void wake_holder() {
    std::lock_guard lock(waker_mutex);
    if (waker_sender != AUD_SOCKET_INVALID) {
        const uint8_t byte = 0;
        size_t length = 1;
        aud_socket_send(waker_sender, &byte, &length);
    }
}

void drain_waker() {
    uint8_t buffer[16];
    for (int i = 0; i < 64; ++i) {
        size_t length = sizeof buffer;
        if (aud_socket_recv(waker_receiver, buffer, &length) != AUD_SUCCESS) {
            return;
        }
    }
}

// ---- Process-wide state ----

std::atomic<avnapi*> instance{nullptr};
std::atomic<cmm_client*> cmm{nullptr};
std::thread event_loop_thread;
std::atomic<bool> event_loop_quit{false};

// The options and window callbacks are set from the window thread and read
// inside processing steps; a mutex of their own keeps each pair whole.
std::mutex settings_mutex;
avn_api_options current_options;

template <typename Fn>
struct WindowCallback {
    Fn function = nullptr;
    void* window = nullptr;
};
WindowCallback<avn_domain_change_fn> domain_change_callback;
WindowCallback<avn_network_options_fn> network_options_callback;
WindowCallback<avn_network_state_fn> network_state_callback;

template <typename Fn>
WindowCallback<Fn> read_callback(const WindowCallback<Fn>& stored) {
    std::lock_guard lock(settings_mutex);
    return stored;
}

template <typename Fn>
void write_callback(WindowCallback<Fn>& stored, Fn function, void* window) {
    std::lock_guard lock(settings_mutex);
    stored = {function, window};
}

// ---- Callbacks of the AVN API (inside processing steps) ----

void on_domain_event(const avn_domain_handler_event* event) {
    const auto callback = read_callback(domain_change_callback);
    if (callback.function != nullptr) {
        callback.function(callback.window, event);
    }
}

void on_cmm_event(cmm_client* client, const cmm_event* event, void* /*context*/) {
    if ((event->flags & CMM_EVENT_STATE) != 0) {
        const auto callback = read_callback(network_state_callback);
        const cmm_state* state = cmm_client_get_state(client);
        if (state != nullptr && callback.function != nullptr) {
            callback.function(callback.window, state);
        }
    }
    if ((event->flags & CMM_EVENT_OPTIONS) != 0) {
        const auto callback = read_callback(network_options_callback);
        const cmm_options* options = cmm_client_get_options(client);
        if (options != nullptr && callback.function != nullptr) {
            callback.function(callback.window, client, options);
        }
    }
}

// ---- Steps ----

aud_error step(avnapi_runtime* runtime, uint32_t cap_ms) {
    aud_fdsets sets;
    aud_fdsets_clear(&sets);
    aud_time timeout = aud_time_from_milliseconds(cap_ms);
    aud_error error = avnapi_runtime_get_fdsets(runtime, &sets, &timeout);
    if (error != AUD_SUCCESS) {
        return error;
    }
    const aud_time cap = aud_time_from_milliseconds(cap_ms);
    if (aud_time_compare(timeout, cap) > 0) {
        timeout = cap;
    }
    const bool no_sockets = sets.read.count <= 0 && sets.write.count <= 0;
    const bool wakeable = waker_receiver != AUD_SOCKET_INVALID && aud_fd_set_add(&sets.read, waker_receiver);
    error = aud_fdsets_wait(&sets, timeout);
    if (wakeable && aud_fd_set_contains(&sets.read, waker_receiver)) {
        drain_waker();
        aud_fd_set_remove(&sets.read, waker_receiver);
    }
    if (error != AUD_SUCCESS) {
        if (!no_sockets) {
            const char* text = aud_error_message(error);
            std::printf("Error processing sockets: %s (%d)\n", text != nullptr ? text : "unknown",
                        error);
            std::fflush(stdout);
        }
        return error;
    }
    return avnapi_runtime_process(runtime, &sets);
}

void keep_cmm_connected(Clock::time_point& last_attempt);

void avn_event_loop_thread() {
    auto last_cmm_attempt = Clock::now();
    while (!event_loop_quit) {
        if (!avn_api_lock(kEventLoopMutexWaitMs)) {
            continue;
        }
        avnapi* api = instance;
        const aud_error error =
            api != nullptr ? step_avn_events(avnapi_get_runtime(api)) : AUD_SUCCESS;
        keep_cmm_connected(last_cmm_attempt);
        avn_api_unlock();
        if (error != AUD_SUCCESS) {
            std::this_thread::sleep_for(kFailedStepPause);
        }
    }
}

// Frees the connection-manager client: asks the service to let it go, steps
// (bounded) until it is disconnected, closes it.
void release_cmm_client(cmm_client* client, avnapi* api) {
    if (cmm_client_get_connection_state(client) != CMM_CLIENT_DISCONNECTED) {
        cmm_client_stop(client);
        const auto deadline = Clock::now() + kDisconnectLimit;
        while (cmm_client_get_connection_state(client) == CMM_CLIENT_CONNECTED &&
               Clock::now() < deadline) {
            step_avn_events(avnapi_get_runtime(api));
        }
    }
    cmm_client_close(client);
    cmm_client_delete(client);
}

// Sends a fresh CONNECT from a fresh socket.
void reopen_cmm_client(cmm_client* client) {
    cmm_client_close(client);
    if (cmm_client_init(client, kCmmClientName) == AUD_SUCCESS) {
        cmm_client_start(client);
    }
}

// Whether a new CONNECT is due: the client dropped back to disconnected (the
// service refused, or its port is closed) and the retry interval has passed,
// or the last CONNECT has gone unanswered for too long.
bool cmm_connect_due(cmm_client* client, Clock::time_point now, Clock::time_point last_attempt) {
    switch (cmm_client_get_connection_state(client)) {
        case CMM_CLIENT_DISCONNECTED: return now >= last_attempt + kConnectRetryInterval;
        case CMM_CLIENT_CONNECTING: return now >= last_attempt + kConnectAnswerLimit;
        default: return false;
    }
}

// Steps until the connection manager accepted the client or the limit has
// passed, sending CONNECT again when it is due.
bool wait_for_connection_manager(cmm_client* client, avnapi* api, uint32_t limit_ms) {
    const auto start = Clock::now();
    const auto deadline = start + milliseconds(limit_ms);
    auto last_attempt = start;
    while (cmm_client_get_connection_state(client) != CMM_CLIENT_CONNECTED) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        if (cmm_connect_due(client, now, last_attempt)) {
            reopen_cmm_client(client);
            last_attempt = now;
        }
        step_avn_events(avnapi_get_runtime(api));
    }
    return true;
}

// Once started, a connection to the connection manager that is lost (the
// service restarted or stopped answering) is made again, so that its
// options and state reach the window again without a restart of the
// application. Called by the event-loop thread with the mutex held.
void keep_cmm_connected(Clock::time_point& last_attempt) {
    cmm_client* client = cmm;
    const auto now = Clock::now();
    if (client != nullptr && cmm_connect_due(client, now, last_attempt)) {
        reopen_cmm_client(client);
        last_attempt = now;
    }
}

aud_error start_locked(const avn_api_options& options) {
    if (instance != nullptr) {
        return AUD_ERR_ALREADY;
    }
    {
        std::lock_guard lock(settings_mutex);
        current_options = options;
    }
    avnapi* api = nullptr;
    aud_error error = avnapi_new(&api);
    if (error != AUD_SUCCESS) {
        return error;
    }
    avn_domain_handler_set_event_callback(avnapi_get_domain_handler(api), on_domain_event);

    cmm_client* client = nullptr;
    error = cmm_client_new(api, &client);
    if (error != AUD_SUCCESS) {
        avnapi_delete(api);
        return error;
    }
    error = cmm_client_set_service_port(client, options.cmm_port);
    if (error == AUD_SUCCESS) {
        error = cmm_client_init(client, kCmmClientName);
    }
    if (error == AUD_SUCCESS) {
        cmm_client_set_event_callback(client, on_cmm_event);
        error = cmm_client_start(client);
    }
    if (error == AUD_SUCCESS &&
        !wait_for_connection_manager(client, api, options.connect_limit_ms)) {
        error = AUD_ERR_NOTRUNNING;
    }
    if (error != AUD_SUCCESS) {
        release_cmm_client(client, api);
        avnapi_delete(api);
        return error;
    }

    instance = api;
    cmm = client;
    open_waker();
    event_loop_quit = false;
    try {
        event_loop_thread = std::thread(avn_event_loop_thread);
    } catch (const std::system_error&) {
        // No thread to keep the runtime going: undo everything, and let the
        // caller (a window procedure among them) see an error, not an
        // exception.
        instance = nullptr;
        cmm = nullptr;
        close_waker();
        release_cmm_client(client, api);
        avnapi_delete(api);
        return AUD_ERR_SYSTEM;
    }
    return AUD_SUCCESS;
}

}  // namespace

// ---- The mutex ----

std::recursive_timed_mutex& avn_api_mutex() {
    // Never destroyed: threads may still be releasing it while statics go.
    static auto* mutex = new std::recursive_timed_mutex;
    return *mutex;
}

bool avn_api_lock(uint32_t limit_ms) {
    if (lock_depth > 0) {
        // Already ours: a recursive take never waits.
        avn_api_mutex().lock();
        ++lock_depth;
        return true;
    }
    ++lock_waiters;
    bool obtained = avn_api_mutex().try_lock();
    if (!obtained) {
        wake_holder();
        obtained = avn_api_mutex().try_lock_for(milliseconds(limit_ms));
    }
    --lock_waiters;
    if (obtained) {
        ++lock_depth;
        ++lock_acquisitions;
    }
    return obtained;
}

void avn_api_lock_unbounded() {
    while (!avn_api_lock(250)) {
    }
}

void avn_api_unlock() {
    const bool released = --lock_depth == 0;
    const uint64_t acquisitions = lock_acquisitions;
    avn_api_mutex().unlock();
    if (!released) {
        return;
    }
    // Step aside until a waiting thread has taken the mutex (or stopped
    // waiting), so that taking it again at once cannot starve it.
    const auto deadline = Clock::now() + kHandOverLimit;
    for (int round = 0; lock_waiters > 0 && lock_acquisitions == acquisitions; ++round) {
        if (Clock::now() >= deadline) {
            break;
        }
        if (round < 16) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
}

// ---- Steps ----

aud_error step_avn_events(avnapi_runtime* runtime) {
    return step(runtime, kStepWaitMs);
}

aud_error step_avn_events_long(avnapi_runtime* runtime) {
    return step(runtime, kLongStepWaitMs);
}

// ---- Start and stop ----

aud_error start_avn_api(const avn_api_options* options) {
    avn_api_lock_unbounded();
    const aud_error error = start_locked(options != nullptr ? *options : avn_api_options{});
    avn_api_unlock();
    return error;
}

void stop_avn_api() {
    if (event_loop_thread.joinable()) {
        event_loop_quit = true;
        event_loop_thread.join();
    }
    avn_api_lock_unbounded();
    avnapi* api = instance.exchange(nullptr);
    cmm_client* client = cmm.exchange(nullptr);
    if (client != nullptr) {
        release_cmm_client(client, api);
    }
    if (api != nullptr) {
        avnapi_delete(api);
    }
    close_waker();
    avn_api_unlock();
}

avnapi* avn_api_instance() {
    return instance;
}

cmm_client* avn_api_cmm_client() {
    return cmm;
}

avn_api_options avn_api_current_options() {
    std::lock_guard lock(settings_mutex);
    return current_options;
}

// ---- Window callbacks ----

void set_domain_change_callback(avn_domain_change_fn callback, void* window) {
    write_callback(domain_change_callback, callback, window);
}

void set_network_options_callback(avn_network_options_fn callback, void* window) {
    write_callback(network_options_callback, callback, window);
}

void set_network_state_callback(avn_network_state_fn callback, void* window) {
    write_callback(network_state_callback, callback, window);
}
