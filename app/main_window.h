// The utility's main window: built from dialog template 164 with its own
// window class "CONFIGUTILITY". In it the user picks the network interface
// and the AVN domain, names a unit, connects, and reads and changes the
// unit's seven parameters. Everything that blocks runs on other threads,
// which report back by posting the private messages of device/app_messages.h.
#pragma once

#include <windows.h>

#include "avn/runtime/aud_error.h"
#include "avn/api/avn_access.h"

// The window's own private messages (the AVN callbacks hand their network
// list updates to the window thread with these, never waiting for it).
inline constexpr UINT WM_APP_NETWORK_LIST = 32800;    // lParam: heap std::vector<std::wstring>
inline constexpr UINT WM_APP_NETWORK_SELECT = 32801;  // lParam: heap std::wstring
// The Domain Manager connection was lost (not logged out).
inline constexpr UINT WM_APP_DM_LOST = 32802;

// Registers the window class. False on failure.
bool register_main_window_class(HINSTANCE instance);

// Creates the window from its template (not yet shown). Its creation starts
// the AVN API with the options given (null: the product's defaults); the
// outcome is kept for main_window_avn_start_result.
HWND create_main_window(HINSTANCE instance, const avn_api_options* options);

// What starting the AVN API gave when the window was created.
aud_error main_window_avn_start_result();

// The window while it exists, else null.
HWND main_window();
