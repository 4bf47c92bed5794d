#include "avn/conmon/conmon_protocol.h"

#include <algorithm>
#include <cstring>

#include "avn/runtime/byte_order.h"

namespace {

using byte_order::load_be16;
using byte_order::load_le16;
using byte_order::load_le32;
using byte_order::store_le16;
using byte_order::store_le32;

constexpr size_t H = CONMON_PROTOCOL_HEADER_SIZE;

struct StatusEntry {
    const char* name;
    aud_error error;
};

constexpr StatusEntry kStatuses[] = {
    {"Request", AUD_SUCCESS},
    {"Response", AUD_SUCCESS},
    {"Event", AUD_SUCCESS},
    {"Invalid version", AUD_ERR_VERSION},
    {"Invalid size", AUD_ERR_INVALIDDATA},
    {"Invalid opcode", AUD_ERR_INVALIDDATA},
    {"Invalid status", AUD_ERR_INVALIDDATA},
    {"Invalid data", AUD_ERR_INVALIDDATA},
    {"Internal error", AUD_ERR_SYSTEM},
    {"Not Supported", AUD_ERR_NOTSUPPORTED},
    {"Timeout", AUD_ERR_TIMEDOUT},
    {"Invalid State", AUD_ERR_INVALIDSTATE},
    {"No Buffers", AUD_ERR_NOBUFS},
    {"Not Found", AUD_ERR_NOTFOUND},
};
constexpr size_t kStatusCount = sizeof kStatuses / sizeof kStatuses[0];

// Connect response offsets, newer layout.
constexpr size_t kConnectCapabilities = 10;
constexpr size_t kConnectName = 12;
constexpr size_t kConnectText = 44;
constexpr size_t kConnectDeviceId = 300;
constexpr size_t kConnectProcessId = 308;
constexpr size_t kConnectCount = 310;
constexpr size_t kConnectRecordSize = 312;
constexpr size_t kConnectRecordOffset = 314;
constexpr size_t kConnectExtra = 316;
constexpr size_t kConnectMinimum = 324;
// Older layout.
constexpr size_t kOldConnectDeviceId = 44;
constexpr size_t kOldConnectProcessId = 52;
constexpr size_t kOldConnectCount = 54;
constexpr size_t kOldConnectRecords = 56;

constexpr size_t kControlChannel = 10;
constexpr size_t kControlTimeout = 12;
constexpr size_t kControlName = 20;
constexpr size_t kControlNamedMessage = 52;
constexpr size_t kControlChannelMessage = 12;

constexpr size_t kRxChannelType = 10;
constexpr size_t kRxDirection = 12;
constexpr size_t kRxFlags = 15;
constexpr size_t kRxMessage = 16;
constexpr size_t kRxNamedSender = 16;
constexpr size_t kRxNamedMessage = 48;

bool is_multi_channel(uint16_t channel) {
    return channel >= 1 && channel <= 8;
}

// Length of a name that must end within its field and within the message.
// Returns false when no terminator is found there.
bool terminated_name(std::span<const uint8_t> message, size_t offset, size_t* length) {
    if (offset >= message.size()) {
        return false;
    }
    const size_t room = std::min(CONMON_NAME_SIZE, message.size() - offset);
    const uint8_t* start = &message[offset];
    const void* end = std::memchr(start, 0, room);
    if (end == nullptr) {
        return false;
    }
    *length = static_cast<size_t>(static_cast<const uint8_t*>(end) - start);
    return true;
}

// Copies a fixed field into a zero-terminated buffer of size + 1.
void copy_field(char* out, const uint8_t* field, size_t size) {
    std::memcpy(out, field, size);
    out[size] = '\0';
}

// Writes a name into a zeroed field, keeping at most size - 1 characters.
size_t write_name(uint8_t* field, const char* name, size_t size) {
    const size_t length = name == nullptr ? 0 : strnlen(name, size - 1);
    std::memcpy(field, name, length);
    return length;
}

uint16_t conmon_length_at(std::span<const uint8_t> message, size_t offset) {
    return load_be16(&message[offset + 2]);
}

// An enclosed conmon message must be at least a head and fit the datagram.
bool enclosed_message_fits(std::span<const uint8_t> message, size_t offset) {
    if (message.size() < offset + CONMON_MESSAGE_HEAD_SIZE) {
        return false;
    }
    const size_t length = conmon_length_at(message, offset);
    return length >= CONMON_MESSAGE_HEAD_SIZE && offset + length <= message.size();
}

uint16_t validate_connect(std::span<const uint8_t> m, uint16_t version, uint16_t kind) {
    if (kind == CONMON_STATUS_REQUEST) {
        size_t name_length = 0;
        if (!terminated_name(m, H, &name_length)) {
            return CONMON_STATUS_INVALID_DATA;
        }
        return m.size() >= name_length + 11 ? 0 : CONMON_STATUS_INVALID_SIZE;
    }
    if (kind != CONMON_STATUS_RESPONSE) {
        return CONMON_STATUS_INVALID_STATUS;
    }
    if (version >= CONMON_VERSION_NEW_LAYOUT) {
        if (m.size() < kConnectMinimum) {
            return CONMON_STATUS_INVALID_SIZE;
        }
        const size_t expected = size_t{load_le16(&m[kConnectCount])} * load_le16(&m[kConnectRecordSize]) +
                                load_le16(&m[kConnectRecordOffset]);
        return m.size() == expected ? 0 : CONMON_STATUS_INVALID_DATA;
    }
    if (m.size() < kOldConnectRecords) {
        return CONMON_STATUS_INVALID_SIZE;
    }
    const size_t expected =
        size_t{load_le16(&m[kOldConnectCount])} * CONMON_INTERFACE_RECORD_SIZE_OLD + kOldConnectRecords;
    return m.size() == expected ? 0 : CONMON_STATUS_INVALID_DATA;
}

uint16_t validate_register(std::span<const uint8_t> m, uint16_t version, uint16_t kind) {
    if (kind != CONMON_STATUS_REQUEST) {
        return kind == CONMON_STATUS_RESPONSE ? 0 : CONMON_STATUS_INVALID_STATUS;
    }
    const size_t minimum = version >= CONMON_VERSION_PORT_FIELD ? 16 : 14;
    if (m.size() < minimum || load_le16(&m[10]) >= CONMON_NUM_CHANNEL_TYPES ||
        load_le16(&m[12]) > CONMON_DIRECTION_REMOTE) {
        return CONMON_STATUS_INVALID_DATA;
    }
    return 0;
}

size_t subscription_record_size(uint16_t version) {
    return version >= CONMON_VERSION_PORT_FIELD ? CONMON_SUBSCRIPTION_RECORD_SIZE
                                                : CONMON_SUBSCRIPTION_RECORD_SIZE_OLD;
}

size_t subscription_records_start(uint16_t version) {
    return version >= CONMON_VERSION_PORT_FIELD ? 16 : 12;
}

uint16_t validate_subscription_records(std::span<const uint8_t> m, uint16_t version) {
    const size_t start = subscription_records_start(version);
    if (m.size() < start) {
        return CONMON_STATUS_INVALID_SIZE;
    }
    const size_t needed = size_t{load_le16(&m[10])} * subscription_record_size(version) + start;
    return m.size() >= needed ? 0 : CONMON_STATUS_INVALID_DATA;
}

uint16_t validate_subscribe(std::span<const uint8_t> m, uint16_t version, uint16_t opcode,
                            uint16_t kind) {
    if (kind == CONMON_STATUS_REQUEST) {
        const bool newer = version >= CONMON_VERSION_PORT_FIELD;
        size_t name_length = 0;
        if (m.size() < (newer ? 16u : 14u) || !is_multi_channel(load_le16(&m[10])) ||
            !terminated_name(m, newer ? 14 : 12, &name_length)) {
            return CONMON_STATUS_INVALID_DATA;
        }
        return 0;
    }
    if (kind == CONMON_STATUS_RESPONSE) {
        if (opcode == CONMON_OPCODE_SUBSCRIBE && m.size() > H) {
            return validate_subscription_records(m, version);
        }
        return 0;
    }
    return CONMON_STATUS_INVALID_STATUS;
}

uint16_t validate_control(std::span<const uint8_t> m, uint16_t kind) {
    if (kind != CONMON_STATUS_REQUEST) {
        return kind == CONMON_STATUS_RESPONSE ? 0 : CONMON_STATUS_INVALID_STATUS;
    }
    if (m.size() < 36) {
        return CONMON_STATUS_INVALID_DATA;
    }
    const uint16_t channel = load_le16(&m[kControlChannel]);
    if (is_multi_channel(channel)) {
        return enclosed_message_fits(m, kControlChannelMessage) ? 0 : CONMON_STATUS_INVALID_DATA;
    }
    size_t name_length = 0;
    if (channel != 0 || !terminated_name(m, kControlName, &name_length) || m.size() <= 75 ||
        !enclosed_message_fits(m, kControlNamedMessage)) {
        return CONMON_STATUS_INVALID_DATA;
    }
    return 0;
}

uint16_t validate_0x401(std::span<const uint8_t> m, uint16_t kind) {
    if (kind != CONMON_STATUS_REQUEST) {
        return kind == CONMON_STATUS_RESPONSE ? 0 : CONMON_STATUS_INVALID_STATUS;
    }
    if (m.size() < 40 || !is_multi_channel(load_le16(&m[kControlChannel])) ||
        !enclosed_message_fits(m, 16)) {
        return CONMON_STATUS_INVALID_DATA;
    }
    return 0;
}

uint16_t validate_event(std::span<const uint8_t> m, uint16_t version, uint16_t opcode) {
    switch (opcode) {
        case CONMON_OPCODE_INTERFACES: {
            const bool newer = version >= CONMON_VERSION_NEW_LAYOUT;
            const size_t start = newer ? 16 : 12;
            if (m.size() < start) {
                return CONMON_STATUS_INVALID_SIZE;
            }
            const size_t record = newer ? CONMON_INTERFACE_RECORD_SIZE : CONMON_INTERFACE_RECORD_SIZE_OLD;
            return m.size() == size_t{load_le16(&m[10])} * record + start ? 0 : CONMON_STATUS_INVALID_DATA;
        }
        case CONMON_OPCODE_RX_MESSAGE:
            if (m.size() < 40) {
                return CONMON_STATUS_INVALID_SIZE;
            }
            return enclosed_message_fits(m, kRxMessage) ? 0 : CONMON_STATUS_INVALID_DATA;
        case CONMON_OPCODE_RX_NAMED_MESSAGE:
            if (m.size() < 72) {
                return CONMON_STATUS_INVALID_SIZE;
            }
            return enclosed_message_fits(m, kRxNamedMessage) ? 0 : CONMON_STATUS_INVALID_DATA;
        case CONMON_OPCODE_SUBSCRIPTIONS:
            return validate_subscription_records(m, version);
        default:  // 0x520: no layout of its own
            return 0;
    }
}

}  // namespace

const char* conmon_status_name(uint16_t status) {
    return status < kStatusCount ? kStatuses[status].name : "???";
}

aud_error conmon_status_error(uint16_t status) {
    return status < kStatusCount ? kStatuses[status].error : AUD_ERR_SYSTEM;
}

bool conmon_protocol_read_header(std::span<const uint8_t> m, conmon_protocol_header* header) {
    if (m.size() < H) {
        return false;
    }
    header->version = load_le16(&m[0]);
    header->length = load_le16(&m[2]);
    header->request_id = load_le16(&m[4]);
    header->opcode = load_le16(&m[6]);
    header->status = load_le16(&m[8]);
    return true;
}

void conmon_protocol_write_header(std::span<uint8_t> m, const conmon_protocol_header& header) {
    store_le16(&m[0], header.version);
    store_le16(&m[2], header.length);
    store_le16(&m[4], header.request_id);
    store_le16(&m[6], header.opcode);
    store_le16(&m[8], header.status);
}

void conmon_protocol_set_request_id(std::span<uint8_t> m, uint16_t request_id) {
    store_le16(&m[4], request_id);
}

uint16_t conmon_protocol_kind(uint16_t status) {
    return status & CONMON_STATUS_KIND_MASK;
}

uint16_t conmon_protocol_validate(std::span<const uint8_t> m) {
    conmon_protocol_header h;
    if (!conmon_protocol_read_header(m, &h)) {
        return CONMON_STATUS_INVALID_SIZE;
    }
    if (h.version < CONMON_PROTOCOL_VERSION_MIN || h.version > CONMON_PROTOCOL_VERSION_MAX) {
        return CONMON_STATUS_INVALID_VERSION;
    }
    if (h.length != m.size()) {
        return CONMON_STATUS_INVALID_SIZE;
    }
    const uint16_t kind = conmon_protocol_kind(h.status);
    if (kind >= CONMON_STATUS_INVALID_VERSION) {
        return 0;  // an error response: header only
    }
    switch (h.opcode) {
        case CONMON_OPCODE_KEEPALIVE:
        case CONMON_OPCODE_DISCONNECT:
        case CONMON_OPCODE_0x320:
        case CONMON_OPCODE_0x321:
        case CONMON_OPCODE_CLEAR_REMOTE:
            return 0;
        case CONMON_OPCODE_CONNECT:
            return validate_connect(m, h.version, kind);
        case CONMON_OPCODE_DEVICE_NAME:
        case CONMON_OPCODE_LOCAL_NAME:
            return m.size() > 41 ? 0 : CONMON_STATUS_INVALID_SIZE;
        case CONMON_OPCODE_0x210:
            return m.size() >= 12 ? 0 : CONMON_STATUS_INVALID_SIZE;
        case CONMON_OPCODE_REGISTER:
        case CONMON_OPCODE_UNREGISTER:
            return validate_register(m, h.version, kind);
        case CONMON_OPCODE_SUBSCRIBE:
        case CONMON_OPCODE_UNSUBSCRIBE:
            return validate_subscribe(m, h.version, h.opcode, kind);
        case CONMON_OPCODE_CONTROL:
            return validate_control(m, kind);
        case CONMON_OPCODE_0x401:
            return validate_0x401(m, kind);
        case CONMON_OPCODE_INTERFACES:
        case CONMON_OPCODE_RX_MESSAGE:
        case CONMON_OPCODE_RX_NAMED_MESSAGE:
        case CONMON_OPCODE_0x520:
        case CONMON_OPCODE_SUBSCRIPTIONS:
            if (kind != CONMON_STATUS_EVENT) {
                return CONMON_STATUS_INVALID_STATUS;
            }
            return validate_event(m, h.version, h.opcode);
        case CONMON_OPCODE_LOCAL_TEXT:
            return m.size() >= H + CONMON_TEXT_SIZE ? 0 : CONMON_STATUS_INVALID_SIZE;
        default:
            return CONMON_STATUS_NOT_SUPPORTED;
    }
}

// ---- Requests ----

namespace {

// Zeroes `length` bytes of `out` and writes a request header; false when it does not fit.
bool start_message(std::span<uint8_t> out, size_t length, uint16_t version, uint16_t opcode,
                   uint16_t status) {
    if (length > out.size() || length > 0xFFFF) {
        return false;
    }
    std::memset(out.data(), 0, length);
    conmon_protocol_write_header(out, {version, static_cast<uint16_t>(length), 0, opcode, status});
    return true;
}

}  // namespace

size_t conmon_build_header_only(std::span<uint8_t> out, uint16_t version, uint16_t opcode) {
    return start_message(out, H, version, opcode, CONMON_STATUS_REQUEST) ? H : 0;
}

size_t conmon_build_connect(std::span<uint8_t> out, uint16_t version, const char* client_name,
                            bool auto_connect) {
    const size_t name_length = client_name == nullptr ? 0 : strnlen(client_name, CONMON_NAME_SIZE - 1);
    const bool keepalive_field = version >= CONMON_VERSION_KEEPALIVE_FIELD;
    const size_t length = keepalive_field ? 44 : H + name_length + 1;
    if (!start_message(out, length, version, CONMON_OPCODE_CONNECT, CONMON_STATUS_REQUEST)) {
        return 0;
    }
    write_name(&out[H], client_name, CONMON_NAME_SIZE);
    if (keepalive_field) {
        store_le16(&out[42], auto_connect ? 10 : 0);
    }
    return length;
}

size_t conmon_build_register(std::span<uint8_t> out, uint16_t version, uint16_t opcode,
                             uint16_t channel_type, uint16_t direction, uint16_t port) {
    const bool port_field = version >= CONMON_VERSION_PORT_FIELD;
    const size_t length = port_field ? 16 : 14;
    if (!start_message(out, length, version, opcode, CONMON_STATUS_REQUEST)) {
        return 0;
    }
    store_le16(&out[10], channel_type);
    store_le16(&out[12], direction);
    if (port_field) {
        store_le16(&out[14], port);
    }
    return length;
}

size_t conmon_build_subscribe(std::span<uint8_t> out, uint16_t version, uint16_t opcode,
                              uint16_t channel_type, uint16_t port, const char* device_name) {
    const bool port_field = version >= CONMON_VERSION_PORT_FIELD;
    const size_t name_length = device_name == nullptr ? 0 : strnlen(device_name, CONMON_NAME_SIZE - 1);
    const size_t name_offset = port_field ? 14 : 12;
    // The request always has room for the whole name field.
    const size_t length = (port_field ? 25 : 23) + name_length;
    if (!start_message(out, std::max(length, name_offset + CONMON_NAME_SIZE), version, opcode,
                       CONMON_STATUS_REQUEST)) {
        return 0;
    }
    store_le16(&out[2], static_cast<uint16_t>(length));
    store_le16(&out[10], channel_type);
    if (port_field) {
        store_le16(&out[12], port);
    }
    write_name(&out[name_offset], device_name, CONMON_NAME_SIZE);
    return length;
}

size_t conmon_build_control(std::span<uint8_t> out, uint16_t version, const char* device_name,
                            uint32_t timeout_seconds, uint32_t timeout_microseconds,
                            std::span<const uint8_t> conmon_message) {
    const size_t length = kControlNamedMessage + conmon_message.size();
    if (!start_message(out, length, version, CONMON_OPCODE_CONTROL, CONMON_STATUS_REQUEST)) {
        return 0;
    }
    store_le16(&out[kControlChannel], 0);
    store_le32(&out[kControlTimeout], timeout_seconds);
    store_le32(&out[kControlTimeout + 4], timeout_microseconds);
    write_name(&out[kControlName], device_name, CONMON_NAME_SIZE);
    std::memcpy(&out[kControlNamedMessage], conmon_message.data(), conmon_message.size());
    return length;
}

// ---- Parsers ----

namespace {

conmon_interface_record read_interface_record(const uint8_t* r) {
    conmon_interface_record record;
    record.index = load_le32(r);
    record.flags = load_le32(r + 4);
    std::memcpy(&record.address, r + 8, 4);
    std::memcpy(&record.netmask, r + 12, 4);
    std::memcpy(record.mac, r + 16, 6);
    record.link_speed = load_le32(r + 24);
    return record;
}

void write_interface_record(uint8_t* r, const conmon_interface_record& record) {
    store_le32(r, record.index);
    store_le32(r + 4, record.flags);
    std::memcpy(r + 8, &record.address, 4);
    std::memcpy(r + 12, &record.netmask, 4);
    std::memcpy(r + 16, record.mac, 6);
    store_le32(r + 24, record.link_speed);
}

// Reads up to two records of at least the new size, skipping shorter ones.
size_t read_interface_records(std::span<const uint8_t> m, size_t offset, size_t count,
                              size_t record_size, conmon_interface_record* records) {
    size_t kept = 0;
    if (record_size < CONMON_INTERFACE_RECORD_SIZE) {
        return 0;
    }
    for (size_t i = 0; i < count && kept < CONMON_MAX_INTERFACES; ++i) {
        const size_t at = offset + i * record_size;
        if (at + record_size > m.size()) {
            break;
        }
        records[kept++] = read_interface_record(&m[at]);
    }
    return kept;
}

}  // namespace

bool conmon_parse_connect_response(std::span<const uint8_t> m, uint16_t version,
                                   conmon_connect_info* info) {
    *info = conmon_connect_info{};
    if (version >= CONMON_VERSION_NEW_LAYOUT) {
        if (m.size() < kConnectMinimum) {
            return false;
        }
        info->capabilities = load_le16(&m[kConnectCapabilities]);
        copy_field(info->device_name, &m[kConnectName], CONMON_NAME_SIZE);
        copy_field(info->device_text, &m[kConnectText], CONMON_TEXT_SIZE);
        std::memcpy(info->source.device_id, &m[kConnectDeviceId], CONMON_DEVICE_ID_SIZE);
        info->source.process_id = load_le16(&m[kConnectProcessId]);
        info->interface_count =
            read_interface_records(m, load_le16(&m[kConnectRecordOffset]), load_le16(&m[kConnectCount]),
                                   load_le16(&m[kConnectRecordSize]), info->interfaces);
        if (version >= CONMON_VERSION_KEEPALIVE_FIELD) {
            info->extra[0] = load_le32(&m[kConnectExtra]);
            info->extra[1] = load_le32(&m[kConnectExtra + 4]);
        }
        return true;
    }
    if (m.size() < kOldConnectRecords) {
        return false;
    }
    copy_field(info->device_name, &m[kConnectName], CONMON_NAME_SIZE);
    std::memcpy(info->source.device_id, &m[kOldConnectDeviceId], CONMON_DEVICE_ID_SIZE);
    info->source.process_id = load_le16(&m[kOldConnectProcessId]);
    info->interface_count = read_interface_records(m, kOldConnectRecords, load_le16(&m[kOldConnectCount]),
                                                   CONMON_INTERFACE_RECORD_SIZE_OLD, info->interfaces);
    return true;
}

bool conmon_parse_interfaces(std::span<const uint8_t> m, uint16_t version,
                             conmon_interface_record* records, size_t* count) {
    const bool newer = version >= CONMON_VERSION_NEW_LAYOUT;
    if (m.size() < (newer ? 16u : 12u)) {
        return false;
    }
    const size_t n = load_le16(&m[10]);
    *count = newer ? read_interface_records(m, load_le16(&m[14]), n, load_le16(&m[12]), records)
                   : read_interface_records(m, 12, n, CONMON_INTERFACE_RECORD_SIZE_OLD, records);
    return true;
}

bool conmon_parse_rx_message(std::span<const uint8_t> m, conmon_rx_message* rx) {
    conmon_protocol_header h;
    if (!conmon_protocol_read_header(m, &h)) {
        return false;
    }
    *rx = conmon_rx_message{};
    size_t offset = kRxMessage;
    if (h.opcode == CONMON_OPCODE_RX_NAMED_MESSAGE) {
        offset = kRxNamedMessage;
        if (m.size() < offset) {
            return false;
        }
        copy_field(rx->sender, &m[kRxNamedSender], CONMON_NAME_SIZE);
    } else if (h.opcode != CONMON_OPCODE_RX_MESSAGE) {
        return false;
    } else if (m.size() > kRxFlags) {
        rx->flags = m[kRxFlags];
    }
    if (!enclosed_message_fits(m, offset)) {
        return false;
    }
    rx->channel_type = load_le16(&m[kRxChannelType]);
    rx->direction = load_le16(&m[kRxDirection]);
    rx->message = m.subspan(offset, conmon_length_at(m, offset));
    return true;
}

size_t conmon_subscription_record_count(std::span<const uint8_t> m, uint16_t version) {
    const size_t start = subscription_records_start(version);
    if (m.size() < start) {
        return 0;
    }
    const size_t fit = (m.size() - start) / subscription_record_size(version);
    return std::min<size_t>(load_le16(&m[10]), fit);
}

bool conmon_parse_subscription_record(std::span<const uint8_t> m, uint16_t version,
                                      size_t position, conmon_subscription_record* record) {
    const size_t size = subscription_record_size(version);
    const size_t at = subscription_records_start(version) + position * size;
    if (position >= conmon_subscription_record_count(m, version) || at + size > m.size()) {
        return false;
    }
    const uint8_t* r = &m[at];
    *record = conmon_subscription_record{};
    record->flags = load_le16(r);
    record->subscription_id = load_le16(r + 2);
    copy_field(record->device_name, r + 4, CONMON_NAME_SIZE);
    record->channel_type = load_le16(r + 36);
    if (version >= CONMON_VERSION_STATUS_VALUES) {
        record->status[0] = r[38];
        record->status[1] = r[39];
    }
    record->key = load_le32(r + 40);
    if (size >= CONMON_SUBSCRIPTION_RECORD_SIZE) {
        std::memcpy(record->source.device_id, r + 44, CONMON_DEVICE_ID_SIZE);
        record->source.process_id = load_le16(r + 52);
        std::memcpy(&record->rx_address, r + 56, 4);
        record->rx_port = load_le16(r + 60);
        std::memcpy(record->domain_route, r + 64, sizeof record->domain_route);
    } else {
        record->flags &= static_cast<uint16_t>(~CONMON_SUBSCRIPTION_FLAG_SOURCE);
    }
    return true;
}

bool conmon_parse_request(std::span<const uint8_t> m, conmon_request_fields* fields) {
    conmon_protocol_header h;
    if (!conmon_protocol_read_header(m, &h) || conmon_protocol_validate(m) != 0 ||
        conmon_protocol_kind(h.status) != CONMON_STATUS_REQUEST) {
        return false;
    }
    *fields = conmon_request_fields{};
    const bool port_field = h.version >= CONMON_VERSION_PORT_FIELD;
    size_t name_length = 0;
    switch (h.opcode) {
        case CONMON_OPCODE_CONNECT:
            terminated_name(m, H, &name_length);
            std::memcpy(fields->name, &m[H], name_length);
            if (m.size() >= 44) {
                fields->keepalive = load_le16(&m[42]);
            }
            return true;
        case CONMON_OPCODE_REGISTER:
        case CONMON_OPCODE_UNREGISTER:
            fields->channel_type = load_le16(&m[10]);
            fields->direction = load_le16(&m[12]);
            fields->port = port_field && m.size() >= 16 ? load_le16(&m[14]) : 0;
            return true;
        case CONMON_OPCODE_SUBSCRIBE:
        case CONMON_OPCODE_UNSUBSCRIBE: {
            const size_t name_offset = port_field ? 14 : 12;
            fields->channel_type = load_le16(&m[10]);
            fields->port = port_field ? load_le16(&m[12]) : 0;
            terminated_name(m, name_offset, &name_length);
            std::memcpy(fields->name, &m[name_offset], name_length);
            return true;
        }
        case CONMON_OPCODE_CONTROL:
            fields->channel = load_le16(&m[kControlChannel]);
            if (is_multi_channel(fields->channel)) {
                fields->conmon_message =
                    m.subspan(kControlChannelMessage, conmon_length_at(m, kControlChannelMessage));
                return true;
            }
            fields->timeout_seconds = load_le32(&m[kControlTimeout]);
            fields->timeout_microseconds = load_le32(&m[kControlTimeout + 4]);
            terminated_name(m, kControlName, &name_length);
            std::memcpy(fields->name, &m[kControlName], name_length);
            fields->conmon_message =
                m.subspan(kControlNamedMessage, conmon_length_at(m, kControlNamedMessage));
            return true;
        default:
            return true;
    }
}

// ---- Server side ----

size_t conmon_build_response(std::span<uint8_t> out, const conmon_protocol_header& request,
                             uint16_t status, std::span<const uint8_t> body) {
    const size_t length = H + body.size();
    if (length > out.size() || length > 0xFFFF) {
        return 0;
    }
    conmon_protocol_write_header(out, {request.version, static_cast<uint16_t>(length),
                                       request.request_id, request.opcode, status});
    if (!body.empty()) {
        std::memcpy(&out[H], body.data(), body.size());
    }
    return length;
}

size_t conmon_build_connect_response(std::span<uint8_t> out, const conmon_protocol_header& request,
                                     uint16_t version, const conmon_connect_info& info) {
    const size_t count = std::min(info.interface_count, CONMON_MAX_INTERFACES);
    const bool newer = version >= CONMON_VERSION_NEW_LAYOUT;
    const size_t record_size = newer ? CONMON_INTERFACE_RECORD_SIZE : CONMON_INTERFACE_RECORD_SIZE_OLD;
    const size_t records = newer ? kConnectMinimum : kOldConnectRecords;
    const size_t length = records + count * record_size;
    if (!start_message(out, length, version, CONMON_OPCODE_CONNECT, CONMON_STATUS_RESPONSE)) {
        return 0;
    }
    store_le16(&out[4], request.request_id);
    write_name(&out[kConnectName], info.device_name, CONMON_NAME_SIZE);
    if (newer) {
        store_le16(&out[kConnectCapabilities], info.capabilities);
        write_name(&out[kConnectText], info.device_text, CONMON_TEXT_SIZE);
        std::memcpy(&out[kConnectDeviceId], info.source.device_id, CONMON_DEVICE_ID_SIZE);
        store_le16(&out[kConnectProcessId], info.source.process_id);
        store_le16(&out[kConnectCount], static_cast<uint16_t>(count));
        store_le16(&out[kConnectRecordSize], static_cast<uint16_t>(record_size));
        store_le16(&out[kConnectRecordOffset], static_cast<uint16_t>(records));
        store_le32(&out[kConnectExtra], info.extra[0]);
        store_le32(&out[kConnectExtra + 4], info.extra[1]);
    } else {
        std::memcpy(&out[kOldConnectDeviceId], info.source.device_id, CONMON_DEVICE_ID_SIZE);
        store_le16(&out[kOldConnectProcessId], info.source.process_id);
        store_le16(&out[kOldConnectCount], static_cast<uint16_t>(count));
    }
    for (size_t i = 0; i < count; ++i) {
        write_interface_record(&out[records + i * record_size], info.interfaces[i]);
    }
    return length;
}

size_t conmon_build_interfaces_event(std::span<uint8_t> out, uint16_t version,
                                     std::span<const conmon_interface_record> records) {
    const bool newer = version >= CONMON_VERSION_NEW_LAYOUT;
    const size_t record_size = newer ? CONMON_INTERFACE_RECORD_SIZE : CONMON_INTERFACE_RECORD_SIZE_OLD;
    const size_t start = newer ? 16 : 12;
    const size_t length = start + records.size() * record_size;
    if (!start_message(out, length, version, CONMON_OPCODE_INTERFACES, CONMON_STATUS_EVENT)) {
        return 0;
    }
    store_le16(&out[10], static_cast<uint16_t>(records.size()));
    if (newer) {
        store_le16(&out[12], static_cast<uint16_t>(record_size));
        store_le16(&out[14], static_cast<uint16_t>(start));
    }
    for (size_t i = 0; i < records.size(); ++i) {
        write_interface_record(&out[start + i * record_size], records[i]);
    }
    return length;
}

size_t conmon_build_name_event(std::span<uint8_t> out, uint16_t version, uint16_t opcode,
                               const char* name) {
    const size_t length = H + CONMON_NAME_SIZE;
    const uint16_t kind = opcode == CONMON_OPCODE_LOCAL_NAME ? CONMON_STATUS_EVENT : CONMON_STATUS_RESPONSE;
    if (!start_message(out, length, version, opcode, kind)) {
        return 0;
    }
    write_name(&out[H], name, CONMON_NAME_SIZE);
    return length;
}

size_t conmon_build_text_event(std::span<uint8_t> out, uint16_t version, const char* text) {
    const size_t length = H + CONMON_TEXT_SIZE;
    if (!start_message(out, length, version, CONMON_OPCODE_LOCAL_TEXT, CONMON_STATUS_EVENT)) {
        return 0;
    }
    write_name(&out[H], text, CONMON_TEXT_SIZE);
    return length;
}

size_t conmon_build_rx_message(std::span<uint8_t> out, uint16_t version, uint16_t channel_type,
                               uint16_t direction, uint8_t flags,
                               std::span<const uint8_t> conmon_message) {
    const size_t length = kRxMessage + conmon_message.size();
    if (!start_message(out, length, version, CONMON_OPCODE_RX_MESSAGE, CONMON_STATUS_EVENT)) {
        return 0;
    }
    store_le16(&out[kRxChannelType], channel_type);
    store_le16(&out[kRxDirection], direction);
    out[kRxFlags] = flags;
    std::memcpy(&out[kRxMessage], conmon_message.data(), conmon_message.size());
    return length;
}

size_t conmon_build_rx_named_message(std::span<uint8_t> out, uint16_t version,
                                     uint16_t channel_type, uint16_t direction,
                                     const char* sender, std::span<const uint8_t> conmon_message) {
    const size_t length = kRxNamedMessage + conmon_message.size();
    if (!start_message(out, length, version, CONMON_OPCODE_RX_NAMED_MESSAGE, CONMON_STATUS_EVENT)) {
        return 0;
    }
    store_le16(&out[kRxChannelType], channel_type);
    store_le16(&out[kRxDirection], direction);
    write_name(&out[kRxNamedSender], sender, CONMON_NAME_SIZE);
    std::memcpy(&out[kRxNamedMessage], conmon_message.data(), conmon_message.size());
    return length;
}

size_t conmon_build_subscriptions(std::span<uint8_t> out, uint16_t version,
                                  const conmon_protocol_header* response_to,
                                  std::span<const conmon_subscription_record> records) {
    const size_t size = subscription_record_size(version);
    const size_t start = subscription_records_start(version);
    const size_t length = start + records.size() * size;
    const uint16_t opcode = response_to != nullptr ? response_to->opcode : uint16_t{CONMON_OPCODE_SUBSCRIPTIONS};
    const uint16_t kind = response_to != nullptr ? CONMON_STATUS_RESPONSE : CONMON_STATUS_EVENT;
    if (!start_message(out, length, version, opcode, kind)) {
        return 0;
    }
    if (response_to != nullptr) {
        store_le16(&out[4], response_to->request_id);
    }
    store_le16(&out[10], static_cast<uint16_t>(records.size()));
    if (version >= CONMON_VERSION_PORT_FIELD) {
        store_le16(&out[12], static_cast<uint16_t>(size));
        store_le16(&out[14], static_cast<uint16_t>(start));
    }
    for (size_t i = 0; i < records.size(); ++i) {
        uint8_t* r = &out[start + i * size];
        const conmon_subscription_record& record = records[i];
        store_le16(r, record.flags);
        store_le16(r + 2, record.subscription_id);
        write_name(r + 4, record.device_name, CONMON_NAME_SIZE);
        store_le16(r + 36, record.channel_type);
        if (version >= CONMON_VERSION_STATUS_VALUES) {
            r[38] = record.status[0];
            r[39] = record.status[1];
        }
        store_le32(r + 40, record.key);
        if (size >= CONMON_SUBSCRIPTION_RECORD_SIZE) {
            std::memcpy(r + 44, record.source.device_id, CONMON_DEVICE_ID_SIZE);
            store_le16(r + 52, record.source.process_id);
            std::memcpy(r + 56, &record.rx_address, 4);
            store_le16(r + 60, record.rx_port);
            std::memcpy(r + 64, record.domain_route, sizeof record.domain_route);
        }
    }
    return length;
}
