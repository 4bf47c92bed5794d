// Starts an installed tpx2-config.exe and checks that it comes up: its main
// window (class CONFIGUTILITY) shows and lists the connection manager's
// networks, so it reached the platform services. Then closes it as a user
// does (Close, Yes) and waits for the process to end. Prints the program's
// product version from its version resource first.
//
//     installed_app_check.exe PROGRAM.exe
//
// Exit status 0 when all of that happened within the time limits.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/resource_ids.h"

namespace {

constexpr DWORD kStartLimitMs = 30000;
constexpr DWORD kCloseLimitMs = 10000;

template <typename Pred>
bool wait_until(Pred pred, DWORD limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    while (!pred()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 128 ? static_cast<char>(c) : '?';
    }
    return out;
}

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

// A visible top-level window of the process with the given title.
HWND find_window_of(DWORD process_id, const wchar_t* title) {
    struct Search {
        DWORD process_id;
        const wchar_t* title;
        HWND found;
    } search{process_id, title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t text[64] = {};
            GetWindowTextW(window, text, 64);
            if (owner == s->process_id && IsWindowVisible(window) && std::wstring(text) == s->title) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
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
        if (!wait_until([&] { return (question = find_window_of(process.dwProcessId, L"Close")) != nullptr; },
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: installed_app_check PROGRAM.exe\n");
        return 2;
    }
    const int result = check(argv[1]);
    std::fflush(stdout);
    return result;
}
