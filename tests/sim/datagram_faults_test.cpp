// Loss and corruption decisions of the simulator's datagram faults.
#include <gtest/gtest.h>

#include <vector>

#include "sim/datagram_faults.h"

namespace {

using sim::FaultAction;

std::vector<FaultAction> decide(sim::DatagramFaults& faults, int count) {
    std::vector<FaultAction> actions;
    for (int i = 0; i < count; ++i) {
        actions.push_back(faults.decide());
    }
    return actions;
}

TEST(DatagramFaults, CountedFaultsComeFirstThenFractionsApply) {
    sim::DatagramFaults faults(1);
    EXPECT_EQ(decide(faults, 3), std::vector<FaultAction>(3, FaultAction::Pass));
    faults.drop_next(2);
    faults.corrupt_next(1);
    faults.set_fractions({0.0, 1.0});
    EXPECT_EQ(decide(faults, 5),
              (std::vector<FaultAction>{FaultAction::Drop, FaultAction::Drop, FaultAction::Corrupt,
                                        FaultAction::Corrupt, FaultAction::Corrupt}));
    EXPECT_EQ(faults.dropped(), 2u);
    EXPECT_EQ(faults.corrupted(), 3u);
    faults.clear();
    EXPECT_EQ(faults.decide(), FaultAction::Pass);
}

TEST(DatagramFaults, AFractionIsRepeatableForASeedAndRoughlyKept) {
    sim::DatagramFaults first(42);
    sim::DatagramFaults second(42);
    first.set_fractions({0.25, 0.0});
    second.set_fractions({0.25, 0.0});
    const std::vector<FaultAction> actions = decide(first, 1000);
    EXPECT_EQ(actions, decide(second, 1000));
    EXPECT_GT(first.dropped(), 180u);
    EXPECT_LT(first.dropped(), 320u);
    EXPECT_EQ(first.corrupted(), 0u);
}

TEST(DatagramFaults, FractionsOutsideZeroToOneAreClamped) {
    sim::DatagramFaults faults(1);
    faults.set_fractions({-1.0, 7.0});
    EXPECT_EQ(faults.fractions().drop_fraction, 0.0);
    EXPECT_EQ(faults.fractions().corrupt_fraction, 1.0);
    EXPECT_EQ(faults.decide(), FaultAction::Corrupt);
}

TEST(DatagramFaults, CorruptionInvertsTheLastByte) {
    std::vector<uint8_t> datagram{0x01, 0x02, 0x5A};
    sim::corrupt_datagram(datagram);
    EXPECT_EQ(datagram, (std::vector<uint8_t>{0x01, 0x02, 0xA5}));
    std::vector<uint8_t> empty;
    sim::corrupt_datagram(empty);  // nothing to do, nothing read
    EXPECT_TRUE(empty.empty());
}

}  // namespace
