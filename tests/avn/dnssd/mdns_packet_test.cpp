// The multicast DNS message codec: round trips with compression, and a
// table of hostile packets that must be refused without reading past them.
#include <gtest/gtest.h>

#include <vector>

#include "avn/dnssd/mdns_packet.h"

namespace {

mdns::Name name(const char* text) {
    mdns::Name n;
    EXPECT_TRUE(mdns::name_from_text(text, &n)) << text;
    return n;
}

mdns::Record ptr(const char* owner, const char* target, uint32_t ttl) {
    mdns::Record r;
    r.name = name(owner);
    r.type = mdns::kTypePtr;
    r.ttl = ttl;
    const mdns::Name t = name(target);
    r.rdata.assign(t.begin(), t.end());
    return r;
}

TEST(MdnsPacket, RoundTripCompressesRepeatedNames) {
    mdns::Builder builder(7, mdns::kFlagResponse);
    mdns::Question question;
    question.name = name("_netaudio-cmc._udp.local");
    question.type = mdns::kTypePtr;
    question.unicast_response = true;
    ASSERT_TRUE(builder.add_question(question));
    ASSERT_TRUE(
        builder.add_record(mdns::Section::Answer,
                           ptr("_netaudio-cmc._udp.local", "A.b._netaudio-cmc._udp.local", 4500)));
    mdns::Record srv;
    srv.name = name("A\\.b._netaudio-cmc._udp.local");
    srv.type = mdns::kTypeSrv;
    srv.cache_flush = true;
    srv.ttl = 120;
    srv.rdata = {0, 0, 0, 0, 0x22, 0x60};
    const mdns::Name host = name("unit.local");
    srv.rdata.insert(srv.rdata.end(), host.begin(), host.end());
    ASSERT_TRUE(builder.add_record(mdns::Section::Additional, srv));
    // Sections go in order: no answer after an additional.
    EXPECT_FALSE(builder.add_record(mdns::Section::Answer, srv));

    const std::vector<uint8_t> bytes = builder.finish();
    // The second and third names are mostly pointers to the first.
    EXPECT_LT(bytes.size(), 100u);
    mdns::Message message;
    ASSERT_TRUE(mdns::parse_message(bytes, &message));
    EXPECT_EQ(message.id, 7);
    ASSERT_EQ(message.questions.size(), 1u);
    EXPECT_TRUE(message.questions[0].unicast_response);
    ASSERT_EQ(message.answers.size(), 1u);
    EXPECT_EQ(mdns::name_to_text(
                  mdns::Name(message.answers[0].rdata.begin(), message.answers[0].rdata.end())),
              "A.b._netaudio-cmc._udp.local.");
    ASSERT_EQ(message.additionals.size(), 1u);
    EXPECT_TRUE(message.additionals[0].cache_flush);
    EXPECT_EQ(message.additionals[0].rdata, srv.rdata);
    EXPECT_EQ(mdns::name_to_text(message.additionals[0].name), "A\\.b._netaudio-cmc._udp.local.");
}

TEST(MdnsPacket, BuilderStopsAtItsLimit) {
    mdns::Builder builder(0, mdns::kFlagResponse, 200);
    int added = 0;
    while (builder.add_record(
        mdns::Section::Answer,
        ptr("_x._udp.local", ("Instance" + std::to_string(added) + "._x._udp.local").c_str(), 1))) {
        ++added;
    }
    EXPECT_GT(added, 3);
    const std::vector<uint8_t> bytes = builder.finish();
    EXPECT_LE(bytes.size(), 200u);
    mdns::Message message;
    ASSERT_TRUE(mdns::parse_message(bytes, &message));
    EXPECT_EQ(message.answers.size(), static_cast<size_t>(added));
}

TEST(MdnsPacket, NamesInTextAndBack) {
    struct Case {
        const char* text;
        bool valid;
        const char* back;
    };
    const Case cases[] = {
        {"local", true, "local."},
        {"a.b.", true, "a.b."},
        {".", true, "."},
        {"", true, "."},
        {"we\\.ird\\\\x.local", true, "we\\.ird\\\\x.local."},
        {"sp\\032ace.local", true, "sp\\032ace.local."},
        {"a..b", false, ""},
        {".a", false, ""},
        {"bad\\25", false, ""},
        {"bad\\999.x", false, ""},
        {"x\\", false, ""},
    };
    for (const Case& c : cases) {
        mdns::Name n;
        EXPECT_EQ(mdns::name_from_text(c.text, &n), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(mdns::name_to_text(n), c.back) << c.text;
        }
    }
    mdns::Name n;
    EXPECT_FALSE(mdns::name_from_text(std::string(64, 'x') + ".local", &n));
    std::string long_name;
    for (int i = 0; i < 30; ++i) {
        long_name += "abcdefghi.";
    }
    EXPECT_FALSE(mdns::name_from_text(long_name, &n));
    EXPECT_TRUE(mdns::names_equal(name("Unit.LOCAL"), name("unit.local")));
}

TEST(MdnsPacket, HostilePacketsAreRefused) {
    // Header: id 0, flags response, one answer unless stated.
    const std::vector<uint8_t> header = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    auto with = [&](std::vector<uint8_t> tail, std::vector<uint8_t> head = {}) {
        std::vector<uint8_t> packet = head.empty() ? header : head;
        packet.insert(packet.end(), tail.begin(), tail.end());
        return packet;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> packet;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"cut in the header", {0, 0, 0x84, 0, 0, 0}},
        {"answer counted, none there", with({})},
        {"name runs past the end", with({5, 'a', 'b'})},
        {"name without its end", with({1, 'a', 1, 'b'})},
        {"pointer to itself", with({0xC0, 12, 0, 12, 0, 1, 0, 0, 0, 1, 0, 0})},
        {"pointer forwards", with({0xC0, 20, 0, 12, 0, 1, 0, 0, 0, 1, 0, 0})},
        {"pointer cut in half", with({0xC0})},
        {"pointer past the end", with({0xC3, 0xFF})},
        {"extended label type", with({0x40, 0, 0, 12, 0, 1, 0, 0, 0, 1, 0, 0})},
        {"fixed fields cut short", with({0, 0, 12, 0, 1, 0, 0})},
        {"rdata past the end", with({0, 0, 16, 0, 1, 0, 0, 0, 1, 0, 9, 1, 'x'})},
        {"PTR name longer than its rdata",
         with({0, 0, 12, 0, 1, 0, 0, 0, 1, 0, 2, 3, 'a', 'b', 'c', 0})},
        {"SRV too short for a target", with({0, 0, 33, 0, 1, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 1})},
        {"65535 questions, none there", {0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        mdns::Message message;
        EXPECT_FALSE(mdns::parse_message(c.packet, &message)) << c.what;
    }
}

// Compression that points backwards, as it must, and still goes wrong: a
// loop through an earlier label, and a name that grows past 255 bytes one
// pointer at a time.
TEST(MdnsPacket, BackwardPointersCannotLoopOrGrowANamePastItsLimit) {
    // One question whose name is "a" and then a pointer back to the "a".
    const std::vector<uint8_t> loop = {0, 0, 0, 0,   0,    1,  0, 0, 0, 0,
                                       0, 0, 1, 'a', 0xC0, 12, 0, 1, 0, 1};
    mdns::Message message;
    EXPECT_FALSE(mdns::parse_message(loop, &message));

    // Questions whose names are a 63-byte label and then the previous
    // question's name: each is valid until the fourth, of 257 bytes.
    auto questions = [](int count) {
        std::vector<uint8_t> packet = {0, 0, 0, 0, 0, static_cast<uint8_t>(count),
                                       0, 0, 0, 0, 0, 0};
        size_t previous = 0;
        for (int q = 0; q < count; ++q) {
            const size_t start = packet.size();
            packet.push_back(63);
            packet.insert(packet.end(), 63, 'x');
            if (q == 0) {
                packet.push_back(0);
            } else {
                packet.push_back(static_cast<uint8_t>(0xC0 | (previous >> 8)));
                packet.push_back(static_cast<uint8_t>(previous & 0xFF));
            }
            packet.insert(packet.end(), {0, 1, 0, 1});
            previous = start;
        }
        return packet;
    };
    ASSERT_TRUE(mdns::parse_message(questions(3), &message));
    EXPECT_EQ(message.questions.back().name.size(), 3u * 64 + 1);
    EXPECT_FALSE(mdns::parse_message(questions(4), &message));
}

}  // namespace
