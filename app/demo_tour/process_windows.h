// Finding a window that another process shows, by its title: how a driver
// outside the utility finds a message box of it.
#pragma once

#include <windows.h>

#include <cwchar>

// A visible top-level window of the process with exactly this title, or null.
inline HWND find_process_window(DWORD process_id, const wchar_t* title) {
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
            if (owner == s->process_id && IsWindowVisible(window) && std::wcscmp(text, s->title) == 0) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}
