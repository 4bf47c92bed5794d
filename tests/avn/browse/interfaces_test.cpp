#include "avn/browse/interfaces.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

aud_interface record_of(uint32_t kind, uint32_t index, bool loopback = false) {
    aud_interface record{};
    record.kind = kind;
    record.index = index;
    record.loopback = loopback;
    return record;
}

std::vector<uint8_t> bytes_of(uint32_t network_order_address) {
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &network_order_address, 4);
    return bytes;
}

std::u16string name_of(const aud_interface& record) {
    return std::u16string(record.name);
}

struct Lines {
    std::vector<std::pair<int, std::string>> lines;
    static void take(void* context, int level, const char* line) {
        static_cast<Lines*>(context)->lines.emplace_back(level, line);
    }
};

// ---- Order ----

TEST(InterfaceOrder, SortsByKindThenIndex) {
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, uint32_t>> kind_and_index;
        std::vector<uint32_t> indices;
    };
    const Case cases[] = {
        {"ethernet 12, wireless 5, loopback 1",
         {{AUD_INTERFACE_KIND_ORDINARY, 12},
          {AUD_INTERFACE_KIND_WIRELESS, 5},
          {AUD_INTERFACE_KIND_LOOPBACK, 1}},
         {12, 1, 5}},
        {"two ordinary adapters",
         {{AUD_INTERFACE_KIND_ORDINARY, 9}, {AUD_INTERFACE_KIND_ORDINARY, 3}},
         {3, 9}},
        {"every kind, high indices first",
         {{AUD_INTERFACE_KIND_BLUETOOTH, 1},
          {AUD_INTERFACE_KIND_FIREWIRE, 2},
          {AUD_INTERFACE_KIND_VIRTUAL, 3},
          {AUD_INTERFACE_KIND_WIRELESS, 4},
          {AUD_INTERFACE_KIND_LOOPBACK, 5},
          {AUD_INTERFACE_KIND_ORDINARY, 6},
          {AUD_INTERFACE_KIND_UNKNOWN, 7}},
         {7, 6, 5, 4, 3, 2, 1}},
        {"index beyond 31 bits compares unsigned",
         {{AUD_INTERFACE_KIND_ORDINARY, 0x80000001u}, {AUD_INTERFACE_KIND_ORDINARY, 2}},
         {2, 0x80000001u}},
        {"one", {{AUD_INTERFACE_KIND_VIRTUAL, 4}}, {4}},
    };
    for (const Case& c : cases) {
        std::vector<aud_interface> list;
        for (const auto& [kind, index] : c.kind_and_index) {
            list.push_back(record_of(kind, index));
        }
        aud_interface_sort(list.data(), list.size());
        std::vector<uint32_t> indices;
        for (const aud_interface& record : list) {
            indices.push_back(record.index);
        }
        EXPECT_EQ(indices, c.indices) << c.what;
    }
    aud_interface_sort(nullptr, 0);  // an empty list is left alone
}

// ---- Classification ----

TEST(InterfaceKind, DecidedFromRegistryFacts) {
    constexpr auto READ = AUD_INTERFACE_VALUE_READ;
    constexpr auto MISSING = AUD_INTERFACE_VALUE_NOT_FOUND;
    constexpr auto FAILED = AUD_INTERFACE_VALUE_FAILED;
    struct Case {
        const char* what;
        aud_interface_registry_facts facts;
        aud_interface_kind kind;
    };
    // Interface type 6 is Ethernet.
    const Case cases[] = {
        {"loopback type",
         {24, false, FAILED, false, 0, FAILED, false, nullptr},
         AUD_INTERFACE_KIND_LOOPBACK},
        {"802.11 type wins over the registry",
         {71, true, READ, true, 9, READ, true, "BTH\\X"},
         AUD_INTERFACE_KIND_WIRELESS},
        {"no connection key",
         {6, false, FAILED, false, 0, FAILED, false, nullptr},
         AUD_INTERFACE_KIND_ORDINARY},
        {"media subtype unreadable",
         {6, true, FAILED, false, 0, READ, true, "ROOT\\NET\\0000"},
         AUD_INTERFACE_KIND_ORDINARY},
        {"media subtype wireless",
         {6, true, READ, true, 2, READ, true, "PCI\\VEN_8086"},
         AUD_INTERFACE_KIND_WIRELESS},
        {"media subtype FireWire",
         {6, true, READ, true, 5, READ, true, "PCI\\VEN_8086"},
         AUD_INTERFACE_KIND_FIREWIRE},
        {"media subtype Bluetooth",
         {6, true, READ, true, 9, FAILED, false, nullptr},
         AUD_INTERFACE_KIND_BLUETOOTH},
        {"media subtype not a 32-bit value",
         {6, true, READ, false, 2, READ, true, "ROOT\\X"},
         AUD_INTERFACE_KIND_VIRTUAL},
        {"other media subtype",
         {6, true, READ, true, 1, READ, true, "ROOT\\X"},
         AUD_INTERFACE_KIND_VIRTUAL},
        {"no media subtype, no instance id",
         {6, true, MISSING, false, 0, MISSING, false, nullptr},
         AUD_INTERFACE_KIND_ORDINARY},
        {"instance id unreadable",
         {6, true, MISSING, false, 0, FAILED, false, nullptr},
         AUD_INTERFACE_KIND_ORDINARY},
        {"instance id not a string",
         {6, true, MISSING, false, 0, READ, false, "ROOT\\X"},
         AUD_INTERFACE_KIND_UNKNOWN},
        {"BTH",
         {6, true, MISSING, false, 0, READ, true, "BTH\\MS_BTHPAN\\7&1"},
         AUD_INTERFACE_KIND_BLUETOOTH},
        {"BLUETOOTH",
         {6, true, MISSING, false, 0, READ, true, "BLUETOOTH\\X"},
         AUD_INTERFACE_KIND_BLUETOOTH},
        {"V1394",
         {6, true, MISSING, false, 0, READ, true, "V1394\\NIC1394\\1"},
         AUD_INTERFACE_KIND_FIREWIRE},
        {"ROOT",
         {6, true, MISSING, false, 0, READ, true, "ROOT\\VMS_MP\\0001"},
         AUD_INTERFACE_KIND_VIRTUAL},
        {"ids ignore case",
         {6, true, MISSING, false, 0, READ, true, "Root\\Net\\0000"},
         AUD_INTERFACE_KIND_VIRTUAL},
        {"prefix needs its backslash",
         {6, true, MISSING, false, 0, READ, true, "ROOTS\\X"},
         AUD_INTERFACE_KIND_ORDINARY},
        {"prefix alone without backslash",
         {6, true, MISSING, false, 0, READ, true, "BTH"},
         AUD_INTERFACE_KIND_ORDINARY},
        {"physical device",
         {6, true, MISSING, false, 0, READ, true, "PCI\\VEN_8086&DEV_15B8"},
         AUD_INTERFACE_KIND_ORDINARY},
        {"empty id", {6, true, MISSING, false, 0, READ, true, ""}, AUD_INTERFACE_KIND_ORDINARY},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aud_interface_kind_from_registry(&c.facts), c.kind) << c.what;
    }
}

TEST(InterfaceKind, DecidedFromSysfsFacts) {
    struct Case {
        const char* what;
        aud_interface_sysfs_facts facts;
        aud_interface_kind kind;
    };
    // Hardware type 1 is Ethernet.
    const Case cases[] = {
        {"loopback, itself a virtual device",
         {true, 772, false, true, nullptr},
         AUD_INTERFACE_KIND_LOOPBACK},
        {"loopback hardware type", {false, 772, false, true, ""}, AUD_INTERFACE_KIND_LOOPBACK},
        {"wireless directory", {false, 1, true, false, "wlan"}, AUD_INTERFACE_KIND_WIRELESS},
        {"wlan device type only", {false, 1, false, false, "wlan"}, AUD_INTERFACE_KIND_WIRELESS},
        {"monitor mode", {false, 803, false, false, nullptr}, AUD_INTERFACE_KIND_WIRELESS},
        {"FireWire", {false, 24, false, false, nullptr}, AUD_INTERFACE_KIND_FIREWIRE},
        {"Bluetooth network, virtual",
         {false, 1, false, true, "bluetooth"},
         AUD_INTERFACE_KIND_BLUETOOTH},
        {"bridge", {false, 1, false, true, "bridge"}, AUD_INTERFACE_KIND_VIRTUAL},
        {"tunnel", {false, 65534, false, true, nullptr}, AUD_INTERFACE_KIND_VIRTUAL},
        {"PCI Ethernet", {false, 1, false, false, nullptr}, AUD_INTERFACE_KIND_ORDINARY},
        {"unreadable type", {false, 0, false, false, nullptr}, AUD_INTERFACE_KIND_ORDINARY},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aud_interface_kind_from_sysfs(&c.facts), c.kind) << c.what;
    }
}

// ---- Record fields ----

TEST(InterfaceRecord, LargeIndexKeepsLow16BitsForPacketInfoAndWarns) {
    Lines log;
    aud_interface record{};
    std::strcpy(record.adapter_name, "{5E0C5B3A-0001}");
    aud_interface_set_index(&record, 0x10005, &Lines::take, &log);
    EXPECT_EQ(record.index, 0x10005u);
    EXPECT_EQ(record.pktinfo_index, 5);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].first, AUD_INTERFACE_LOG_WARNING);
    EXPECT_EQ(log.lines[0].second,
              "aud_interface_list_with_env: Possible windows interface index corruption: "
              "interface {5E0C5B3A-0001} claims to have index 65541.Setting pktinfo_index to 5.\n");

    log.lines.clear();
    aud_interface_set_index(&record, 0xFFFF, &Lines::take, &log);
    EXPECT_EQ(record.pktinfo_index, 0xFFFF);
    EXPECT_TRUE(log.lines.empty());
    aud_interface_set_index(&record, 0x20000, nullptr, nullptr);  // no log: nothing written
    EXPECT_EQ(record.pktinfo_index, 0);
}

TEST(InterfaceRecord, LinkSpeedFromAdapterSpeeds) {
    struct Case {
        bool up;
        uint64_t transmit;
        uint64_t receive;
        uint32_t speed;
        bool ask_row;
    };
    const Case cases[] = {
        {false, 1000000000, 1000000000, 0, false},  // down: no speed, no row asked
        {true, 1000000000, 1000000000, 1000, false},
        {true, 100000000, 100000000, 100, false},
        {true, 1000000000, 100000000, 0, true},  // the speeds differ
        {true, 0, 0, 0, true},
        {true, 999999, 999999, 0, true},          // less than 1 Mb/s gives 0
        {true, UINT64_MAX, UINT64_MAX, 0, true},  // all ones: speed unknown
        {true, 10000000000000000ull, 10000000000000000ull, UINT32_MAX, false},
    };
    for (const Case& c : cases) {
        bool ask_row = !c.ask_row;
        EXPECT_EQ(aud_interface_link_speed(c.up, c.transmit, c.receive, &ask_row), c.speed)
            << c.transmit << "/" << c.receive;
        EXPECT_EQ(ask_row, c.ask_row) << c.transmit << "/" << c.receive;
    }
}

TEST(InterfaceRecord, NetmaskFromPrefixLength) {
    using Bytes = std::vector<uint8_t>;
    EXPECT_EQ(bytes_of(aud_interface_netmask_from_prefix(0)), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(bytes_of(aud_interface_netmask_from_prefix(8)), (Bytes{255, 0, 0, 0}));
    EXPECT_EQ(bytes_of(aud_interface_netmask_from_prefix(20)), (Bytes{255, 255, 240, 0}));
    EXPECT_EQ(bytes_of(aud_interface_netmask_from_prefix(32)), (Bytes{255, 255, 255, 255}));
    EXPECT_EQ(bytes_of(aud_interface_netmask_from_prefix(200)), (Bytes{255, 255, 255, 255}));
}

TEST(InterfaceRecord, NamesAreTerminatedAndNeverCutInsideACharacter) {
    aud_interface record{};
    const std::string plain = "Ethernet 2";
    aud_interface_set_name_utf8(&record, plain.data(), plain.size());
    EXPECT_EQ(name_of(record), u"Ethernet 2");

    const std::string accented = "R\xC3\xA9seau \xE2\x82\xAC";  // "Réseau €"
    aud_interface_set_name_utf8(&record, accented.data(), accented.size());
    EXPECT_EQ(name_of(record), u"R\u00e9seau \u20ac");

    // Stray continuation byte, overlong form, surrogate, lead byte cut off by the end.
    const std::string bad =
        "a\x80"
        "b\xC0\x80"
        "c\xED\xA0\x80"
        "d\xE2\x82";
    aud_interface_set_name_utf8(&record, bad.data(), bad.size());
    EXPECT_EQ(name_of(record), u"a\ufffdb\ufffd\ufffdc\ufffd\ufffd\ufffdd\ufffd\ufffd");

    const std::string long_name(100, 'x');
    aud_interface_set_name_utf8(&record, long_name.data(), long_name.size());
    EXPECT_EQ(name_of(record), std::u16string(63, u'x'));

    // A character outside the BMP that would straddle the last unit is dropped whole.
    const std::string straddling = std::string(62, 'y') + "\xF0\x9F\x8E\xA7";
    aud_interface_set_name_utf8(&record, straddling.data(), straddling.size());
    EXPECT_EQ(name_of(record), std::u16string(62, u'y'));
    const std::string fitting = std::string(61, 'y') + "\xF0\x9F\x8E\xA7";
    aud_interface_set_name_utf8(&record, fitting.data(), fitting.size());
    EXPECT_EQ(name_of(record), std::u16string(61, u'y') + u"\U0001F3A7");

    const std::u16string wide = std::u16string(62, u'w') + u"\U0001F3A7";
    aud_interface_set_name_utf16(&record, wide.data(), wide.size());
    EXPECT_EQ(name_of(record), std::u16string(62, u'w'));

    // The length bounds the read even without a terminator in the source.
    const char unterminated[3] = {'a', 'b', 'c'};
    aud_interface_set_name_utf8(&record, unterminated, 2);
    EXPECT_EQ(name_of(record), u"ab");
}

// ---- Parsers of system text ----

TEST(InterfaceText, DottedQuadIsStrict) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"192.168.1.10", true, {192, 168, 1, 10}},
        {"0.0.0.0", true, {0, 0, 0, 0}},
        {"255.255.255.255", true, {255, 255, 255, 255}},
        {"010.1.1.1", true, {10, 1, 1, 1}},  // decimal, never octal
        {"256.1.1.1", false, {}},
        {"1.2.3", false, {}},
        {"1.2.3.4.5", false, {}},
        {"1..2.3", false, {}},
        {"1234.1.1.1", false, {}},
        {"1.2.3.4 ", false, {}},
        {"fe80::1", false, {}},
        {"", false, {}},
    };
    for (const Case& c : cases) {
        uint32_t address = 0x01020304;
        EXPECT_EQ(aud_interface_parse_ipv4(c.text, std::strlen(c.text), &address), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes_of(address), c.bytes) << c.text;
        }
    }
}

TEST(InterfaceText, ResolverConfigGivesFirstIpv4ServerAndSearchSuffix) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<uint8_t> server;  // empty: none
        std::string suffix;
    };
    const Case cases[] = {
        {"typical",
         "# generated\n"
         "; nameserver 9.9.9.9\n"
         "nameserver fe80::1%eth0\n"
         "nameserver 10.0.0.53\n"
         "nameserver 10.0.0.54\n"
         "search corp.example.com lab.example.com\n"
         "options ndots:2\n",
         {10, 0, 0, 53},
         "corp.example.com"},
        {"last of search and domain wins, tabs and CRLF",
         "search one.example\r\nnameserver\t192.0.2.1\r\ndomain two.example\r\n",
         {192, 0, 2, 1},
         "two.example"},
        {"no final line end", "nameserver 192.0.2.7", {192, 0, 2, 7}, ""},
        {"keyword without value", "nameserver\nsearch\n", {}, ""},
        {"unspecified address is no server",
         "nameserver 0.0.0.0\nnameserver 192.0.2.2\n",
         {192, 0, 2, 2},
         ""},
        {"bad addresses skipped", "nameserver 300.1.1.1\nnameserver 192.0.2.9x\n", {}, ""},
        {"root is no suffix", "search .\n", {}, ""},
        {"suffix too long is left out", "search " + std::string(60, 'a') + ".com\n", {}, ""},
        {"longest suffix that fits",
         "search " + std::string(59, 'b') + ".com\n",
         {},
         std::string(59, 'b') + ".com"},
        {"embedded zero bytes",
         std::string("nameserver 192.0.2.3\0\nsearch x.example\n", 39),
         {},
         "x.example"},
        {"empty", "", {}, ""},
    };
    for (const Case& c : cases) {
        uint32_t server = 0x01020304;
        char suffix[AUD_INTERFACE_DNS_SUFFIX_SIZE];
        std::memset(suffix, 'z', sizeof suffix);
        aud_interface_parse_resolver_config(c.text.data(), c.text.size(), &server, suffix,
                                            sizeof suffix);
        const std::vector<uint8_t> none{0, 0, 0, 0};
        EXPECT_EQ(bytes_of(server), c.server.empty() ? none : c.server) << c.what;
        EXPECT_EQ(std::string(suffix), c.suffix) << c.what;
    }
}

TEST(InterfaceText, RouteTableGivesTheInterfacesDefaultGateway) {
    // As the kernel of a little-endian machine prints it.
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth2\t00000000\t0102000A\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"  // not up
        "eth1\t00000000\tXY01A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"  // malformed
        "eth1\t00000000\tFE01A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth3\t00000000\n"
        "eth0\t00000000\t0201A8C0\t0003\t0\t0\t200\t00000000\t0\t0\t0\n";
    struct Case {
        const char* name;
        std::vector<uint8_t> gateway;
    };
    const Case cases[] = {
        {"eth0", {192, 168, 1, 1}}, {"eth1", {192, 168, 1, 254}}, {"eth2", {0, 0, 0, 0}},
        {"eth3", {0, 0, 0, 0}},     {"eth", {0, 0, 0, 0}},        {"Iface", {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bytes_of(aud_interface_parse_route_table(table.data(), table.size(), c.name)),
                  c.gateway)
            << c.name;
    }
}

TEST(InterfaceText, SysfsNumbers) {
    struct Case {
        std::string text;
        uint32_t value;
    };
    const Case cases[] = {
        {"1000\n", 1000}, {"10\n", 10}, {"-1\n", 0},      {"", 0},
        {"\n", 0},        {"abc\n", 0}, {"10x\n", 0},     {"99999999999999999999\n", UINT32_MAX},
        {" 25 \n", 25},   {"772", 772}, {"1000\n7\n", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aud_interface_parse_sysfs_number(c.text.data(), c.text.size()), c.value)
            << c.text;
    }
}

// ---- Lookups ----

TEST(InterfaceLookup, SelectsFromAGivenList) {
    const aud_interface list[] = {
        record_of(AUD_INTERFACE_KIND_ORDINARY, 12),
        record_of(AUD_INTERFACE_KIND_LOOPBACK, 1, true),
        record_of(AUD_INTERFACE_KIND_VIRTUAL, 30, true),
    };
    aud_interface found{};
    EXPECT_EQ(aud_interface_select_by_index(list, 3, 30, &found), AUD_SUCCESS);
    EXPECT_EQ(found.kind, AUD_INTERFACE_KIND_VIRTUAL);
    EXPECT_EQ(aud_interface_select_by_index(list, 3, 12, nullptr), AUD_SUCCESS);
    EXPECT_EQ(aud_interface_select_by_index(list, 3, 7, &found), AUD_ERR_NOTFOUND);
    EXPECT_EQ(aud_interface_select_by_index(nullptr, 0, 1, &found), AUD_ERR_NOTFOUND);

    EXPECT_EQ(aud_interface_select_loopback(list, 3, &found), AUD_SUCCESS);
    EXPECT_EQ(found.index, 1u);  // the first with the flag
    EXPECT_EQ(aud_interface_select_loopback(list, 1, &found), AUD_ERR_NOTFOUND);
    EXPECT_EQ(aud_interface_select_loopback(nullptr, 0, &found), AUD_ERR_NOTFOUND);
    EXPECT_EQ(aud_interface_select_loopback(list, 3, nullptr), AUD_ERR_INVALIDPARAMETER);
}

// ---- The system's own list ----

TEST(InterfaceList, RefusesMissingOutParameters) {
    aud_interface* list = nullptr;
    size_t count = 0;
    EXPECT_EQ(aud_interface_list(nullptr, &count), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_interface_list(&list, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_interface_find_loopback(nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST(InterfaceList, SystemListIsSortedAndConsistent) {
    Lines log;
    aud_interface* list = nullptr;
    size_t count = 0;
    ASSERT_EQ(aud_interface_list_with_log(&Lines::take, &log, &list, &count), AUD_SUCCESS);
    EXPECT_EQ(list == nullptr, count == 0);
    for (size_t i = 0; i < count; ++i) {
        const aud_interface& record = list[i];
        SCOPED_TRACE(record.adapter_name);
        if (i > 0) {
            EXPECT_FALSE(aud_interface_order_before(&record, &list[i - 1]));
        }
        EXPECT_NE(record.index, 0u);
        EXPECT_EQ(record.pktinfo_index, record.index & 0xFFFFu);
        EXPECT_LE(record.kind, uint32_t{AUD_INTERFACE_KIND_BLUETOOTH});
        EXPECT_LT(std::char_traits<char16_t>::length(record.name), AUD_INTERFACE_NAME_SIZE);
        EXPECT_NE(record.name[0], 0);
        EXPECT_LT(strnlen(record.adapter_name, sizeof record.adapter_name),
                  sizeof record.adapter_name);
        EXPECT_LT(strnlen(record.dns_suffix, sizeof record.dns_suffix), sizeof record.dns_suffix);
        if (record.address.length == 0) {
            EXPECT_EQ(record.netmask.length, 0u);
        } else {
            EXPECT_TRUE(aud_socket_address_is_ipv4(&record.address));
        }
        if (!record.up) {
            EXPECT_EQ(record.link_speed, 0u);
        }
        if (record.loopback) {
            EXPECT_EQ(record.kind, uint32_t{AUD_INTERFACE_KIND_LOOPBACK});
        }

        aud_interface found{};
        ASSERT_EQ(aud_interface_find_by_index(&found, record.index), AUD_SUCCESS);
        EXPECT_STREQ(found.adapter_name, record.adapter_name);
        EXPECT_EQ(aud_interface_find_by_index(nullptr, record.index), AUD_SUCCESS);
    }
    for (const auto& [level, line] : log.lines) {
        EXPECT_EQ(line.rfind("aud_interface_list_with_env: ", 0), 0u) << line;
        EXPECT_EQ(line.back(), '\n') << line;
    }

    aud_interface loopback{};
    const aud_error error = aud_interface_find_loopback(&loopback);
    EXPECT_TRUE(error == AUD_SUCCESS || error == AUD_ERR_NOTFOUND) << error;
    if (error == AUD_SUCCESS) {
        EXPECT_TRUE(loopback.loopback);
        EXPECT_EQ(aud_interface_select_by_index(list, count, loopback.index, nullptr), AUD_SUCCESS);
    }
    aud_interface_list_free(list);
}

}  // namespace

namespace {

TEST(InterfaceList, TheEnvironmentsLogReceivesTheLines) {
    aud_env* env = nullptr;
    ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG, &env), AUD_SUCCESS);
    aud_log* log = aud_env_get_log(env);
    aud_log_set_level(log, AUD_LOG_LEVEL_DEBUG);
    aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_DEBUG);
    std::vector<std::pair<int, std::string>> lines;
    aud_log_set_callback(
        log,
        [](aud_log*, const char*, int level, const char* text, size_t length, void* context) {
            static_cast<std::vector<std::pair<int, std::string>>*>(context)->emplace_back(
                level, std::string(text, length));
        },
        &lines);
    aud_interface* list = nullptr;
    size_t count = 0;
    ASSERT_EQ(aud_interface_list_with_env(env, &list, &count), AUD_SUCCESS);
    // One Debug line per interface at least (its state and speeds).
    EXPECT_GE(lines.size(), count);
    for (const auto& [level, line] : lines) {
        EXPECT_TRUE(level == AUD_LOG_LEVEL_DEBUG || level == AUD_LOG_LEVEL_WARNING) << line;
        EXPECT_EQ(line.rfind("aud_interface_list_with_env: ", 0), 0u) << line;
    }
    aud_interface_list_free(list);
    EXPECT_EQ(aud_interface_list_with_env(nullptr, &list, &count), AUD_SUCCESS);
    aud_interface_list_free(list);
    aud_env_delete(env);
}

TEST(InterfaceList, AddressesAreSocketAddressRecordsAbsentWhenZero) {
    aud_socket_address record{};
    aud_interface_set_address(&record, 0);
    EXPECT_EQ(record.length, 0u);
    EXPECT_EQ(aud_interface_get_address(&record), 0u);
    const uint8_t bytes[4] = {192, 168, 1, 20};
    uint32_t network_order = 0;
    std::memcpy(&network_order, bytes, sizeof bytes);
    aud_interface_set_address(&record, network_order);
    EXPECT_EQ(record.length, AUD_SOCKET_ADDRESS_IPV4_LENGTH);
    EXPECT_EQ(aud_socket_address_get_ipv4(&record), 0xC0A80114u);
    EXPECT_EQ(aud_socket_address_get_port(&record), 0u);
    EXPECT_EQ(aud_interface_get_address(&record), network_order);
}

}  // namespace
