#include "tests/app/gui_test_support.h"

#include <commctrl.h>
#include <winsock2.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>

#include "app/app_strings.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "avn/api/avn_access.h"
#include "device/device_info_worker.h"
#include "device/parameter_thread.h"

namespace gui_test {

namespace {

std::vector<ShownBox> g_boxes;
HDESK g_program_desktop = nullptr;
int g_answer = IDOK;

int record_box(HWND, const wchar_t* text, const wchar_t* title, UINT style) {
    g_boxes.push_back({text != nullptr ? text : L"", title != nullptr ? title : L"", style});
    return g_answer;
}

// ---- PNG, written with zlib: signature, IHDR, one IDAT, IEND ----

void put_be32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void put_chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    put_be32(out, static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put_be32(out, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// `bgrx` holds top-down rows of 32-bit pixels as GDI gives them.
bool write_png(const std::string& path, const uint8_t* bgrx, int width, int height) {
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<size_t>(height) * (1 + static_cast<size_t>(width) * 3));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);  // no filter
        const uint8_t* row = bgrx + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
        for (int x = 0; x < width; ++x) {
            raw.push_back(row[x * 4 + 2]);
            raw.push_back(row[x * 4 + 1]);
            raw.push_back(row[x * 4 + 0]);
        }
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packed_size);
    if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 9) !=
        Z_OK) {
        return false;
    }
    packed.resize(packed_size);

    std::vector<uint8_t> header;
    put_be32(header, static_cast<uint32_t>(width));
    put_be32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    put_chunk(file, "IHDR", header);
    put_chunk(file, "IDAT", packed);
    put_chunk(file, "IEND", {});

    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && written;
}

}  // namespace

bool relaunch_on_own_desktop(int* exit_code) {
    g_program_desktop = GetThreadDesktop(GetCurrentThreadId());
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) {
        return false;  // Windows itself
    }
    const wchar_t* desktop = L"tpx2-tests";
    wchar_t current[64] = {};
    GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, current,
                              sizeof current, nullptr);
    if (wcscmp(current, desktop) == 0) {
        return false;  // the relaunched run
    }
    // Wine makes a desktop that has a size a virtual desktop.
    const wchar_t* size = L"1280x1024";
    if (RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", desktop, REG_SZ,
                        size, static_cast<DWORD>((wcslen(size) + 1) * sizeof(wchar_t))) !=
        ERROR_SUCCESS) {
        return false;  // run here, slower
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command_line = GetCommandLineW();
    std::wstring desktop_name = desktop;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop_name.data();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    *exit_code = static_cast<int>(code);
    return true;
}

void join_program_desktop() {
    if (g_program_desktop != nullptr) {
        SetThreadDesktop(g_program_desktop);
    }
}

void prepare_process() {
    static bool prepared = false;
    if (prepared) {
        return;
    }
    prepared = true;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    load_app_strings(instance);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    register_main_window_class(instance);
}

bool pump_until(const std::function<bool()>& condition, uint32_t limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                continue;  // a destroyed main window asks to end the loop
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (condition()) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return condition();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                  static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                                  QS_ALLINPUT);
    }
}

sim::SimOptions loopback_sim_options() {
    sim::SimOptions options = sim::options_on_free_ports();
    options.cmm.quiet = true;
    return options;
}

void offer_loopback_network(sim::SimOptions* options) {
    options->cmm.networks = {{u"lo", {2, 0x53, 0x49, 0x4d, 0, 1}}};
    options->mdns.enabled = true;
    options->mdns.interface_name.clear();  // every multicast interface: only loopback here
}

HWND open_main_window(const sim::SimNetwork& network) {
    prepare_process();
    start_device_info_worker();
    avn_api_options options;
    options.cmm_port = network.cmm_port();
    options.conmon_port = network.conmon_port();
    HWND window = create_main_window(GetModuleHandleW(nullptr), &options);
    if (window != nullptr) {
        ShowWindow(window, SW_SHOWNORMAL);
    }
    return window;
}

void shut_down_main_window(HWND window) {
    stop_device_info_worker();
    stop_parameter_thread();
    if (IsWindow(window)) {
        DestroyWindow(window);
    }
    stop_avn_api();
}

bool wait_until(const std::function<bool()>& condition, uint32_t limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    while (!condition()) {
        if (GetTickCount64() >= deadline) {
            return condition();
        }
        Sleep(10);
    }
    return true;
}

void pump_for(uint32_t milliseconds) {
    pump_until([] { return false; }, milliseconds);
}

std::wstring text_of(HWND window, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(window, id, text, 512);
    return text;
}

bool enabled(HWND window, int id) {
    return IsWindowEnabled(GetDlgItem(window, id)) != FALSE;
}

bool visible(HWND window, int id) {
    return (GetWindowLongW(GetDlgItem(window, id), GWL_STYLE) & WS_VISIBLE) != 0;
}

int list_count(HWND window, int id) {
    return static_cast<int>(SendDlgItemMessageW(window, id, CB_GETCOUNT, 0, 0));
}

int list_selection(HWND window, int id) {
    return static_cast<int>(SendDlgItemMessageW(window, id, CB_GETCURSEL, 0, 0));
}

std::wstring list_item(HWND window, int id, int index) {
    const LRESULT length = SendDlgItemMessageW(window, id, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendDlgItemMessageW(window, id, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::wstring list_selected_text(HWND window, int id) {
    const int selection = list_selection(window, id);
    return selection < 0 ? std::wstring() : list_item(window, id, selection);
}

std::vector<std::wstring> list_items(HWND window, int id) {
    std::vector<std::wstring> items;
    const int count = list_count(window, id);
    for (int i = 0; i < count; ++i) {
        items.push_back(list_item(window, id, i));
    }
    return items;
}

LRESULT list_item_data(HWND window, int id, int index) {
    return SendDlgItemMessageW(window, id, CB_GETITEMDATA, index, 0);
}

bool menu_item_enabled(HWND window, UINT command) {
    const UINT state = GetMenuState(GetMenu(window), command, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) == 0;
}

void click(HWND window, int id) {
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

void pick(HWND window, int list, int index) {
    SendDlgItemMessageW(window, list, CB_SETCURSEL, index, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(list, CBN_SELENDOK),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, list)));
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(list, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, list)));
}

void type_text(HWND window, int id, const wchar_t* text) {
    // Setting an edit control's text notifies its parent (EN_CHANGE) as
    // typing does.
    SetDlgItemTextW(window, id, text);
}

MessageBoxRecorder::MessageBoxRecorder(int answer) {
    g_boxes.clear();
    g_answer = answer;
    set_message_box_function(record_box);
}

MessageBoxRecorder::~MessageBoxRecorder() {
    set_message_box_function(nullptr);
    g_boxes.clear();
}

void MessageBoxRecorder::set_answer(int answer) {
    g_answer = answer;
}

const std::vector<ShownBox>& MessageBoxRecorder::boxes() const {
    return g_boxes;
}

std::string save_screenshot(HWND window, const std::string& file_name) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    pump_for(200);
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return {};
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::string written;
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        // A copy of the screen where the window is: what a person sees,
        // controls included (printing a window may leave its children out).
        SetForegroundWindow(window);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        const std::string path = (std::filesystem::current_path() / file_name).string();
        if (write_png(path, static_cast<const uint8_t*>(bits), width, height)) {
            written = path;
        }
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

}  // namespace gui_test
