#include "sim/datagram_faults.h"

#include <algorithm>

namespace sim {

void DatagramFaults::set_fractions(const DatagramFaultSettings& settings) {
    fractions_.drop_fraction = std::clamp(settings.drop_fraction, 0.0, 1.0);
    fractions_.corrupt_fraction = std::clamp(settings.corrupt_fraction, 0.0, 1.0);
}

void DatagramFaults::clear() {
    fractions_ = DatagramFaultSettings{};
    drop_next_ = 0;
    corrupt_next_ = 0;
}

FaultAction DatagramFaults::decide() {
    FaultAction action = FaultAction::Pass;
    if (drop_next_ > 0) {
        --drop_next_;
        action = FaultAction::Drop;
    } else if (corrupt_next_ > 0) {
        --corrupt_next_;
        action = FaultAction::Corrupt;
    } else if (draw(fractions_.drop_fraction)) {
        action = FaultAction::Drop;
    } else if (draw(fractions_.corrupt_fraction)) {
        action = FaultAction::Corrupt;
    }
    if (action == FaultAction::Drop) {
        ++dropped_;
    } else if (action == FaultAction::Corrupt) {
        ++corrupted_;
    }
    return action;
}

bool DatagramFaults::draw(double fraction) {
    // No draw at all while the fraction is 0, so that switching faults on
    // later starts the same sequence for the same seed.
    if (fraction <= 0.0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < fraction;
}

void corrupt_datagram(std::span<uint8_t> datagram) {
    if (!datagram.empty()) {
        datagram.back() = static_cast<uint8_t>(~datagram.back());
    }
}

}  // namespace sim
