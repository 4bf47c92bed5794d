// The About dialog (165): the product picture, its name in a large bold
// title centred over the dialog, version and the maker's lines.
#pragma once

#include <windows.h>

// Shows the dialog modally over the owner.
void show_about_dialog(HINSTANCE instance, HWND owner);

// The dialog procedure, for tests that create the dialog modeless.
INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
