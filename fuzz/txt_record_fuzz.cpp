// The TXT record parsers of device adverts, and the id texts inside them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "avn/browse/db_txt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    db_conmon_txt conmon;
    parse_conmon_txt_record(data, size, &conmon);
    db_media_txt media;
    parse_media_txt_record(data, size, &media);
    db_channel_txt channel;
    parse_channel_txt_record(data, size, &channel);
    db_mode_txt mode;
    parse_mode_txt_record(data, size, "safe", &mode);
    db_via_txt via;
    parse_via_txt_record(data, size, &via);
    return 0;
}
