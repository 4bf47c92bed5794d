// The utility from its entry procedure: start-up, splash and shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/main_application.h"
#include "app/main_window.h"
#include "app/resource_ids.h"
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

std::wstring menu_text(HMENU menu, UINT position) {
    wchar_t text[64] = {};
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    return text;
}

// The menu, the accelerators and the pictures that the windows take from the
// program's resources by number.
TEST(ApplicationTest, MenuAcceleratorsAndPicturesAreInTheResources) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MAIN_MENU));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 2);
    EXPECT_EQ(menu_text(menu, 0), L"&File");
    EXPECT_EQ(menu_text(menu, 1), L"&Help");
    HMENU file = GetSubMenu(menu, 0);
    HMENU help = GetSubMenu(menu, 1);
    ASSERT_EQ(GetMenuItemCount(file), 4);
    EXPECT_EQ(menu_text(file, 0), L"&Save Settings...");
    EXPECT_EQ(GetMenuItemID(file, 0), UINT(IDM_SAVE_SETTINGS));
    EXPECT_EQ(menu_text(file, 1), L"&Load Settings...");
    EXPECT_EQ(GetMenuItemID(file, 1), UINT(IDM_LOAD_SETTINGS));
    EXPECT_EQ(GetMenuState(file, 2, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
    EXPECT_EQ(menu_text(file, 3), L"E&xit");
    EXPECT_EQ(GetMenuItemID(file, 3), UINT(IDM_EXIT));
    EXPECT_EQ(menu_text(help, 0), L"&About ...");
    EXPECT_EQ(GetMenuItemID(help, 0), UINT(IDM_ABOUT));
    DestroyMenu(menu);

    // Alt+? and Alt+/, as typed characters, both give About.
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    ASSERT_NE(accelerators, nullptr);
    ACCEL entries[4] = {};
    ASSERT_EQ(CopyAcceleratorTableW(accelerators, entries, 4), 2);
    for (const ACCEL& entry : {entries[0], entries[1]}) {
        EXPECT_EQ(entry.cmd, IDM_ABOUT);
        EXPECT_EQ(entry.fVirt & (FVIRTKEY | FALT), FALT);
    }
    EXPECT_EQ(entries[0].key, '?');
    EXPECT_EQ(entries[1].key, '/');

    // The program icon, the four tray frames at the small icon size, and the
    // splash picture.
    for (int id : {IDI_APP, IDI_TRAY_1, IDI_TRAY_2, IDI_TRAY_3, IDI_TRAY_4}) {
        HICON icon = static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
        EXPECT_NE(icon, nullptr) << id;
        DestroyIcon(icon);
    }
    HBITMAP splash = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDB_SPLASH), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    ASSERT_NE(splash, nullptr);
    BITMAP size{};
    GetObjectW(splash, sizeof size, &size);
    EXPECT_GT(size.bmWidth, size.bmHeight);
    DeleteObject(splash);
}

}  // namespace
