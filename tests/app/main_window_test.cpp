// The main window without the AVN platform services: its controls and
// states, driven with the messages the worker threads post, and the close
// question. (With simulated services: main_window_sim_test.cpp.)
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/about_dialog.h"
#include "app/main_window.h"
#include "app/resource_ids.h"
#include "app/tray_icon.h"
#include "device/app_messages.h"
#include "device/device_info_worker.h"
#include "device/parameter_thread.h"
#include "tests/app/gui_test_support.h"

using namespace gui_test;

namespace {

constexpr int kParameterLists[] = {IDC_MIC_LF, IDC_MIC_HF,      IDC_LINE_LF, IDC_LINE_HF,
                                   IDC_MODE,   IDC_SENSITIVITY, IDC_GATE};
constexpr int kParameterLabels[] = {IDC_MIC_LF_LABEL,  IDC_MIC_HF_LABEL, IDC_LINE_LF_LABEL,
                                    IDC_LINE_HF_LABEL, IDC_MODE_LABEL,   IDC_SENSITIVITY_LABEL,
                                    IDC_GATE_LABEL};

// A heap text as the AVN callbacks post it (the window frees it).
LPARAM heap_text(const wchar_t* text) {
    const size_t length = wcslen(text);
    auto* copy = new wchar_t[length + 1];
    wcscpy(copy, text);
    return reinterpret_cast<LPARAM>(copy);
}

// The window made while no connection manager answers: the AVN API does not
// start (after a short wait), so every unit query and connection fails at
// once, and the window's own behaviour shows.
class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        prepare_process();
        avn_api_options options;
        options.cmm_port = 9;  // nothing listens on loopback's discard port
        options.conmon_port = 9;
        options.connect_limit_ms = 300;
        window_ = create_main_window(GetModuleHandleW(nullptr), &options);
        ASSERT_NE(window_, nullptr);
        ASSERT_EQ(main_window_avn_start_result(), AUD_ERR_NOTRUNNING);
        ShowWindow(window_, SW_SHOWNORMAL);
        pump_for(50);
    }

    void TearDown() override {
        shut_down_main_window(window_);
        pump_for(20);
    }

    void post(UINT message, WPARAM wparam, LPARAM lparam) {
        PostMessageW(window_, message, wparam, lparam);
        pump_for(30);
    }

    void expect_idle_without_unit() {
        for (int id : kParameterLists) {
            EXPECT_FALSE(enabled(window_, id)) << id;
        }
        for (int id : kParameterLabels) {
            EXPECT_FALSE(enabled(window_, id)) << id;
        }
        EXPECT_EQ(list_selected_text(window_, IDC_MIC_LF), L" 0 dB");
        EXPECT_EQ(list_selected_text(window_, IDC_MIC_HF), L" 0 dB");
        EXPECT_EQ(list_selected_text(window_, IDC_LINE_LF), L" 0 dB");
        EXPECT_EQ(list_selected_text(window_, IDC_LINE_HF), L" 0 dB");
        EXPECT_EQ(list_selected_text(window_, IDC_MODE), L"Mic/Line Mix (Mono link)");
        EXPECT_EQ(list_selected_text(window_, IDC_SENSITIVITY), L"-37 dBu");
        EXPECT_EQ(list_selected_text(window_, IDC_GATE), L"Enabled");
        EXPECT_TRUE(visible(window_, IDC_CONNECT));
        EXPECT_FALSE(visible(window_, IDC_DISCONNECT));
        EXPECT_TRUE(enabled(window_, IDC_DEVICE_NAME));
        EXPECT_TRUE(enabled(window_, IDC_NETWORK_LABEL));
        EXPECT_TRUE(menu_item_enabled(window_, IDM_ABOUT));
    }

    HWND window_ = nullptr;
};

TEST_F(MainWindowTest, StartsIdleWithTheValuesShownWithoutAUnit) {
    wchar_t caption[64];
    GetWindowTextW(window_, caption, 64);
    EXPECT_STREQ(caption, L"TPX-2 Config Utility");
    wchar_t class_name[64];
    GetClassNameW(window_, class_name, 64);
    EXPECT_STREQ(class_name, L"CONFIGUTILITY");

    expect_idle_without_unit();
    EXPECT_FALSE(enabled(window_, IDC_CONNECT));
    EXPECT_EQ(text_of(window_, IDC_APP_VERSION), L"");
    EXPECT_EQ(GetFocus(), GetDlgItem(window_, IDC_DEVICE_NAME));

    // The lists hold every value of their parameter, in display order.
    EXPECT_EQ(list_count(window_, IDC_LINE_HF), 25);
    EXPECT_EQ(list_item(window_, IDC_LINE_HF, 0), L"+12 dB");
    EXPECT_EQ(list_item(window_, IDC_LINE_HF, 24), L"-12 dB");
    EXPECT_EQ(list_items(window_, IDC_MODE),
              (std::vector<std::wstring>{
                  L"Mic/Line Mix (Mono link)", L"Mic/Line Mix (Stereo link, Mono-summed)",
                  L"Mic/Line Mix (Stereo link, Stereo Out)", L"Mic/Line Split (Mono link)",
                  L"Mic/Line Split (Stereo link, Mono-summed)"}));
    EXPECT_EQ(
        list_items(window_, IDC_SENSITIVITY),
        (std::vector<std::wstring>{L"0 dBu", L"-10 dBu", L"-20 dBu", L"-30 dBu", L"-37 dBu"}));
    EXPECT_EQ(list_items(window_, IDC_GATE), (std::vector<std::wstring>{L"Disabled", L"Enabled"}));

    // Unmanaged only, with its id, and nothing to choose.
    EXPECT_EQ(list_items(window_, IDC_DOMAIN), std::vector<std::wstring>{L"<unmanaged>"});
    EXPECT_EQ(list_selection(window_, IDC_DOMAIN), 0);
    EXPECT_EQ(list_item_data(window_, IDC_DOMAIN, 0), 0xFFFF);
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));
    // No connection manager: no network list.
    EXPECT_FALSE(enabled(window_, IDC_NETWORK));
    EXPECT_EQ(list_count(window_, IDC_NETWORK), 0);

    // Discover and the login dialog are offered.
    EXPECT_TRUE(visible(window_, IDC_DISCOVER));
    EXPECT_TRUE(enabled(window_, IDC_DISCOVER));
    EXPECT_TRUE(visible(window_, IDC_LOGIN));
    EXPECT_TRUE(enabled(window_, IDC_LOGIN));

    save_screenshot(window_, "main_window_idle.png");
}

TEST_F(MainWindowTest, ApplicationVersionDecidesWhetherConnectIsOffered) {
    struct Case {
        LPARAM version;
        const wchar_t* shown;
        bool connect;
    };
    const Case cases[] = {
        {0x00010003, L"1.3", true}, {0x000C0022, L"12.34", true},
        {0, L"Not found", false},  // 0.0 counts as not found
        {-1, L"Not found", false},  {0x00020000, L"2.0", true},
    };
    for (const Case& c : cases) {
        SetDlgItemTextW(window_, IDC_CONNECT, L"other");
        post(WM_APP_APPLICATION_VERSION, 0, c.version);
        EXPECT_EQ(text_of(window_, IDC_APP_VERSION), c.shown) << c.version;
        EXPECT_EQ(enabled(window_, IDC_CONNECT), c.connect) << c.version;
        EXPECT_EQ(text_of(window_, IDC_CONNECT), L"Connect");
    }
}

TEST_F(MainWindowTest, ReportsSelectTheirEntryAndEnableTheirList) {
    struct Case {
        WPARAM id;
        LPARAM value;
        int list;
        int label;
        const wchar_t* shown;  // empty: no entry selected
    };
    const Case cases[] = {
        {6, 2, IDC_SENSITIVITY, IDC_SENSITIVITY_LABEL, L"-20 dBu"},
        {5, 3, IDC_MODE, IDC_MODE_LABEL, L"Mic/Line Split (Mono link)"},
        {7, 0, IDC_GATE, IDC_GATE_LABEL, L"Disabled"},
        {1, -12, IDC_MIC_LF, IDC_MIC_LF_LABEL, L"-12 dB"},
        {2, 12, IDC_MIC_HF, IDC_MIC_HF_LABEL, L"+12 dB"},
        {3, -3, IDC_LINE_LF, IDC_LINE_LF_LABEL, L"-3 dB"},
        {4, 13, IDC_LINE_HF, IDC_LINE_HF_LABEL, L""},  // outside the list: enabled, nothing shown
    };
    for (const Case& c : cases) {
        post(WM_APP_PARAM_REPORT, c.id, c.value);
        EXPECT_EQ(list_selected_text(window_, c.list), c.shown) << c.id;
        EXPECT_TRUE(enabled(window_, c.list)) << c.id;
        EXPECT_TRUE(enabled(window_, c.label)) << c.id;
    }
    // Lists that no report named stay as they were.
    post(WM_APP_DISCONNECTED, 0, 0);
    post(WM_APP_PARAM_REPORT, 6, 0);
    EXPECT_FALSE(enabled(window_, IDC_MODE));

    // An id without a list changes nothing.
    post(WM_APP_DISCONNECTED, 0, 0);
    post(WM_APP_PARAM_REPORT, 9, 1);
    post(WM_APP_PARAM_REPORT, 0, 1);
    expect_idle_without_unit();
}

TEST_F(MainWindowTest, DomainListFollowsTheDomainHandler) {
    post(WM_APP_DOMAINS_CLEAR, 0, 0);
    EXPECT_EQ(list_count(window_, IDC_DOMAIN), 0);
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));

    post(WM_APP_DOMAIN_ADD, 0xFFFF, heap_text(L"<unmanaged>"));
    post(WM_APP_DOMAIN_ADD_CURRENT, 7, heap_text(L"Studio A"));
    post(WM_APP_DOMAIN_ADD, 9, heap_text(L"Front of House"));
    EXPECT_EQ(list_items(window_, IDC_DOMAIN),
              (std::vector<std::wstring>{L"<unmanaged>", L"Studio A", L"Front of House"}));
    EXPECT_EQ(list_item_data(window_, IDC_DOMAIN, 1), 7);
    EXPECT_EQ(list_item_data(window_, IDC_DOMAIN, 2), 9);
    EXPECT_EQ(list_selected_text(window_, IDC_DOMAIN), L"Studio A");
    EXPECT_TRUE(enabled(window_, IDC_DOMAIN));

    // Disabling and enabling the connection rows keeps a real choice open.
    post(WM_APP_QUERY_DONE, 0, 0);
    EXPECT_TRUE(enabled(window_, IDC_DOMAIN));

    post(WM_APP_DM_LOGGED_OUT, 0, 0);
    EXPECT_EQ(list_items(window_, IDC_DOMAIN), std::vector<std::wstring>{L"<unmanaged>"});
    EXPECT_EQ(list_item_data(window_, IDC_DOMAIN, 0), 0xFFFF);
    EXPECT_EQ(list_selection(window_, IDC_DOMAIN), 0);
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));

    // With the single entry, enabling the connection rows leaves it disabled.
    post(WM_APP_QUERY_DONE, 0, 0);
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));

    // A list that arrives while the rows wait (a unit being checked) is
    // shown but offered only once the rows are enabled again.
    type_text(window_, IDC_DEVICE_NAME, L"TPX2-Stage");
    ASSERT_FALSE(enabled(window_, IDC_DOMAIN_LABEL));
    post(WM_APP_DOMAINS_CLEAR, 0, 0);
    post(WM_APP_DOMAIN_ADD, 0xFFFF, heap_text(L"<unmanaged>"));
    post(WM_APP_DOMAIN_ADD_CURRENT, 7, heap_text(L"Studio A"));
    EXPECT_EQ(list_selected_text(window_, IDC_DOMAIN), L"Studio A");
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));
    post(WM_APP_QUERY_DONE, 0, 0);
    EXPECT_TRUE(enabled(window_, IDC_DOMAIN));
}

TEST_F(MainWindowTest, NetworkListShowsTheInterfaceInUseWhicheverArrivesFirst) {
    auto names = [](std::vector<std::wstring> list) {
        return reinterpret_cast<LPARAM>(new std::vector<std::wstring>(std::move(list)));
    };
    auto name = [](const wchar_t* text) {
        return reinterpret_cast<LPARAM>(new std::wstring(text));
    };

    // The state first, then the options it refers to.
    post(WM_APP_NETWORK_SELECT, 0, name(L"Ethernet 2"));
    post(WM_APP_NETWORK_LIST, 0, names({L"Ethernet 2", L"Wi-Fi"}));
    EXPECT_EQ(list_count(window_, IDC_NETWORK), 3);
    EXPECT_EQ(list_selected_text(window_, IDC_NETWORK), L"Ethernet 2");
    EXPECT_TRUE(enabled(window_, IDC_NETWORK));

    // An interface without a name is another "None"; an empty state picks "None".
    post(WM_APP_NETWORK_LIST, 0, names({L"Wi-Fi", L""}));
    EXPECT_EQ(list_items(window_, IDC_NETWORK),
              (std::vector<std::wstring>{L"None", L"None", L"Wi-Fi"}));
    post(WM_APP_NETWORK_SELECT, 0, name(L""));
    EXPECT_EQ(list_selection(window_, IDC_NETWORK), 0);

    // An interface that is not offered changes nothing.
    post(WM_APP_NETWORK_SELECT, 0, name(L"Wi-Fi"));
    post(WM_APP_NETWORK_SELECT, 0, name(L"Bluetooth"));
    EXPECT_EQ(list_selected_text(window_, IDC_NETWORK), L"Wi-Fi");

    // No interface offered: "None" alone, disabled.
    post(WM_APP_NETWORK_LIST, 0, names({}));
    EXPECT_EQ(list_items(window_, IDC_NETWORK), std::vector<std::wstring>{L"None"});
    EXPECT_FALSE(enabled(window_, IDC_NETWORK));
}

TEST_F(MainWindowTest, TypingANameQueriesTheUnitAndDeletingItQueriesNothing) {
    start_device_info_worker();
    type_text(window_, IDC_DEVICE_NAME, L"T");
    // While the query runs: the version field says so and the rows above
    // and Discover wait.
    EXPECT_EQ(text_of(window_, IDC_APP_VERSION), L"Searching...");
    EXPECT_FALSE(enabled(window_, IDC_NETWORK));
    EXPECT_FALSE(enabled(window_, IDC_NETWORK_LABEL));
    EXPECT_FALSE(enabled(window_, IDC_CONNECT));
    // Without the AVN platform the service is named, not the unit.
    ASSERT_TRUE(pump_until([&] { return text_of(window_, IDC_APP_VERSION) == L"AVN service not running"; }));
    ASSERT_TRUE(pump_until([&] { return enabled(window_, IDC_NETWORK_LABEL); }));
    EXPECT_FALSE(enabled(window_, IDC_CONNECT));

    // Deleting the name disables Connect and asks nothing.
    post(WM_APP_APPLICATION_VERSION, 0, 0x00010003);
    ASSERT_TRUE(enabled(window_, IDC_CONNECT));
    type_text(window_, IDC_DEVICE_NAME, L"");
    EXPECT_FALSE(enabled(window_, IDC_CONNECT));
    EXPECT_EQ(text_of(window_, IDC_APP_VERSION), L"1.3");
    EXPECT_TRUE(enabled(window_, IDC_NETWORK_LABEL));
}

TEST_F(MainWindowTest, FailedConnectionReturnsToIdleWithoutABox) {
    MessageBoxRecorder boxes;
    type_text(window_, IDC_DEVICE_NAME, L"TPX2-Nowhere");
    post(WM_APP_APPLICATION_VERSION, 0, 0x00010003);
    post(WM_APP_QUERY_DONE, 0, 0);
    ASSERT_TRUE(enabled(window_, IDC_CONNECT));

    click(window_, IDC_CONNECT);
    // Connecting: everything above the parameters waits, About included.
    EXPECT_FALSE(enabled(window_, IDC_CONNECT));
    EXPECT_FALSE(enabled(window_, IDC_DEVICE_NAME));
    EXPECT_FALSE(menu_item_enabled(window_, IDM_ABOUT));

    ASSERT_TRUE(pump_until([&] { return enabled(window_, IDC_CONNECT); }));
    expect_idle_without_unit();
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(MainWindowTest, ConnectedAndDisconnectedSwapTheButtons) {
    post(WM_APP_CONNECTED, 0, 0);
    EXPECT_FALSE(visible(window_, IDC_CONNECT));
    EXPECT_TRUE(visible(window_, IDC_DISCONNECT));
    EXPECT_TRUE(enabled(window_, IDC_DISCONNECT));
    post(WM_APP_PARAM_REPORT, 5, 4);

    post(WM_APP_DISCONNECTED, 0, 0);
    expect_idle_without_unit();
    EXPECT_TRUE(enabled(window_, IDC_CONNECT));
}

// The box blames the unit only when the link was there; a lost link names
// what went: the AVN service, or the Domain Manager.
TEST_F(MainWindowTest, SendFailureTellsTheUserAndReturnsToIdle) {
    struct Case {
        WPARAM id;
        LPARAM cause;
        const wchar_t* text;
    };
    const Case cases[] = {
        {6, 2, L"Unable to send to device. Disconnecting..."},
        {0, 0, L"Unable to send to device. Disconnecting..."},
        {0, static_cast<LPARAM>(kLinkServiceDown), L"The AVN service stopped. Disconnecting..."},
        {0, static_cast<LPARAM>(kLinkDomainLost),
         L"The connection to the Domain Manager was lost. Disconnecting..."},
    };
    for (const Case& c : cases) {
        MessageBoxRecorder boxes;
        post(WM_APP_CONNECTED, 0, 0);
        post(WM_APP_PARAM_REPORT, 6, 1);
        post(WM_APP_SEND_FAILED, c.id, c.cause);
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].text, c.text);
        EXPECT_EQ(boxes.boxes()[0].title, L"Communications Error");
        EXPECT_EQ(boxes.boxes()[0].style & (MB_ICONMASK | MB_TYPEMASK), UINT(MB_ICONERROR | MB_OK));
        expect_idle_without_unit();
        EXPECT_TRUE(enabled(window_, IDC_CONNECT));
    }
}

TEST_F(MainWindowTest, CloseAsksFirstAndNoKeepsEverythingRunning) {
    MessageBoxRecorder boxes(IDNO);
    struct Way {
        const char* name;
        UINT message;
        WPARAM wparam;
    };
    const Way ways[] = {
        {"close box", WM_CLOSE, 0},
        {"Escape", WM_COMMAND, IDCANCEL},
        {"File, Exit", WM_COMMAND, IDM_EXIT},
    };
    for (const Way& way : ways) {
        SendMessageW(window_, way.message, way.wparam, 0);
        ASSERT_TRUE(IsWindow(window_)) << way.name;
    }
    ASSERT_EQ(boxes.boxes().size(), 3u);
    for (const ShownBox& box : boxes.boxes()) {
        EXPECT_EQ(box.text, L"Close the application ?");
        EXPECT_EQ(box.title, L"Close");
        EXPECT_EQ(box.style & (MB_ICONMASK | MB_TYPEMASK), UINT(MB_ICONQUESTION | MB_YESNO));
    }
    EXPECT_EQ(main_window(), window_);

    boxes.set_answer(IDYES);
    SendMessageW(window_, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(main_window(), nullptr);
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

// The frames the tray thread showed, in order.
std::mutex g_frames_mutex;
std::vector<int> g_frames;

std::vector<int> frames_shown() {
    std::lock_guard lock(g_frames_mutex);
    return g_frames;
}

TEST_F(MainWindowTest, TrayIconAnimatesOnlyWhileAsked) {
    g_frames.clear();
    set_tray_frame_observer([](int frame) {
        std::lock_guard lock(g_frames_mutex);
        g_frames.push_back(frame);
    });
    start_tray_icon(GetModuleHandleW(nullptr), window_);
    // At rest it shows the first frame once.
    ASSERT_TRUE(pump_until([] { return frames_shown().size() >= 1; }, 2000));

    set_tray_animation(true);
    pump_until([] { return frames_shown().size() >= 7; }, 3000);
    set_tray_animation(false);
    pump_for(600);
    stop_tray_icon();
    set_tray_frame_observer(nullptr);

    // 1 at rest, then 1, 2, 3, 4, 1, ... and 1 again once stopped.
    const std::vector<int> frames = frames_shown();
    ASSERT_GE(frames.size(), 8u);
    EXPECT_EQ(frames.front(), 1);
    for (size_t i = 1; i + 1 < frames.size(); ++i) {
        EXPECT_EQ(frames[i], static_cast<int>((i - 1) % 4) + 1) << i;
    }
    EXPECT_EQ(frames.back(), 1);
}

TEST_F(MainWindowTest, AboutDialogCentresItsBoldTitle) {
    HWND about = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUT), window_,
                                    about_dialog_proc, 0);
    ASSERT_NE(about, nullptr);
    ShowWindow(about, SW_SHOWNORMAL);
    pump_for(50);

    wchar_t caption[64];
    GetWindowTextW(about, caption, 64);
    EXPECT_STREQ(caption, L"About TPX-2 Config Tool");
    HWND title = GetDlgItem(about, IDC_ABOUT_TITLE);
    EXPECT_EQ(text_of(about, IDC_ABOUT_TITLE), L"Norvane TPX-2 Config Utility");

    HFONT font = reinterpret_cast<HFONT>(SendMessageW(title, WM_GETFONT, 0, 0));
    LOGFONTW logfont{};
    ASSERT_EQ(GetObjectW(font, sizeof logfont, &logfont), int(sizeof logfont));
    EXPECT_EQ(logfont.lfWeight, FW_BOLD);
    EXPECT_STREQ(logfont.lfFaceName, L"Arial");
    HDC dc = GetDC(about);
    EXPECT_EQ(logfont.lfHeight, -MulDiv(14, GetDeviceCaps(dc, LOGPIXELSY), 72));
    ReleaseDC(about, dc);

    // Fitted to its text and centred across the dialog window (whose frame
    // makes it sit off the client area's centre by the frame's width).
    RECT dialog_rect;
    RECT client_rect;
    RECT title_rect;
    GetWindowRect(about, &dialog_rect);
    GetClientRect(about, &client_rect);
    GetWindowRect(title, &title_rect);
    MapWindowPoints(nullptr, about, reinterpret_cast<POINT*>(&title_rect), 2);
    const int dialog_width = dialog_rect.right - dialog_rect.left;
    const int title_width = title_rect.right - title_rect.left;
    EXPECT_EQ(title_rect.left, (dialog_width - title_width + 1) / 2);
    const int frame = (dialog_width - client_rect.right) / 2;
    EXPECT_LE(std::abs((title_rect.left + title_width / 2) - client_rect.right / 2), frame + 1);
    EXPECT_GT(title_width, 100);

    save_screenshot(about, "about_dialog.png");

    // OK ends the dialog.
    SendMessageW(about, WM_COMMAND, IDOK, 0);
    DestroyWindow(about);
}

}  // namespace
