#include "avn/domain/cmm_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "avn/runtime/byte_order.h"

namespace {

using Bytes = std::vector<uint8_t>;

cmm_interface interface_of(const std::u16string& name, uint8_t last_mac_byte) {
    cmm_interface out{};
    std::memcpy(out.name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    out.mac[0] = 0x02;
    out.mac[5] = last_mac_byte;
    return out;
}

dgcp2_message new_message() {
    dgcp2_message m;
    dgcp2_message_init(&m, CMM_HEADER_TYPE);
    dgcp2_message_write_header(&m, CMM_PROTOCOL_ID, CMM_OPCODE_STATE, DGCP2_KIND_EVENT);
    return m;
}

Bytes body_of(const dgcp2_message& m) {
    const auto body = dgcp2_message_body(&m);
    return Bytes(body.begin(), body.end());
}

dgcp2_message message_with_body(const Bytes& body) {
    dgcp2_message m = new_message();
    if (!body.empty()) {
        std::memcpy(m.bytes + m.header_size, body.data(), body.size());
    }
    byte_order::store_be16(m.bytes + 2, static_cast<uint16_t>(m.header_size + body.size()));
    return m;
}

template <typename Record>
bool all_zero(const Record& record) {
    Record zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&record, &zero, sizeof record) == 0;
}

cmm_state sample_state() {
    cmm_state state;
    std::memset(&state, 0, sizeof state);
    state.status = CMM_STATUS_CHANGING;
    std::strcpy(state.device_name, "studio-pc");
    state.current_config.count = 2;
    state.current_config.interfaces[0] = interface_of(u"Ethernet", 1);
    state.current_config.interfaces[1] = interface_of(u"", 0);
    state.pending_config.count = 1;
    state.pending_config.interfaces[0] = interface_of(u"Ethernet 2 \u00e9", 2);
    state.process_count = 2;
    std::strcpy(state.processes[0].name, "FWUpdater");
    state.processes[0].process_id = 0x12345678;
    state.processes[0].flag = 1;
    std::strcpy(state.processes[1].name, "mixer");
    state.processes[1].process_id = 42;
    return state;
}

TEST(CmmBodies, ConnectRequestWireLayout) {
    cmm_registration registration{};
    std::strcpy(registration.name, "FW");
    registration.process_id = 0x01020304;
    registration.own_process = 1;
    dgcp2_message m = new_message();
    ASSERT_EQ(cmm_encode_connect_request(&m, &registration), AUD_SUCCESS);
    // Root [-> name, -> process id, inline 1], "FW" padded, the number at 12.
    const Bytes expected = {0, 3, 0, 8, 0, 12, 0, 1, 'F', 'W', 0, 0, 1, 2, 3, 4};
    EXPECT_EQ(body_of(m), expected);

    cmm_registration decoded{};
    ASSERT_EQ(cmm_decode_connect_request(&m, &decoded), AUD_SUCCESS);
    EXPECT_STREQ(decoded.name, "FW");
    EXPECT_EQ(decoded.process_id, 0x01020304u);
    EXPECT_EQ(decoded.own_process, 1u);
}

TEST(CmmBodies, ConnectResponseKeepsTwoBytesAndTwoWords) {
    const cmm_connection_info info{{3, 0xFF}, {0x1234, 0xFFFF}};
    dgcp2_message m = new_message();
    ASSERT_EQ(cmm_encode_connect_response(&m, &info), AUD_SUCCESS);
    cmm_connection_info decoded{};
    ASSERT_EQ(cmm_decode_connect_response(&m, &decoded), AUD_SUCCESS);
    EXPECT_EQ(std::memcmp(&decoded, &info, sizeof info), 0);

    // Inline values wider than a byte keep their low byte.
    const dgcp2_message wide = message_with_body({0, 4, 0x01, 0x05, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(cmm_decode_connect_response(&wide, &decoded), AUD_SUCCESS);
    EXPECT_EQ(decoded.bytes[0], 0x05);

    const dgcp2_message three = message_with_body({0, 3, 0, 1, 0, 2, 0, 3});
    EXPECT_EQ(cmm_decode_connect_response(&three, &decoded), AUD_ERR_INVALIDDATA);
}

TEST(CmmBodies, StateRoundTrip) {
    const cmm_state state = sample_state();
    dgcp2_message m = new_message();
    ASSERT_EQ(cmm_encode_state(&m, &state), AUD_SUCCESS);
    cmm_state decoded;
    ASSERT_EQ(cmm_decode_state(&m, &decoded), AUD_SUCCESS);
    EXPECT_EQ(std::memcmp(&decoded, &state, sizeof state), 0);
}

TEST(CmmBodies, StateWithoutPendingConfigurationWritesSlotZero) {
    cmm_state state = sample_state();
    state.status = CMM_STATUS_READY;
    std::memset(&state.pending_config, 0, sizeof state.pending_config);
    dgcp2_message m = new_message();
    ASSERT_EQ(cmm_encode_state(&m, &state), AUD_SUCCESS);
    uint16_t pending = 1;
    ASSERT_EQ(dgcp2_body_read_slot(&m, 0, 3, &pending), AUD_SUCCESS);
    EXPECT_EQ(pending, 0);
    cmm_state decoded;
    ASSERT_EQ(cmm_decode_state(&m, &decoded), AUD_SUCCESS);
    EXPECT_EQ(std::memcmp(&decoded, &state, sizeof state), 0);
}

TEST(CmmBodies, LongTextsAreCutToTheirFields) {
    cmm_state state = sample_state();
    std::memset(state.device_name, 'd', sizeof state.device_name);  // no terminator
    std::memset(state.processes[0].name, 'p', sizeof state.processes[0].name);
    for (char16_t& unit : state.current_config.interfaces[0].name) {
        unit = u'n';
    }
    dgcp2_message m = new_message();
    ASSERT_EQ(cmm_encode_state(&m, &state), AUD_SUCCESS);
    cmm_state decoded;
    ASSERT_EQ(cmm_decode_state(&m, &decoded), AUD_SUCCESS);
    EXPECT_EQ(std::string(decoded.device_name), std::string(31, 'd'));
    EXPECT_EQ(std::string(decoded.processes[0].name), std::string(63, 'p'));
    EXPECT_EQ(std::u16string(decoded.current_config.interfaces[0].name), std::u16string(63, u'n'));
}

TEST(CmmBodies, OptionsRoundTrip) {
    cmm_options options;
    std::memset(&options, 0, sizeof options);
    options.count = 3;
    options.interfaces[0] = interface_of(u"eth0", 1);
    options.interfaces[1] = interface_of(u"WLAN \u00fc", 2);
    options.interfaces[2] = interface_of(u"x", 3);
    dgcp2_message m = new_message();
    ASSERT_EQ(cmm_encode_options(&m, &options), AUD_SUCCESS);
    cmm_options decoded;
    ASSERT_EQ(cmm_decode_options(&m, &decoded), AUD_SUCCESS);
    EXPECT_EQ(std::memcmp(&decoded, &options, sizeof options), 0);
}

// Appends a list of `count` interface nodes ("ifA", "ifB", ...) and returns
// its offset. Built node by node, since the encoders never write more
// entries than a record holds.
uint16_t add_interface_list(dgcp2_message* m, uint16_t count) {
    uint16_t list = 0;
    EXPECT_EQ(dgcp2_body_add_array(m, count, &list), AUD_SUCCESS);
    for (uint16_t i = 0; i < count; ++i) {
        uint16_t node = 0, name = 0, mac = 0;
        const std::u16string text = u"if" + std::u16string(1, static_cast<char16_t>(u'A' + i));
        const uint8_t bytes[6] = {0, 0, 0, 0, 0, static_cast<uint8_t>(i)};
        EXPECT_EQ(dgcp2_body_add_array(m, 2, &node), AUD_SUCCESS);
        EXPECT_EQ(dgcp2_body_add_utf32(m, text, &name), AUD_SUCCESS);
        EXPECT_EQ(dgcp2_body_add_bytes(m, bytes, 6, &mac), AUD_SUCCESS);
        EXPECT_EQ(dgcp2_body_set_slot(m, node, 0, name), AUD_SUCCESS);
        EXPECT_EQ(dgcp2_body_set_slot(m, node, 1, mac), AUD_SUCCESS);
        EXPECT_EQ(dgcp2_body_set_slot(m, list, i, node), AUD_SUCCESS);
    }
    return list;
}

TEST(CmmBodies, LongListsKeepTheirFirstEntries) {
    dgcp2_message m = new_message();
    uint16_t root = 0;
    ASSERT_EQ(dgcp2_body_add_array(&m, 1, &root), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&m, root, 0, add_interface_list(&m, 20)), AUD_SUCCESS);
    cmm_options options;
    ASSERT_EQ(cmm_decode_options(&m, &options), AUD_SUCCESS);
    EXPECT_EQ(options.count, 16);
    EXPECT_EQ(std::u16string(options.interfaces[15].name), u"ifP");
    EXPECT_EQ(options.interfaces[15].mac[5], 15);

    // An interface set yields two of three.
    dgcp2_message state_message = new_message();
    uint16_t set = 0, processes = 0, name = 0;
    ASSERT_EQ(dgcp2_body_add_array(&state_message, 5, &root), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_string(&state_message, "pc", &name), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_array(&state_message, 1, &set), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&state_message, set, 0, add_interface_list(&state_message, 3)),
              AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_add_array(&state_message, 0, &processes), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&state_message, root, 0, CMM_STATUS_READY), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&state_message, root, 1, name), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&state_message, root, 2, set), AUD_SUCCESS);
    ASSERT_EQ(dgcp2_body_set_slot(&state_message, root, 4, processes), AUD_SUCCESS);
    cmm_state state;
    ASSERT_EQ(cmm_decode_state(&state_message, &state), AUD_SUCCESS);
    EXPECT_EQ(state.current_config.count, 2);
    EXPECT_EQ(std::u16string(state.current_config.interfaces[1].name), u"ifB");
    EXPECT_EQ(state.process_count, 0);
}

TEST(CmmBodies, SetConfigRequestRoundTrip) {
    cmm_interface_set set{};
    set.count = 2;
    set.interfaces[0] = interface_of(u"Ethernet", 7);
    struct Case {
        uint32_t flags;
        uint32_t lock;
    };
    for (const Case c : {Case{CMM_CONFIG_INTERFACES, 0}, Case{CMM_CONFIG_LOCK, 5},
                         Case{CMM_CONFIG_INTERFACES | CMM_CONFIG_LOCK, 0}}) {
        SCOPED_TRACE(c.flags);
        const cmm_system_config config{c.flags, &set, c.lock};
        dgcp2_message m = new_message();
        ASSERT_EQ(cmm_encode_set_config_request(&m, &config), AUD_SUCCESS);
        cmm_config_request decoded;
        ASSERT_EQ(cmm_decode_set_config_request(&m, &decoded), AUD_SUCCESS);
        EXPECT_EQ(decoded.flags, c.flags);
        uint16_t slot = 0;
        ASSERT_EQ(dgcp2_body_read_slot(&m, 0, 1, &slot), AUD_SUCCESS);
        if ((c.flags & CMM_CONFIG_INTERFACES) != 0) {
            EXPECT_NE(slot, 0);
            EXPECT_EQ(std::memcmp(&decoded.interfaces, &set, sizeof set), 0);
        } else {
            EXPECT_EQ(slot, 0);
            EXPECT_TRUE(all_zero(decoded.interfaces));
        }
        EXPECT_EQ(decoded.lock, (c.flags & CMM_CONFIG_LOCK) != 0 && c.lock != 0 ? 1u : 0u);
    }
    const cmm_system_config missing{CMM_CONFIG_INTERFACES, nullptr, 0};
    dgcp2_message m = new_message();
    EXPECT_EQ(cmm_encode_set_config_request(&m, &missing), AUD_ERR_INVALIDPARAMETER);
}

TEST(CmmBodies, EncodingReplacesTheBody) {
    cmm_options options{};
    dgcp2_message m = new_message();
    ASSERT_EQ(dgcp2_body_add_bytes(&m, nullptr, 100, nullptr), AUD_SUCCESS);
    ASSERT_EQ(cmm_encode_options(&m, &options), AUD_SUCCESS);
    cmm_options decoded;
    ASSERT_EQ(cmm_decode_options(&m, &decoded), AUD_SUCCESS);
    EXPECT_EQ(decoded.count, 0);
    EXPECT_EQ(dgcp2_message_get_opcode(&m), CMM_OPCODE_STATE);  // the header stays
}

TEST(CmmBodies, DecodingErrorsLeaveAZeroRecord) {
    struct Case {
        const char* what;
        Bytes body;
        aud_error expected;
    };
    const Case cases[] = {
        {"no body", {}, AUD_ERR_NODATA},
        {"empty root", {0, 0}, AUD_ERR_NODATA},
        {"root with too few slots", {0, 3, 0, 1, 0, 0, 0, 0}, AUD_ERR_INVALIDDATA},
        {"root counting past the body", {0, 9, 0, 1}, AUD_ERR_INVALIDPARAMETER},
        {"device name at an odd offset",
         {0, 5, 0, 1, 0, 13, 0, 0, 0, 0, 0, 0, 0, 0},
         AUD_ERR_INVALIDPARAMETER},
        {"current config outside the body",
         {0, 5, 0, 1, 0, 12, 0, 200, 0, 0, 0, 0, 'a', 0},
         AUD_ERR_INVALIDPARAMETER},
        {"process list node with too few slots",
         // root, name "a" at 12, set at 14 -> list at 18 (empty), process
         // list at 20 with one process at 24, which has 1 slot.
         {0, 5, 0, 1,  0, 12, 0, 14, 0, 0,  0, 20, 'a', 0,
          0, 1, 0, 18, 0, 0,  0, 1,  0, 24, 0, 1,  0,   0},
         AUD_ERR_INVALIDDATA},
        {"process id number misaligned",
         {0, 5, 0, 1, 0,  12, 0, 14, 0,  0, 0,  20, 'a', 0, 0, 1, 0, 18, 0,
          0, 0, 1, 0, 24, 0,  3, 0,  12, 0, 34, 0,  0,   0, 0, 0, 0, 0,  0},
         AUD_ERR_INVALIDPARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const dgcp2_message m = message_with_body(c.body);
        cmm_state state = sample_state();
        EXPECT_EQ(cmm_decode_state(&m, &state), c.expected);
        EXPECT_TRUE(all_zero(state));
    }
    // The well-formed neighbour of the last two cases decodes.
    const dgcp2_message good =
        message_with_body({0, 5, 0, 1, 0, 12, 0, 14, 0, 0,  0, 20, 'a', 0, 0, 1, 0, 18,
                           0, 0, 0, 1, 0, 24, 0, 3,  0, 12, 0, 32, 0,   1, 0, 0, 0, 7});
    cmm_state state;
    ASSERT_EQ(cmm_decode_state(&good, &state), AUD_SUCCESS);
    EXPECT_STREQ(state.device_name, "a");
    EXPECT_EQ(state.process_count, 1);
    EXPECT_EQ(state.processes[0].process_id, 7u);
    EXPECT_EQ(state.processes[0].flag, 1u);

    cmm_options options;
    const dgcp2_message empty = message_with_body({0, 0});
    EXPECT_EQ(cmm_decode_options(&empty, &options), AUD_ERR_NODATA);
    const dgcp2_message interface_at_odd = message_with_body({0, 1, 0, 4, 0, 1, 0, 9, 0, 0});
    EXPECT_EQ(cmm_decode_options(&interface_at_odd, &options), AUD_ERR_INVALIDPARAMETER);
    EXPECT_TRUE(all_zero(options));
}

// ---- Whole messages as the service sends them ----

TEST(CmmServiceMessages, AnswersCarryTheRequestsIdentity) {
    dgcp2_message request = new_message();
    dgcp2_message_write_header(&request, CMM_PROTOCOL_ID, CMM_OPCODE_CONNECT, DGCP2_KIND_REQUEST);
    dgcp2_message_set_seqnum(&request, 0x0203);
    const dgcp2_client_id id{{0, 0, 0, 0, 0, 0, 0, 0}, 49152};
    dgcp2_message_set_client_id(&request, &id);

    dgcp2_message answer;
    const cmm_connection_info info{{1, 2}, {3, 4}};
    ASSERT_EQ(cmm_build_connect_response(&answer, &request, &info), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_message_get_kind(&answer), DGCP2_KIND_RESPONSE);
    EXPECT_EQ(dgcp2_message_get_seqnum(&answer), 0x0203);
    EXPECT_EQ(dgcp2_message_get_opcode(&answer), CMM_OPCODE_CONNECT);
    EXPECT_EQ(dgcp2_message_get_client_id(&answer).port, 49152);
    cmm_connection_info decoded{};
    ASSERT_EQ(cmm_decode_connect_response(&answer, &decoded), AUD_SUCCESS);
    EXPECT_EQ(decoded.words[1], 4);

    const cmm_state state = sample_state();
    ASSERT_EQ(cmm_build_set_config_response(&answer, &request, DGCP2_KIND_INVALID_STATE, &state),
              AUD_SUCCESS);
    EXPECT_EQ(dgcp2_message_get_kind(&answer), DGCP2_KIND_INVALID_STATE);
    cmm_state decoded_state;
    ASSERT_EQ(cmm_decode_state(&answer, &decoded_state), AUD_SUCCESS);

    ASSERT_EQ(cmm_build_state_event(&answer, 9, &id, &state), AUD_SUCCESS);
    EXPECT_EQ(dgcp2_message_get_kind(&answer), DGCP2_KIND_EVENT);
    EXPECT_EQ(dgcp2_message_get_opcode(&answer), CMM_OPCODE_STATE);
    EXPECT_EQ(dgcp2_message_get_seqnum(&answer), 9);
    EXPECT_EQ(dgcp2_message_get_protocol_id(&answer), CMM_PROTOCOL_ID);
    EXPECT_EQ(dgcp2_message_get_length(&answer), dgcp2_message_bytes(&answer).size());
}

// ---- Accessors and helpers ----

TEST(CmmRecords, ConfigurationsByStatus) {
    cmm_state state = sample_state();
    struct Case {
        uint16_t status;
        bool current;
        bool pending;
    };
    for (const Case c :
         {Case{CMM_STATUS_UNKNOWN, false, false}, Case{CMM_STATUS_READY, true, false},
          Case{CMM_STATUS_CHANGING, true, true}, Case{CMM_STATUS_INVALID_CONFIG, true, false}}) {
        SCOPED_TRACE(c.status);
        state.status = c.status;
        EXPECT_EQ(cmm_state_get_current_config(&state) != nullptr, c.current);
        EXPECT_EQ(cmm_state_get_pending_config(&state) != nullptr, c.pending);
    }
    EXPECT_EQ(cmm_state_get_current_config(nullptr), nullptr);
    EXPECT_EQ(cmm_state_get_pending_config(nullptr), nullptr);
    EXPECT_STREQ(cmm_status_name(CMM_STATUS_OPTIONS_CHANGED), "Options Changed");
    EXPECT_STREQ(cmm_status_name(CMM_STATUS_INVALID_CONFIG), "Invalid Config");
    EXPECT_STREQ(cmm_status_name(5), "???");
}

TEST(CmmRecords, BuildingAnInterfaceSet) {
    cmm_options options{};
    options.count = 2;
    options.interfaces[0] = interface_of(u"Ethernet", 1);
    options.interfaces[1] = interface_of(u"Ethernet 2", 2);

    EXPECT_EQ(cmm_options_find(&options, u"Ethernet 2"), &options.interfaces[1]);
    EXPECT_EQ(cmm_options_find(&options, u"Ethernet "), nullptr);  // exact names only
    EXPECT_EQ(cmm_options_find(&options, u"ethernet"), nullptr);
    EXPECT_EQ(cmm_interface_list_get(&options, 2), nullptr);
    EXPECT_EQ(cmm_interface_list_count(&options), 2);

    cmm_interface_set set{};
    set.count = 1;
    cmm_interface_set_clear(&set);
    EXPECT_EQ(cmm_interface_set_add_by_name(&set, &options, u"Wi-Fi"), AUD_ERR_INVALIDDATA);
    EXPECT_EQ(cmm_interface_set_add_by_name(&set, &options, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_interface_set_add_by_name(&set, &options, u"Ethernet 2"), AUD_SUCCESS);
    EXPECT_EQ(cmm_interface_set_add_none(&set), AUD_SUCCESS);
    EXPECT_EQ(cmm_interface_list_count(&set), 2);
    EXPECT_EQ(cmm_interface_get_mac(cmm_interface_list_get(&set, 0))[5], 2);
    EXPECT_TRUE(all_zero(*cmm_interface_list_get(&set, 1)));
    EXPECT_EQ(cmm_interface_set_add_none(&set), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_interface_set_add_by_name(&set, &options, u"Ethernet"), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(cmm_interface_list_count(&set), 2);

    // A corrupted count never reaches past the record.
    set.count = 9;
    EXPECT_EQ(cmm_interface_list_count(&set), 2);
    EXPECT_EQ(cmm_interface_list_get(&set, 2), nullptr);
    EXPECT_EQ(cmm_interface_get_name(nullptr), nullptr);
    EXPECT_EQ(cmm_interface_list_count(static_cast<const cmm_options*>(nullptr)), 0);
}

TEST(CmmRecords, InterfaceNameTexts) {
    char text[CMM_INTERFACE_TEXT_SIZE];
    const cmm_interface ascii = interface_of(u"Ethernet 2", 0);
    EXPECT_STREQ(cmm_interface_name_text(&ascii, text, sizeof text), "Ethernet 2");
    const cmm_interface wide = interface_of(u"E\u00e9\u4e2d", 0);
    EXPECT_STREQ(cmm_interface_name_text(&wide, text, sizeof text), "0045 00e9 4e2d");
    cmm_interface longest{};
    for (size_t i = 0; i + 1 < CMM_INTERFACE_NAME_SIZE; ++i) {
        longest.name[i] = u'\u00ff';
    }
    EXPECT_EQ(std::strlen(cmm_interface_name_text(&longest, text, sizeof text)), 63u * 5 - 1);
    char small[8];
    EXPECT_STREQ(cmm_interface_name_text(&wide, small, sizeof small), "0045");
}

}  // namespace
