// The process environment, where the platforms differ.
#pragma once

// Removes the variable from this process's environment (so that no child
// process inherits it).
void remove_environment_variable(const char* name);
