// The TXT records of AVN device adverts and the text forms of 8-byte ids.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "avn/browse/db_txt.h"

namespace {

using Id = std::array<uint8_t, DB_ID_SIZE>;

std::vector<uint8_t> txt_of(const std::vector<std::string>& strings) {
    std::vector<uint8_t> bytes;
    for (const std::string& s : strings) {
        bytes.push_back(static_cast<uint8_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    return bytes;
}

Id id_of(const uint8_t* bytes) {
    Id id;
    std::memcpy(id.data(), bytes, id.size());
    return id;
}

const Id kVornix = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

TEST(IdText, ReadsTextAndHexadecimalForms) {
    struct Case {
        const char* text;
        bool ok;
        Id id;
    };
    const Case cases[] = {
        {"Vornix", true, kVornix},
        {"_0102", true, {1, 2, 0, 0, 0, 0, 0, 0}},
        {"_0000000000000008", true, {0, 0, 0, 0, 0, 0, 0, 8}},
        {"_aBcD", true, {0xAB, 0xCD, 0, 0, 0, 0, 0, 0}},
        {"", true, {}},
        {"ABCDEFGH", true, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}},
        {"ABCDEFGHI", false, {}},            // nine characters
        {"_010", false, {}},                 // an odd digit
        {"_01zz", false, {}},                // not hexadecimal
        {"_", false, {}},                    // no byte at all
        {"_000000000000000001", false, {}},  // nine bytes
    };
    for (const Case& c : cases) {
        uint8_t out[DB_ID_SIZE];
        EXPECT_EQ(db_id_from_text(c.text, std::strlen(c.text), out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(id_of(out), c.id) << c.text;
        }
    }
}

TEST(IdText, LabelsReadBackAsTheSameId) {
    struct Case {
        Id id;
        const char* label;
    };
    const Case cases[] = {
        {kVornix, "Vornix"},
        {{1, 2, 0, 0, 0, 0, 0, 0}, "_0102"},
        {{'_', 'a', 0, 0, 0, 0, 0, 0}, "_5f61"},  // a leading "_" is always hexadecimal
        {{}, "_00"},
        {{'A', 0, 'B', 0, 0, 0, 0, 0}, "_410042"},  // an inner zero byte
        {{0, 0, 0, 0, 0, 0, 0, 8}, "_0000000000000008"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "_ffffffffffffffff"},
        {{'a', '-', 'Z', '_', '9', 0, 0, 0}, "a-Z_9"},
    };
    for (const Case& c : cases) {
        char label[DB_ID_LABEL_SIZE];
        db_id_to_label(c.id.data(), label);
        EXPECT_STREQ(label, c.label);
        uint8_t back[DB_ID_SIZE];
        ASSERT_TRUE(db_id_from_text(label, std::strlen(label), back)) << label;
        EXPECT_EQ(id_of(back), c.id) << label;
    }
}

TEST(TxtValues, NumbersVersionsAndAddresses) {
    db_version v{};
    EXPECT_TRUE(db_txt_parse_version("4.2.1", 5, &v));
    EXPECT_EQ(v.major, 4);
    EXPECT_EQ(v.minor, 2);
    EXPECT_EQ(v.bugfix, 1);
    EXPECT_TRUE(db_txt_parse_version("7", 1, &v));
    EXPECT_EQ(v.major, 7);
    EXPECT_EQ(v.minor + v.bugfix, 0);
    EXPECT_TRUE(db_txt_parse_version("", 0, &v));
    EXPECT_FALSE(db_txt_parse_version("x1", 2, &v));
    EXPECT_FALSE(db_txt_parse_version("256.0", 5, &v));  // beyond 8 bits

    uint16_t u16 = 0;
    EXPECT_TRUE(db_txt_parse_decimal16("65535", 5, &u16));
    EXPECT_EQ(u16, 65535);
    EXPECT_FALSE(db_txt_parse_decimal16("70000", 5, &u16));
    EXPECT_FALSE(db_txt_parse_decimal16("12a", 3, &u16));
    EXPECT_FALSE(db_txt_parse_decimal16("", 0, &u16));

    uint32_t u32 = 0;
    EXPECT_TRUE(db_txt_parse_hex32("ff", 2, &u32));
    EXPECT_EQ(u32, 255u);
    EXPECT_TRUE(db_txt_parse_hex32("0xFFFFFFFF", 10, &u32));
    EXPECT_EQ(u32, 0xFFFFFFFFu);
    EXPECT_FALSE(db_txt_parse_hex32("100000000", 9, &u32));
    EXPECT_FALSE(db_txt_parse_hex32("0x", 2, &u32));

    uint8_t address[4];
    EXPECT_TRUE(db_txt_parse_address("10.0.1.255", 10, address));
    EXPECT_EQ(address[0], 10);
    EXPECT_EQ(address[3], 255);
    EXPECT_FALSE(db_txt_parse_address("10.0.1.256", 10, address));
    EXPECT_FALSE(db_txt_parse_address("10.0.1", 6, address));

    uint8_t id[DB_ID_SIZE];
    EXPECT_TRUE(db_txt_parse_device_id("  0x0253494d00000001", 20, id));
    EXPECT_EQ(id[1], 0x53);
    EXPECT_EQ(id[7], 1);
    EXPECT_FALSE(db_txt_parse_device_id("0253494d000000", 14, id));  // seven pairs
    EXPECT_FALSE(db_txt_parse_device_id_strict("0x0253494d000000", 16, id));
}

TEST(ConmonTxt, ReadsTheKeysThatTheTreeKeeps) {
    const auto txt = txt_of({"txtvers=1", "cmcp_vers=1.2.0", "cmcp_min=1.0.0", "server_vers=4.2.1",
                             "channels=0x00000001", "id=0253494d00000001", "process=8800",
                             "mf=Vornix", "model=_0000000000000008", "vba=10.1.2.3", "vid=_01"});
    db_conmon_txt record;
    ASSERT_EQ(parse_conmon_txt_record(txt.data(), txt.size(), &record), AUD_SUCCESS);
    EXPECT_EQ(record.present, 0x3FFu);
    EXPECT_EQ(id_of(record.manufacturer_id), kVornix);
    EXPECT_EQ(record.model_id[7], 8);
    EXPECT_EQ(record.instance_id.process_id, 8800);
    EXPECT_EQ(record.instance_id.device_id[7], 1);
    EXPECT_EQ(record.channels, 1u);
    EXPECT_EQ(record.vba[3], 3);
    EXPECT_EQ(record.vid[0], 1);
    EXPECT_EQ(record.server_vers.major, 4);
}

TEST(ConmonTxt, RefusedEmptyAndRepeatedKeys) {
    struct Case {
        std::vector<std::string> strings;
        uint32_t present;
        const char* what;
    };
    const Case cases[] = {
        {{"channels=ff"}, DB_CONMON_TXT_CHANNELS, "hexadecimal without 0x"},
        {{"process=70000"}, 0, "process beyond 16 bits"},
        {{"mf=ABCDEFGHI"}, 0, "manufacturer of nine characters"},
        {{"mf"}, DB_CONMON_TXT_MF, "a key without = is an empty id"},
        {{"process", "vba", "channels"}, 0, "numbers and addresses need a value"},
        {{"mf=Vornix", "mf=ABCDEFGHI"}, DB_CONMON_TXT_MF, "the first key wins"},
        {{"mf=ABCDEFGHI", "mf=Vornix"}, 0, "the first key wins, refused or not"},
        {{"MF=Vornix", "Model=_08"},
         DB_CONMON_TXT_MF | DB_CONMON_TXT_MODEL,
         "keys are compared without letter case"},
        {{"Mf=Vornix", "mf=Acme"}, DB_CONMON_TXT_MF, "the first wins whatever its case"},
    };
    for (const Case& c : cases) {
        const auto txt = txt_of(c.strings);
        db_conmon_txt record;
        ASSERT_EQ(parse_conmon_txt_record(txt.data(), txt.size(), &record), AUD_SUCCESS);
        EXPECT_EQ(record.present, c.present) << c.what;
    }
    const auto later = txt_of({"MF=Vornix", "mf=Acme"});
    db_conmon_txt record;
    parse_conmon_txt_record(later.data(), later.size(), &record);
    EXPECT_EQ(id_of(record.manufacturer_id), kVornix);
    const auto refused = txt_of({"process=70000"});
    parse_conmon_txt_record(refused.data(), refused.size(), &record);
    EXPECT_EQ(record.instance_id.process_id, 0);

    EXPECT_EQ(parse_conmon_txt_record(nullptr, 0, &record), AUD_ERR_INVALIDPARAMETER);
}

TEST(ConmonTxt, TheWalkStopsAtAnEmptyStringOrOneThatRunsPast) {
    auto txt = txt_of({"mf=Vornix", "", "model=_08"});
    db_conmon_txt record;
    parse_conmon_txt_record(txt.data(), txt.size(), &record);
    EXPECT_EQ(record.present, DB_CONMON_TXT_MF);

    txt = txt_of({"mf=Vornix", "model=_08"});
    txt[txt.size() - 10] = 40;  // the second string claims more than is there
    parse_conmon_txt_record(txt.data(), txt.size(), &record);
    EXPECT_EQ(record.present, DB_CONMON_TXT_MF);
}

TEST(MediaTxt, KeepsTextsAndIds) {
    const auto txt = txt_of({"arcp_vers=2.8.0", "router_info=\"AVN simulated device\"", "mf=Vornix",
                             "model=_0000000000000008", "router_debug"});
    db_media_txt record;
    ASSERT_EQ(parse_media_txt_record(txt.data(), txt.size(), &record), AUD_SUCCESS);
    EXPECT_EQ(record.present, DB_MEDIA_TXT_ARCP_VERS | DB_MEDIA_TXT_ROUTER_INFO | DB_MEDIA_TXT_MF |
                                  DB_MEDIA_TXT_MODEL | DB_MEDIA_TXT_ROUTER_DEBUG);
    EXPECT_STREQ(record.router_info, "\"AVN simulated device\"");
    EXPECT_STREQ(record.router_debug, "");
    EXPECT_EQ(record.arcp_vers.minor, 8);
}

TEST(ChannelTxt, RequiredKeysAndEncodings) {
    struct Case {
        std::vector<std::string> strings;
        db_channel_txt_result result;
    };
    const Case cases[] = {
        {{"rate=48000", "enc=24"}, DB_CHANNEL_TXT_NO_ID},
        {{"id=", "rate=48000", "enc=24"}, DB_CHANNEL_TXT_NO_ID},
        {{"id=3", "enc=24"}, DB_CHANNEL_TXT_NO_RATE},
        {{"id=3", "rate=48000"}, DB_CHANNEL_TXT_NO_ENC},
        {{"id=3", "rate=48000", "enc=24  32"}, DB_CHANNEL_TXT_NO_ENC},  // two blanks
        {{"id=3", "rate=48000", "enc=0"}, DB_CHANNEL_TXT_NO_ENC},       // no width 0
        {{"id=3", "rate=48000", "enc=8 16 24 32 8 16 24 32 24"}, DB_CHANNEL_TXT_TOO_MANY_ENC},
        {{"id=3", "rate=48000", "enc=24"}, DB_CHANNEL_TXT_OK},
    };
    for (const Case& c : cases) {
        const auto txt = txt_of(c.strings);
        db_channel_txt channel;
        EXPECT_EQ(parse_channel_txt_record(txt.data(), txt.size(), &channel), c.result)
            << c.strings.back();
    }
    const auto txt = txt_of({"id=3", "default", "rate=96000", "enc=24 1000 16 700"});
    db_channel_txt channel;
    ASSERT_EQ(parse_channel_txt_record(txt.data(), txt.size(), &channel), DB_CHANNEL_TXT_OK);
    EXPECT_EQ(channel.id, 3);
    EXPECT_TRUE(channel.is_default);
    EXPECT_EQ(channel.rate, 96000u);
    EXPECT_EQ(channel.pcm_mask, 0x6u);  // 3 and 2 bytes
    EXPECT_EQ(channel.pcm_width, 24u);
    EXPECT_EQ(channel.first_encoding, 24u);
    ASSERT_EQ(channel.other_count, 2u);
    EXPECT_EQ(channel.others[0], 700u);
    EXPECT_EQ(channel.others[1], 1000u);
}

TEST(ModeAndViaTxt, ReportEachMissingOrBadKey) {
    db_mode_txt mode;
    auto txt = txt_of({"safe=2", "id=0253494d00000001", "process=8800"});
    parse_mode_txt_record(txt.data(), txt.size(), "safe", &mode);
    EXPECT_EQ(mode.problems, 0u);
    EXPECT_EQ(mode.value, 2);
    EXPECT_EQ(mode.instance_id.process_id, 8800);

    txt = txt_of({"id=0253494d0000000z", "upgr=1"});
    parse_mode_txt_record(txt.data(), txt.size(), "upgr", &mode);
    EXPECT_EQ(mode.problems, DB_MODE_TXT_ID_SHORT | DB_MODE_TXT_PROCESS_MISSING);
    EXPECT_EQ(mode.value, 1);
    txt = txt_of({"id=0253"});
    parse_mode_txt_record(txt.data(), txt.size(), "safe", &mode);
    EXPECT_EQ(mode.problems, DB_MODE_TXT_ID_MISSING | DB_MODE_TXT_PROCESS_MISSING);

    struct Case {
        std::vector<std::string> strings;
        db_via_txt_result result;
    };
    const std::string id = "id=0253494d00000001";
    const Case cases[] = {
        {{"process=1", "vers_min=1.0", "vers_curr=1.1"}, DB_VIA_TXT_ID_MISSING},
        {{"id=0253494d0000000g", "process=1", "vers_min=1.0", "vers_curr=1.1"},
         DB_VIA_TXT_ID_SHORT},
        {{id, "vers_min=1.0", "vers_curr=1.1"}, DB_VIA_TXT_PROCESS_MISSING},
        {{id, "process=1", "vers_curr=1.1"}, DB_VIA_TXT_VERS_MIN_MISSING},
        {{id, "process=1", "vers_min=one", "vers_curr=1.1"}, DB_VIA_TXT_VERS_MIN_INVALID},
        {{id, "process=1", "vers_min=1.0"}, DB_VIA_TXT_VERS_CURR_MISSING},
        {{id, "process=1", "vers_min=1.0", "vers_curr=x"}, DB_VIA_TXT_VERS_CURR_INVALID},
        {{id, "process=1", "vers_min=1.0", "vers_curr=1.1.7"}, DB_VIA_TXT_OK},
    };
    for (const Case& c : cases) {
        const auto via_txt = txt_of(c.strings);
        db_via_txt via;
        EXPECT_EQ(parse_via_txt_record(via_txt.data(), via_txt.size(), &via), c.result);
    }
}

}  // namespace
