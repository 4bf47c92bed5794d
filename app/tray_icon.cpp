#include "app/tray_icon.h"

#include <shellapi.h>

#include <array>
#include <atomic>
#include <system_error>
#include <thread>

#include "app/resource_ids.h"

namespace {

constexpr int kFrameCount = 4;
constexpr DWORD kFrameIntervalMs = 150;
constexpr DWORD kIdleSliceMs = 250;
constexpr UINT kTrayIconId = 0;
constexpr std::array<int, kFrameCount> kFrameResources = {IDI_TRAY_1, IDI_TRAY_2, IDI_TRAY_3,
                                                          IDI_TRAY_4};

std::array<HICON, kFrameCount> g_icons{};
HWND g_window = nullptr;
std::atomic<int> g_frame{1};  // the frame shown next, 1 to 4
std::atomic<bool> g_animate{false};
std::atomic<bool> g_quit{false};
std::atomic<TrayFrameObserver> g_observer{nullptr};
std::thread g_tray_thread;

NOTIFYICONDATAW icon_data(HICON icon) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = g_window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_ICON;
    data.hIcon = icon;
    return data;
}

void destroy_icons() {
    for (HICON& icon : g_icons) {
        if (icon != nullptr) {
            DestroyIcon(icon);
            icon = nullptr;
        }
    }
}

// Shows the frame the counter names, then moves the counter on: 1, 2, 3, 4, 1, ...
void show_frame() {
    const int frame = g_frame;
    NOTIFYICONDATAW data = icon_data(g_icons[frame - 1]);
    Shell_NotifyIconW(NIM_MODIFY, &data);
    if (TrayFrameObserver observer = g_observer) {
        observer(frame);
    }
    g_frame = frame == kFrameCount ? 1 : frame + 1;
}

void tray_icon_thread() {
    while (!g_quit) {
        while (g_animate && !g_quit) {
            show_frame();
            Sleep(kFrameIntervalMs);
        }
        // Back at rest: show the first frame once.
        g_frame = 1;
        show_frame();
        g_frame = 1;
        while (!g_animate && !g_quit) {
            Sleep(kIdleSliceMs);
        }
    }
    destroy_icons();
}

}  // namespace

void start_tray_icon(HINSTANCE instance, HWND window) {
    if (g_tray_thread.joinable()) {
        return;
    }
    const int width = GetSystemMetrics(SM_CXSMICON);
    const int height = GetSystemMetrics(SM_CYSMICON);
    for (int i = 0; i < kFrameCount; ++i) {
        g_icons[i] = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kFrameResources[i]),
                                                   IMAGE_ICON, width, height, LR_DEFAULTCOLOR));
    }
    g_window = window;
    NOTIFYICONDATAW data = icon_data(g_icons[0]);
    Shell_NotifyIconW(NIM_ADD, &data);
    g_frame = 1;
    g_animate = false;
    g_quit = false;
    try {
        g_tray_thread = std::thread(tray_icon_thread);
    } catch (const std::system_error&) {
        // Without the thread the icon simply stays still.
    }
}

void stop_tray_icon() {
    if (g_window == nullptr) {
        return;
    }
    g_quit = true;
    if (g_tray_thread.joinable()) {
        g_tray_thread.join();
    }
    g_animate = false;
    NOTIFYICONDATAW data = icon_data(nullptr);
    data.uFlags = 0;
    Shell_NotifyIconW(NIM_DELETE, &data);
    destroy_icons();  // the thread's job, unless it never started
    g_window = nullptr;
}

void set_tray_animation(bool on) {
    g_animate = on;
}

void set_tray_frame_observer(TrayFrameObserver observer) {
    g_observer = observer;
}
