// The multicast DNS message parser with bytes from anywhere on the link;
// whatever it accepts must build again and parse to the same records.
#include <cstddef>
#include <cstdint>

#include "avn/dnssd/mdns_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mdns::Message message;
    if (!mdns::parse_message({data, size}, &message)) {
        return 0;
    }
    mdns::Builder builder(message.id, message.flags, static_cast<size_t>(-1));
    for (const mdns::Question& question : message.questions) {
        builder.add_question(question);
    }
    for (const mdns::Record& record : message.answers) {
        builder.add_record(mdns::Section::Answer, record);
    }
    for (const mdns::Record& record : message.additionals) {
        builder.add_record(mdns::Section::Additional, record);
    }
    mdns::Message again;
    if (!mdns::parse_message(builder.finish(), &again) ||
        again.questions.size() != message.questions.size()) {
        __builtin_trap();
    }
    for (const mdns::Record& record : again.answers) {
        mdns::Name target;
        uint16_t port = 0;
        mdns::ptr_target(record.rdata, &target);
        mdns::srv_target(record.rdata, &port, &target);
        mdns::name_to_text(record.name);
    }
    return 0;
}
