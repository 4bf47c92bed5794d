#include "cli/environment.h"

#include <cstdlib>

void remove_environment_variable(const char* name) {
    _putenv_s(name, "");  // an empty value removes the variable
}
