// What the benchmarks of the device link share: avn-sim started, and the AVN
// API started against it as the utility starts it.
#pragma once

#include <cstdio>

#include "avn/api/avn_access.h"
#include "sim/sim_network.h"

namespace bench {

// False, with a line on stderr, when avn-sim or the AVN API did not start.
inline bool start_sim_and_api(sim::SimNetwork& network) {
    if (network.start() != AUD_SUCCESS) {
        std::fprintf(stderr, "avn-sim did not start\n");
        return false;
    }
    avn_api_options api;
    api.conmon_port = network.conmon_port();
    api.cmm_port = network.cmm_port();
    if (start_avn_api(&api) != AUD_SUCCESS) {
        std::fprintf(stderr, "the AVN API did not start\n");
        return false;
    }
    return true;
}

}  // namespace bench
