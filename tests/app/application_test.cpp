// The utility from its entry procedure: start-up, splash and shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/main_application.h"
#include "app/main_window.h"
#include "app/splash.h"
#include "tests/app/gui_test_support.h"

using namespace gui_test;

namespace {

// Without the AVN platform service the utility cannot do anything: it says so
// in plain words and ends, instead of waiting behind its splash for ever.
TEST(ApplicationTest, EndsWithAPlainBoxWhenThePlatformServiceIsNotRunning) {
    MessageBoxRecorder boxes;
    avn_api_options options;
    options.cmm_port = 9;  // nothing listens there on loopback
    options.conmon_port = 9;
    options.connect_limit_ms = 1000;

    std::atomic<bool> done{false};
    std::atomic<bool> splash_seen{false};
    std::thread watcher([&] {
        while (!done) {
            if (splash_window() != nullptr && IsWindowVisible(splash_window())) {
                splash_seen = true;
            }
            Sleep(20);
        }
    });
    const ULONGLONG start = GetTickCount64();
    const int exit_code = run_application(GetModuleHandleW(nullptr), &options);
    const ULONGLONG elapsed = GetTickCount64() - start;
    done = true;
    watcher.join();

    EXPECT_EQ(exit_code, 1);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_NE(boxes.boxes()[0].text.find(L"The AVN platform service is not running"),
              std::wstring::npos)
        << std::string(boxes.boxes()[0].text.begin(), boxes.boxes()[0].text.end());
    EXPECT_EQ(boxes.boxes()[0].title, L"TPX-2 Config Utility");
    EXPECT_EQ(boxes.boxes()[0].style & MB_ICONMASK, UINT(MB_ICONERROR));
    EXPECT_TRUE(splash_seen);
    EXPECT_EQ(splash_window(), nullptr);
    EXPECT_EQ(main_window(), nullptr);
    // The splash's half second, the bounded wait for the service, no more.
    EXPECT_GE(elapsed, 1500u);
    EXPECT_LT(elapsed, 8000u);
}

}  // namespace
