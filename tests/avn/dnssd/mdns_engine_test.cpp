// The querier's judgements that need no network: when another querier's
// query asks our question for us, and which senders are on a link.
#include <gtest/gtest.h>

#include <vector>

#include "avn/dnssd/mdns_engine.h"

namespace {

mdns::Name name(const char* text) {
    mdns::Name n;
    EXPECT_TRUE(mdns::name_from_text(text, &n)) << text;
    return n;
}

mdns::Record ptr(const char* owner, const char* target) {
    mdns::Record r;
    r.name = name(owner);
    r.type = mdns::kTypePtr;
    r.ttl = 4500;
    const mdns::Name t = name(target);
    r.rdata.assign(t.begin(), t.end());
    return r;
}

TEST(MdnsEngine, DuplicateQuestionSuppression) {
    const char* browse = "_netaudio-cmc._udp.local";
    const mdns::Record stage = ptr(browse, "Stage._netaudio-cmc._udp.local");
    const mdns::Record booth = ptr(browse, "Booth._netaudio-cmc._udp.local");
    const mdns::Record other = ptr("_http._tcp.local", "Web._http._tcp.local");
    constexpr uint32_t kLink = 2;
    struct Case {
        const char* what;
        std::vector<mdns::Record> theirs;
        uint16_t source_port;
        uint32_t arrival;
        bool unicast_response;
        bool suppresses;
    };
    // Our known answers on the link: stage and booth.
    const std::vector<Case> cases = {
        {"their list holds an answer ours lacks",
         {stage, ptr(browse, "Desk._netaudio-cmc._udp.local")},
         5353,
         kLink,
         false,
         false},
        {"the same question from a legacy port", {}, 40000, kLink, false, false},
        {"seen on another link", {}, 5353, kLink + 1, false, false},
        {"asking for a unicast answer", {}, 5353, kLink, true, false},
        {"their list empty", {}, 5353, kLink, false, true},
        {"their list a subset of ours", {booth}, 5353, kLink, false, true},
        {"their list the same as ours, in another case",
         {ptr("_NETAUDIO-cmc._udp.local", "STAGE._netaudio-cmc._udp.local"), booth},
         5353,
         kLink,
         false,
         true},
        {"answers to their other questions do not count", {stage, other}, 5353, kLink, false, true},
    };
    for (const Case& c : cases) {
        mdns::Message message;
        mdns::Question question;
        question.name = name(browse);
        question.type = mdns::kTypePtr;
        question.unicast_response = c.unicast_response;
        message.questions.push_back(question);
        message.answers = c.theirs;
        const mdns::SeenQuery seen{&message, c.arrival, c.source_port};
        EXPECT_EQ(
            mdns::query_suppresses_ours(seen, name(browse), mdns::kTypePtr, kLink, {stage, booth}),
            c.suppresses)
            << c.what;
    }
}

TEST(MdnsEngine, OnLinkSendersAreThoseOnOneOfTheInterfacesSubnets) {
    mdns::Interface netif;
    netif.subnets = {{0x0A4D0101u, 0xFFFFFF00u}, {0xC0A80005u, 0xFFFF0000u}};
    EXPECT_TRUE(mdns::on_link(netif, 0x0A4D01FEu));   // 10.77.1.254
    EXPECT_TRUE(mdns::on_link(netif, 0xC0A8FF01u));   // 192.168.255.1
    EXPECT_FALSE(mdns::on_link(netif, 0x0A4D0201u));  // 10.77.2.1
    EXPECT_FALSE(mdns::on_link(mdns::Interface{}, 0x7F000001u));
}

}  // namespace
