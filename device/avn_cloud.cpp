#include "device/avn_cloud.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

AvnCloudEndpoint avn_cloud_endpoint() {
    AvnCloudEndpoint endpoint{TPX2_AVN_CLOUD_HOST, kAvnCloudPort};
    const char* override_text = std::getenv("TPX2_AVN_CLOUD");
    if (override_text == nullptr || *override_text == '\0') {
        return endpoint;
    }
    const std::string_view text(override_text);
    const size_t colon = text.rfind(':');
    endpoint.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
        unsigned port = 0;
        const std::string_view digits = text.substr(colon + 1);
        const auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (failure == std::errc() && end == digits.data() + digits.size() && port >= 1 && port <= 65535) {
            endpoint.port = static_cast<uint16_t>(port);
        }
    }
    return endpoint;
}
