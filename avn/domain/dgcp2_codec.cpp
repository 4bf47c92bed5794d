#include "avn/domain/dgcp2_codec.h"

#include <algorithm>
#include <cstring>

#include "avn/runtime/byte_order.h"

namespace {

// Header field offsets.
constexpr size_t kProtocolId = 0;
constexpr size_t kLength = 2;
constexpr size_t kSeqnum = 4;
constexpr size_t kOpcode = 6;
constexpr size_t kKind = 8;
constexpr size_t kClientPort = 10;
constexpr size_t kClientId = 12;

struct KindEntry {
    uint16_t first;
    uint16_t last;
    const char* name;
    aud_error error;
};

constexpr KindEntry kKinds[] = {
    {0x0000, 0x0000, "Request", AUD_SUCCESS},
    {0x0001, 0x0001, "Response", AUD_SUCCESS},
    {0x0002, 0x0002, "Event", AUD_SUCCESS},
    {0x0010, 0x0010, "?", AUD_ERR_VERSION},
    {0x0014, 0x0016, "?", AUD_ERR_VERSION},
    {0x0020, 0x0023, "?", AUD_ERR_MSGSIZE},
    {0x0030, 0x0030, "Opcode error", AUD_ERR_INVALIDDATA},
    {0x0031, 0x0031, "Unrecognised opcode", AUD_ERR_INVALIDDATA},
    {0x0032, 0x0032, "Unsupported opcode", AUD_ERR_NOTSUPPORTED},
    {0x0040, 0x0040, "?", AUD_ERR_INVALIDDATA},
    {0x0080, 0x0080, "Server error", AUD_ERR_SYSTEM},
    {0x0081, 0x0081, "Not connected", AUD_ERR_NOTCONN},
    {0x0082, 0x0082, "Too many clients", AUD_ERR_NOBUFS},
    {0x0100, 0x0100, "Invalid API", AUD_ERR_INVALIDDATA},
    {0x0101, 0x0101, "Invalid Data", AUD_ERR_INVALIDDATA},
    {0x0102, 0x0102, "Invalid State", AUD_ERR_INVALIDSTATE},
    {0x0103, 0x0103, "System error", AUD_ERR_SYSTEM},
};

const KindEntry* find_kind(uint16_t kind) {
    for (const KindEntry& entry : kKinds) {
        if (kind >= entry.first && kind <= entry.last) {
            return &entry;
        }
    }
    return nullptr;
}

uint16_t header_size_of(int header_type) {
    switch (header_type) {
        case DGCP2_HEADER_TYPE_1:
            return DGCP2_HEADER_SIZE_TYPE_1;
        case DGCP2_HEADER_TYPE_2:
            return DGCP2_HEADER_SIZE_TYPE_2;
        default:
            return 0;
    }
}

bool has_client_id(const dgcp2_message* message) {
    return message->header_size >= DGCP2_HEADER_SIZE_TYPE_2;
}

uint16_t load16(const dgcp2_message* message, size_t offset) {
    return byte_order::load_be16(message->bytes + offset);
}

void store16(dgcp2_message* message, size_t offset, uint16_t value) {
    byte_order::store_be16(message->bytes + offset, value);
}

// ---- Writing ----

// Reserves `size` bytes at the end of the body, after zero padding up to a
// multiple of `alignment`; MSGSIZE when that would pass the capacity. Only
// the padding is written here; the caller fills the reserved bytes.
aud_error reserve(dgcp2_message* message, size_t alignment, size_t size, uint16_t* node) {
    const size_t used = dgcp2_message_body_size(message);
    const size_t start = (used + alignment - 1) / alignment * alignment;
    if (start + size > message->body_capacity) {
        return AUD_ERR_MSGSIZE;
    }
    uint8_t* body = message->bytes + message->header_size;
    std::memset(body + used, 0, start - used);
    *node = static_cast<uint16_t>(start);
    store16(message, kLength, static_cast<uint16_t>(message->header_size + start + size));
    return AUD_SUCCESS;
}

uint8_t* body_at(dgcp2_message* message, uint16_t offset) {
    return message->bytes + message->header_size + offset;
}

void report(uint16_t node, uint16_t* offset) {
    if (offset != nullptr) {
        *offset = node;
    }
}

size_t utf16_length(std::u16string_view text) {
    const size_t zero = text.find(u'\0');
    return zero == std::u16string_view::npos ? text.size() : zero;
}

// ---- Reading ----

// The node at `offset` must start at a multiple of `alignment` and its first
// `size` bytes must lie inside the body.
bool node_fits(const dgcp2_message* message, uint16_t offset, size_t alignment, size_t size) {
    const size_t body = dgcp2_message_body_size(message);
    return offset % alignment == 0 && offset < body && size <= body - offset;
}

}  // namespace

const char* dgcp2_kind_name(uint16_t kind) {
    const KindEntry* entry = find_kind(kind);
    return entry != nullptr ? entry->name : "?";
}

aud_error dgcp2_kind_error(uint16_t kind) {
    const KindEntry* entry = find_kind(kind);
    return entry != nullptr ? entry->error : AUD_ERR_SYSTEM;
}

aud_error dgcp2_message_init(dgcp2_message* message, int header_type) {
    const uint16_t header_size = header_size_of(header_type);
    if (message == nullptr || header_size == 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::memset(message->bytes, 0, sizeof message->bytes);
    message->header_size = header_size;
    message->body_capacity = static_cast<uint16_t>(DGCP2_MESSAGE_SIZE - header_size);
    store16(message, kLength, header_size);
    return AUD_SUCCESS;
}

void dgcp2_message_write_header(dgcp2_message* message, uint16_t protocol_id, uint16_t opcode,
                                uint16_t kind) {
    store16(message, kProtocolId, protocol_id);
    store16(message, kLength, message->header_size);
    store16(message, kSeqnum, 0);
    store16(message, kOpcode, opcode);
    store16(message, kKind, kind);
}

aud_error dgcp2_message_init_response(dgcp2_message* response, const dgcp2_message* request,
                                      uint16_t kind) {
    if (response == nullptr || request == nullptr ||
        response->header_size != request->header_size) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::memcpy(response->bytes, request->bytes, request->header_size);
    store16(response, kLength, response->header_size);
    store16(response, kKind, kind);
    return AUD_SUCCESS;
}

uint16_t dgcp2_message_get_protocol_id(const dgcp2_message* message) {
    return load16(message, kProtocolId);
}

uint16_t dgcp2_message_get_length(const dgcp2_message* message) {
    return load16(message, kLength);
}

uint16_t dgcp2_message_get_seqnum(const dgcp2_message* message) {
    return load16(message, kSeqnum);
}

uint16_t dgcp2_message_get_opcode(const dgcp2_message* message) {
    return load16(message, kOpcode);
}

uint16_t dgcp2_message_get_kind(const dgcp2_message* message) {
    return load16(message, kKind);
}

void dgcp2_message_set_seqnum(dgcp2_message* message, uint16_t seqnum) {
    store16(message, kSeqnum, seqnum);
}

void dgcp2_message_set_kind(dgcp2_message* message, uint16_t kind) {
    store16(message, kKind, kind);
}

dgcp2_client_id dgcp2_message_get_client_id(const dgcp2_message* message) {
    dgcp2_client_id id{};
    if (has_client_id(message)) {
        id.port = load16(message, kClientPort);
        std::memcpy(id.id, message->bytes + kClientId, DGCP2_CLIENT_ID_SIZE);
    }
    return id;
}

void dgcp2_message_set_client_id(dgcp2_message* message, const dgcp2_client_id* id) {
    if (!has_client_id(message) || id == nullptr) {
        return;
    }
    store16(message, kClientPort, id->port);
    std::memcpy(message->bytes + kClientId, id->id, DGCP2_CLIENT_ID_SIZE);
}

std::span<const uint8_t> dgcp2_message_bytes(const dgcp2_message* message) {
    const size_t length = std::min<size_t>(dgcp2_message_get_length(message), DGCP2_MESSAGE_SIZE);
    return {message->bytes, length};
}

aud_error dgcp2_message_check_received(const dgcp2_message* message, size_t size) {
    if (size > DGCP2_MESSAGE_SIZE) {
        return AUD_ERR_MSGSIZE;
    }
    if (size < message->header_size) {
        return AUD_ERR_TRUNCATED;
    }
    if (dgcp2_message_get_length(message) != size) {
        return AUD_ERR_INVALIDDATA;
    }
    return AUD_SUCCESS;
}

aud_error dgcp2_message_load(dgcp2_message* message, int header_type,
                             std::span<const uint8_t> datagram) {
    const aud_error error = dgcp2_message_init(message, header_type);
    if (error != AUD_SUCCESS) {
        return error;
    }
    const size_t copied = std::min(datagram.size(), DGCP2_MESSAGE_SIZE);
    if (copied > 0) {
        std::memcpy(message->bytes, datagram.data(), copied);
    }
    return dgcp2_message_check_received(message, datagram.size());
}

// ---- Body ----

uint16_t dgcp2_message_body_size(const dgcp2_message* message) {
    const uint16_t length = dgcp2_message_get_length(message);
    if (length <= message->header_size) {
        return 0;
    }
    return std::min<uint16_t>(static_cast<uint16_t>(length - message->header_size),
                              message->body_capacity);
}

std::span<const uint8_t> dgcp2_message_body(const dgcp2_message* message) {
    return {message->bytes + message->header_size, dgcp2_message_body_size(message)};
}

void dgcp2_message_clear_body(dgcp2_message* message) {
    store16(message, kLength, message->header_size);
}

aud_error dgcp2_body_add_array(dgcp2_message* message, uint16_t count, uint16_t* offset) {
    if (message == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    uint16_t node = 0;
    const aud_error error = reserve(message, 2, 2 + size_t{count} * 2, &node);
    if (error != AUD_SUCCESS) {
        return error;
    }
    uint8_t* p = body_at(message, node);
    byte_order::store_be16(p, count);
    std::memset(p + 2, 0, size_t{count} * 2);
    report(node, offset);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_set_slot(dgcp2_message* message, uint16_t array, uint16_t index,
                              uint16_t value) {
    uint16_t count = 0;
    const aud_error error = dgcp2_body_read_array(message, array, &count);
    if (error != AUD_SUCCESS) {
        return error;
    }
    if (index >= count) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    byte_order::store_be16(body_at(message, array) + 2 + size_t{index} * 2, value);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_add_string(dgcp2_message* message, std::string_view text, uint16_t* offset) {
    if (message == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t zero = text.find('\0');
    if (zero != std::string_view::npos) {
        text = text.substr(0, zero);
    }
    const size_t size = (text.size() + 2) / 2 * 2;  // terminator, then pad to even
    uint16_t node = 0;
    const aud_error error = reserve(message, 2, size, &node);
    if (error != AUD_SUCCESS) {
        return error;
    }
    uint8_t* p = body_at(message, node);
    std::memset(p, 0, size);
    if (!text.empty()) {
        std::memcpy(p, text.data(), text.size());
    }
    report(node, offset);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_add_u32(dgcp2_message* message, uint32_t value, uint16_t* offset) {
    if (message == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    uint16_t node = 0;
    const aud_error error = reserve(message, 4, 4, &node);
    if (error != AUD_SUCCESS) {
        return error;
    }
    byte_order::store_be32(body_at(message, node), value);
    report(node, offset);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_add_utf32(dgcp2_message* message, std::u16string_view text, uint16_t* offset) {
    if (message == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t units = utf16_length(text);
    uint16_t node = 0;
    const aud_error error = reserve(message, 4, (units + 1) * 4, &node);
    if (error != AUD_SUCCESS) {
        return error;
    }
    uint8_t* p = body_at(message, node);
    for (size_t i = 0; i < units; ++i) {
        byte_order::store_be32(p + i * 4, text[i]);
    }
    byte_order::store_be32(p + units * 4, 0);
    report(node, offset);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_add_bytes(dgcp2_message* message, const void* data, uint16_t size,
                               uint16_t* offset) {
    if (message == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t padded = (size_t{size} + 1) / 2 * 2;
    uint16_t node = 0;
    const aud_error error = reserve(message, 2, padded, &node);
    if (error != AUD_SUCCESS) {
        return error;
    }
    uint8_t* p = body_at(message, node);
    std::memset(p, 0, padded);
    if (data != nullptr && size > 0) {
        std::memcpy(p, data, size);
    }
    report(node, offset);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_read_root(const dgcp2_message* message, uint16_t* count) {
    if (message == nullptr || count == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (dgcp2_message_body_size(message) < 2) {
        return AUD_ERR_NODATA;
    }
    const aud_error error = dgcp2_body_read_array(message, 0, count);
    if (error != AUD_SUCCESS) {
        return error;
    }
    return *count == 0 ? AUD_ERR_NODATA : AUD_SUCCESS;
}

aud_error dgcp2_body_read_array(const dgcp2_message* message, uint16_t offset, uint16_t* count) {
    if (message == nullptr || count == nullptr || !node_fits(message, offset, 2, 2)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const uint8_t* p = dgcp2_message_body(message).data() + offset;
    const uint16_t n = byte_order::load_be16(p);
    if (!node_fits(message, offset, 2, 2 + size_t{n} * 2)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *count = n;
    return AUD_SUCCESS;
}

aud_error dgcp2_body_read_slot(const dgcp2_message* message, uint16_t array, uint16_t index,
                               uint16_t* value) {
    uint16_t count = 0;
    const aud_error error = dgcp2_body_read_array(message, array, &count);
    if (error != AUD_SUCCESS) {
        return error;
    }
    if (value == nullptr || index >= count) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *value =
        byte_order::load_be16(dgcp2_message_body(message).data() + array + 2 + size_t{index} * 2);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_read_string(const dgcp2_message* message, uint16_t offset, char* out,
                                 size_t limit) {
    if (message == nullptr || out == nullptr || limit == 0 || !node_fits(message, offset, 2, 1)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const std::span<const uint8_t> text = dgcp2_message_body(message).subspan(offset);
    size_t n = 0;
    while (n + 1 < limit && n < text.size() && text[n] != 0) {
        out[n] = static_cast<char>(text[n]);
        ++n;
    }
    out[n] = '\0';
    return AUD_SUCCESS;
}

aud_error dgcp2_body_read_u32(const dgcp2_message* message, uint16_t offset, uint32_t* value) {
    if (message == nullptr || value == nullptr || !node_fits(message, offset, 4, 4)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *value = byte_order::load_be32(dgcp2_message_body(message).data() + offset);
    return AUD_SUCCESS;
}

aud_error dgcp2_body_read_utf32(const dgcp2_message* message, uint16_t offset, char16_t* out,
                                size_t limit) {
    if (message == nullptr || out == nullptr || limit == 0 || !node_fits(message, offset, 2, 1)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const std::span<const uint8_t> text = dgcp2_message_body(message).subspan(offset);
    size_t n = 0;
    while (n + 1 < limit && (n + 1) * 4 <= text.size()) {
        // A unit whose low 16 bits are zero would end the stored text anyway;
        // stopping there keeps nothing hidden behind the terminator.
        const auto unit =
            static_cast<char16_t>(byte_order::load_be32(text.data() + n * 4) & 0xFFFFu);
        if (unit == 0) {
            break;
        }
        out[n] = unit;
        ++n;
    }
    out[n] = u'\0';
    return AUD_SUCCESS;
}

aud_error dgcp2_body_read_bytes(const dgcp2_message* message, uint16_t offset, void* out,
                                uint16_t size) {
    if (message == nullptr || (out == nullptr && size > 0) || offset % 2 != 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t body = dgcp2_message_body_size(message);
    if (size_t{offset} + size > body) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (size > 0) {
        std::memcpy(out, dgcp2_message_body(message).data() + offset, size);
    }
    return AUD_SUCCESS;
}
