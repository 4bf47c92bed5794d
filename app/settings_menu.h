// The main window's File > "Save Settings..." and "Load Settings...": the
// connected unit's parameters to and from the settings file that tpx2ctl
// writes and reads (one format, one reader and writer).
//
// Save writes the values the unit last reported. Load reads the whole file
// first (a bad file: one message box naming the line and the fault, nothing
// sent), then sends each parameter whose value differs, one at a time, the
// next only once the unit's report confirms the one before; the window's
// lists follow those reports as they always do. A change the unit does not
// confirm in time takes the window's send-failure path.
//
// Everything runs on the window thread; the main window hands this
// component its menu commands, the unit's reports and its timer.
#pragma once

#include <windows.h>

#include <string>

// How long Load waits for the unit to confirm one change.
inline constexpr UINT kSettingsConfirmLimitMs = 5000;
// The timer of the main window that Load's confirmation wait uses.
inline constexpr UINT_PTR kSettingsConfirmTimer = 30;

// Asks for the file to save to or load from; false when the user cancels.
// The standard file dialog unless replaced (tests answer it themselves).
using SettingsFileDialog = bool (*)(HWND owner, bool save, const std::wstring& suggested, std::wstring* path);
// Replaces the dialog; null restores the standard one. Gives the previous one.
SettingsFileDialog set_settings_file_dialog(SettingsFileDialog dialog);

// The unit was connected (true) or the connection ended (false): enables or
// greys the two menu items, forgets the values of an earlier connection and
// ends a load under way.
void settings_menu_connected(HWND window, bool connected);
// A parameter report of the connected unit.
void settings_menu_on_report(HWND window, WPARAM id, LPARAM value);
// The menu commands IDM_SAVE_SETTINGS and IDM_LOAD_SETTINGS.
void settings_menu_command(HWND window, int command);
// WM_TIMER of the main window; false for a timer that is not this one's.
bool settings_menu_on_timer(HWND window, UINT_PTR timer);
