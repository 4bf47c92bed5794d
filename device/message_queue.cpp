#include "device/message_queue.h"

#include <chrono>

namespace {

bool deliver_to_queue(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    static_cast<MessageQueue*>(context)->push({message, wparam, lparam});
    return true;
}

}  // namespace

MessageTarget MessageQueue::target() {
    return MessageTarget{deliver_to_queue, deliver_to_queue, this};
}

void MessageQueue::push(const WindowMessage& message) {
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
    }
    arrived_.notify_all();
}

std::optional<WindowMessage> MessageQueue::wait(uint32_t milliseconds) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [this] { return !messages_.empty(); })) {
        return std::nullopt;
    }
    WindowMessage front = messages_.front();
    messages_.pop_front();
    return front;
}

std::optional<WindowMessage> MessageQueue::wait_for_message(uint32_t message,
                                                            uint32_t milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!messages_.empty()) {
            WindowMessage front = messages_.front();
            messages_.pop_front();
            if (front.message == message) {
                return front;
            }
        }
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout &&
            messages_.empty()) {
            return std::nullopt;
        }
    }
}

size_t MessageQueue::size() {
    std::lock_guard lock(mutex_);
    return messages_.size();
}
