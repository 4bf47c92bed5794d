// The Domain Manager login dialog (template 162): choose Auto Discovery, the
// AVN Cloud or a Manual address, log in with a user name and password, or
// log out. The login runs on the window thread with the AVN API mutex held.
// The settings live in memory for the life of the process and are shown
// again each time the dialog opens.
#pragma once

#include <windows.h>

#include <cstdint>

INT_PTR CALLBACK login_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Shows the dialog modally over the main window: 1 logged in, 3 logged
// out, 2 cancelled.
INT_PTR show_login_dialog(HINSTANCE instance, HWND main_window);

enum class LoginMethod : int { AutoDiscovery = 0, Cloud = 1, Manual = 2 };

// The stored settings, for tests: the method, the address and port.
LoginMethod login_method();
uint16_t login_port();
// Forgets every setting (the state of a process that just started); the
// password is wiped.
void reset_login_settings();
