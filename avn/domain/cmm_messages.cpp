#include "avn/domain/cmm_messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "avn/runtime/aud_log.h"

namespace {

constexpr size_t kStateRootSlots = 5;
constexpr size_t kConnectResponseSlots = 4;
constexpr size_t kConnectRequestSlots = 3;
constexpr size_t kSetConfigSlots = 3;
constexpr size_t kInterfaceSlots = 2;
constexpr size_t kProcessSlots = 3;

// Appends nodes and fills slots, keeping the first error: once a write
// fails the rest do nothing and the message's body is abandoned.
class Writer {
  public:
    explicit Writer(dgcp2_message* message) : message_(message) {
        dgcp2_message_clear_body(message);
    }

    uint16_t array(size_t count) {
        uint16_t node = 0;
        if (count > UINT16_MAX) {
            error_ = AUD_ERR_MSGSIZE;
        } else if (ok()) {
            error_ = dgcp2_body_add_array(message_, static_cast<uint16_t>(count), &node);
        }
        return node;
    }
    void slot(uint16_t array, size_t index, uint16_t value) {
        if (ok()) {
            error_ = dgcp2_body_set_slot(message_, array, static_cast<uint16_t>(index), value);
        }
    }
    uint16_t string(std::string_view text) {
        uint16_t node = 0;
        if (ok()) {
            error_ = dgcp2_body_add_string(message_, text, &node);
        }
        return node;
    }
    uint16_t u32(uint32_t value) {
        uint16_t node = 0;
        if (ok()) {
            error_ = dgcp2_body_add_u32(message_, value, &node);
        }
        return node;
    }
    uint16_t utf32(std::u16string_view text) {
        uint16_t node = 0;
        if (ok()) {
            error_ = dgcp2_body_add_utf32(message_, text, &node);
        }
        return node;
    }
    uint16_t bytes(const void* data, uint16_t size) {
        uint16_t node = 0;
        if (ok()) {
            error_ = dgcp2_body_add_bytes(message_, data, size, &node);
        }
        return node;
    }
    aud_error error() const { return error_; }

  private:
    bool ok() const { return error_ == AUD_SUCCESS; }
    dgcp2_message* message_;
    aud_error error_ = AUD_SUCCESS;
};

// Reads nodes, keeping the first error: once a read fails the rest yield
// zeros, so a decoder can read its whole shape and check once at the end.
class Reader {
  public:
    explicit Reader(const dgcp2_message* message) : message_(message) {}

    // The root array with at least `needed` slots.
    void root(size_t needed) {
        uint16_t count = 0;
        error_ = dgcp2_body_read_root(message_, &count);
        if (ok() && count < needed) {
            error_ = AUD_ERR_INVALIDDATA;
        }
    }
    // The slot count of the array at `offset`, which must be at least `needed`.
    uint16_t array(uint16_t offset, size_t needed) {
        uint16_t count = 0;
        if (ok()) {
            error_ = dgcp2_body_read_array(message_, offset, &count);
        }
        if (ok() && count < needed) {
            error_ = AUD_ERR_INVALIDDATA;
        }
        return ok() ? count : 0;
    }
    uint16_t slot(uint16_t array, size_t index) {
        uint16_t value = 0;
        if (ok()) {
            error_ = dgcp2_body_read_slot(message_, array, static_cast<uint16_t>(index), &value);
        }
        return ok() ? value : 0;
    }
    void string(uint16_t offset, char* out, size_t limit) {
        if (ok()) {
            error_ = dgcp2_body_read_string(message_, offset, out, limit);
        }
    }
    uint32_t u32(uint16_t offset) {
        uint32_t value = 0;
        if (ok()) {
            error_ = dgcp2_body_read_u32(message_, offset, &value);
        }
        return ok() ? value : 0;
    }
    void utf32(uint16_t offset, char16_t* out, size_t limit) {
        if (ok()) {
            error_ = dgcp2_body_read_utf32(message_, offset, out, limit);
        }
    }
    void bytes(uint16_t offset, void* out, uint16_t size) {
        if (ok()) {
            error_ = dgcp2_body_read_bytes(message_, offset, out, size);
        }
    }
    aud_error error() const { return error_; }

  private:
    bool ok() const { return error_ == AUD_SUCCESS; }
    const dgcp2_message* message_;
    aud_error error_ = AUD_SUCCESS;
};

std::u16string_view name_of(const cmm_interface& interface) {
    size_t n = 0;
    while (n < CMM_INTERFACE_NAME_SIZE && interface.name[n] != u'\0') {
        ++n;
    }
    return {interface.name, n};
}

std::string_view text_of(const char* text, size_t size) {
    size_t n = 0;
    while (n < size && text[n] != '\0') {
        ++n;
    }
    return {text, n};
}

// Copies a fixed-size text field into a terminated buffer of the same size
// plus one, for printing.
template <size_t N>
void terminated(const char (&field)[N], char (&out)[N + 1]) {
    const std::string_view text = text_of(field, N);
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
}

uint16_t write_interface(Writer& w, const cmm_interface& interface) {
    const uint16_t node = w.array(kInterfaceSlots);
    w.slot(node, 0, w.utf32(name_of(interface)));
    w.slot(node, 1, w.bytes(interface.mac, CMM_MAC_SIZE));
    return node;
}

uint16_t write_interface_list(Writer& w, const cmm_interface* interfaces, size_t count) {
    const uint16_t node = w.array(count);
    for (size_t i = 0; i < count; ++i) {
        w.slot(node, i, write_interface(w, interfaces[i]));
    }
    return node;
}

uint16_t write_interface_set(Writer& w, const cmm_interface_set& set) {
    const uint16_t node = w.array(1);
    w.slot(
        node, 0,
        write_interface_list(w, set.interfaces, std::min<size_t>(set.count, CMM_SET_INTERFACES)));
    return node;
}

void read_interface(Reader& r, uint16_t node, cmm_interface* out) {
    r.array(node, kInterfaceSlots);
    r.utf32(r.slot(node, 0), out->name, CMM_INTERFACE_NAME_SIZE);
    r.bytes(r.slot(node, 1), out->mac, CMM_MAC_SIZE);
}

// Reads the first `max` entries of an interface list; returns how many.
uint16_t read_interface_list(Reader& r, uint16_t node, cmm_interface* out, size_t max) {
    const size_t stored = std::min<size_t>(r.array(node, 0), max);
    for (size_t i = 0; i < stored; ++i) {
        read_interface(r, r.slot(node, i), &out[i]);
    }
    return static_cast<uint16_t>(stored);
}

void read_interface_set(Reader& r, uint16_t node, cmm_interface_set* out) {
    r.array(node, 1);
    out->count = read_interface_list(r, r.slot(node, 0), out->interfaces, CMM_SET_INTERFACES);
}

// Decoders fill a cleared record and hand it over only when it decoded.
template <typename Record>
aud_error finish(const Reader& r, const Record& decoded, Record* out) {
    if (r.error() != AUD_SUCCESS) {
        std::memset(out, 0, sizeof *out);
        return r.error();
    }
    std::memcpy(out, &decoded, sizeof *out);
    return AUD_SUCCESS;
}

template <typename Record>
void clear(Record* record) {
    std::memset(record, 0, sizeof *record);
}

// The frame every encoder shares: a root array of `slots` entries, filled by
// `write` from the record.
template <typename Record, typename Write>
aud_error encode(dgcp2_message* message, size_t slots, const Record* record, Write write) {
    if (message == nullptr || record == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    Writer w(message);
    const uint16_t root = w.array(slots);
    write(w, root, *record);
    return w.error();
}

// The frame every decoder shares: a root array of `slots` entries, read by
// `read` into a cleared record that reaches *out only when all of it decoded.
template <typename Record, typename Read>
aud_error decode(const dgcp2_message* message, size_t slots, Record* out, Read read) {
    if (message == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    Record decoded;
    clear(&decoded);
    Reader r(message);
    r.root(slots);
    read(r, decoded);
    return finish(r, decoded, out);
}

aud_error build_event(dgcp2_message* out, uint16_t opcode, uint16_t seqnum,
                      const dgcp2_client_id* client) {
    const aud_error error = dgcp2_message_init(out, CMM_HEADER_TYPE);
    if (error != AUD_SUCCESS) {
        return error;
    }
    dgcp2_message_write_header(out, CMM_PROTOCOL_ID, opcode, DGCP2_KIND_EVENT);
    dgcp2_message_set_seqnum(out, seqnum);
    dgcp2_message_set_client_id(out, client);
    return AUD_SUCCESS;
}

aud_error build_answer(dgcp2_message* out, const dgcp2_message* request, uint16_t kind) {
    if (out == nullptr || request == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const aud_error error = dgcp2_message_init(out, CMM_HEADER_TYPE);
    if (error != AUD_SUCCESS) {
        return error;
    }
    return dgcp2_message_init_response(out, request, kind);
}

bool set_full(const cmm_interface_set* set) {
    return set->count >= CMM_SET_INTERFACES;
}

}  // namespace

const char* cmm_status_name(uint16_t status) {
    switch (status) {
        case CMM_STATUS_UNKNOWN:
            return "Unknown";
        case CMM_STATUS_READY:
            return "Ready";
        case CMM_STATUS_CHANGING:
            return "Changing";
        case CMM_STATUS_INVALID_CONFIG:
            return "Invalid Config";
        case CMM_STATUS_OPTIONS_CHANGED:
            return "Options Changed";
        default:
            return "???";
    }
}

// ---- Bodies ----

aud_error cmm_encode_connect_request(dgcp2_message* message, const cmm_registration* registration) {
    return encode(message, kConnectRequestSlots, registration,
                  [](Writer& w, uint16_t root, const cmm_registration& record) {
                      w.slot(root, 0, w.string(text_of(record.name, CMM_CLIENT_NAME_SIZE - 1)));
                      w.slot(root, 1, w.u32(record.process_id));
                      w.slot(root, 2, record.own_process != 0 ? 1 : 0);
                  });
}

aud_error cmm_decode_connect_request(const dgcp2_message* message, cmm_registration* out) {
    return decode(message, kConnectRequestSlots, out, [](Reader& r, cmm_registration& decoded) {
        r.string(r.slot(0, 0), decoded.name, sizeof decoded.name);
        decoded.process_id = r.u32(r.slot(0, 1));
        decoded.own_process = r.slot(0, 2) != 0 ? 1 : 0;
    });
}

aud_error cmm_encode_connect_response(dgcp2_message* message, const cmm_connection_info* info) {
    return encode(message, kConnectResponseSlots, info,
                  [](Writer& w, uint16_t root, const cmm_connection_info& record) {
                      w.slot(root, 0, record.bytes[0]);
                      w.slot(root, 1, record.bytes[1]);
                      w.slot(root, 2, record.words[0]);
                      w.slot(root, 3, record.words[1]);
                  });
}

aud_error cmm_decode_connect_response(const dgcp2_message* message, cmm_connection_info* out) {
    return decode(message, kConnectResponseSlots, out, [](Reader& r, cmm_connection_info& decoded) {
        decoded.bytes[0] = static_cast<uint8_t>(r.slot(0, 0));
        decoded.bytes[1] = static_cast<uint8_t>(r.slot(0, 1));
        decoded.words[0] = r.slot(0, 2);
        decoded.words[1] = r.slot(0, 3);
    });
}

aud_error cmm_encode_set_config_request(dgcp2_message* message, const cmm_system_config* config) {
    if (config != nullptr &&
        ((config->flags & CMM_CONFIG_INTERFACES) != 0 && config->interfaces == nullptr)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    return encode(message, kSetConfigSlots, config,
                  [](Writer& w, uint16_t root, const cmm_system_config& record) {
                      w.slot(root, 0, static_cast<uint16_t>(record.flags & 0xFFFFu));
                      if ((record.flags & CMM_CONFIG_INTERFACES) != 0) {
                          w.slot(root, 1, write_interface_set(w, *record.interfaces));
                      }
                      if ((record.flags & CMM_CONFIG_LOCK) != 0) {
                          const int lock = record.lock != 0 ? 1 : 0;
                          std::fprintf(stderr, "writing lock value %d\n", lock);
                          w.slot(root, 2, static_cast<uint16_t>(lock));
                      }
                  });
}

aud_error cmm_decode_set_config_request(const dgcp2_message* message, cmm_config_request* out) {
    return decode(message, kSetConfigSlots, out, [](Reader& r, cmm_config_request& decoded) {
        decoded.flags = r.slot(0, 0);
        if ((decoded.flags & CMM_CONFIG_INTERFACES) != 0) {
            read_interface_set(r, r.slot(0, 1), &decoded.interfaces);
        }
        if ((decoded.flags & CMM_CONFIG_LOCK) != 0) {
            decoded.lock = r.slot(0, 2) != 0 ? 1 : 0;
        }
    });
}

aud_error cmm_encode_options(dgcp2_message* message, const cmm_options* options) {
    return encode(message, 1, options, [](Writer& w, uint16_t root, const cmm_options& record) {
        w.slot(root, 0,
               write_interface_list(w, record.interfaces,
                                    std::min<size_t>(record.count, CMM_MAX_OPTIONS)));
    });
}

aud_error cmm_decode_options(const dgcp2_message* message, cmm_options* out) {
    return decode(message, 1, out, [](Reader& r, cmm_options& decoded) {
        decoded.count = read_interface_list(r, r.slot(0, 0), decoded.interfaces, CMM_MAX_OPTIONS);
    });
}

aud_error cmm_encode_state(dgcp2_message* message, const cmm_state* state) {
    return encode(
        message, kStateRootSlots, state, [](Writer& w, uint16_t root, const cmm_state& record) {
            w.slot(root, 0, record.status);
            w.slot(root, 1, w.string(text_of(record.device_name, CMM_DEVICE_NAME_SIZE - 1)));
            w.slot(root, 2, write_interface_set(w, record.current_config));
            if (record.pending_config.count > 0) {
                w.slot(root, 3, write_interface_set(w, record.pending_config));
            }
            const size_t processes = std::min<size_t>(record.process_count, CMM_MAX_PROCESSES);
            const uint16_t list = w.array(processes);
            for (size_t i = 0; i < processes; ++i) {
                const cmm_process& process = record.processes[i];
                const uint16_t node = w.array(kProcessSlots);
                w.slot(node, 0, w.string(text_of(process.name, CMM_PROCESS_NAME_SIZE - 1)));
                w.slot(node, 1, w.u32(process.process_id));
                w.slot(node, 2, process.flag != 0 ? 1 : 0);
                w.slot(list, i, node);
            }
            w.slot(root, 4, list);
        });
}

aud_error cmm_decode_state(const dgcp2_message* message, cmm_state* out) {
    return decode(message, kStateRootSlots, out, [](Reader& r, cmm_state& decoded) {
        decoded.status = r.slot(0, 0);
        r.string(r.slot(0, 1), decoded.device_name, sizeof decoded.device_name);
        read_interface_set(r, r.slot(0, 2), &decoded.current_config);
        const uint16_t pending = r.slot(0, 3);
        if (pending != 0) {
            read_interface_set(r, pending, &decoded.pending_config);
        }
        const uint16_t list = r.slot(0, 4);
        const size_t processes = std::min<size_t>(r.array(list, 0), CMM_MAX_PROCESSES);
        for (size_t i = 0; i < processes; ++i) {
            cmm_process& process = decoded.processes[i];
            const uint16_t node = r.slot(list, i);
            r.array(node, kProcessSlots);
            r.string(r.slot(node, 0), process.name, sizeof process.name);
            process.process_id = r.u32(r.slot(node, 1));
            process.flag = r.slot(node, 2) != 0 ? 1 : 0;
        }
        decoded.process_count = static_cast<uint16_t>(processes);
    });
}

// ---- Whole messages ----

aud_error cmm_build_options_event(dgcp2_message* out, uint16_t seqnum,
                                  const dgcp2_client_id* client, const cmm_options* options) {
    if (out == nullptr || options == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const aud_error error = build_event(out, CMM_OPCODE_OPTIONS, seqnum, client);
    return error != AUD_SUCCESS ? error : cmm_encode_options(out, options);
}

aud_error cmm_build_state_event(dgcp2_message* out, uint16_t seqnum, const dgcp2_client_id* client,
                                const cmm_state* state) {
    if (out == nullptr || state == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const aud_error error = build_event(out, CMM_OPCODE_STATE, seqnum, client);
    return error != AUD_SUCCESS ? error : cmm_encode_state(out, state);
}

aud_error cmm_build_response(dgcp2_message* out, const dgcp2_message* request, uint16_t kind) {
    return build_answer(out, request, kind);
}

aud_error cmm_build_connect_response(dgcp2_message* out, const dgcp2_message* request,
                                     const cmm_connection_info* info) {
    if (info == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const aud_error error = build_answer(out, request, DGCP2_KIND_RESPONSE);
    return error != AUD_SUCCESS ? error : cmm_encode_connect_response(out, info);
}

aud_error cmm_build_set_config_response(dgcp2_message* out, const dgcp2_message* request,
                                        uint16_t kind, const cmm_state* state) {
    if (state == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const aud_error error = build_answer(out, request, kind);
    return error != AUD_SUCCESS ? error : cmm_encode_state(out, state);
}

// ---- Accessors and helpers ----

const cmm_interface_set* cmm_state_get_current_config(const cmm_state* state) {
    if (state == nullptr || state->status == CMM_STATUS_UNKNOWN) {
        return nullptr;
    }
    return &state->current_config;
}

const cmm_interface_set* cmm_state_get_pending_config(const cmm_state* state) {
    if (state == nullptr || state->status != CMM_STATUS_CHANGING) {
        return nullptr;
    }
    return &state->pending_config;
}

uint16_t cmm_interface_list_count(const cmm_options* list) {
    return list != nullptr ? std::min<uint16_t>(list->count, CMM_MAX_OPTIONS) : 0;
}

uint16_t cmm_interface_list_count(const cmm_interface_set* list) {
    return list != nullptr ? std::min<uint16_t>(list->count, CMM_SET_INTERFACES) : 0;
}

const cmm_interface* cmm_interface_list_get(const cmm_options* list, size_t index) {
    return index < cmm_interface_list_count(list) ? &list->interfaces[index] : nullptr;
}

const cmm_interface* cmm_interface_list_get(const cmm_interface_set* list, size_t index) {
    return index < cmm_interface_list_count(list) ? &list->interfaces[index] : nullptr;
}

const char16_t* cmm_interface_get_name(const cmm_interface* interface) {
    return interface != nullptr ? interface->name : nullptr;
}

const uint8_t* cmm_interface_get_mac(const cmm_interface* interface) {
    return interface != nullptr ? interface->mac : nullptr;
}

const cmm_interface* cmm_options_find(const cmm_options* options, const char16_t* name) {
    if (options == nullptr || name == nullptr) {
        return nullptr;
    }
    size_t length = 0;
    while (length < CMM_INTERFACE_NAME_SIZE && name[length] != u'\0') {
        ++length;
    }
    const std::u16string_view wanted{name, length};
    const uint16_t count = cmm_interface_list_count(options);
    for (uint16_t i = 0; i < count; ++i) {
        if (name_of(options->interfaces[i]) == wanted) {
            return &options->interfaces[i];
        }
    }
    return nullptr;
}

void cmm_interface_set_clear(cmm_interface_set* set) {
    if (set != nullptr) {
        set->count = 0;
    }
}

aud_error cmm_interface_set_add_by_name(cmm_interface_set* set, const cmm_options* options,
                                        const char16_t* name) {
    if (set == nullptr || options == nullptr || name == nullptr || set_full(set)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const cmm_interface* found = cmm_options_find(options, name);
    if (found == nullptr) {
        return AUD_ERR_INVALIDDATA;
    }
    std::memcpy(&set->interfaces[set->count], found, sizeof *found);
    ++set->count;
    return AUD_SUCCESS;
}

aud_error cmm_interface_set_add_none(cmm_interface_set* set) {
    if (set == nullptr || set_full(set)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::memset(&set->interfaces[set->count], 0, sizeof set->interfaces[0]);
    ++set->count;
    return AUD_SUCCESS;
}

// ---- Diagnostics ----

char* cmm_interface_name_text(const cmm_interface* interface, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    buffer[0] = '\0';
    if (interface == nullptr) {
        return buffer;
    }
    const std::u16string_view name = name_of(*interface);
    const bool ascii =
        std::all_of(name.begin(), name.end(), [](char16_t unit) { return unit < 128; });
    size_t used = 0;
    for (size_t i = 0; i < name.size() && used + 1 < size; ++i) {
        if (ascii) {
            buffer[used++] = static_cast<char>(name[i]);
            continue;
        }
        const int written = aud_snprintf(buffer + used, size - used, i == 0 ? "%04x" : " %04x",
                                         static_cast<unsigned>(name[i]));
        if (written < 0 || static_cast<size_t>(written) >= size - used) {
            break;  // cut at the last whole unit
        }
        used += static_cast<size_t>(written);
    }
    buffer[used] = '\0';
    return buffer;
}

void cmm_log_interfaces(aud_log* log, int level, const char* prefix,
                        const cmm_interface* interfaces, size_t count) {
    if (interfaces == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        char name[CMM_INTERFACE_TEXT_SIZE];
        const uint8_t* mac = interfaces[i].mac;
        aud_log_printf(log, level, "%sInterface %d: %s (%02x:%02x:%02x:%02x:%02x:%02x)\n", prefix,
                       static_cast<int>(i),
                       cmm_interface_name_text(&interfaces[i], name, sizeof name), mac[0], mac[1],
                       mac[2], mac[3], mac[4], mac[5]);
    }
}

void cmm_log_system_config(aud_log* log, int level, const char* prefix,
                           const cmm_system_config* config) {
    if (config == nullptr) {
        return;
    }
    char nested[128];
    aud_snprintf(nested, sizeof nested, "%s  ", prefix);
    if ((config->flags & CMM_CONFIG_INTERFACES) != 0 && config->interfaces != nullptr) {
        aud_log_printf(log, level, "%sConfig:\n", prefix);
        cmm_log_interfaces(log, level, nested, config->interfaces->interfaces,
                           cmm_interface_list_count(config->interfaces));
    }
    if ((config->flags & CMM_CONFIG_LOCK) != 0) {
        aud_log_printf(log, level, "%sLock: %s\n", prefix, config->lock != 0 ? "true" : "false");
    }
}

void cmm_log_state(aud_log* log, int level, const char* prefix, const cmm_state* state) {
    if (state == nullptr) {
        return;
    }
    char p[128];
    char nested[132];
    aud_snprintf(p, sizeof p, "%s  ", prefix);
    aud_snprintf(nested, sizeof nested, "%s  ", p);
    char device_name[CMM_DEVICE_NAME_SIZE + 1];
    terminated(state->device_name, device_name);
    aud_log_printf(log, level, "%sSystem status: %s\n", p, cmm_status_name(state->status));
    aud_log_printf(log, level, "%sDevice Name: %s\n", p, device_name);
    aud_log_printf(log, level, "%sCurrent config:\n", p);
    cmm_log_interfaces(log, level, nested, state->current_config.interfaces,
                       cmm_interface_list_count(&state->current_config));
    aud_log_printf(log, level, "%sPending config:\n", p);
    cmm_log_interfaces(log, level, nested, state->pending_config.interfaces,
                       cmm_interface_list_count(&state->pending_config));
    aud_log_printf(log, level, "%sProcesses:\n", p);
    const size_t processes = std::min<size_t>(state->process_count, CMM_MAX_PROCESSES);
    for (size_t i = 0; i < processes; ++i) {
        char name[CMM_PROCESS_NAME_SIZE + 1];
        terminated(state->processes[i].name, name);
        aud_log_printf(log, level, "%s  %d: %s %d %s\n", p, static_cast<int>(i), name,
                       static_cast<int>(state->processes[i].process_id),
                       state->processes[i].flag != 0 ? "true" : "false");
    }
}
