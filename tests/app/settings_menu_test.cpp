// File > Save Settings... and Load Settings... of the main window against
// avn-sim in-process, with the file dialog answered by the test: a unit's
// settings saved, changed at the unit, and loaded back; a bad file refused
// with nothing sent; and files passed between the utility and tpx2ctl.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "app/main_window.h"
#include "app/resource_ids.h"
#include "app/settings_menu.h"
#include "device/device_info_worker.h"
#include "device/parameter_thread.h"
#include "device/settings_file.h"
#include "sim/sim_network.h"
#include "tests/app/gui_test_support.h"

using namespace gui_test;

namespace {

constexpr uint32_t kQueryLimitMs = 20000;
constexpr uint32_t kConnectLimitMs = 15000;
constexpr uint32_t kLoadLimitMs = 15000;
constexpr DWORD kProgramLimitMs = 60000;

// The path the file dialog gives, set by each test.
std::wstring g_dialog_path;
int g_dialogs = 0;

bool answer_dialog(HWND, bool, const std::wstring&, std::wstring* path) {
    ++g_dialogs;
    *path = g_dialog_path;
    return !path->empty();
}

std::wstring windows_path(const char* path) {
    std::wstring out = L"Z:";
    for (const char* p = path; *p != '\0'; ++p) {
        out += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    return out;
}

// Takes the picture of the open menu from inside the menu's own loop.
void CALLBACK picture_of_menu(HWND window, UINT, UINT_PTR timer, DWORD) {
    KillTimer(window, timer);
    save_screenshot(window, "file_menu_connected.png");
    EndMenu();
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SettingsMenuTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sim::SimOptions options = loopback_sim_options();
        sim::Tpx2UnitSettings booth;
        booth.name = "TPX2-Booth";
        booth.parameters = {3, -2, 0, -12, 2, 2, 0};  // MicLf ... MicGate
        options.units = {booth};
        network_ = new sim::SimNetwork(options);
        started_ = network_->start();
    }

    static void TearDownTestSuite() {
        network_->stop();
        delete network_;
        network_ = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(started_, AUD_SUCCESS);
        window_ = open_main_window(*network_);
        ASSERT_NE(window_, nullptr);
        previous_dialog_ = set_settings_file_dialog(answer_dialog);
        g_dialogs = 0;
        std::filesystem::create_directories(directory_);
    }

    void TearDown() override {
        set_settings_file_dialog(previous_dialog_);
        shut_down_main_window(window_);
        network_->conmon().set_device_muted("TPX2-Booth", false);
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        pump_for(20);
    }

    void connect() {
        type_text(window_, IDC_DEVICE_NAME, L"TPX2-Booth");
        ASSERT_TRUE(pump_until([&] { return enabled(window_, IDC_CONNECT); }, kQueryLimitMs));
        click(window_, IDC_CONNECT);
        ASSERT_TRUE(pump_until(
            [&] {
                for (int list : {IDC_MIC_LF, IDC_MIC_HF, IDC_LINE_LF, IDC_LINE_HF, IDC_MODE, IDC_SENSITIVITY,
                                 IDC_GATE}) {
                    if (!enabled(window_, list)) {
                        return false;
                    }
                }
                return visible(window_, IDC_DISCONNECT);
            },
            kConnectLimitMs));
    }

    void menu(UINT command) { SendMessageW(window_, WM_COMMAND, MAKEWPARAM(command, 0), 0); }

    static std::optional<int32_t> unit_value(ParameterId id) {
        const auto values = network_->conmon().unit_parameters("TPX2-Booth");
        if (!values) {
            return std::nullopt;
        }
        return (*values)[static_cast<size_t>(id) - 1];
    }

    // Runs tpx2ctl.exe against the simulated services; its exit code.
    static DWORD run_tpx2ctl(const std::wstring& arguments) {
        std::wstring command = L"\"" + windows_path(TPX2CTL_PATH) + L"\" --conmon 127.0.0.1:" +
                               std::to_wstring(network_->conmon_port()) + L" --cmm 127.0.0.1:" +
                               std::to_wstring(network_->cmm_port()) + L" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            return 1000;
        }
        DWORD code = 1001;
        // The window's threads post while the program runs: keep pumping.
        pump_until([&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; }, kProgramLimitMs);
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &code);
        } else {
            TerminateProcess(process.hProcess, 1002);
        }
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return code;
    }

    static sim::SimNetwork* network_;
    static aud_error started_;
    HWND window_ = nullptr;
    SettingsFileDialog previous_dialog_ = nullptr;
    const std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() /
        ("tpx2-settings-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
};

sim::SimNetwork* SettingsMenuTest::network_ = nullptr;
aud_error SettingsMenuTest::started_ = AUD_ERR_NOTINITIALISED;

// The items are there above Exit, and usable only while a unit is connected.
TEST_F(SettingsMenuTest, ItemsAreEnabledOnlyWhileConnected) {
    HMENU file = GetSubMenu(GetMenu(window_), 0);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(GetMenuItemCount(file), 4);
    EXPECT_EQ(GetMenuItemID(file, 0), UINT(IDM_SAVE_SETTINGS));
    EXPECT_EQ(GetMenuItemID(file, 1), UINT(IDM_LOAD_SETTINGS));
    EXPECT_EQ(GetMenuItemID(file, 3), UINT(IDM_EXIT));
    EXPECT_FALSE(menu_item_enabled(window_, IDM_SAVE_SETTINGS));
    EXPECT_FALSE(menu_item_enabled(window_, IDM_LOAD_SETTINGS));
    menu(IDM_SAVE_SETTINGS);
    EXPECT_EQ(g_dialogs, 0);

    connect();
    EXPECT_TRUE(menu_item_enabled(window_, IDM_SAVE_SETTINGS));
    EXPECT_TRUE(menu_item_enabled(window_, IDM_LOAD_SETTINGS));
    EXPECT_TRUE(menu_item_enabled(window_, IDM_EXIT));

    // A picture of the open File menu, for a person to look at: the menu
    // runs its own loop, so the picture is taken from a timer inside it.
    SetTimer(window_, 77, 600, picture_of_menu);
    PostMessageW(window_, WM_SYSCOMMAND, SC_KEYMENU, 'f');
    pump_for(1500);

    click(window_, IDC_DISCONNECT);
    EXPECT_FALSE(menu_item_enabled(window_, IDM_SAVE_SETTINGS));
    EXPECT_FALSE(menu_item_enabled(window_, IDM_LOAD_SETTINGS));
}

// Save, a change at the unit, Load: the unit reports the saved values again
// and the lists show them.
TEST_F(SettingsMenuTest, SavedSettingsLoadBackOntoTheUnit) {
    MessageBoxRecorder boxes;
    connect();
    const std::filesystem::path file = directory_ / "booth.json";
    g_dialog_path = file.wstring();
    menu(IDM_SAVE_SETTINGS);
    ASSERT_TRUE(boxes.boxes().empty()) << narrow(boxes.boxes()[0].text);
    std::string error;
    const auto saved = parse_settings_file(read_file(file), &error);
    ASSERT_TRUE(saved) << error;
    EXPECT_EQ(saved->device, "TPX2-Booth");
    const std::array<std::optional<int32_t>, 7> expected = {3, -2, 0, -12, 2, 2, 0};
    EXPECT_EQ(saved->values, expected);

    // One at a time: the link keeps only the unit's newest report.
    network_->conmon().change_unit_parameter("TPX2-Booth", ParameterId::MicLf, 7);
    ASSERT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_MIC_LF) == L"+7 dB"; }));
    network_->conmon().change_unit_parameter("TPX2-Booth", ParameterId::Mode, 0);
    ASSERT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_MODE) == L"Mic/Line Mix (Mono link)"; }));

    menu(IDM_LOAD_SETTINGS);
    ASSERT_TRUE(pump_until([&] { return !boxes.boxes().empty(); }, kLoadLimitMs));
    EXPECT_EQ(boxes.boxes()[0].text, L"Loaded booth.json: 2 parameters changed.");
    EXPECT_EQ(unit_value(ParameterId::MicLf), 3);
    EXPECT_EQ(unit_value(ParameterId::Mode), 2);
    EXPECT_EQ(list_selected_text(window_, IDC_MIC_LF), L"+3 dB");
    EXPECT_EQ(list_selected_text(window_, IDC_MODE), L"Mic/Line Mix (Stereo link, Stereo Out)");
    EXPECT_TRUE(visible(window_, IDC_DISCONNECT));
}

// A bad file: one box naming the line and the fault, and nothing reaches
// the unit.
TEST_F(SettingsMenuTest, ABadFileIsRefusedWithNothingSent) {
    MessageBoxRecorder boxes;
    connect();
    const std::filesystem::path file = directory_ / "bad.json";
    std::ofstream(file, std::ios::binary) << "{\n  \"format_version\": 1,\n  \"parameters\": {\n"
                                             "    \"MicLf\": 0,\n    \"Mode\": 9\n  }\n}\n";
    g_dialog_path = file.wstring();
    const auto before = network_->conmon().device_control_messages("TPX2-Booth");
    const auto values_before = network_->conmon().unit_parameters("TPX2-Booth");
    menu(IDM_LOAD_SETTINGS);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, L"Load Settings");
    EXPECT_EQ(boxes.boxes()[0].style & MB_ICONMASK, UINT(MB_ICONERROR));
    EXPECT_NE(boxes.boxes()[0].text.find(L"line 5, column 13: Mode must be from 0 to 4, got 9"), std::wstring::npos)
        << narrow(boxes.boxes()[0].text);
    pump_for(500);
    EXPECT_EQ(network_->conmon().device_control_messages("TPX2-Booth"), before);
    EXPECT_EQ(network_->conmon().unit_parameters("TPX2-Booth"), values_before);
}

// A unit that cannot take the change: the window's send-failure path.
TEST_F(SettingsMenuTest, AUnitThatDoesNotConfirmEndsTheConnection) {
    MessageBoxRecorder boxes;
    connect();
    const std::filesystem::path file = directory_ / "gate.json";
    std::ofstream(file, std::ios::binary) << R"({"format_version":1,"parameters":{"MicGate":1}})";
    g_dialog_path = file.wstring();
    network_->conmon().set_device_muted("TPX2-Booth", true);
    menu(IDM_LOAD_SETTINGS);
    ASSERT_TRUE(pump_until([&] { return !boxes.boxes().empty(); }, kLoadLimitMs));
    EXPECT_EQ(boxes.boxes()[0].text, L"Unable to send to device. Disconnecting...");
    EXPECT_TRUE(visible(window_, IDC_CONNECT));
    EXPECT_FALSE(menu_item_enabled(window_, IDM_LOAD_SETTINGS));
}

// One format for both programs: a file tpx2ctl saved loads in the utility,
// and one the utility saved matches the unit for tpx2ctl check.
TEST_F(SettingsMenuTest, FilesPassBetweenTheUtilityAndTpx2ctl) {
    MessageBoxRecorder boxes;
    connect();
    const std::filesystem::path from_cli = directory_ / "from-cli.json";
    const std::filesystem::path from_utility = directory_ / "from-utility.json";

    // The utility's file, checked by tpx2ctl: it matches the unit.
    g_dialog_path = from_utility.wstring();
    menu(IDM_SAVE_SETTINGS);
    ASSERT_TRUE(std::filesystem::exists(from_utility));
    EXPECT_EQ(run_tpx2ctl(L"check \"" + from_utility.wstring() + L"\" TPX2-Booth"), 0u);

    // tpx2ctl's file, after the unit changed, loaded by the utility.
    EXPECT_EQ(run_tpx2ctl(L"save TPX2-Booth \"" + from_cli.wstring() + L"\""), 0u);
    network_->conmon().change_unit_parameter("TPX2-Booth", ParameterId::LineHf, 5);
    ASSERT_TRUE(pump_until([&] { return list_selected_text(window_, IDC_LINE_HF) == L"+5 dB"; }));
    g_dialog_path = from_cli.wstring();
    menu(IDM_LOAD_SETTINGS);
    ASSERT_TRUE(pump_until([&] { return !boxes.boxes().empty(); }, kLoadLimitMs));
    EXPECT_EQ(boxes.boxes()[0].text, L"Loaded from-cli.json: 1 parameter changed.");
    EXPECT_EQ(unit_value(ParameterId::LineHf), -12);
    EXPECT_EQ(list_selected_text(window_, IDC_LINE_HF), L"-12 dB");
}

}  // namespace
