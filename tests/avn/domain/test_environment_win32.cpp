#include "tests/avn/domain/test_environment.h"

#include <cstdlib>

void test_set_environment(const char* name, const char* value) {
    _putenv_s(name, value);
}

void test_unset_environment(const char* name) {
    _putenv_s(name, "");  // an empty value removes the variable
}
