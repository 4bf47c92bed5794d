#include "app/splash.h"

#include <atomic>
#include <thread>

#include "app/resource_ids.h"
#include "device/sync_event.h"

namespace {

// A thread that has not made its window within this time is not going to;
// closing the splash then only waits for the thread to end.
constexpr uint32_t kSplashReadyLimitMs = 5000;

std::thread g_splash_thread;
std::atomic<DWORD> g_splash_thread_id{0};
std::atomic<HWND> g_splash_window{nullptr};
SyncEvent* g_splash_ready = nullptr;  // set once the thread has a message queue

HBITMAP splash_bitmap(HWND window) {
    return reinterpret_cast<HBITMAP>(GetWindowLongPtrW(window, DWLP_USER));
}

void paint_splash(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    FillRect(dc, &paint.rcPaint, GetSysColorBrush(COLOR_3DFACE));
    HBITMAP bitmap = splash_bitmap(window);
    BITMAP info;
    if (bitmap != nullptr && GetObjectW(bitmap, sizeof info, &info) != 0) {
        RECT client;
        GetClientRect(window, &client);
        HDC source = CreateCompatibleDC(dc);
        HGDIOBJ previous = SelectObject(source, bitmap);
        // Halftone keeps the picture smooth when the dialog's size in pixels
        // differs from the bitmap's (other fonts, other screen resolutions).
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchBlt(dc, 0, 0, client.right, client.bottom, source, 0, 0, info.bmWidth, info.bmHeight,
                   SRCCOPY);
        SelectObject(source, previous);
        DeleteDC(source);
    }
    EndPaint(window, &paint);
}

INT_PTR CALLBACK splash_proc(HWND window, UINT message, WPARAM, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            HINSTANCE instance = reinterpret_cast<HINSTANCE>(lparam);
            HANDLE bitmap = LoadImageW(instance, MAKEINTRESOURCEW(IDB_SPLASH), IMAGE_BITMAP, 0, 0,
                                       LR_DEFAULTCOLOR);
            SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(bitmap));
            return TRUE;
        }
        case WM_PAINT:
            paint_splash(window);
            return TRUE;
        case WM_DESTROY:
            if (HBITMAP bitmap = splash_bitmap(window)) {
                DeleteObject(bitmap);
                SetWindowLongPtrW(window, DWLP_USER, 0);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

void splash_thread(HINSTANCE instance) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_SPLASH), nullptr, splash_proc,
                                     reinterpret_cast<LPARAM>(instance));
    // The dialog made this thread's message queue; without a window, make
    // one anyway so that the quit message can still arrive.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    g_splash_window = window;
    if (window != nullptr) {
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
    }
    g_splash_ready->set();
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    g_splash_window = nullptr;
    if (window != nullptr) {
        ShowWindow(window, SW_HIDE);
        DestroyWindow(window);
    }
}

}  // namespace

bool start_splash(HINSTANCE instance) {
    if (g_splash_thread.joinable()) {
        return true;
    }
    delete g_splash_ready;
    g_splash_ready = new SyncEvent(SyncEvent::Reset::Manual);
    try {
        g_splash_thread = std::thread([instance] {
            g_splash_thread_id = GetCurrentThreadId();
            splash_thread(instance);
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void close_splash() {
    if (!g_splash_thread.joinable()) {
        return;
    }
    g_splash_ready->wait_for(kSplashReadyLimitMs);
    PostThreadMessageW(g_splash_thread_id, WM_QUIT, 0, 0);
    g_splash_thread.join();
    g_splash_thread_id = 0;
    delete g_splash_ready;
    g_splash_ready = nullptr;
}

HWND splash_window() {
    return g_splash_window;
}
