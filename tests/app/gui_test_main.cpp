// The main of the GUI tests: on a desktop of their own, then GoogleTest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/app/gui_test_support.h"

int main(int argc, char** argv) {
    // Unbuffered, so that a run that hangs still shows how far it got.
    setvbuf(stdout, nullptr, _IONBF, 0);
    int exit_code = 0;
    if (gui_test::relaunch_on_own_desktop(&exit_code)) {
        return exit_code;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
