// The Discover dialog against avn-sim with its DNS-SD responder, in a
// private network namespace (multicast on loopback only): the TPX-2 units
// advertised on the chosen network are listed, each once; a selected unit's
// versions show; OK hands its name to the main window; Cancel during the
// search ends it at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/discover_dialog.h"
#include "app/main_window.h"
#include "app/resource_ids.h"
#include "device/device_info_worker.h"
#include "sim/sim_network.h"
#include "tests/app/gui_test_support.h"

using namespace gui_test;

namespace {

constexpr uint32_t kSearchLimitMs = 8000;  // the search runs 5 s
constexpr uint32_t kQueryLimitMs = 15000;

sim::SimOptions network_options() {
    sim::SimOptions options = loopback_sim_options();
    offer_loopback_network(&options);
    sim::Tpx2UnitSettings stage;
    stage.name = "TPX2-Stage";
    sim::Tpx2UnitSettings booth;
    booth.name = "TPX2-Booth";
    booth.bootloader_version = 0x0301;
    booth.application_version = 0x00010004;
    options.units = {stage, booth};
    // Not TPX-2 units: another maker's device, and the maker's model 7.
    options.devices = {{"Desk-Console", "Acme", 4}, {"Vornix-Other", "Vornix", 7}};
    return options;
}

class DiscoverDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        network_ = std::make_unique<sim::SimNetwork>(network_options());
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
        window_ = open_main_window(*network_);
        ASSERT_NE(window_, nullptr);
        ASSERT_EQ(main_window_avn_start_result(), AUD_SUCCESS);
        ASSERT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_NETWORK) == L"lo"; }));
    }

    void TearDown() override {
        if (IsWindow(dialog_)) {
            DestroyWindow(dialog_);
        }
        stop_device_info_worker();
        if (IsWindow(window_)) {
            DestroyWindow(window_);
        }
        stop_avn_api();
        network_->stop();
        pump_for(20);
    }

    HWND open_dialog() {
        dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_DISCOVER), window_,
                                     discover_dialog_proc, 1);
        ShowWindow(dialog_, SW_SHOWNORMAL);
        return dialog_;
    }

    std::vector<std::wstring> units() {
        std::vector<std::wstring> names;
        HWND list = GetDlgItem(dialog_, IDC_UNIT_LIST);
        const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            const LRESULT data = SendMessageW(list, LB_GETITEMDATA, static_cast<WPARAM>(i), 0);
            // The record starts with five reserved words, then the name.
            names.emplace_back(reinterpret_cast<const wchar_t*>(data + 5 * sizeof(uint32_t)));
        }
        return names;
    }

    void select(int index) {
        SendDlgItemMessageW(dialog_, IDC_UNIT_LIST, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_UNIT_LIST, LBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_UNIT_LIST)));
    }

    int index_of(const std::wstring& name) {
        const auto all = units();
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i] == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    std::unique_ptr<sim::SimNetwork> network_;
    HWND window_ = nullptr;
    HWND dialog_ = nullptr;
};

TEST_F(DiscoverDialogTest, ListsTheUnitsShowsVersionsAndHandsTheNameOver) {
    open_dialog();
    EXPECT_FALSE(enabled(dialog_, IDOK));
    EXPECT_FALSE(enabled(dialog_, IDC_BOOTLOADER_VERSION_LABEL));
    ASSERT_TRUE(pump_until([&] { return units().size() >= 2; }, kSearchLimitMs));
    // The search runs its course: nothing else of the maker's is a TPX-2.
    pump_for(5500);
    std::vector<std::wstring> names = units();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"TPX2-Booth", L"TPX2-Stage"}));
    save_screenshot(dialog_, "discover_dialog_units.png");

    select(index_of(L"TPX2-Booth"));
    EXPECT_TRUE(enabled(dialog_, IDOK));
    EXPECT_TRUE(enabled(dialog_, IDC_APP_VERSION_LABEL));
    ASSERT_TRUE(pump_until(
        [&] { return text_of(dialog_, IDC_BOOTLOADER_VERSION) == L"3.1" && text_of(dialog_, IDC_APP_VERSION) == L"1.4"; },
        kQueryLimitMs))
        << "shows " << text_of(dialog_, IDC_BOOTLOADER_VERSION).size();
    save_screenshot(dialog_, "discover_dialog_selected.png");

    click(dialog_, IDOK);
    EXPECT_EQ(text_of(window_, IDC_DEVICE_NAME), L"TPX2-Booth");
    // The main window checks the name as if it had been typed.
    EXPECT_TRUE(pump_until([&] { return text_of(window_, IDC_APP_VERSION) == L"1.4"; }, kQueryLimitMs));
}

// Cancel while the search runs ends it at once, and a second search finds
// the units again from nothing.
TEST_F(DiscoverDialogTest, CancelEndsTheSearchAndASecondSearchStartsAfresh) {
    open_dialog();
    ASSERT_TRUE(pump_until([&] { return !units().empty(); }, kSearchLimitMs));
    const ULONGLONG start = GetTickCount64();
    click(dialog_, IDCANCEL);
    DestroyWindow(dialog_);
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_EQ(text_of(window_, IDC_DEVICE_NAME), L"");

    open_dialog();
    EXPECT_TRUE(units().empty());
    EXPECT_TRUE(pump_until([&] { return units().size() == 2; }, kSearchLimitMs));
}

// OK without a selection leaves the main window's field alone.
TEST_F(DiscoverDialogTest, OkWithoutASelectionChangesNothing) {
    open_dialog();
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_EQ(text_of(window_, IDC_DEVICE_NAME), L"");
}

}  // namespace
