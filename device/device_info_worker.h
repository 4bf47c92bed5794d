// The device-information worker: one background thread,
// `bootload_version_thread`, that reads a unit's bootloader and application
// versions with the framed command protocol and posts them to the window
// that asked. Windows queue requests; a burst of them is served once, for
// the newest.
//
// Messages posted to the request's window:
//   WM_APP_BOOTLOADER_VERSION    wParam major * 256 + minor (never 0)
//   WM_APP_BOOTLOADER_NOT_FOUND  link not opened, no answer, or version 0
//   WM_APP_APPLICATION_VERSION   lParam major * 65536 + minor, -1 when not found
//   WM_APP_QUERY_DONE            at the end of every request that was started
#pragma once

#include <cstdint>
#include <memory>

#include "device/message_target.h"
#include "device/transport.h"

inline constexpr uint32_t kDeviceInfoOpenLimitMs = 5000;

struct DeviceInfoRequest {
    MessageTarget window;
    // Unopened; the worker opens, closes and deletes it.
    std::unique_ptr<Transport> transport;
};

// Stops a running worker first, then starts a new one with an empty queue.
void start_device_info_worker();
// Waits for the thread (it ends after the request in progress), then frees
// every queued request with its transport; nothing is posted for them.
void stop_device_info_worker();
// Appends the request and wakes the worker. Without a running worker, or
// once a stop was asked, the request is freed with its transport.
void queue_device_info_request(std::unique_ptr<DeviceInfoRequest> request);
// Removes the oldest queued request; none when the queue is empty or a stop
// was asked.
std::unique_ptr<DeviceInfoRequest> take_device_info_request();
