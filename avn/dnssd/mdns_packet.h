// Multicast DNS messages: a parser that checks every length and offset before
// it reads, and a builder that compresses names. Names are held in
// uncompressed wire form (length-prefixed labels ending in a zero byte), so a
// label may carry any byte, dots included, and nothing is lost in a round trip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mdns {

// A domain name in uncompressed wire form; the root is the single zero byte.
using Name = std::string;

inline constexpr uint16_t kPort = 5353;
inline constexpr uint32_t kGroupAddress = 0xE00000FBu;  // 224.0.0.251, host order

inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeCname = 5;
inline constexpr uint16_t kTypePtr = 12;
inline constexpr uint16_t kTypeTxt = 16;
inline constexpr uint16_t kTypeAaaa = 28;
inline constexpr uint16_t kTypeSrv = 33;
inline constexpr uint16_t kTypeNsec = 47;
inline constexpr uint16_t kTypeAny = 255;
inline constexpr uint16_t kClassIn = 1;
// The top bit of a class: "unicast response wanted" in a question, "cache
// flush" in a record.
inline constexpr uint16_t kClassTopBit = 0x8000;

inline constexpr uint16_t kFlagResponse = 0x8000;
inline constexpr uint16_t kFlagAuthoritative = 0x0400;
inline constexpr uint16_t kFlagTruncated = 0x0200;
inline constexpr uint16_t kOpcodeMask = 0x7800;
inline constexpr uint16_t kRcodeMask = 0x000F;

inline constexpr size_t kHeaderSize = 12;
inline constexpr size_t kMaxNameSize = 255;  // wire form, terminating zero included
inline constexpr size_t kMaxLabelSize = 63;
// The largest message we read; what we send stays within an Ethernet frame.
inline constexpr size_t kMaxMessageSize = 9000;
inline constexpr size_t kSendLimit = 1440;

struct Question {
    Name name;
    uint16_t type = 0;
    uint16_t rrclass = kClassIn;  // without the top bit
    bool unicast_response = false;
};

struct Record {
    Name name;
    uint16_t type = 0;
    uint16_t rrclass = kClassIn;  // without the top bit
    bool cache_flush = false;
    uint32_t ttl = 0;
    // Names inside PTR, CNAME and SRV data are stored uncompressed.
    std::vector<uint8_t> rdata;
};

struct Message {
    uint16_t id = 0;
    uint16_t flags = 0;
    std::vector<Question> questions;
    std::vector<Record> answers;
    std::vector<Record> authorities;
    std::vector<Record> additionals;

    bool is_response() const { return (flags & kFlagResponse) != 0; }
};

// Parses a whole message. False for anything malformed: a length or offset
// past the end, a compression pointer that does not point backwards or a
// chain of them longer than the bound, a name over 255 bytes, a label type
// other than plain or pointer, or record data whose names do not fit it.
// Nothing is read outside `packet`.
bool parse_message(std::span<const uint8_t> packet, Message* out);

// ---- Names ----

// Dotted text with the escapes "\." "\\" and "\DDD" (decimal); a trailing
// dot is optional, "" and "." are the root. False for an empty label inside
// the name, a label over 63 bytes, a name over 255 bytes or a bad escape.
bool name_from_text(std::string_view text, Name* out);
// The escaped dotted text with a trailing dot ("." for the root).
std::string name_to_text(const Name& name);
// ASCII letters compared without regard to case, as DNS names are.
bool names_equal(const Name& a, const Name& b);
Name name_lower(const Name& name);
// The labels in order (the root gives none); empty when the name is malformed.
std::vector<std::string> name_labels(const Name& name);
// Builds a name from labels; false when a label is empty or too long or the
// name too long.
bool name_from_labels(const std::vector<std::string>& labels, Name* out);
// Checks that a byte string is one well-formed name in wire form.
bool name_is_valid(std::string_view wire);

// The name inside the data of a PTR record, or the target of an SRV record.
bool ptr_target(const std::vector<uint8_t>& rdata, Name* out);
bool srv_target(const std::vector<uint8_t>& rdata, uint16_t* port, Name* target);

// ---- Building ----

enum class Section { Question, Answer, Authority, Additional };

class Builder {
  public:
    Builder(uint16_t id, uint16_t flags, size_t limit = kSendLimit);

    // Each add returns false, and leaves the message as it was, when the
    // item would take the message past its limit or comes in a section
    // before the last one used.
    bool add_question(const Question& question);
    bool add_record(Section section, const Record& record);

    void set_flags(uint16_t flags) { flags_ = flags; }
    uint16_t flags() const { return flags_; }
    size_t count(Section section) const { return counts_[static_cast<size_t>(section)]; }
    bool empty() const { return bytes_.size() == kHeaderSize; }
    size_t size() const { return bytes_.size(); }
    // The message with its header filled in.
    std::vector<uint8_t> finish() const;

  private:
    void write_name(const Name& name);
    void write_u16(uint16_t value);
    void write_u32(uint32_t value);
    void roll_back(size_t mark);

    uint16_t id_;
    uint16_t flags_;
    size_t limit_;
    std::vector<uint8_t> bytes_;
    size_t counts_[4] = {0, 0, 0, 0};
    size_t section_ = 0;
    // Offsets of name suffixes already written, keyed by their lower-case
    // wire form, for compression.
    std::map<std::string, uint16_t> suffixes_;
};

}  // namespace mdns
