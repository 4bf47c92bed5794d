#include "cli/environment.h"

#include <cstdlib>

void remove_environment_variable(const char* name) {
    unsetenv(name);
}
