// The utility as a process of its own against avn-sim: answering "Yes" to
// the close question ends the process at once, with or without a connected
// unit, and the platform services see it go.
//
// The utility takes no arguments, so avn-sim runs on the services' own
// ports here, and the test runs alone. Unlike the other GUI tests this
// one runs the utility on the plain display, without a window manager, where
// Wine can be made to wait at every window it hides.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/demo_tour/process_windows.h"
#include "app/resource_ids.h"
#include "sim/sim_network.h"
#include "tests/app/gui_test_support.h"

using namespace gui_test;

namespace {

constexpr DWORD kStartLimitMs = 20000;
constexpr DWORD kCloseBoundMs = 2000;  // generous: a user wants it under 1 s

std::wstring windows_path(const char* path) {
    std::wstring out = L"Z:";
    for (const char* p = path; *p != '\0'; ++p) {
        out += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    return out;
}

class Shutdown : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        sim::SimOptions options;
        options.quiet = true;
        options.cmm.quiet = true;
        sim::Tpx2UnitSettings stage;
        stage.name = "TPX2-Stage";
        options.units = {stage};
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS) << "the services' ports are taken";

        std::wstring command = L"\"" + windows_path(TPX2_CONFIG_PATH) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process_));
    }

    void TearDown() override {
        if (process_.hProcess != nullptr) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_.hProcess, 1);
            }
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        if (network_) {
            network_->stop();
        }
    }

    std::unique_ptr<sim::SimNetwork> network_;
    PROCESS_INFORMATION process_{};
};

TEST_P(Shutdown, YesEndsTheProcessAtOnceAndTheServicesSeeItGo) {
    const bool connected = GetParam();
    HWND window = nullptr;
    // Running: the window shows the connection manager's networks.
    ASSERT_TRUE(wait_until(
        [&] {
            window = FindWindowW(L"CONFIGUTILITY", nullptr);
            return window != nullptr && IsWindowVisible(window) && list_count(window, IDC_NETWORK) > 0;
        },
        kStartLimitMs));
    if (connected) {
        type_text(window, IDC_DEVICE_NAME, L"TPX2-Stage");
        ASSERT_TRUE(wait_until([&] { return enabled(window, IDC_CONNECT); }, kStartLimitMs));
        click(window, IDC_CONNECT);
        ASSERT_TRUE(wait_until([&] { return visible(window, IDC_DISCONNECT); }, kStartLimitMs));
    }
    EXPECT_EQ(network_->cmm().client_count(), 1u);

    PostMessageW(window, WM_CLOSE, 0, 0);
    HWND question = nullptr;
    ASSERT_TRUE(wait_until([&] { return (question = find_process_window(process_.dwProcessId, L"Close")) != nullptr; },
                           kStartLimitMs));
    const ULONGLONG yes = GetTickCount64();
    PostMessageW(question, WM_COMMAND, IDYES, 0);
    ASSERT_EQ(WaitForSingleObject(process_.hProcess, 10000), WAIT_OBJECT_0);
    const ULONGLONG took = GetTickCount64() - yes;
    std::printf("closing took %llu ms (%s)\n", static_cast<unsigned long long>(took),
                connected ? "connected" : "idle");
    EXPECT_LT(took, kCloseBoundMs);
    DWORD exit_code = 1;
    GetExitCodeProcess(process_.hProcess, &exit_code);
    EXPECT_EQ(exit_code, 0u);

    // Both services were told, not left to time the utility out.
    EXPECT_TRUE(wait_until([&] { return network_->cmm().client_count() == 0; }, 1000));
    EXPECT_TRUE(wait_until([&] { return network_->conmon().client_count() == 0; }, 1000));
}

INSTANTIATE_TEST_SUITE_P(App, Shutdown, ::testing::Values(false, true),
                         [](const auto& param_info) { return param_info.param ? "connected" : "idle"; });

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
