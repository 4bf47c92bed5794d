#include "app/main_window.h"

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/about_dialog.h"
#include "app/discover_dialog.h"
#include "app/dm_connect.h"
#include "app/login_dialog.h"
#include "app/tray_icon.h"
#include "app/app_strings.h"
#include "app/message_box.h"
#include "app/resource_ids.h"
#include "app/settings_menu.h"
#include "app/window_target.h"
#include "avn/domain/cmm_client.h"
#include "avn/domain/domain_handler.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/device_info_worker.h"
#include "device/parameter_thread.h"
#include "device/parameters.h"

namespace {

constexpr bool kDiscoverDialogAvailable = true;
constexpr bool kLoginDialogAvailable = true;

constexpr int kDeviceNameCapacity = 255;
constexpr int kDomainNameCapacity = 128;
constexpr int kListTextCapacity = 256;
constexpr uint16_t kUnmanagedDomainId = AVN_DOMAIN_ID_ADHOC;
constexpr const wchar_t* kNoNetwork = L"None";

// Each parameter's list and the label in front of it.
struct ParameterControls {
    ParameterId id;
    int list;
    int label;
};

constexpr std::array<ParameterControls, 7> kParameterControls = {{
    {ParameterId::MicLf, IDC_MIC_LF, IDC_MIC_LF_LABEL},
    {ParameterId::MicHf, IDC_MIC_HF, IDC_MIC_HF_LABEL},
    {ParameterId::LineLf, IDC_LINE_LF, IDC_LINE_LF_LABEL},
    {ParameterId::LineHf, IDC_LINE_HF, IDC_LINE_HF_LABEL},
    {ParameterId::Mode, IDC_MODE, IDC_MODE_LABEL},
    {ParameterId::MicSensitivity, IDC_SENSITIVITY, IDC_SENSITIVITY_LABEL},
    {ParameterId::MicGate, IDC_GATE, IDC_GATE_LABEL},
}};

struct MainWindowState {
    HWND window = nullptr;
    HINSTANCE instance = nullptr;
    aud_error avn_start_result = AUD_SUCCESS;
    // The network entry the connection manager last named as in use. Kept so
    // that a list refilled after the state arrived still shows it.
    std::wstring wanted_network;
    bool network_known = false;
};

MainWindowState g_state;

const ParameterControls* controls_for_id(WPARAM id) {
    for (const ParameterControls& controls : kParameterControls) {
        if (static_cast<WPARAM>(controls.id) == id) {
            return &controls;
        }
    }
    return nullptr;
}

const ParameterControls* controls_for_list(int list) {
    for (const ParameterControls& controls : kParameterControls) {
        if (controls.list == list) {
            return &controls;
        }
    }
    return nullptr;
}

std::wstring widen(const char* text, int capacity) {
    int length = 0;
    while (length < capacity && text[length] != '\0') {
        ++length;
    }
    if (length == 0) {
        return {};
    }
    // Names from the AVN side are UTF-8; anything else is read in the
    // user's code page.
    for (UINT code_page : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int size = MultiByteToWideChar(code_page, flags, text, length, nullptr, 0);
        if (size > 0) {
            std::wstring wide(static_cast<size_t>(size), L'\0');
            MultiByteToWideChar(code_page, flags, text, length, wide.data(), size);
            return wide;
        }
    }
    return {};
}

std::wstring interface_name(const cmm_interface* interface) {
    std::wstring name;
    if (const char16_t* text = cmm_interface_get_name(interface)) {
        for (size_t i = 0; i < CMM_INTERFACE_NAME_SIZE && text[i] != u'\0'; ++i) {
            name.push_back(static_cast<wchar_t>(text[i]));
        }
    }
    return name;
}

// A heap copy of a text for a window message; the receiver frees it.
wchar_t* heap_text(const std::wstring& text) {
    auto* copy = new wchar_t[text.size() + 1];
    text.copy(copy, text.size());
    copy[text.size()] = L'\0';
    return copy;
}

// ---- Small control helpers ----

void enable_item(HWND window, int id, bool enable) {
    EnableWindow(GetDlgItem(window, id), enable ? TRUE : FALSE);
}

void show_item(HWND window, int id, bool show) {
    ShowWindow(GetDlgItem(window, id), show ? SW_SHOW : SW_HIDE);
}

LRESULT list_message(HWND window, int list, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    return SendDlgItemMessageW(window, list, message, wparam, lparam);
}

std::wstring list_text(HWND window, int list, LRESULT index) {
    const LRESULT length = list_message(window, list, CB_GETLBTEXTLEN, index);
    if (length == CB_ERR || length <= 0) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    list_message(window, list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

// Selects an entry, or none when the index lies outside the list.
void select_list_index(HWND window, int list, int32_t index) {
    const LRESULT count = list_message(window, list, CB_GETCOUNT);
    const bool inside = index >= 0 && index < count;
    list_message(window, list, CB_SETCURSEL, inside ? static_cast<WPARAM>(index) : WPARAM(-1));
}

std::wstring device_name_text(HWND window) {
    wchar_t name[kDeviceNameCapacity + 1] = {};
    GetDlgItemTextW(window, IDC_DEVICE_NAME, name, kDeviceNameCapacity + 1);
    return name;
}

// ---- Enabling groups ----

void enable_connection_controls(HWND window, bool enable) {
    enable_item(window, IDC_NETWORK_LABEL, enable);
    enable_item(window, IDC_NETWORK, enable);
    enable_item(window, IDC_DOMAIN_LABEL, enable);
    enable_item(window, IDC_LOGIN, enable && kLoginDialogAvailable);
    // A single entry (unmanaged only) leaves nothing to choose.
    enable_item(window, IDC_DOMAIN, enable && list_message(window, IDC_DOMAIN, CB_GETCOUNT) > 1);
}

void enable_discover_button(HWND window, bool enable) {
    enable_item(window, IDC_DISCOVER, enable && kDiscoverDialogAvailable);
}

void enable_device_name(HWND window, bool enable) {
    enable_item(window, IDC_DEVICE_NAME_LABEL, enable);
    enable_item(window, IDC_DEVICE_NAME, enable);
}

void enable_device_controls(HWND window, bool enable) {
    enable_connection_controls(window, enable);
    enable_discover_button(window, enable);
    enable_device_name(window, enable);
    enable_item(window, IDC_APP_VERSION_LABEL, enable);
    enable_item(window, IDC_APP_VERSION, enable);
    EnableMenuItem(GetMenu(window), IDM_ABOUT, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

void enable_parameter_controls(HWND window, bool enable) {
    for (const ParameterControls& controls : kParameterControls) {
        enable_item(window, controls.list, enable);
        enable_item(window, controls.label, enable);
        if (!enable) {
            select_list_index(window, controls.list, disconnected_index(controls.id));
        }
    }
}

void reset_domain_list(HWND window) {
    list_message(window, IDC_DOMAIN, CB_RESETCONTENT);
    const LRESULT index = list_message(window, IDC_DOMAIN, CB_ADDSTRING, 0,
                                       reinterpret_cast<LPARAM>(app_string(IDS_UNMANAGED)));
    list_message(window, IDC_DOMAIN, CB_SETITEMDATA, static_cast<WPARAM>(index),
                 kUnmanagedDomainId);
    list_message(window, IDC_DOMAIN, CB_SETCURSEL, static_cast<WPARAM>(index));
    enable_item(window, IDC_DOMAIN, false);
}

void fill_parameter_lists(HWND window) {
    for (const ParameterControls& controls : kParameterControls) {
        const auto size = static_cast<int32_t>(parameter_list_size(controls.id));
        for (int32_t index = 0; index < size; ++index) {
            const std::string text = parameter_display_text(controls.id, index);
            const std::wstring wide = widen(text.c_str(), static_cast<int>(text.size()));
            list_message(window, controls.list, CB_ADDSTRING, 0,
                         reinterpret_cast<LPARAM>(wide.c_str()));
        }
    }
}

// ---- The AVN API's reports (inside a processing step, mutex held) ----
// They only post: the window thread may itself be waiting for the mutex.

void on_domains_changed(void* context, const avn_domain_handler_event* event) {
    HWND window = static_cast<HWND>(context);
    const uint32_t flags = avn_domain_handler_event_get_flags(event);
    const avn_domain_handler* handler = avn_domain_handler_event_get_handler(event);
    // An open connection that ended without a logout: the user is told.
    if ((flags & AVN_DOMAIN_EVENT_ERROR) != 0 &&
        avn_domain_handler_get_last_failure(handler) == AVN_DM_FAILURE_LOST) {
        PostMessageW(window, WM_APP_DM_LOST, 0, 0);
    }
    if ((flags & AVN_DOMAIN_EVENT_DOMAIN_LIST) == 0) {
        return;
    }
    PostMessageW(window, WM_APP_DOMAINS_CLEAR, 0, 0);
    const avn_domain_info current = avn_domain_handler_get_current_domain(handler);
    const size_t count = avn_domain_handler_get_domain_count(handler);
    for (size_t i = 0; i < count; ++i) {
        const avn_domain_info domain = avn_domain_handler_get_domain_at(handler, i);
        const bool is_current = avn_domain_uuid_compare(&domain.uuid, &current.uuid) == 0;
        const std::wstring text = avn_domain_uuid_is_adhoc(&domain.uuid)
                                      ? std::wstring(app_string(IDS_UNMANAGED))
                                      : widen(domain.name, kDomainNameCapacity);
        wchar_t* copy = heap_text(text);
        if (!PostMessageW(window, is_current ? WM_APP_DOMAIN_ADD_CURRENT : WM_APP_DOMAIN_ADD,
                          domain.id, reinterpret_cast<LPARAM>(copy))) {
            delete[] copy;
        }
    }
}

void on_network_options_changed(void* context, cmm_client*, const cmm_options* options) {
    auto names = std::make_unique<std::vector<std::wstring>>();
    const uint16_t count = cmm_interface_list_count(options);
    for (uint16_t i = 0; i < count; ++i) {
        names->push_back(interface_name(cmm_interface_list_get(options, i)));
    }
    if (PostMessageW(static_cast<HWND>(context), WM_APP_NETWORK_LIST, 0,
                     reinterpret_cast<LPARAM>(names.get()))) {
        names.release();  // the window's now
    }
}

void on_network_state_changed(void* context, const cmm_state* state) {
    const cmm_interface_set* set = cmm_state_get_pending_config(state);
    if (set == nullptr) {
        set = cmm_state_get_current_config(state);
    }
    // No interface in force reads as the "None" entry.
    auto name = std::make_unique<std::wstring>();
    if (const cmm_interface* first = cmm_interface_list_get(set, 0)) {
        *name = interface_name(first);
    }
    if (PostMessageW(static_cast<HWND>(context), WM_APP_NETWORK_SELECT, 0,
                     reinterpret_cast<LPARAM>(name.get()))) {
        name.release();
    }
}

// ---- Choices that change the AVN API's own state (window thread) ----

void select_network_interface(const std::wstring& name) {
    std::u16string wanted(name.begin(), name.end());
    avn_api_lock_unbounded();
    cmm_client* client = avn_api_cmm_client();
    if (cmm_interface_set* set = cmm_client_get_config_buffer(client)) {
        cmm_interface_set_clear(set);
        // Adds nothing for a name that is not offered, as for "None".
        cmm_interface_set_add_by_name(set, cmm_client_get_options(client), wanted.c_str());
        cmm_interface_set_add_none(set);
        const cmm_system_config config{CMM_CONFIG_INTERFACES, set, 0};
        cmm_client_set_system_config(client, &config);
    }
    avn_api_unlock();
}

void select_domain(uint16_t id) {
    avn_api_lock_unbounded();
    if (avnapi* instance = avn_api_instance()) {
        avn_domain_handler_set_current_domain_by_id(avnapi_get_domain_handler(instance), id);
    }
    avn_api_unlock();
}

// ---- Commands ----

void on_device_name_changed(HWND window) {
    enable_item(window, IDC_CONNECT, false);
    const std::wstring name = device_name_text(window);
    if (name.empty()) {
        return;
    }
    SetDlgItemTextW(window, IDC_APP_VERSION, app_string(IDS_SEARCHING));
    enable_connection_controls(window, false);
    enable_discover_button(window, false);
    auto request = std::make_unique<DeviceInfoRequest>();
    request->window = window_target(window);
    request->transport = std::make_unique<ConMonTransport>(name.c_str());
    queue_device_info_request(std::move(request));
}

void on_connect(HWND window) {
    enable_item(window, IDC_CONNECT, false);
    enable_device_controls(window, false);
    const std::wstring name = device_name_text(window);
    if (name.empty()) {
        return;
    }
    start_parameter_thread(window_target(window), std::make_unique<ConMonTransport>(name.c_str()));
}

void on_parameter_chosen(HWND window, const ParameterControls& controls) {
    const LRESULT index = list_message(window, controls.list, CB_GETCURSEL);
    if (index == CB_ERR) {
        return;
    }
    const auto id = static_cast<uint8_t>(controls.id);
    queue_parameter_change(1, id, value_for_index(id, static_cast<int32_t>(index)));
}

void on_network_chosen(HWND window) {
    const LRESULT index = list_message(window, IDC_NETWORK, CB_GETCURSEL);
    if (index == CB_ERR) {
        return;
    }
    std::wstring name = list_text(window, IDC_NETWORK, index);
    if (name == kNoNetwork) {
        name.clear();
    }
    select_network_interface(name);
}

void on_domain_chosen(HWND window) {
    const LRESULT index = list_message(window, IDC_DOMAIN, CB_GETCURSEL);
    if (index == CB_ERR) {
        return;
    }
    select_domain(static_cast<uint16_t>(
        list_message(window, IDC_DOMAIN, CB_GETITEMDATA, static_cast<WPARAM>(index))));
}

void on_close_request(HWND window) {
    if (show_message_box(window, app_string(IDS_CLOSE_QUESTION), app_string(IDS_CLOSE_TITLE),
                         MB_ICONQUESTION | MB_YESNO) == IDYES) {
        DestroyWindow(window);
    }
}

bool on_command(HWND window, int id, int notification) {
    switch (id) {
        case IDCANCEL:
        case IDM_EXIT:
            SendMessageW(window, WM_CLOSE, 0, 0);
            return true;
        case IDM_ABOUT:
            show_about_dialog(g_state.instance, window);
            return true;
        case IDM_SAVE_SETTINGS:
        case IDM_LOAD_SETTINGS:
            settings_menu_command(window, id);
            return true;
        case IDC_DISCOVER:
            enable_item(window, IDC_CONNECT, false);
            set_tray_animation(true);
            show_discover_dialog(g_state.instance, window);
            set_tray_animation(false);
            return true;
        case IDC_LOGIN:
            if (notification == BN_CLICKED) {
                show_login_dialog(g_state.instance, window);
            }
            return true;
        case IDC_DEVICE_NAME:
            if (notification == EN_CHANGE) {
                on_device_name_changed(window);
            }
            return true;
        case IDC_DOMAIN:
            if (notification == CBN_SELCHANGE) {
                on_domain_chosen(window);
            }
            return true;
        case IDC_NETWORK:
            if (notification == CBN_SELCHANGE) {
                on_network_chosen(window);
            }
            return true;
        case IDC_CONNECT:
            if (notification == BN_CLICKED) {
                on_connect(window);
            }
            return true;
        case IDC_DISCONNECT:
            if (notification == BN_CLICKED) {
                stop_parameter_thread();
            }
            return true;
        default:
            break;
    }
    if (const ParameterControls* controls = controls_for_list(id)) {
        // Confirmed: the user picked an entry and closed the list. Picking
        // the entry already shown still sends it.
        if (notification == CBN_SELENDOK) {
            on_parameter_chosen(window, *controls);
        }
        return true;
    }
    return false;
}

// ---- Reports from the worker threads ----

// "Not found" blames the unit; when the local AVN service did not answer,
// the version field says so instead.
void show_version_unavailable(HWND window, WPARAM why) {
    SetDlgItemTextW(window, IDC_APP_VERSION,
                    app_string(why == kLinkServiceDown ? IDS_NO_SERVICE : IDS_NOT_FOUND));
}

void on_application_version(HWND window, WPARAM wparam, LPARAM lparam) {
    const auto version = static_cast<uint32_t>(lparam);
    if (version != 0 && version != 0xFFFFFFFFu) {
        wchar_t text[32];
        swprintf(text, 32, L"%u.%u", version >> 16, version & 0xFFFFu);
        SetDlgItemTextW(window, IDC_APP_VERSION, text);
        SetDlgItemTextW(window, IDC_CONNECT, L"Connect");
        enable_item(window, IDC_CONNECT, true);
    } else {
        show_version_unavailable(window, wparam);
        SetDlgItemTextW(window, IDC_CONNECT, L"Connect");
        enable_item(window, IDC_CONNECT, false);
    }
}

void on_domain_added(HWND window, WPARAM id, LPARAM text, bool current) {
    std::unique_ptr<wchar_t[]> owned(reinterpret_cast<wchar_t*>(text));
    const LRESULT index =
        list_message(window, IDC_DOMAIN, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(owned.get()));
    if (index >= 0) {
        list_message(window, IDC_DOMAIN, CB_SETITEMDATA, static_cast<WPARAM>(index),
                     static_cast<LPARAM>(id & 0xFFFF));
        if (current) {
            list_message(window, IDC_DOMAIN, CB_SETCURSEL, static_cast<WPARAM>(index));
        }
    }
    // As enable_connection_controls would: "<unmanaged>" alone (the list the
    // handler holds when no Domain Manager is connected) leaves nothing to
    // choose, and while the connection rows are disabled (a unit connected
    // or being checked) the domain stays as it is.
    enable_item(window, IDC_DOMAIN,
                IsWindowEnabled(GetDlgItem(window, IDC_DOMAIN_LABEL)) &&
                    list_message(window, IDC_DOMAIN, CB_GETCOUNT) > 1);
}

void on_disconnected(HWND window) {
    settings_menu_connected(window, false);
    enable_parameter_controls(window, false);
    enable_device_controls(window, true);
    show_item(window, IDC_DISCONNECT, false);
    show_item(window, IDC_CONNECT, true);
    enable_item(window, IDC_CONNECT, true);
}

// The unit is blamed only when the link itself was there: a stopped AVN
// service or a lost Domain Manager connection is named instead (lParam of a
// failure with wParam 0).
const wchar_t* send_failure_text(WPARAM id, LPARAM cause) {
    if (id == 0 && cause == static_cast<LPARAM>(kLinkServiceDown)) {
        return L"The AVN service stopped. Disconnecting...";
    }
    if (id == 0 && cause == static_cast<LPARAM>(kLinkDomainLost)) {
        return L"The connection to the Domain Manager was lost. Disconnecting...";
    }
    return L"Unable to send to device. Disconnecting...";
}

void on_send_failed(HWND window, WPARAM id, LPARAM cause) {
    stop_parameter_thread();
    show_message_box(window, send_failure_text(id, cause), L"Communications Error", MB_ICONERROR | MB_OK);
    on_disconnected(window);
}

void on_parameter_report(HWND window, WPARAM id, LPARAM value) {
    const ParameterControls* controls = controls_for_id(id);
    if (controls == nullptr) {
        return;
    }
    const auto parameter = static_cast<uint8_t>(id);
    select_list_index(window, controls->list,
                      index_for_value(parameter, static_cast<int32_t>(value)));
    enable_item(window, controls->list, true);
    enable_item(window, controls->label, true);
}

void select_wanted_network(HWND window) {
    if (!g_state.network_known) {
        return;
    }
    const std::wstring wanted =
        g_state.wanted_network.empty() ? kNoNetwork : g_state.wanted_network;
    const LRESULT count = list_message(window, IDC_NETWORK, CB_GETCOUNT);
    for (LRESULT index = 0; index < count; ++index) {
        if (list_text(window, IDC_NETWORK, index) == wanted) {
            if (list_message(window, IDC_NETWORK, CB_GETCURSEL) != index) {
                list_message(window, IDC_NETWORK, CB_SETCURSEL, static_cast<WPARAM>(index));
            }
            return;
        }
    }
}

void on_network_list(HWND window, LPARAM lparam) {
    std::unique_ptr<std::vector<std::wstring>> names(
        reinterpret_cast<std::vector<std::wstring>*>(lparam));
    list_message(window, IDC_NETWORK, CB_RESETCONTENT);
    list_message(window, IDC_NETWORK, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kNoNetwork));
    for (const std::wstring& name : *names) {
        const wchar_t* text = name.empty() ? kNoNetwork : name.c_str();
        list_message(window, IDC_NETWORK, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    enable_item(window, IDC_NETWORK, !names->empty());
    select_wanted_network(window);
}

void on_network_select(HWND window, LPARAM lparam) {
    std::unique_ptr<std::wstring> name(reinterpret_cast<std::wstring*>(lparam));
    g_state.wanted_network = *name;
    g_state.network_known = true;
    select_wanted_network(window);
}

// ---- Creation and destruction ----

void on_create(HWND window, const avn_api_options* options) {
    g_state.window = window;
    g_state.wanted_network.clear();
    g_state.network_known = false;
    set_domain_change_callback(on_domains_changed, window);
    set_network_options_callback(on_network_options_changed, window);
    set_network_state_callback(on_network_state_changed, window);
    g_state.avn_start_result = start_avn_api(options);
    fill_parameter_lists(window);
    enable_parameter_controls(window, false);
    enable_device_name(window, true);
    enable_discover_button(window, true);
    enable_item(window, IDC_LOGIN, kLoginDialogAvailable);
    reset_domain_list(window);
    SetFocus(GetDlgItem(window, IDC_DEVICE_NAME));
}

void on_destroy(HWND window) {
    // The callbacks name this window; nothing may post to it any more.
    set_domain_change_callback(nullptr, nullptr);
    set_network_options_callback(nullptr, nullptr);
    set_network_state_callback(nullptr, nullptr);
    if (check_domain_manager_connected() == AUD_SUCCESS) {
        log_out_domain_manager();
    }
    if (g_state.window == window) {
        g_state.window = nullptr;
    }
    PostQuitMessage(0);
}

INT_PTR CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG:
            on_create(window, reinterpret_cast<const avn_api_options*>(lparam));
            return FALSE;  // the focus is set
        case WM_COMMAND:
            return on_command(window, LOWORD(wparam), HIWORD(wparam)) ? TRUE : FALSE;
        case WM_CLOSE:
            on_close_request(window);
            return TRUE;
        case WM_DESTROY:
            on_destroy(window);
            return TRUE;
        case WM_APP_APPLICATION_VERSION:
            on_application_version(window, wparam, lparam);
            return TRUE;
        case WM_APP_QUERY_DONE:
            enable_discover_button(window, true);
            enable_connection_controls(window, true);
            return TRUE;
        case WM_APP_DOMAINS_CLEAR:
            enable_item(window, IDC_DOMAIN, false);
            list_message(window, IDC_DOMAIN, CB_RESETCONTENT);
            return TRUE;
        case WM_APP_DOMAIN_ADD:
        case WM_APP_DOMAIN_ADD_CURRENT:
            on_domain_added(window, wparam, lparam, message == WM_APP_DOMAIN_ADD_CURRENT);
            return TRUE;
        case WM_APP_PARAM_SENT:
            return TRUE;
        case WM_APP_SEND_FAILED:
            on_send_failed(window, wparam, lparam);
            return TRUE;
        case WM_APP_PARAM_REPORT:
            on_parameter_report(window, wparam, lparam);
            settings_menu_on_report(window, wparam, lparam);
            return TRUE;
        case WM_TIMER:
            return settings_menu_on_timer(window, wparam) ? TRUE : FALSE;
        case WM_APP_CONNECTED:
            settings_menu_connected(window, true);
            show_item(window, IDC_CONNECT, false);
            show_item(window, IDC_DISCONNECT, true);
            enable_item(window, IDC_DISCONNECT, true);
            return TRUE;
        case WM_APP_CONNECT_FAILED:
            stop_parameter_thread();
            if (wparam == kLinkServiceDown) {
                show_version_unavailable(window, wparam);
            }
            enable_item(window, IDC_CONNECT, true);
            enable_device_controls(window, true);
            return TRUE;
        case WM_APP_DISCONNECTED:
            on_disconnected(window);
            return TRUE;
        case WM_APP_DM_LOGGED_OUT:
            reset_domain_list(window);
            return TRUE;
        case WM_APP_DM_LOST:
            reset_domain_list(window);
            show_message_box(window, L"The connection to the Domain Manager was lost.",
                             L"Domain Manager", MB_ICONWARNING | MB_OK);
            return TRUE;
        case WM_APP_NETWORK_LIST:
            on_network_list(window, lparam);
            return TRUE;
        case WM_APP_NETWORK_SELECT:
            on_network_select(window, lparam);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool register_main_window_class(HINSTANCE instance) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    // The template names this class; the dialog manager drives it through
    // the default dialog procedure, which calls main_window_proc.
    window_class.lpfnWndProc = DefDlgProcW;
    window_class.cbWndExtra = DLGWINDOWEXTRA;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    window_class.hIconSm = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = app_string(IDS_WINDOW_CLASS);
    if (RegisterClassExW(&window_class) != 0) {
        return true;
    }
    // Registered before (a second window in the same process, as in tests).
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND create_main_window(HINSTANCE instance, const avn_api_options* options) {
    g_state.instance = instance;
    return CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, main_window_proc,
                              reinterpret_cast<LPARAM>(options));
}

aud_error main_window_avn_start_result() {
    return g_state.avn_start_result;
}

HWND main_window() {
    return g_state.window;
}
