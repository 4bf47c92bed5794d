// Setting and removing environment variables in a test, where the platforms
// differ.
#pragma once

void test_set_environment(const char* name, const char* value);
void test_unset_environment(const char* name);
