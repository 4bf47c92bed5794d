#include "avn/dnssd/dnssd.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "avn/dnssd/mdns_engine.h"
#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"

namespace {

enum class Kind { Browse, Resolve, Query };

// One result waiting for DNSServiceProcessResult. Which fields count depends
// on the reference's kind.
struct Result {
    DNSServiceFlags flags = 0;
    uint32_t interface_index = 0;
    std::string name;    // browse: instance; resolve and query: full name
    std::string type;    // browse: service type; resolve: host target
    std::string domain;  // browse only
    uint16_t port = 0;   // resolve, network order
    uint16_t rrtype = 0;
    uint16_t rrclass = 0;
    uint32_t ttl = 0;
    std::vector<uint8_t> data;  // resolve: TXT; query: rdata
};

struct ResolveState {
    std::optional<std::vector<uint8_t>> srv;
    std::optional<std::vector<uint8_t>> txt;
    std::optional<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> delivered;
};

}  // namespace

struct _DNSServiceRef_t {
    Kind kind = Kind::Browse;
    std::shared_ptr<mdns::Engine> engine;
    mdns::SignalPair signal;
    void* context = nullptr;
    DNSServiceBrowseReply browse_reply = nullptr;
    DNSServiceResolveReply resolve_reply = nullptr;
    DNSServiceQueryRecordReply query_reply = nullptr;
    std::string full_name;  // resolve: escaped text of the instance's name
    std::vector<uint64_t> questions;

    // Touched by the engine's watchers (under the engine's lock) and by the
    // processing thread.
    std::mutex mutex;
    std::deque<Result> pending;
    size_t pending_bytes = 0;
    uint64_t dropped = 0;
    std::chrono::steady_clock::time_point last_drop_warning{};
    std::map<uint32_t, ResolveState> resolves;

    // Set while a callback runs / when the reference was deallocated in it.
    bool in_callback = false;
    bool released = false;
};

namespace {

// Results waiting for DNSServiceProcessResult, per reference. A caller that
// stops processing (or a network that changes faster than it processes)
// must not grow the queue without end: the engine's cache bounds bound what
// a reference can be told, and these bound the backlog on top of them. A
// browse of the largest network the cache holds, or a resolve's few
// answers, fit well; past them the newest results are dropped.
constexpr size_t kMaxPendingResults = 4096;
constexpr size_t kMaxPendingBytes = 1u << 20;
constexpr auto kDropWarningInterval = std::chrono::seconds(60);

size_t cost_of(const Result& result) {
    return sizeof(Result) + result.name.size() + result.type.size() + result.domain.size() +
           result.data.size();
}

void warn_dropped(DNSServiceRef ref) {
    const auto now = std::chrono::steady_clock::now();
    ++ref->dropped;
    if (ref->last_drop_warning.time_since_epoch().count() != 0 &&
        now - ref->last_drop_warning < kDropWarningInterval) {
        return;
    }
    ref->last_drop_warning = now;
    std::fprintf(stderr,
                 "Warning: dnssd: results dropped: %zu are waiting to be processed (%llu dropped "
                 "so far); further drops are not logged for a minute\n",
                 ref->pending.size(), static_cast<unsigned long long>(ref->dropped));
}

// The socket is readable exactly while results are pending: it is raised
// when the queue stops being empty and drained when it is emptied, both
// under the reference's lock.
void push(DNSServiceRef ref, Result result) {
    const std::lock_guard<std::mutex> lock(ref->mutex);
    const size_t cost = cost_of(result);
    if (ref->pending.size() >= kMaxPendingResults || ref->pending_bytes + cost > kMaxPendingBytes) {
        warn_dropped(ref);
        return;
    }
    const bool was_empty = ref->pending.empty();
    ref->pending.push_back(std::move(result));
    ref->pending_bytes += cost;
    if (was_empty) {
        mdns::signal_raise(ref->signal);
    }
}

void detach(DNSServiceRef ref) {
    if (ref->engine) {
        for (const uint64_t id : ref->questions) {
            ref->engine->remove_question(id);
        }
    }
    ref->questions.clear();
}

void destroy(DNSServiceRef ref) {
    detach(ref);
    mdns::signal_close(&ref->signal);
    ref->engine.reset();
    delete ref;
}

DNSServiceErrorType make_ref(Kind kind, void* context, DNSServiceRef* out) {
    auto ref = std::unique_ptr<_DNSServiceRef_t>(new (std::nothrow) _DNSServiceRef_t());
    if (!ref) {
        return kDNSServiceErr_NoMemory;
    }
    ref->kind = kind;
    ref->context = context;
    ref->engine = mdns::Engine::acquire();
    if (!ref->engine) {
        return kDNSServiceErr_ServiceNotRunning;
    }
    if (!mdns::signal_open(&ref->signal)) {
        return kDNSServiceErr_NoMemory;
    }
    *out = ref.release();
    return kDNSServiceErr_NoError;
}

bool is_local_domain(const char* domain) {
    if (domain == nullptr || domain[0] == '\0') {
        return true;
    }
    mdns::Name name;
    mdns::Name local;
    mdns::name_from_text("local", &local);
    return mdns::name_from_text(domain, &name) && mdns::names_equal(name, local);
}

// "_app._udp" or "_app._tcp", with or without its final dot.
bool parse_service_type(std::string_view text, std::vector<std::string>* labels) {
    mdns::Name name;
    if (!mdns::name_from_text(text, &name)) {
        return false;
    }
    *labels = mdns::name_labels(name);
    if (labels->size() != 2 || (*labels)[0].size() < 2 || (*labels)[0][0] != '_') {
        return false;
    }
    mdns::Name protocol;
    mdns::name_from_labels({(*labels)[1]}, &protocol);
    mdns::Name udp;
    mdns::Name tcp;
    mdns::name_from_text("_udp", &udp);
    mdns::name_from_text("_tcp", &tcp);
    return mdns::names_equal(protocol, udp) || mdns::names_equal(protocol, tcp);
}

std::string labels_text(const std::vector<std::string>& labels, size_t from, size_t to) {
    mdns::Name name;
    std::vector<std::string> part(labels.begin() + static_cast<ptrdiff_t>(from),
                                  labels.begin() + static_cast<ptrdiff_t>(to));
    if (!mdns::name_from_labels(part, &name)) {
        return {};
    }
    return mdns::name_to_text(name);
}

void browse_watcher(DNSServiceRef ref, const mdns::CacheEntry& entry, bool added) {
    mdns::Name instance;
    if (!mdns::ptr_target(entry.record.rdata, &instance)) {
        return;
    }
    const std::vector<std::string> labels = mdns::name_labels(instance);
    // instance, application, protocol and at least one label of domain
    if (labels.size() < 4) {
        return;
    }
    Result result;
    result.flags = added ? kDNSServiceFlagsAdd : 0;
    result.interface_index = entry.interface_index;
    result.name = labels[0];
    result.type = labels_text(labels, 1, 3);
    result.domain = labels_text(labels, 3, labels.size());
    push(ref, std::move(result));
}

void resolve_watcher(DNSServiceRef ref, const mdns::CacheEntry& entry, bool added) {
    Result result;
    {
        const std::lock_guard<std::mutex> lock(ref->mutex);
        ResolveState& state = ref->resolves[entry.interface_index];
        std::optional<std::vector<uint8_t>>& slot =
            entry.record.type == mdns::kTypeSrv ? state.srv : state.txt;
        if (added) {
            slot = entry.record.rdata;
        } else if (slot && *slot == entry.record.rdata) {
            slot.reset();
        }
        if (!state.srv || !state.txt) {
            return;
        }
        auto both = std::make_pair(*state.srv, *state.txt);
        if (state.delivered && *state.delivered == both) {
            return;
        }
        uint16_t port = 0;
        mdns::Name target;
        if (!mdns::srv_target(*state.srv, &port, &target)) {
            return;
        }
        state.delivered = both;
        result.interface_index = entry.interface_index;
        result.name = ref->full_name;
        result.type = mdns::name_to_text(target);
        // The two bytes as they stand on the wire: network order.
        std::memcpy(&result.port, state.srv->data() + 4, sizeof result.port);
        result.data = *state.txt;
    }
    push(ref, std::move(result));
}

void query_watcher(DNSServiceRef ref, const mdns::CacheEntry& entry, bool added) {
    Result result;
    result.flags = added ? kDNSServiceFlagsAdd : 0;
    result.interface_index = entry.interface_index;
    result.name = mdns::name_to_text(entry.record.name);
    result.rrtype = entry.record.type;
    result.rrclass = entry.record.rrclass;
    result.ttl = added ? entry.record.ttl : 0;
    result.data = entry.record.rdata;
    push(ref, std::move(result));
}

void ask(DNSServiceRef ref, const mdns::Name& name, uint16_t type, uint32_t interface_index,
         void (*watcher)(DNSServiceRef, const mdns::CacheEntry&, bool)) {
    ref->questions.push_back(ref->engine->add_question(
        name, type, interface_index,
        [ref, watcher](const mdns::CacheEntry& entry, bool added) { watcher(ref, entry, added); }));
}

void deliver(DNSServiceRef ref, const Result& result, DNSServiceFlags flags) {
    const auto length = static_cast<uint16_t>(std::min<size_t>(result.data.size(), 0xFFFF));
    switch (ref->kind) {
        case Kind::Browse:
            ref->browse_reply(ref, flags, result.interface_index, kDNSServiceErr_NoError,
                              result.name.c_str(), result.type.c_str(), result.domain.c_str(),
                              ref->context);
            break;
        case Kind::Resolve:
            ref->resolve_reply(ref, flags, result.interface_index, kDNSServiceErr_NoError,
                               result.name.c_str(), result.type.c_str(), result.port, length,
                               result.data.data(), ref->context);
            break;
        case Kind::Query:
            ref->query_reply(ref, flags, result.interface_index, kDNSServiceErr_NoError,
                             result.name.c_str(), result.rrtype, result.rrclass, length,
                             result.data.data(), result.ttl, ref->context);
            break;
    }
}

}  // namespace

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags /*flags*/,
                                     uint32_t interfaceIndex, const char* regtype,
                                     const char* domain, DNSServiceBrowseReply callBack,
                                     void* context) {
    if (sdRef == nullptr || regtype == nullptr || callBack == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    if (!is_local_domain(domain) || interfaceIndex == kDNSServiceInterfaceIndexLocalOnly) {
        return kDNSServiceErr_Unsupported;
    }
    const std::string_view text(regtype);
    const size_t comma = text.find(',');
    std::vector<std::string> labels;
    if (!parse_service_type(text.substr(0, comma), &labels)) {
        return kDNSServiceErr_BadParam;
    }
    if (comma != std::string_view::npos) {
        const std::string_view subtype = text.substr(comma + 1);
        if (subtype.empty() || subtype.size() > mdns::kMaxLabelSize ||
            subtype.find(',') != std::string_view::npos) {
            return kDNSServiceErr_BadParam;
        }
        labels.insert(labels.begin(), {std::string(subtype), "_sub"});
    }
    labels.emplace_back("local");
    mdns::Name question;
    if (!mdns::name_from_labels(labels, &question)) {
        return kDNSServiceErr_BadParam;
    }
    DNSServiceRef ref = nullptr;
    if (const DNSServiceErrorType error = make_ref(Kind::Browse, context, &ref); error != 0) {
        return error;
    }
    ref->browse_reply = callBack;
    ask(ref, question, mdns::kTypePtr, interfaceIndex, browse_watcher);
    *sdRef = ref;
    return kDNSServiceErr_NoError;
}

DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags /*flags*/,
                                      uint32_t interfaceIndex, const char* name,
                                      const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context) {
    if (sdRef == nullptr || name == nullptr || name[0] == '\0' || regtype == nullptr ||
        callBack == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    if (!is_local_domain(domain) || interfaceIndex == kDNSServiceInterfaceIndexLocalOnly) {
        return kDNSServiceErr_Unsupported;
    }
    std::vector<std::string> labels;
    if (!parse_service_type(regtype, &labels)) {
        return kDNSServiceErr_BadParam;
    }
    labels.insert(labels.begin(), name);
    labels.emplace_back("local");
    mdns::Name full;
    if (!mdns::name_from_labels(labels, &full)) {
        return kDNSServiceErr_BadParam;
    }
    DNSServiceRef ref = nullptr;
    if (const DNSServiceErrorType error = make_ref(Kind::Resolve, context, &ref); error != 0) {
        return error;
    }
    ref->resolve_reply = callBack;
    ref->full_name = mdns::name_to_text(full);
    ask(ref, full, mdns::kTypeSrv, interfaceIndex, resolve_watcher);
    ask(ref, full, mdns::kTypeTxt, interfaceIndex, resolve_watcher);
    *sdRef = ref;
    return kDNSServiceErr_NoError;
}

DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags /*flags*/,
                                          uint32_t interfaceIndex, const char* fullname,
                                          uint16_t rrtype, uint16_t rrclass,
                                          DNSServiceQueryRecordReply callBack, void* context) {
    if (sdRef == nullptr || fullname == nullptr || callBack == nullptr ||
        rrclass != kDNSServiceClass_IN || rrtype == 0) {
        return kDNSServiceErr_BadParam;
    }
    if (interfaceIndex == kDNSServiceInterfaceIndexLocalOnly) {
        return kDNSServiceErr_Unsupported;
    }
    mdns::Name name;
    if (!mdns::name_from_text(fullname, &name) || name.size() < 2) {
        return kDNSServiceErr_BadParam;
    }
    DNSServiceRef ref = nullptr;
    if (const DNSServiceErrorType error = make_ref(Kind::Query, context, &ref); error != 0) {
        return error;
    }
    ref->query_reply = callBack;
    ask(ref, name, rrtype, interfaceIndex, query_watcher);
    *sdRef = ref;
    return kDNSServiceErr_NoError;
}

dnssd_sock_t DNSServiceRefSockFD(DNSServiceRef sdRef) {
    return sdRef == nullptr ? -1 : sdRef->signal.reader;
}

DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef) {
    if (sdRef == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    if (sdRef->in_callback) {
        return kDNSServiceErr_BadState;
    }
    std::deque<Result> batch;
    {
        // Never waits: the socket can be readable with nothing queued (a
        // stray datagram, a signal raced by an earlier call), and a wait
        // here would hang the caller's thread with its locks held.
        const std::lock_guard<std::mutex> lock(sdRef->mutex);
        batch.swap(sdRef->pending);
        sdRef->pending_bytes = 0;
        mdns::signal_drain(sdRef->signal);
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        const DNSServiceFlags more = i + 1 < batch.size() ? kDNSServiceFlagsMoreComing : 0;
        sdRef->in_callback = true;
        deliver(sdRef, batch[i], batch[i].flags | more);
        sdRef->in_callback = false;
        if (sdRef->released) {
            destroy(sdRef);
            break;
        }
    }
    return kDNSServiceErr_NoError;
}

void DNSServiceRefDeallocate(DNSServiceRef sdRef) {
    if (sdRef == nullptr) {
        return;
    }
    if (sdRef->in_callback) {
        // Freed by DNSServiceProcessResult once the callback returns.
        sdRef->released = true;
        detach(sdRef);
        return;
    }
    destroy(sdRef);
}

DNSServiceErrorType DNSServiceConstructFullName(char* fullName, const char* service,
                                                const char* regtype, const char* domain) {
    if (fullName == nullptr || regtype == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    std::vector<std::string> type_labels;
    if (!parse_service_type(regtype, &type_labels)) {
        return kDNSServiceErr_BadParam;
    }
    std::string text;
    if (service != nullptr && service[0] != '\0') {
        mdns::Name one;
        if (!mdns::name_from_labels({service}, &one)) {
            return kDNSServiceErr_BadParam;
        }
        text = mdns::name_to_text(one);
    }
    text += labels_text(type_labels, 0, 2);
    const std::string_view zone = (domain == nullptr || domain[0] == '\0') ? "local." : domain;
    mdns::Name zone_name;
    if (!mdns::name_from_text(zone, &zone_name)) {
        return kDNSServiceErr_BadParam;
    }
    text += mdns::name_to_text(zone_name);
    if (text.size() + 1 > static_cast<size_t>(kDNSServiceMaxDomainName)) {
        return kDNSServiceErr_BadParam;
    }
    std::memcpy(fullName, text.c_str(), text.size() + 1);
    return kDNSServiceErr_NoError;
}

DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags /*flags*/, uint32_t interfaceIndex,
                                              const char* fullname, uint16_t rrtype,
                                              uint16_t rrclass, uint16_t rdlen, const void* rdata) {
    if (fullname == nullptr || rrclass != kDNSServiceClass_IN || (rdlen > 0 && rdata == nullptr)) {
        return kDNSServiceErr_BadParam;
    }
    mdns::Name name;
    if (!mdns::name_from_text(fullname, &name)) {
        return kDNSServiceErr_BadParam;
    }
    const std::shared_ptr<mdns::Engine> engine = mdns::Engine::running();
    if (!engine) {
        return kDNSServiceErr_NoError;  // nothing cached, nothing to confirm
    }
    const auto* bytes = static_cast<const uint8_t*>(rdata);
    const std::vector<uint8_t> data(bytes, bytes + rdlen);
    engine->reconfirm(name, rrtype, &data, interfaceIndex);
    return kDNSServiceErr_NoError;
}
