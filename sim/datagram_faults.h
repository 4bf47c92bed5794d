// Loss and corruption of datagrams on one side of the conmon server (those it
// sends, or those it receives): the next N datagrams, or a fraction of them
// drawn from a seeded generator so that a run can be repeated.
#pragma once

#include <cstdint>
#include <random>
#include <span>

namespace sim {

enum class FaultAction { Pass, Drop, Corrupt };

struct DatagramFaultSettings {
    double drop_fraction = 0.0;     // 0 to 1
    double corrupt_fraction = 0.0;  // 0 to 1
};

class DatagramFaults {
  public:
    explicit DatagramFaults(uint32_t seed) : random_(seed) {}

    void set_fractions(const DatagramFaultSettings& settings);
    DatagramFaultSettings fractions() const { return fractions_; }
    // Counted faults come first: the next N datagrams are dropped (or
    // corrupted) whatever the fractions say.
    void drop_next(uint32_t count) { drop_next_ = count; }
    void corrupt_next(uint32_t count) { corrupt_next_ = count; }
    // No faults at all; the counters stay.
    void clear();

    // What happens to the next datagram.
    FaultAction decide();

    uint64_t dropped() const { return dropped_; }
    uint64_t corrupted() const { return corrupted_; }

  private:
    bool draw(double fraction);

    std::mt19937 random_;
    DatagramFaultSettings fractions_;
    uint32_t drop_next_ = 0;
    uint32_t corrupt_next_ = 0;
    uint64_t dropped_ = 0;
    uint64_t corrupted_ = 0;
};

// Inverts every bit of the datagram's last byte. In a device message that is
// the vendor envelope's CRC, so the receiver must discard it; in a
// header-only response it is the high byte of the status, which turns it
// into an error response.
void corrupt_datagram(std::span<uint8_t> datagram);

}  // namespace sim
