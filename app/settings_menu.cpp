#include "app/settings_menu.h"

#include <commdlg.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "app/app_strings.h"
#include "app/message_box.h"
#include "app/resource_ids.h"
#include "device/app_messages.h"
#include "device/parameter_thread.h"
#include "device/settings_file.h"

namespace {

constexpr int kDeviceNameCapacity = 255;

// What the window thread knows of the connected unit, and a load under way.
struct SettingsState {
    bool connected = false;
    UnitParameters reported;
    // The changes of the load under way, the one sent first; empty when none.
    std::vector<SettingsDifference> pending;
    size_t next = 0;
    std::wstring loading_from;
    size_t changed = 0;
};

SettingsState g_settings;

// ---- Text ----

std::wstring wide_from_utf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    }
    return wide;
}

std::string utf8_from_wide(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                            nullptr);
    }
    return narrow;
}

std::wstring device_name(HWND window) {
    wchar_t name[kDeviceNameCapacity + 1] = {};
    GetDlgItemTextW(window, IDC_DEVICE_NAME, name, kDeviceNameCapacity + 1);
    return name;
}

std::wstring file_part(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The device name as a file name, when it can be one as it stands.
std::wstring suggested_file_name(const std::wstring& device) {
    if (device.empty() || device.find_first_of(L"\\/:*?\"<>|") != std::wstring::npos) {
        return L"settings.json";
    }
    for (wchar_t c : device) {
        if (c < 0x20) {
            return L"settings.json";
        }
    }
    return device + L".json";
}

void show_error(HWND window, UINT title, const std::wstring& text) {
    show_message_box(window, text.c_str(), app_string(title), MB_ICONERROR | MB_OK);
}

// ---- The standard file dialog ----

bool standard_file_dialog(HWND owner, bool save, const std::wstring& suggested, std::wstring* path) {
    // The filter: pairs of texts, each ended by a terminator, then one more.
    std::wstring filter = app_string(IDS_SETTINGS_FILTER);
    filter += L'\0';
    filter += L"*.json";
    filter += L'\0';
    filter += L'\0';
    std::vector<wchar_t> buffer(MAX_PATH * 4, L'\0');
    suggested.copy(buffer.data(), std::min(suggested.size(), buffer.size() - 1));
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = buffer.data();
    dialog.nMaxFile = static_cast<DWORD>(buffer.size());
    dialog.lpstrDefExt = L"json";
    dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST |
                   (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    const BOOL chosen = save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
    if (!chosen) {
        return false;
    }
    *path = buffer.data();
    return true;
}

std::atomic<SettingsFileDialog> g_file_dialog{standard_file_dialog};

// ---- Files ----

std::wstring system_error_text(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out = length > 0 && text != nullptr ? std::wstring(text, length) : L"error " + std::to_wstring(error);
    LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ')) {
        out.pop_back();
    }
    return out;
}

// The file's bytes, at most one more than a settings file may have (which
// tells a file that is too large without reading all of it); an error text
// otherwise.
std::optional<std::string> read_file(const std::wstring& path, std::wstring* error) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = system_error_text(GetLastError());
        return std::nullopt;
    }
    std::string text(kMaxSettingsFileSize + 1, '\0');
    size_t total = 0;
    bool ok = true;
    while (total < text.size()) {
        DWORD got = 0;
        ok = ReadFile(file, text.data() + total, static_cast<DWORD>(text.size() - total), &got, nullptr) != 0;
        if (!ok || got == 0) {
            break;
        }
        total += got;
    }
    if (!ok) {
        *error = system_error_text(GetLastError());
    }
    CloseHandle(file);
    if (!ok) {
        return std::nullopt;
    }
    text.resize(total);
    return text;
}

// Writes the whole text beside the file first and then puts it in the
// file's place, so that a failed write leaves an earlier file as it was.
bool write_file(const std::wstring& path, const std::string& text, std::wstring* error) {
    const std::wstring temporary = path + L".saving";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = system_error_text(GetLastError());
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
                    written == text.size();
    const DWORD write_error = GetLastError();
    CloseHandle(file);
    if (!ok || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = system_error_text(ok ? GetLastError() : write_error);
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

// ---- Save ----

void save_settings(HWND window) {
    if (!g_settings.reported.complete()) {
        show_error(window, IDS_SAVE_SETTINGS_TITLE,
                   L"The unit has not reported all its parameters yet. Nothing was saved.");
        return;
    }
    if (const std::optional<ParameterId> id = out_of_range_parameter(g_settings.reported)) {
        show_error(window, IDS_SAVE_SETTINGS_TITLE,
                   L"The unit reports " + wide_from_utf8(parameter_name(*id)) + L" = " +
                       std::to_wstring(*g_settings.reported[*id]) +
                       L", which is outside its range. Nothing was saved.");
        return;
    }
    const std::wstring device = device_name(window);
    std::wstring path;
    if (!g_file_dialog.load()(window, true, suggested_file_name(device), &path) || path.empty()) {
        return;
    }
    UnitParameters values = g_settings.reported;
    values.device = utf8_from_wide(device);
    std::wstring error;
    if (!write_file(path, format_settings_file(values), &error)) {
        show_error(window, IDS_SAVE_SETTINGS_TITLE, L"Cannot write " + file_part(path) + L": " + error);
    }
}

// ---- Load ----

void end_load(HWND window) {
    KillTimer(window, kSettingsConfirmTimer);
    g_settings.pending.clear();
    g_settings.next = 0;
}

// Sends the next change of the load, or ends it when none is left.
void send_next_change(HWND window) {
    if (g_settings.next >= g_settings.pending.size()) {
        const size_t changed = g_settings.changed;
        const std::wstring from = file_part(g_settings.loading_from);
        end_load(window);
        show_message_box(window,
                         (L"Loaded " + from + L": " + std::to_wstring(changed) +
                          (changed == 1 ? L" parameter changed." : L" parameters changed."))
                             .c_str(),
                         app_string(IDS_LOAD_SETTINGS_TITLE), MB_ICONINFORMATION | MB_OK);
        return;
    }
    const SettingsDifference& change = g_settings.pending[g_settings.next];
    queue_parameter_change(1, static_cast<uint32_t>(change.id), change.wanted);
    SetTimer(window, kSettingsConfirmTimer, kSettingsConfirmLimitMs, nullptr);
}

void load_settings(HWND window) {
    if (!g_settings.pending.empty()) {
        return;  // one load at a time
    }
    std::wstring path;
    if (!g_file_dialog.load()(window, false, L"", &path) || path.empty()) {
        return;
    }
    std::wstring error;
    const std::optional<std::string> text = read_file(path, &error);
    if (!text) {
        show_error(window, IDS_LOAD_SETTINGS_TITLE, L"Cannot read " + file_part(path) + L": " + error);
        return;
    }
    std::string fault;
    const std::optional<UnitParameters> wanted = parse_settings_file(*text, &fault);
    if (!wanted) {
        show_error(window, IDS_LOAD_SETTINGS_TITLE,
                   file_part(path) + L" is not a settings file that can be loaded; nothing was sent.\n\n" +
                       wide_from_utf8(fault));
        return;
    }
    g_settings.pending = settings_differences(*wanted, g_settings.reported);
    g_settings.next = 0;
    g_settings.changed = 0;
    g_settings.loading_from = path;
    if (g_settings.pending.empty()) {
        show_message_box(window, (L"The unit already has the settings of " + file_part(path) + L".").c_str(),
                         app_string(IDS_LOAD_SETTINGS_TITLE), MB_ICONINFORMATION | MB_OK);
        return;
    }
    send_next_change(window);
}

}  // namespace

SettingsFileDialog set_settings_file_dialog(SettingsFileDialog dialog) {
    return g_file_dialog.exchange(dialog != nullptr ? dialog : standard_file_dialog);
}

void settings_menu_connected(HWND window, bool connected) {
    end_load(window);
    g_settings.connected = connected;
    g_settings.reported = UnitParameters{};
    const UINT state = MF_BYCOMMAND | (connected ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(GetMenu(window), IDM_SAVE_SETTINGS, state);
    EnableMenuItem(GetMenu(window), IDM_LOAD_SETTINGS, state);
}

void settings_menu_on_report(HWND window, WPARAM id, LPARAM value) {
    if (!g_settings.connected || id > 0xFF || !is_known_parameter(static_cast<uint8_t>(id))) {
        return;
    }
    const auto parameter = static_cast<ParameterId>(id);
    g_settings.reported[parameter] = static_cast<int32_t>(value);
    if (g_settings.next < g_settings.pending.size()) {
        const SettingsDifference& change = g_settings.pending[g_settings.next];
        if (change.id == parameter && change.wanted == static_cast<int32_t>(value)) {
            ++g_settings.next;
            ++g_settings.changed;
            send_next_change(window);
        }
    }
}

void settings_menu_command(HWND window, int command) {
    if (!g_settings.connected) {
        return;
    }
    if (command == IDM_SAVE_SETTINGS) {
        save_settings(window);
    } else if (command == IDM_LOAD_SETTINGS) {
        load_settings(window);
    }
}

bool settings_menu_on_timer(HWND window, UINT_PTR timer) {
    if (timer != kSettingsConfirmTimer) {
        return false;
    }
    KillTimer(window, kSettingsConfirmTimer);
    if (g_settings.next < g_settings.pending.size()) {
        // Not confirmed: as when a change is not delivered.
        const SettingsDifference change = g_settings.pending[g_settings.next];
        end_load(window);
        PostMessageW(window, WM_APP_SEND_FAILED, static_cast<WPARAM>(change.id), change.wanted);
    }
    return true;
}
