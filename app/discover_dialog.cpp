#include "app/discover_dialog.h"

#include <cwchar>
#include <memory>

#include "app/app_strings.h"
#include "app/resource_ids.h"
#include "app/unit_discovery.h"
#include "app/window_target.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/device_info_worker.h"

namespace {

constexpr int kFontPoints = 8;
constexpr int kVersionCapacity = 32;
constexpr int kVersionFields[] = {IDC_BOOTLOADER_VERSION_LABEL, IDC_BOOTLOADER_VERSION,
                                  IDC_APP_VERSION_LABEL, IDC_APP_VERSION};

// The dialog's two list fonts, made when the list is measured.
HFONT g_normal_font = nullptr;
HFONT g_bold_font = nullptr;

HFONT create_list_font(HWND window, int weight) {
    HDC dc = GetDC(window);
    const int height = -MulDiv(kFontPoints, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(window, dc);
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS,
                       app_string(IDS_TITLE_FONT));
}

void delete_fonts() {
    for (HFONT* font : {&g_normal_font, &g_bold_font}) {
        if (*font != nullptr) {
            DeleteObject(*font);
            *font = nullptr;
        }
    }
}

int text_height(HWND window, HFONT font) {
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    return metrics.tmHeight;
}

HWND unit_list(HWND dialog) {
    return GetDlgItem(dialog, IDC_UNIT_LIST);
}

UnitRecord* record_at(HWND dialog, LRESULT index) {
    const LRESULT data = SendMessageW(unit_list(dialog), LB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    return data == LB_ERR ? nullptr : reinterpret_cast<UnitRecord*>(data);
}

UnitRecord* selected_record(HWND dialog) {
    const LRESULT index = SendMessageW(unit_list(dialog), LB_GETCURSEL, 0, 0);
    return index == LB_ERR ? nullptr : record_at(dialog, index);
}

// The main window's chosen network; "" for "None" or none chosen.
std::wstring chosen_network(HWND main_window) {
    HWND list = GetDlgItem(main_window, IDC_NETWORK);
    const LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) {
        return {};
    }
    const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length <= 0) {
        return {};
    }
    std::wstring name(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(name.data()));
    name.resize(static_cast<size_t>(length));
    return name == L"None" ? std::wstring{} : name;
}

// Keeps a supported unit once, under the first name seen; frees the rest.
void on_unit_found(HWND dialog, UnitRecord* record) {
    std::unique_ptr<UnitRecord> owned(record);
    if (!is_supported_unit(*owned)) {
        return;
    }
    HWND list = unit_list(dialog);
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const UnitRecord* listed = record_at(dialog, i);
        if (listed != nullptr && _wcsicmp(listed->name, owned->name) == 0) {
            return;
        }
    }
    const LRESULT index = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(owned.get()));
    if (index != LB_ERR && index != LB_ERRSPACE) {
        owned.release();  // the list has it now
    }
}

void enable_version_fields(HWND dialog, bool enable) {
    for (int id : kVersionFields) {
        EnableWindow(GetDlgItem(dialog, id), enable ? TRUE : FALSE);
    }
}

// Selecting a unit ends the search for good and asks for its versions.
void on_selection_changed(HWND dialog) {
    const UnitRecord* record = selected_record(dialog);
    if (record == nullptr) {
        enable_version_fields(dialog, false);
        SetDlgItemTextW(dialog, IDC_BOOTLOADER_VERSION, L"");
        SetDlgItemTextW(dialog, IDC_APP_VERSION, L"");
        return;
    }
    stop_unit_discovery();
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    enable_version_fields(dialog, true);
    SetDlgItemTextW(dialog, IDC_BOOTLOADER_VERSION, app_string(IDS_SEARCHING));
    SetDlgItemTextW(dialog, IDC_APP_VERSION, app_string(IDS_SEARCHING));
    auto request = std::make_unique<DeviceInfoRequest>();
    request->window = window_target(dialog);
    request->transport = std::make_unique<ConMonTransport>(record->name);
    queue_device_info_request(std::move(request));
}

void on_ok(HWND dialog) {
    const UnitRecord* record = selected_record(dialog);
    if (record == nullptr) {
        EndDialog(dialog, 2);
        return;
    }
    // Setting the field starts the main window's own version check.
    SetDlgItemTextW(GetWindow(dialog, GW_OWNER), IDC_DEVICE_NAME, record->name);
    EndDialog(dialog, 1);
}

void show_version(HWND dialog, int id, unsigned major, unsigned minor) {
    wchar_t text[kVersionCapacity];
    swprintf(text, kVersionCapacity, L"%u.%u", major, minor);
    SetDlgItemTextW(dialog, id, text);
}

void on_measure_item(HWND dialog, MEASUREITEMSTRUCT* measure) {
    if (g_normal_font == nullptr) {
        g_normal_font = create_list_font(dialog, FW_NORMAL);
    }
    if (g_bold_font == nullptr) {
        g_bold_font = create_list_font(dialog, FW_BOLD);
    }
    measure->itemHeight = static_cast<UINT>(text_height(dialog, g_bold_font) + 2);
}

void on_draw_item(const DRAWITEMSTRUCT* draw) {
    if (draw->itemID == static_cast<UINT>(-1)) {
        return;
    }
    const auto* record = reinterpret_cast<const UnitRecord*>(draw->itemData);
    HDC dc = draw->hDC;
    HGDIOBJ previous_font = SelectObject(dc, g_normal_font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const RECT& item = draw->rcItem;
    const int top = (item.top + item.bottom) / 2 - metrics.tmHeight / 2;
    const bool selected = (draw->itemState & ODS_SELECTED) != 0;
    const COLORREF previous_text = GetTextColor(dc);
    const COLORREF previous_back = GetBkColor(dc);
    FillRect(dc, &item, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    if (selected) {
        SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
        SetBkColor(dc, GetSysColor(COLOR_HIGHLIGHT));
    } else {
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    }
    if (record != nullptr) {
        TextOutW(dc, item.left, top, record->name, static_cast<int>(wcsnlen(record->name, kUnitNameCapacity)));
    }
    SetTextColor(dc, previous_text);
    SetBkColor(dc, previous_back);
    SelectObject(dc, previous_font);
    if ((draw->itemState & ODS_FOCUS) != 0) {
        DrawFocusRect(dc, &item);
    }
}

void on_init(HWND dialog) {
    SendMessageW(unit_list(dialog), WM_SETFONT, reinterpret_cast<WPARAM>(g_normal_font), FALSE);
    const std::wstring network = chosen_network(GetWindow(dialog, GW_OWNER));
    start_unit_discovery(dialog, network.c_str());
}

// The search is over, so nothing more arrives: every record the dialog
// owns is freed, those still queued to it included.
void on_destroy(HWND dialog) {
    stop_unit_discovery();
    MSG pending;
    while (PeekMessageW(&pending, dialog, WM_APP_UNIT_FOUND, WM_APP_UNIT_FOUND, PM_REMOVE)) {
        delete reinterpret_cast<UnitRecord*>(pending.lParam);
    }
    const LRESULT count = SendMessageW(unit_list(dialog), LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        delete record_at(dialog, i);
    }
    SendMessageW(unit_list(dialog), LB_RESETCONTENT, 0, 0);
    delete_fonts();
}

bool on_command(HWND dialog, int id, int notification) {
    switch (id) {
        case IDC_UNIT_LIST:
            if (notification == LBN_SELCHANGE) {
                on_selection_changed(dialog);
            } else if (notification == LBN_DBLCLK) {
                on_ok(dialog);
            }
            return true;
        case IDOK:
            on_ok(dialog);
            return true;
        case IDCANCEL:
            EndDialog(dialog, 2);
            return true;
        default:
            return false;
    }
}

}  // namespace

INT_PTR CALLBACK discover_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_MEASUREITEM:
            on_measure_item(dialog, reinterpret_cast<MEASUREITEMSTRUCT*>(lparam));
            return TRUE;
        case WM_INITDIALOG:
            on_init(dialog);
            return TRUE;
        case WM_COMPAREITEM:
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);  // every unit compares equal
            return TRUE;
        case WM_DRAWITEM:
            on_draw_item(reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
            return TRUE;
        case WM_COMMAND:
            return on_command(dialog, LOWORD(wparam), HIWORD(wparam)) ? TRUE : FALSE;
        case WM_APP_UNIT_FOUND:
            on_unit_found(dialog, reinterpret_cast<UnitRecord*>(lparam));
            return TRUE;
        case WM_APP_BOOTLOADER_VERSION:
            show_version(dialog, IDC_BOOTLOADER_VERSION, (wparam >> 8) & 0xFF, wparam & 0xFF);
            return TRUE;
        case WM_APP_BOOTLOADER_NOT_FOUND:
            SetDlgItemTextW(dialog, IDC_BOOTLOADER_VERSION, app_string(IDS_NOT_FOUND));
            return TRUE;
        case WM_APP_APPLICATION_VERSION: {
            const auto version = static_cast<uint32_t>(lparam);
            if (lparam != 0 && lparam != -1) {
                show_version(dialog, IDC_APP_VERSION, version >> 16, version & 0xFFFF);
            } else {
                SetDlgItemTextW(dialog, IDC_APP_VERSION, app_string(IDS_NOT_FOUND));
            }
            return TRUE;
        }
        case WM_APP_QUERY_DONE:
            return TRUE;
        case WM_DESTROY:
            on_destroy(dialog);
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR show_discover_dialog(HINSTANCE instance, HWND main_window) {
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_DISCOVER), main_window, discover_dialog_proc, 1);
}
