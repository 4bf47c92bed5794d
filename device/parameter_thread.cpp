#include "device/parameter_thread.h"

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "device/app_messages.h"
#include "device/parameters.h"
#include "device/sync_event.h"

namespace {

constexpr uint32_t kWaitSliceMs = 250;
// While the link is being restored the thread only polls the transport.
constexpr uint32_t kOutageSliceMs = 50;
constexpr size_t kReceiveBufferSize = 256;

struct ParameterChange {
    uint32_t command = 0;
    uint32_t id = 0;
    int32_t value = 0;
};

// Process-wide state of the single parameter thread. The window thread
// starts and stops it; the queue and event are shared with the thread.
std::thread worker;
std::atomic<int> stop_flag{0};
std::atomic<bool> started{false};
MessageTarget bound_window;
std::unique_ptr<ChannelTransport> owned_transport;
std::deque<ParameterChange> change_queue;
std::recursive_timed_mutex queue_mutex;
SyncEvent wake_up{SyncEvent::Reset::Manual};

std::optional<std::unique_lock<std::recursive_timed_mutex>> lock_queue() {
    return lock_unless_stopped(queue_mutex, stop_flag, kWaitSliceMs);
}

std::optional<ParameterChange> take_parameter_change() {
    auto lock = lock_queue();
    if (!lock || stop_flag || change_queue.empty()) {
        return std::nullopt;
    }
    ParameterChange change = change_queue.front();
    change_queue.pop_front();
    if (change_queue.empty()) {
        wake_up.reset();
    }
    return change;
}

void post_report(std::span<const uint8_t> payload) {
    for (const ParameterValue& pair : parse_parameter_report(payload)) {
        bound_window.post(WM_APP_PARAM_REPORT, pair.id, pair.value);
    }
}

// Puts a change back at the front of the queue.
void requeue_parameter_change(const ParameterChange& change) {
    auto lock = lock_queue();
    if (!lock || stop_flag) {
        return;
    }
    change_queue.push_front(change);
    wake_up.set();
}

void send_change(ChannelTransport& transport, const ParameterChange& change) {
    const auto message = encode_set_parameter(static_cast<uint8_t>(change.command),
                                              static_cast<uint8_t>(change.id), change.value);
    const bool delivered = transport.write_channel(message, ChannelTransport::kParameterChannel,
                                                   kParameterWriteLimitMs);
    if (!delivered && transport.link_lost()) {
        return;  // the loop reports the lost link, once
    }
    if (!delivered && transport.link_down_ms()) {
        // The link went down under the write, or is in doubt after it: send
        // it again once the link is known good.
        requeue_parameter_change(change);
        return;
    }
    bound_window.post(delivered ? WM_APP_PARAM_SENT : WM_APP_SEND_FAILED, change.id,
                      change.value);
}

// False when the request must be made again once the link is back.
bool request_all(ChannelTransport& transport) {
    if (transport.write_channel(encode_request_all(), ChannelTransport::kParameterChannel,
                                kParameterWriteLimitMs)) {
        return true;
    }
    if (transport.link_lost() || transport.link_down_ms()) {
        return false;
    }
    bound_window.post(WM_APP_SEND_FAILED, 0, 0);
    return true;
}

// What the window is told when the link ends for good.
uintptr_t link_failure_cause(const ChannelTransport& transport) {
    if (transport.link_lost()) {
        return kLinkDomainLost;
    }
    return transport.service_down() ? kLinkServiceDown : 0;
}

void wait_for_stop() {
    while (!stop_flag) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kOutageSliceMs));
    }
}

void parameter_thread(ChannelTransport* transport) {
    if (!transport->open(kParameterOpenLimitMs)) {
        // The service to blame: the Domain Manager of a managed domain, or
        // the local one; none when the unit did not answer.
        uintptr_t why = 0;
        if (transport->service_down()) {
            why = transport->through_domain_manager() ? kLinkDomainLost : kLinkServiceDown;
        }
        bound_window.post(WM_APP_CONNECT_FAILED, why, 0);
        return;
    }
    bound_window.post(WM_APP_CONNECTED, 0, 0);
    bool values_wanted = !request_all(*transport);
    std::array<uint8_t, kReceiveBufferSize> received;
    while (!stop_flag) {
        const size_t n = transport->read_channel(received, ChannelTransport::kParameterChannel, 0);
        if (n > 0) {
            post_report({received.data(), std::min(n, received.size())});
        }
        if (transport->link_lost()) {
            bound_window.post(WM_APP_SEND_FAILED, 0, link_failure_cause(*transport));
            wait_for_stop();
            return;
        }
        // What the unit reported while the link was down is lost.
        values_wanted = transport->take_link_restored() || values_wanted;
        if (values_wanted && !transport->link_down_ms()) {
            values_wanted = !request_all(*transport);
        }
        if (const std::optional<uint32_t> down = transport->link_down_ms()) {
            if (*down >= kLinkRestoreLimitMs) {
                bound_window.post(WM_APP_SEND_FAILED, 0, link_failure_cause(*transport));
                wait_for_stop();
                return;
            }
            // Changes wait in the queue until the link is back.
            std::this_thread::sleep_for(std::chrono::milliseconds(kOutageSliceMs));
            continue;
        }
        if (!wake_up.wait_for(kWaitSliceMs)) {
            continue;
        }
        if (const std::optional<ParameterChange> change = take_parameter_change()) {
            send_change(*transport, *change);
        }
    }
}

}  // namespace

void start_parameter_thread(MessageTarget window, std::unique_ptr<ChannelTransport> transport) {
    stop_parameter_thread();
    stop_flag = 0;
    {
        std::lock_guard lock(queue_mutex);
        change_queue.clear();
    }
    wake_up.reset();
    bound_window = window;
    owned_transport = std::move(transport);
    started = true;
    worker = std::thread(parameter_thread, owned_transport.get());
}

void stop_parameter_thread() {
    if (worker.joinable()) {
        stop_flag = 1;
        wake_up.set();  // ends the thread's wait now rather than at the end of its slice
        worker.join();
    }
    started = false;
    {
        std::lock_guard lock(queue_mutex);
        change_queue.clear();
    }
    wake_up.reset();
    if (owned_transport) {
        if (owned_transport->is_open()) {
            owned_transport->close();
        }
        owned_transport.reset();
    }
    if (bound_window) {
        const MessageTarget window = bound_window;
        bound_window = {};
        window.send(WM_APP_DISCONNECTED, 0, 0);
    }
}

bool parameter_link_restoring() {
    return started && owned_transport && owned_transport->link_down_ms().has_value();
}

void queue_parameter_change(uint32_t command, uint32_t id, int32_t value) {
    if (stop_flag || !started) {
        return;
    }
    auto lock = lock_queue();
    if (!lock) {
        return;
    }
    change_queue.push_back({command, id, value});
    wake_up.set();
}
