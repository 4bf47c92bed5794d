// The parts of the DNS-SD client interface that need no network: TXT
// lookups, full names and the checks on the arguments.
#include <gtest/gtest.h>

#include <string>

#include "avn/dnssd/dnssd.h"

namespace {

TEST(DnssdTxt, LooksUpKeysWithAndWithoutValues) {
    const std::string txt =
        std::string("\x09mf=Vornix") + "\x05" + "empty" + "\x06" + "Model=" + "\x04" + "id=1";
    const auto length = static_cast<uint16_t>(txt.size());
    struct Case {
        const char* key;
        bool contained;
        const char* value;  // null: no value pointer
    };
    const Case cases[] = {
        {"mf", true, "Vornix"},  {"MF", true, "Vornix"}, {"empty", true, nullptr},
        {"model", true, ""},     {"id", true, "1"},      {"i", false, nullptr},
        {"mf=", false, nullptr}, {"", false, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TXTRecordContainsKey(length, txt.data(), c.key), c.contained ? 1 : 0) << c.key;
        uint8_t value_length = 99;
        const void* value = TXTRecordGetValuePtr(length, txt.data(), c.key, &value_length);
        if (c.value == nullptr) {
            EXPECT_EQ(value, nullptr) << c.key;
        } else {
            ASSERT_NE(value, nullptr) << c.key;
            EXPECT_EQ(std::string(static_cast<const char*>(value), value_length), c.value);
        }
    }
}

TEST(DnssdTxt, StringRunningPastTheRecordEndsTheWalk) {
    const std::string txt = std::string("\x04id=1") + "\x20mf=Vornix";
    EXPECT_EQ(TXTRecordContainsKey(static_cast<uint16_t>(txt.size()), txt.data(), "id"), 1);
    EXPECT_EQ(TXTRecordContainsKey(static_cast<uint16_t>(txt.size()), txt.data(), "mf"), 0);
    EXPECT_EQ(TXTRecordContainsKey(0, nullptr, "id"), 0);
}

TEST(DnssdFullName, EscapesTheInstanceName) {
    char full[kDNSServiceMaxDomainName];
    ASSERT_EQ(DNSServiceConstructFullName(full, "Stage", "_netaudio-cmc._udp.", "local"), 0);
    EXPECT_STREQ(full, "Stage._netaudio-cmc._udp.local.");
    ASSERT_EQ(DNSServiceConstructFullName(full, "A.b\\c", "_netaudio-cmc._udp", "local."), 0);
    EXPECT_STREQ(full, "A\\.b\\\\c._netaudio-cmc._udp.local.");
    ASSERT_EQ(DNSServiceConstructFullName(full, nullptr, "_avn-dm-c._tcp", nullptr), 0);
    EXPECT_STREQ(full, "_avn-dm-c._tcp.local.");
    EXPECT_EQ(DNSServiceConstructFullName(full, "x", "netaudio", "local"), kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceConstructFullName(full, "x", "_netaudio._sctp", "local"),
              kDNSServiceErr_BadParam);
}

void browse_reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*,
                  const char*, const char*, void*) {}
void query_reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*,
                 uint16_t, uint16_t, uint16_t, const void*, uint32_t, void*) {}

TEST(DnssdArguments, BadArgumentsAreRefusedBeforeAnythingStarts) {
    DNSServiceRef ref = nullptr;
    EXPECT_EQ(DNSServiceBrowse(&ref, 0, 0, "netaudio", "local", browse_reply, nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceBrowse(&ref, 0, 0, "_netaudio-cmc._udp,", "local", browse_reply, nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(
        DNSServiceBrowse(&ref, 0, 0, "_netaudio-cmc._udp", "example.com", browse_reply, nullptr),
        kDNSServiceErr_Unsupported);
    EXPECT_EQ(DNSServiceBrowse(&ref, 0, 0, "_netaudio-cmc._udp", "local", nullptr, nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(
        DNSServiceQueryRecord(&ref, 0, 0, "x.local", kDNSServiceType_A, 3, query_reply, nullptr),
        kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceQueryRecord(&ref, 0, 0, "a..b", kDNSServiceType_A, kDNSServiceClass_IN,
                                    query_reply, nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(DNSServiceRefSockFD(nullptr), -1);
    EXPECT_EQ(DNSServiceProcessResult(nullptr), kDNSServiceErr_BadParam);
    DNSServiceRefDeallocate(nullptr);
}

}  // namespace
