#include "sim/dm/dm_dns.h"

#include <algorithm>

#include "avn/dnssd/mdns_packet.h"
#include "avn/runtime/byte_order.h"
#include "avn/runtime/socket.h"
#include "sim/loopback_udp.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kTtl = 60;
constexpr uint16_t kFlagRecursionDesired = 0x0100;
constexpr uint16_t kFlagRecursionAvailable = 0x0080;
constexpr uint16_t kRcodeFormErr = 1;
constexpr uint16_t kRcodeNxDomain = 3;
constexpr size_t kMaxQuery = 512;
// A sender that keeps the responder busy gets this many datagrams per round.
constexpr int kDatagramsPerRound = 64;
constexpr size_t kMaxHeld = 256;
constexpr size_t kMaxNames = 1024;

mdns::Name name_from(const std::string& text) {
    mdns::Name name;
    if (!mdns::name_from_text(text, &name)) {
        mdns::name_from_text("invalid.", &name);
    }
    return name;
}

}  // namespace

DmDns::DmDns(SimLog& log, const DmDnsSettings& settings) : log_(log), settings_(settings) {
    mdns::platform_startup();
}

DmDns::~DmDns() {
    stop();
    mdns::platform_cleanup();
}

std::string DmDns::service_name(const std::string& suffix) {
    std::string name = std::string(kDmServiceInstance) + "." + kDmServiceType + ".";
    return name + suffix;
}

aud_error DmDns::start() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
        return AUD_SUCCESS;
    }
    aud_socket_t socket = AUD_SOCKET_INVALID;
    uint16_t bound_port = 0;
    const aud_error error = open_loopback_udp(settings_.port, &socket, &bound_port);
    if (error != AUD_SUCCESS) {
        log_.line("dns", "cannot listen on 127.0.0.1:%u", unsigned{settings_.port});
        return error;
    }
    if (!mdns::signal_open(&wake_)) {
        aud_socket_close(&socket);
        return AUD_ERR_SYSTEM;
    }
    socket_ = socket;
    port_ = bound_port;
    running_ = true;
    stopping_ = false;
    log_.line("dns", "answering %s SRV on 127.0.0.1:%u with %s port %u",
              service_name(settings_.suffix).c_str(), unsigned{port_}, settings_.target.c_str(),
              unsigned{settings_.target_port});
    thread_ = std::thread([this] { run(); });
    return AUD_SUCCESS;
}

void DmDns::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) {
            return;
        }
        stopping_ = true;
    }
    mdns::signal_raise(wake_);
    if (thread_.joinable()) {
        thread_.join();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    aud_socket_t socket = socket_;
    aud_socket_close(&socket);
    socket_ = mdns::kInvalidSocket;
    mdns::signal_close(&wake_);
    held_.clear();
    running_ = false;
    log_.line("dns", "stopped");
}

void DmDns::set_fault(DmDnsFault fault, std::chrono::milliseconds late_delay) {
    const std::lock_guard<std::mutex> lock(mutex_);
    settings_.fault = fault;
    if (late_delay.count() > 0) {
        settings_.late_delay = late_delay;
    }
    log_.line("dns", "fault %s",
              fault == DmDnsFault::None     ? "none"
              : fault == DmDnsFault::Silent ? "silent"
                                            : "late");
}

void DmDns::set_target(const std::string& host, uint16_t port) {
    const std::lock_guard<std::mutex> lock(mutex_);
    settings_.target = host;
    settings_.target_port = port;
}

void DmDns::set_srv_in_additional(bool on) {
    const std::lock_guard<std::mutex> lock(mutex_);
    settings_.srv_in_additional = on;
}

uint64_t DmDns::queries_received() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
}

std::vector<std::string> DmDns::names_asked() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return names_;
}

bool DmDns::wait_queries(uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return queries_ >= count; });
}

void DmDns::run() {
    std::vector<uint8_t> buffer(kMaxQuery);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        // Answers held back whose time has come.
        const Clock::time_point now = Clock::now();
        while (!held_.empty() && held_.front().due <= now) {
            const Held held = std::move(held_.front());
            held_.pop_front();
            send(held.bytes, held.address, held.port);
        }
        int timeout_ms = 1000;
        if (!held_.empty()) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(held_.front().due - now);
            timeout_ms = static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 0, 1000));
        }
        lock.unlock();
        const mdns::socket_t sockets[2] = {socket_, wake_.reader};
        bool ready[2] = {false, false};
        if (!mdns::wait_readable(sockets, 2, timeout_ms, ready)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (ready[1]) {
            mdns::signal_drain(wake_);
        }
        lock.lock();
        for (int i = 0; ready[0] && i < kDatagramsPerRound && !stopping_; ++i) {
            size_t length = buffer.size();
            aud_socket_address source{};
            if (aud_socket_recvfrom(socket_, buffer.data(), &length, &source) != AUD_SUCCESS) {
                break;
            }
            handle(buffer.data(), length, aud_socket_address_get_ipv4(&source),
                   aud_socket_address_get_port(&source));
        }
    }
}

void DmDns::handle(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    ++queries_;
    changed_.notify_all();
    bool ok = false;
    const std::vector<uint8_t> reply = answer(std::vector<uint8_t>(data, data + length), &ok);
    if (!ok) {
        return;
    }
    if (settings_.fault == DmDnsFault::Silent) {
        log_.line("dns", "silent: query not answered");
        return;
    }
    if (settings_.fault == DmDnsFault::Late) {
        if (held_.size() < kMaxHeld) {
            held_.push_back(Held{Clock::now() + settings_.late_delay, reply, address, port});
            log_.line("dns", "late: answer held for %lld ms",
                      static_cast<long long>(settings_.late_delay.count()));
        }
        return;
    }
    send(reply, address, port);
}

std::vector<uint8_t> DmDns::answer(const std::vector<uint8_t>& query_bytes, bool* ok) {
    *ok = false;
    mdns::Message query;
    if (!mdns::parse_message(query_bytes, &query) || query.is_response()) {
        log_.line("dns", "ignoring a datagram that is no query");
        return {};
    }
    const uint16_t base_flags = static_cast<uint16_t>(
        mdns::kFlagResponse | mdns::kFlagAuthoritative | kFlagRecursionAvailable |
        (query.flags & kFlagRecursionDesired) | (query.flags & mdns::kOpcodeMask));
    *ok = true;
    if ((query.flags & mdns::kOpcodeMask) != 0 || query.questions.size() != 1) {
        mdns::Builder refused(query.id, static_cast<uint16_t>(base_flags | kRcodeFormErr));
        return refused.finish();
    }
    const mdns::Question& question = query.questions.front();
    if (names_.size() < kMaxNames) {
        names_.push_back(mdns::name_to_text(question.name));
    }
    const mdns::Name service = name_from(service_name(settings_.suffix));
    if (!mdns::names_equal(question.name, service)) {
        log_.line("dns", "%s: NXDOMAIN", mdns::name_to_text(question.name).c_str());
        mdns::Builder nx(query.id, static_cast<uint16_t>(base_flags | kRcodeNxDomain));
        nx.add_question(question);
        return nx.finish();
    }
    mdns::Builder builder(query.id, base_flags, 1024);
    builder.add_question(question);
    if (question.type == mdns::kTypeSrv || question.type == mdns::kTypeAny) {
        const mdns::Name target = name_from(settings_.target);
        mdns::Record srv;
        srv.name = service;
        srv.type = mdns::kTypeSrv;
        srv.ttl = kTtl;
        srv.rdata.assign(6, 0);
        byte_order::store_be16(srv.rdata.data() + 4, settings_.target_port);
        srv.rdata.insert(srv.rdata.end(), target.begin(), target.end());
        mdns::Record a;
        a.name = target;
        a.type = mdns::kTypeA;
        a.ttl = kTtl;
        a.rdata.assign(4, 0);
        byte_order::store_be32(a.rdata.data(), settings_.target_address);
        if (settings_.srv_in_additional) {
            builder.add_record(mdns::Section::Additional, srv);
        } else {
            builder.add_record(mdns::Section::Answer, srv);
        }
        if (settings_.target_address != 0) {
            builder.add_record(mdns::Section::Additional, a);
        }
        log_.line("dns", "%s SRV: %s port %u%s", mdns::name_to_text(service).c_str(),
                  settings_.target.c_str(), unsigned{settings_.target_port},
                  settings_.srv_in_additional ? " (additional section)" : "");
    } else {
        log_.line("dns", "%s type %u: no such record", mdns::name_to_text(service).c_str(),
                  unsigned{question.type});
    }
    return builder.finish();
}

void DmDns::send(const std::vector<uint8_t>& bytes, uint32_t address, uint16_t port) {
    aud_socket_address destination{};
    aud_socket_address_set_ipv4(&destination, address, port);
    size_t length = bytes.size();
    aud_socket_sendto(socket_, bytes.data(), &length, &destination);
}

MdnsService dm_mdns_service(const std::string& host_label, uint16_t port) {
    MdnsService service;
    service.instance = kDmServiceInstance;
    service.type = kDmServiceType;
    service.host_label = host_label;
    service.port = port;
    service.txt = {"txtvers=1"};
    return service;
}

}  // namespace sim
