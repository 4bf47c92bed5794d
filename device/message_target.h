// Where worker threads report to: a (message, wParam, lParam) sink.
// On Windows the GUI binds it to a window (PostMessageW / SendMessageW);
// the command-line client and the tests bind it to a MessageQueue.
#pragma once

#include <cstdint>

struct MessageTarget {
    // Returns false when the message could not be delivered (the window is gone).
    using Deliver = bool (*)(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam);

    Deliver post_fn = nullptr;  // asynchronous, like PostMessageW
    Deliver send_fn = nullptr;  // synchronous, like SendMessageW
    void* context = nullptr;

    explicit operator bool() const { return post_fn != nullptr; }

    bool post(uint32_t message, uintptr_t wparam, intptr_t lparam) const {
        return post_fn != nullptr && post_fn(context, message, wparam, lparam);
    }
    bool send(uint32_t message, uintptr_t wparam, intptr_t lparam) const {
        Deliver deliver = send_fn != nullptr ? send_fn : post_fn;
        return deliver != nullptr && deliver(context, message, wparam, lparam);
    }
};
