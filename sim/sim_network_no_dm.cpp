// SimNetwork in a build without cpp-httplib and OpenSSL: the Domain
// Manager's options are understood, but it cannot run.
#include "sim/sim_network.h"

namespace sim {

void SimNetwork::create_dm() {}

aud_error SimNetwork::start_dm() {
    if (options_.dm.enabled) {
        log_.line("dm", "this avn-sim is built without the Domain Manager (no cpp-httplib)");
        return AUD_ERR_NOTSUPPORTED;
    }
    return AUD_SUCCESS;
}

void SimNetwork::stop_dm() {}

}  // namespace sim
