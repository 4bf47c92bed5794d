// tpx2ctl's commands end to end against avn-sim in-process: what a script
// sees on standard output and standard error, and the exit statuses.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <thread>

#include "cli/cli_runner.h"
#include "device/parameter_thread.h"
#include "sim/sim_network.h"
#include "tests/avn/domain/closed_port_probe.h"

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

// An output stream another thread may read while the command writes to it.
class SharedOutput : public std::streambuf {
public:
    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

protected:
    int overflow(int c) override {
        if (c != traits_type::eof()) {
            std::lock_guard lock(mutex_);
            text_ += static_cast<char>(c);
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard lock(mutex_);
        text_.append(s, static_cast<size_t>(n));
        return n;
    }

private:
    std::mutex mutex_;
    std::string text_;
};

class CliWithSim : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SimOptions options;
        options.conmon.port = 0;
        options.cmm.port = 0;
        options.quiet = true;
        sim::Tpx2UnitSettings stage;
        stage.name = "TPX2-Stage";
        sim::Tpx2UnitSettings booth;
        booth.name = "TPX2-Booth";
        booth.bootloader_version = 0;
        options.units = {stage, booth};
        options.devices = {{"Desk", "Acme", 4}};
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
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
        const CliParseResult parsed = parse_cli_arguments(full);
        if (!parsed.options) {
            return {kExitUsage, "", parsed.error};
        }
        std::ostringstream out;
        std::ostringstream err;
        const int status = run_cli_command(*parsed.options, out, err, interrupted_);
        return {status, out.str(), err.str()};
    }

    std::unique_ptr<sim::SimNetwork> network_;
    std::atomic<bool> interrupted_{false};
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
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"get", "TPX2-Stage"}, {"set", "TPX2-Stage", "Mode=1"}}) {
        const CliRun r = run(command);
        EXPECT_EQ(r.status, kExitServicesUnavailable) << command[0] << " (closed)";
        EXPECT_EQ(r.err, expected) << command[0];
    }
}

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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

}  // namespace
