// The splash window shown while the utility starts: dialog 160 on its own
// thread, painted with bitmap 146.
#pragma once

#include <windows.h>

// Starts splash_thread at the highest thread priority. False when the
// thread could not be started (the utility then starts without a splash).
bool start_splash(HINSTANCE instance);

// Ends the splash: posts WM_QUIT to its thread and waits for the thread.
// Does nothing when no splash runs.
void close_splash();

// The splash window while it is shown, else null (for tests).
HWND splash_window();
