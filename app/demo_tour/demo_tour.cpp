// tpx2-demo-tour: drives a running TPX-2 Config Utility from outside, one
// step per run, for the demo's unattended tour. Each step does what a user
// would do in the main window and then waits, within a bound, until the
// window shows the result; the caller takes its screenshot after that.
//
//   tpx2-demo-tour [--desktop NAME] window             the window is up, a network chosen
//   tpx2-demo-tour [--desktop NAME] type DEVICE        enters DEVICE, waits for its version
//   tpx2-demo-tour [--desktop NAME] connect            presses Connect, waits for the values
//   tpx2-demo-tour [--desktop NAME] choose PARAMETER ENTRY
//                                                      picks ENTRY in the parameter's list
//   tpx2-demo-tour [--desktop NAME] discover COUNT     opens Discover, waits for COUNT units
//   tpx2-demo-tour [--desktop NAME] pick DEVICE        selects DEVICE there, waits for its
//                                                      versions
//   tpx2-demo-tour [--desktop NAME] ok                 presses OK there, waits for the main
//                                                      window's check of the name
//   tpx2-demo-tour [--desktop NAME] disconnect         presses Disconnect, waits for Connect
//   tpx2-demo-tour [--desktop NAME] login ADDRESS PORT USER
//                                                      logs in to a Domain Manager by the
//                                                      Manual method (the password: the first
//                                                      line of standard input), waits for
//                                                      its domains in the AVN Domain list
//   tpx2-demo-tour [--desktop NAME] domain NAME        picks the managed domain NAME
//   tpx2-demo-tour [--desktop NAME] close              closes the utility, answering "Yes",
//                                                      and waits until its process has ended
//
// PARAMETER is a parameter's name as tpx2ctl writes it (MicLf, Mode, ...).
// --desktop names the Wine desktop the utility runs on, when that is not
// this program's own (a virtual desktop started by explorer /desktop=NAME).
//
// On success one line on standard output says what the window shows. Exit
// status 1 when a step fails: its result did not show in time, or the window
// showed something else (standard error says what); 2 for a usage error.
#include <windows.h>

#include <array>
#include <cstdio>
#include <iostream>
#include <cwchar>
#include <string>

#include "app/demo_tour/process_windows.h"
#include "app/resource_ids.h"

namespace {

constexpr UINT kMessageLimitMs = 2000;
constexpr DWORD kPollMs = 50;
// Bounds of the steps. The window's bound covers Wine starting the program
// and the connection manager's first answer.
constexpr ULONGLONG kWindowLimitMs = 20000;
constexpr ULONGLONG kVersionLimitMs = 10000;
constexpr ULONGLONG kConnectLimitMs = 10000;
constexpr ULONGLONG kChooseLimitMs = 5000;
constexpr ULONGLONG kCloseLimitMs = 10000;
constexpr ULONGLONG kDiscoverLimitMs = 10000;
constexpr ULONGLONG kLoginLimitMs = 20000;
constexpr const wchar_t* kLoginTitle = L"DM / AVN Cloud Login";
// Where a listed unit's name lies in its record: after five reserved words.
constexpr size_t kUnitNameOffset = 5 * sizeof(uint32_t);
constexpr size_t kUnitNameCapacity = 64;

constexpr const wchar_t* kWindowClass = L"CONFIGUTILITY";
constexpr const wchar_t* kSearching = L"Searching...";

struct ParameterList {
    const wchar_t* name;
    int list;
};

constexpr std::array<ParameterList, 7> kParameterLists = {{
    {L"MicLf", IDC_MIC_LF},
    {L"MicHf", IDC_MIC_HF},
    {L"LineLf", IDC_LINE_LF},
    {L"LineHf", IDC_LINE_HF},
    {L"Mode", IDC_MODE},
    {L"MicSensitivity", IDC_SENSITIVITY},
    {L"MicGate", IDC_GATE},
}};

[[noreturn]] void fail(const std::wstring& what) {
    std::fwprintf(stderr, L"tpx2-demo-tour: %ls\n", what.c_str());
    std::fflush(stderr);
    ExitProcess(1);
}

// A message to the utility's window thread that gives up rather than wait on
// a hung window.
LRESULT send(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                            kMessageLimitMs, &result) == 0) {
        fail(L"the utility's window does not answer");
    }
    return static_cast<LRESULT>(result);
}

std::wstring window_text(HWND window) {
    wchar_t text[256] = {};
    send(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring list_entry(HWND list, LRESULT index) {
    if (index < 0) {
        return {};
    }
    const LRESULT length = send(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    if (length <= 0 || length > 255) {
        return {};
    }
    wchar_t text[256] = {};
    send(list, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring shown_entry(HWND list) {
    return list_entry(list, send(list, CB_GETCURSEL));
}

std::wstring trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L' ');
    return first == std::wstring::npos ? std::wstring() : text.substr(first);
}

// When this program started: the wait for the desktop and the one for the
// window share one bound from here.
const ULONGLONG g_started = GetTickCount64();

// Polls `done` until it holds or `limit_ms` has passed since `start`; `seen`
// describes the window's state for the failure line.
template <typename Done, typename Seen>
void wait_until(ULONGLONG limit_ms, const std::wstring& wanted, Done done, Seen seen,
                ULONGLONG start = GetTickCount64()) {
    for (;;) {
        if (done()) {
            return;
        }
        if (GetTickCount64() - start >= limit_ms) {
            fail(wanted + L" did not show within " + std::to_wstring(limit_ms / 1000) + L" s; " +
                 seen());
        }
        Sleep(kPollMs);
    }
}

HWND find_main_window() {
    HWND window = FindWindowW(kWindowClass, nullptr);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

HWND main_window() {
    HWND window = find_main_window();
    if (window == nullptr) {
        fail(L"the utility's main window is not open");
    }
    return window;
}

HWND item(HWND window, int id) {
    HWND control = GetDlgItem(window, id);
    if (control == nullptr) {
        fail(L"the main window has no control " + std::to_wstring(id));
    }
    return control;
}

bool is_version(const std::wstring& text) {
    unsigned major = 0;
    unsigned minor = 0;
    wchar_t rest = 0;
    return swscanf(text.c_str(), L"%u.%u%lc", &major, &minor, &rest) == 2;
}

// ---- Steps ----

// The main window is shown (the splash screen is gone) and the Network list
// has its entries and one of them chosen.
void step_window() {
    HWND window = nullptr;
    HWND network = nullptr;
    wait_until(
        kWindowLimitMs, L"the main window with its networks",
        [&] {
            window = find_main_window();
            if (window == nullptr) {
                return false;
            }
            network = item(window, IDC_NETWORK);
            return send(network, CB_GETCOUNT) > 1 && send(network, CB_GETCURSEL) >= 0;
        },
        [&]() -> std::wstring {
            if (window == nullptr) {
                return L"no main window";
            }
            return L"the Network list has " + std::to_wstring(send(network, CB_GETCOUNT)) +
                   L" entries";
        },
        g_started);
    std::wprintf(L"the main window is open; network \"%ls\"\n", shown_entry(network).c_str());
}

// Enters the name as a paste would (select all, replace), so the edit control
// itself tells the window of the change, then waits for the version.
void step_type(const std::wstring& device) {
    HWND window = main_window();
    HWND name = item(window, IDC_DEVICE_NAME);
    HWND version = item(window, IDC_APP_VERSION);
    if (!IsWindowEnabled(name)) {
        fail(L"the Device Name field is disabled");
    }
    send(name, EM_SETSEL, 0, -1);
    send(name, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(device.c_str()));
    if (window_text(name) != device) {
        fail(L"the Device Name field reads \"" + window_text(name) + L"\", not \"" + device + L"\"");
    }
    // The window showed "Searching..." while handling the change, so any
    // other text from now on is the answer about this name.
    std::wstring shown;
    wait_until(
        kVersionLimitMs, L"a version for " + device,
        [&] {
            shown = window_text(version);
            if (!shown.empty() && shown != kSearching && !is_version(shown)) {
                fail(L"no version for " + device + L": Application Version reads \"" + shown +
                     L"\"");
            }
            return is_version(shown) && IsWindowEnabled(item(window, IDC_CONNECT));
        },
        [&] { return L"Application Version reads \"" + shown + L"\""; });
    std::wprintf(L"\"%ls\" typed; application version %ls, Connect enabled\n", device.c_str(),
                 shown.c_str());
}

bool all_parameters_enabled(HWND window) {
    for (const ParameterList& parameter : kParameterLists) {
        if (!IsWindowEnabled(item(window, parameter.list))) {
            return false;
        }
    }
    return true;
}

// Presses Connect and waits until Disconnect replaced it and every parameter
// list shows the unit's value (each list is enabled once its value came).
void step_connect() {
    HWND window = main_window();
    HWND connect = item(window, IDC_CONNECT);
    HWND disconnect = item(window, IDC_DISCONNECT);
    if (!IsWindowVisible(connect) || !IsWindowEnabled(connect)) {
        fail(L"Connect cannot be pressed");
    }
    send(connect, BM_CLICK);
    wait_until(
        kConnectLimitMs, L"the connection",
        [&] { return IsWindowVisible(disconnect) && all_parameters_enabled(window); },
        [&] {
            return std::wstring(IsWindowVisible(disconnect) ? L"connected, but not every value came"
                                                            : L"Disconnect is not shown");
        });
    std::wprintf(L"connected; Mode \"%ls\", Mic LF \"%ls\"\n",
                 shown_entry(item(window, IDC_MODE)).c_str(),
                 trimmed(shown_entry(item(window, IDC_MIC_LF))).c_str());
}

// Picks an entry as the list does when the user chooses one and closes it:
// the selection moves and the window hears CBN_SELENDOK.
void step_choose(const std::wstring& parameter, const std::wstring& entry) {
    const ParameterList* found = nullptr;
    for (const ParameterList& candidate : kParameterLists) {
        if (_wcsicmp(candidate.name, parameter.c_str()) == 0) {
            found = &candidate;
        }
    }
    if (found == nullptr) {
        fail(L"no parameter \"" + parameter + L"\"");
    }
    HWND window = main_window();
    HWND list = item(window, found->list);
    if (!IsWindowEnabled(list)) {
        fail(std::wstring(found->name) + L" cannot be changed: not connected");
    }
    const LRESULT index = send(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                               reinterpret_cast<LPARAM>(entry.c_str()));
    if (index == CB_ERR) {
        fail(std::wstring(found->name) + L" has no entry \"" + entry + L"\"");
    }
    const std::wstring before = shown_entry(list);
    send(list, CB_SETCURSEL, static_cast<WPARAM>(index));
    send(window, WM_COMMAND, MAKEWPARAM(found->list, CBN_SELENDOK), reinterpret_cast<LPARAM>(list));
    wait_until(
        kChooseLimitMs, std::wstring(found->name) + L" showing \"" + entry + L"\"",
        [&] { return send(list, CB_GETCURSEL) == index && IsWindowEnabled(list); },
        [&] { return L"it shows \"" + shown_entry(list) + L"\""; });
    std::wprintf(L"%ls changed from \"%ls\" to \"%ls\"\n", found->name, trimmed(before).c_str(),
                 trimmed(entry).c_str());
}

// The Discover dialog of the utility's process, once it shows.
HWND discover_dialog(DWORD process_id) {
    return find_process_window(process_id, L"Discover");
}

DWORD process_of(HWND window) {
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    return process_id;
}

// A listed unit's name. The list draws its entries itself and keeps each
// unit's record in the utility's memory, so the name is read from there.
std::wstring listed_unit(HANDLE process, HWND list, LRESULT index) {
    const LRESULT record = send(list, LB_GETITEMDATA, static_cast<WPARAM>(index));
    wchar_t name[kUnitNameCapacity] = {};
    SIZE_T read = 0;
    if (record == LB_ERR ||
        !ReadProcessMemory(process, reinterpret_cast<const void*>(record + kUnitNameOffset), name,
                           sizeof name - sizeof(wchar_t), &read)) {
        return {};
    }
    return name;
}

// Presses Discover (the dialog is modal, so without waiting for the press to
// be handled) and waits until the dialog lists the units.
void step_discover(int wanted) {
    HWND window = main_window();
    HWND discover = item(window, IDC_DISCOVER);
    if (!IsWindowEnabled(discover)) {
        fail(L"Discover cannot be pressed");
    }
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_DISCOVER, BN_CLICKED), reinterpret_cast<LPARAM>(discover));
    HWND dialog = nullptr;
    LRESULT count = 0;
    wait_until(
        kDiscoverLimitMs, std::to_wstring(wanted) + L" units in the Discover dialog",
        [&] {
            dialog = discover_dialog(process_of(window));
            count = dialog != nullptr ? send(item(dialog, IDC_UNIT_LIST), LB_GETCOUNT) : 0;
            return count >= wanted;
        },
        [&] { return dialog == nullptr ? std::wstring(L"no dialog") : std::to_wstring(count) + L" listed"; });
    std::wprintf(L"Discover lists %ld units\n", static_cast<long>(count));
}

// Selects the unit in the open Discover dialog, waits for its two versions,
// presses OK, and waits for the main window's own check of the name.
void step_pick(const std::wstring& device) {
    HWND window = main_window();
    const DWORD process_id = process_of(window);
    HWND dialog = discover_dialog(process_id);
    if (dialog == nullptr) {
        fail(L"the Discover dialog is not open");
    }
    HANDLE process = OpenProcess(PROCESS_VM_READ, FALSE, process_id);
    if (process == nullptr) {
        fail(L"cannot read the unit list: error " + std::to_wstring(GetLastError()));
    }
    HWND list = item(dialog, IDC_UNIT_LIST);
    LRESULT found = LB_ERR;
    for (LRESULT i = 0; i < send(list, LB_GETCOUNT) && found == LB_ERR; ++i) {
        if (_wcsicmp(listed_unit(process, list, i).c_str(), device.c_str()) == 0) {
            found = i;
        }
    }
    CloseHandle(process);
    if (found == LB_ERR) {
        fail(L"Discover does not list " + device);
    }
    send(list, LB_SETCURSEL, static_cast<WPARAM>(found));
    send(dialog, WM_COMMAND, MAKEWPARAM(IDC_UNIT_LIST, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    std::wstring bootloader;
    std::wstring application;
    wait_until(
        kVersionLimitMs, L"the versions of " + device,
        [&] {
            bootloader = window_text(item(dialog, IDC_BOOTLOADER_VERSION));
            application = window_text(item(dialog, IDC_APP_VERSION));
            return is_version(bootloader) && is_version(application);
        },
        [&] { return L"they read \"" + bootloader + L"\" and \"" + application + L"\""; });
    std::wprintf(L"%ls selected: bootloader %ls, application %ls\n", device.c_str(), bootloader.c_str(),
                 application.c_str());
}

// Presses OK in the Discover dialog and waits for the main window to show
// the picked unit's version.
void step_ok() {
    HWND window = main_window();
    HWND dialog = discover_dialog(process_of(window));
    if (dialog == nullptr) {
        fail(L"the Discover dialog is not open");
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    HWND version = item(window, IDC_APP_VERSION);
    std::wstring shown;
    wait_until(
        kVersionLimitMs, L"the picked unit's version in the main window",
        [&] {
            shown = window_text(version);
            return discover_dialog(process_of(window)) == nullptr && is_version(shown) &&
                   IsWindowEnabled(item(window, IDC_CONNECT));
        },
        [&] { return L"Application Version reads \"" + shown + L"\""; });
    std::wprintf(L"\"%ls\" handed to the main window; application version %ls, Connect enabled\n",
                 window_text(item(window, IDC_DEVICE_NAME)).c_str(), shown.c_str());
}

// Asks the window to close, answers the question "Yes" as a user would, and
// waits for the utility's process to end: how long closing takes as a user
// sees it (the window gone) and in all (the process ended).
void step_close() {
    HWND window = main_window();
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) {
        fail(L"cannot watch the utility's process: error " + std::to_wstring(GetLastError()));
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    HWND question = nullptr;
    wait_until(
        kCloseLimitMs, L"the close question",
        [&] { return (question = find_process_window(process_id, L"Close")) != nullptr; },
        [] { return std::wstring(L"it did not show"); });
    const ULONGLONG yes = GetTickCount64();
    PostMessageW(question, WM_COMMAND, IDYES, 0);
    wait_until(
        kCloseLimitMs, L"the window to go", [&] { return !IsWindow(window) || !IsWindowVisible(window); },
        [] { return std::wstring(L"it is still there"); });
    const ULONGLONG window_gone = GetTickCount64() - yes;
    if (WaitForSingleObject(process, static_cast<DWORD>(kCloseLimitMs)) != WAIT_OBJECT_0) {
        fail(L"the utility did not end within " + std::to_wstring(kCloseLimitMs) + L" ms of \"Yes\"");
    }
    CloseHandle(process);
    std::wprintf(L"closed: the window went %llu ms after \"Yes\", the process ended after %llu ms\n",
                 window_gone, GetTickCount64() - yes);
}

// Presses Disconnect and waits until Connect shows again with the
// connection rows enabled.
void step_disconnect() {
    HWND window = main_window();
    HWND disconnect = item(window, IDC_DISCONNECT);
    if (!IsWindowVisible(disconnect) || !IsWindowEnabled(disconnect)) {
        fail(L"Disconnect cannot be pressed");
    }
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_DISCONNECT, BN_CLICKED), reinterpret_cast<LPARAM>(disconnect));
    wait_until(
        kConnectLimitMs, L"Connect again",
        [&] { return IsWindowVisible(item(window, IDC_CONNECT)) && IsWindowEnabled(item(window, IDC_LOGIN)); },
        [] { return std::wstring(L"the unit is still connected"); });
    std::wprintf(L"disconnected; Connect shown\n");
}

// The password, from the first line of standard input: never on a command
// line. Wiped by the caller.
std::wstring read_password() {
    std::wstring line;
    std::getline(std::wcin, line);
    if (!line.empty() && line.back() == L'\r') {
        line.pop_back();
    }
    if (line.empty()) {
        fail(L"no password on standard input");
    }
    return line;
}

void set_text(HWND control, const std::wstring& text) {
    send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring domain_entries(HWND list) {
    std::wstring all;
    const LRESULT count = send(list, CB_GETCOUNT);
    for (LRESULT i = 0; i < count; ++i) {
        all += (i == 0 ? L"" : L", ") + list_entry(list, i);
    }
    return all;
}

// Presses "...", chooses Manual, fills the dialog, presses Login and waits
// for the dialog to close and the Domain Manager's domains to be listed.
void step_login(const std::wstring& address, const std::wstring& port, const std::wstring& user) {
    std::wstring password = read_password();
    HWND window = main_window();
    const DWORD process_id = process_of(window);
    if (!IsWindowEnabled(item(window, IDC_LOGIN))) {
        fail(L"\"...\" cannot be pressed");
    }
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_LOGIN, BN_CLICKED),
                 reinterpret_cast<LPARAM>(item(window, IDC_LOGIN)));
    HWND dialog = nullptr;
    wait_until(
        kLoginLimitMs, L"the login dialog",
        [&] { return (dialog = find_process_window(process_id, kLoginTitle)) != nullptr; },
        [] { return std::wstring(L"it did not open"); });
    send(GetDlgItem(dialog, IDC_METHOD_MANUAL), BM_CLICK);
    set_text(GetDlgItem(dialog, IDC_DM_ADDRESS), address);
    // The port field takes no typing; the demo's Domain Manager listens on
    // a port of its own.
    set_text(GetDlgItem(dialog, IDC_DM_PORT), port);
    set_text(GetDlgItem(dialog, IDC_USER_NAME), user);
    set_text(GetDlgItem(dialog, IDC_PASSWORD), password);
    SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    HWND domains = item(window, IDC_DOMAIN);
    wait_until(
        kLoginLimitMs, L"the Domain Manager's domains",
        [&] {
            if (find_process_window(process_id, L"Error") != nullptr) {
                fail(L"the login failed: the utility shows its error box");
            }
            return find_process_window(process_id, kLoginTitle) == nullptr && send(domains, CB_GETCOUNT) > 1;
        },
        [&] { return L"the AVN Domain list holds: " + domain_entries(domains); });
    std::wprintf(L"logged in as %ls at %ls:%ls; AVN Domain offers %ls\n", user.c_str(), address.c_str(),
                 port.c_str(), domain_entries(domains).c_str());
}

// Picks a managed domain in the AVN Domain list and waits until the domain
// handler reports it as the current one (the list is refilled then).
void step_domain(const std::wstring& name) {
    HWND window = main_window();
    HWND domains = item(window, IDC_DOMAIN);
    if (!IsWindowEnabled(domains)) {
        fail(L"the AVN Domain list cannot be used");
    }
    const LRESULT index = send(domains, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                               reinterpret_cast<LPARAM>(name.c_str()));
    if (index == CB_ERR) {
        fail(L"the AVN Domain list has no " + name + L"; it holds: " + domain_entries(domains));
    }
    send(domains, CB_SETCURSEL, static_cast<WPARAM>(index));
    send(window, WM_COMMAND, MAKEWPARAM(IDC_DOMAIN, CBN_SELCHANGE), reinterpret_cast<LPARAM>(domains));
    std::wstring shown;
    wait_until(
        kChooseLimitMs, L"the domain " + name + L" as current",
        [&] {
            shown = shown_entry(domains);
            return shown == name;
        },
        [&] { return L"AVN Domain shows \"" + shown + L"\""; });
    std::wprintf(L"AVN Domain: %ls is the current domain\n", shown.c_str());
}

void usage() {
    std::fwprintf(stderr,
                  L"usage: tpx2-demo-tour [--desktop NAME] window | type DEVICE | connect |"
                  L" choose PARAMETER ENTRY | discover COUNT | pick DEVICE | ok |"
                  L" disconnect | login ADDRESS PORT USER | domain NAME | close\n");
    ExitProcess(2);
}

// Moves this thread onto the named desktop, so that the window search sees
// the windows there. The desktop may still be coming up with the utility.
void use_desktop(const wchar_t* name) {
    HDESK desktop = nullptr;
    wait_until(
        kWindowLimitMs, std::wstring(L"the desktop \"") + name + L"\"",
        [&] {
            desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL);
            return desktop != nullptr;
        },
        [] { return std::wstring(L"it does not exist"); }, g_started);
    if (!SetThreadDesktop(desktop)) {
        fail(std::wstring(L"cannot use the desktop \"") + name + L"\": error " +
             std::to_wstring(GetLastError()));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int next = 1;
    if (next + 1 < argc && std::wcscmp(argv[next], L"--desktop") == 0) {
        use_desktop(argv[next + 1]);
        next += 2;
    }
    if (next >= argc) {
        usage();
    }
    const std::wstring step = argv[next];
    const int arguments = argc - next - 1;
    if (step == L"window" && arguments == 0) {
        step_window();
    } else if (step == L"type" && arguments == 1) {
        step_type(argv[next + 1]);
    } else if (step == L"connect" && arguments == 0) {
        step_connect();
    } else if (step == L"choose" && arguments == 2) {
        step_choose(argv[next + 1], argv[next + 2]);
    } else if (step == L"discover" && arguments == 1) {
        step_discover(_wtoi(argv[next + 1]));
    } else if (step == L"pick" && arguments == 1) {
        step_pick(argv[next + 1]);
    } else if (step == L"ok" && arguments == 0) {
        step_ok();
    } else if (step == L"disconnect" && arguments == 0) {
        step_disconnect();
    } else if (step == L"login" && arguments == 3) {
        step_login(argv[next + 1], argv[next + 2], argv[next + 3]);
    } else if (step == L"domain" && arguments == 1) {
        step_domain(argv[next + 1]);
    } else if (step == L"close" && arguments == 0) {
        step_close();
    } else {
        usage();
    }
    std::fflush(stdout);
    return 0;
}
