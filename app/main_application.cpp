#include "app/main_application.h"

#include <commctrl.h>
#include <winsock2.h>

#include <clocale>
#include <cstdio>
#include <cwchar>

#include "app/app_strings.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/resource_ids.h"
#include "app/splash.h"
#include "app/tray_icon.h"
#include "avn/runtime/aud_error.h"
#include "avn/api/avn_access.h"
#include "device/device_info_worker.h"
#include "device/parameter_thread.h"

namespace {

constexpr DWORD kSplashMinimumMs = 500;
constexpr int kExitStartFailed = 1;

// Told in plain words when the AVN software cannot be reached: without it
// the utility can do nothing, so it says so and ends.
void report_avn_start_failure(aud_error error) {
    wchar_t text[512];
    if (error == AUD_ERR_NOTRUNNING) {
        swprintf(text, 512,
                 L"The AVN platform service is not running on this computer.\n\n"
                 L"Start the AVN software, then start the TPX-2 Config Utility again.");
    } else {
        swprintf(text, 512,
                 L"The AVN control library could not be started (%hs).\n\n"
                 L"The TPX-2 Config Utility will close.",
                 aud_error_message(error));
    }
    show_message_box(nullptr, text, L"TPX-2 Config Utility", MB_ICONERROR | MB_OK);
}

// Shutdown's steps, each with its duration, on the debugger output (Wine
// shows them with WINEDEBUG=+debugstr).
template <typename Step>
void timed_shutdown_step(const char* name, Step step) {
    const ULONGLONG start = GetTickCount64();
    step();
    char line[96];
    snprintf(line, sizeof line, "tpx2-config: shutdown: %s took %llu ms\n", name,
             static_cast<unsigned long long>(GetTickCount64() - start));
    OutputDebugStringA(line);
}

int run_message_loop(HWND window, HACCEL accelerators) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // The accelerators belong to the main window, whichever of its
        // controls has the focus.
        if (accelerators != nullptr && msg.hwnd != nullptr &&
            GetAncestor(msg.hwnd, GA_ROOT) == window &&
            TranslateAcceleratorW(window, accelerators, &msg) != 0) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace

int main_application(HINSTANCE instance, int) {
    return run_application(instance, nullptr);
}

int run_application(HINSTANCE instance, const avn_api_options* options) {
    SetProcessDPIAware();
    WSADATA winsock;
    const bool winsock_started = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
    _wsetlocale(LC_ALL, L"");
    load_app_strings(instance);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    start_splash(instance);
    Sleep(kSplashMinimumMs);
    if (!register_main_window_class(instance)) {
        close_splash();
        return 0;
    }

    HWND window = create_main_window(instance, options);
    const aud_error started = main_window_avn_start_result();
    if (window == nullptr || started != AUD_SUCCESS) {
        const aud_error error = window == nullptr ? aud_error_from_system(GetLastError()) : started;
        close_splash();
        // The box comes before the window goes: destroying it posts the
        // quit message, which would end the box's own message loop at once.
        report_avn_start_failure(error);
        if (window != nullptr) {
            DestroyWindow(window);
        }
        stop_avn_api();
        if (winsock_started) {
            WSACleanup();
        }
        return kExitStartFailed;
    }
    // The worker runs before the window shows: a name typed at once is
    // then never queued to nobody.
    start_device_info_worker();
    ShowWindow(window, SW_SHOWNORMAL);
    close_splash();
    UpdateWindow(window);
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));

    start_tray_icon(instance, window);
    const int exit_code = run_message_loop(window, accelerators);

    timed_shutdown_step("tray icon", [] { stop_tray_icon(); });
    timed_shutdown_step("device-information worker", [] { stop_device_info_worker(); });
    timed_shutdown_step("parameter thread", [] { stop_parameter_thread(); });
    timed_shutdown_step("AVN API", [] { stop_avn_api(); });
    if (winsock_started) {
        timed_shutdown_step("Winsock", [] { WSACleanup(); });
    }
    return exit_code;
}
