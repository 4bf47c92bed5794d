// tpx2ctl's commands end to end against avn-sim in-process: what a script
// sees on standard output and standard error, and the exit statuses.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <thread>

#include "cli/cli_runner.h"
#include "device/parameter_thread.h"
#include "sim/sim_network.h"
#include "tests/avn/domain/closed_port_probe.h"
#include "tests/support/cli_run.h"

namespace {

using cli_test::CliRun;
using cli_test::run_tpx2ctl;
using cli_test::SharedOutput;
using cli_test::eventually;

class CliWithSim : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Tpx2UnitSettings stage;
        stage.name = "TPX2-Stage";
        sim::Tpx2UnitSettings booth;
        booth.name = "TPX2-Booth";
        booth.bootloader_version = 0;
        start_network({stage, booth}, {{"Desk", "Acme", 4}});
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    void start_network(std::vector<sim::Tpx2UnitSettings> units, std::vector<sim::ForeignDeviceSettings> devices = {}) {
        sim::SimOptions options = sim::options_on_free_ports();
        options.units = std::move(units);
        options.devices = std::move(devices);
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
    }

    // A file of this test's own, removed afterwards.
    std::string write_file(const std::string& name, const std::string& text) {
        std::filesystem::create_directories(directory_);
        const std::filesystem::path path = directory_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    std::string read_file(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    int32_t unit_value(const std::string& unit, ParameterId id) {
        const auto values = network_->conmon().unit_parameters(unit);
        return values ? (*values)[static_cast<size_t>(id) - 1] : INT32_MIN;
    }

    // Runs a command on another thread, its standard output readable as it
    // goes; `interrupted_` ends a watch.
    std::future<int> start(std::vector<std::string> arguments, SharedOutput& out, std::ostringstream& err) {
        std::vector<std::string> full = {"--conmon", "127.0.0.1:" + std::to_string(network_->conmon_port()),
                                         "--cmm", "127.0.0.1:" + std::to_string(network_->cmm_port())};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return std::async(std::launch::async, [this, full, &out, &err] {
            const CliParseResult parsed = parse_cli_arguments(full);
            std::ostream out_stream(&out);
            return parsed.options ? run_cli_command(*parsed.options, out_stream, err, interrupted_) : -1;
        });
    }

    CliRun run(std::vector<std::string> arguments) {
        std::vector<std::string> full = {"--conmon", "127.0.0.1:" + std::to_string(network_->conmon_port()),
                                         "--cmm", "127.0.0.1:" + std::to_string(network_->cmm_port()),
                                         "--timeout", "3000"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return run_tpx2ctl(full, interrupted_);
    }

    std::unique_ptr<sim::SimNetwork> network_;
    std::atomic<bool> interrupted_{false};
    const std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() /
        ("tpx2ctl-test-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
};

TEST_F(CliWithSim, InfoAndGetPrintTheDocumentedJson) {
    CliRun r = run({"--json", "info", "TPX2-Stage"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "{\"device\":\"TPX2-Stage\",\"bootloader\":\"2.5\",\"application\":\"1.3\"}\n");

    r = run({"--json", "info", "TPX2-Booth"});
    EXPECT_EQ(r.out, "{\"device\":\"TPX2-Booth\",\"bootloader\":null,\"application\":\"1.3\"}\n");

    r = run({"--json", "get", "TPX2-Stage"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out,
              "{\"device\":\"TPX2-Stage\",\"parameters\":{\"MicLf\":0,\"MicHf\":0,\"LineLf\":0,"
              "\"LineHf\":0,\"Mode\":0,\"MicSensitivity\":4,\"MicGate\":1}}\n");
}

TEST_F(CliWithSim, SetChangesTheUnitAndConfirmsFromItsReport) {
    const CliRun r = run({"--json", "set", "TPX2-Stage", "MicLf=-3", "mode=4", "MICGATE=0"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_NE(r.out.find("\"MicLf\":-3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"Mode\":4"), std::string::npos) << r.out;
    const auto values = network_->conmon().unit_parameters("TPX2-Stage");
    ASSERT_TRUE(values);
    EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::MicLf) - 1], -3);
    EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::Mode) - 1], 4);
    EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::MicGate) - 1], 0);
}

TEST_F(CliWithSim, UnitsThatCannotBeReachedGiveStatusThree) {
    for (const char* command : {"info", "get"}) {
        const CliRun r = run({command, "Nobody"});
        EXPECT_EQ(r.status, kExitUnitUnavailable) << command;
        EXPECT_EQ(r.err, "tpx2ctl: unit 'Nobody' was not found or does not answer\n");
        EXPECT_TRUE(r.out.empty());
    }
    // Another maker's device answers, but never as a TPX-2.
    EXPECT_EQ(run({"get", "Desk"}).status, kExitUnitUnavailable);
}

TEST_F(CliWithSim, AUnitThatStopsAnsweringMidSetGivesStatusThree) {
    std::vector<std::string> args = {"set", "TPX2-Booth"};
    for (int i = 0; i < 10; ++i) {
        args.push_back("MicHf=" + std::to_string(i % 2 == 0 ? 5 : -5));
    }
    // A unit slow enough for the change of heart to land in the middle.
    network_->conmon().set_device_reply_delay("TPX2-Booth", std::chrono::milliseconds(50));
    auto result = std::async(std::launch::async, [&] { return run(args); });
    // Silence the unit once the first change has reached it.
    for (int i = 0; i < 400; ++i) {
        const auto values = network_->conmon().unit_parameters("TPX2-Booth");
        if (values && (*values)[static_cast<size_t>(ParameterId::MicHf) - 1] == 5) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    network_->conmon().set_device_muted("TPX2-Booth", true);
    const CliRun r = result.get();
    EXPECT_EQ(r.status, kExitUnitUnavailable);
    EXPECT_NE(r.err.find("TPX2-Booth"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
}

TEST_F(CliWithSim, BadValuesAreRefusedBeforeAnythingIsSent) {
    const auto before = network_->conmon().device_control_messages("TPX2-Stage");
    const CliRun r = run({"set", "TPX2-Stage", "MicLf=1", "MicGate=3"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(network_->conmon().device_control_messages("TPX2-Stage"), before);
}

TEST_F(CliWithSim, NetworksAreListedAndChosen) {
    CliRun r = run({"--json", "networks"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "{\"interfaces\":[{\"name\":\"Ethernet\",\"current\":true},"
                     "{\"name\":\"Ethernet 2\",\"current\":false}]}\n");

    r = run({"--json", "use-network", "Ethernet 2"});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "{\"interfaces\":[{\"name\":\"Ethernet\",\"current\":false},"
                     "{\"name\":\"Ethernet 2\",\"current\":true}]}\n");

    r = run({"use-network", "Wi-Fi"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("no network called 'Wi-Fi'"), std::string::npos) << r.err;

    EXPECT_EQ(run({"use-network", "None"}).status, kExitSuccess);
}

// With the connection manager up but the conmon server away (its port
// closed, or silent), the unit is not to blame: status 4, naming the server.
TEST_F(CliWithSim, AConmonServerThatDoesNotAnswerGivesStatusFour) {
    const std::string expected = "tpx2ctl: the AVN platform service is not running: the conmon server on 127.0.0.1:" +
                                 std::to_string(network_->conmon_port()) + " does not answer\n";
    // Each run waits out the transport's open limit: two commands each way.
    network_->conmon().set_silent(true);
    for (const char* command : {"info", "watch"}) {
        const CliRun r = run({command, "TPX2-Stage"});
        EXPECT_EQ(r.status, kExitServicesUnavailable) << command << " (silent)";
        EXPECT_EQ(r.err, expected) << command;
    }
    network_->conmon().stop();
    const std::string file = write_file("mode.json", R"({"format_version":1,"parameters":{"Mode":1}})");
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"get", "TPX2-Stage"}, {"set", "TPX2-Stage", "Mode=1"},
          {"load", "TPX2-Stage", file}, {"apply", file, "TPX2-Stage", "TPX2-Booth"}}) {
        const CliRun r = run(command);
        EXPECT_EQ(r.status, kExitServicesUnavailable) << command[0] << " (closed)";
        EXPECT_EQ(r.err, expected) << command[0];
        if (command[0] == "apply") {
            // Found out before any unit started.
            EXPECT_EQ(r.out, "0 of 2 units applied; not started: TPX2-Stage, TPX2-Booth\n");
        }
    }
}

// ---- Settings files and many units ----

constexpr const char* kFullSettings =
    R"({"format_version":1,"parameters":{"MicLf":-3,"MicHf":4,"LineLf":-5,"LineHf":6,"Mode":2,"MicSensitivity":1,"MicGate":0}})";

// A unit's settings are recorded, changed, and put back from the file: only
// what differs is sent, each change confirmed, and what changed is printed.
TEST_F(CliWithSim, SaveThenLoadPutsAUnitBackAsItWas) {
    ASSERT_EQ(run({"set", "TPX2-Stage", "MicLf=-3", "Mode=2"}).status, kExitSuccess);
    const std::string file = (directory_ / "stage.json").string();
    std::filesystem::create_directories(directory_);
    CliRun r = run({"save", "TPX2-Stage", file});
    ASSERT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "");
    const CliRun to_stdout = run({"save", "TPX2-Stage"});
    EXPECT_EQ(to_stdout.out, read_file(file));
    EXPECT_NE(to_stdout.out.find("\"MicLf\": -3"), std::string::npos) << to_stdout.out;

    ASSERT_EQ(run({"set", "TPX2-Stage", "MicLf=7", "MicGate=0", "LineHf=-12"}).status, kExitSuccess);
    r = run({"load", "TPX2-Stage", file});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "TPX2-Stage: applied, changed MicLf 7 -> -3, LineHf -12 -> 0, MicGate 0 -> 1\n");
    EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::MicLf), -3);
    EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::Mode), 2);
    EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::LineHf), 0);
    EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::MicGate), 1);

    // Nothing differs now: the request for the values is all that is sent.
    const auto before = network_->conmon().unit_counters("TPX2-Stage");
    r = run({"--json", "load", "TPX2-Stage", file});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(r.out, "{\"device\":\"TPX2-Stage\",\"status\":\"applied\",\"changed\":[]}\n");
    const auto after = network_->conmon().unit_counters("TPX2-Stage");
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->parameter_messages, before->parameter_messages + 1);

    // A settings file saved from one unit loads onto another.
    r = run({"load", "TPX2-Booth", file});
    EXPECT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(unit_value("TPX2-Booth", ParameterId::Mode), 2);
}

// save never writes a file that load would refuse, and leaves the file it
// could not fill as it was.
TEST_F(CliWithSim, SaveWritesOnlyWhatLoadCanRead) {
    const std::string file = write_file("earlier.json", "earlier");
    network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::MicLf, 13);
    CliRun r = run({"save", "TPX2-Stage", file});
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.err, "tpx2ctl: unit 'TPX2-Stage' reports MicLf=13, outside -12 to 12: nothing saved\n");
    EXPECT_EQ(read_file(file), "earlier");

    r = run({"save", "TPX2-Booth", (directory_ / "no-such-directory" / "booth.json").string()});
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

// A file with any fault is refused whole before the AVN platform is even
// asked for: no unit gets a message and nothing connects to the server.
TEST_F(CliWithSim, ABadSettingsFileSendsNothing) {
    const std::string good_then_bad =
        R"({"format_version":1,"parameters":{"MicLf":-3,"Mode":2,"MicGate":2}})";
    const struct {
        std::string file;
        const char* error_part;
    } cases[] = {
        {write_file("bad-value.json", good_then_bad), "MicGate must be from 0 to 1, got 2"},
        {write_file("version.json", R"({"format_version":2,"parameters":{"Mode":2}})"), "format_version 2"},
        {write_file("key.json", R"({"format_version":1,"parameters":{"Mode":2},"extra":1})"), "unknown key 'extra'"},
        {(directory_ / "missing.json").string(), "cannot open settings file"},
    };
    for (const auto& c : cases) {
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"load", "TPX2-Stage", c.file}, {"apply", c.file, "TPX2-Stage", "TPX2-Booth"}}) {
            SCOPED_TRACE(command[0] + " " + c.file);
            const CliRun r = run(command);
            EXPECT_EQ(r.status, kExitUsage);
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find(c.error_part), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(c.file), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(network_->conmon().device_control_messages("TPX2-Stage"), 0u);
    EXPECT_EQ(network_->conmon().device_control_messages("TPX2-Booth"), 0u);
    EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::Mode), 0);
}

TEST_F(CliWithSim, LoadNamesAUnitThatDoesNotConfirm) {
    const std::string file = write_file("full.json", kFullSettings);
    CliRun r = run({"load", "Nobody", file});
    EXPECT_EQ(r.status, kExitUnitUnavailable);
    EXPECT_EQ(r.err, "tpx2ctl: unit 'Nobody' was not found or does not answer\n");
    network_->conmon().set_device_muted("TPX2-Booth", true);
    r = run({"load", "TPX2-Booth", file});
    EXPECT_EQ(r.status, kExitUnitUnavailable);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("TPX2-Booth"), std::string::npos) << r.err;
}

std::vector<sim::Tpx2UnitSettings> numbered_units(size_t count) {
    std::vector<sim::Tpx2UnitSettings> units(count);
    for (size_t i = 0; i < count; ++i) {
        units[i].name = "Hall-" + std::to_string(i + 1);
    }
    return units;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Two units of 32 stop answering: the other 30 are applied all the same, the
// two are named, and the status is 3. Every unit's line is whole.
TEST_F(CliWithSim, ApplyToManyUnitsReportsEachAndNamesTheFailed) {
    start_network(numbered_units(32));
    network_->conmon().set_device_muted("Hall-7", true);
    network_->conmon().set_device_muted("Hall-23", true);
    std::vector<std::string> args = {"--json", "apply", write_file("full.json", kFullSettings)};
    for (int i = 1; i <= 32; ++i) {
        args.push_back("Hall-" + std::to_string(i));
    }
    const CliRun r = run(args);
    EXPECT_EQ(r.status, kExitUnitUnavailable) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 33u) << r.out;
    for (int i = 1; i <= 32; ++i) {
        const std::string unit = "Hall-" + std::to_string(i);
        const bool muted = i == 7 || i == 23;
        const std::string head = "{\"device\":\"" + unit + "\",\"status\":";
        int found = 0;
        for (const std::string& line : lines) {
            if (line.rfind(head, 0) == 0) {
                ++found;
                EXPECT_EQ(line.find(muted ? "\"status\":\"unavailable\"" : "\"status\":\"applied\""), head.size() - 9)
                    << line;
                EXPECT_EQ(line.back(), '}') << line;
            }
        }
        EXPECT_EQ(found, 1) << unit;
        EXPECT_EQ(unit_value(unit, ParameterId::LineHf), muted ? 0 : 6) << unit;
        EXPECT_EQ(unit_value(unit, ParameterId::MicGate), muted ? 1 : 0) << unit;
    }
    EXPECT_EQ(lines.back(),
              "{\"summary\":{\"units\":32,\"applied\":30,\"failed\":[\"Hall-7\",\"Hall-23\"],\"not_started\":[],"
              "\"interrupted\":false}}");

    // In plain text, the same outcome: applied again, nothing changes.
    args.erase(args.begin());
    const CliRun plain = run(args);
    EXPECT_EQ(plain.status, kExitUnitUnavailable);
    EXPECT_NE(plain.out.find("Hall-12: applied, nothing to change\n"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("Hall-7: FAILED: was not found or does not answer\n"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("\n30 of 32 units applied; failed: Hall-7, Hall-23\n"), std::string::npos) << plain.out;
}

// Each unit under way holds a conmon client of its own: the server never
// sees more of them at once than --jobs allows.
TEST_F(CliWithSim, ApplyWorksOnAtMostJobsUnitsAtOnce) {
    start_network(numbered_units(6));
    std::vector<std::string> units;
    for (int i = 1; i <= 6; ++i) {
        units.push_back("Hall-" + std::to_string(i));
        // Slow units, so that those under way overlap.
        network_->conmon().set_device_reply_delay(units.back(), std::chrono::milliseconds(100));
    }
    for (const auto& [jobs, mode] : {std::pair{1u, 3}, std::pair{3u, 1}}) {
        SCOPED_TRACE(jobs);
        const std::string file = write_file("mode.json", R"({"format_version":1,"parameters":{"Mode":)" +
                                                             std::to_string(mode) + "}}");
        std::atomic<bool> done{false};
        size_t most = 0;
        std::thread watcher([&] {
            while (!done) {
                most = std::max(most, network_->conmon().client_count());
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        std::vector<std::string> args = {"apply", file, "--jobs", std::to_string(jobs)};
        args.insert(args.end(), units.begin(), units.end());
        const CliRun r = run(args);
        done = true;
        watcher.join();
        EXPECT_EQ(r.status, kExitSuccess) << r.out << r.err;
        EXPECT_LE(most, jobs);
        EXPECT_GE(most, jobs > 1 ? 2u : 1u);
        for (const std::string& unit : units) {
            EXPECT_EQ(unit_value(unit, ParameterId::Mode), mode) << unit;
        }
    }
}

// A restart of the conmon server is only a pause for watch: a change made at
// the unit after it is printed.
TEST_F(CliWithSim, WatchCarriesOnAcrossAConmonServerRestart) {
    SharedOutput out;
    std::ostringstream err;
    auto status = start({"--json", "watch", "TPX2-Stage"}, out, err);
    ASSERT_TRUE(eventually([&] { return out.text().find("\"MicLf\":0") != std::string::npos; },
                           std::chrono::seconds(10)));
    network_->conmon().restart(std::chrono::milliseconds(3500));
    const bool resubscribed = eventually(
        [&] { return network_->conmon().status_subscribed("TPX2-Stage"); },
        std::chrono::seconds(25));
    EXPECT_TRUE(resubscribed);
    network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::MicLf, 5);
    EXPECT_TRUE(eventually([&] { return out.text().find("\"MicLf\":5") != std::string::npos; },
                           std::chrono::seconds(5)))
        << out.text();
    interrupted_ = true;
    EXPECT_EQ(status.get(), kExitSuccess) << err.str();
}

// A conmon server that goes away for good ends watch with one line and
// status 4 once the link has had its time to come back.
TEST_F(CliWithSim, WatchEndsWithStatusFourWhenTheServerStaysAway) {
    if (!closed_port_reported_through_wait()) {
        GTEST_SKIP() << "this system does not report a closed UDP port";
    }
    SharedOutput out;
    std::ostringstream err;
    auto status = start({"watch", "TPX2-Stage"}, out, err);
    ASSERT_TRUE(eventually([&] { return !out.text().empty(); }, std::chrono::seconds(10)));
    const auto stopped = std::chrono::steady_clock::now();
    network_->conmon().stop();
    ASSERT_EQ(status.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(status.get(), kExitServicesUnavailable);
    EXPECT_LE(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(kLinkRestoreLimitMs + 5000));
    EXPECT_EQ(err.str(), "tpx2ctl: the AVN platform service stopped: the conmon server on 127.0.0.1:" +
                             std::to_string(network_->conmon_port()) + " did not come back within 15 s\n");
}

TEST_F(CliWithSim, NoPlatformServiceGivesStatusFour) {
    network_->stop();
    const CliRun r = run({"--timeout", "300", "networks"});
    EXPECT_EQ(r.status, kExitServicesUnavailable);
    EXPECT_NE(r.err.find("the AVN platform service is not running"), std::string::npos) << r.err;
}

// Ctrl-C while apply --discovered looks for units: it ends at once, changes
// nothing, and does not claim that no unit exists.
TEST_F(CliWithSim, ApplyDiscoveredAfterAnInterruptionChangesNothing) {
    const std::string file = write_file("mode.json", R"({"format_version":1,"parameters":{"Mode":1}})");
    interrupted_ = true;
    const auto started = std::chrono::steady_clock::now();
    const CliRun r = run({"apply", file, "--discovered"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.err, "tpx2ctl: interrupted while looking for units: nothing was changed\n");
    EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::Mode), 0);
}

// ---- The conmon server restarting under a command ----

// When the change is made, against the outage. For watch it is made at the
// unit. For set and load the command makes it: before is once the unit has
// taken it (its confirming report is lost with the restart); during and
// after, the outage starts as soon as the command has its link and the
// unit's answer is lost with the restart, so the command's exchange with the
// unit is made again across the outage, with the unit's answers held until
// the server is back (after) or not (during).
enum class OutageMoment { Before, During, After };

struct OutageCase {
    const char* name;
    std::chrono::milliseconds outage;
    OutageMoment moment;
    const char* command;  // "set", "load" or "watch"
};

std::string outage_name(const ::testing::TestParamInfo<OutageCase>& info) {
    return info.param.name;
}

class CliAcrossARestart : public CliWithSim, public ::testing::WithParamInterface<OutageCase> {};

// One right outcome per row: an outage that the link outlives (under the
// 15 s restore bound) ends in the change confirmed after the server's
// return; one it does not outlive ends in status 4 with one line and nothing
// reported done. A change is never reported failed for the unit, and never
// reported done without the unit's confirmation.
TEST_P(CliAcrossARestart, ConfirmsAfterTheReturnOrEndsWithStatusFour) {
    if (!closed_port_reported_through_wait()) {
        GTEST_SKIP() << "this system does not report a closed UDP port";
    }
    const OutageCase& c = GetParam();
    const bool survives = c.outage < std::chrono::milliseconds(kLinkRestoreLimitMs);
    const std::string command = c.command;
    sim::ConmonServer& server = network_->conmon();
    // The unit's answers are held a little (or past the outage), so that the
    // restart swallows the one in flight.
    const auto held = std::chrono::milliseconds(300);
    server.set_device_reply_delay(
        "TPX2-Stage", c.moment == OutageMoment::After && command != "watch" ? c.outage + held : held);
    std::vector<std::string> args = {"--timeout", "4000", command, "TPX2-Stage"};
    if (command != "load") {
        args.insert(args.begin(), "--json");
    }
    if (command == "set") {
        args.push_back("MicLf=5");
    } else if (command == "load") {
        args.push_back(write_file("micLf.json", R"({"format_version":1,"parameters":{"MicLf":5}})"));
    }
    SharedOutput out;
    std::ostringstream err;
    auto status = start(args, out, err);
    if (c.moment == OutageMoment::Before) {
        if (command == "watch") {
            ASSERT_TRUE(eventually([&] { return out.text().find("\"MicLf\"") != std::string::npos; },
                                   std::chrono::seconds(10)));
            server.change_unit_parameter("TPX2-Stage", ParameterId::MicLf, 5);
            ASSERT_TRUE(eventually([&] { return out.text().find("\"MicLf\":5") != std::string::npos; },
                                   std::chrono::seconds(5)));
        } else {
            ASSERT_TRUE(eventually([&] { return unit_value("TPX2-Stage", ParameterId::MicLf) == 5; },
                                   std::chrono::seconds(10)));
        }
    } else {
        ASSERT_TRUE(eventually([&] { return server.status_subscribed("TPX2-Stage"); },
                               std::chrono::seconds(10)));
    }
    server.restart(c.outage);
    if (command != "watch" && c.moment == OutageMoment::After) {
        std::this_thread::sleep_for(c.outage);
        server.set_device_reply_delay("TPX2-Stage", held);
    }
    if (command == "watch" && c.moment != OutageMoment::Before) {
        // The change is made at the unit: while the port is closed, or once
        // the server is back.
        if (c.moment == OutageMoment::After) {
            std::this_thread::sleep_for(c.outage + std::chrono::milliseconds(200));
        }
        server.change_unit_parameter("TPX2-Stage", ParameterId::MicLf, 5);
    }
    if (command == "watch") {
        if (survives) {
            // Printed after the return: the link was restored and the values
            // asked for again.
            const size_t printed = out.text().size();
            EXPECT_TRUE(eventually(
                [&] { return out.text().find("\"MicLf\":5", c.moment == OutageMoment::Before ? printed : 0) !=
                             std::string::npos; },
                std::chrono::seconds(25)))
                << out.text();
            interrupted_ = true;
        }
        ASSERT_EQ(status.wait_for(std::chrono::seconds(40)), std::future_status::ready);
        const int result = status.get();
        if (survives) {
            EXPECT_EQ(result, kExitSuccess) << err.str();
        } else {
            const std::string error = err.str();
            EXPECT_EQ(result, kExitServicesUnavailable);
            EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
        }
        return;
    }
    ASSERT_EQ(status.wait_for(std::chrono::seconds(45)), std::future_status::ready);
    const int result = status.get();
    const std::string printed = out.text();
    if (survives) {
        EXPECT_EQ(result, kExitSuccess) << err.str();
        EXPECT_NE(printed.find(command == "set" ? "\"MicLf\":5" : "MicLf 0 -> 5"), std::string::npos) << printed;
        EXPECT_EQ(unit_value("TPX2-Stage", ParameterId::MicLf), 5);
    } else {
        const std::string error = err.str();
        EXPECT_EQ(result, kExitServicesUnavailable) << printed << error;
        EXPECT_EQ(printed, "");
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    }
}

using std::chrono::milliseconds;

INSTANTIATE_TEST_SUITE_P(
    Outages, CliAcrossARestart,
    ::testing::Values(
        OutageCase{"set_1500ms_before", milliseconds(1500), OutageMoment::Before, "set"},
        OutageCase{"set_1500ms_during", milliseconds(1500), OutageMoment::During, "set"},
        OutageCase{"set_1500ms_after", milliseconds(1500), OutageMoment::After, "set"},
        OutageCase{"set_3500ms_before", milliseconds(3500), OutageMoment::Before, "set"},
        OutageCase{"set_3500ms_during", milliseconds(3500), OutageMoment::During, "set"},
        OutageCase{"set_3500ms_after", milliseconds(3500), OutageMoment::After, "set"},
        OutageCase{"set_20s_before", milliseconds(20000), OutageMoment::Before, "set"},
        OutageCase{"set_20s_during", milliseconds(20000), OutageMoment::During, "set"},
        OutageCase{"set_20s_after", milliseconds(20000), OutageMoment::After, "set"},
        OutageCase{"load_1500ms_before", milliseconds(1500), OutageMoment::Before, "load"},
        OutageCase{"load_1500ms_during", milliseconds(1500), OutageMoment::During, "load"},
        OutageCase{"load_1500ms_after", milliseconds(1500), OutageMoment::After, "load"},
        OutageCase{"load_3500ms_before", milliseconds(3500), OutageMoment::Before, "load"},
        OutageCase{"load_3500ms_during", milliseconds(3500), OutageMoment::During, "load"},
        OutageCase{"load_3500ms_after", milliseconds(3500), OutageMoment::After, "load"},
        OutageCase{"load_20s_before", milliseconds(20000), OutageMoment::Before, "load"},
        OutageCase{"load_20s_during", milliseconds(20000), OutageMoment::During, "load"},
        OutageCase{"load_20s_after", milliseconds(20000), OutageMoment::After, "load"},
        OutageCase{"watch_1500ms_before", milliseconds(1500), OutageMoment::Before, "watch"},
        OutageCase{"watch_1500ms_during", milliseconds(1500), OutageMoment::During, "watch"},
        OutageCase{"watch_1500ms_after", milliseconds(1500), OutageMoment::After, "watch"},
        OutageCase{"watch_3500ms_before", milliseconds(3500), OutageMoment::Before, "watch"},
        OutageCase{"watch_3500ms_during", milliseconds(3500), OutageMoment::During, "watch"},
        OutageCase{"watch_3500ms_after", milliseconds(3500), OutageMoment::After, "watch"},
        OutageCase{"watch_20s_before", milliseconds(20000), OutageMoment::Before, "watch"},
        OutageCase{"watch_20s_during", milliseconds(20000), OutageMoment::During, "watch"},
        OutageCase{"watch_20s_after", milliseconds(20000), OutageMoment::After, "watch"}),
    outage_name);

}  // namespace
