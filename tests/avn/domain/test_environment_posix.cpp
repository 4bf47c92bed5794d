#include "tests/avn/domain/test_environment.h"

#include <cstdlib>

void test_set_environment(const char* name, const char* value) {
    setenv(name, value, 1);
}

void test_unset_environment(const char* name) {
    unsetenv(name);
}
