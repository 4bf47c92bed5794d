#include "avn/dnssd/mdns_engine.h"

#include <algorithm>
#include <cstdio>

namespace mdns {

namespace {

// ---- Bounds ----
// The network feeds the cache, so every part of it has a limit, and a
// flood costs the flooder: once a limit is reached, new records are dropped
// (logged once a minute), while the records already held, those of the
// units already known, stay. What the network can make pile up above the
// cache is bounded where it piles up: results waiting per reference in
// dnssd.cpp, adverts waiting for a resolve in db_adhoc_browse.cpp, and the
// records of a service query in dt_dnssd.cpp.
//
// All records: a large venue network (a thousand devices with a handful of
// services of a few records each) fits in the count; the bytes bound holds
// the worst case (records of ~9 KB, the largest message) to 16 MiB.
constexpr size_t kMaxCacheEntries = 16384;
constexpr size_t kMaxCacheBytes = 16u << 20;
// Records that answer no question of ours are kept (for known-answer lists
// and questions asked later) only while the cache is below this, so that
// traffic about other services never crowds out the records we ask for;
// it is twice a sender's share, so that no one sender takes it all.
constexpr size_t kMaxUnwatchedEntries = 8192;
constexpr size_t kMaxUnwatchedBytes = 8u << 20;
// One sender (by address): a device has a few tens of records, a computer
// with many services or a simulated network of 256 devices under two
// thousand (256 simulated devices have eight records each); a flooding host
// can take no more than this share.
constexpr size_t kMaxSourceEntries = 4096;
constexpr size_t kMaxSourceBytes = 4u << 20;
// Service PTRs from one sender whose instance came without its SRV record:
// a real responder sends the SRV along (RFC 6763 section 12.1), so these are
// instances that may never resolve, and each would hold one of the browser's
// few resolve slots. A sender may have this many outstanding.
constexpr size_t kMaxUnbackedPerSource = 16;
// The longest lifetime a record keeps here, the RFC's longest usual TTL: a
// TTL of up to 2^32 s would let a record outlive its owner by a century.
constexpr uint32_t kMaxTtl = 4500;
// What an entry costs beyond its name and data: the map node, the record's
// fields and the key.
constexpr size_t kEntryOverhead = 192;

// How often a sender at its limit of unbacked PTRs is looked at again.
constexpr auto kSettleInterval = std::chrono::seconds(1);
// Datagrams one sender may have read per second, and in a burst; past them
// its datagrams are dropped unread, so a flooding host costs little more
// than the reads, and answers from everyone else are read in time. Every
// record of a datagram that a bound drops costs one more, so a sender whose
// records are being dropped is soon not read at all. A responder answering
// for a few hundred devices at once stays well within them.
constexpr double kSourceDatagramsPerSecond = 200;
constexpr double kSourceDatagramBurst = 1000;
// Senders whose budget is tracked; idle ones are forgotten first.
constexpr size_t kMaxTrackedSenders = 4096;

// ---- Timing ----
// Datagrams read in one go before timers get their turn.
constexpr int kMaxDatagramsPerWake = 128;
// Questions falling due this close together go out in one packet.
constexpr auto kBatchWindow = std::chrono::milliseconds(15);
// A matching query from elsewhere this soon after our own is our own echo
// (or as good as it).
constexpr auto kOwnEcho = std::chrono::milliseconds(500);
// No question goes out on a link more often than this, whatever the TTLs
// of its answers: refreshes are batched per question.
constexpr auto kMinQueryInterval = std::chrono::seconds(1);
// A reconfirmed record is queried now and once more after this; it goes
// when no answer has come after kReconfirmWait (RFC 6762 section 10.4).
constexpr auto kReconfirmRetry = std::chrono::seconds(1);
constexpr auto kReconfirmWait = std::chrono::seconds(10);
// Reconfirm queries waiting to go out; more are merged or dropped.
constexpr size_t kMaxOneOffs = 256;
// A cache-flush record ends the others of its set received before this.
constexpr auto kFlushAge = std::chrono::seconds(1);
// A goodbye leaves the record this long (RFC 6762 section 10.1), so that a
// goodbye and a fresh announcement crossing each other lose nothing.
constexpr auto kGoodbyeLife = std::chrono::seconds(1);
// The cache is walked for expiries and refreshes at most this often.
constexpr auto kTimerGranularity = std::chrono::milliseconds(50);
// Drops are logged at most this often per kind.
constexpr auto kWarningInterval = std::chrono::seconds(60);

std::mutex g_engine_mutex;
std::weak_ptr<Engine> g_engine;

uint8_t lower_byte(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c - 'A' + 'a') : c;
}

// Names in PTR and CNAME data compare without regard to letter case.
bool same_rdata(uint16_t type, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (type != kTypePtr && type != kTypeCname) {
        return a == b;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower_byte(a[i]) != lower_byte(b[i])) {
            return false;
        }
    }
    return true;
}

std::string entry_key(uint32_t interface_index, uint16_t type, const std::vector<uint8_t>& rdata) {
    std::string key;
    key.reserve(4 + rdata.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        key.push_back(static_cast<char>(static_cast<uint8_t>(interface_index >> shift)));
    }
    const bool fold = type == kTypePtr || type == kTypeCname;
    for (const uint8_t byte : rdata) {
        key.push_back(static_cast<char>(fold ? lower_byte(byte) : byte));
    }
    return key;
}

size_t cost_of(const Record& record) {
    return record.name.size() + record.rdata.size() + kEntryOverhead;
}

Clock::time_point refresh_point(const CacheEntry& entry) {
    const auto ttl_ms = std::chrono::milliseconds(uint64_t{entry.record.ttl} * 1000);
    const int percent = 80 + 5 * entry.refresh_stage + entry.jitter_percent;
    return entry.received + ttl_ms * percent / 100;
}

bool same_record(const Record& a, const Record& b) {
    return a.type == b.type && names_equal(a.name, b.name) && same_rdata(a.type, a.rdata, b.rdata);
}

// The instance a service PTR points at ("name._app._udp.local"), or false
// for other PTRs (reverse mappings, service type enumeration).
bool service_instance(const Record& record, Name* instance) {
    if (record.type != kTypePtr || !ptr_target(record.rdata, instance)) {
        return false;
    }
    const std::vector<std::string> labels = name_labels(*instance);
    return labels.size() >= 4 && labels[1].size() > 1 && labels[1][0] == '_' &&
           (labels[2] == "_udp" || labels[2] == "_tcp");
}

}  // namespace

bool query_suppresses_ours(const SeenQuery& seen, const Name& name, uint16_t type, uint32_t link,
                           const std::vector<Record>& ours) {
    if (seen.message == nullptr || seen.source_port != kPort || seen.interface_index != link) {
        return false;
    }
    const bool asked = std::any_of(
        seen.message->questions.begin(), seen.message->questions.end(), [&](const Question& q) {
            return !q.unicast_response && (q.type == type || q.type == kTypeAny) &&
                   names_equal(q.name, name);
        });
    if (!asked) {
        return false;
    }
    // Every known answer they list for this question must be one of ours.
    return std::all_of(
        seen.message->answers.begin(), seen.message->answers.end(), [&](const Record& theirs) {
            if (theirs.type != type || !names_equal(theirs.name, name)) {
                return true;  // answers another question of theirs
            }
            return std::any_of(ours.begin(), ours.end(),
                               [&](const Record& mine) { return same_record(mine, theirs); });
        });
}

bool on_link(const Interface& netif, uint32_t source_address) {
    for (const Subnet& subnet : netif.subnets) {
        if ((source_address & subnet.mask) == (subnet.address & subnet.mask)) {
            return true;
        }
    }
    return false;
}

bool Engine::QuestionKey::operator<(const QuestionKey& other) const {
    if (type != other.type) {
        return type < other.type;
    }
    if (interface_index != other.interface_index) {
        return interface_index < other.interface_index;
    }
    return lower < other.lower;
}

std::shared_ptr<Engine> Engine::acquire() {
    const std::lock_guard<std::mutex> lock(g_engine_mutex);
    std::shared_ptr<Engine> engine = g_engine.lock();
    if (engine) {
        return engine;
    }
    engine.reset(new Engine());
    if (!engine->start()) {
        return nullptr;
    }
    g_engine = engine;
    return engine;
}

std::shared_ptr<Engine> Engine::running() {
    const std::lock_guard<std::mutex> lock(g_engine_mutex);
    return g_engine.lock();
}

Engine::Engine() : random_(static_cast<uint32_t>(Clock::now().time_since_epoch().count())) {
    platform_startup();
}

Engine::~Engine() {
    stop();
    platform_cleanup();
}

bool Engine::start() {
    socket_ = open_multicast_socket(kPort);
    if (socket_ == kInvalidSocket || !signal_open(&wake_)) {
        close_socket(&socket_);
        return false;
    }
    scan_interfaces(Clock::now());
    next_timer_due_ = Clock::now();
    thread_ = std::thread([this] { run(); });
    return true;
}

void Engine::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable()) {
        signal_raise(wake_);
        thread_.join();
    }
    close_socket(&socket_);
    signal_close(&wake_);
}

void Engine::scan_interfaces(Clock::time_point now) {
    const std::vector<Interface> found = multicast_interfaces();
    for (const Interface& netif : found) {
        const bool known =
            std::any_of(interfaces_.begin(), interfaces_.end(), [&](const Interface& i) {
                return i.index == netif.index && i.address == netif.address;
            });
        if (!known) {
            join_group(socket_, netif);
        }
    }
    interfaces_ = found;
    next_interface_scan_ = now + timing_.interface_scan;
}

uint64_t Engine::add_question(const Name& name, uint16_t type, uint32_t interface_index,
                              Watcher watcher) {
    const CallerLock lock(this);
    const Clock::time_point now = Clock::now();
    const QuestionKey key{name_lower(name), type, interface_index};
    auto [it, inserted] = questions_.try_emplace(key);
    ActiveQuestion& question = it->second;
    if (inserted) {
        question.name = name;
        question.type = type;
        question.interface_index = interface_index;
        // The first query waits a little so that questions asked together
        // share a packet.
        question.next_send = now + std::chrono::milliseconds(20 + random_() % 30);
        question.interval = timing_.first_interval;
    }
    const uint64_t id = next_watcher_id_++;
    question.watchers.emplace_back(id, watcher);
    watcher_keys_.emplace(id, key);
    const auto bucket = cache_.find(CacheKey{key.lower, type});
    if (bucket != cache_.end()) {
        for (const auto& [entry_key, entry] : bucket->second) {
            if (interface_index == 0 || entry.interface_index == interface_index) {
                watcher(entry, true);
            }
        }
    }
    // Cached answers now have a question to refresh them for.
    next_timer_due_ = now;
    signal_raise(wake_);
    return id;
}

void Engine::remove_question(uint64_t id) {
    const CallerLock lock(this);
    const auto key = watcher_keys_.find(id);
    if (key == watcher_keys_.end()) {
        return;
    }
    const auto question = questions_.find(key->second);
    if (question != questions_.end()) {
        auto& watchers = question->second.watchers;
        watchers.erase(std::remove_if(watchers.begin(), watchers.end(),
                                      [id](const auto& w) { return w.first == id; }),
                       watchers.end());
        if (watchers.empty()) {
            questions_.erase(question);
        }
    }
    watcher_keys_.erase(key);
}

void Engine::reconfirm(const Name& name, uint16_t type, const std::vector<uint8_t>* rdata,
                       uint32_t interface_index) {
    const CallerLock lock(this);
    const Clock::time_point now = Clock::now();
    const bool by_target = type == kTypePtr && (rdata == nullptr || rdata->empty());
    const Name lower = name_lower(name);
    auto schedule = [&](const Name& asked, uint32_t index, Clock::time_point due) {
        const bool merged = std::any_of(one_offs_.begin(), one_offs_.end(), [&](const OneOff& o) {
            return o.type == type && o.interface_index == index && o.due == due &&
                   names_equal(o.name, asked);
        });
        if (merged) {
            return;
        }
        if (one_offs_.size() >= kMaxOneOffs) {
            warn("reconfirm queries dropped: too many waiting", 0, now);
            return;
        }
        one_offs_.push_back(OneOff{asked, type, index, due});
    };
    // Queries due together go out together; rounding to the batch window
    // lets reconfirms asked in one pass share their two queries.
    const auto first = now;
    for (auto& [key, entries] : cache_) {
        if (key.second != type) {
            continue;
        }
        const bool same_name = key.first == lower;
        if (!same_name && !by_target) {
            continue;
        }
        for (auto& [entry_key, entry] : entries) {
            if (interface_index != 0 && entry.interface_index != interface_index) {
                continue;
            }
            bool match = same_name && (rdata == nullptr || rdata->empty() ||
                                       same_rdata(type, entry.record.rdata, *rdata));
            if (!match && by_target) {
                match =
                    names_equal(Name(entry.record.rdata.begin(), entry.record.rdata.end()), name);
            }
            if (!match) {
                continue;
            }
            entry.reconfirming = true;
            entry.expires = std::min(entry.expires, now + kReconfirmWait);
            entry.refresh_stage = 4;
            next_timer_due_ = std::min(next_timer_due_, entry.expires);
            schedule(entry.record.name, entry.interface_index, first);
            schedule(entry.record.name, entry.interface_index, first + kReconfirmRetry);
        }
    }
    signal_raise(wake_);
}

size_t Engine::cache_size() {
    const CallerLock lock(this);
    return cache_count_;
}

size_t Engine::cache_bytes() {
    const CallerLock lock(this);
    return cache_bytes_;
}

uint64_t Engine::queries_sent() {
    const CallerLock lock(this);
    return queries_sent_;
}

uint64_t Engine::records_dropped() {
    const CallerLock lock(this);
    return records_dropped_;
}

void Engine::warn(const char* what, uint32_t source, Clock::time_point now) {
    ++records_dropped_;
    auto [it, first] = last_warning_.try_emplace(what, now);
    if (!first && now - it->second < kWarningInterval) {
        return;
    }
    it->second = now;
    std::fprintf(stderr,
                 "Warning: mdns: %s (latest from %u.%u.%u.%u); further drops of this kind are "
                 "not logged for a minute\n",
                 what, source >> 24, (source >> 16) & 0xFF, (source >> 8) & 0xFF, source & 0xFF);
}

// ---- The engine's thread ----

void Engine::run() {
    std::vector<uint8_t> buffer(kMaxMessageSize);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        if (now >= next_interface_scan_) {
            scan_interfaces(now);
        }
        run_timers(now);
        send_due(now);
        const Clock::time_point deadline = next_deadline(now);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        const int timeout_ms = static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 0, 60000));
        lock.unlock();
        const socket_t sockets[2] = {socket_, wake_.reader};
        bool ready[2] = {false, false};
        if (!wait_readable(sockets, 2, timeout_ms, ready)) {
            // Keep a failing wait from spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (ready[1]) {
            signal_drain(wake_);
        }
        lock.lock();
        if (!ready[0]) {
            continue;
        }
        for (int i = 0; i < kMaxDatagramsPerWake && !stopping_; ++i) {
            Datagram datagram;
            lock.unlock();
            // A caller waiting for the lock gets it first: a busy network
            // must not hold up the thread that steps the runtime.
            for (int turns = 0; callers_waiting_.load() > 0 && turns < 1000; ++turns) {
                std::this_thread::yield();
            }
            const bool got = receive(socket_, buffer.data(), buffer.size(), &datagram);
            lock.lock();
            if (!got) {
                break;
            }
            handle_datagram(buffer.data(), datagram, Clock::now());
        }
    }
}

bool Engine::within_budget(uint32_t source, Clock::time_point now) {
    auto found = budgets_.find(source);
    if (found == budgets_.end()) {
        if (budgets_.size() >= kMaxTrackedSenders) {
            // Forget the senders whose budget has refilled: they owe nothing.
            for (auto it = budgets_.begin(); it != budgets_.end();) {
                const double seconds = std::chrono::duration<double>(now - it->second.at).count();
                const bool full =
                    it->second.tokens + seconds * kSourceDatagramsPerSecond >= kSourceDatagramBurst;
                it = full ? budgets_.erase(it) : std::next(it);
            }
            if (budgets_.size() >= kMaxTrackedSenders) {
                return false;
            }
        }
        found = budgets_.emplace(source, Budget{kSourceDatagramBurst, now}).first;
    }
    Budget& budget = found->second;
    const double seconds = std::chrono::duration<double>(now - budget.at).count();
    budget.tokens =
        std::min(kSourceDatagramBurst, budget.tokens + seconds * kSourceDatagramsPerSecond);
    budget.at = now;
    if (budget.tokens < 1) {
        return false;
    }
    budget.tokens -= 1;
    return true;
}

void Engine::handle_datagram(const uint8_t* data, const Datagram& datagram, Clock::time_point now) {
    if (!within_budget(datagram.source_address, now)) {
        warn("datagrams dropped unread: the sender sends too fast", datagram.source_address, now);
        return;
    }
    Message message;
    if (datagram.length == 0 || !parse_message({data, datagram.length}, &message)) {
        return;
    }
    if ((message.flags & (kOpcodeMask | kRcodeMask)) != 0) {
        return;
    }
    if (!message.is_response()) {
        handle_query(message, datagram, now);
        return;
    }
    // Responses come from the mDNS port (we ask no unicast questions) and
    // from the link they arrive on (RFC 6762 section 11): anything else
    // could inject units, addresses or goodbyes from afar.
    if (datagram.source_port != kPort) {
        return;
    }
    // Where the platform cannot tell the arrival interface (index 0), the
    // sender must still be on the link of one of ours.
    const auto arrival =
        std::find_if(interfaces_.begin(), interfaces_.end(), [&](const Interface& i) {
            return (datagram.interface_index == 0 || i.index == datagram.interface_index) &&
                   on_link(i, datagram.source_address);
        });
    if (arrival == interfaces_.end()) {
        warn("responses dropped: not from the link they arrived on", datagram.source_address, now);
        return;
    }
    const uint64_t dropped_before = records_dropped_;
    for (const Record& record : message.answers) {
        insert_record(record, message, datagram, now);
    }
    for (const Record& record : message.additionals) {
        insert_record(record, message, datagram, now);
    }
    const auto budget = budgets_.find(datagram.source_address);
    if (budget != budgets_.end()) {
        budget->second.tokens -= static_cast<double>(records_dropped_ - dropped_before);
    }
}

void Engine::handle_query(const Message& message, const Datagram& datagram, Clock::time_point now) {
    // Duplicate question suppression: another querier asking what we are
    // about to ask, on the same link, without listing an answer we lack,
    // asks for us there.
    const SeenQuery seen{&message, datagram.interface_index, datagram.source_port};
    for (const Question& asked : message.questions) {
        for (const uint32_t index : {datagram.interface_index, 0u}) {
            const auto found =
                questions_.find(QuestionKey{name_lower(asked.name), asked.type, index});
            if (found == questions_.end()) {
                continue;
            }
            ActiveQuestion& question = found->second;
            if (now - question.last_sent < kOwnEcho) {
                continue;
            }
            const std::vector<Record> ours =
                known_answers(question.name, question.type, datagram.interface_index, now);
            if (query_suppresses_ours(seen, question.name, question.type, datagram.interface_index,
                                      ours) &&
                std::find(question.suppressed_on.begin(), question.suppressed_on.end(),
                          datagram.interface_index) == question.suppressed_on.end()) {
                question.suppressed_on.push_back(datagram.interface_index);
            }
        }
    }
}

bool Engine::has_srv(const Name& instance) const {
    const auto bucket = cache_.find(CacheKey{name_lower(instance), kTypeSrv});
    return bucket != cache_.end() && !bucket->second.empty();
}

// Forgets the unbacked PTRs that have left the cache or whose instance has
// an SRV record by now.
void Engine::settle_unbacked(SourceUse& use) {
    auto& list = use.unbacked;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::pair<CacheKey, EntryKey>& held) {
                                  const auto bucket = cache_.find(held.first);
                                  if (bucket == cache_.end()) {
                                      return true;
                                  }
                                  const auto entry = bucket->second.find(held.second);
                                  Name instance;
                                  return entry == bucket->second.end() ||
                                         !service_instance(entry->second.record, &instance) ||
                                         has_srv(instance);
                              }),
               list.end());
}

// Whether a new record may enter the cache; drops (with a warning) when a
// bound is reached.
bool Engine::admit(const CacheEntry& entry, const CacheKey& key, const EntryKey& entry_key,
                   const Message& message) {
    const Clock::time_point now = entry.received;
    const size_t cost = cost_of(entry.record);
    SourceUse& use = sources_[entry.source];
    if (use.entries >= kMaxSourceEntries || use.bytes + cost > kMaxSourceBytes) {
        warn("records dropped: the sender's share of the cache is full", entry.source, now);
        return false;
    }
    const bool wanted = watched(entry);
    const size_t entry_limit = wanted ? kMaxCacheEntries : kMaxUnwatchedEntries;
    const size_t byte_limit = wanted ? kMaxCacheBytes : kMaxUnwatchedBytes;
    if (cache_count_ >= entry_limit || cache_bytes_ + cost > byte_limit) {
        if (wanted) {
            warn("records dropped: the cache is full", entry.source, now);
        } else {
            ++records_dropped_;  // traffic about others' services: not worth a line
        }
        return false;
    }
    Name instance;
    if (service_instance(entry.record, &instance) && !has_srv(instance)) {
        const bool srv_along =
            std::any_of(message.additionals.begin(), message.additionals.end(),
                        [&](const Record& r) {
                            return r.type == kTypeSrv && names_equal(r.name, instance);
                        }) ||
            std::any_of(message.answers.begin(), message.answers.end(), [&](const Record& r) {
                return r.type == kTypeSrv && names_equal(r.name, instance);
            });
        if (!srv_along) {
            // Settling walks the list, so a sender at its limit is looked
            // at again only now and then.
            if (use.unbacked.size() >= kMaxUnbackedPerSource &&
                now - use.settled >= kSettleInterval) {
                use.settled = now;
                settle_unbacked(use);
            }
            if (use.unbacked.size() >= kMaxUnbackedPerSource) {
                warn("service instances dropped: the sender has too many without an SRV record",
                     entry.source, now);
                return false;
            }
            use.unbacked.emplace_back(key, entry_key);
        }
    }
    return true;
}

void Engine::erase_entry(std::map<CacheKey, Bucket>::iterator bucket, Bucket::iterator entry) {
    const CacheEntry gone = std::move(entry->second);
    bucket->second.erase(entry);
    if (bucket->second.empty()) {
        cache_.erase(bucket);
    }
    --cache_count_;
    const size_t cost = cost_of(gone.record);
    cache_bytes_ -= cost;
    const auto use = sources_.find(gone.source);
    if (use != sources_.end()) {
        use->second.entries -= 1;
        use->second.bytes -= cost;
        if (use->second.entries == 0) {
            sources_.erase(use);
        }
    }
    notify(gone, false);
}

void Engine::insert_record(const Record& arrived, const Message& message, const Datagram& datagram,
                           Clock::time_point now) {
    if (arrived.rrclass != kClassIn) {
        return;
    }
    Record record = arrived;
    record.ttl = std::min(record.ttl, kMaxTtl);
    const uint32_t interface_index = datagram.interface_index;
    const CacheKey key{name_lower(record.name), record.type};
    const EntryKey ekey = entry_key(interface_index, record.type, record.rdata);
    auto bucket = cache_.find(key);
    if (bucket != cache_.end() && record.cache_flush && record.ttl != 0) {
        // The sender owns the whole set: older members it did not repeat go.
        for (auto& [other_key, entry] : bucket->second) {
            if (entry.interface_index == interface_index && now - entry.received > kFlushAge &&
                other_key != ekey) {
                entry.expires = std::min(entry.expires, now + kFlushAge);
                entry.refresh_stage = 4;
                next_timer_due_ = std::min(next_timer_due_, entry.expires);
            }
        }
    }
    if (bucket != cache_.end()) {
        const auto found = bucket->second.find(ekey);
        if (found != bucket->second.end()) {
            CacheEntry& entry = found->second;
            if (record.ttl == 0) {
                // A goodbye: the record goes in a second.
                entry.record.ttl = 1;
                entry.expires = std::min(entry.expires, now + kGoodbyeLife);
                entry.refresh_stage = 4;
                entry.reconfirming = false;
            } else {
                entry.record.ttl = record.ttl;
                entry.received = now;
                entry.expires = now + std::chrono::seconds(record.ttl);
                entry.refresh_stage = 0;
                entry.reconfirming = false;
            }
            next_timer_due_ =
                std::min(next_timer_due_, std::min(entry.expires, refresh_point(entry)));
            return;
        }
    }
    if (record.ttl == 0) {
        return;
    }
    CacheEntry entry;
    entry.record = std::move(record);
    entry.interface_index = interface_index;
    entry.source = datagram.source_address;
    entry.received = now;
    entry.expires = now + std::chrono::seconds(entry.record.ttl);
    entry.jitter_percent = static_cast<int>(random_() % 3);
    if (!admit(entry, key, ekey, message)) {
        return;
    }
    const size_t cost = cost_of(entry.record);
    SourceUse& use = sources_[entry.source];
    use.entries += 1;
    use.bytes += cost;
    if (entry.record.type == kTypeSrv && !use.unbacked.empty()) {
        // The instance of an unbacked PTR has come (often in the next packet
        // of the same response): it no longer counts.
        const Name instance = name_lower(entry.record.name);
        auto& list = use.unbacked;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::pair<CacheKey, EntryKey>& held) {
                                      return held.second.size() == 4 + instance.size() &&
                                             held.second.compare(4, std::string::npos, instance) ==
                                                 0;
                                  }),
                   list.end());
    }
    ++cache_count_;
    cache_bytes_ += cost;
    next_timer_due_ = std::min(next_timer_due_, std::min(entry.expires, refresh_point(entry)));
    CacheEntry& stored = cache_[key].emplace(ekey, std::move(entry)).first->second;
    notify(stored, true);
}

bool Engine::watched(const CacheEntry& entry) const {
    const Name lower = name_lower(entry.record.name);
    return questions_.count(QuestionKey{lower, entry.record.type, entry.interface_index}) != 0 ||
           questions_.count(QuestionKey{lower, entry.record.type, 0}) != 0;
}

void Engine::notify(const CacheEntry& entry, bool added) {
    const Name lower = name_lower(entry.record.name);
    for (const uint32_t index : {entry.interface_index, 0u}) {
        const auto found = questions_.find(QuestionKey{lower, entry.record.type, index});
        if (found == questions_.end()) {
            continue;
        }
        for (const auto& [id, watcher] : found->second.watchers) {
            watcher(entry, added);
        }
        if (entry.interface_index == 0) {
            break;
        }
    }
}

// Expiries and refreshes. The cache is walked only when its earliest point
// is due, and then at most every kTimerGranularity; only records that
// answer a question of ours are refreshed, each question once for all its
// records (see send_due).
void Engine::run_timers(Clock::time_point now) {
    if (now < next_timer_due_) {
        return;
    }
    Clock::time_point next = now + std::chrono::hours(1);
    for (auto bucket = cache_.begin(); bucket != cache_.end();) {
        const auto bucket_key = bucket->first;
        ActiveQuestion* askers[2] = {nullptr, nullptr};
        bool bucket_gone = false;
        for (auto it = bucket->second.begin(); it != bucket->second.end();) {
            CacheEntry& entry = it->second;
            if (entry.expires <= now) {
                const bool last = bucket->second.size() == 1;
                auto following = std::next(it);
                erase_entry(bucket, it);
                if (last) {
                    bucket_gone = true;
                    break;
                }
                it = following;
                continue;
            }
            next = std::min(next, entry.expires);
            askers[0] = nullptr;
            askers[1] = nullptr;
            for (int i = 0; i < 2; ++i) {
                const uint32_t index = i == 0 ? entry.interface_index : 0u;
                const auto found =
                    questions_.find(QuestionKey{bucket_key.first, bucket_key.second, index});
                if (found != questions_.end()) {
                    askers[i] = &found->second;
                }
            }
            if (askers[0] == nullptr && askers[1] == nullptr) {
                ++it;
                continue;
            }
            if (entry.refresh_stage < 4 && refresh_point(entry) <= now) {
                ++entry.refresh_stage;
                for (ActiveQuestion* asker : askers) {
                    if (asker != nullptr) {
                        asker->refresh_due = true;
                    }
                }
            }
            if (entry.refresh_stage < 4) {
                next = std::min(next, refresh_point(entry));
            }
            ++it;
        }
        if (bucket_gone) {
            bucket = cache_.upper_bound(bucket_key);
        } else {
            ++bucket;
        }
    }
    next_timer_due_ = std::max(next, now + kTimerGranularity);
}

bool Engine::question_due(const ActiveQuestion& question, Clock::time_point now) const {
    if (now - question.last_sent < kMinQueryInterval - kBatchWindow) {
        return false;
    }
    return question.refresh_due || question.next_send <= now + kBatchWindow;
}

Clock::time_point Engine::next_deadline(Clock::time_point now) {
    Clock::time_point next = std::min(next_interface_scan_, now + std::chrono::seconds(60));
    next = std::min(next, next_timer_due_);
    for (const OneOff& one : one_offs_) {
        next = std::min(next, one.due);
    }
    for (const auto& [key, question] : questions_) {
        const Clock::time_point wanted = question.refresh_due ? now : question.next_send;
        next = std::min(next, std::max(wanted, question.last_sent + kMinQueryInterval));
    }
    return next;
}

void Engine::advance_schedule(ActiveQuestion& question, Clock::time_point now) {
    question.last_sent = now;
    question.next_send = now + question.interval;
    question.interval = std::min<Clock::duration>(question.interval * 2, timing_.max_interval);
}

std::vector<Record> Engine::known_answers(const Name& name, uint16_t type, uint32_t interface_index,
                                          Clock::time_point now) {
    std::vector<Record> answers;
    const auto bucket = cache_.find(CacheKey{name_lower(name), type});
    if (bucket == cache_.end()) {
        return answers;
    }
    for (const auto& [key, entry] : bucket->second) {
        if (entry.interface_index != interface_index || entry.reconfirming) {
            continue;
        }
        // Only records with more than half their lifetime left are listed;
        // the others should be sent again by their owner.
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(entry.expires - now);
        if (left.count() * 2 <= int64_t{entry.record.ttl}) {
            continue;
        }
        Record known = entry.record;
        known.ttl = static_cast<uint32_t>(left.count());
        known.cache_flush = false;
        answers.push_back(std::move(known));
    }
    return answers;
}

void Engine::send_packet(const Interface& via, const Builder& builder) {
    const std::vector<uint8_t> bytes = builder.finish();
    send_to(socket_, via, bytes.data(), bytes.size(), kGroupAddress, kPort);
    ++queries_sent_;
}

void Engine::send_due(Clock::time_point now) {
    std::vector<ActiveQuestion*> due;
    for (auto& [key, question] : questions_) {
        if (question_due(question, now)) {
            due.push_back(&question);
        }
    }
    std::vector<OneOff> one_offs;
    for (auto it = one_offs_.begin(); it != one_offs_.end();) {
        if (it->due <= now + kBatchWindow) {
            one_offs.push_back(std::move(*it));
            it = one_offs_.erase(it);
        } else {
            ++it;
        }
    }
    if (due.empty() && one_offs.empty()) {
        return;
    }
    for (const Interface& netif : interfaces_) {
        Builder builder(0, 0);
        std::vector<Record> known;
        // Sends what has been gathered: the questions with as many known
        // answers as fit, the rest in follow-up packets marked truncated.
        auto flush = [&]() {
            for (const Record& record : known) {
                if (builder.add_record(Section::Answer, record)) {
                    continue;
                }
                builder.set_flags(kFlagTruncated);
                send_packet(netif, builder);
                builder = Builder(0, 0);
                builder.add_record(Section::Answer, record);
            }
            if (!builder.empty()) {
                send_packet(netif, builder);
            }
            builder = Builder(0, 0);
            known.clear();
        };
        std::vector<std::pair<Name, uint16_t>> asked;
        auto ask = [&](const Name& name, uint16_t type) {
            const bool twice = std::any_of(asked.begin(), asked.end(), [&](const auto& a) {
                return a.second == type && names_equal(a.first, name);
            });
            if (twice) {
                return;
            }
            Question question;
            question.name = name;
            question.type = type;
            if (!builder.add_question(question)) {
                flush();
                if (!builder.add_question(question)) {
                    return;
                }
            }
            asked.emplace_back(name, type);
            std::vector<Record> answers = known_answers(name, type, netif.index, now);
            known.insert(known.end(), std::make_move_iterator(answers.begin()),
                         std::make_move_iterator(answers.end()));
        };
        for (ActiveQuestion* question : due) {
            const bool here =
                question->interface_index == 0 || question->interface_index == netif.index;
            const bool suppressed =
                std::find(question->suppressed_on.begin(), question->suppressed_on.end(),
                          netif.index) != question->suppressed_on.end();
            if (here && !suppressed) {
                ask(question->name, question->type);
            }
        }
        for (const OneOff& one : one_offs) {
            if (one.interface_index == 0 || one.interface_index == netif.index) {
                ask(one.name, one.type);
            }
        }
        flush();
    }
    for (ActiveQuestion* question : due) {
        if (question->next_send <= now + kBatchWindow) {
            advance_schedule(*question, now);
        } else {
            // A refresh asks everything the scheduled query would: the
            // scheduled one waits its interval from here, rather than take
            // the one query a second that the next refresh may need (with
            // short TTLs it came between two refreshes, and the record ran
            // out before the next could go).
            question->last_sent = now;
            question->next_send = std::max(question->next_send, now + question->interval);
        }
        question->refresh_due = false;
        question->suppressed_on.clear();
    }
}

}  // namespace mdns
