// Datagrams from a unicast DNS server: the header, the questions stepped
// over, and every record of the three sections with its names decompressed.
// Whatever is read must lie inside the datagram, the texts must end within
// their buffers, and checking the whole message must agree with reading it
// record by record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "avn/domain/dns_message.h"

namespace {

void check_text(const char* text) {
    if (std::memchr(text, '\0', DNS_NAME_TEXT_SIZE) == nullptr) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Datagrams are read into a buffer of this size; a longer one never
    // reaches the parser.
    if (size > DNS_MESSAGE_MAX_DATAGRAM) {
        return 0;
    }
    dns_reader reader;
    aud_error result = dns_reader_init(&reader, data, size);
    if (result == AUD_SUCCESS) {
        dns_record record;
        while ((result = dns_reader_next(&reader, &record)) == AUD_SUCCESS) {
            check_text(record.name);
            check_text(record.srv_target);
            if (record.rdata < data || record.rdata + record.rdata_length > data + size) {
                std::abort();
            }
            // The comparison the lookup makes against its queries.
            dns_names_equal(record.name, "default._avn-dm-c._tcp.example.com");
            dns_names_equal(record.srv_target, record.name);
            dns_type_name(record.type);
        }
        if (result == AUD_ERR_DONE) {
            result = AUD_SUCCESS;
        }
    }
    if (dns_message_check(data, size) != result) {
        std::abort();
    }
    return 0;
}
