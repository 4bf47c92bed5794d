// The Domain Manager's lookup results: the packet, the result data, the
// device record with its information block and service list, and the TXT
// records it carries.
#include <cstddef>
#include <cstdint>

#include "avn/conmon/db_lookup.h"
#include "avn/browse/db_txt.h"
#include "avn/conmon/avn_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    avn_packet_view view;
    if (avn_packet_read({data, size}, &view) != AUD_SUCCESS) {
        return 0;
    }
    db_lookup_result result;
    if (db_lookup_parse_result(view, &result) != AUD_SUCCESS || !result.has_record) {
        return 0;
    }
    const db_domain_device_record& record = result.record;
    db_conmon_txt conmon;
    parse_conmon_txt_record(record.conmon.txt, record.conmon.txt_length, &conmon);
    db_media_txt media;
    parse_media_txt_record(record.media.txt, record.media.txt_length, &media);
    db_via_txt via;
    parse_via_txt_record(record.via.txt, record.via.txt_length, &via);
    return 0;
}
