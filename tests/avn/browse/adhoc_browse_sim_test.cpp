// Ad-hoc browsing against the simulator's DNS-SD responder, in-process, on
// the loopback interface of a private network namespace: a db_browse for
// the maker's conmon devices, stepped as the Discover dialog steps it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avn/browse/db_adhoc_browse.h"
#include "avn/browse/db_browse.h"
#include "avn/browse/db_browse_tree.h"
#include "avn/browse/dt_dnssd.h"
#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/domain_provider.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"
#include "tests/avn/dnssd/dnssd_test_support.h"
#include "tests/avn/dnssd/mdns_flood.h"
#include "tests/support/event_loop_runner.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const uint8_t kVornix[8] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

// Names carry the process id, so tests of other processes in the same
// namespace never see each other's devices.
std::string unique(const std::string& base) {
    return base + "-" + std::to_string(getpid());
}

sim::MdnsDevice device(const std::string& name, const char* maker, uint32_t model,
                       uint16_t number) {
    sim::MdnsDevice d;
    d.name = name;
    d.manufacturer_id = sim::manufacturer_id_from_text(maker);
    d.model = model;
    d.source = conmon_source{{0x02, 'S', 'I', 'M', 0, 0, static_cast<uint8_t>(number >> 8),
                              static_cast<uint8_t>(number)},
                             8800};
    return d;
}

struct Seen {
    bool present = false;
    std::string host;
    bool has_manufacturer = false;
    uint64_t model = 0;
    int removals = 0;
};

class AdhocBrowseSim : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        sim::MdnsSettings settings;
        settings.enabled = true;
        settings.interface_name = "lo";
        responder_ = std::make_unique<sim::MdnsResponder>(sim_log_, settings);
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        test_loop::capture_log(env_, &lines_);
    }

    void TearDown() override {
        if (browse_ != nullptr) {
            db_browse_stop(browse_);
            db_browse_delete(browse_);
        }
        if (env_ != nullptr) {
            aud_env_delete(env_);
        }
        if (responder_) {
            responder_->stop();
        }
    }

    void start_responder(const std::vector<sim::MdnsDevice>& devices) {
        for (const sim::MdnsDevice& d : devices) {
            responder_->add_device(d);
        }
        ASSERT_EQ(responder_->start(), AUD_SUCCESS);
        ASSERT_TRUE(responder_->wait_announced(5s));
    }

    void start_browse(uint32_t resolve_timeout_seconds = 30) {
        ASSERT_EQ(db_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, &browse_), AUD_SUCCESS);
        ASSERT_EQ(db_browse_set_socket_limit(browse_, 17), AUD_SUCCESS);
        db_browse_set_node_callback(browse_, on_node);
        db_browse_set_tree_changed_callback(browse_, [](db_browse* b) {
            static_cast<AdhocBrowseSim*>(db_browse_get_context(b))->tree_changes_++;
        });
        db_browse_set_context(browse_, this);
        db_browse_set_manufacturer_filter(browse_, kVornix);
        db_browse_config config;
        db_browse_config_init(&config);
        config.resolve_timeout_seconds = resolve_timeout_seconds;
        ASSERT_EQ(db_browse_start_config(browse_, &config), AUD_SUCCESS);
    }

    static void on_node(db_browse* browse, const db_browse_change* change, int change_type) {
        auto* self = static_cast<AdhocBrowseSim*>(db_browse_get_context(browse));
        if (change->kind != DB_BROWSE_CHANGE_KIND_NODE) {
            return;
        }
        const auto* node = static_cast<const db_browse_node*>(change->object);
        Seen& seen = self->seen_[db_browse_node_get_name(node)];
        self->callbacks_++;
        if (change_type == DB_BROWSE_CHANGE_REMOVED) {
            seen.present = false;
            seen.removals++;
            return;
        }
        seen.present = (db_browse_node_get_flags(node) & DB_BROWSE_TYPE_CONMON_DEVICE) != 0;
        seen.host = db_browse_node_get_host_name(node);
        seen.has_manufacturer = db_browse_node_get_manufacturer_id(node) != nullptr;
        const uint8_t* model = db_browse_node_get_model_id(node);
        seen.model = 0;
        for (int i = 0; model != nullptr && i < 8; ++i) {
            seen.model = (seen.model << 8) | model[i];
        }
    }

    // Steps the environment's event loop as the application's processing
    // step does, until `done` holds or the limit passes.
    bool step_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        aud_event_loop* loop = aud_env_get_event_loop(env_);
        while (!done()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            aud_fdsets sets;
            aud_fdsets_clear(&sets);
            aud_event_loop_get_fdsets(loop, &sets);
            aud_time wait = aud_event_loop_get_timeout(loop);
            const aud_time cap = aud_time_from_milliseconds(100);
            if (aud_time_compare(wait, cap) > 0) {
                wait = cap;
            }
            if (aud_fdsets_wait(&sets, wait) == AUD_SUCCESS) {
                aud_event_loop_dispatch(loop, &sets);
            }
            aud_event_loop_step(loop);
        }
        return true;
    }

    bool logged(const std::string& part) const {
        for (const std::string& line : lines_) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    sim::SimLog sim_log_{getenv("DNSSD_TEST_LOG") == nullptr};
    std::unique_ptr<sim::MdnsResponder> responder_;
    aud_env* env_ = nullptr;
    db_browse* browse_ = nullptr;
    std::map<std::string, Seen> seen_;
    std::vector<std::string> lines_;
    int tree_changes_ = 0;
    int callbacks_ = 0;
};

TEST_F(AdhocBrowseSim, UnitsAppearAndOtherMakersNever) {
    const std::string stage = unique("Stage");
    const std::string booth = unique("Booth");
    const std::string desk = unique("Desk");
    const std::string anon = unique("Anon");
    sim::MdnsDevice no_mf = device(anon, "Vornix", 8, 4);
    no_mf.conmon_txt = std::vector<std::string>{"model=_08", "process=8800"};
    // Two-second records: the quiet wait below runs across real refreshes.
    sim::MdnsDevice staged = device(stage, "Vornix", 8, 1);
    staged.ttl = 2;
    start_responder({staged, device(booth, "Vornix", 7, 2), device(desk, "Acme", 8, 3), no_mf});
    start_browse();
    ASSERT_TRUE(step_until(
        [&] { return seen_[stage].present && seen_[booth].present && seen_[anon].present; }, 5s));
    EXPECT_TRUE(seen_[stage].has_manufacturer);
    EXPECT_EQ(seen_[stage].model, 8u);
    EXPECT_EQ(seen_[stage].host, sim::host_label(stage));
    EXPECT_EQ(seen_[booth].model, 7u);
    EXPECT_FALSE(seen_[anon].has_manufacturer);  // no mf key: no manufacturer to match
    EXPECT_GT(tree_changes_, 0);
    // Give another maker's advert time to show up; it never may.
    const int before = callbacks_;
    step_until([] { return false; }, 3s);
    EXPECT_EQ(seen_.count(desk), 0u);
    EXPECT_EQ(callbacks_, before);  // repeated adverts and refreshes cost no callback
    EXPECT_TRUE(
        logged("db_adhoc_browse_start_continue: Started browsing for type conmon device "
               "(_netaudio-cmc._udp.,Vornix)"));
    // Loopback adverts count outside the networks and never fix the open
    // network's interface: a local responder must not lock out the LAN.
    EXPECT_FALSE(logged("No interface index filter defined for network 0"));
    EXPECT_TRUE(logged("name=\"" + stage + "\" type=\"_netaudio-cmc._udp.\""));
}

TEST_F(AdhocBrowseSim, AUnitRemovedFromTheNetworkDisappears) {
    const std::string stage = unique("Stage");
    const std::string booth = unique("Booth");
    start_responder({device(stage, "Vornix", 8, 1), device(booth, "Vornix", 8, 2)});
    start_browse();
    ASSERT_TRUE(step_until([&] { return seen_[stage].present && seen_[booth].present; }, 5s));
    ASSERT_TRUE(responder_->remove_device(stage));
    ASSERT_TRUE(step_until([&] { return seen_[stage].removals == 1; }, 3s));
    EXPECT_TRUE(seen_[booth].present);
    EXPECT_EQ(db_browse_get_node_count(browse_), 1u);
    EXPECT_TRUE(logged("Removing conmon device \"" + stage + "\" from network 1"));
}

TEST_F(AdhocBrowseSim, AResolveThatNeverAnswersIsGivenUpAndReconfirmed) {
    start_responder({});
    start_browse(1);
    // An advert of an instance whose records nobody answers for: only its
    // PTR records, sent the way a responder announces them.
    const std::string ghost = unique("Ghost");
    std::vector<mdns::Interface> interfaces = mdns::multicast_interfaces();
    const mdns::Interface* lo = nullptr;
    for (const mdns::Interface& netif : interfaces) {
        if (netif.name == "lo") {
            lo = &netif;
        }
    }
    ASSERT_NE(lo, nullptr);
    mdns::Builder builder(0, mdns::kFlagResponse | mdns::kFlagAuthoritative);
    mdns::Name instance;
    ASSERT_TRUE(mdns::name_from_labels({ghost, "_netaudio-cmc", "_udp", "local"}, &instance));
    for (const std::vector<std::string>& owner :
         {std::vector<std::string>{"_netaudio-cmc", "_udp", "local"},
          std::vector<std::string>{"Vornix", "_sub", "_netaudio-cmc", "_udp", "local"}}) {
        mdns::Record ptr;
        ASSERT_TRUE(mdns::name_from_labels(owner, &ptr.name));
        ptr.type = mdns::kTypePtr;
        ptr.ttl = 4500;
        ptr.rdata.assign(instance.begin(), instance.end());
        ASSERT_TRUE(builder.add_record(mdns::Section::Answer, ptr));
    }
    mdns::socket_t socket = mdns::open_multicast_socket(mdns::kPort);
    ASSERT_NE(socket, mdns::kInvalidSocket);
    const std::vector<uint8_t> packet = builder.finish();
    ASSERT_TRUE(
        mdns::send_to(socket, *lo, packet.data(), packet.size(), mdns::kGroupAddress, mdns::kPort));
    mdns::close_socket(&socket);

    ASSERT_TRUE(step_until([&] { return logged("resolve '" + ghost + "' initiated"); }, 3s));
    ASSERT_TRUE(step_until(
        [&] {
            return logged("/" + ghost + " (" + ghost +
                          "._netaudio-cmc._udp.local.) "
                          "timed out, removing and reconfirming");
        },
        3s));
    // Unconfirmed, the advert goes away about ten seconds later.
    ASSERT_TRUE(
        step_until([&] { return logged("Removing conmon device \"" + ghost + "\""); }, 13s));
    EXPECT_EQ(seen_.count(ghost), 0u);
}

TEST_F(AdhocBrowseSim, AManagedDomainTakesTheAdHocUnitsAwayAndLeavingItBringsThemBack) {
    struct Domain {
        domain_current current{avn_domain_uuid_adhoc(), 5, 0x1FFFFFFF};
        static domain_current get(void* context) { return static_cast<Domain*>(context)->current; }
    } domain;
    domain_provider_ops ops{};
    ops.current_domain = Domain::get;
    domain_provider* provider = nullptr;
    ASSERT_EQ(domain_provider_new(env_, &ops, &domain, &provider), AUD_SUCCESS);
    const std::string stage = unique("Stage");
    start_responder({device(stage, "Vornix", 8, 1)});
    start_browse();
    ASSERT_TRUE(step_until([&] { return seen_[stage].present; }, 5s));

    domain.current = domain_current{avn_domain_uuid{{7}}, 2, 0x1};
    domain_provider_notify_domain_changed(provider);
    EXPECT_EQ(seen_[stage].removals, 1);  // reported removed as the ad-hoc browser goes
    // The domain's devices come from the Domain Manager, once it is connected.
    EXPECT_EQ(db_browse_get_sub_browsers(browse_), DB_BROWSE_MODE_DOMAIN);
    EXPECT_TRUE(db_browse_is_running(browse_));

    domain.current = domain_current{avn_domain_uuid_adhoc(), 5, 0x1FFFFFFF};
    domain_provider_notify_domain_changed(provider);
    EXPECT_EQ(db_browse_get_sub_browsers(browse_), DB_BROWSE_MODE_ADHOC);
    EXPECT_TRUE(step_until([&] { return seen_[stage].present; }, 5s));

    db_browse_stop(browse_);
    db_browse_delete(browse_);
    browse_ = nullptr;
    domain_provider_delete(provider);
}

TEST_F(AdhocBrowseSim, ServiceQueriesFollowTheAdvertAndHostLookupsAreBounded) {
    const std::string stage = unique("Stage");
    start_responder({device(stage, "Vornix", 8, 1)});
    dt_dnssd_handle* handle = nullptr;
    ASSERT_EQ(dnssd_init_shared(aud_env_get_event_loop(env_), &handle, 0), AUD_SUCCESS);
    struct Changes {
        uint32_t flags = 0;
        uint16_t port = 0;
        char host[DT_DNSSD_HOST_NAME_SIZE] = {};
        static void callback(dt_dnssd_query* query, void* context, uint32_t flags) {
            auto* self = static_cast<Changes*>(context);
            self->flags |= flags;
            if ((flags & DT_DNSSD_SRV_ADDED) != 0) {
                dt_dnssd_query_get_srv(query, flags, &self->port, self->host);
            }
        }
    } changes;
    const std::string instance = stage + "._netaudio-cmc._udp.local.";
    dt_dnssd_query* query =
        dt_dnssd_query_service(handle, instance.c_str(), Changes::callback, &changes);
    ASSERT_NE(query, nullptr);
    ASSERT_TRUE(step_until(
        [&] { return (changes.flags & (DT_DNSSD_SRV_ADDED | DT_DNSSD_TXT_ADDED)) == 0x11; }, 5s));
    EXPECT_EQ(changes.port, sim::kConmonServicePort);
    EXPECT_EQ(std::string(changes.host), sim::host_label(stage) + ".local.");
    EXPECT_EQ(dt_dnssd_query_record_count(query, 16), 1u);

    uint8_t address[4] = {};
    const std::string host = sim::host_label(stage) + ".local.";
    EXPECT_EQ(dt_dnssd_gethostbyname(host.c_str(), address, nullptr, false), AUD_SUCCESS);
    EXPECT_EQ(address[0], 127);
    const auto asked = Clock::now();
    EXPECT_EQ(dt_dnssd_gethostbyname(("nobody-" + host).c_str(), address, nullptr, false),
              AUD_ERR_NOTFOUND);
    const auto waited = Clock::now() - asked;
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 2s);

    changes.flags = 0;
    ASSERT_TRUE(responder_->remove_device(stage));
    ASSERT_TRUE(step_until(
        [&] { return (changes.flags & (DT_DNSSD_SRV_REMOVED | DT_DNSSD_TXT_REMOVED)) == 0x22; },
        3s));
    dt_dnssd_query_release(query);
    dt_dnssd_handle_delete(handle);
}

// The resolve counts of the browse under test, read at every unit added as
// well as between steps. The responder's answer packets carry a few adverts
// each with their SRV, TXT and address records, so a resolve often finishes
// from the cache within the step that started it.
struct ResolveCounts {
    db_adhoc_browse* adhoc = nullptr;
    size_t most_running = 0;
    size_t most_waiting = 0;

    void note() {
        most_running = std::max(most_running, db_adhoc_browse_get_running_resolves(adhoc));
        most_waiting = std::max(most_waiting, db_adhoc_browse_get_waiting_resolves(adhoc));
    }
};
ResolveCounts g_resolve_counts;

TEST_F(AdhocBrowseSim, ResolvesRunAtMostTheLimitAtOnceAndTheRestWaitTheirTurn) {
    std::vector<sim::MdnsDevice> devices;
    for (int i = 0; i < 12; ++i) {
        devices.push_back(
            device(unique("Unit" + std::to_string(i)), "Vornix", 8, static_cast<uint16_t>(i)));
    }
    start_responder(devices);
    db_browse_tree* tree = nullptr;
    ASSERT_EQ(db_browse_tree_new(nullptr, DB_BROWSE_TYPE_CONMON_DEVICE, &tree), AUD_SUCCESS);
    db_adhoc_browse* adhoc = nullptr;
    ASSERT_EQ(db_adhoc_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, tree, &adhoc), AUD_SUCCESS);
    // One resolve at a time: any answer packet with two adverts or more
    // leaves one waiting.
    ASSERT_EQ(db_adhoc_browse_set_socket_limit(adhoc, 2), AUD_SUCCESS);
    db_adhoc_browse_set_manufacturer_filter(adhoc, kVornix);
    g_resolve_counts = ResolveCounts{adhoc};
    db_browse_tree_set_node_callback(tree, [](db_browse*, const db_browse_change*, int) {
        g_resolve_counts.note();
    });
    db_browse_config config;
    db_browse_config_init(&config);
    ASSERT_EQ(db_adhoc_browse_start_config(adhoc, &config, 0), AUD_SUCCESS);
    EXPECT_EQ(db_adhoc_browse_get_state(adhoc), DB_ADHOC_STATE_BROWSING);
    EXPECT_EQ(db_adhoc_browse_set_socket_limit(adhoc, 10), AUD_ERR_INVALIDSTATE);
    const bool all = step_until(
        [&] {
            g_resolve_counts.note();
            return db_browse_tree_get_node_count(tree) == devices.size();
        },
        5s);
    EXPECT_TRUE(all) << db_browse_tree_get_node_count(tree);
    EXPECT_EQ(g_resolve_counts.most_running, 1u);
    EXPECT_GT(g_resolve_counts.most_waiting, 0u);
    db_browse_tree_set_node_callback(tree, nullptr);
    db_adhoc_browse_stop(adhoc, false);
    EXPECT_EQ(db_browse_tree_get_node_count(tree), 0u);
    db_adhoc_browse_delete(adhoc);
    db_browse_tree_delete(tree);
}

}  // namespace

namespace {

// A host on the link floods the group with fake instances of the maker's
// units (and long TXT records) while two real units are advertised and the
// browse starts: the flood costs the flooder, not the process or the units.
TEST_F(AdhocBrowseSim, AFloodOfFakeInstancesCostsTheFlooderNotTheRealUnits) {
    const std::string stage = unique("Stage");
    const std::string booth = unique("Booth");
    start_responder({device(stage, "Vornix", 8, 1), device(booth, "Vornix", 8, 2)});
    constexpr size_t kMemoryBound = 64u << 20;
    constexpr auto kLatenessBound = 100ms;
    mdns_flood::Flooder flood(100000, 4s);
    const size_t memory_at_start = mdns_flood::memory_in_use();

    // How late the runtime's own 50 ms timer fires tells whether the AVN
    // thread keeps stepping.
    const mdns_flood::TimerLateness lateness(aud_env_get_event_loop(env_));
    ASSERT_TRUE(lateness.started());

    flood.start();
    size_t peak = memory_at_start;
    const auto flood_start = Clock::now();
    start_browse();
    const bool found = step_until(
        [&] {
            peak = std::max(peak, mdns_flood::memory_in_use());
            return seen_[stage].present && seen_[booth].present;
        },
        6s);
    const auto found_after = Clock::now() - flood_start;
    step_until(
        [&] {
            peak = std::max(peak, mdns_flood::memory_in_use());
            return Clock::now() - flood_start > 4500ms;
        },
        6s);
    flood.join();

    ASSERT_TRUE(flood.ok());
    std::printf(
        "flood: %llu packets, %llu records; units found after %.2f s; memory above start "
        "at most %.1f MB; worst timer lateness %.1f ms\n",
        static_cast<unsigned long long>(flood.packets()),
        static_cast<unsigned long long>(flood.records()),
        std::chrono::duration<double>(found_after).count(),
        static_cast<double>(peak - memory_at_start) / (1 << 20),
        std::chrono::duration<double, std::milli>(lateness.worst()).count());
    EXPECT_GE(flood.records(), 100000u);
    EXPECT_TRUE(found);
    EXPECT_TRUE(seen_[stage].present);
    EXPECT_TRUE(seen_[booth].present);
    EXPECT_LT(peak - memory_at_start, kMemoryBound);
    EXPECT_LT(lateness.worst(), kLatenessBound);
    EXPECT_GT(lateness.ticks(), 40);
}

}  // namespace

namespace {

// Sends one response to the group from this host, as a responder would.
void announce(const std::vector<mdns::Record>& records) {
    const mdns::Interface* lo = nullptr;
    const std::vector<mdns::Interface> interfaces = mdns::multicast_interfaces();
    for (const mdns::Interface& netif : interfaces) {
        if (netif.name == "lo") {
            lo = &netif;
        }
    }
    ASSERT_NE(lo, nullptr);
    mdns::Builder builder(0, mdns::kFlagResponse | mdns::kFlagAuthoritative);
    for (const mdns::Record& record : records) {
        ASSERT_TRUE(builder.add_record(mdns::Section::Answer, record));
    }
    mdns::socket_t socket = mdns::open_multicast_socket(mdns::kPort);
    ASSERT_NE(socket, mdns::kInvalidSocket);
    const std::vector<uint8_t> packet = builder.finish();
    EXPECT_TRUE(
        mdns::send_to(socket, *lo, packet.data(), packet.size(), mdns::kGroupAddress, mdns::kPort));
    mdns::close_socket(&socket);
}

// The records of a maker's TPX-2 advert whose SRV target is `target`
// (labels; none for the root).
std::vector<mdns::Record> advert(const std::string& instance_label,
                                 const std::vector<std::string>& target) {
    mdns::Name instance;
    mdns::name_from_labels({instance_label, "_netaudio-cmc", "_udp", "local"}, &instance);
    std::vector<mdns::Record> records;
    mdns::Record ptr;
    mdns::name_from_labels({"Vornix", "_sub", "_netaudio-cmc", "_udp", "local"}, &ptr.name);
    ptr.type = mdns::kTypePtr;
    ptr.ttl = 4500;
    ptr.rdata.assign(instance.begin(), instance.end());
    records.push_back(ptr);
    mdns::Record srv;
    srv.name = instance;
    srv.type = mdns::kTypeSrv;
    srv.cache_flush = true;
    srv.ttl = 120;
    srv.rdata = {0, 0, 0, 0, 0x22, 0x60};
    mdns::Name host;
    mdns::name_from_labels(target, &host);
    srv.rdata.insert(srv.rdata.end(), host.begin(), host.end());
    records.push_back(srv);
    mdns::Record txt;
    txt.name = instance;
    txt.type = mdns::kTypeTxt;
    txt.cache_flush = true;
    txt.ttl = 4500;
    for (const std::string text : {"mf=Vornix", "model=_08", "process=8800"}) {
        txt.rdata.push_back(static_cast<uint8_t>(text.size()));
        txt.rdata.insert(txt.rdata.end(), text.begin(), text.end());
    }
    records.push_back(txt);
    return records;
}

// A host label with a dot and a blank is read as it is, not as the escaped
// text of its name; a target of the root is no host at all.
TEST_F(AdhocBrowseSim, HostLabelsAreUnescapedAndARootTargetHasNoHost) {
    start_responder({});
    start_browse();
    const std::string dotted = unique("Dotted");
    const std::string rootless = unique("Rootless");
    announce(advert(dotted, {"a.b c", "local"}));
    announce(advert(rootless, {}));
    ASSERT_TRUE(step_until([&] { return seen_[dotted].present && seen_[rootless].present; }, 5s));
    EXPECT_EQ(seen_[dotted].host, "a.b c");
    EXPECT_EQ(seen_[rootless].host, "");
}

// The node callback may stop the browse, even while the resolve that made
// the node is being answered.
TEST_F(AdhocBrowseSim, ANodeCallbackMayStopTheBrowse) {
    const std::string stage = unique("Stage");
    const std::string booth = unique("Booth");
    start_responder({device(stage, "Vornix", 8, 1), device(booth, "Vornix", 8, 2)});
    ASSERT_EQ(db_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, &browse_), AUD_SUCCESS);
    int calls = 0;
    db_browse_set_context(browse_, &calls);
    db_browse_set_node_callback(browse_, [](db_browse* browse, const db_browse_change*, int) {
        ++*static_cast<int*>(db_browse_get_context(browse));
        db_browse_stop(browse);
    });
    db_browse_set_manufacturer_filter(browse_, kVornix);
    db_browse_config config;
    db_browse_config_init(&config);
    ASSERT_EQ(db_browse_start_config(browse_, &config), AUD_SUCCESS);
    ASSERT_TRUE(step_until([&] { return calls > 0; }, 5s));
    step_until([] { return false; }, 500ms);
    EXPECT_FALSE(db_browse_is_running(browse_));
}

}  // namespace

namespace {

// A responder on this computer answers first, then a unit on the LAN: the
// local advert must not fix the open network to loopback, or every LAN
// unit would be ignored.
TEST_F(AdhocBrowseSim, ALocalResponderAnsweringFirstLeavesTheNetworkToTheLan) {
    const std::string commands =
        "ip link add dnssd0a type veth peer name dnssd0b && ip link set dnssd0b multicast off up "
        "&& ip link set dnssd0a multicast on up && ip addr add 10.77.1.1/24 dev dnssd0a";
    ASSERT_EQ(std::system(commands.c_str()), 0);
    struct Cleanup {
        ~Cleanup() { std::system("ip link del dnssd0a 2>/dev/null"); }
    } cleanup;
    const std::string local = unique("Local");
    const std::string lan = unique("Lan");
    start_responder({device(local, "Vornix", 8, 1)});
    start_browse();
    ASSERT_TRUE(step_until([&] { return seen_[local].present; }, 5s));

    sim::MdnsSettings settings;
    settings.enabled = true;
    settings.interface_name = "dnssd0a";
    sim::MdnsResponder on_lan(sim_log_, settings);
    on_lan.add_device(device(lan, "Vornix", 8, 2));
    ASSERT_EQ(on_lan.start(), AUD_SUCCESS);
    EXPECT_TRUE(step_until([&] { return seen_[lan].present; }, 5s));
    EXPECT_TRUE(
        logged("No interface index filter defined for network 0, setting interface index "
               "to " +
               std::to_string(on_lan.interface_index())));
    on_lan.stop();
}

}  // namespace
