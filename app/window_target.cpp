#include "app/window_target.h"

namespace {

bool post_to_window(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return PostMessageW(static_cast<HWND>(context), message, wparam, lparam) != FALSE;
}

bool send_to_window(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    HWND window = static_cast<HWND>(context);
    if (!IsWindow(window)) {
        return false;
    }
    SendMessageW(window, message, wparam, lparam);
    return true;
}

}  // namespace

MessageTarget window_target(HWND window) {
    return MessageTarget{post_to_window, send_to_window, window};
}
