// The main window against avn-sim, in-process on loopback: the connection
// manager with two networks, the conmon server with simulated TPX-2 units
// and a device of another maker. Driven as a user would: type a name,
// connect, pick entries, pick a network, close.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/main_application.h"
#include "app/main_window.h"
#include "app/resource_ids.h"
#include "device/device_info_worker.h"
#include "device/parameter_thread.h"
#include "sim/sim_network.h"
#include "tests/app/gui_test_support.h"

using namespace gui_test;

namespace {

// A name typed, a connection made: generous limits for a loaded machine.
constexpr uint32_t kQueryLimitMs = 20000;
constexpr uint32_t kConnectLimitMs = 15000;

sim::SimOptions network_options() {
    sim::SimOptions options = loopback_sim_options();
    sim::Tpx2UnitSettings stage;
    stage.name = "TPX2-Stage";
    sim::Tpx2UnitSettings booth;
    booth.name = "TPX2-Booth";
    booth.application_version = 0x00010004;
    booth.parameters = {3, -2, 0, -12, 2, 2, 0};  // MicLf ... MicGate
    options.units = {stage, booth};
    options.devices = {{"Desk-Console", "Acme", 4}};
    options.cmm.apply_delay = std::chrono::milliseconds(100);
    options.cmm.networks = {{u"Ethernet", {2, 0x53, 0x49, 0x4d, 0, 1}},
                            {u"Ethernet 2", {2, 0x53, 0x49, 0x4d, 0, 2}}};
    return options;
}

// The simulated services, shared by the tests of a suite.
class SimServices : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        network_ = new sim::SimNetwork(network_options());
        started_ = network_->start();
    }

    static void TearDownTestSuite() {
        network_->stop();
        delete network_;
        network_ = nullptr;
    }

    static avn_api_options services() {
        avn_api_options options;
        options.cmm_port = network_->cmm_port();
        options.conmon_port = network_->conmon_port();
        return options;
    }

    static std::optional<int32_t> unit_value(const char* unit, ParameterId id) {
        const auto values = network_->conmon().unit_parameters(unit);
        if (!values) {
            return std::nullopt;
        }
        return (*values)[static_cast<size_t>(id) - 1];
    }

    // The first interface of the configuration in force ("" for none).
    static std::wstring current_network() {
        const cmm_state state = network_->cmm().state();
        if (state.status != CMM_STATUS_READY || state.current_config.count == 0) {
            return L"?";
        }
        const char16_t* name = state.current_config.interfaces[0].name;
        return std::wstring(name, name + std::char_traits<char16_t>::length(name));
    }

    static sim::SimNetwork* network_;
    static aud_error started_;
};

sim::SimNetwork* SimServices::network_ = nullptr;
aud_error SimServices::started_ = AUD_ERR_NOTINITIALISED;

class MainWindowSimTest : public SimServices {
  protected:
    void SetUp() override {
        ASSERT_EQ(started_, AUD_SUCCESS);
        window_ = open_main_window(*network_);
        ASSERT_NE(window_, nullptr);
        ASSERT_EQ(main_window_avn_start_result(), AUD_SUCCESS);
    }

    void TearDown() override {
        shut_down_main_window(window_);
        network_->conmon().set_device_muted("TPX2-Stage", false);
        pump_for(20);
    }

    // Types the name and waits for the query's answer. A query already under
    // way for an earlier text still answers first, so the wait is for the
    // answer expected, with the rows above enabled again.
    void type_and_wait(const wchar_t* name, const wchar_t* expected) {
        type_text(window_, IDC_DEVICE_NAME, name);
        ASSERT_TRUE(pump_until(
            [&] {
                return text_of(window_, IDC_APP_VERSION) == expected &&
                       enabled(window_, IDC_NETWORK_LABEL);
            },
            kQueryLimitMs))
            << "shows " << narrow(text_of(window_, IDC_APP_VERSION));
    }

    void connect_to(const wchar_t* name, const wchar_t* version) {
        type_and_wait(name, version);
        ASSERT_TRUE(enabled(window_, IDC_CONNECT));
        click(window_, IDC_CONNECT);
        // Connected, and every list has its value from the unit.
        ASSERT_TRUE(pump_until(
            [&] {
                if (!visible(window_, IDC_DISCONNECT)) {
                    return false;
                }
                for (int list : {IDC_MIC_LF, IDC_MIC_HF, IDC_LINE_LF, IDC_LINE_HF, IDC_MODE,
                                 IDC_SENSITIVITY, IDC_GATE}) {
                    if (!enabled(window_, list)) {
                        return false;
                    }
                }
                return true;
            },
            kConnectLimitMs));
    }

    HWND window_ = nullptr;
};

TEST_F(MainWindowSimTest, NetworkListFollowsTheConnectionManager) {
    // Filled from the options, with the interface in force selected.
    ASSERT_TRUE(
        pump_until([&] { return list_selected_text(window_, IDC_NETWORK) == L"Ethernet"; }));
    EXPECT_EQ(list_items(window_, IDC_NETWORK),
              (std::vector<std::wstring>{L"Ethernet", L"Ethernet 2", L"None"}));
    EXPECT_TRUE(enabled(window_, IDC_NETWORK));
    EXPECT_EQ(list_items(window_, IDC_DOMAIN), std::vector<std::wstring>{L"<unmanaged>"});
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));

    // Choosing one sends the configuration; the list shows what the service
    // then reports.
    const int ethernet_2 = 1;
    pick(window_, IDC_NETWORK, ethernet_2);
    ASSERT_TRUE(pump_until([&] { return current_network() == L"Ethernet 2"; }));
    EXPECT_TRUE(
        pump_until([&] { return list_selected_text(window_, IDC_NETWORK) == L"Ethernet 2"; }));

    pick(window_, IDC_NETWORK, 0);
    ASSERT_TRUE(pump_until([&] { return current_network() == L"Ethernet"; }));
    EXPECT_TRUE(
        pump_until([&] { return list_selected_text(window_, IDC_NETWORK) == L"Ethernet"; }));
}

TEST_F(MainWindowSimTest, TypedNamesShowTheirVersionOrNotFound) {
    struct Case {
        const wchar_t* name;
        const wchar_t* shown;
        bool connect;
    };
    const Case cases[] = {
        {L"TPX2-Booth", L"1.4", true},
        {L"TPX2-Nowhere", L"Not found", false},
        {L"Desk-Console", L"Not found", false},  // another maker's device
        {L"TPX2-Stage", L"1.3", true},
    };
    for (const Case& c : cases) {
        type_and_wait(c.name, c.shown);
        EXPECT_EQ(enabled(window_, IDC_CONNECT), c.connect) << c.shown;
        EXPECT_TRUE(enabled(window_, IDC_NETWORK));
    }
}

TEST_F(MainWindowSimTest, ConnectShowsTheUnitsValuesAndPicksChangeTheUnit) {
    connect_to(L"TPX2-Booth", L"1.4");
    EXPECT_FALSE(visible(window_, IDC_CONNECT));
    EXPECT_TRUE(enabled(window_, IDC_DISCONNECT));
    EXPECT_FALSE(enabled(window_, IDC_DEVICE_NAME));
    EXPECT_FALSE(menu_item_enabled(window_, IDM_ABOUT));
    EXPECT_EQ(list_selected_text(window_, IDC_MIC_LF), L"+3 dB");
    EXPECT_EQ(list_selected_text(window_, IDC_MIC_HF), L"-2 dB");
    EXPECT_EQ(list_selected_text(window_, IDC_LINE_LF), L" 0 dB");
    EXPECT_EQ(list_selected_text(window_, IDC_LINE_HF), L"-12 dB");
    EXPECT_EQ(list_selected_text(window_, IDC_MODE), L"Mic/Line Mix (Stereo link, Stereo Out)");
    EXPECT_EQ(list_selected_text(window_, IDC_SENSITIVITY), L"-20 dBu");
    EXPECT_EQ(list_selected_text(window_, IDC_GATE), L"Disabled");
    save_screenshot(window_, "main_window_connected.png");

    // Each pick reaches the unit as its value.
    struct Pick {
        int list;
        int index;
        ParameterId id;
        int32_t value;
    };
    const Pick picks[] = {
        {IDC_SENSITIVITY, 1, ParameterId::MicSensitivity, 1},
        {IDC_MIC_LF, 0, ParameterId::MicLf, 12},
        {IDC_LINE_HF, 15, ParameterId::LineHf, -3},
        {IDC_MODE, 4, ParameterId::Mode, 4},
        {IDC_GATE, 1, ParameterId::MicGate, 1},
    };
    for (const Pick& p : picks) {
        pick(window_, p.list, p.index);
        EXPECT_TRUE(pump_until([&] { return unit_value("TPX2-Booth", p.id) == p.value; }))
            << "list " << p.list;
    }

    // A change made at the unit itself shows.
    network_->conmon().change_unit_parameter("TPX2-Booth", ParameterId::MicHf, 5);
    EXPECT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_MIC_HF) == L"+5 dB"; }));

    click(window_, IDC_DISCONNECT);
    EXPECT_TRUE(visible(window_, IDC_CONNECT));
    EXPECT_FALSE(visible(window_, IDC_DISCONNECT));
    EXPECT_TRUE(enabled(window_, IDC_CONNECT));
    EXPECT_FALSE(enabled(window_, IDC_MODE));
    EXPECT_EQ(list_selected_text(window_, IDC_MODE), L"Mic/Line Mix (Mono link)");
    EXPECT_EQ(list_selected_text(window_, IDC_MIC_LF), L" 0 dB");
    EXPECT_TRUE(enabled(window_, IDC_DEVICE_NAME));
    EXPECT_TRUE(menu_item_enabled(window_, IDM_ABOUT));
}

TEST_F(MainWindowSimTest, UnitThatStopsAnsweringEndsTheConnectionWithABox) {
    MessageBoxRecorder boxes;
    connect_to(L"TPX2-Stage", L"1.3");
    network_->conmon().set_device_muted("TPX2-Stage", true);
    pick(window_, IDC_SENSITIVITY, 0);
    ASSERT_TRUE(pump_until([&] { return !boxes.boxes().empty(); }, kConnectLimitMs));
    EXPECT_EQ(boxes.boxes()[0].text, L"Unable to send to device. Disconnecting...");
    EXPECT_EQ(boxes.boxes()[0].title, L"Communications Error");
    EXPECT_EQ(boxes.boxes()[0].style & MB_ICONMASK, UINT(MB_ICONERROR));
    // Back to idle, ready to connect again.
    EXPECT_TRUE(visible(window_, IDC_CONNECT));
    EXPECT_TRUE(enabled(window_, IDC_CONNECT));
    EXPECT_FALSE(enabled(window_, IDC_SENSITIVITY));
    EXPECT_EQ(list_selected_text(window_, IDC_SENSITIVITY), L"-37 dBu");
    EXPECT_TRUE(enabled(window_, IDC_DEVICE_NAME));
    // The unit kept its value: nothing reached it.
    EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::MicSensitivity), 4);
}

// A restart of the conmon server is a pause: the connection stays, no box
// is shown, and a change made at the unit afterwards shows.
TEST_F(MainWindowSimTest, AConnectedUnitKeepsReportingAfterAConmonServerRestart) {
    constexpr uint32_t kRestoreLimitMs = 30000;  // the client notices, then reconnects 5 s later
    MessageBoxRecorder boxes;
    connect_to(L"TPX2-Stage", L"1.3");
    network_->conmon().restart(std::chrono::milliseconds(3500));
    const bool resubscribed = pump_until(
        [&] { return network_->conmon().status_subscribed("TPX2-Stage"); },
        kRestoreLimitMs);
    ASSERT_TRUE(resubscribed);
    network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::LineLf, -6);
    EXPECT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_LINE_LF) == L"-6 dB"; }));
    EXPECT_TRUE(visible(window_, IDC_DISCONNECT));
    EXPECT_TRUE(boxes.boxes().empty());
    network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::LineLf, 0);
    click(window_, IDC_DISCONNECT);
}

// With the conmon server not answering, the version field blames the
// service, not the unit.
TEST_F(MainWindowSimTest, AConmonServerThatDoesNotAnswerIsNamedInTheVersionField) {
    network_->conmon().set_silent(true);
    type_and_wait(L"TPX2-Stage", L"AVN service not running");
    EXPECT_FALSE(enabled(window_, IDC_CONNECT));
    network_->conmon().set_silent(false);
}

// The whole program: started from its entry procedure, connected to a unit,
// closed with the connection open. It asks first, then ends cleanly, the
// parameter thread before the AVN API.
class ApplicationSimTest : public SimServices {};

// What a user does from another thread while the program runs its loop:
// every wait bounded, and the window always closed in the end.
void use_the_program(std::atomic<bool>* connected) {
    join_program_desktop();
    HWND window = nullptr;
    const ULONGLONG deadline = GetTickCount64() + kConnectLimitMs;
    auto wait_for = [&](auto condition) {
        while (!condition()) {
            if (GetTickCount64() >= deadline) {
                return false;
            }
            Sleep(20);
        }
        return true;
    };
    if (!wait_for([&] {
            window = main_window();
            return window != nullptr && IsWindowVisible(window);
        })) {
        // The program ends by itself when its start fails; a window that
        // never showed is closed all the same.
        if (HWND hidden = main_window()) {
            PostMessageW(hidden, WM_CLOSE, 0, 0);
        }
        return;
    }
    type_text(window, IDC_DEVICE_NAME, L"TPX2-Stage");
    if (wait_for([&] { return enabled(window, IDC_CONNECT); })) {
        click(window, IDC_CONNECT);
        *connected = wait_for([&] { return visible(window, IDC_DISCONNECT); });
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
}

TEST_F(ApplicationSimTest, ClosingWhileConnectedAsksThenEndsCleanly) {
    ASSERT_EQ(started_, AUD_SUCCESS);
    MessageBoxRecorder boxes(IDYES);
    std::atomic<bool> connected{false};
    std::thread user(use_the_program, &connected);
    const avn_api_options options = services();
    const int exit_code = run_application(GetModuleHandleW(nullptr), &options);
    user.join();

    EXPECT_TRUE(connected);
    EXPECT_EQ(exit_code, 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, L"Close the application ?");
    EXPECT_EQ(main_window(), nullptr);
    // Everything the program started has ended: the API can start afresh.
    EXPECT_EQ(start_avn_api(&options), AUD_SUCCESS);
    stop_avn_api();
}

}  // namespace
