// wipe_secret for a build without OpenSSL: volatile stores, which the
// compiler must not leave out.
#include "sim/dm/dm_secret.h"

namespace sim {

void wipe_secret(std::string& secret) {
    volatile char* bytes = secret.data();
    for (size_t i = 0; i < secret.size(); ++i) {
        bytes[i] = 0;
    }
    secret.clear();
}

}  // namespace sim
