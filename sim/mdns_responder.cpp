#include "sim/mdns_responder.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

#include "avn/runtime/byte_order.h"
#include "avn/runtime/socket.h"
#include "sim/loopback_udp.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSharedTtl = 4500;  // PTR and TXT
constexpr uint32_t kHostTtl = 120;     // SRV and A
constexpr uint32_t kLegacyTtl = 10;
constexpr int kProbes = 3;
constexpr auto kProbeInterval = std::chrono::milliseconds(250);
constexpr int kAnnouncements = 2;
constexpr auto kAnnounceInterval = std::chrono::seconds(1);
// How long a query marked truncated waits for the rest of its known answers.
constexpr auto kTruncatedWait = std::chrono::milliseconds(450);
constexpr size_t kMaxKnownAnswers = 8192;
// Queries waiting for the rest of their known answers, at most.
constexpr size_t kMaxPendingQueries = 64;
// Devices added at run time by the control socket number from here, so their
// device ids differ from those of the configured devices.
constexpr uint16_t kFirstControlDevice = 0x100;
// Answers with shared records wait a random 20 to 120 ms (RFC 6762 section
// 6), so that the responders of a busy link do not all answer at once;
// answers of unique records alone go at once.
constexpr int kSharedDelayMinMs = 20;
constexpr int kSharedDelaySpreadMs = 100;
// A record is multicast in answer at most once a second per interface
// (RFC 6762 section 6.2).
constexpr auto kAnswerInterval = std::chrono::seconds(1);
constexpr size_t kMaxAnswerTimes = 8192;

bool is_label_byte(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

mdns::Name name_of(const std::vector<std::string>& labels) {
    mdns::Name name;
    mdns::name_from_labels(labels, &name);
    return name;
}

std::vector<uint8_t> bytes_of(const mdns::Name& name) {
    return std::vector<uint8_t>(name.begin(), name.end());
}

std::vector<uint8_t> txt_bytes(const std::vector<std::string>& strings) {
    std::vector<uint8_t> bytes;
    for (const std::string& s : strings) {
        const size_t length = std::min<size_t>(s.size(), 255);
        bytes.push_back(static_cast<uint8_t>(length));
        bytes.insert(bytes.end(), s.begin(), s.begin() + static_cast<ptrdiff_t>(length));
    }
    if (bytes.empty()) {
        bytes.push_back(0);  // an empty TXT record is one empty string
    }
    return bytes;
}

std::string hex_id(const uint8_t* bytes, size_t count) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

bool same_record(const mdns::Record& a, const mdns::Record& b) {
    return a.type == b.type && mdns::names_equal(a.name, b.name) &&
           (a.type == mdns::kTypePtr ? mdns::names_equal(mdns::Name(a.rdata.begin(), a.rdata.end()),
                                                         mdns::Name(b.rdata.begin(), b.rdata.end()))
                                     : a.rdata == b.rdata);
}

bool answers(const mdns::Question& question, const mdns::Record& record) {
    return (question.type == record.type || question.type == mdns::kTypeAny) &&
           (question.rrclass == mdns::kClassIn || question.rrclass == mdns::kTypeAny) &&
           mdns::names_equal(question.name, record.name);
}

// Name, type and data, letter case aside: what tells two records apart.
std::string record_key(const mdns::Record& record) {
    std::string key = mdns::name_lower(record.name);
    key.push_back(static_cast<char>(record.type >> 8));
    key.push_back(static_cast<char>(record.type));
    const std::string data(record.rdata.begin(), record.rdata.end());
    key += record.type == mdns::kTypePtr ? mdns::name_lower(data) : data;
    return key;
}

size_t estimate(const mdns::Record& record) {
    return record.name.size() + 10 + record.rdata.size();
}

}  // namespace

std::string id_label(const ManufacturerId& id) {
    size_t length = id.size();
    while (length > 0 && id[length - 1] == 0) {
        --length;
    }
    if (length == 0) {
        return "_00";
    }
    const bool text = id[0] != '_' && std::all_of(id.begin(), id.begin() + length, is_label_byte);
    if (text) {
        return std::string(id.begin(), id.begin() + static_cast<ptrdiff_t>(length));
    }
    std::string label = hex_id(id.data(), length);
    label.insert(label.begin(), '_');
    return label;
}

ManufacturerId model_id(uint32_t model) {
    ManufacturerId id{};
    byte_order::store_be32(id.data() + 4, model);
    return id;
}

std::string host_label(const std::string& device_name) {
    std::string label;
    for (const char c : device_name) {
        const auto byte = static_cast<uint8_t>(c);
        label.push_back(is_label_byte(byte) && c != '_' ? c : '-');
    }
    return label.empty() ? std::string("device") : label;
}

std::vector<std::string> conmon_txt_strings(const MdnsDevice& device) {
    if (device.conmon_txt) {
        return *device.conmon_txt;
    }
    return {
        "txtvers=1",
        "cmcp_vers=1.2.0",
        "cmcp_min=1.0.0",
        "server_vers=4.2.1",
        "channels=0x00000001",
        "id=" + hex_id(device.source.device_id, sizeof device.source.device_id),
        "process=" + std::to_string(device.source.process_id),
        "mf=" + id_label(device.manufacturer_id),
        "model=" + id_label(model_id(device.model)),
    };
}

std::vector<std::string> media_txt_strings(const MdnsDevice& device) {
    return {
        "txtvers=1",
        "arcp_vers=2.8.0",
        "arcp_min=2.0.0",
        "router_vers=4.2.1",
        "router_info=\"AVN simulated device\"",
        "mf=" + id_label(device.manufacturer_id),
        "model=" + id_label(model_id(device.model)),
    };
}

// ---- The responder ----

MdnsResponder::MdnsResponder(SimLog& log, const MdnsSettings& settings)
    : log_(log), settings_(settings) {
    mdns::platform_startup();
}

MdnsResponder::~MdnsResponder() {
    stop();
    mdns::platform_cleanup();
}

std::vector<MdnsResponder::Advertised> MdnsResponder::make_records(
    const MdnsDevice& device, const mdns::Interface& netif) const {
    const uint32_t shared_ttl = device.ttl != 0 ? device.ttl : kSharedTtl;
    const uint32_t host_ttl = device.ttl != 0 ? device.ttl : kHostTtl;
    const mdns::Name host = name_of({host_label(device.name), "local"});
    const mdns::Name cmc_type = name_of({"_netaudio-cmc", "_udp", "local"});
    const mdns::Name arc_type = name_of({"_netaudio-arc", "_udp", "local"});
    const mdns::Name cmc = name_of({device.name, "_netaudio-cmc", "_udp", "local"});
    const mdns::Name arc = name_of({device.name, "_netaudio-arc", "_udp", "local"});
    const mdns::Name subtype =
        name_of({id_label(device.manufacturer_id), "_sub", "_netaudio-cmc", "_udp", "local"});
    const mdns::Name services = name_of({"_services", "_dns-sd", "_udp", "local"});

    auto record = [](const mdns::Name& name, uint16_t type, uint32_t ttl,
                     std::vector<uint8_t> rdata, bool unique) {
        Advertised advertised;
        advertised.record.name = name;
        advertised.record.type = type;
        advertised.record.ttl = ttl;
        advertised.record.rdata = std::move(rdata);
        advertised.record.cache_flush = unique;
        advertised.unique = unique;
        return advertised;
    };
    auto srv = [&](uint16_t port) {
        std::vector<uint8_t> rdata(6 + host.size(), 0);
        byte_order::store_be16(rdata.data() + 4, port);
        std::copy(host.begin(), host.end(), rdata.begin() + 6);
        return rdata;
    };
    std::vector<uint8_t> address(4);
    byte_order::store_be32(address.data(), netif.address);
    return {
        record(cmc_type, mdns::kTypePtr, shared_ttl, bytes_of(cmc), false),
        record(subtype, mdns::kTypePtr, shared_ttl, bytes_of(cmc), false),
        record(arc_type, mdns::kTypePtr, shared_ttl, bytes_of(arc), false),
        record(services, mdns::kTypePtr, shared_ttl, bytes_of(cmc_type), false),
        record(services, mdns::kTypePtr, shared_ttl, bytes_of(arc_type), false),
        record(cmc, mdns::kTypeSrv, host_ttl, srv(kConmonServicePort), true),
        record(cmc, mdns::kTypeTxt, shared_ttl, txt_bytes(conmon_txt_strings(device)), true),
        record(arc, mdns::kTypeSrv, host_ttl, srv(kMediaServicePort), true),
        record(arc, mdns::kTypeTxt, shared_ttl, txt_bytes(media_txt_strings(device)), true),
        record(host, mdns::kTypeA, host_ttl, address, true),
    };
}

std::vector<MdnsResponder::Advertised> MdnsResponder::make_service_records(
    const MdnsService& service, const mdns::Interface& netif) const {
    const uint32_t shared_ttl = service.ttl != 0 ? service.ttl : kSharedTtl;
    const uint32_t host_ttl = service.ttl != 0 ? service.ttl : kHostTtl;
    std::vector<std::string> type_labels;
    std::istringstream type_text(service.type);
    for (std::string label; std::getline(type_text, label, '.');) {
        type_labels.push_back(label);
    }
    type_labels.push_back("local");
    std::vector<std::string> instance_labels{service.instance};
    instance_labels.insert(instance_labels.end(), type_labels.begin(), type_labels.end());
    const mdns::Name type = name_of(type_labels);
    const mdns::Name instance = name_of(instance_labels);
    const mdns::Name host = name_of({service.host_label, "local"});
    const mdns::Name services = name_of({"_services", "_dns-sd", "_udp", "local"});

    auto record = [](const mdns::Name& name, uint16_t rrtype, uint32_t ttl,
                     std::vector<uint8_t> rdata, bool unique) {
        Advertised advertised;
        advertised.record.name = name;
        advertised.record.type = rrtype;
        advertised.record.ttl = ttl;
        advertised.record.rdata = std::move(rdata);
        advertised.record.cache_flush = unique;
        advertised.unique = unique;
        return advertised;
    };
    std::vector<uint8_t> srv(6 + host.size(), 0);
    byte_order::store_be16(srv.data() + 4, service.port);
    std::copy(host.begin(), host.end(), srv.begin() + 6);
    std::vector<uint8_t> address(4);
    byte_order::store_be32(address.data(), netif.address);
    return {
        record(type, mdns::kTypePtr, shared_ttl, bytes_of(instance), false),
        record(services, mdns::kTypePtr, shared_ttl, bytes_of(type), false),
        record(instance, mdns::kTypeSrv, host_ttl, srv, true),
        record(instance, mdns::kTypeTxt, shared_ttl, txt_bytes(service.txt), true),
        record(host, mdns::kTypeA, host_ttl, address, true),
    };
}

std::vector<MdnsResponder::Advertised> MdnsResponder::records_for(
    const Device& device, const mdns::Interface& netif) const {
    return device.service ? make_service_records(*device.service, netif)
                          : make_records(device.settings, netif);
}

std::string MdnsResponder::service_key(const std::string& instance, const std::string& type) {
    // Starts with a byte no device name has, so a service never takes a
    // device's place.
    return std::string(1, '\0') + instance + "." + type;
}

aud_error MdnsResponder::start() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_) {
        return AUD_SUCCESS;
    }
    for (const mdns::Interface& netif : mdns::multicast_interfaces()) {
        if (settings_.interface_name.empty() || netif.name == settings_.interface_name) {
            interfaces_.push_back(netif);
        }
    }
    if (interfaces_.empty()) {
        log_.line("mdns", "no multicast interface %s%s",
                  settings_.interface_name.empty() ? "" : "named ",
                  settings_.interface_name.c_str());
        return AUD_ERR_NOTFOUND;
    }
    socket_ = mdns::open_multicast_socket(mdns::kPort);
    if (socket_ == mdns::kInvalidSocket || !mdns::signal_open(&wake_)) {
        mdns::close_socket(&socket_);
        return AUD_ERR_SYSTEM;
    }
    for (const mdns::Interface& netif : interfaces_) {
        mdns::join_group(socket_, netif);
        log_.line("mdns", "advertising on %s (index %u)", netif.name.c_str(), netif.index);
    }
    if (settings_.control) {
        aud_socket_t control = AUD_SOCKET_INVALID;
        uint16_t bound_port = 0;
        const aud_error error = open_loopback_udp(settings_.control_port, &control, &bound_port);
        if (error != AUD_SUCCESS) {
            mdns::close_socket(&socket_);
            mdns::signal_close(&wake_);
            return error;
        }
        control_ = control;
        control_port_ = bound_port;
        log_.line("mdns", "control commands on 127.0.0.1:%u", unsigned{control_port_});
    }
    running_ = true;
    stopping_ = false;
    index_dirty_ = true;
    const Clock::time_point now = Clock::now();
    for (auto& [name, device] : devices_) {
        device.state = State::Probing;
        device.sent = 0;
        device.next = now;
    }
    thread_ = std::thread([this] { run(); });
    return AUD_SUCCESS;
}

void MdnsResponder::stop() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!running_) {
            return;
        }
        for (const auto& [name, device] : devices_) {
            send_goodbyes(device);
        }
        stopping_ = true;
    }
    mdns::signal_raise(wake_);
    if (thread_.joinable()) {
        thread_.join();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    mdns::close_socket(&socket_);
    if (control_ != mdns::kInvalidSocket) {
        aud_socket_t control = control_;
        aud_socket_close(&control);
        control_ = mdns::kInvalidSocket;
    }
    mdns::signal_close(&wake_);
    running_ = false;
    log_.line("mdns", "stopped");
}

void MdnsResponder::add_device(const MdnsDevice& device) {
    const std::lock_guard<std::mutex> lock(mutex_);
    add_device_locked(device);
    if (running_) {
        mdns::signal_raise(wake_);
    }
}

void MdnsResponder::add_device_locked(const MdnsDevice& device) {
    Device entry;
    entry.settings = device;
    entry.next = Clock::now();
    devices_[device.name] = std::move(entry);
    index_dirty_ = true;
    log_.line("mdns", "device \"%s\": advertising as %s, subtype %s", device.name.c_str(),
              host_label(device.name).c_str(), id_label(device.manufacturer_id).c_str());
}

bool MdnsResponder::remove_device(const std::string& name, bool goodbye) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(name);
    if (found == devices_.end() || found->second.service) {
        return false;
    }
    if (goodbye && running_) {
        send_goodbyes(found->second);
    }
    log_.line("mdns", "device \"%s\" withdrawn%s", name.c_str(), goodbye ? "" : " silently");
    devices_.erase(found);
    index_dirty_ = true;
    return true;
}

void MdnsResponder::add_service(const MdnsService& service) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Device entry;
    entry.settings.name = service.instance + "." + service.type;
    entry.service = service;
    entry.next = Clock::now();
    devices_[service_key(service.instance, service.type)] = std::move(entry);
    index_dirty_ = true;
    log_.line("mdns", "service %s.%s.local: advertising %s.local port %u", service.instance.c_str(),
              service.type.c_str(), service.host_label.c_str(), unsigned{service.port});
    if (running_) {
        mdns::signal_raise(wake_);
    }
}

bool MdnsResponder::remove_service(const std::string& instance, const std::string& type,
                                   bool goodbye) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(service_key(instance, type));
    if (found == devices_.end()) {
        return false;
    }
    if (goodbye && running_) {
        send_goodbyes(found->second);
    }
    log_.line("mdns", "service %s.%s.local withdrawn%s", instance.c_str(), type.c_str(),
              goodbye ? "" : " silently");
    devices_.erase(found);
    index_dirty_ = true;
    return true;
}

std::vector<std::string> MdnsResponder::device_names() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, device] : devices_) {
        if (!device.service) {
            names.push_back(name);
        }
    }
    return names;
}

bool MdnsResponder::wait_announced(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] {
        return std::all_of(devices_.begin(), devices_.end(), [](const auto& d) {
            return d.second.state == State::Announced ||
                   (d.second.state == State::Announcing && d.second.sent > 0);
        });
    });
}

uint32_t MdnsResponder::interface_index() const {
    return interfaces_.empty() ? 0 : interfaces_.front().index;
}

void MdnsResponder::lose_next_answers(int count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    answers_to_lose_ = count;
}

uint64_t MdnsResponder::answers_sent() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return answers_sent_;
}

const std::vector<MdnsResponder::Advertised>& MdnsResponder::records_of(const Device& device,
                                                                        uint32_t interface_index) {
    static const std::vector<Advertised> none;
    const auto found = device.records.find(interface_index);
    return found == device.records.end() ? none : found->second;
}

void MdnsResponder::rebuild_index() {
    if (!index_dirty_) {
        return;
    }
    index_.clear();
    for (auto& [name, device] : devices_) {
        device.records.clear();
        for (const mdns::Interface& netif : interfaces_) {
            device.records[netif.index] = records_for(device, netif);
        }
        for (const auto& [index, records] : device.records) {
            for (const Advertised& a : records) {
                index_.emplace(std::make_pair(index, mdns::name_lower(a.record.name)),
                               std::make_pair(&device, &a));
            }
        }
    }
    index_dirty_ = false;
}

const mdns::Interface* MdnsResponder::served(uint32_t index) const {
    for (const mdns::Interface& netif : interfaces_) {
        if (netif.index == index) {
            return &netif;
        }
    }
    return nullptr;
}

void MdnsResponder::run() {
    std::vector<uint8_t> buffer(mdns::kMaxMessageSize);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        run_timers(now);
        Clock::time_point next = now + std::chrono::seconds(10);
        for (const auto& [name, device] : devices_) {
            if (device.state != State::Announced) {
                next = std::min(next, device.next);
            }
        }
        for (const auto& [source, pending] : pending_) {
            next = std::min(next, pending.deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
        const int timeout_ms = static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 0, 10000));
        lock.unlock();
        const mdns::socket_t sockets[3] = {socket_, wake_.reader, control_};
        bool ready[3] = {false, false, false};
        const size_t count = control_ != mdns::kInvalidSocket ? 3 : 2;
        if (!mdns::wait_readable(sockets, count, timeout_ms, ready)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (ready[1]) {
            mdns::signal_drain(wake_);
        }
        if (ready[2]) {
            handle_control();
        }
        lock.lock();
        for (int i = 0; ready[0] && i < 128 && !stopping_; ++i) {
            mdns::Datagram datagram;
            if (!mdns::receive(socket_, buffer.data(), buffer.size(), &datagram)) {
                break;
            }
            handle_datagram(buffer.data(), datagram, Clock::now());
        }
    }
}

void MdnsResponder::run_timers(Clock::time_point now) {
    rebuild_index();
    for (const mdns::Interface& netif : interfaces_) {
        // Probes of every device due now share packets, and so do
        // announcements.
        mdns::Builder probe(0, 0);
        std::vector<mdns::Record> probe_records;
        std::vector<mdns::Record> announced;
        auto flush_probe = [&]() {
            for (const mdns::Record& record : probe_records) {
                if (!probe.add_record(mdns::Section::Authority, record)) {
                    log_.line("mdns", "probe: a proposed record of %s does not fit",
                              mdns::name_to_text(record.name).c_str());
                }
            }
            if (!probe.empty()) {
                const std::vector<uint8_t> bytes = probe.finish();
                mdns::send_to(socket_, netif, bytes.data(), bytes.size(), mdns::kGroupAddress,
                              mdns::kPort);
            }
            probe = mdns::Builder(0, 0);
            probe_records.clear();
        };
        for (auto& [name, device] : devices_) {
            if (device.state == State::Announced || device.next > now) {
                continue;
            }
            const std::vector<Advertised>& records = records_of(device, netif.index);
            if (device.state == State::Probing) {
                std::vector<mdns::Name> names;
                for (const Advertised& a : records) {
                    if (a.unique && std::none_of(names.begin(), names.end(), [&](const auto& n) {
                            return mdns::names_equal(n, a.record.name);
                        })) {
                        names.push_back(a.record.name);
                    }
                }
                // Each device's probe questions and proposed records must
                // fit one packet with the others; the authority section
                // comes last, so a packet is closed before its questions
                // and every proposed record would overflow it.
                size_t cost = probe.size();
                for (const mdns::Name& n : names) {
                    cost += n.size() + 4;
                }
                for (const mdns::Record& r : probe_records) {
                    cost += estimate(r);
                }
                for (const Advertised& a : records) {
                    cost += a.unique ? estimate(a.record) : 0;
                }
                if (cost > mdns::kSendLimit && (!probe.empty() || !probe_records.empty())) {
                    flush_probe();
                }
                for (const mdns::Name& n : names) {
                    mdns::Question question;
                    question.name = n;
                    question.type = mdns::kTypeAny;
                    question.unicast_response = true;
                    probe.add_question(question);
                }
                for (const Advertised& a : records) {
                    if (a.unique) {
                        mdns::Record proposed = a.record;
                        proposed.cache_flush = false;
                        probe_records.push_back(std::move(proposed));
                    }
                }
            } else {
                for (const Advertised& a : records) {
                    announced.push_back(a.record);
                }
            }
        }
        flush_probe();
        if (!announced.empty()) {
            send_records(netif, announced, {}, 0, {}, mdns::kGroupAddress, mdns::kPort);
        }
    }
    bool any_change = false;
    for (auto& [name, device] : devices_) {
        if (device.state == State::Announced || device.next > now) {
            continue;
        }
        ++device.sent;
        if (device.state == State::Probing) {
            device.next = now + kProbeInterval;
            if (device.sent >= kProbes) {
                device.state = State::Announcing;
                device.sent = 0;
                any_change = true;
            }
        } else {
            device.next = now + kAnnounceInterval;
            if (device.sent >= kAnnouncements) {
                device.state = State::Announced;
            }
            if (device.sent == 1) {
                log_.line("mdns", "%s \"%s\" announced", device.service ? "service" : "device",
                          device.settings.name.c_str());
            }
            any_change = true;
        }
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.deadline <= now) {
            const mdns::Interface* netif = served(it->second.interface_index);
            if (netif != nullptr) {
                answer(it->second.query, *netif, nullptr);
            }
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    if (any_change) {
        changed_.notify_all();
    }
}

// Others' responses are read only to spot a conflict, so a sender flooding
// the link with them is read at this rate at most; its flood must not delay
// the answers to real queries.
bool MdnsResponder::response_within_budget(uint32_t source, Clock::time_point now) {
    constexpr double kPerSecond = 50;
    constexpr double kBurst = 200;
    constexpr size_t kMaxTracked = 1024;
    auto found = response_budgets_.find(source);
    if (found == response_budgets_.end()) {
        if (response_budgets_.size() >= kMaxTracked) {
            response_budgets_.clear();
        }
        found = response_budgets_.emplace(source, std::make_pair(kBurst, now)).first;
    }
    auto& [tokens, at] = found->second;
    tokens =
        std::min(kBurst, tokens + std::chrono::duration<double>(now - at).count() * kPerSecond);
    at = now;
    if (tokens < 1) {
        return false;
    }
    tokens -= 1;
    return true;
}

void MdnsResponder::handle_datagram(const uint8_t* data, const mdns::Datagram& datagram,
                                    Clock::time_point now) {
    const mdns::Interface* netif = served(datagram.interface_index);
    const bool response = datagram.length > 2 && (data[2] & 0x80) != 0;
    if (response && !response_within_budget(datagram.source_address, now)) {
        return;
    }
    mdns::Message message;
    if (netif == nullptr || datagram.length == 0 ||
        !mdns::parse_message({data, datagram.length}, &message)) {
        return;
    }
    if ((message.flags & mdns::kOpcodeMask) != 0) {
        return;
    }
    if (message.is_response()) {
        // Someone else claiming one of our unique names with other data.
        rebuild_index();
        for (const mdns::Record& theirs : message.answers) {
            const auto range =
                index_.equal_range(std::make_pair(netif->index, mdns::name_lower(theirs.name)));
            for (auto it = range.first; it != range.second; ++it) {
                const mdns::Record& ours = it->second.second->record;
                if (it->second.second->unique && ours.type == theirs.type &&
                    !same_record(ours, theirs)) {
                    log_.line("mdns", "conflict: another host claims %s",
                              mdns::name_to_text(theirs.name).c_str());
                }
            }
        }
        return;
    }
    if (!message.authorities.empty() && own_probe(message, netif->index)) {
        return;
    }
    const std::pair<uint32_t, uint16_t> source{datagram.source_address, datagram.source_port};
    if (datagram.source_port != mdns::kPort) {
        // A simple resolver asking once: answered straight back to it.
        answer(message, *netif, &datagram);
        return;
    }
    const auto pending = pending_.find(source);
    if (pending != pending_.end() && message.questions.empty()) {
        // More known answers of a truncated query.
        auto& known = pending->second.query.answers;
        known.insert(known.end(), message.answers.begin(), message.answers.end());
        // A list that never ends is answered once it is long enough.
        const bool more =
            (message.flags & mdns::kFlagTruncated) != 0 && known.size() < kMaxKnownAnswers;
        pending->second.deadline = more ? now + kTruncatedWait : now;
        return;
    }
    if ((message.flags & mdns::kFlagTruncated) != 0 && pending_.size() < kMaxPendingQueries) {
        PendingQuery waiting;
        waiting.query = std::move(message);
        waiting.interface_index = netif->index;
        waiting.deadline = now + kTruncatedWait;
        pending_[source] = std::move(waiting);
        return;
    }
    const bool shared = std::any_of(message.questions.begin(), message.questions.end(),
                                    [](const mdns::Question& q) {
                                        return q.type == mdns::kTypePtr || q.type == mdns::kTypeAny;
                                    });
    if (shared && pending_.size() < kMaxPendingQueries) {
        if (pending != pending_.end()) {
            // Another query from the same asker before we answered: one
            // answer for both.
            auto& waiting = pending->second.query;
            waiting.questions.insert(waiting.questions.end(), message.questions.begin(),
                                     message.questions.end());
            waiting.answers.insert(waiting.answers.end(), message.answers.begin(),
                                   message.answers.end());
            return;
        }
        PendingQuery waiting;
        waiting.query = std::move(message);
        waiting.interface_index = netif->index;
        waiting.deadline = now + std::chrono::milliseconds(kSharedDelayMinMs +
                                                           random_() % (kSharedDelaySpreadMs + 1));
        pending_[source] = std::move(waiting);
        return;
    }
    answer(message, *netif, nullptr);
}

// Whether the record may be multicast in answer now, and if so notes it.
bool MdnsResponder::may_answer(uint32_t interface_index, const mdns::Record& record) {
    const auto now = Clock::now();
    if (answer_times_.size() >= kMaxAnswerTimes) {
        for (auto it = answer_times_.begin(); it != answer_times_.end();) {
            it = now - it->second >= kAnswerInterval ? answer_times_.erase(it) : std::next(it);
        }
    }
    auto [it, inserted] =
        answer_times_.try_emplace(std::make_pair(interface_index, record_key(record)), now);
    if (!inserted) {
        if (now - it->second < kAnswerInterval) {
            return false;
        }
        it->second = now;
    }
    return true;
}

// A probe whose proposed records are all ours is our own, come back.
bool MdnsResponder::own_probe(const mdns::Message& probe, uint32_t interface_index) {
    rebuild_index();
    return std::all_of(probe.authorities.begin(), probe.authorities.end(),
                       [&](const mdns::Record& proposed) {
                           const auto range = index_.equal_range(
                               std::make_pair(interface_index, mdns::name_lower(proposed.name)));
                           for (auto it = range.first; it != range.second; ++it) {
                               if (same_record(it->second.second->record, proposed)) {
                                   return true;
                               }
                           }
                           return false;
                       });
}

void MdnsResponder::answer(const mdns::Message& query, const mdns::Interface& netif,
                           const mdns::Datagram* legacy_source) {
    if (query.questions.empty()) {
        return;
    }
    rebuild_index();
    std::map<std::string, uint32_t> known;  // known answers' keys and TTLs
    for (const mdns::Record& k : query.answers) {
        known[record_key(k)] = k.ttl;
    }
    auto is_known = [&](const mdns::Record& record) {
        const auto found = known.find(record_key(record));
        return found != known.end() && uint64_t{found->second} * 2 >= record.ttl;
    };
    std::vector<mdns::Record> answers_out;
    std::vector<std::vector<mdns::Record>> additionals;  // per answer
    std::set<const Advertised*> answered;
    std::set<const Advertised*> added;
    for (const mdns::Question& question : query.questions) {
        const auto range =
            index_.equal_range(std::make_pair(netif.index, mdns::name_lower(question.name)));
        for (auto it = range.first; it != range.second; ++it) {
            const Device& device = *it->second.first;
            const Advertised* a = it->second.second;
            if (device.state == State::Probing || !answers(question, a->record) ||
                answered.count(a) != 0 || is_known(a->record) ||
                (legacy_source == nullptr && !may_answer(netif.index, a->record))) {
                continue;
            }
            answered.insert(a);
            answers_out.push_back(a->record);
            additionals.emplace_back();
            // What the asker will want next comes along: for an instance its
            // SRV and TXT records, for an instance or an SRV the address.
            mdns::Name target;
            const bool instance = a->record.type == mdns::kTypePtr &&
                                  mdns::ptr_target(a->record.rdata, &target) &&
                                  mdns::name_labels(target).size() == 4;
            for (const Advertised& extra : records_of(device, netif.index)) {
                const bool wanted = (instance && mdns::names_equal(extra.record.name, target)) ||
                                    ((instance || a->record.type == mdns::kTypeSrv) &&
                                     extra.record.type == mdns::kTypeA);
                if (wanted && answered.count(&extra) == 0 && !is_known(extra.record) &&
                    added.insert(&extra).second) {
                    additionals.back().push_back(extra.record);
                }
            }
        }
    }
    if (answers_out.empty()) {
        return;
    }
    if (legacy_source == nullptr && answers_to_lose_ > 0) {
        --answers_to_lose_;
        log_.line("mdns", "losing an answer to %s, as asked",
                  mdns::name_to_text(query.questions.front().name).c_str());
        return;
    }
    ++answers_sent_;
    log_.line("mdns", "answering %s (type %u%s) with %zu records",
              mdns::name_to_text(query.questions.front().name).c_str(),
              unsigned{query.questions.front().type},
              query.questions.size() > 1 ? ", and more questions" : "", answers_out.size());
    if (legacy_source != nullptr) {
        for (mdns::Record& r : answers_out) {
            r.ttl = std::min(r.ttl, kLegacyTtl);
            r.cache_flush = false;
        }
        for (auto& group : additionals) {
            for (mdns::Record& r : group) {
                r.ttl = std::min(r.ttl, kLegacyTtl);
                r.cache_flush = false;
            }
        }
        send_records(netif, answers_out, additionals, query.id, query.questions,
                     legacy_source->source_address, legacy_source->source_port);
        return;
    }
    send_records(netif, answers_out, additionals, 0, {}, mdns::kGroupAddress, mdns::kPort);
}

void MdnsResponder::send_records(const mdns::Interface& netif,
                                 const std::vector<mdns::Record>& answers_out,
                                 const std::vector<std::vector<mdns::Record>>& additionals,
                                 uint16_t id, const std::vector<mdns::Question>& questions,
                                 uint32_t address, uint16_t port) {
    const uint16_t flags = mdns::kFlagResponse | mdns::kFlagAuthoritative;
    size_t next = 0;
    while (next < answers_out.size()) {
        mdns::Builder builder(id, flags);
        for (const mdns::Question& question : questions) {
            builder.add_question(question);
        }
        // Answers while they fit, leaving room for their additionals.
        size_t budget = mdns::kSendLimit - builder.size();
        size_t end = next;
        while (end < answers_out.size()) {
            size_t cost = estimate(answers_out[end]);
            if (end < additionals.size()) {
                for (const mdns::Record& extra : additionals[end]) {
                    cost += estimate(extra);
                }
            }
            if (end > next && cost > budget) {
                break;
            }
            if (!builder.add_record(mdns::Section::Answer, answers_out[end])) {
                break;
            }
            budget = cost > budget ? 0 : budget - cost;
            ++end;
        }
        if (end == next) {
            ++next;  // a record too large for any packet is left out
            continue;
        }
        for (size_t i = next; i < end && i < additionals.size(); ++i) {
            for (const mdns::Record& extra : additionals[i]) {
                builder.add_record(mdns::Section::Additional, extra);
            }
        }
        const std::vector<uint8_t> bytes = builder.finish();
        mdns::send_to(socket_, netif, bytes.data(), bytes.size(), address, port);
        next = end;
    }
}

void MdnsResponder::send_goodbyes(const Device& device) {
    if (device.state == State::Probing) {
        return;  // never announced: nobody has its records
    }
    for (const mdns::Interface& netif : interfaces_) {
        std::vector<mdns::Record> records;
        for (const Advertised& a : records_for(device, netif)) {
            mdns::Record gone = a.record;
            gone.ttl = 0;
            records.push_back(std::move(gone));
        }
        send_records(netif, records, {}, 0, {}, mdns::kGroupAddress, mdns::kPort);
    }
}

// ---- Run-time commands ----

void MdnsResponder::handle_control() {
    char buffer[512];
    for (int i = 0; i < 16; ++i) {
        size_t length = sizeof buffer - 1;
        aud_socket_address source{};
        if (aud_socket_recvfrom(control_, buffer, &length, &source) != AUD_SUCCESS) {
            return;
        }
        std::string text(buffer, length);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        const std::string reply = control_command(text) + "\n";
        size_t sent = reply.size();
        aud_socket_sendto(control_, reply.data(), &sent, &source);
    }
}

std::string MdnsResponder::control_command(const std::string& text) {
    std::istringstream words(text);
    std::string verb;
    std::string name;
    words >> verb >> name;
    if (verb == "list") {
        std::string all = "ok";
        for (const std::string& n : device_names()) {
            all += " " + n;
        }
        return all;
    }
    if ((verb == "remove" || verb == "drop") && !name.empty()) {
        return remove_device(name, verb == "remove") ? "ok" : "error: no device " + name;
    }
    if (verb != "add" || name.empty() || name.size() > 31) {
        return "error: commands are add NAME [maker=TEXT] [model=N] [ttl=S], remove NAME, "
               "drop NAME, list";
    }
    MdnsDevice device;
    device.name = name;
    device.manufacturer_id = kVornixManufacturerId;
    device.model = kTpx2ModelId;
    std::string word;
    while (words >> word) {
        if (word.starts_with("maker=") && word.size() > 6 && word.size() <= 14) {
            device.manufacturer_id = manufacturer_id_from_text(word.substr(6));
        } else if (word.starts_with("model=")) {
            device.model = static_cast<uint32_t>(std::strtoul(word.c_str() + 6, nullptr, 0));
        } else if (word.starts_with("ttl=")) {
            device.ttl = static_cast<uint32_t>(std::strtoul(word.c_str() + 4, nullptr, 0));
        } else {
            return "error: unknown word " + word;
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    // Numbers are never given twice, also after a removal.
    const auto number = static_cast<uint16_t>(kFirstControlDevice + next_control_number_++);
    device.source = conmon_source{{0x02, 'S', 'I', 'M', 0, 0, static_cast<uint8_t>(number >> 8),
                                   static_cast<uint8_t>(number)},
                                  8800};
    add_device_locked(device);
    return "ok";
}

}  // namespace sim
