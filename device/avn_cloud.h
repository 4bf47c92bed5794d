// Where the AVN Cloud service is: a host name fixed when the program is
// built (TPX2_AVN_CLOUD_HOST) and port 8443. The environment variable
// TPX2_AVN_CLOUD=HOST[:PORT] points it elsewhere, for tests and
// demonstrations against a simulated Domain Manager.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint16_t kAvnCloudPort = 8443;

struct AvnCloudEndpoint {
    std::string host;
    uint16_t port = kAvnCloudPort;
};

AvnCloudEndpoint avn_cloud_endpoint();
