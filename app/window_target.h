// A MessageTarget that delivers to a window: posted with PostMessageW, sent
// with SendMessageW.
#pragma once

#include <windows.h>

#include "device/message_target.h"

MessageTarget window_target(HWND window);
