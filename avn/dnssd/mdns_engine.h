// The multicast DNS querier that every service reference of the process
// shares: one port-5353 socket joined to 224.0.0.251 on each multicast
// interface, the record cache, and the questions asked on behalf of the
// references. A background thread receives, expires and sends; it reports
// records through watchers that only queue results for their reference, so
// that callbacks run on the caller's thread when it processes the reference.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"

namespace mdns {

using Clock = std::chrono::steady_clock;

struct CacheEntry {
    Record record;  // its name as it arrived
    uint32_t interface_index = 0;
    Clock::time_point received;
    Clock::time_point expires;
    // Refresh queries go out at 80, 85, 90 and 95 % of the TTL (plus a
    // little jitter); the stage counts those already due.
    int refresh_stage = 0;
    int jitter_percent = 0;
};

// Called with the engine's lock held, when a record that answers the
// question is added to the cache (or was there when the question was asked)
// or leaves it (goodbye, expiry, flush). It must only queue and return.
using Watcher = std::function<void(const CacheEntry& entry, bool added)>;

// The querier's timing: the RFC's intervals.
struct EngineTiming {
    std::chrono::milliseconds first_interval{1000};
    std::chrono::milliseconds max_interval{60 * 60 * 1000};
    std::chrono::milliseconds interface_scan{30 * 1000};
};

class Engine {
  public:
    // The process's engine: started by the first caller, stopped when the
    // last holder lets go. Null when the socket cannot be opened.
    static std::shared_ptr<Engine> acquire();
    // The running engine, if any, without starting one.
    static std::shared_ptr<Engine> running();

    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Asks continuously for (name, type) on one interface (0: all) until
    // removed. The watcher first hears of the cached answers, at once.
    uint64_t add_question(const Name& name, uint16_t type, uint32_t interface_index,
                          Watcher watcher);
    void remove_question(uint64_t id);

    // Queries the matching cached records once more and drops them unless an
    // answer comes within a few seconds. No rdata matches any; for a PTR
    // without rdata, records pointing at `name` match too.
    void reconfirm(const Name& name, uint16_t type, const std::vector<uint8_t>* rdata,
                   uint32_t interface_index);

    // For tests and diagnostics.
    size_t cache_size();
    uint64_t queries_sent();

  private:
    struct QuestionKey {
        Name lower;
        uint16_t type;
        uint32_t interface_index;
        bool operator<(const QuestionKey& other) const;
    };
    struct ActiveQuestion {
        Name name;
        uint16_t type = 0;
        uint32_t interface_index = 0;
        std::vector<std::pair<uint64_t, Watcher>> watchers;
        Clock::time_point next_send;
        Clock::time_point last_sent;
        Clock::duration interval{};
        bool refresh_due = false;
    };
    struct OneOff {
        Name name;
        uint16_t type;
        uint32_t interface_index;
    };
    using CacheKey = std::pair<Name, uint16_t>;  // lower-case name, type

    Engine();
    bool start();
    void stop();
    void run();

    void scan_interfaces(Clock::time_point now);
    void handle_datagram(const uint8_t* data, const Datagram& datagram, Clock::time_point now);
    void handle_query(const Message& message, uint32_t interface_index, Clock::time_point now);
    void insert_record(const Record& record, uint32_t interface_index, Clock::time_point now);
    void notify(const CacheEntry& entry, bool added);
    bool watched(const CacheEntry& entry);
    void run_timers(Clock::time_point now);
    void send_due(Clock::time_point now);
    void send_packet(const Interface& via, const Builder& builder);
    std::vector<Record> known_answers(const ActiveQuestion& question, uint32_t interface_index,
                                      Clock::time_point now);
    Clock::time_point next_deadline(Clock::time_point now);
    void advance_schedule(ActiveQuestion& question, Clock::time_point now);

    EngineTiming timing_;
    std::mutex mutex_;
    socket_t socket_ = kInvalidSocket;
    SignalPair wake_;
    std::thread thread_;
    bool stopping_ = false;
    std::vector<Interface> interfaces_;
    Clock::time_point next_interface_scan_;
    std::map<QuestionKey, ActiveQuestion> questions_;
    std::map<uint64_t, QuestionKey> watcher_keys_;
    uint64_t next_watcher_id_ = 1;
    std::vector<OneOff> one_offs_;
    std::map<CacheKey, std::vector<CacheEntry>> cache_;
    size_t cache_count_ = 0;
    uint64_t queries_sent_ = 0;
    std::minstd_rand random_;
};

}  // namespace mdns
