// A thread-safe queue of window messages, the MessageTarget of the
// command-line client and of the tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "device/message_target.h"

struct WindowMessage {
    uint32_t message = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;

    friend bool operator==(const WindowMessage&, const WindowMessage&) = default;
};

class MessageQueue {
public:
    MessageQueue() = default;
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // A target that appends to this queue; valid while the queue lives.
    MessageTarget target();

    void push(const WindowMessage& message);

    // The oldest message, waiting at most the limit for one to arrive.
    std::optional<WindowMessage> wait(uint32_t milliseconds);

    // The oldest message with this number, skipping (and dropping) others.
    std::optional<WindowMessage> wait_for_message(uint32_t message, uint32_t milliseconds);

    size_t size();

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<WindowMessage> messages_;
};
