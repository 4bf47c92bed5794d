// Every message box of the utility goes through here, so that tests can
// answer them instead of a person (a real box would block the test).
#pragma once

#include <windows.h>

using MessageBoxFunction = int (*)(HWND owner, const wchar_t* text, const wchar_t* title,
                                   UINT style);

// Shows a box (MessageBoxW unless replaced) and gives the button pressed.
int show_message_box(HWND owner, const wchar_t* text, const wchar_t* title, UINT style);

// Replaces how boxes are shown; null restores MessageBoxW. Gives the previous one.
MessageBoxFunction set_message_box_function(MessageBoxFunction function);
