// The 8-byte id texts and the value forms of TXT records, with the label of
// every id read back to the same id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "avn/browse/db_txt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* text = reinterpret_cast<const char*>(data);
    uint8_t id[DB_ID_SIZE];
    if (db_id_from_text(text, size, id)) {
        char label[DB_ID_LABEL_SIZE];
        db_id_to_label(id, label);
        uint8_t back[DB_ID_SIZE];
        if (!db_id_from_text(label, std::strlen(label), back) ||
            std::memcmp(id, back, DB_ID_SIZE) != 0) {
            std::abort();
        }
    }
    db_version version;
    db_txt_parse_version(text, size, &version);
    db_txt_parse_device_id(text, size, id);
    db_txt_parse_device_id_strict(text, size, id);
    uint8_t address[4];
    db_txt_parse_address(text, size, address);
    uint16_t u16;
    db_txt_parse_decimal16(text, size, &u16);
    uint32_t u32;
    db_txt_parse_hex32(text, size, &u32);
    db_txt_parse_decimal32(text, size, &u32);
    return 0;
}
