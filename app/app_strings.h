// The string-table texts the utility loads once at start.
#pragma once

#include <windows.h>

// Loads every text of the table (each into a buffer of 100 characters).
void load_app_strings(HINSTANCE instance);

// A loaded text by its string-table id; empty for an id not loaded.
const wchar_t* app_string(UINT id);
