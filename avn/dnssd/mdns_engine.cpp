#include "avn/dnssd/mdns_engine.h"

#include <algorithm>

namespace mdns {

namespace {

// More records than this are not cached unless a question asks for them,
// so a flood of adverts cannot take all memory.
constexpr size_t kMaxCacheEntries = 32768;
// Datagrams read in one go before timers get their turn.
constexpr int kMaxDatagramsPerWake = 128;
// Questions falling due this close together go out in one packet.
constexpr auto kBatchWindow = std::chrono::milliseconds(15);
// A matching query from elsewhere this soon after our own is our own echo
// (or as good as it).
constexpr auto kOwnEcho = std::chrono::milliseconds(500);
// A reconfirmed record that no answer refreshes goes after this long.
constexpr auto kReconfirmWait = std::chrono::seconds(3);
// A cache-flush record ends the others of its set received before this.
constexpr auto kFlushAge = std::chrono::seconds(1);

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

Clock::time_point refresh_point(const CacheEntry& entry) {
    const auto ttl_ms = std::chrono::milliseconds(uint64_t{entry.record.ttl} * 1000);
    const int percent = 80 + 5 * entry.refresh_stage + entry.jitter_percent;
    return entry.received + ttl_ms * percent / 100;
}

}  // namespace

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
    const std::lock_guard<std::mutex> lock(mutex_);
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
        for (const CacheEntry& entry : bucket->second) {
            if (interface_index == 0 || entry.interface_index == interface_index) {
                watcher(entry, true);
            }
        }
    }
    signal_raise(wake_);
    return id;
}

void Engine::remove_question(uint64_t id) {
    const std::lock_guard<std::mutex> lock(mutex_);
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
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    const bool by_target = type == kTypePtr && (rdata == nullptr || rdata->empty());
    for (auto& [key, entries] : cache_) {
        if (key.second != type) {
            continue;
        }
        const bool same_name = key.first == name_lower(name);
        for (CacheEntry& entry : entries) {
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
            entry.expires = std::min(entry.expires, now + kReconfirmWait);
            entry.refresh_stage = 4;
            one_offs_.push_back(OneOff{entry.record.name, type, entry.interface_index});
        }
    }
    signal_raise(wake_);
}

size_t Engine::cache_size() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return cache_count_;
}

uint64_t Engine::queries_sent() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queries_sent_;
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
            const bool got = receive(socket_, buffer.data(), buffer.size(), &datagram);
            lock.lock();
            if (!got) {
                break;
            }
            handle_datagram(buffer.data(), datagram, Clock::now());
        }
    }
}

void Engine::handle_datagram(const uint8_t* data, const Datagram& datagram, Clock::time_point now) {
    Message message;
    if (datagram.length == 0 || !parse_message({data, datagram.length}, &message)) {
        return;
    }
    if ((message.flags & (kOpcodeMask | kRcodeMask)) != 0) {
        return;
    }
    if (!message.is_response()) {
        handle_query(message, datagram.interface_index, now);
        return;
    }
    // Responses come from the mDNS port; anything else is not mDNS.
    if (datagram.source_port != kPort) {
        return;
    }
    for (const Record& record : message.answers) {
        insert_record(record, datagram.interface_index, now);
    }
    for (const Record& record : message.additionals) {
        insert_record(record, datagram.interface_index, now);
    }
}

void Engine::handle_query(const Message& message, uint32_t interface_index, Clock::time_point now) {
    // Duplicate question suppression: another querier asking what we are
    // about to ask, and knowing at least what we know, asks for us.
    for (const Question& asked : message.questions) {
        if (asked.unicast_response) {
            continue;
        }
        for (const uint32_t index : {interface_index, 0u}) {
            const auto found =
                questions_.find(QuestionKey{name_lower(asked.name), asked.type, index});
            if (found == questions_.end()) {
                continue;
            }
            ActiveQuestion& question = found->second;
            if (now - question.last_sent < kOwnEcho) {
                continue;
            }
            const std::vector<Record> ours = known_answers(question, interface_index, now);
            const bool covered = std::all_of(ours.begin(), ours.end(), [&](const Record& mine) {
                return std::any_of(
                    message.answers.begin(), message.answers.end(), [&](const Record& theirs) {
                        return theirs.type == mine.type && names_equal(theirs.name, mine.name) &&
                               same_rdata(mine.type, theirs.rdata, mine.rdata);
                    });
            });
            if (covered) {
                advance_schedule(question, now);
            }
        }
    }
}

void Engine::insert_record(const Record& record, uint32_t interface_index, Clock::time_point now) {
    if (record.rrclass != kClassIn) {
        return;
    }
    const CacheKey key{name_lower(record.name), record.type};
    auto bucket = cache_.find(key);
    if (bucket != cache_.end() && record.cache_flush) {
        // The sender owns the whole set: older members it did not repeat go.
        for (CacheEntry& entry : bucket->second) {
            if (entry.interface_index == interface_index && now - entry.received > kFlushAge &&
                !same_rdata(record.type, entry.record.rdata, record.rdata)) {
                entry.expires = std::min(entry.expires, now + kFlushAge);
                entry.refresh_stage = 4;
            }
        }
    }
    if (bucket != cache_.end()) {
        auto& entries = bucket->second;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->interface_index != interface_index ||
                !same_rdata(record.type, it->record.rdata, record.rdata)) {
                continue;
            }
            if (record.ttl == 0) {
                // A goodbye: the record goes at once.
                const CacheEntry gone = std::move(*it);
                entries.erase(it);
                --cache_count_;
                if (entries.empty()) {
                    cache_.erase(bucket);
                }
                notify(gone, false);
                return;
            }
            it->record.ttl = record.ttl;
            it->received = now;
            it->expires = now + std::chrono::seconds(record.ttl);
            it->refresh_stage = 0;
            return;
        }
    }
    if (record.ttl == 0) {
        return;
    }
    CacheEntry entry;
    entry.record = record;
    entry.interface_index = interface_index;
    entry.received = now;
    entry.expires = now + std::chrono::seconds(record.ttl);
    entry.jitter_percent = static_cast<int>(random_() % 3);
    if (cache_count_ >= kMaxCacheEntries && !watched(entry)) {
        return;
    }
    auto& entries = cache_[key];
    entries.push_back(std::move(entry));
    ++cache_count_;
    notify(entries.back(), true);
}

bool Engine::watched(const CacheEntry& entry) {
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

void Engine::run_timers(Clock::time_point now) {
    for (auto bucket = cache_.begin(); bucket != cache_.end();) {
        auto& entries = bucket->second;
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->expires <= now) {
                const CacheEntry gone = std::move(*it);
                it = entries.erase(it);
                --cache_count_;
                notify(gone, false);
                continue;
            }
            if (it->refresh_stage < 4 && refresh_point(*it) <= now) {
                ++it->refresh_stage;
                const Name lower = name_lower(it->record.name);
                for (const uint32_t index : {it->interface_index, 0u}) {
                    const auto found = questions_.find(QuestionKey{lower, it->record.type, index});
                    if (found != questions_.end()) {
                        found->second.refresh_due = true;
                    }
                }
            }
            ++it;
        }
        bucket = entries.empty() ? cache_.erase(bucket) : std::next(bucket);
    }
}

Clock::time_point Engine::next_deadline(Clock::time_point now) {
    Clock::time_point next = std::min(next_interface_scan_, now + std::chrono::seconds(60));
    if (!one_offs_.empty()) {
        return now;
    }
    for (const auto& [key, question] : questions_) {
        next = std::min(next, question.refresh_due ? now : question.next_send);
    }
    for (const auto& [key, entries] : cache_) {
        for (const CacheEntry& entry : entries) {
            next = std::min(next, entry.expires);
            if (entry.refresh_stage < 4) {
                next = std::min(next, refresh_point(entry));
            }
        }
    }
    return next;
}

void Engine::advance_schedule(ActiveQuestion& question, Clock::time_point now) {
    question.last_sent = now;
    question.next_send = now + question.interval;
    question.interval = std::min<Clock::duration>(question.interval * 2, timing_.max_interval);
}

std::vector<Record> Engine::known_answers(const ActiveQuestion& question, uint32_t interface_index,
                                          Clock::time_point now) {
    std::vector<Record> answers;
    const auto bucket = cache_.find(CacheKey{name_lower(question.name), question.type});
    if (bucket == cache_.end()) {
        return answers;
    }
    for (const CacheEntry& entry : bucket->second) {
        if (entry.interface_index != interface_index) {
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
        if (question.refresh_due || question.next_send <= now + kBatchWindow) {
            due.push_back(&question);
        }
    }
    if (due.empty() && one_offs_.empty()) {
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
        auto ask = [&](const Name& name, uint16_t type, std::vector<Record> answers) {
            Question question;
            question.name = name;
            question.type = type;
            if (!builder.add_question(question)) {
                flush();
                if (!builder.add_question(question)) {
                    return;
                }
            }
            known.insert(known.end(), std::make_move_iterator(answers.begin()),
                         std::make_move_iterator(answers.end()));
        };
        for (ActiveQuestion* question : due) {
            if (question->interface_index == 0 || question->interface_index == netif.index) {
                ask(question->name, question->type, known_answers(*question, netif.index, now));
            }
        }
        for (const OneOff& one : one_offs_) {
            if (one.interface_index == 0 || one.interface_index == netif.index) {
                ask(one.name, one.type, {});
            }
        }
        flush();
    }
    one_offs_.clear();
    for (ActiveQuestion* question : due) {
        if (question->next_send <= now + kBatchWindow) {
            advance_schedule(*question, now);
        }
        question->refresh_due = false;
    }
}

}  // namespace mdns
