// A hostile host on the link, for tests and benchmarks inside a private
// network namespace: it multicasts, from its own loopback address
// (127.0.0.2, on the loopback link) and the mDNS port, responses full of
// distinct PTR records under the maker's conmon subtype, each packet with a
// long TXT record besides, as fast as it can for a given time (the packets
// are made beforehand, so that the sending is all it does). Also the
// process's memory in use, as the flood tests and benchmarks read it.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "avn/dnssd/mdns_packet.h"
#include "avn/runtime/aud_event_loop.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's own count (its header is not always installed).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace mdns_flood {

inline constexpr uint32_t kFloodSource = 0x7F000002u;  // 127.0.0.2

// Heap in use where the sanitizer's allocator can tell (its quarantine
// keeps freed memory resident, so the resident size says little there);
// the resident size elsewhere.
inline size_t memory_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

// The runtime's own timer, every 50 ms, for as long as this lives: how late
// it fires tells whether the thread that steps the loop kept stepping.
class TimerLateness {
  public:
    explicit TimerLateness(aud_event_loop* loop) {
        if (aud_timer_new(loop, on_tick, this, &timer_) != AUD_SUCCESS) {
            return;
        }
        const aud_time period = aud_time_from_milliseconds(kPeriod.count());
        started_ = aud_timer_start_recurring(timer_, nullptr, &period) == AUD_SUCCESS;
    }
    ~TimerLateness() { aud_timer_delete(timer_); }
    TimerLateness(const TimerLateness&) = delete;
    TimerLateness& operator=(const TimerLateness&) = delete;

    bool started() const { return started_; }
    std::chrono::steady_clock::duration worst() const { return worst_; }
    long ticks() const { return ticks_; }

  private:
    static constexpr std::chrono::milliseconds kPeriod{50};

    static void on_tick(aud_error, aud_timer* timer) {
        auto* self = static_cast<TimerLateness*>(aud_timer_get_context(timer));
        const auto now = std::chrono::steady_clock::now();
        if (self->ticks_++ > 0) {
            self->worst_ = std::max(self->worst_, now - self->due_);
        }
        self->due_ = now + kPeriod;
    }

    aud_timer* timer_ = nullptr;
    bool started_ = false;
    std::chrono::steady_clock::time_point due_;
    std::chrono::steady_clock::duration worst_{};
    long ticks_ = 0;
};

class Flooder {
  public:
    // Starts at once: `distinct` instance names, cycled until `length` has
    // passed, `per_packet` PTRs and one TXT of `txt_bytes` per packet.
    // Builds the packets: `distinct` instance names, `per_packet` PTRs and
    // one TXT of `txt_bytes` per packet. start() then sends them, cycled
    // until `length` has passed.
    Flooder(size_t distinct, std::chrono::milliseconds length, size_t per_packet = 10,
            size_t txt_bytes = 1200)
        : distinct_(distinct), length_(length), per_packet_(per_packet), txt_bytes_(txt_bytes) {
        for (size_t first = 0; first < distinct_; first += per_packet_) {
            packets_built_.push_back(packet(first));
        }
    }
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    ~Flooder() { join(); }
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool ok() const { return ok_; }
    uint64_t packets() const { return packets_; }
    uint64_t records() const { return records_; }

  private:
    int open_socket() {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            return -1;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(mdns::kPort);
        address.sin_addr.s_addr = htonl(kFloodSource);
        ip_mreqn via{};
        via.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    std::vector<uint8_t> packet(size_t first) const {
        mdns::Builder builder(0, mdns::kFlagResponse | mdns::kFlagAuthoritative,
                              mdns::kMaxMessageSize);
        mdns::Record ptr;
        mdns::name_from_labels({"Vornix", "_sub", "_netaudio-cmc", "_udp", "local"}, &ptr.name);
        ptr.type = mdns::kTypePtr;
        ptr.ttl = 4500;
        mdns::Name instance;
        for (size_t i = 0; i < per_packet_; ++i) {
            const std::string label = "flood-" + std::to_string((first + i) % distinct_);
            mdns::name_from_labels({label, "_netaudio-cmc", "_udp", "local"}, &instance);
            ptr.rdata.assign(instance.begin(), instance.end());
            builder.add_record(mdns::Section::Answer, ptr);
        }
        mdns::Record txt;
        txt.name = instance;
        txt.type = mdns::kTypeTxt;
        txt.cache_flush = true;
        txt.ttl = 4500;
        for (size_t left = txt_bytes_; left > 1;) {
            const size_t part = std::min<size_t>(left - 1, 255);
            txt.rdata.push_back(static_cast<uint8_t>(part));
            txt.rdata.insert(txt.rdata.end(), part, 'x');
            left -= part + 1;
        }
        builder.add_record(mdns::Section::Additional, txt);
        return builder.finish();
    }

    void run() {
        const int fd = open_socket();
        if (fd < 0) {
            return;
        }
        ok_ = true;
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(mdns::kPort);
        group.sin_addr.s_addr = htonl(mdns::kGroupAddress);
        const auto end = std::chrono::steady_clock::now() + length_;
        size_t next = 0;
        while (std::chrono::steady_clock::now() < end) {
            const std::vector<uint8_t>& bytes = packets_built_[next];
            if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                       sizeof group) == static_cast<ssize_t>(bytes.size())) {
                packets_ += 1;
                records_ += per_packet_ + 1;
            }
            next = (next + 1) % packets_built_.size();
        }
        close(fd);
    }

    size_t distinct_;
    std::chrono::milliseconds length_;
    size_t per_packet_;
    size_t txt_bytes_;
    std::vector<std::vector<uint8_t>> packets_built_;
    std::thread thread_;
    std::atomic<bool> ok_{false};
    std::atomic<uint64_t> packets_{0};
    std::atomic<uint64_t> records_{0};
};

}  // namespace mdns_flood
