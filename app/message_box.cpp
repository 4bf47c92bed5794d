#include "app/message_box.h"

#include <atomic>

namespace {

int system_message_box(HWND owner, const wchar_t* text, const wchar_t* title, UINT style) {
    return MessageBoxW(owner, text, title, style);
}

std::atomic<MessageBoxFunction> g_message_box{system_message_box};

}  // namespace

int show_message_box(HWND owner, const wchar_t* text, const wchar_t* title, UINT style) {
    return g_message_box.load()(owner, text, title, style);
}

MessageBoxFunction set_message_box_function(MessageBoxFunction function) {
    return g_message_box.exchange(function != nullptr ? function : system_message_box);
}
