#include "avn/conmon/avn_packet.h"

#include <algorithm>
#include <cstring>

#include "avn/runtime/byte_order.h"
#include "avn/runtime/domain_provider.h"

namespace {

constexpr size_t kMinHeaderLength = 8;
constexpr size_t kOptionSize = 8;
constexpr uint8_t kFirstOptionOffset = 8;
constexpr uint8_t kOptionDestination = 64;
constexpr uint8_t kOptionSource = 65;
constexpr uint8_t kKindMask = 0x3;

size_t padded(size_t length) {
    return (length + 3) & ~size_t{3};
}

void write_option(uint8_t* at, uint8_t type, avn_packet_address address) {
    at[0] = kOptionSize;
    at[1] = type;
    byte_order::store_be16(at + 2, static_cast<uint16_t>(address.node >> 16));
    byte_order::store_be16(at + 4, static_cast<uint16_t>(address.node & 0xFFFF));
    byte_order::store_be16(at + 6, address.listener);
}

avn_packet_address read_address(const uint8_t* at) {
    return {static_cast<uint32_t>(byte_order::load_be16(at)) << 16 | byte_order::load_be16(at + 2),
            byte_order::load_be16(at + 4)};
}

// Where an option of `type` sits in the header, or 0.
size_t find_option(std::span<const uint8_t> packet, size_t header_length, uint8_t type) {
    for (size_t at = packet[7]; at >= kMinHeaderLength && at + kOptionSize <= header_length;
         at += kOptionSize) {
        if (packet[at] != kOptionSize) {
            break;  // a free slot ends the options
        }
        if (packet[at + 1] == type) {
            return at;
        }
    }
    return 0;
}

}  // namespace

aud_error avn_packet_begin(avn_packet_builder* builder, std::span<uint8_t> buffer, uint8_t kind,
                           avn_packet_address destination, avn_packet_address source) {
    if (builder == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *builder = avn_packet_builder{};
    if (buffer.size() < AVN_PACKET_HEADER_SIZE) {
        return AUD_ERR_NOMEMORY;
    }
    builder->buffer = buffer;
    uint8_t* p = buffer.data();
    std::memset(p, 0, AVN_PACKET_HEADER_SIZE);
    byte_order::store_be16(p, AVN_PACKET_HEADER_SIZE);
    byte_order::store_be16(p + 2, 1);
    byte_order::store_be16(p + 4, 0x1000);
    p[6] = kind & kKindMask;
    p[7] = kFirstOptionOffset;
    write_option(p + 8, kOptionDestination, destination);
    write_option(p + 16, kOptionSource, source);
    builder->length = AVN_PACKET_HEADER_SIZE;
    return AUD_SUCCESS;
}

aud_error avn_packet_add_chunk(avn_packet_builder* builder, uint16_t type, uint16_t sequence,
                               uint16_t status) {
    if (builder == nullptr || builder->length != AVN_PACKET_HEADER_SIZE || builder->has_chunk) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (builder->buffer.size() < AVN_PACKET_DATA_OFFSET) {
        return AUD_ERR_NOMEMORY;
    }
    uint8_t* chunk = builder->buffer.data() + AVN_PACKET_HEADER_SIZE;
    std::memset(chunk, 0, AVN_PACKET_CHUNK_HEADER_SIZE + AVN_PACKET_HEADER_PART_SIZE);
    byte_order::store_be16(chunk + 2, type);
    byte_order::store_be16(chunk + 4, AVN_PACKET_HEADER_PART_SIZE);
    byte_order::store_be16(chunk + 8, sequence);
    byte_order::store_be16(chunk + 10, status);
    builder->length = AVN_PACKET_DATA_OFFSET;
    builder->has_chunk = true;
    return AUD_SUCCESS;
}

aud_error avn_packet_add_data(avn_packet_builder* builder, std::span<const uint8_t> data) {
    if (builder == nullptr || !builder->has_chunk ||
        builder->length != AVN_PACKET_DATA_OFFSET + builder->data_fixed) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t size = padded(data.size());
    if (builder->buffer.size() - builder->length < size) {
        return AUD_ERR_NOMEMORY;
    }
    uint8_t* at = builder->buffer.data() + builder->length;
    std::memset(at, 0, size);
    if (!data.empty()) {
        std::memcpy(at, data.data(), data.size());
    }
    builder->length += size;
    builder->data_fixed += size;
    return AUD_SUCCESS;
}

aud_error avn_packet_append(avn_packet_builder* builder, std::span<const uint8_t> piece,
                            uint16_t* offset) {
    if (builder == nullptr || !builder->has_chunk) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const size_t size = padded(piece.size());
    const size_t chunk_offset = builder->length - AVN_PACKET_HEADER_SIZE;
    if (builder->buffer.size() - builder->length < size || chunk_offset + size > 0xFFFF) {
        return AUD_ERR_NOMEMORY;
    }
    uint8_t* at = builder->buffer.data() + builder->length;
    std::memset(at, 0, size);
    if (!piece.empty()) {
        std::memcpy(at, piece.data(), piece.size());
    }
    builder->length += size;
    if (offset != nullptr) {
        *offset = static_cast<uint16_t>(chunk_offset);
    }
    return AUD_SUCCESS;
}

aud_error avn_packet_append_text(avn_packet_builder* builder, const char* text, uint16_t* offset) {
    if (text == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    return avn_packet_append(
        builder, {reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1}, offset);
}

void avn_packet_patch16(avn_packet_builder* builder, size_t at, uint16_t value) {
    if (builder != nullptr && at + 2 <= builder->data_fixed) {
        byte_order::store_be16(builder->buffer.data() + AVN_PACKET_DATA_OFFSET + at, value);
    }
}

std::span<uint8_t> avn_packet_finish(avn_packet_builder* builder) {
    if (builder == nullptr || !builder->has_chunk) {
        return {};
    }
    uint8_t* chunk = builder->buffer.data() + AVN_PACKET_HEADER_SIZE;
    byte_order::store_be16(chunk, static_cast<uint16_t>(builder->length - AVN_PACKET_HEADER_SIZE));
    byte_order::store_be16(chunk + 6, static_cast<uint16_t>(builder->data_fixed));
    return builder->buffer.first(builder->length);
}

aud_error avn_packet_read_header(std::span<const uint8_t> packet, avn_packet_view* out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = avn_packet_view{};
    if (packet.size() < kMinHeaderLength) {
        return AUD_ERR_INVALIDDATA;
    }
    const size_t header_length = byte_order::load_be16(packet.data());
    if (header_length < kMinHeaderLength || header_length > packet.size()) {
        return AUD_ERR_INVALIDDATA;
    }
    out->packet = packet;
    out->header_length = header_length;
    out->kind = packet[6] & kKindMask;
    if (const size_t at = find_option(packet, header_length, kOptionDestination)) {
        out->has_destination = true;
        out->destination = read_address(packet.data() + at + 2);
    }
    if (const size_t at = find_option(packet, header_length, kOptionSource)) {
        out->has_source = true;
        out->source = read_address(packet.data() + at + 2);
    }
    return AUD_SUCCESS;
}

aud_error avn_packet_read(std::span<const uint8_t> packet, avn_packet_view* out) {
    const aud_error result = avn_packet_read_header(packet, out);
    if (result != AUD_SUCCESS) {
        return result;
    }
    const size_t start = padded(out->header_length);
    if (start > packet.size() || packet.size() - start < AVN_PACKET_CHUNK_HEADER_SIZE) {
        return AUD_ERR_INVALIDDATA;
    }
    const uint8_t* chunk = packet.data() + start;
    const size_t total = byte_order::load_be16(chunk);
    const size_t part = byte_order::load_be16(chunk + 4);
    const size_t data = byte_order::load_be16(chunk + 6);
    if (total % 4 != 0 || total > packet.size() - start || part < AVN_PACKET_HEADER_PART_SIZE ||
        part % 4 != 0 || data % 4 != 0 || total < AVN_PACKET_CHUNK_HEADER_SIZE + part + data) {
        return AUD_ERR_INVALIDDATA;
    }
    out->chunk = packet.subspan(start, total);
    out->type = byte_order::load_be16(chunk + 2);
    out->sequence = byte_order::load_be16(chunk + 8);
    out->status = byte_order::load_be16(chunk + 10);
    out->data_offset = AVN_PACKET_CHUNK_HEADER_SIZE + part;
    out->data_length = data;
    return AUD_SUCCESS;
}

std::span<const uint8_t> avn_packet_data(const avn_packet_view& view) {
    if (view.chunk.empty()) {
        return {};
    }
    return view.chunk.subspan(view.data_offset, view.data_length);
}

std::span<const uint8_t> avn_packet_at(const avn_packet_view& view, uint16_t offset, size_t size) {
    if (offset == 0 || offset < view.data_offset || offset > view.chunk.size() ||
        view.chunk.size() - offset < size) {
        return {};
    }
    return view.chunk.subspan(offset, size);
}

bool avn_packet_text(const avn_packet_view& view, uint16_t offset, size_t limit,
                     const char** text) {
    if (offset == 0 || offset < view.data_offset || offset >= view.chunk.size()) {
        return false;
    }
    const std::span<const uint8_t> rest = view.chunk.subspan(offset);
    const size_t scan = std::min(rest.size(), limit);
    const void* end = std::memchr(rest.data(), 0, scan);
    if (end == nullptr) {
        return false;
    }
    *text = reinterpret_cast<const char*>(rest.data());
    return true;
}

aud_error avn_packet_begin_reply(avn_packet_builder* builder, std::span<uint8_t> buffer,
                                 const avn_packet_view& request, uint16_t status) {
    aud_error result = avn_packet_begin(builder, buffer, AVN_PACKET_KIND_REPLY, request.source,
                                        request.destination);
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_chunk(builder, request.type, request.sequence, status);
    }
    return result;
}

aud_error avn_packet_relay_send(domain_listener* listener, std::span<uint8_t> packet) {
    if (listener == nullptr) {
        return AUD_ERR_NOTINITIALISED;
    }
    avn_packet_view view;
    if (avn_packet_read_header(packet, &view) != AUD_SUCCESS || !view.has_source) {
        return AUD_ERR_INVALIDDATA;
    }
    const uint16_t own = domain_listener_get_id(listener);
    if (view.kind == AVN_PACKET_KIND_REQUEST) {
        if (view.source.listener == 0) {
            const size_t at = find_option(packet, view.header_length, kOptionSource);
            byte_order::store_be16(packet.data() + at + 6, own);
        } else if (view.source.listener != own) {
            return AUD_ERR_INVALIDDATA;
        }
    }
    return domain_provider_relay_send(domain_listener_get_provider(listener), packet.data(),
                                      packet.size());
}
