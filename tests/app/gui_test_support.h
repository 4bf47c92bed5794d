// Helpers for driving the utility's windows in tests: pumping the thread's
// messages until a condition holds, reading control states, answering
// message boxes instead of a person, and saving screenshots.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/sim_network.h"

namespace gui_test {

// Under Wine, this program's windows belong on a desktop of their own (a
// virtual desktop that Wine draws itself, frames and captions included)
// rather than on the X display, where every hide waits for a window manager
// that a virtual display does not have. A program's desktop is fixed when it
// starts: this runs the program again on that desktop and gives true with
// that run's exit code, or false when already there (or on Windows). Call
// first thing in main.
bool relaunch_on_own_desktop(int* exit_code);

// A thread that a test starts to act on the windows calls this first: under
// Wine a new thread starts on the default desktop, where the windows of the
// program's own desktop are out of its sight.
void join_program_desktop();

// Loads the strings, starts Winsock and the common controls, registers the
// main window class: what main_application does before making the window.
void prepare_process();

// Dispatches this thread's messages until the condition holds or the limit
// passes; gives the condition's last value. A quit message is dropped.
bool pump_until(const std::function<bool()>& condition, uint32_t limit_ms = 10000);
// Checks the condition every 10 ms until it holds or the limit passes,
// without dispatching this thread's messages: for the windows of another
// process. Gives the condition's last value.
bool wait_until(const std::function<bool()>& condition, uint32_t limit_ms);

// Dispatches whatever is queued, for about the given time.
void pump_for(uint32_t milliseconds);

// avn-sim for a test of the utility: quiet, its conmon server and
// connection manager on free loopback ports, no units yet.
sim::SimOptions loopback_sim_options();

// avn-sim's multicast side on loopback, as the connection manager's one
// network "lo": this computer's own interface, as on a real installation.
void offer_loopback_network(sim::SimOptions* options);

// What starting the utility does, against the given services: the process
// prepared, the version worker started, the main window made and shown.
// Gives the window, nullptr when it could not be made.
HWND open_main_window(const sim::SimNetwork& network);

// What closing the utility does to the main window and what runs behind it:
// the version worker and the parameter thread stop, the window is destroyed
// (if it still exists) and the AVN API stops.
void shut_down_main_window(HWND window);

// A window text for a failure message: ASCII kept, anything else as '?'.
std::string narrow(const std::wstring& text);

std::wstring text_of(HWND window, int id);
bool enabled(HWND window, int id);
bool visible(HWND window, int id);
int list_count(HWND window, int id);
int list_selection(HWND window, int id);
std::wstring list_item(HWND window, int id, int index);
std::wstring list_selected_text(HWND window, int id);
std::vector<std::wstring> list_items(HWND window, int id);
LRESULT list_item_data(HWND window, int id, int index);
bool menu_item_enabled(HWND window, UINT command);

// What a user does: a click, a confirmed pick in a drop-down list, typing
// into the device-name field.
void click(HWND window, int id);
void pick(HWND window, int list, int index);
void type_text(HWND window, int id, const wchar_t* text);

// Every message box shown while a recorder exists is recorded and answered
// with `answer` instead of being shown.
struct ShownBox {
    std::wstring text;
    std::wstring title;
    UINT style;
};

class MessageBoxRecorder {
  public:
    explicit MessageBoxRecorder(int answer = IDOK);
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    void set_answer(int answer);
    const std::vector<ShownBox>& boxes() const;
};

// Saves the window as it is on screen, caption and menu included, as a PNG
// file in the test's working directory (the build directory). Gives the
// path written, empty on failure.
std::string save_screenshot(HWND window, const std::string& file_name);

}  // namespace gui_test
