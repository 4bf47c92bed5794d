// SimNetwork's Domain Manager, in a build with cpp-httplib and OpenSSL.
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"

namespace sim {

void SimNetwork::create_dm() {
    if (options_.dm.enabled) {
        dm_ = std::make_shared<DmWebService>(log_, options_.dm);
    }
}

aud_error SimNetwork::start_dm() {
    return dm_ ? dm_->start() : AUD_SUCCESS;
}

void SimNetwork::stop_dm() {
    if (dm_) {
        dm_->stop();
    }
}

}  // namespace sim
