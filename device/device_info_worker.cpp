#include "device/device_info_worker.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "device/app_messages.h"
#include "device/framed_command.h"
#include "device/sync_event.h"

namespace {

constexpr uint32_t kWaitSliceMs = 250;
constexpr intptr_t kVersionNotFound = -1;

// Process-wide state of the one worker. The window threads queue requests;
// only bootload_version_thread takes them.
std::thread worker;
std::atomic<bool> worker_running{false};
std::atomic<bool> stop_flag{false};
std::deque<std::unique_ptr<DeviceInfoRequest>> request_queue;
std::recursive_timed_mutex queue_mutex;
SyncEvent wake_up{SyncEvent::Reset::Automatic};

std::optional<std::unique_lock<std::recursive_timed_mutex>> lock_queue() {
    return lock_unless_stopped(queue_mutex, stop_flag, kWaitSliceMs);
}

bool ask_version(FramedCommandLink& link, uint8_t type) {
    return link.send_command(type, {}, kVersionQueryAttempts, kVersionQueryIntervalMs);
}

// The application version as posted, -1 when not found. A reply too short to
// hold a version counts as no answer. With `zero_is_found` a reported 0 is
// posted as it is (the unit has a bootloader version, so it did answer).
intptr_t query_application_version(FramedCommandLink& link, bool zero_is_found) {
    if (!ask_version(link, CMD_APPLICATION_VERSION)) {
        return kVersionNotFound;
    }
    const std::optional<uint32_t> version = decode_application_version(link.reply_message());
    if (!version || (*version == 0 && !zero_is_found)) {
        return kVersionNotFound;
    }
    return static_cast<intptr_t>(*version);
}

void serve(DeviceInfoRequest& request) {
    const MessageTarget window = request.window;
    FramedCommandLink link(std::move(request.transport));
    if (!link.transport().open(kDeviceInfoOpenLimitMs) ||
        !ask_version(link, CMD_BOOTLOADER_VERSION)) {
        const uintptr_t why = link.transport().service_down() ? kLinkServiceDown : 0;
        window.post(WM_APP_BOOTLOADER_NOT_FOUND, why, 0);
        window.post(WM_APP_APPLICATION_VERSION, why, kVersionNotFound);
    } else {
        // A reply too short to hold a version is treated as version 0: the
        // unit answers, so its application version is still asked.
        const uint16_t bootloader =
            decode_bootloader_version(link.reply_message()).value_or(0);
        if (bootloader != 0) {
            window.post(WM_APP_BOOTLOADER_VERSION, bootloader, 0);
        } else {
            window.post(WM_APP_BOOTLOADER_NOT_FOUND, 0, 0);
        }
        window.post(WM_APP_APPLICATION_VERSION, 0,
                    query_application_version(link, bootloader != 0));
        link.transport().close();
    }
    window.post(WM_APP_QUERY_DONE, 0, 0);
}

void bootload_version_thread() {
    while (!stop_flag) {
        if (!wake_up.wait_for(kWaitSliceMs)) {
            continue;
        }
        // Serve only the newest of the waiting requests; the older ones are
        // freed with their transports and get no answer.
        std::unique_ptr<DeviceInfoRequest> newest;
        while (auto request = take_device_info_request()) {
            newest = std::move(request);
        }
        if (newest && !stop_flag) {
            serve(*newest);
        }
    }
}

void clear_queue() {
    std::lock_guard lock(queue_mutex);
    request_queue.clear();
}

}  // namespace

void start_device_info_worker() {
    stop_device_info_worker();
    stop_flag = false;
    clear_queue();
    wake_up.reset();
    worker = std::thread(bootload_version_thread);
    worker_running = true;
}

void stop_device_info_worker() {
    if (!worker.joinable()) {
        return;
    }
    stop_flag = true;
    wake_up.set();  // ends the worker's wait now rather than at the end of its slice
    worker.join();
    worker_running = false;
    clear_queue();
}

void queue_device_info_request(std::unique_ptr<DeviceInfoRequest> request) {
    if (!request || !worker_running) {
        return;
    }
    auto lock = lock_queue();
    if (!lock || stop_flag) {
        return;
    }
    request_queue.push_back(std::move(request));
    wake_up.set();
}

std::unique_ptr<DeviceInfoRequest> take_device_info_request() {
    auto lock = lock_queue();
    if (!lock || stop_flag || request_queue.empty()) {
        return nullptr;
    }
    std::unique_ptr<DeviceInfoRequest> request = std::move(request_queue.front());
    request_queue.pop_front();
    if (request_queue.empty()) {
        wake_up.reset();
    }
    return request;
}
