// The multicast DNS querier that every service reference of the process
// shares: one port-5353 socket joined to 224.0.0.251 on each multicast
// interface, the record cache, and the questions asked on behalf of the
// references. A background thread receives, expires and sends; it reports
// records through watchers that only queue results for their reference, so
// that callbacks run on the caller's thread when it processes the reference.
//
// The network is not trusted: only responses from the mDNS port and from an
// address on the arrival interface's subnet are read, the cache is bounded
// per sender and in all (see the limits in mdns_engine.cpp), and no sender
// can make the querier send more than one query per question per second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"

namespace mdns {

using Clock = std::chrono::steady_clock;

struct CacheEntry {
    Record record;  // its name as it arrived; the TTL at most kMaxTtl
    uint32_t interface_index = 0;
    uint32_t source = 0;  // the sender's IPv4 address, host order
    Clock::time_point received;
    Clock::time_point expires;
    // Refresh queries go out at 80, 85, 90 and 95 % of the TTL (plus a
    // little jitter); the stage counts those already due.
    int refresh_stage = 0;
    int jitter_percent = 0;
    // Asked about again on a caller's request: left out of known-answer
    // lists, and gone at `expires` unless an answer comes first.
    bool reconfirming = false;
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

// A query seen from another querier, as duplicate-question suppression
// judges it.
struct SeenQuery {
    const Message* message = nullptr;
    uint32_t interface_index = 0;  // where it arrived
    uint16_t source_port = 0;
};

// Whether `seen` asks our question `name`/`type` on `link` for us, so that
// our own next query there can be left out: it must come from the mDNS port
// (a legacy querier's answers go to it alone), arrive on that link, ask the
// question for multicast answers, and list no known answer that we would
// not list ourselves (`ours`, our known answers on that link): otherwise an
// answer we need could be suppressed.
bool query_suppresses_ours(const SeenQuery& seen, const Name& name, uint16_t type, uint32_t link,
                           const std::vector<Record>& ours);

// Whether the source address lies on one of the interface's subnets.
bool on_link(const Interface& netif, uint32_t source_address);

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

    // Queries the matching cached records again (twice, a second apart) and
    // drops them unless an answer comes within about ten seconds. No rdata
    // matches any; for a PTR without rdata, records pointing at `name` match
    // too.
    void reconfirm(const Name& name, uint16_t type, const std::vector<uint8_t>* rdata,
                   uint32_t interface_index);

    // For tests and diagnostics.
    size_t cache_size();
    size_t cache_bytes();
    uint64_t queries_sent();
    uint64_t records_dropped();

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
        // Links on which another querier has asked this for us since our
        // last query: the next one leaves them out.
        std::vector<uint32_t> suppressed_on;
    };
    struct OneOff {
        Name name;
        uint16_t type;
        uint32_t interface_index;
        Clock::time_point due;
    };
    using CacheKey = std::pair<Name, uint16_t>;  // lower-case name, type
    // Within a bucket: the interface index and the rdata (lower case for
    // names), so that a record is found without a scan.
    using EntryKey = std::string;
    using Bucket = std::map<EntryKey, CacheEntry>;
    struct SourceUse {
        size_t entries = 0;
        size_t bytes = 0;
        // Its cached service PTRs whose instance had no SRV record when they
        // came: instances that may never resolve.
        std::vector<std::pair<CacheKey, EntryKey>> unbacked;
        Clock::time_point settled;
    };

    // The lock as the callers' threads take it: the engine's thread lets
    // them in between datagrams.
    class CallerLock {
      public:
        explicit CallerLock(Engine* engine) : engine_(engine) {
            engine_->callers_waiting_.fetch_add(1);
            engine_->mutex_.lock();
            engine_->callers_waiting_.fetch_sub(1);
        }
        ~CallerLock() { engine_->mutex_.unlock(); }
        CallerLock(const CallerLock&) = delete;
        CallerLock& operator=(const CallerLock&) = delete;

      private:
        Engine* engine_;
    };

    Engine();
    bool start();
    void stop();
    void run();

    void scan_interfaces(Clock::time_point now);
    bool within_budget(uint32_t source, Clock::time_point now);
    void handle_datagram(const uint8_t* data, const Datagram& datagram, Clock::time_point now);
    void handle_query(const Message& message, const Datagram& datagram, Clock::time_point now);
    void insert_record(const Record& record, const Message& message, const Datagram& datagram,
                       Clock::time_point now);
    bool admit(const CacheEntry& entry, const CacheKey& key, const EntryKey& entry_key,
               const Message& message);
    bool has_srv(const Name& instance) const;
    void settle_unbacked(SourceUse& use);
    void erase_entry(std::map<CacheKey, Bucket>::iterator bucket, Bucket::iterator entry);
    void notify(const CacheEntry& entry, bool added);
    bool watched(const CacheEntry& entry) const;
    void run_timers(Clock::time_point now);
    void send_due(Clock::time_point now);
    bool question_due(const ActiveQuestion& question, Clock::time_point now) const;
    void send_packet(const Interface& via, const Builder& builder);
    std::vector<Record> known_answers(const Name& name, uint16_t type, uint32_t interface_index,
                                      Clock::time_point now);
    Clock::time_point next_deadline(Clock::time_point now);
    void advance_schedule(ActiveQuestion& question, Clock::time_point now);
    void warn(const char* what, uint32_t source, Clock::time_point now);

    EngineTiming timing_;
    std::mutex mutex_;
    std::atomic<int> callers_waiting_{0};
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
    std::map<CacheKey, Bucket> cache_;
    size_t cache_count_ = 0;
    size_t cache_bytes_ = 0;
    std::map<uint32_t, SourceUse> sources_;
    struct Budget {
        double tokens = 0;
        Clock::time_point at;
    };
    std::map<uint32_t, Budget> budgets_;  // datagrams each sender may still send
    // The earliest expiry or refresh point in the cache, or a little later:
    // the cache is walked only then.
    Clock::time_point next_timer_due_;
    std::map<const char*, Clock::time_point> last_warning_;
    uint64_t queries_sent_ = 0;
    uint64_t records_dropped_ = 0;
    std::minstd_rand random_;
};

}  // namespace mdns
