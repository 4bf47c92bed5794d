// The utility's entry procedure: start-up with the splash, the main window
// and its message loop, and the orderly shutdown.
#pragma once

#include <windows.h>

#include "avn/api/avn_access.h"

// Runs the utility; gives the process's exit code.
int main_application(HINSTANCE instance, int show_command);

// The same with the AVN services found where the options say (null: the
// product's defaults), for tests against simulated services.
int run_application(HINSTANCE instance, const avn_api_options* options);
