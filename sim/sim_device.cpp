#include "sim/sim_device.h"

#include <algorithm>

namespace sim {

namespace {

char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

ManufacturerId manufacturer_id_from_text(std::string_view text) {
    ManufacturerId id{};
    std::copy_n(text.begin(), std::min(text.size(), id.size()), id.begin());
    return id;
}

std::string manufacturer_id_text(const ManufacturerId& id) {
    const auto end = std::find(id.begin(), id.end(), uint8_t{0});
    return std::string(id.begin(), end);
}

bool device_names_equal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower_ascii(x) == lower_ascii(y);
           });
}

uint16_t SimDevice::next_sequence() {
    ++sequence_;
    if (sequence_ == 0) {
        sequence_ = 1;
    }
    return sequence_;
}

}  // namespace sim
