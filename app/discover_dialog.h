// The Discover dialog: the TPX-2 units found on the chosen network, the
// selected unit's versions, and OK to hand its name to the main window.
#pragma once

#include <windows.h>

// The dialog's procedure (tests create the dialog themselves).
INT_PTR CALLBACK discover_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Shows dialog 145 modally over the main window. 1 when a unit's name was
// put into the main window's device-name field, 2 otherwise.
INT_PTR show_discover_dialog(HINSTANCE instance, HWND main_window);
