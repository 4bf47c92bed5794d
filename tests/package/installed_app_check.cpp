// Checks under Wine for the installer test, in one program to keep Wine
// start-ups few:
//
//     installed_app_check.exe PROGRAM.exe
//         Starts an installed tpx2-config.exe and checks that it comes up:
//         its main window (class CONFIGUTILITY) shows and lists the
//         connection manager's networks, so it reached the platform
//         services. Then closes it as a user does (Close, Yes) and waits for
//         the process to end. Prints the program's product version from its
//         version resource first.
//
//     installed_app_check.exe --pages INSTALLER.exe
//         Starts the installer with its pages, waits for the welcome page,
//         goes on to the folder page, saves a screenshot of each in the
//         working directory (installer-welcome.png, installer-folder.png)
//         for a person to look at, then ends it before anything is installed.
//
// Exit status 0 when all of that happened within the time limits.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/demo_tour/process_windows.h"
#include "app/resource_ids.h"
#include "tests/app/gui_test_support.h"

namespace {

constexpr DWORD kStartLimitMs = 30000;
constexpr DWORD kCloseLimitMs = 10000;

using gui_test::narrow;
using gui_test::wait_until;

std::wstring product_version(const wchar_t* program) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program, &ignored);
    if (size == 0) {
        return L"";
    }
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(program, 0, size, block.data())) {
        return L"";
    }
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductVersion",
                        reinterpret_cast<void**>(&value), &length) ||
        length == 0) {
        return L"";
    }
    return std::wstring(value, length - 1);
}

int check(const wchar_t* program) {
    std::printf("product version: %s\n", narrow(product_version(program)).c_str());

    std::wstring command = L"\"" + std::wstring(program) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::printf("cannot start the program (error %lu)\n", GetLastError());
        return 1;
    }
    int result = 1;
    HWND window = nullptr;
    const ULONGLONG started = GetTickCount64();
    const bool shown = wait_until(
        [&] {
            window = FindWindowW(L"CONFIGUTILITY", nullptr);
            DWORD owner = 0;
            if (window != nullptr) {
                GetWindowThreadProcessId(window, &owner);
            }
            return owner == process.dwProcessId && IsWindowVisible(window) &&
                   SendDlgItemMessageW(window, IDC_NETWORK, CB_GETCOUNT, 0, 0) > 0;
        },
        kStartLimitMs);
    if (!shown) {
        std::printf("no main window listing the networks within %lu ms\n", kStartLimitMs);
    } else {
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        std::printf("main window \"%s\" up after %llu ms, %ld networks listed\n", narrow(title).c_str(),
                    static_cast<unsigned long long>(GetTickCount64() - started),
                    static_cast<long>(SendDlgItemMessageW(window, IDC_NETWORK, CB_GETCOUNT, 0, 0)));
        PostMessageW(window, WM_CLOSE, 0, 0);
        HWND question = nullptr;
        if (!wait_until([&] { return (question = find_process_window(process.dwProcessId, L"Close")) != nullptr; },
                        kCloseLimitMs)) {
            std::printf("no close question\n");
        } else {
            PostMessageW(question, WM_COMMAND, IDYES, 0);
            DWORD exit_code = 1;
            if (WaitForSingleObject(process.hProcess, kCloseLimitMs) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(process.hProcess, &exit_code) && exit_code == 0) {
                std::printf("closed\n");
                result = 0;
            } else {
                std::printf("did not end cleanly after Yes\n");
            }
        }
    }
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}

// The installer's visible top-level window, once its Next button is there
// and enabled (the page has finished loading).
HWND installer_window(DWORD process_id) {
    struct Search {
        DWORD process_id;
        HWND found;
    } search{process_id, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            HWND next = GetDlgItem(window, IDOK);
            if (owner == s->process_id && IsWindowVisible(window) && next != nullptr &&
                IsWindowVisible(next) && IsWindowEnabled(next)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The folder page's edit field holds the proposed folder.
bool shows_folder_page(HWND window) {
    bool found = false;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM context) -> BOOL {
            wchar_t kind[16] = {};
            GetClassNameW(child, kind, 16);
            // Another process's edit field gives its text only when asked.
            wchar_t text[MAX_PATH] = {};
            SendMessageTimeoutW(child, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(text),
                                SMTO_ABORTIFHUNG, 1000, nullptr);
            if (_wcsicmp(kind, L"Edit") == 0 && IsWindowVisible(child) &&
                std::wstring(text).find(L"TPX-2 Config Utility") != std::wstring::npos) {
                *reinterpret_cast<bool*>(context) = true;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

int show_pages(const wchar_t* installer) {
    std::wstring command = L"\"" + std::wstring(installer) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::printf("cannot start the installer (error %lu)\n", GetLastError());
        return 1;
    }
    int result = 1;
    HWND window = nullptr;
    if (!wait_until([&] { return (window = installer_window(process.dwProcessId)) != nullptr; },
                    kStartLimitMs)) {
        std::printf("no welcome page within %lu ms\n", kStartLimitMs);
    } else {
        std::printf("welcome page: %s\n", gui_test::save_screenshot(window, "installer-welcome.png").c_str());
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
        if (!wait_until([&] { return shows_folder_page(window); }, kStartLimitMs)) {
            std::printf("no folder page after Next\n");
        } else {
            std::printf("folder page: %s\n", gui_test::save_screenshot(window, "installer-folder.png").c_str());
            result = 0;
        }
    }
    // Nothing is installed before the files page: ending it here is safe.
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, kCloseLimitMs);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int result = 2;
    if (argc == 2) {
        result = check(argv[1]);
    } else if (argc == 3 && std::wstring(argv[1]) == L"--pages") {
        result = show_pages(argv[2]);
    } else {
        std::printf("usage: installed_app_check PROGRAM.exe | --pages INSTALLER.exe\n");
    }
    std::fflush(stdout);
    return result;
}
