// The program's entry point: a Unicode GUI program.
#include <windows.h>

#include "app/main_application.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    return main_application(instance, show_command);
}
