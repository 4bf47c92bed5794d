#include "avn/browse/db_adhoc_browse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "avn/browse/dt_dnssd.h"
#include "avn/browse/interfaces.h"
#include "avn/dnssd/dnssd.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"

namespace {

struct ServiceRow {
    uint32_t type_bit;
    const char* label;
    const char* service_type;  // with its final dot
    const char* service_name;
    size_t longest_name;
};

constexpr ServiceRow kRows[] = {
    {DB_BROWSE_TYPE_MEDIA_DEVICE, "media device", "_netaudio-arc._udp.", "_netaudio-arc", 31},
    {DB_BROWSE_TYPE_MEDIA_CHANNEL, "media channel", "_netaudio-chan._udp.", "_netaudio-chan", 63},
    {DB_BROWSE_TYPE_CONMON_DEVICE, "conmon device", "_netaudio-cmc._udp.", "_netaudio-cmc", 31},
    {DB_BROWSE_TYPE_SAFE_MODE, "safe mode", "_avn-safe._udp.", "_avn-safe", 31},
    {DB_BROWSE_TYPE_UPGRADE_MODE, "upgrade mode", "_avn-upgr._udp.", "_avn-upgr", 31},
    {DB_BROWSE_TYPE_VIA_DEVICE, "via device", "_netaudio-via._tcp.", "_netaudio-via", 31},
};
constexpr int kRowCount = 6;
constexpr int kReleasedRow = 6;
constexpr size_t kInstanceNameSize = 64;
constexpr size_t kHostLabelSize = 32;
constexpr size_t kTypeTextSize = 50;
// Adverts waiting for a resolve slot. A network of a thousand units of one
// maker fits; past it, a flood of new instances would only grow the list
// (and the wait of every unit behind it), so the newest adverts are dropped.
constexpr size_t kMaxWaitingResolves = 1024;
// A resolve that has had no answer after its first query and the retry a
// second later (the DNS-SD library asks at once and after 1 s, and answers
// to unique records come within a few hundred milliseconds) gives its slot
// to a waiting advert after this long, rather than hold it for the whole
// resolve timeout: sixteen instances that never answer would otherwise
// block every other unit for 30 s.
constexpr int32_t kShortHoldSeconds = 2;
constexpr int kDropWarningSeconds = 60;

enum ServiceIndex { kMedia = 0, kChannel = 1, kConmon = 2, kSafe = 3, kUpgrade = 4, kVia = 5 };

}  // namespace

struct db_resolve {
    db_adhoc_browse* browser = nullptr;
    bool resolving = false;
    uint32_t network = 0;
    int row = kReleasedRow;
    char name[kInstanceNameSize] = {};
    DNSServiceRef ref = nullptr;
    aud_socket_t socket = AUD_SOCKET_INVALID;
    aud_time deadline{};
    aud_time started{};
};

struct db_adhoc_browse {
    aud_env* env = nullptr;
    aud_event_loop* loop = nullptr;
    bool has_loopback = false;
    uint32_t loopback_index = 0;
    db_browse_config config{};
    int state = DB_ADHOC_STATE_STOPPED;
    uint32_t types = 0;
    db_browse_tree* tree = nullptr;
    char label[DB_ID_LABEL_SIZE] = {};
    char type_text[kRowCount][kTypeTextSize] = {};
    DNSServiceRef browse_refs[kRowCount] = {};
    aud_socket_t browse_sockets[kRowCount] = {AUD_SOCKET_INVALID, AUD_SOCKET_INVALID,
                                              AUD_SOCKET_INVALID, AUD_SOCKET_INVALID,
                                              AUD_SOCKET_INVALID, AUD_SOCKET_INVALID};
    aud_timer* resolve_timer = nullptr;
    bool pass_queued = false;
    uint32_t pass_handle = 0;
    aud_fd_set ready{};
    aud_timer* start_timer = nullptr;
    uint32_t type_count = 0;
    uint32_t concurrent = DB_ADHOC_DEFAULT_CONCURRENT_RESOLVES;
    std::vector<db_resolve*> running;
    std::deque<db_resolve*> waiting;
    std::vector<db_resolve*> released;
    // Set while a processing pass runs: resolves released then (even by a
    // stop from a node callback) are freed only when the pass ends.
    bool in_pass = false;
    aud_time last_drop_warning{};
    bool dropped_before = false;
    bool zero_port = false;
    db_browse* owner = nullptr;
    db_adhoc_sockets_changed sockets_changed = nullptr;
    aud_time pass_time{};
    aud_error pass_error = AUD_SUCCESS;
    bool pass_sockets_changed = false;
    bool pass_tree_changed = false;
};

namespace {

aud_log* log_of(const db_adhoc_browse* b) {
    return aud_env_get_log(b->env);
}

void socket_ready(aud_error cause, aud_socket_t socket, int direction, void* context);

bool watch_socket(db_adhoc_browse* b, aud_socket_t socket) {
    if (b->loop == nullptr) {
        b->pass_sockets_changed = true;
        return true;
    }
    return aud_event_loop_set_socket(b->loop, socket, AUD_DIRECTION_READ, socket_ready, b,
                                     AUD_SET_SOCKET_ADD) == AUD_SUCCESS;
}

void unwatch_socket(db_adhoc_browse* b, aud_socket_t socket) {
    if (b->loop == nullptr) {
        b->pass_sockets_changed = true;
        return;
    }
    aud_event_loop_set_socket(b->loop, socket, AUD_DIRECTION_READ, nullptr, nullptr,
                              AUD_SET_SOCKET_REPLACE);
    aud_fd_set_remove(&b->ready, socket);
}

template <typename List>
void take_out(List& list, db_resolve* r) {
    const auto it = std::find(list.begin(), list.end(), r);
    if (it != list.end()) {
        list.erase(it);
    }
}

void release_resolve(db_resolve* r) {
    db_adhoc_browse* b = r->browser;
    if (r->resolving) {
        unwatch_socket(b, r->socket);
        DNSServiceRefDeallocate(r->ref);
        r->ref = nullptr;
        r->socket = AUD_SOCKET_INVALID;
        r->resolving = false;
    }
    r->network = 0;
    r->row = kReleasedRow;
    r->name[0] = '\0';
    take_out(b->running, r);
    take_out(b->waiting, r);
    if (std::find(b->released.begin(), b->released.end(), r) == b->released.end()) {
        b->released.push_back(r);
    }
}

void free_released(db_adhoc_browse* b) {
    if (b->in_pass) {
        return;  // the end of the pass frees them
    }
    for (db_resolve* r : b->released) {
        delete r;
    }
    b->released.clear();
}

// Logged at most once a minute: a flood must not flood the log too.
void warn_waiting_full(db_adhoc_browse* b) {
    const aud_time now = aud_time_now();
    if (b->dropped_before && now.seconds - b->last_drop_warning.seconds < kDropWarningSeconds) {
        return;
    }
    b->dropped_before = true;
    b->last_drop_warning = now;
    aud_log_printf(log_of(b), AUD_LOG_LEVEL_WARNING,
                   "%s: %zu adverts are waiting to be resolved; newer ones are dropped\n",
                   "db_dnssd_browse", b->waiting.size());
}

uint32_t interface_of_network(const db_adhoc_browse* b, uint32_t network) {
    if (network < b->config.network_count) {
        return b->config.interface_index[network];
    }
    // Adverts outside the networks come from the loopback interface.
    if (b->config.network_count < DB_BROWSE_MAX_NETWORKS) {
        return b->config.interface_index[b->config.network_count];
    }
    return b->has_loopback ? b->loopback_index : 0;
}

// The first label of the target host, unescaped ("\." and "\\" as the
// character, "\DDD" as the byte), at most 31 characters.
void host_label(const char* target, char* out) {
    size_t n = 0;
    const char* p = target != nullptr ? target : "";
    while (*p != '\0' && *p != '.' && n < kHostLabelSize - 1) {
        char c = *p++;
        if (c == '\\' && *p != '\0') {
            if (p[0] >= '0' && p[0] <= '9' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' &&
                p[2] <= '9') {
                const int value = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
                c = static_cast<char>(value <= 255 ? value : '?');
                p += 3;
            } else {
                c = *p++;
            }
        }
        out[n++] = c;
    }
    out[n] = '\0';
}

// "channel@device": false when there is no at sign or a part is too long.
bool split_channel_name(const char* name, char* channel, char* device) {
    const char* at = std::strchr(name, '@');
    if (at == nullptr) {
        return false;
    }
    const size_t channel_length = static_cast<size_t>(at - name);
    const size_t device_length = std::strlen(at + 1);
    if (channel_length == 0 || device_length == 0 || channel_length >= DB_BROWSE_NAME_SIZE ||
        device_length >= DB_BROWSE_NAME_SIZE) {
        return false;
    }
    std::memcpy(channel, name, channel_length);
    channel[channel_length] = '\0';
    std::memcpy(device, at + 1, device_length + 1);
    return true;
}

// ---- Resolved handlers ----

void conmon_resolved(db_resolve* r, const char* host, uint16_t port, uint16_t txt_length,
                     const unsigned char* txt) {
    db_adhoc_browse* b = r->browser;
    aud_log* log = log_of(b);
    const char* fn = "db_adhoc_browse_conmon_device_resolved";
    if (port == 0 && !b->zero_port) {
        aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                       "%s: Warning: NOT adding conmon device %s with target port of zero\n", fn,
                       r->name);
        return;
    }
    db_conmon_txt record;
    if (parse_conmon_txt_record(txt, txt_length, &record) != AUD_SUCCESS) {
        return;
    }
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: Adding conmon device \"%s\" (target_name='%s')\n",
                   fn, r->name, host);
    if (db_browse_tree_update_conmon_device(b->tree, r->network, r->name, host, port, &record,
                                            &b->pass_tree_changed) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Error adding conmon device \"%s\" to tree\n",
                       fn, r->name);
        b->pass_error = AUD_ERR_NOMEMORY;
    }
}

void media_resolved(db_resolve* r, const char* host, uint16_t port, uint16_t txt_length,
                    const unsigned char* txt) {
    db_adhoc_browse* b = r->browser;
    aud_log* log = log_of(b);
    const char* fn = "db_adhoc_browse_media_device_resolved";
    if (port == 0 && !b->zero_port) {
        aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                       "%s: Warning: NOT adding media device %s with target port of zero\n", fn,
                       r->name);
        return;
    }
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: Resolved media device \"%s port %u\"\n", fn,
                   r->name, port);
    db_media_txt record;
    if (parse_media_txt_record(txt, txt_length, &record) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                       "%s: Error parsing txt_record for media device \"%s\"\n", fn, r->name);
    }
    if (db_browse_tree_update_media_device(b->tree, r->network, r->name, host, port, &record,
                                           &b->pass_tree_changed) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Error adding media device \"%s\" to tree\n",
                       fn, r->name);
        b->pass_error = AUD_ERR_NOMEMORY;
    }
}

void channel_resolved(db_resolve* r, const char*, uint16_t port, uint16_t txt_length,
                      const unsigned char* txt) {
    db_adhoc_browse* b = r->browser;
    aud_log* log = log_of(b);
    const char* fn = "db_adhoc_browse_media_channel_resolved";
    if (port == 0 && !b->zero_port) {
        aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                       "%s: Warning: NOT adding media channel %s with target port of zero\n", fn,
                       r->name);
        return;
    }
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: starting(channel=\"%s\")\n", fn, r->name);
    char channel[DB_BROWSE_NAME_SIZE];
    char device[DB_BROWSE_NAME_SIZE];
    if (!split_channel_name(r->name, channel, device)) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Browse error:... no '@' in name \"%s\"\n", fn,
                       r->name);
        return;
    }
    db_channel_txt parsed;
    switch (parse_channel_txt_record(txt, txt_length, &parsed)) {
        case DB_CHANNEL_TXT_OK:
            break;
        case DB_CHANNEL_TXT_NO_ID:
            aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                           "%s: Resolve error: txt record 'id' field missing or empty for channel "
                           "\"%s\"\n",
                           fn, r->name);
            return;
        case DB_CHANNEL_TXT_NO_RATE:
            aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                           "%s: Resolve Error: txt record 'rate' field missing or empty for "
                           "channel \"%s\"\n",
                           fn, r->name);
            return;
        case DB_CHANNEL_TXT_NO_ENC:
            aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                           "%s: Resolve Error: txt record 'enc' field missing or empty for channel "
                           "\"%s\"\n",
                           fn, r->name);
            return;
        case DB_CHANNEL_TXT_TOO_MANY_ENC:
            aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                           "%s: Resolve error: out of memory while allocating encodings for "
                           "channel \"%s\"\n",
                           fn, r->name);
            b->pass_error = AUD_ERR_NOMEMORY;
            return;
    }
    db_browse_channel_data data{};
    data.id = parsed.id;
    data.rate = parsed.rate;
    data.pcm_mask = parsed.pcm_mask;
    data.pcm_width = parsed.pcm_width;
    data.first_encoding = parsed.first_encoding;
    data.other_count = parsed.other_count;
    std::memcpy(data.others, parsed.others, sizeof data.others);
    const aud_error result = db_browse_tree_update_media_channel(
        b->tree, r->network, device, channel, &data, parsed.is_default, &b->pass_tree_changed);
    if (result != AUD_SUCCESS) {
        const char* text = aud_error_message(result);
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                       "%s: Resolve error: failed to add network channel \"%s\": %s\n", fn, r->name,
                       text != nullptr ? text : "unknown error");
        b->pass_error = result;
    }
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: finished\n", fn);
}

void mode_resolved(db_resolve* r, const char* host, uint16_t port, uint16_t txt_length,
                   const unsigned char* txt) {
    db_adhoc_browse* b = r->browser;
    aud_log* log = log_of(b);
    const bool safe = r->row == kSafe;
    const char* fn = safe ? "db_adhoc_browse_safe_mode_device_resolved"
                          : "db_adhoc_browse_upgrade_mode_device_resolved";
    const char* what = safe ? "safe mode" : "upgrade mode";
    if (port == 0) {
        aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                       "%s: Warning: %s advert %s has port zero, discovering anyway\n", fn, what,
                       r->name);
    }
    db_mode_txt record;
    parse_mode_txt_record(txt, txt_length, safe ? "safe" : "upgr", &record);
    if ((record.problems & DB_MODE_TXT_ID_MISSING) != 0) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                       "%s: Resolve Error: txt record 'id' field missing or empty for %s conmon "
                       "device \"%s\"\n",
                       fn, what, r->name);
    }
    if ((record.problems & DB_MODE_TXT_ID_SHORT) != 0) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                       "%s: Resolve Error: txt record 'id' field has insufficient data for conmon "
                       "device \"%s\"\n",
                       fn, r->name);
    }
    if ((record.problems & DB_MODE_TXT_PROCESS_MISSING) != 0) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                       "%s: Resolve Error: txt record 'process' field missing or empty for conmon "
                       "device \"%s\"\n",
                       fn, r->name);
    }
    const uint32_t service = safe ? DB_BROWSE_TYPE_SAFE_MODE : DB_BROWSE_TYPE_UPGRADE_MODE;
    if (db_browse_tree_update_mode_device(b->tree, service, r->network, r->name, host,
                                          &record.instance_id, record.value,
                                          &b->pass_tree_changed) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                       "%s: Error adding %s device \"%s\" on network %u to tree\n", fn, what,
                       r->name, r->network);
        b->pass_error = AUD_ERR_NOMEMORY;
    }
}

void via_resolved(db_resolve* r, const char* host, uint16_t port, uint16_t txt_length,
                  const unsigned char* txt) {
    db_adhoc_browse* b = r->browser;
    aud_log* log = log_of(b);
    const char* fn = "parse_via_txt_record";
    if (port == 0 && !b->zero_port) {
        aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                       "%s: Warning: NOT adding via device %s with target port of zero\n",
                       "db_adhoc_browse_via_device_resolved", r->name);
        return;
    }
    db_via_txt record;
    const char* problem = nullptr;
    switch (parse_via_txt_record(txt, txt_length, &record)) {
        case DB_VIA_TXT_OK:
            break;
        case DB_VIA_TXT_ID_MISSING:
            problem = "txt record 'id' field missing or empty";
            break;
        case DB_VIA_TXT_ID_SHORT:
            problem = "txt record 'id' field has insufficient data";
            break;
        case DB_VIA_TXT_PROCESS_MISSING:
            problem = "txt record 'process' field missing or empty";
            break;
        case DB_VIA_TXT_VERS_MIN_MISSING:
            problem = "txt record 'vers_min' field missing or empty";
            break;
        case DB_VIA_TXT_VERS_MIN_INVALID:
            problem = "txt record 'vers_min' has invalid data";
            break;
        case DB_VIA_TXT_VERS_CURR_MISSING:
            problem = "txt record 'vcp_curr' field missing or empty";
            break;
        case DB_VIA_TXT_VERS_CURR_INVALID:
            problem = "txt record 'vcp_curr' has invalid data";
            break;
    }
    if (problem != nullptr) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Resolve Error: %s for via device \"%s\"\n",
                       fn, problem, r->name);
        return;
    }
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG,
                   "%s: Adding via device \"%s\" (target_name='%s' target_port=%d)\n",
                   "db_adhoc_browse_via_device_resolved", r->name, host, port);
    if (db_browse_tree_update_via_device(b->tree, r->network, r->name, host, port, &record,
                                         &b->pass_tree_changed) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Error adding via device \"%s\" to tree\n",
                       "db_adhoc_browse_via_device_resolved", r->name);
        b->pass_error = AUD_ERR_NOMEMORY;
    }
}

void call_resolved_handler(db_resolve* r, const char* host, uint16_t port, uint16_t txt_length,
                           const unsigned char* txt) {
    switch (r->row) {
        case kMedia:
            media_resolved(r, host, port, txt_length, txt);
            break;
        case kChannel:
            channel_resolved(r, host, port, txt_length, txt);
            break;
        case kConmon:
            conmon_resolved(r, host, port, txt_length, txt);
            break;
        case kSafe:
        case kUpgrade:
            mode_resolved(r, host, port, txt_length, txt);
            break;
        case kVia:
            via_resolved(r, host, port, txt_length, txt);
            break;
        default:
            break;
    }
}

// ---- Lost handlers ----

void service_lost(db_adhoc_browse* b, int row, uint32_t network, const char* name) {
    aud_log* log = log_of(b);
    switch (row) {
        case kMedia:
            db_browse_tree_remove_service(b->tree, DB_BROWSE_TYPE_MEDIA_DEVICE, network, name,
                                          &b->pass_tree_changed);
            break;
        case kChannel: {
            char channel[DB_BROWSE_NAME_SIZE];
            char device[DB_BROWSE_NAME_SIZE];
            if (!split_channel_name(name, channel, device)) {
                aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                               "%s: Browse error:... no '@' in name \"%s\"\n",
                               "db_adhoc_browse_media_channel_lost", name);
                break;
            }
            db_browse_tree_remove_media_channel(b->tree, network, device, channel,
                                                &b->pass_tree_changed);
            break;
        }
        default: {
            static const char* const kWhat[] = {
                "", "", "conmon device", "safe mode device", "upgrade mode device", "via device"};
            static const char* const kFunction[] = {"",
                                                    "",
                                                    "db_adhoc_browse_conmon_device_lost",
                                                    "db_adhoc_browse_safe_mode_device_lost",
                                                    "db_adhoc_browse_upgrade_mode_device_lost",
                                                    "db_adhoc_browse_via_device_lost"};
            aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: Removing %s \"%s\" from network %u\n",
                           kFunction[row], kWhat[row], name, network);
            db_browse_tree_remove_service(b->tree, kRows[row].type_bit, network, name,
                                          &b->pass_tree_changed);
            break;
        }
    }
}

// ---- DNS-SD callbacks ----

void db_dnssd_resolve(DNSServiceRef, DNSServiceFlags, uint32_t interface_index,
                      DNSServiceErrorType error, const char*, const char* host_target,
                      uint16_t port_network_order, uint16_t txt_length, const unsigned char* txt,
                      void* context) {
    auto* r = static_cast<db_resolve*>(context);
    db_adhoc_browse* b = r->browser;
    aud_log* log = log_of(b);
    if (error != kDNSServiceErr_NoError) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                       "%s: Error resolving '%s' using socket %d (dns error=%d)\n",
                       "db_dnssd_resolve", r->name, static_cast<int>(r->socket), error);
        b->pass_error = AUD_ERR_DNSSDFAIL;
        release_resolve(r);
        return;
    }
    if (r->network < b->config.network_count) {
        const uint32_t wanted = b->config.interface_index[r->network];
        if (interface_index != wanted) {
            aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                           "%s: ignoring resolve for %s on interface %u (not %u)",
                           "db_dnssd_resolve", r->name, interface_index, wanted);
            return;
        }
    } else if (!b->has_loopback || interface_index != b->loopback_index) {
        return;
    }
    char host[kHostLabelSize];
    host_label(host_target, host);
    const auto* port_bytes = reinterpret_cast<const uint8_t*>(&port_network_order);
    const auto port = static_cast<uint16_t>((port_bytes[0] << 8) | port_bytes[1]);
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG,
                   "%s: Resolved '%s' on network %u using socket %d (hosttarget=%s port=%d)\n",
                   "db_dnssd_resolve", r->name, r->network, static_cast<int>(r->socket),
                   host_target != nullptr ? host_target : "", port);
    call_resolved_handler(r, host, port, txt_length, txt);
    // A node callback may have stopped the browse and so released this
    // resolve already; it stays allocated until the pass ends.
    if (r->row != kReleasedRow) {
        release_resolve(r);
    }
}

void db_dnssd_browse(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                     DNSServiceErrorType error, const char* name, const char* type,
                     const char* domain, void* context) {
    auto* b = static_cast<db_adhoc_browse*>(context);
    aud_log* log = log_of(b);
    const char* fn = "db_dnssd_browse";
    name = name != nullptr ? name : "";
    type = type != nullptr ? type : "";
    domain = domain != nullptr ? domain : "";
    if (error != kDNSServiceErr_NoError) {
        aud_log_printf(log, AUD_LOG_LEVEL_WARNING, "%s: browse %s.%s.%s failed: %d\n", fn, name,
                       type, domain, error);
        b->pass_error = AUD_ERR_DNSSDFAIL;
        return;
    }
    // A network whose index is still 0 takes the first advert's interface,
    // but never the loopback interface's: a local responder answering first
    // would otherwise lock the network to loopback and every unit on the LAN
    // would be ignored. So the networks already on this interface come
    // first, then the loopback check, and only then an open network.
    bool found = false;
    uint32_t network = 0;
    for (uint32_t n = 0; n < b->config.network_count && !found; ++n) {
        if ((b->config.network_mask & (1u << n)) != 0 &&
            b->config.interface_index[n] == interface_index && interface_index != 0) {
            found = true;
            network = n;
        }
    }
    const bool loopback = b->has_loopback && interface_index == b->loopback_index;
    if (!found && loopback && b->config.loopback != 0) {
        found = true;
        network = b->config.network_count;
    }
    for (uint32_t n = 0; n < b->config.network_count && !found && !loopback; ++n) {
        if ((b->config.network_mask & (1u << n)) != 0 && b->config.interface_index[n] == 0) {
            b->config.interface_index[n] = interface_index;
            aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                           "%s: No interface index filter defined for network %u, setting "
                           "interface index to %d\n",
                           fn, n, static_cast<int>(interface_index));
            found = true;
            network = n;
        }
    }
    if (!found) {
        aud_log_printf(
            log, AUD_LOG_LEVEL_DEBUG,
            "%s: Ignoring advertisement %s.%s.%s flags=0x%08x on invalid interface index %d", fn,
            name, type, domain, flags, static_cast<int>(interface_index));
        return;
    }
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG,
                   "%s: name=\"%s\" type=\"%s\" domain=\"%s\" flags=0x%08x intf=%u (net=%u)\n", fn,
                   name, type, domain, flags, interface_index, network);
    int row = -1;
    for (int i = 0; i < kRowCount; ++i) {
        if ((b->types & kRows[i].type_bit) != 0 && std::strcmp(kRows[i].service_type, type) == 0) {
            row = i;
            break;
        }
    }
    if (row < 0) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: unknown service type %s\n", fn, type);
        return;
    }
    const size_t length = std::strlen(name);
    if (length == 0 || length > kRows[row].longest_name) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG,
                       "%s: Ignoring invalid name \"%s\" for service type %s\n", fn, name, type);
        return;
    }
    if ((flags & kDNSServiceFlagsAdd) != 0) {
        if (b->waiting.size() >= kMaxWaitingResolves) {
            warn_waiting_full(b);
            return;
        }
        db_resolve* r = nullptr;
        if (!b->released.empty()) {
            r = b->released.back();
            b->released.pop_back();
        } else {
            r = new (std::nothrow) db_resolve;
        }
        if (r == nullptr) {
            b->pass_error = AUD_ERR_NOMEMORY;
            return;
        }
        *r = db_resolve{};
        r->browser = b;
        r->network = network;
        r->row = row;
        std::memcpy(r->name, name, length + 1);
        try {
            b->waiting.push_back(r);
        } catch (const std::bad_alloc&) {
            delete r;
            b->pass_error = AUD_ERR_NOMEMORY;
        }
        return;
    }
    service_lost(b, row, network, name);
    const auto matches = [&](const db_resolve* r) {
        return r->network == network && std::strcmp(r->name, name) == 0;
    };
    std::vector<db_resolve*> gone;
    for (db_resolve* r : b->running) {
        if (matches(r)) {
            gone.push_back(r);
        }
    }
    for (db_resolve* r : b->waiting) {
        if (matches(r)) {
            gone.push_back(r);
        }
    }
    for (db_resolve* r : gone) {
        release_resolve(r);
    }
}

aud_error resolve_start(db_resolve* r) {
    db_adhoc_browse* b = r->browser;
    aud_log* log = log_of(b);
    if (r->resolving) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "Error resolving %s: already resolving\n",
                       r->name);
        return AUD_ERR_INVALIDSTATE;
    }
    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType error =
        DNSServiceResolve(&ref, 0, interface_of_network(b, r->network), r->name,
                          kRows[r->row].service_type, "local", db_dnssd_resolve, r);
    if (error != kDNSServiceErr_NoError || ref == nullptr) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "Error resolving %s: %d\n", r->name, error);
        return AUD_ERR_DNSSDFAIL;
    }
    const aud_socket_t socket = DNSServiceRefSockFD(ref);
    if (!watch_socket(b, socket)) {
        DNSServiceRefDeallocate(ref);
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "Error resolving %s: %d\n", r->name, error);
        return AUD_ERR_DNSSDFAIL;
    }
    r->ref = ref;
    r->socket = socket;
    const aud_time timeout{static_cast<int32_t>(b->config.resolve_timeout_seconds),
                           static_cast<int32_t>(b->config.resolve_timeout_microseconds)};
    r->deadline = aud_time_add(b->pass_time, aud_time_normalise(timeout));
    r->started = b->pass_time;
    r->resolving = true;
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: resolve '%s' initiated using socket %d\n",
                   "db_resolve_resolve", r->name, static_cast<int>(socket));
    return AUD_SUCCESS;
}

void start_waiting_resolves(db_adhoc_browse* b) {
    while (b->running.size() < b->concurrent && !b->waiting.empty()) {
        db_resolve* r = b->waiting.front();
        b->waiting.pop_front();
        if (resolve_start(r) != AUD_SUCCESS) {
            release_resolve(r);
            return;
        }
        b->running.push_back(r);
    }
}

void stop_browse_operations(db_adhoc_browse* b) {
    for (int i = 0; i < kRowCount; ++i) {
        if (b->browse_refs[i] == nullptr) {
            continue;
        }
        aud_log_printf(
            log_of(b), AUD_LOG_LEVEL_DEBUG, "%s: Stopping browsing for type %s using socket %d\n",
            "db_adhoc_browse_stop", kRows[i].label, static_cast<int>(b->browse_sockets[i]));
        unwatch_socket(b, b->browse_sockets[i]);
        DNSServiceRefDeallocate(b->browse_refs[i]);
        b->browse_refs[i] = nullptr;
        b->browse_sockets[i] = AUD_SOCKET_INVALID;
    }
    const std::vector<db_resolve*> all = [b] {
        std::vector<db_resolve*> v(b->running);
        v.insert(v.end(), b->waiting.begin(), b->waiting.end());
        return v;
    }();
    for (db_resolve* r : all) {
        release_resolve(r);
    }
    free_released(b);
}

void run_pass(db_adhoc_browse* b) {
    const aud_error result = db_adhoc_browse_process_fdset(b, &b->ready);
    aud_fd_set_clear(&b->ready);
    if (result != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(log_of(b), AUD_LOG_LEVEL_ERROR, "Error processing fdset: %s\n",
                       aud_error_format(result, text, sizeof text));
    }
}

void pass_call(aud_error, aud_event_loop*, uint32_t, void* context) {
    auto* b = static_cast<db_adhoc_browse*>(context);
    b->pass_queued = false;
    run_pass(b);
}

void socket_ready(aud_error, aud_socket_t socket, int, void* context) {
    auto* b = static_cast<db_adhoc_browse*>(context);
    aud_fd_set_add(&b->ready, socket);  // a full set picks the socket up later
    if (!b->pass_queued && b->loop != nullptr &&
        aud_event_loop_call_later(b->loop, &b->pass_handle, pass_call, b) == AUD_SUCCESS) {
        b->pass_queued = true;
    }
}

void resolve_timer_fired(aud_error, aud_timer* timer) {
    run_pass(static_cast<db_adhoc_browse*>(aud_timer_get_context(timer)));
}

void start_timer_fired(aud_error, aud_timer* timer) {
    auto* b = static_cast<db_adhoc_browse*>(aud_timer_get_context(timer));
    const aud_error result = db_adhoc_browse_start_continue(b);
    if (result != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_log_printf(log_of(b), AUD_LOG_LEVEL_ERROR, "%s: %s\n", "db_adhoc_browse_start_continue",
                       aud_error_format(result, text, sizeof text));
    }
}

// When a resolve without an answer gives its slot to a waiting advert.
aud_time hold_end(const db_resolve* r) {
    return aud_time_add(r->started, aud_time{kShortHoldSeconds, 0});
}

// Ends a pass that met an error: the resolves still waiting are started and
// the timer armed all the same, so that one bad advert never stalls the rest.
aud_error finish_pass(db_adhoc_browse* b, aud_error result) {
    b->in_pass = false;
    start_waiting_resolves(b);
    free_released(b);
    if (b->pass_tree_changed) {
        db_browse_tree_notify_changed(b->tree);
    }
    if (b->pass_sockets_changed && b->sockets_changed != nullptr) {
        b->sockets_changed(b->owner);
    }
    if (b->resolve_timer != nullptr) {
        aud_timer_stop(b->resolve_timer);
        if (!b->running.empty()) {
            aud_time wake = b->running.front()->deadline;
            if (!b->waiting.empty()) {
                for (const db_resolve* r : b->running) {
                    const aud_time held = hold_end(r);
                    if (aud_time_compare(held, wake) < 0) {
                        wake = held;
                    }
                }
            }
            aud_timer_start_once(b->resolve_timer, &wake, nullptr);
        }
    }
    return result;
}

}  // namespace

aud_error db_adhoc_browse_new(aud_env* env, uint32_t types, db_browse_tree* tree,
                              db_adhoc_browse** out) {
    aud_log* log = aud_env_get_log(env);
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: creating new browse (types=0x%08x)\n",
                   "db_adhoc_browse_new", types);
    if (out == nullptr || (types & DB_BROWSE_TYPES_DNSSD) == 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* b = new (std::nothrow) db_adhoc_browse;
    if (b == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    b->env = env;
    b->loop = aud_env_get_event_loop(env);
    b->types = types;
    b->tree = tree;
    for (int i = 0; i < kRowCount; ++i) {
        b->type_count += (types & kRows[i].type_bit) != 0 ? 1 : 0;
    }
    if (b->loop != nullptr) {
        char text[AUD_ERROR_FORMAT_SIZE];
        aud_error result = aud_timer_new(b->loop, resolve_timer_fired, b, &b->resolve_timer);
        if (result != AUD_SUCCESS) {
            aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s: Error initialising timer : %s (%d)",
                           "db_adhoc_browse_new", aud_error_format(result, text, sizeof text),
                           result);
            delete b;
            return result;
        }
        result = aud_timer_new(b->loop, start_timer_fired, b, &b->start_timer);
        if (result != AUD_SUCCESS) {
            aud_log_printf(log, AUD_LOG_LEVEL_ERROR,
                           "%s: Error initialising startup timer : %s (%d)", "db_adhoc_browse_new",
                           aud_error_format(result, text, sizeof text), result);
            aud_timer_delete(b->resolve_timer);
            delete b;
            return result;
        }
    }
    aud_interface loopback{};
    const aud_error found = aud_interface_find_loopback(&loopback);
    if (found == AUD_SUCCESS) {
        b->has_loopback = true;
        b->loopback_index = loopback.index;
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: Found localhost interface with index %d\n",
                       "db_adhoc_browse_new", static_cast<int>(loopback.index));
    } else {
        aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                       "%s: Error getting localhost interface index: %d\n", "db_adhoc_browse_new",
                       found);
    }
    *out = b;
    return AUD_SUCCESS;
}

void db_adhoc_browse_delete(db_adhoc_browse* b) {
    if (b == nullptr) {
        return;
    }
    // Whatever a stop would have ended goes too.
    stop_browse_operations(b);
    if (b->resolve_timer != nullptr) {
        aud_timer_delete(b->resolve_timer);
    }
    if (b->start_timer != nullptr) {
        aud_timer_delete(b->start_timer);
    }
    if (b->pass_queued) {
        aud_event_loop_cancel_call(b->loop, b->pass_handle, pass_call, b);
    }
    delete b;
}

void db_adhoc_browse_set_owner(db_adhoc_browse* b, db_browse* owner,
                               db_adhoc_sockets_changed sockets_changed, bool zero_port) {
    b->owner = owner;
    b->sockets_changed = sockets_changed;
    b->zero_port = zero_port;
}

aud_error db_adhoc_browse_set_manufacturer_filter(db_adhoc_browse* b, const uint8_t* id) {
    if (b == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (id == nullptr) {
        b->label[0] = '\0';
    } else {
        db_id_to_label(id, b->label);
    }
    return AUD_SUCCESS;
}

aud_error db_adhoc_browse_set_socket_limit(db_adhoc_browse* b, uint32_t limit) {
    if (b == nullptr || limit <= b->type_count) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (limit == b->type_count + b->concurrent) {
        return AUD_SUCCESS;
    }
    if (b->state == DB_ADHOC_STATE_BROWSING) {
        return AUD_ERR_INVALIDSTATE;
    }
    b->concurrent = limit - b->type_count;
    return AUD_SUCCESS;
}

aud_error db_adhoc_browse_start_config(db_adhoc_browse* b, const db_browse_config* config,
                                       uint32_t start_delay_seconds) {
    if (b == nullptr || config == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (b->state != DB_ADHOC_STATE_STOPPED) {
        return AUD_ERR_INVALIDSTATE;
    }
    db_browse_tree_clear(b->tree, false);
    b->config = *config;
    if (b->config.network_count < 1 || b->config.network_count > DB_BROWSE_MAX_NETWORKS) {
        b->config.network_count = 1;
    }
    char indexes[128] = "";
    size_t used = 0;
    for (uint32_t n = 0; n < b->config.network_count; ++n) {
        const int written = std::snprintf(indexes + used, sizeof indexes - used, "%s%u",
                                          n > 0 ? "," : "", b->config.interface_index[n]);
        if (written < 0 || static_cast<size_t>(written) >= sizeof indexes - used) {
            break;
        }
        used += static_cast<size_t>(written);
    }
    aud_log_printf(log_of(b), AUD_LOG_LEVEL_DEBUG, "%s: starting browse on %d interfaces: %s\n",
                   "db_adhoc_browse_start_config", static_cast<int>(b->config.network_count),
                   indexes);
    b->state = DB_ADHOC_STATE_START_DELAY;
    if (b->start_timer != nullptr) {
        aud_timer_stop(b->start_timer);
    }
    if (start_delay_seconds == 0 || b->start_timer == nullptr) {
        return db_adhoc_browse_start_continue(b);
    }
    const aud_time delay{static_cast<int32_t>(start_delay_seconds), 0};
    return aud_timer_start_once(b->start_timer, nullptr, &delay);
}

aud_error db_adhoc_browse_start_continue(db_adhoc_browse* b) {
    if (b == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (b->state != DB_ADHOC_STATE_START_DELAY) {
        aud_log_printf(log_of(b), AUD_LOG_LEVEL_ERROR, "Not in start-delay state");
        return AUD_ERR_INVALIDSTATE;
    }
    for (int i = 0; i < kRowCount; ++i) {
        if ((b->types & kRows[i].type_bit) == 0) {
            continue;
        }
        // The bare type without its final dot, then the subtype label.
        std::string type(kRows[i].service_type);
        if (b->label[0] != '\0') {
            type += ",";
            type += b->label;
        }
        std::snprintf(b->type_text[i], sizeof b->type_text[i], "%s", type.c_str());
        DNSServiceRef ref = nullptr;
        const DNSServiceErrorType error =
            DNSServiceBrowse(&ref, 0, 0, b->type_text[i], "local", db_dnssd_browse, b);
        aud_socket_t socket = AUD_SOCKET_INVALID;
        if (error == kDNSServiceErr_NoError && ref != nullptr) {
            socket = DNSServiceRefSockFD(ref);
            if (!watch_socket(b, socket)) {
                DNSServiceRefDeallocate(ref);
                ref = nullptr;
            }
        }
        if (ref == nullptr) {
            db_adhoc_browse_stop(b, false);
            aud_log_printf(log_of(b), AUD_LOG_LEVEL_ERROR,
                           "Error starting %s (%s) browse (dnssd err=%d)\n", kRows[i].label,
                           b->type_text[i], error);
            return AUD_ERR_DNSSDFAIL;
        }
        b->browse_refs[i] = ref;
        b->browse_sockets[i] = socket;
        aud_log_printf(log_of(b), AUD_LOG_LEVEL_DEBUG,
                       "%s: Started browsing for type %s (%s) using socket %d\n",
                       "db_adhoc_browse_start_continue", kRows[i].label, b->type_text[i],
                       static_cast<int>(socket));
    }
    b->state = DB_ADHOC_STATE_BROWSING;
    return AUD_SUCCESS;
}

void db_adhoc_browse_stop(db_adhoc_browse* b, bool callbacks) {
    if (b == nullptr) {
        return;
    }
    stop_browse_operations(b);
    if (b->resolve_timer != nullptr) {
        aud_timer_stop(b->resolve_timer);
    }
    if (b->start_timer != nullptr) {
        aud_timer_stop(b->start_timer);
    }
    aud_fd_set_clear(&b->ready);
    db_browse_tree_clear(b->tree, callbacks);
    b->state = DB_ADHOC_STATE_STOPPED;
}

aud_error db_adhoc_browse_process_fdset(db_adhoc_browse* b, aud_fd_set* ready) {
    aud_log* log = log_of(b);
    b->pass_time = aud_time_now();
    b->pass_error = AUD_SUCCESS;
    b->pass_sockets_changed = false;
    b->pass_tree_changed = false;
    b->in_pass = true;

    // Answers to running resolves. A handler may release any resolve, so
    // each is looked for again before it is processed.
    const std::vector<db_resolve*> running = b->running;
    for (db_resolve* r : running) {
        if (std::find(b->running.begin(), b->running.end(), r) == b->running.end() ||
            !r->resolving || !aud_fd_set_contains(ready, r->socket)) {
            continue;
        }
        const aud_socket_t socket = r->socket;
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG,
                       "%s: processing resolve %p (type=%d name=%s sdref=%p s=%u)\n",
                       "db_adhoc_browse_process_fdset", static_cast<void*>(r), r->row, r->name,
                       static_cast<void*>(r->ref), static_cast<unsigned>(socket));
        const int result = dt_dns_sd_process_result(nullptr, r->ref);
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: processed resolve %p with err %d\n",
                       "db_adhoc_browse_process_fdset", static_cast<void*>(r), result);
        aud_fd_set_remove(ready, socket);
        if (result != 0) {
            return finish_pass(b, AUD_ERR_DNSSDFAIL);
        }
        if (b->pass_error != AUD_SUCCESS) {
            return finish_pass(b, b->pass_error);
        }
    }

    // Resolves past their deadline are given up and their record
    // reconfirmed; so are those past their short hold while adverts wait.
    const std::vector<db_resolve*> still_running = b->running;
    for (db_resolve* r : still_running) {
        const bool held_long =
            !b->waiting.empty() && aud_time_compare(hold_end(r), b->pass_time) < 0;
        if (aud_time_compare(r->deadline, b->pass_time) >= 0 && !held_long) {
            continue;
        }
        char full_name[kDNSServiceMaxDomainName];
        if (DNSServiceConstructFullName(full_name, r->name, kRows[r->row].service_type, "local") !=
            kDNSServiceErr_NoError) {
            full_name[0] = '\0';
        }
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG,
                       "%s: Resolve %s/%s (%s) timed out, removing and reconfirming\n",
                       "db_adhoc_browse_process_fdset", kRows[r->row].label, r->name, full_name);
        const uint32_t interface_index = interface_of_network(b, r->network);
        release_resolve(r);
        if (full_name[0] != '\0') {
            DNSServiceReconfirmRecord(0, interface_index, full_name, kDNSServiceType_PTR,
                                      kDNSServiceClass_IN, 0, nullptr);
        }
    }

    // The browse operations' adverts.
    for (int i = 0; i < kRowCount; ++i) {
        if ((b->types & kRows[i].type_bit) == 0 || b->browse_refs[i] == nullptr ||
            !aud_fd_set_contains(ready, b->browse_sockets[i])) {
            continue;
        }
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s: processing %s socket %d\n",
                       "db_adhoc_browse_process_fdset", kRows[i].label,
                       static_cast<int>(b->browse_sockets[i]));
        const int result = dt_dns_sd_process_result(nullptr, b->browse_refs[i]);
        aud_fd_set_remove(ready, b->browse_sockets[i]);
        if (result != 0) {
            return finish_pass(b, AUD_ERR_DNSSDFAIL);
        }
        if (b->pass_error != AUD_SUCCESS) {
            return finish_pass(b, b->pass_error);
        }
    }
    return finish_pass(b, AUD_SUCCESS);
}

int db_adhoc_browse_get_state(const db_adhoc_browse* b) {
    return b != nullptr ? b->state : DB_ADHOC_STATE_STOPPED;
}

uint32_t db_adhoc_browse_get_concurrent_resolves(const db_adhoc_browse* b) {
    return b != nullptr ? b->concurrent : 0;
}

size_t db_adhoc_browse_get_running_resolves(const db_adhoc_browse* b) {
    return b != nullptr ? b->running.size() : 0;
}

size_t db_adhoc_browse_get_waiting_resolves(const db_adhoc_browse* b) {
    return b != nullptr ? b->waiting.size() : 0;
}

const char* db_adhoc_browse_get_subtype_label(const db_adhoc_browse* b) {
    return b != nullptr ? b->label : "";
}

uint32_t db_adhoc_browse_get_interface_index(const db_adhoc_browse* b, uint32_t network) {
    return b != nullptr && network < DB_BROWSE_MAX_NETWORKS ? b->config.interface_index[network]
                                                            : 0;
}
