// The login dialog and the main window's domain list against avn-sim's
// Domain Manager, in-process on loopback. The dialog opens in Auto Discovery
// and then sends multicast queries, so this program runs in a private
// network namespace (label netns), where avn-sim's responder advertises the
// Domain Manager on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/dm_connect.h"
#include "app/login_dialog.h"
#include "app/main_window.h"
#include "app/mdns_query.h"
#include "app/mdns_standin.h"
#include "app/resource_ids.h"
#include "avn/api/avn_access.h"
#include "device/app_messages.h"
#include "device/device_info_worker.h"
#include "device/parameter_thread.h"
#include "device/parameters.h"
#include "sim/dm/dm_connection_service.h"
#include "sim/dm/dm_relay.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"
#include "tests/app/gui_test_support.h"

using namespace gui_test;

namespace {

constexpr uint32_t kFoundLimitMs = 15000;
constexpr uint32_t kEventLimitMs = 15000;
// Letters beyond ASCII: the Domain Manager takes the credentials as UTF-8,
// whatever the computer's code page.
constexpr const wchar_t* kUser = L"op\u00e9rateur";
constexpr const wchar_t* kPassword = L"s3cret-p\u00e4ss \u20ac";

sim::SimOptions network_options(sim::DmCertificate certificate) {
    sim::SimOptions options = loopback_sim_options();
    offer_loopback_network(&options);
    options.dm.enabled = true;
    options.dm.port = 0;
    options.dm.users = {sim::DmUser("op\xc3\xa9rateur", "s3cret-p\xc3\xa4ss \xe2\x82\xac")};
    options.dm.certificate = certificate;
    // One unit in a managed domain: reached through the Domain Manager once
    // that domain is chosen.
    options.units = sim::default_units();
    for (sim::Tpx2UnitSettings& unit : options.units) {
        if (unit.name == "TPX2-Stage") {
            unit.domain = "Studio A";
        }
    }
    return options;
}

class LoginDialogTest : public ::testing::Test {
  protected:
    void start(sim::DmCertificate certificate = sim::DmCertificate::Server) {
        network_ = std::make_unique<sim::SimNetwork>(network_options(certificate));
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
        ASSERT_NE(network_->dm(), nullptr);
        reset_login_settings();
        window_ = open_main_window(*network_);
        ASSERT_NE(window_, nullptr);
        ASSERT_EQ(main_window_avn_start_result(), AUD_SUCCESS);
    }

    void SetUp() override { start(); }

    void TearDown() override {
        close_dialog();
        shut_down_main_window(window_);
        if (network_) {
            network_->stop();
        }
        _putenv_s("TPX2_AVN_CLOUD", "");
        pump_for(20);
    }

    uint16_t dm_port() { return network_->dm()->port(); }

    HWND open_dialog() {
        close_dialog();
        dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_LOGIN), window_,
                                     login_dialog_proc, 1);
        ShowWindow(dialog_, SW_SHOWNORMAL);
        return dialog_;
    }

    void close_dialog() {
        if (IsWindow(dialog_)) {
            DestroyWindow(dialog_);
        }
        dialog_ = nullptr;
    }

    // As a click on a radio button: it becomes the checked one.
    void choose(int method) {
        CheckRadioButton(dialog_, IDC_METHOD_AUTO, IDC_METHOD_MANUAL, method);
        click(dialog_, method);
    }

    // Manual, to avn-sim's web port: the port field takes no typing, so the
    // test sets it as the program does.
    void fill_manual(const wchar_t* user, const wchar_t* password) {
        choose(IDC_METHOD_MANUAL);
        type_text(dialog_, IDC_DM_ADDRESS, L"127.0.0.1");
        type_text(dialog_, IDC_DM_PORT, std::to_wstring(dm_port()).c_str());
        type_text(dialog_, IDC_USER_NAME, user);
        type_text(dialog_, IDC_PASSWORD, password);
    }

    bool logged_in() { return check_domain_manager_connected() == AUD_SUCCESS; }

    // The main window's domain list once the Domain Manager's has arrived.
    bool domains_listed() { return list_count(window_, IDC_DOMAIN) == 3; }

    // Logs in by hand and waits for the domains in the main window.
    void log_in_by_hand() {
        open_dialog();
        fill_manual(kUser, kPassword);
        click(dialog_, IDOK);
        ASSERT_TRUE(logged_in());
        ASSERT_TRUE(pump_until([&] { return domains_listed(); }, kEventLimitMs));
    }

    // Picks a domain in the main window and waits until it is the current one.
    void choose_domain(int index, const wchar_t* name) {
        pick(window_, IDC_DOMAIN, index);
        ASSERT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_DOMAIN) == name; },
                               kEventLimitMs));
    }

    std::unique_ptr<sim::SimNetwork> network_;
    HWND window_ = nullptr;
    HWND dialog_ = nullptr;
};

TEST_F(LoginDialogTest, OpensInAutoDiscoveryAndFindsTheDomainManager) {
    open_dialog();
    EXPECT_EQ(IsDlgButtonChecked(dialog_, IDC_METHOD_AUTO), BST_CHECKED);
    EXPECT_EQ(text_of(dialog_, IDC_DM_PORT), L"8443");
    EXPECT_FALSE(enabled(dialog_, IDC_DM_PORT));
    EXPECT_FALSE(enabled(dialog_, IDC_DM_ADDRESS));
    EXPECT_FALSE(enabled(dialog_, IDOK));
    EXPECT_FALSE(enabled(dialog_, IDC_LOGOUT));

    // avn-sim's advert: its address (loopback here) and the web port.
    ASSERT_TRUE(pump_until([&] { return !text_of(dialog_, IDC_DM_ADDRESS).empty(); }, kFoundLimitMs));
    EXPECT_EQ(text_of(dialog_, IDC_DM_ADDRESS), L"127.0.0.1");
    EXPECT_EQ(text_of(dialog_, IDC_DM_PORT), std::to_wstring(dm_port()));
    EXPECT_FALSE(enabled(dialog_, IDOK)) << "no credentials yet";
    type_text(dialog_, IDC_USER_NAME, kUser);
    type_text(dialog_, IDC_PASSWORD, kPassword);
    EXPECT_TRUE(enabled(dialog_, IDOK));
    save_screenshot(dialog_, "login_dialog_discovered.png");

    MessageBoxRecorder boxes;
    click(dialog_, IDOK);
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(logged_in());
    EXPECT_FALSE(IsWindowVisible(dialog_)) << "closed with result 1";
    ASSERT_TRUE(pump_until([&] { return domains_listed(); }, kEventLimitMs));
    EXPECT_EQ(list_items(window_, IDC_DOMAIN),
              (std::vector<std::wstring>{L"<unmanaged>", L"Studio A", L"Studio B"}));
}

// The settings outlive the dialog: reopened, it shows the method, address,
// port, user name and the password (masked) that were used.
TEST_F(LoginDialogTest, ManualLoginKeepsItsSettingsForTheNextOpening) {
    open_dialog();
    fill_manual(kUser, kPassword);
    EXPECT_TRUE(enabled(dialog_, IDC_DM_ADDRESS));
    EXPECT_FALSE(enabled(dialog_, IDC_DM_PORT));
    click(dialog_, IDOK);
    ASSERT_TRUE(logged_in());
    EXPECT_EQ(login_method(), LoginMethod::Manual);

    open_dialog();
    EXPECT_EQ(IsDlgButtonChecked(dialog_, IDC_METHOD_MANUAL), BST_CHECKED);
    EXPECT_EQ(text_of(dialog_, IDC_DM_ADDRESS), L"127.0.0.1");
    EXPECT_EQ(text_of(dialog_, IDC_DM_PORT), std::to_wstring(dm_port()));
    EXPECT_EQ(text_of(dialog_, IDC_USER_NAME), kUser);
    EXPECT_EQ(text_of(dialog_, IDC_PASSWORD), kPassword);
    EXPECT_NE(GetWindowLongW(GetDlgItem(dialog_, IDC_PASSWORD), GWL_STYLE) & ES_PASSWORD, 0);
    EXPECT_TRUE(enabled(dialog_, IDC_LOGOUT)) << "logged in";
}

TEST_F(LoginDialogTest, CloudLoginGoesToTheBuiltInEndpoint) {
    const std::string endpoint = "127.0.0.1:" + std::to_string(dm_port());
    _putenv_s("TPX2_AVN_CLOUD", endpoint.c_str());
    open_dialog();
    choose(IDC_METHOD_CLOUD);
    EXPECT_EQ(text_of(dialog_, IDC_DM_ADDRESS), L"127.0.0.1");
    EXPECT_FALSE(enabled(dialog_, IDC_DM_ADDRESS));
    type_text(dialog_, IDC_USER_NAME, kUser);
    type_text(dialog_, IDC_PASSWORD, kPassword);
    click(dialog_, IDOK);
    EXPECT_TRUE(logged_in());
    EXPECT_EQ(login_method(), LoginMethod::Cloud);
}

// Each failure leaves the dialog open with Login enabled again, and says
// what went wrong under the one text the user always sees.
TEST_F(LoginDialogTest, FailedLoginsSayWhyAndLeaveTheDialogOpen) {
    struct Case {
        const char* what;
        const wchar_t* password;
        bool untrusted;
        uint16_t port;  // 0: avn-sim's
        const wchar_t* reason;
    };
    const Case cases[] = {
        {"wrong password", L"wrong", false, 0, L"The user name or password was not accepted."},
        {"untrusted server", kPassword, true, 0, L"The Domain Manager's certificate is not trusted."},
        {"nobody listening", kPassword, false, 1, L"No Domain Manager answered at this address."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        network_->dm()->set_certificate(test.untrusted ? sim::DmCertificate::Untrusted
                                                       : sim::DmCertificate::Server);
        open_dialog();
        fill_manual(kUser, test.password);
        if (test.port != 0) {
            type_text(dialog_, IDC_DM_PORT, std::to_wstring(test.port).c_str());
        }
        MessageBoxRecorder boxes;
        click(dialog_, IDOK);
        EXPECT_FALSE(logged_in());
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].title, L"Error");
        EXPECT_EQ(boxes.boxes()[0].style & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(boxes.boxes()[0].text,
                  std::wstring(L"Unable to connect to the Domain Manager.\n\n") + test.reason);
        EXPECT_TRUE(IsWindowVisible(dialog_));
        EXPECT_TRUE(enabled(dialog_, IDOK));
        EXPECT_FALSE(enabled(dialog_, IDC_LOGOUT));
    }
    network_->dm()->set_certificate(sim::DmCertificate::Server);
}

// Logged in: choosing a domain makes it current; Logout returns the main
// window to unmanaged.
TEST_F(LoginDialogTest, ChoosingADomainAndLoggingOut) {
    ASSERT_NO_FATAL_FAILURE(log_in_by_hand());
    EXPECT_TRUE(enabled(window_, IDC_DOMAIN));

    ASSERT_NO_FATAL_FAILURE(choose_domain(2, L"Studio B"));
    {
        AvnApiLock lock(5000);
        ASSERT_TRUE(lock);
        const avn_domain_info current =
            avn_domain_handler_get_current_domain(avnapi_get_domain_handler(avn_api_instance()));
        EXPECT_STREQ(current.name, "Studio B");
    }
    save_screenshot(window_, "main_window_managed_domain.png");

    open_dialog();
    ASSERT_TRUE(enabled(dialog_, IDC_LOGOUT));
    click(dialog_, IDC_LOGOUT);
    EXPECT_FALSE(logged_in());
    EXPECT_FALSE(IsWindowVisible(dialog_)) << "closed with result 3";
    ASSERT_TRUE(pump_until([&] { return list_count(window_, IDC_DOMAIN) == 1; }, kEventLimitMs));
    EXPECT_EQ(list_items(window_, IDC_DOMAIN), std::vector<std::wstring>{L"<unmanaged>"});
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));
}

// In a managed domain the window works as in an unmanaged network, through
// the Domain Manager: a unit of the domain shows its version, connects and
// takes a change; a unit outside it is not found; back in the unmanaged
// network the local conmon server finds that one again.
TEST_F(LoginDialogTest, UnitsOfTheChosenDomainWorkThroughTheDomainManager) {
    constexpr uint32_t kUnitLimitMs = 15000;
    ASSERT_NO_FATAL_FAILURE(log_in_by_hand());
    ASSERT_NO_FATAL_FAILURE(choose_domain(1, L"Studio A"));

    const auto version_shown = [&](const wchar_t* name, const wchar_t* expected) {
        type_text(window_, IDC_DEVICE_NAME, name);
        return pump_until([&] { return text_of(window_, IDC_APP_VERSION) == expected; }, kUnitLimitMs);
    };
    EXPECT_TRUE(version_shown(L"TPX2-Booth", L"Not found")) << narrow(text_of(window_, IDC_APP_VERSION));
    ASSERT_TRUE(version_shown(L"TPX2-Stage", L"1.3")) << narrow(text_of(window_, IDC_APP_VERSION));
    ASSERT_TRUE(pump_until([&] { return enabled(window_, IDC_CONNECT); }, kUnitLimitMs));
    click(window_, IDC_CONNECT);
    ASSERT_TRUE(pump_until([&] { return visible(window_, IDC_DISCONNECT) && enabled(window_, IDC_MODE); },
                           kUnitLimitMs));
    const size_t relayed_before = network_->dm_relay()->control_messages();
    pick(window_, IDC_MODE, 2);
    EXPECT_TRUE(pump_until(
        [&] {
            const auto values = network_->conmon().unit_parameters("TPX2-Stage");
            return values && (*values)[static_cast<size_t>(ParameterId::Mode) - 1] == 2;
        },
        kUnitLimitMs));
    EXPECT_GT(network_->dm_relay()->control_messages(), relayed_before);
    save_screenshot(window_, "main_window_domain_unit_connected.png");
    click(window_, IDC_DISCONNECT);

    pick(window_, IDC_DOMAIN, 0);  // the unmanaged network again
    ASSERT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_DOMAIN) != L"Studio A"; },
                           kEventLimitMs));
    EXPECT_TRUE(version_shown(L"TPX2-Booth", L"1.3")) << narrow(text_of(window_, IDC_APP_VERSION));
}

TEST_F(LoginDialogTest, ADomainManagerThatDisappearsIsReportedAndTheWindowReturnsToUnmanaged) {
    ASSERT_NO_FATAL_FAILURE(log_in_by_hand());

    MessageBoxRecorder boxes;
    network_->dm_service()->drop_connections();
    ASSERT_TRUE(pump_until([&] { return !boxes.boxes().empty(); }, kEventLimitMs));
    EXPECT_EQ(boxes.boxes()[0].text, L"The connection to the Domain Manager was lost.");
    EXPECT_TRUE(pump_until([&] { return list_count(window_, IDC_DOMAIN) == 1; }, kEventLimitMs));
    pump_for(500);  // the handler's own list follows the report
    EXPECT_EQ(list_items(window_, IDC_DOMAIN), std::vector<std::wstring>{L"<unmanaged>"});
    EXPECT_EQ(list_selected_text(window_, IDC_DOMAIN), L"<unmanaged>");
    EXPECT_FALSE(enabled(window_, IDC_DOMAIN));
    EXPECT_FALSE(logged_in());
}

// A unit connected through the Domain Manager loses its link with it: the
// utility disconnects the unit with its error box, naming the Domain
// Manager, rather than keeping a link that no report reaches.
TEST_F(LoginDialogTest, AConnectedUnitIsDisconnectedWithABoxWhenTheDomainManagerDrops) {
    constexpr uint32_t kUnitLimitMs = 15000;
    ASSERT_NO_FATAL_FAILURE(log_in_by_hand());
    ASSERT_NO_FATAL_FAILURE(choose_domain(1, L"Studio A"));
    type_text(window_, IDC_DEVICE_NAME, L"TPX2-Stage");
    ASSERT_TRUE(pump_until([&] { return enabled(window_, IDC_CONNECT); }, kUnitLimitMs));
    click(window_, IDC_CONNECT);
    ASSERT_TRUE(pump_until([&] { return visible(window_, IDC_DISCONNECT) && enabled(window_, IDC_MODE); },
                           kUnitLimitMs));

    MessageBoxRecorder boxes;
    network_->dm_service()->drop_connections();
    const auto box_shown = [&](const wchar_t* text) {
        for (const auto& box : boxes.boxes()) {
            if (box.text == text) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(pump_until(
        [&] { return box_shown(L"The connection to the Domain Manager was lost. Disconnecting..."); },
        kEventLimitMs));
    EXPECT_TRUE(pump_until([&] { return visible(window_, IDC_CONNECT) && !visible(window_, IDC_DISCONNECT); },
                           kEventLimitMs));
    EXPECT_FALSE(enabled(window_, IDC_MODE));
    EXPECT_FALSE(box_shown(L"Unable to send to device. Disconnecting..."));
}

// Closing the utility while logged in logs out: the Domain Manager sees its
// connection end.
TEST_F(LoginDialogTest, ClosingTheWindowLogsOut) {
    open_dialog();
    fill_manual(kUser, kPassword);
    click(dialog_, IDOK);
    ASSERT_TRUE(logged_in());
    close_dialog();
    DestroyWindow(window_);
    EXPECT_FALSE(logged_in());
    {
        AvnApiLock lock(5000);
        ASSERT_TRUE(lock);
        EXPECT_EQ(avn_domain_handler_get_internal_state(avnapi_get_domain_handler(avn_api_instance())),
                  AVN_DOMAIN_HANDLER_STATE_DISCOVERED);
    }
}

// Switching away from Auto Discovery stops the search: a Domain Manager it
// would have found is not shown in the Manual address field.
TEST_F(LoginDialogTest, SwitchingToManualStopsTheSearch) {
    open_dialog();
    choose(IDC_METHOD_MANUAL);
    EXPECT_TRUE(enabled(dialog_, IDC_DM_ADDRESS));
    EXPECT_EQ(text_of(dialog_, IDC_DM_PORT), L"8443");
    EXPECT_EQ(active_mdns_query_count(), 0u) << "a query of the search is still running";
    pump_for(3000);
    EXPECT_EQ(text_of(dialog_, IDC_DM_ADDRESS), L"");
    EXPECT_FALSE(enabled(dialog_, IDOK));
    EXPECT_EQ(active_mdns_query_count(), 0u);
}

// A server that takes the connection and never answers holds the window no
// longer than the connect procedure's bound, and leaves nothing behind: the
// next Login works.
TEST_F(LoginDialogTest, ASilentServerIsGivenUpAndTheNextLoginWorks) {
    network_->dm()->set_delay(std::chrono::milliseconds(600000));
    open_dialog();
    fill_manual(kUser, kPassword);
    {
        MessageBoxRecorder boxes;
        const DWORD started = GetTickCount();
        click(dialog_, IDOK);
        EXPECT_LE(GetTickCount() - started, kDmConnectLimitMs + 2000);
        EXPECT_FALSE(logged_in());
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_TRUE(enabled(dialog_, IDOK));
    }
    network_->dm()->set_delay(std::chrono::milliseconds(0));
    click(dialog_, IDOK);
    EXPECT_TRUE(logged_in());
}

}  // namespace

namespace {

// The system's multicast DNS query functions are used when dnsapi.dll has
// all three; otherwise the stand-in, never a mix of the two.
TEST(MulticastDnsFunctions, TheSystemsWhenComplete_ElseTheStandIn) {
    const MulticastDnsFunctions system = system_multicast_dns_functions();
    const bool complete = system.start != nullptr && system.stop != nullptr && system.free != nullptr;
    std::printf("dnsapi.dll: DnsStartMulticastQuery %s, DnsStopMulticastQuery %s, DnsFree %s\n",
                system.start != nullptr ? "present" : "missing",
                system.stop != nullptr ? "present" : "missing",
                system.free != nullptr ? "present" : "missing");
    const MulticastDnsFunctions& chosen = multicast_dns_functions();
    EXPECT_EQ(chosen.system, complete);
    if (!complete) {
        EXPECT_EQ(chosen.start, &standin_start_multicast_query);
        EXPECT_EQ(chosen.stop, &standin_stop_multicast_query);
        EXPECT_EQ(chosen.free, &standin_free_records);
    }
}

}  // namespace
