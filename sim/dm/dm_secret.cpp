#include "sim/dm/dm_secret.h"

#include <openssl/crypto.h>

namespace sim {

void wipe_secret(std::string& secret) {
    if (!secret.empty()) {
        OPENSSL_cleanse(secret.data(), secret.size());
    }
    secret.clear();
}

}  // namespace sim
