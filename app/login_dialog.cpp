#include "app/login_dialog.h"

#include <cwchar>
#include <cwctype>
#include <string>

#include "app/dm_connect.h"
#include "app/dm_lookup.h"
#include "app/message_box.h"
#include "app/resource_ids.h"
#include "device/app_messages.h"
#include "device/avn_cloud.h"

namespace {

constexpr int kTextCapacity = 254;
constexpr int kPortTextCapacity = 14;
constexpr uint16_t kDefaultPort = 8443;

struct LoginSettings {
    LoginMethod method = LoginMethod::AutoDiscovery;
    wchar_t address[kTextCapacity + 1] = {};
    uint16_t port = kDefaultPort;
    wchar_t port_text[kPortTextCapacity + 1] = {};
    wchar_t user_name[kTextCapacity + 1] = {};
    wchar_t password[kTextCapacity + 1] = {};
};

LoginSettings g_settings;

// Reads a field into a buffer of `capacity` characters plus the terminator.
template <size_t N>
void read_field(HWND dialog, int id, wchar_t (&buffer)[N]) {
    GetDlgItemTextW(dialog, id, buffer, static_cast<int>(N));
}

bool field_empty(HWND dialog, int id) {
    return GetWindowTextLengthW(GetDlgItem(dialog, id)) == 0;
}

void enable(HWND dialog, int id, bool on) {
    EnableWindow(GetDlgItem(dialog, id), on ? TRUE : FALSE);
}

std::wstring cloud_host() {
    const std::string host = avn_cloud_endpoint().host;
    return std::wstring(host.begin(), host.end());
}

void show_port(HWND dialog, uint16_t port) {
    wchar_t text[kPortTextCapacity + 1] = {};
    if (port != 0) {
        swprintf(text, kPortTextCapacity + 1, L"%u", static_cast<unsigned>(port));
    }
    SetDlgItemTextW(dialog, IDC_DM_PORT, text);
}

// The port text read as a decimal number; 0 when it is not one that fits.
uint16_t parse_port(const wchar_t* text) {
    unsigned long value = 0;
    if (text[0] == L'\0') {
        return 0;
    }
    for (const wchar_t* next = text; *next != L'\0'; ++next) {
        if (!iswdigit(*next)) {
            return 0;
        }
        value = value * 10 + static_cast<unsigned long>(*next - L'0');
        if (value > 0xFFFF) {
            return 0;
        }
    }
    return static_cast<uint16_t>(value);
}

void set_logout_state(HWND dialog) {
    enable(dialog, IDC_LOGOUT, check_domain_manager_connected() == AUD_SUCCESS);
}

void update_login_button(HWND dialog) {
    enable(dialog, IDOK,
           !field_empty(dialog, IDC_USER_NAME) && !field_empty(dialog, IDC_PASSWORD) &&
               !field_empty(dialog, IDC_DM_ADDRESS) && !field_empty(dialog, IDC_DM_PORT));
    set_logout_state(dialog);
}

void choose_auto_discovery(HWND dialog) {
    stop_dm_lookup();
    g_settings.method = LoginMethod::AutoDiscovery;
    g_settings.address[0] = L'\0';
    SetDlgItemTextW(dialog, IDC_DM_ADDRESS, L"");
    g_settings.port = kDefaultPort;
    show_port(dialog, kDefaultPort);
    enable(dialog, IDC_DM_ADDRESS, false);
    update_login_button(dialog);
    start_dm_lookup(dialog);
}

void choose_cloud(HWND dialog) {
    stop_dm_lookup();
    g_settings.method = LoginMethod::Cloud;
    enable(dialog, IDC_DM_ADDRESS, false);
    SetDlgItemTextW(dialog, IDC_DM_ADDRESS, cloud_host().c_str());
    g_settings.port = avn_cloud_endpoint().port;
    show_port(dialog, g_settings.port);
    update_login_button(dialog);
}

void choose_manual(HWND dialog) {
    stop_dm_lookup();
    g_settings.method = LoginMethod::Manual;
    g_settings.port = kDefaultPort;
    show_port(dialog, kDefaultPort);
    enable(dialog, IDC_DM_ADDRESS, true);
    update_login_button(dialog);
}

void on_init(HWND dialog) {
    enable(dialog, IDC_DM_PORT, false);
    set_logout_state(dialog);
    const int radio = IDC_METHOD_AUTO + static_cast<int>(g_settings.method);
    CheckRadioButton(dialog, IDC_METHOD_AUTO, IDC_METHOD_MANUAL, radio);
    switch (g_settings.method) {
        case LoginMethod::AutoDiscovery:
            enable(dialog, IDC_DM_ADDRESS, false);
            g_settings.address[0] = L'\0';
            SetDlgItemTextW(dialog, IDC_DM_ADDRESS, L"");
            g_settings.port = kDefaultPort;
            show_port(dialog, kDefaultPort);
            start_dm_lookup(dialog);
            break;
        case LoginMethod::Cloud:
            enable(dialog, IDC_DM_ADDRESS, false);
            SetDlgItemTextW(dialog, IDC_DM_ADDRESS, cloud_host().c_str());
            g_settings.port = avn_cloud_endpoint().port;
            show_port(dialog, g_settings.port);
            break;
        case LoginMethod::Manual:
            show_port(dialog, g_settings.port);
            SetDlgItemTextW(dialog, IDC_DM_ADDRESS, g_settings.address);
            break;
    }
    SetDlgItemTextW(dialog, IDC_USER_NAME, g_settings.user_name);
    SetDlgItemTextW(dialog, IDC_PASSWORD, g_settings.password);
    update_login_button(dialog);
}

void on_login(HWND dialog) {
    stop_dm_lookup();
    read_field(dialog, IDC_USER_NAME, g_settings.user_name);
    read_field(dialog, IDC_PASSWORD, g_settings.password);
    read_field(dialog, IDC_DM_ADDRESS, g_settings.address);
    read_field(dialog, IDC_DM_PORT, g_settings.port_text);
    g_settings.port = parse_port(g_settings.port_text);
    enable(dialog, IDOK, false);
    const aud_error result = connect_domain_manager(g_settings.address, g_settings.user_name,
                                                    g_settings.password, g_settings.port);
    if (result != AUD_SUCCESS) {
        set_logout_state(dialog);
        std::wstring text = L"Unable to connect to the Domain Manager.";
        if (const wchar_t* why = dm_failure_explanation()) {
            text += L"\n\n";
            text += why;
        }
        show_message_box(dialog, text.c_str(), L"Error", MB_ICONERROR | MB_OK);
        enable(dialog, IDOK, true);
        return;
    }
    EndDialog(dialog, 1);
}

void on_logout(HWND dialog) {
    if (check_domain_manager_connected() != AUD_SUCCESS) {
        return;
    }
    enable(dialog, IDC_LOGOUT, false);
    log_out_domain_manager();
    set_logout_state(dialog);
    PostMessageW(GetWindow(dialog, GW_OWNER), WM_APP_DM_LOGGED_OUT, 0, 0);
    EndDialog(dialog, 3);
}

void on_dm_found(HWND dialog, WPARAM port, LPARAM address) {
    if (g_settings.method != LoginMethod::AutoDiscovery) {
        return;
    }
    SetDlgItemTextW(dialog, IDC_DM_ADDRESS, reinterpret_cast<const wchar_t*>(address));
    show_port(dialog, static_cast<uint16_t>(port));
    stop_dm_lookup();
}

bool on_command(HWND dialog, int id, int notification) {
    switch (id) {
        case IDC_METHOD_AUTO:
            if (notification == BN_CLICKED) {
                choose_auto_discovery(dialog);
            }
            return true;
        case IDC_METHOD_CLOUD:
            if (notification == BN_CLICKED) {
                choose_cloud(dialog);
            }
            return true;
        case IDC_METHOD_MANUAL:
            if (notification == BN_CLICKED) {
                choose_manual(dialog);
            }
            return true;
        case IDC_USER_NAME:
        case IDC_PASSWORD:
        case IDC_DM_ADDRESS:
        case IDC_DM_PORT:
            if (notification == EN_CHANGE) {
                update_login_button(dialog);
            }
            return true;
        case IDOK:
            on_login(dialog);
            return true;
        case IDCANCEL:
            EndDialog(dialog, 2);
            return true;
        case IDC_LOGOUT:
            on_logout(dialog);
            return true;
        default:
            return false;
    }
}

}  // namespace

INT_PTR CALLBACK login_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG:
            on_init(dialog);
            return TRUE;
        case WM_COMMAND:
            return on_command(dialog, LOWORD(wparam), HIWORD(wparam)) ? TRUE : FALSE;
        case WM_APP_DM_FOUND:
            on_dm_found(dialog, wparam, lparam);
            return TRUE;
        case WM_DESTROY:
            stop_dm_lookup();
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR show_login_dialog(HINSTANCE instance, HWND main_window) {
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_LOGIN), main_window, login_dialog_proc, 1);
}

LoginMethod login_method() {
    return g_settings.method;
}

uint16_t login_port() {
    return g_settings.port;
}

void reset_login_settings() {
    SecureZeroMemory(g_settings.password, sizeof g_settings.password);
    g_settings = LoginSettings{};
}
