// Wiping secrets (passwords, tokens) from memory before it is let go.
#pragma once

#include <string>

namespace sim {

// Overwrites the string's characters with zeros in a way the compiler may
// not leave out, then empties it.
void wipe_secret(std::string& secret);

}  // namespace sim
