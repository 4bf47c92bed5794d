#include "avn/dnssd/mdns_packet.h"

#include <cstring>

#include "avn/runtime/byte_order.h"

namespace mdns {

namespace {

// A chain of compression pointers longer than this is treated as a loop.
constexpr int kMaxPointerJumps = 64;

char lower_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

class Reader {
  public:
    explicit Reader(std::span<const uint8_t> packet) : packet_(packet) {}

    size_t offset() const { return offset_; }
    size_t remaining() const { return packet_.size() - offset_; }

    bool u16(uint16_t* out) {
        if (remaining() < 2) {
            return false;
        }
        *out = byte_order::load_be16(packet_.data() + offset_);
        offset_ += 2;
        return true;
    }

    bool u32(uint32_t* out) {
        if (remaining() < 4) {
            return false;
        }
        *out = byte_order::load_be32(packet_.data() + offset_);
        offset_ += 4;
        return true;
    }

    // Reads a possibly compressed name starting at the current offset and
    // moves past its in-place part.
    bool name(Name* out) {
        size_t next = 0;
        if (!name_at(offset_, out, &next)) {
            return false;
        }
        offset_ = next;
        return true;
    }

    // A name at `start`; `*after` receives the offset after its in-place
    // part (the first pointer or the terminating zero).
    bool name_at(size_t start, Name* out, size_t* after) const {
        out->clear();
        size_t position = start;
        bool jumped = false;
        int jumps = 0;
        for (;;) {
            if (position >= packet_.size()) {
                return false;
            }
            const uint8_t length = packet_[position];
            if ((length & 0xC0) == 0xC0) {
                if (position + 1 >= packet_.size()) {
                    return false;
                }
                const size_t target = (size_t{length & 0x3Fu} << 8) | packet_[position + 1];
                // Only earlier data may be referred to, and only so often.
                if (target >= position || ++jumps > kMaxPointerJumps) {
                    return false;
                }
                if (!jumped) {
                    *after = position + 2;
                    jumped = true;
                }
                position = target;
                continue;
            }
            if ((length & 0xC0) != 0) {
                return false;  // the extended label types are not used
            }
            if (length == 0) {
                out->push_back('\0');
                if (!jumped) {
                    *after = position + 1;
                }
                return true;
            }
            if (length > packet_.size() - position - 1) {
                return false;
            }
            if (out->size() + 1 + length + 1 > kMaxNameSize) {
                return false;
            }
            out->append(reinterpret_cast<const char*>(packet_.data() + position), length + 1u);
            position += 1u + length;
        }
    }

    bool question(Question* out) {
        uint16_t rrclass = 0;
        if (!name(&out->name) || !u16(&out->type) || !u16(&rrclass)) {
            return false;
        }
        out->unicast_response = (rrclass & kClassTopBit) != 0;
        out->rrclass = rrclass & ~kClassTopBit;
        return true;
    }

    bool record(Record* out) {
        uint16_t rrclass = 0;
        uint16_t rdlength = 0;
        if (!name(&out->name) || !u16(&out->type) || !u16(&rrclass) || !u32(&out->ttl) ||
            !u16(&rdlength)) {
            return false;
        }
        if (rdlength > remaining()) {
            return false;
        }
        out->cache_flush = (rrclass & kClassTopBit) != 0;
        out->rrclass = rrclass & ~kClassTopBit;
        const size_t start = offset_;
        const size_t end = start + rdlength;
        out->rdata.clear();
        switch (out->type) {
            case kTypePtr:
            case kTypeCname: {
                Name target;
                size_t after = 0;
                if (!name_at(start, &target, &after) || after != end) {
                    return false;
                }
                out->rdata.assign(target.begin(), target.end());
                break;
            }
            case kTypeSrv: {
                Name target;
                size_t after = 0;
                if (rdlength < 7 || !name_at(start + 6, &target, &after) || after != end) {
                    return false;
                }
                out->rdata.assign(packet_.begin() + static_cast<ptrdiff_t>(start),
                                  packet_.begin() + static_cast<ptrdiff_t>(start + 6));
                out->rdata.insert(out->rdata.end(), target.begin(), target.end());
                break;
            }
            default:
                out->rdata.assign(packet_.begin() + static_cast<ptrdiff_t>(start),
                                  packet_.begin() + static_cast<ptrdiff_t>(end));
                break;
        }
        offset_ = end;
        return true;
    }

  private:
    std::span<const uint8_t> packet_;
    size_t offset_ = 0;
};

bool read_records(Reader& reader, uint16_t count, std::vector<Record>* out) {
    out->clear();
    for (uint16_t i = 0; i < count; ++i) {
        // Every record takes at least 11 bytes: a count larger than the
        // packet can hold is refused before anything is reserved for it.
        if (reader.remaining() < 11) {
            return false;
        }
        Record record;
        if (!reader.record(&record)) {
            return false;
        }
        out->push_back(std::move(record));
    }
    return true;
}

}  // namespace

bool parse_message(std::span<const uint8_t> packet, Message* out) {
    *out = Message{};
    Reader reader(packet);
    uint16_t counts[4] = {};
    if (!reader.u16(&out->id) || !reader.u16(&out->flags)) {
        return false;
    }
    for (uint16_t& count : counts) {
        if (!reader.u16(&count)) {
            return false;
        }
    }
    for (uint16_t i = 0; i < counts[0]; ++i) {
        if (reader.remaining() < 5) {
            return false;
        }
        Question question;
        if (!reader.question(&question)) {
            return false;
        }
        out->questions.push_back(std::move(question));
    }
    return read_records(reader, counts[1], &out->answers) &&
           read_records(reader, counts[2], &out->authorities) &&
           read_records(reader, counts[3], &out->additionals);
}

// ---- Names ----

bool name_is_valid(std::string_view wire) {
    size_t position = 0;
    if (wire.size() > kMaxNameSize) {
        return false;
    }
    while (position < wire.size()) {
        const size_t length = static_cast<uint8_t>(wire[position]);
        if (length == 0) {
            return position + 1 == wire.size();
        }
        if (length > kMaxLabelSize || length > wire.size() - position - 1) {
            return false;
        }
        position += 1 + length;
    }
    return false;
}

std::vector<std::string> name_labels(const Name& name) {
    std::vector<std::string> labels;
    if (!name_is_valid(name)) {
        return labels;
    }
    size_t position = 0;
    while (static_cast<uint8_t>(name[position]) != 0) {
        const size_t length = static_cast<uint8_t>(name[position]);
        labels.emplace_back(name.substr(position + 1, length));
        position += 1 + length;
    }
    return labels;
}

bool name_from_labels(const std::vector<std::string>& labels, Name* out) {
    Name name;
    for (const std::string& label : labels) {
        if (label.empty() || label.size() > kMaxLabelSize) {
            return false;
        }
        name.push_back(static_cast<char>(label.size()));
        name += label;
    }
    name.push_back('\0');
    if (name.size() > kMaxNameSize) {
        return false;
    }
    *out = std::move(name);
    return true;
}

bool name_from_text(std::string_view text, Name* out) {
    std::vector<std::string> labels;
    std::string label;
    bool any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            if (label.empty()) {
                // Only a lone "." or a trailing dot may end without a label.
                if (i + 1 == text.size() && (any || text.size() == 1)) {
                    break;
                }
                return false;
            }
            labels.push_back(std::move(label));
            label.clear();
            continue;
        }
        any = true;
        if (c != '\\') {
            label.push_back(c);
            continue;
        }
        if (i + 1 >= text.size()) {
            return false;
        }
        const char next = text[i + 1];
        if (next >= '0' && next <= '9') {
            if (text.size() - i < 4) {
                return false;
            }
            int value = 0;
            for (size_t k = 1; k <= 3; ++k) {
                const char d = text[i + k];
                if (d < '0' || d > '9') {
                    return false;
                }
                value = value * 10 + (d - '0');
            }
            if (value > 255) {
                return false;
            }
            label.push_back(static_cast<char>(value));
            i += 3;
        } else {
            label.push_back(next);
            i += 1;
        }
    }
    if (!label.empty()) {
        labels.push_back(std::move(label));
    }
    return name_from_labels(labels, out);
}

std::string name_to_text(const Name& name) {
    const std::vector<std::string> labels = name_labels(name);
    if (labels.empty()) {
        return ".";
    }
    std::string text;
    for (const std::string& label : labels) {
        for (const char c : label) {
            const auto byte = static_cast<uint8_t>(c);
            if (c == '.' || c == '\\') {
                text.push_back('\\');
                text.push_back(c);
            } else if (byte <= 0x20 || byte == 0x7F) {
                char escaped[5];
                escaped[0] = '\\';
                escaped[1] = static_cast<char>('0' + byte / 100);
                escaped[2] = static_cast<char>('0' + (byte / 10) % 10);
                escaped[3] = static_cast<char>('0' + byte % 10);
                escaped[4] = '\0';
                text += escaped;
            } else {
                text.push_back(c);
            }
        }
        text.push_back('.');
    }
    return text;
}

bool names_equal(const Name& a, const Name& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) {
            return false;
        }
    }
    return true;
}

Name name_lower(const Name& name) {
    Name lower(name);
    for (char& c : lower) {
        c = lower_ascii(c);
    }
    return lower;
}

bool ptr_target(const std::vector<uint8_t>& rdata, Name* out) {
    const std::string_view wire(reinterpret_cast<const char*>(rdata.data()), rdata.size());
    if (!name_is_valid(wire)) {
        return false;
    }
    out->assign(wire);
    return true;
}

bool srv_target(const std::vector<uint8_t>& rdata, uint16_t* port, Name* target) {
    if (rdata.size() < 7) {
        return false;
    }
    const std::string_view wire(reinterpret_cast<const char*>(rdata.data() + 6), rdata.size() - 6);
    if (!name_is_valid(wire)) {
        return false;
    }
    *port = byte_order::load_be16(rdata.data() + 4);
    target->assign(wire);
    return true;
}

// ---- Building ----

Builder::Builder(uint16_t id, uint16_t flags, size_t limit)
    : id_(id), flags_(flags), limit_(limit), bytes_(kHeaderSize, 0) {}

void Builder::write_u16(uint16_t value) {
    uint8_t bytes[2];
    byte_order::store_be16(bytes, value);
    bytes_.insert(bytes_.end(), bytes, bytes + 2);
}

void Builder::write_u32(uint32_t value) {
    uint8_t bytes[4];
    byte_order::store_be32(bytes, value);
    bytes_.insert(bytes_.end(), bytes, bytes + 4);
}

void Builder::write_name(const Name& name) {
    const Name lower = name_lower(name);
    size_t position = 0;
    while (position < lower.size() && lower[position] != '\0') {
        const std::string suffix = lower.substr(position);
        const auto found = suffixes_.find(suffix);
        if (found != suffixes_.end()) {
            write_u16(static_cast<uint16_t>(0xC000u | found->second));
            return;
        }
        if (bytes_.size() < 0x4000) {
            suffixes_.emplace(suffix, static_cast<uint16_t>(bytes_.size()));
        }
        const size_t length = static_cast<uint8_t>(name[position]);
        bytes_.insert(bytes_.end(), name.begin() + static_cast<ptrdiff_t>(position),
                      name.begin() + static_cast<ptrdiff_t>(position + 1 + length));
        position += 1 + length;
    }
    bytes_.push_back(0);
}

// Takes back everything written from `mark` on, compression entries included.
void Builder::roll_back(size_t mark) {
    bytes_.resize(mark);
    for (auto it = suffixes_.begin(); it != suffixes_.end();) {
        it = it->second >= mark ? suffixes_.erase(it) : std::next(it);
    }
}

bool Builder::add_question(const Question& question) {
    if (section_ > 0 || !name_is_valid(question.name)) {
        return false;
    }
    const size_t mark = bytes_.size();
    write_name(question.name);
    write_u16(question.type);
    write_u16(
        static_cast<uint16_t>(question.rrclass | (question.unicast_response ? kClassTopBit : 0)));
    if (bytes_.size() > limit_) {
        roll_back(mark);
        return false;
    }
    ++counts_[0];
    return true;
}

bool Builder::add_record(Section section, const Record& record) {
    const auto index = static_cast<size_t>(section);
    if (index == 0 || index < section_ || !name_is_valid(record.name)) {
        return false;
    }
    const size_t mark = bytes_.size();
    write_name(record.name);
    write_u16(record.type);
    write_u16(static_cast<uint16_t>(record.rrclass | (record.cache_flush ? kClassTopBit : 0)));
    write_u32(record.ttl);
    const size_t length_at = bytes_.size();
    write_u16(0);
    Name target;
    uint16_t port = 0;
    if ((record.type == kTypePtr || record.type == kTypeCname) &&
        ptr_target(record.rdata, &target)) {
        write_name(target);
    } else if (record.type == kTypeSrv && srv_target(record.rdata, &port, &target)) {
        bytes_.insert(bytes_.end(), record.rdata.begin(), record.rdata.begin() + 6);
        write_name(target);
    } else {
        bytes_.insert(bytes_.end(), record.rdata.begin(), record.rdata.end());
    }
    const size_t rdlength = bytes_.size() - length_at - 2;
    if (bytes_.size() > limit_ || rdlength > 0xFFFF) {
        roll_back(mark);
        return false;
    }
    byte_order::store_be16(bytes_.data() + length_at, static_cast<uint16_t>(rdlength));
    section_ = index;
    ++counts_[index];
    return true;
}

std::vector<uint8_t> Builder::finish() const {
    std::vector<uint8_t> message(bytes_);
    byte_order::store_be16(message.data(), id_);
    byte_order::store_be16(message.data() + 2, flags_);
    for (size_t i = 0; i < 4; ++i) {
        byte_order::store_be16(message.data() + 4 + 2 * i, static_cast<uint16_t>(counts_[i]));
    }
    return message;
}

}  // namespace mdns
