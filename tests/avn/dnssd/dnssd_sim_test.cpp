// The DNS-SD client against the simulator's responder, in-process, on the
// loopback interface of a private network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "avn/dnssd/dnssd.h"
#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"
#include "avn/runtime/byte_order.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"
#include "tests/avn/dnssd/dnssd_test_support.h"

namespace {

using namespace std::chrono_literals;
using dnssd_test::Browsed;
using dnssd_test::pump_until;
using dnssd_test::Queried;
using dnssd_test::Resolved;

// Names carry the process id, so tests of other processes in the same
// namespace never see each other's devices.
std::string unique(const std::string& base) {
    return base + "-" + std::to_string(getpid());
}

sim::MdnsDevice tpx2(const std::string& name, uint16_t number, uint32_t ttl = 0) {
    sim::MdnsDevice device;
    device.name = name;
    device.manufacturer_id = sim::kVornixManufacturerId;
    device.model = sim::kTpx2ModelId;
    device.source = conmon_source{{0x02, 'S', 'I', 'M', 0, 0, static_cast<uint8_t>(number >> 8),
                                   static_cast<uint8_t>(number)},
                                  8800};
    device.ttl = ttl;
    return device;
}

sim::MdnsDevice other_maker(const std::string& name, uint16_t number) {
    sim::MdnsDevice device = tpx2(name, number);
    device.manufacturer_id = sim::manufacturer_id_from_text("Acme");
    device.model = 4;
    return device;
}

mdns::Name wire_name(const char* text) {
    mdns::Name name;
    EXPECT_TRUE(mdns::name_from_text(text, &name)) << text;
    return name;
}

// A listener on the group that records the queries asking for one name.
class QueryListener {
  public:
    explicit QueryListener(const mdns::Name& name) : name_(name) { open(); }
    void open() {
        socket_ = mdns::open_multicast_socket(mdns::kPort);
        for (const mdns::Interface& i : mdns::multicast_interfaces()) {
            if (i.name == "lo") {
                lo_ = i;
                mdns::join_group(socket_, i);
            }
        }
    }
    ~QueryListener() { mdns::close_socket(&socket_); }

    // Waits up to `limit` for queries asking for the name; returns the ids
    // of those seen (ours carry 0), with their arrival times.
    std::vector<std::pair<uint16_t, std::chrono::steady_clock::time_point>> listen(
        std::chrono::milliseconds limit, size_t stop_after = SIZE_MAX) {
        std::vector<std::pair<uint16_t, std::chrono::steady_clock::time_point>> seen;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::vector<uint8_t> buffer(mdns::kMaxMessageSize);
        while (seen.size() < stop_after) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            bool ready = false;
            if (left.count() <= 0 ||
                !mdns::wait_readable(&socket_, 1, static_cast<int>(left.count()), &ready)) {
                break;
            }
            mdns::Datagram datagram;
            while (mdns::receive(socket_, buffer.data(), buffer.size(), &datagram)) {
                mdns::Message message;
                if (!mdns::parse_message({buffer.data(), datagram.length}, &message) ||
                    message.is_response()) {
                    continue;
                }
                for (const mdns::Question& q : message.questions) {
                    if (mdns::names_equal(q.name, name_)) {
                        seen.emplace_back(message.id, std::chrono::steady_clock::now());
                        messages_.push_back(message);
                        break;
                    }
                }
            }
        }
        return seen;
    }

    void ask(uint16_t id, uint16_t type) {
        mdns::Builder builder(id, 0);
        mdns::Question question;
        question.name = name_;
        question.type = type;
        builder.add_question(question);
        const std::vector<uint8_t> bytes = builder.finish();
        mdns::send_to(socket_, lo_, bytes.data(), bytes.size(), mdns::kGroupAddress, mdns::kPort);
    }

    // The queries seen asking for the name, whole.
    const std::vector<mdns::Message>& messages() const { return messages_; }

  private:
    std::vector<mdns::Message> messages_;
    mdns::Name name_;
    mdns::socket_t socket_ = mdns::kInvalidSocket;
    mdns::Interface lo_;
};

class DnssdSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        sim::MdnsSettings settings;
        settings.enabled = true;
        settings.interface_name = "lo";
        responder_ = std::make_unique<sim::MdnsResponder>(log_, settings);
    }

    void TearDown() override {
        for (DNSServiceRef ref : refs_) {
            DNSServiceRefDeallocate(ref);
        }
        if (responder_) {
            responder_->stop();
        }
    }

    void start(const std::vector<sim::MdnsDevice>& devices) {
        for (const sim::MdnsDevice& device : devices) {
            responder_->add_device(device);
        }
        ASSERT_EQ(responder_->start(), AUD_SUCCESS);
        ASSERT_TRUE(responder_->wait_announced(5s));
    }

    DNSServiceRef browse(Browsed* browsed, const char* type, uint32_t interface_index = 0) {
        DNSServiceRef ref = nullptr;
        EXPECT_EQ(
            DNSServiceBrowse(&ref, 0, interface_index, type, "local", Browsed::callback, browsed),
            kDNSServiceErr_NoError);
        refs_.push_back(ref);
        return ref;
    }

    DNSServiceRef resolve(Resolved* resolved, const std::string& name, uint32_t interface_index) {
        DNSServiceRef ref = nullptr;
        EXPECT_EQ(DNSServiceResolve(&ref, 0, interface_index, name.c_str(), "_netaudio-cmc._udp.",
                                    "local", Resolved::callback, resolved),
                  kDNSServiceErr_NoError);
        refs_.push_back(ref);
        return ref;
    }

    DNSServiceRef query(Queried* queried, const std::string& name, uint16_t type) {
        DNSServiceRef ref = nullptr;
        EXPECT_EQ(DNSServiceQueryRecord(&ref, kDNSServiceFlagsLongLivedQuery, 0, name.c_str(), type,
                                        kDNSServiceClass_IN, Queried::callback, queried),
                  kDNSServiceErr_NoError);
        refs_.push_back(ref);
        return ref;
    }

    sim::SimLog log_{getenv("DNSSD_TEST_LOG") == nullptr};
    std::unique_ptr<sim::MdnsResponder> responder_;
    std::vector<DNSServiceRef> refs_;
};

TEST_F(DnssdSimTest, BrowseFindsEveryAdvertOnItsInterface) {
    const std::string stage = unique("Stage");
    const std::string desk = unique("Desk");
    start({tpx2(stage, 1), other_maker(desk, 2)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(stage) && browsed.present.count(desk); }, 5s));
    for (const auto& event : browsed.events) {
        EXPECT_EQ(event.interface_index, responder_->interface_index());
        EXPECT_EQ(event.type, "_netaudio-cmc._udp.");
        EXPECT_EQ(event.domain, "local.");
    }
}

TEST_F(DnssdSimTest, SubtypeBrowseFindsOnlyThatMakersDevices) {
    const std::string stage = unique("Stage");
    const std::string desk = unique("Desk");
    start({tpx2(stage, 1), other_maker(desk, 2)});
    Browsed vornix;
    Browsed acme;
    DNSServiceRef a = browse(&vornix, "_netaudio-cmc._udp,Vornix");
    DNSServiceRef b = browse(&acme, "_netaudio-cmc._udp,Acme");
    ASSERT_TRUE(pump_until(
        {a, b}, [&] { return vornix.present.count(stage) && acme.present.count(desk); }, 5s));
    // Both maker's adverts have been seen; give a wrong one time to show.
    pump_until(
        {a, b}, [] { return false; }, 300ms);
    EXPECT_EQ(vornix.present.count(desk), 0u);
    EXPECT_EQ(acme.present.count(stage), 0u);
    EXPECT_EQ(vornix.events.front().type, "_netaudio-cmc._udp.");
}

TEST_F(DnssdSimTest, ResolveGivesHostPortAndTxt) {
    const std::string stage = unique("Stage");
    start({tpx2(stage, 7)});
    Resolved resolved;
    DNSServiceRef ref = resolve(&resolved, stage, responder_->interface_index());
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return resolved.done; }, 5s));
    EXPECT_EQ(resolved.interface_index, responder_->interface_index());
    EXPECT_EQ(resolved.full_name, stage + "._netaudio-cmc._udp.local.");
    EXPECT_EQ(resolved.host, sim::host_label(stage) + ".local.");
    const auto* port = reinterpret_cast<const uint8_t*>(&resolved.port_network_order);
    EXPECT_EQ(byte_order::load_be16(port), sim::kConmonServicePort);
    EXPECT_EQ(resolved.value("mf"), "Vornix");
    EXPECT_EQ(resolved.value("id"), "0253494d00000007");
    EXPECT_EQ(resolved.value("process"), "8800");
    // The model id text read back as 8 bytes, big-endian, is the model.
    const std::string model = resolved.value("model");
    ASSERT_EQ(model.size(), 17u);
    EXPECT_EQ(model[0], '_');
    EXPECT_EQ(std::stoull(model.substr(1), nullptr, 16), sim::kTpx2ModelId);
}

TEST_F(DnssdSimTest, OddTxtRecordIsAdvertisedAsGiven) {
    const std::string odd = unique("Odd");
    sim::MdnsDevice device = tpx2(odd, 3);
    device.conmon_txt = std::vector<std::string>{"model=eight", "process=8800"};
    start({device});
    Resolved resolved;
    DNSServiceRef ref = resolve(&resolved, odd, 0);
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return resolved.done; }, 5s));
    EXPECT_EQ(resolved.value("mf"), "<absent>");
    EXPECT_EQ(resolved.value("model"), "eight");
}

TEST_F(DnssdSimTest, RecordQueriesReportAddsAndGoodbyeRemovals) {
    const std::string stage = unique("Stage");
    start({tpx2(stage, 1)});
    const std::string instance = stage + "._netaudio-cmc._udp.local.";
    const std::string host = sim::host_label(stage) + ".local.";
    Queried srv;
    Queried txt;
    Queried a;
    Queried ptr;
    std::vector<DNSServiceRef> refs = {
        query(&srv, instance, kDNSServiceType_SRV), query(&txt, instance, kDNSServiceType_TXT),
        query(&a, host, kDNSServiceType_A),
        query(&ptr, "_netaudio-cmc._udp.local.", kDNSServiceType_PTR)};
    auto all_present = [&] {
        return srv.present == 1 && txt.present == 1 && a.present == 1 && ptr.present >= 1;
    };
    ASSERT_TRUE(pump_until(refs, all_present, 5s));
    EXPECT_EQ(a.events.back().rdata, (std::vector<uint8_t>{127, 0, 0, 1}));
    EXPECT_EQ(srv.events.back().type, kDNSServiceType_SRV);
    EXPECT_GT(srv.events.back().ttl, 0u);
    ASSERT_TRUE(responder_->remove_device(stage));
    // Goodbyes take the records away a second later, long before any TTL.
    const auto goodbye = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump_until(
        refs, [&] { return srv.present == 0 && txt.present == 0 && a.present == 0; }, 3s));
    EXPECT_GT(std::chrono::steady_clock::now() - goodbye, 700ms);
    EXPECT_EQ(srv.events.back().flags & kDNSServiceFlagsAdd, 0u);
}

TEST_F(DnssdSimTest, ExpiredRecordsAreRemoved) {
    const std::string brief = unique("Brief");
    start({tpx2(brief, 1, 2)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(brief) == 1; }, 5s));
    // Gone silent, no goodbye: the 2 s records run out and the refresh
    // queries go unanswered.
    ASSERT_TRUE(responder_->remove_device(brief, false));
    const auto gone_from = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(brief) == 0; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - gone_from, 3s);
}

TEST_F(DnssdSimTest, RefreshQueriesKeepLiveRecords) {
    const std::string live = unique("Live");
    start({tpx2(live, 1, 2)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(live) == 1; }, 5s));
    // Three lifetimes later it is still there, never removed in between.
    pump_until(
        {ref}, [] { return false; }, 6s);
    EXPECT_EQ(browsed.present.count(live), 1u);
    EXPECT_EQ(browsed.events.size(), 1u);
}

TEST_F(DnssdSimTest, ShortLivedRecordsAreRefreshedAtMostOnceASecondPerQuestion) {
    const std::string brief = unique("Brief");
    const std::string flash = unique("Flash");
    start({tpx2(brief, 1, 1), tpx2(flash, 2, 2)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.size() >= 2; }, 5s));
    QueryListener listener(wire_name("_netaudio-cmc._udp.local."));
    const auto seen = listener.listen(5s);
    // Two records of one and two seconds, each wanting four refreshes per
    // lifetime: still one query a second at most.
    EXPECT_LE(seen.size(), 6u);
    EXPECT_GE(seen.size(), 2u);
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].second - seen[i - 1].second, 900ms) << i;
    }
}

TEST_F(DnssdSimTest, KnownAnswersStopRepeatedResponses) {
    const std::string stage = unique("Stage");
    start({tpx2(stage, 1)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(stage) == 1; }, 5s));
    const uint64_t after_first = responder_->answers_sent();
    // The queries at 1 s and 3 s list the PTR as known: no new response.
    QueryListener listener(wire_name("_netaudio-cmc._udp.local."));
    listener.listen(3500ms);
    EXPECT_EQ(responder_->answers_sent(), after_first);
    mdns::Name instance;
    ASSERT_TRUE(mdns::name_from_labels({stage, "_netaudio-cmc", "_udp", "local"}, &instance));
    bool listed = false;
    for (const mdns::Message& query : listener.messages()) {
        for (const mdns::Record& known : query.answers) {
            listed = listed || (known.type == mdns::kTypePtr &&
                                mdns::names_equal(
                                    mdns::Name(known.rdata.begin(), known.rdata.end()), instance) &&
                                known.ttl > 4500 / 2);
        }
    }
    EXPECT_FALSE(listener.messages().empty());
    EXPECT_TRUE(listed);
}

TEST_F(DnssdSimTest, AllOf256DevicesAreFoundAndResolved) {
    std::vector<sim::MdnsDevice> devices;
    for (uint16_t i = 0; i < 256; ++i) {
        devices.push_back(tpx2(unique("Unit" + std::to_string(i)), static_cast<uint16_t>(i + 1)));
    }
    start(devices);
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp,Vornix");
    const std::string suffix = "-" + std::to_string(getpid());
    auto ours = [&] {
        size_t count = 0;
        for (const auto& [name, index] : browsed.present) {
            count += name.ends_with(suffix) ? 1 : 0;
        }
        return count;
    };
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return ours() == 256; }, 10s))
        << ours();
    std::vector<std::unique_ptr<Resolved>> resolved;
    std::vector<DNSServiceRef> resolves;
    for (const auto& [name, index] : browsed.present) {
        if (name.ends_with(suffix)) {
            resolved.push_back(std::make_unique<Resolved>());
            resolves.push_back(resolve(resolved.back().get(), name, index));
        }
    }
    auto all_resolved = [&] {
        return std::all_of(resolved.begin(), resolved.end(), [](const auto& r) { return r->done; });
    };
    ASSERT_TRUE(pump_until(resolves, all_resolved, 10s));
    // The next queries list all 256 instances as known, over several
    // packets marked truncated; the responder waits for them all and then
    // has nothing to say.
    const uint64_t answered = responder_->answers_sent();
    QueryListener listener(wire_name("Vornix._sub._netaudio-cmc._udp.local."));
    listener.listen(2500ms);
    EXPECT_EQ(responder_->answers_sent(), answered);
    const bool truncated =
        std::any_of(listener.messages().begin(), listener.messages().end(),
                    [](const mdns::Message& m) { return (m.flags & mdns::kFlagTruncated) != 0; });
    EXPECT_TRUE(truncated);
}

TEST_F(DnssdSimTest, ReconfirmDropsARecordNobodyConfirms) {
    const std::string gone = unique("Gone");
    const std::string stays = unique("Stays");
    start({tpx2(gone, 1), tpx2(stays, 2)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.size() >= 2; }, 5s));
    ASSERT_TRUE(responder_->remove_device(gone, false));
    // As the device browser asks after a resolve timed out: the instance's
    // full name with type PTR and no data.
    for (const std::string& name : {gone, stays}) {
        char full[kDNSServiceMaxDomainName];
        ASSERT_EQ(DNSServiceConstructFullName(full, name.c_str(), "_netaudio-cmc._udp.", "local"),
                  0);
        EXPECT_EQ(DNSServiceReconfirmRecord(0, responder_->interface_index(), full,
                                            kDNSServiceType_PTR, kDNSServiceClass_IN, 0, nullptr),
                  kDNSServiceErr_NoError);
    }
    // Twice asked, never answered: gone after about ten seconds, not before
    // (one lost answer must not remove a live unit).
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(gone) == 0; }, 13s));
    EXPECT_GT(std::chrono::steady_clock::now() - asked, 8s);
    pump_until(
        {ref}, [] { return false; }, 1s);
    EXPECT_EQ(browsed.present.count(stays), 1u);
}

TEST_F(DnssdSimTest, ReconfirmWithOneLostAnswerKeepsTheUnit) {
    const std::string flaky = unique("Flaky");
    start({tpx2(flaky, 1)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(flaky) == 1; }, 5s));
    responder_->lose_next_answers(1);
    char full[kDNSServiceMaxDomainName];
    ASSERT_EQ(DNSServiceConstructFullName(full, flaky.c_str(), "_netaudio-cmc._udp.", "local"), 0);
    EXPECT_EQ(DNSServiceReconfirmRecord(0, responder_->interface_index(), full, kDNSServiceType_PTR,
                                        kDNSServiceClass_IN, 0, nullptr),
              kDNSServiceErr_NoError);
    // The first reconfirm query's answer is lost, the second's comes.
    pump_until(
        {ref}, [] { return false; }, 12s);
    EXPECT_EQ(browsed.present.count(flaky), 1u);
    EXPECT_EQ(browsed.events.size(), 1u);
}

TEST_F(DnssdSimTest, ResultsOfOneBatchSayMoreIsComing) {
    const std::string one = unique("One");
    const std::string two = unique("Two");
    start({tpx2(one, 1), tpx2(two, 2)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    const mdns::socket_t socket = DNSServiceRefSockFD(ref);
    bool ready = false;
    ASSERT_TRUE(mdns::wait_readable(&socket, 1, 5000, &ready));
    ASSERT_TRUE(ready);
    // Both adverts come in one response; one call delivers both.
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(DNSServiceProcessResult(ref), kDNSServiceErr_NoError);
    ASSERT_EQ(browsed.events.size(), 2u);
    EXPECT_EQ(browsed.events[0].flags, kDNSServiceFlagsAdd | kDNSServiceFlagsMoreComing);
    EXPECT_EQ(browsed.events[1].flags, kDNSServiceFlagsAdd);
    // Nothing more is pending: the socket is quiet again.
    ASSERT_TRUE(mdns::wait_readable(&socket, 1, 0, &ready));
    EXPECT_FALSE(ready);
}

// Many devices probing together: every unique record is proposed in some
// probe's authority section, none is lost to a full packet.
TEST_F(DnssdSimTest, DevicesProbingTogetherProposeAllTheirRecords) {
    std::vector<sim::MdnsDevice> devices;
    for (uint16_t i = 0; i < 12; ++i) {
        devices.push_back(tpx2(unique("Probe" + std::to_string(i)), static_cast<uint16_t>(i + 1)));
    }
    mdns::socket_t socket = mdns::open_multicast_socket(mdns::kPort);
    ASSERT_NE(socket, mdns::kInvalidSocket);
    for (const mdns::Interface& i : mdns::multicast_interfaces()) {
        if (i.name == "lo") {
            mdns::join_group(socket, i);
        }
    }
    for (const sim::MdnsDevice& device : devices) {
        responder_->add_device(device);
    }
    ASSERT_EQ(responder_->start(), AUD_SUCCESS);
    std::set<mdns::Name> proposed;
    const auto deadline = std::chrono::steady_clock::now() + 1500ms;
    std::vector<uint8_t> buffer(mdns::kMaxMessageSize);
    while (std::chrono::steady_clock::now() < deadline) {
        bool ready = false;
        mdns::wait_readable(&socket, 1, 100, &ready);
        mdns::Datagram datagram;
        while (mdns::receive(socket, buffer.data(), buffer.size(), &datagram)) {
            mdns::Message message;
            if (mdns::parse_message({buffer.data(), datagram.length}, &message) &&
                !message.is_response()) {
                for (const mdns::Record& r : message.authorities) {
                    proposed.insert(mdns::name_lower(r.name) + std::to_string(r.type));
                }
            }
        }
    }
    mdns::close_socket(&socket);
    for (const sim::MdnsDevice& device : devices) {
        mdns::Name srv;
        mdns::Name host;
        ASSERT_TRUE(mdns::name_from_labels({device.name, "_netaudio-cmc", "_udp", "local"}, &srv));
        ASSERT_TRUE(mdns::name_from_labels({sim::host_label(device.name), "local"}, &host));
        EXPECT_EQ(proposed.count(mdns::name_lower(srv) + std::to_string(mdns::kTypeSrv)), 1u)
            << device.name;
        EXPECT_EQ(proposed.count(mdns::name_lower(host) + std::to_string(mdns::kTypeA)), 1u)
            << device.name;
    }
}

// Shared records are answered after a short random delay, and no record is
// multicast in answer twice within a second.
TEST_F(DnssdSimTest, SharedAnswersWaitABitAndComeAtMostOnceASecond) {
    start({tpx2(unique("Stage"), 1)});
    QueryListener asker(wire_name("_netaudio-cmc._udp.local."));
    auto answered_after = [&](uint64_t before) {
        const auto asked = std::chrono::steady_clock::now();
        asker.ask(0, mdns::kTypePtr);
        while (responder_->answers_sent() == before &&
               std::chrono::steady_clock::now() - asked < 1s) {
            std::this_thread::sleep_for(1ms);
        }
        return std::chrono::steady_clock::now() - asked;
    };
    const uint64_t before = responder_->answers_sent();
    const auto delay = answered_after(before);
    EXPECT_GE(delay, 20ms);
    EXPECT_LT(delay, 500ms);
    EXPECT_EQ(responder_->answers_sent(), before + 1);
    // Asked again at once: the answer went out under a second ago.
    std::this_thread::sleep_for(200ms);
    answered_after(before + 1);
    EXPECT_EQ(responder_->answers_sent(), before + 1);
    std::this_thread::sleep_for(1s);
    answered_after(before + 1);
    EXPECT_EQ(responder_->answers_sent(), before + 2);
}

TEST_F(DnssdSimTest, ProcessingWithNothingPendingReturnsAtOnce) {
    start({});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_nothing-here._udp");
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(DNSServiceProcessResult(ref), kDNSServiceErr_NoError);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
    EXPECT_TRUE(browsed.events.empty());
}

TEST_F(DnssdSimTest, ReferenceMayBeDeallocatedInItsCallback) {
    const std::string one = unique("One");
    const std::string two = unique("Two");
    start({tpx2(one, 1), tpx2(two, 2)});
    struct Context {
        int calls = 0;
    } context;
    DNSServiceRef ref = nullptr;
    ASSERT_EQ(DNSServiceBrowse(
                  &ref, 0, 0, "_netaudio-cmc._udp", nullptr,
                  [](DNSServiceRef self, DNSServiceFlags, uint32_t, DNSServiceErrorType,
                     const char*, const char*, const char*, void* c) {
                      ++static_cast<Context*>(c)->calls;
                      DNSServiceRefDeallocate(self);
                  },
                  &context),
              kDNSServiceErr_NoError);
    const mdns::socket_t socket = DNSServiceRefSockFD(ref);
    bool ready = false;
    ASSERT_TRUE(mdns::wait_readable(&socket, 1, 5000, &ready));
    ASSERT_TRUE(ready);
    // Both adverts arrive in one response, yet only one callback runs.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(DNSServiceProcessResult(ref), kDNSServiceErr_NoError);
    EXPECT_EQ(context.calls, 1);
}

TEST_F(DnssdSimTest, HostilePacketsLeaveTheQuerierWorking) {
    const std::string stage = unique("Stage");
    start({tpx2(stage, 1)});
    Browsed browsed;
    DNSServiceRef ref = browse(&browsed, "_netaudio-cmc._udp");
    // Responses that are cut short, loop through compression pointers or
    // claim more than they carry, sent to the group from the mDNS port.
    mdns::socket_t sender = mdns::open_multicast_socket(mdns::kPort);
    ASSERT_NE(sender, mdns::kInvalidSocket);
    mdns::Interface lo;
    for (const mdns::Interface& i : mdns::multicast_interfaces()) {
        if (i.name == "lo") {
            lo = i;
        }
    }
    const std::vector<std::vector<uint8_t>> hostile = {
        {0, 0, 0x84, 0, 0, 0, 0, 1},                               // cut in the header
        {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0xC0, 12, 0, 12},  // name points at itself
        {0, 0, 0x84, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0},             // 65535 answers, none there
        {0,   0,   0x84, 0, 0,  0, 0, 1, 0, 0, 0, 0,    3,    'a',
         'b', 'c', 0,    0, 12, 0, 1, 0, 0, 0, 9, 0xFF, 0xFF, 1},  // rdata past the end
    };
    for (const auto& packet : hostile) {
        mdns::send_to(sender, lo, packet.data(), packet.size(), mdns::kGroupAddress, mdns::kPort);
    }
    mdns::close_socket(&sender);
    ASSERT_TRUE(pump_until(
        {ref}, [&] { return browsed.present.count(stage) == 1; }, 5s));
}

class DnssdQuerierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        text_ = unique("nobody") + ".local.";
        ASSERT_TRUE(mdns::name_from_text(text_, &name_));
    }
    void TearDown() override {
        if (ref_ != nullptr) {
            DNSServiceRefDeallocate(ref_);
        }
    }
    void ask_nobody() {
        ASSERT_EQ(DNSServiceQueryRecord(&ref_, 0, 0, text_.c_str(), kDNSServiceType_A,
                                        kDNSServiceClass_IN, Queried::callback, &queried_),
                  kDNSServiceErr_NoError);
    }

    std::string text_;
    mdns::Name name_;
    Queried queried_;
    DNSServiceRef ref_ = nullptr;
};

TEST_F(DnssdQuerierTest, UnansweredQuestionsBackOff) {
    QueryListener listener(name_);
    ask_nobody();
    const auto seen = listener.listen(7600ms);
    // At once, then 1 s, 2 s and 4 s apart.
    ASSERT_EQ(seen.size(), 4u);
    const double gaps[] = {1.0, 2.0, 4.0};
    for (size_t i = 0; i < 3; ++i) {
        const double gap =
            std::chrono::duration<double>(seen[i + 1].second - seen[i].second).count();
        EXPECT_NEAR(gap, gaps[i], 0.3) << i;
    }
}

TEST_F(DnssdQuerierTest, SomeoneElseAskingTheSameQuestionAsksForUs) {
    QueryListener listener(name_);
    ask_nobody();
    ASSERT_EQ(listener.listen(2s, 1).size(), 1u);
    // Another querier asks the same, with no known answers, 0.6 s after us;
    // our own next query (due at 1 s) then waits its full interval from
    // there.
    std::this_thread::sleep_for(600ms);
    listener.ask(0x1234, mdns::kTypeA);
    const auto seen = listener.listen(1500ms);
    size_t ours = 0;
    for (const auto& [id, when] : seen) {
        ours += id == 0 ? 1 : 0;
    }
    EXPECT_EQ(ours, 0u);
}

// Two networks: veth pairs whose first ends carry multicast and an address
// (10.77.1.1 and 10.77.2.1) and whose other ends carry neither.
class DnssdTwoNetworkTest : public DnssdSimTest {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        for (int n = 0; n < 2; ++n) {
            const std::string a = "dnssd" + std::to_string(n) + "a";
            const std::string b = "dnssd" + std::to_string(n) + "b";
            const std::string commands =
                "ip link add " + a + " type veth peer name " + b + " && ip link set " + b +
                " multicast off up && ip link set " + a + " multicast on up && ip addr add 10.77." +
                std::to_string(n + 1) + ".1/24 dev " + a;
            ASSERT_EQ(std::system(commands.c_str()), 0) << commands;
        }
        index_[0] = if_nametoindex("dnssd0a");
        index_[1] = if_nametoindex("dnssd1a");
    }
    void TearDown() override {
        DnssdSimTest::TearDown();
        std::system("ip link del dnssd0a 2>/dev/null; ip link del dnssd1a 2>/dev/null");
    }
    void make_responder(const char* interface_name) {
        sim::MdnsSettings settings;
        settings.enabled = true;
        settings.interface_name = interface_name;
        responder_ = std::make_unique<sim::MdnsResponder>(log_, settings);
    }

    uint32_t index_[2] = {0, 0};
};

TEST_F(DnssdTwoNetworkTest, AnswersComeOnlyFromTheAdvertisingNetwork) {
    make_responder("dnssd1a");
    const std::string stage = unique("Stage");
    start({tpx2(stage, 1)});
    Browsed any;
    Browsed other;
    DNSServiceRef a = browse(&any, "_netaudio-cmc._udp");
    DNSServiceRef b = browse(&other, "_netaudio-cmc._udp", index_[0]);
    ASSERT_TRUE(pump_until(
        {a, b}, [&] { return any.present.count(stage) == 1; }, 5s));
    pump_until(
        {a, b}, [] { return false; }, 1500ms);
    for (const auto& event : any.events) {
        EXPECT_EQ(event.interface_index, index_[1]);
    }
    EXPECT_TRUE(other.events.empty());
    Queried address;
    DNSServiceRef q = query(&address, sim::host_label(stage) + ".local", kDNSServiceType_A);
    ASSERT_TRUE(pump_until(
        {q}, [&] { return address.present == 1; }, 5s));
    EXPECT_EQ(address.events.front().interface_index, index_[1]);
    EXPECT_EQ(address.events.front().rdata, (std::vector<uint8_t>{10, 77, 2, 1}));
}

TEST_F(DnssdTwoNetworkTest, AnAdvertOnEveryNetworkIsReportedPerInterface) {
    make_responder("");
    const std::string stage = unique("Stage");
    start({tpx2(stage, 1)});
    std::vector<dnssd_test::RecordEvent> events;
    Queried address;
    DNSServiceRef q = query(&address, sim::host_label(stage) + ".local", kDNSServiceType_A);
    auto on = [&](uint32_t index) {
        for (const auto& e : address.events) {
            if (e.interface_index == index && (e.flags & kDNSServiceFlagsAdd) != 0) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(pump_until(
        {q}, [&] { return on(index_[0]) && on(index_[1]) && on(1); }, 5s));
    for (const auto& e : address.events) {
        const std::vector<uint8_t> expected =
            e.interface_index == index_[0]   ? std::vector<uint8_t>{10, 77, 1, 1}
            : e.interface_index == index_[1] ? std::vector<uint8_t>{10, 77, 2, 1}
                                             : std::vector<uint8_t>{127, 0, 0, 1};
        EXPECT_EQ(e.rdata, expected) << e.interface_index;
    }
    // Goodbyes go out on every network.
    ASSERT_TRUE(responder_->remove_device(stage));
    ASSERT_TRUE(pump_until(
        {q}, [&] { return address.present == 0; }, 2s));
}

// A response sent straight to our port: from a source address and port,
// through loopback.
void send_response(uint32_t source, uint16_t source_port, const mdns::Record& record) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(source_port);
    from.sin_addr.s_addr = htonl(source);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    mdns::Builder builder(0, mdns::kFlagResponse | mdns::kFlagAuthoritative);
    builder.add_record(mdns::Section::Answer, record);
    const std::vector<uint8_t> bytes = builder.finish();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(mdns::kPort);
    to.sin_addr.s_addr = htonl(0x7F000001u);
    EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

TEST_F(DnssdTwoNetworkTest, ResponsesFromOffTheLinkOrAnotherPortAddNothing) {
    const std::string host = unique("offlink") + ".local.";
    Queried address;
    DNSServiceRef q = query(&address, host, kDNSServiceType_A);
    std::this_thread::sleep_for(200ms);  // the querier is up
    auto a_record = [&](uint8_t last) {
        mdns::Record record;
        mdns::name_from_text(host, &record.name);
        record.type = mdns::kTypeA;
        record.cache_flush = true;
        record.ttl = 120;
        record.rdata = {127, 0, 0, last};
        return record;
    };
    struct Case {
        const char* what;
        uint32_t source;
        uint16_t port;
    };
    // Arriving on loopback (127.0.0.0/8): from the other network's address,
    // and from an on-link address but not the mDNS port.
    const Case refused[] = {{"another subnet", 0x0A4D0101u, mdns::kPort},
                            {"another port", 0x7F000002u, 5354}};
    uint8_t last = 10;
    for (const Case& c : refused) {
        send_response(c.source, c.port, a_record(last++));
    }
    pump_until(
        {q}, [] { return false; }, 1s);
    EXPECT_TRUE(address.events.empty());
    // The same from another host on the link is taken.
    send_response(0x7F000002u, mdns::kPort, a_record(last));
    ASSERT_TRUE(pump_until(
        {q}, [&] { return address.present == 1; }, 2s));
    EXPECT_EQ(address.events.size(), 1u);
    EXPECT_EQ(address.events.front().rdata, (std::vector<uint8_t>{127, 0, 0, last}));
}

}  // namespace
