// The utility's animated icon in the notification area: four frames shown in
// turn at 150 ms while an animation is asked for (the Discover dialog), the
// first frame otherwise.
#pragma once

#include <windows.h>

// Loads the four frames, adds the icon for the window (id 0, icon only) and
// starts tray_icon_thread.
void start_tray_icon(HINSTANCE instance, HWND window);

// Ends tray_icon_thread and removes the icon. Does nothing when not started.
void stop_tray_icon();

// Turns the animation on or off.
void set_tray_animation(bool on);

// Called with the frame number (1 to 4) each time a frame is shown, on the
// tray thread; null for none. For tests and diagnostics.
using TrayFrameObserver = void (*)(int frame);
void set_tray_frame_observer(TrayFrameObserver observer);
