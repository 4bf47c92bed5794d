// The device link end to end: conmon transports and the device-information
// worker over the AVN API, against avn-sim's conmon server and its simulated
// units, in-process.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "avn/api/avn_access.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/device_info_worker.h"
#include "device/message_queue.h"
#include "device/parameters.h"
#include "sim/sim_network.h"
#include "tests/avn/runtime/fake_cmm_service.h"

namespace {

using Bytes = std::vector<uint8_t>;

sim::SimOptions network_options() {
    sim::SimOptions options = sim::options_on_free_ports();
    sim::Tpx2UnitSettings stage;
    stage.name = "TPX2-Stage";
    sim::Tpx2UnitSettings rack;
    rack.name = "TPX2-Rack";
    rack.bootloader_version = 0;
    rack.application_version = 0x00020001;
    sim::Tpx2UnitSettings muted;
    muted.name = "TPX2-Muted";
    options.units = {stage, rack, muted};
    options.muted_devices = {"TPX2-Muted"};
    return options;
}

class DeviceLinkSim : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cmm_ = new FakeCmmService;
        network_ = new sim::SimNetwork(network_options());
        started_ = network_->start();
        if (started_ == AUD_SUCCESS) {
            avn_api_options options;
            options.cmm_port = cmm_->port();
            options.conmon_port = network_->conmon_port();
            started_ = start_avn_api(&options);
        }
    }
    static void TearDownTestSuite() {
        stop_avn_api();
        network_->stop();
        delete network_;
        delete cmm_;
    }
    void SetUp() override {
        ASSERT_EQ(started_, AUD_SUCCESS);
        start_device_info_worker();
    }
    void TearDown() override { stop_device_info_worker(); }

    static FakeCmmService* cmm_;
    static sim::SimNetwork* network_;
    static aud_error started_;
};

FakeCmmService* DeviceLinkSim::cmm_ = nullptr;
sim::SimNetwork* DeviceLinkSim::network_ = nullptr;
aud_error DeviceLinkSim::started_ = AUD_ERR_NOTINITIALISED;

// Every message up to and including WM_APP_QUERY_DONE.
std::vector<WindowMessage> answers(MessageQueue& window) {
    std::vector<WindowMessage> out;
    while (auto m = window.wait(15000)) {
        out.push_back(*m);
        if (m->message == WM_APP_QUERY_DONE) {
            break;
        }
    }
    return out;
}

void query(MessageQueue& window, const wchar_t* name) {
    auto request = std::make_unique<DeviceInfoRequest>();
    request->window = window.target();
    request->transport = std::make_unique<ConMonTransport>(name);
    queue_device_info_request(std::move(request));
}

struct VersionCase {
    const char* name;
    const wchar_t* device;
    std::vector<WindowMessage> expected;
};

class DeviceLinkSimVersions : public DeviceLinkSim,
                              public ::testing::WithParamInterface<VersionCase> {};

TEST_P(DeviceLinkSimVersions, WorkerReportsTheUnitsVersions) {
    MessageQueue window;
    query(window, GetParam().device);
    EXPECT_EQ(answers(window), GetParam().expected);
}

const WindowMessage kDone{WM_APP_QUERY_DONE, 0, 0};
const WindowMessage kNoBootloader{WM_APP_BOOTLOADER_NOT_FOUND, 0, 0};
const WindowMessage kNoApplication{WM_APP_APPLICATION_VERSION, 0, -1};

INSTANTIATE_TEST_SUITE_P(
    Units, DeviceLinkSimVersions,
    ::testing::Values(
        VersionCase{"unit",
                    L"TPX2-Stage",
                    {{WM_APP_BOOTLOADER_VERSION, 0x0205, 0},
                     {WM_APP_APPLICATION_VERSION, 0, 0x00010003},
                     kDone}},
        VersionCase{"name_in_other_case",
                    L"tpx2-STAGE",
                    {{WM_APP_BOOTLOADER_VERSION, 0x0205, 0},
                     {WM_APP_APPLICATION_VERSION, 0, 0x00010003},
                     kDone}},
        VersionCase{"no_bootloader_version",
                    L"TPX2-Rack",
                    {kNoBootloader, {WM_APP_APPLICATION_VERSION, 0, 0x00020001}, kDone}},
        VersionCase{"unit_not_answering", L"TPX2-Muted", {kNoBootloader, kNoApplication, kDone}},
        VersionCase{"no_such_device", L"Nobody", {kNoBootloader, kNoApplication, kDone}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A connected unit's transport and a version query of another unit run on
// different threads at once; the AVN API mutex keeps them apart.
TEST_F(DeviceLinkSim, ParameterLinkAndVersionQueryShareTheAvnApi) {
    ConMonTransport stage(L"TPX2-Stage");
    ASSERT_TRUE(stage.open(5000));

    MessageQueue window;
    query(window, L"TPX2-Rack");

    std::vector<ParameterValue> reported;
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(
            stage.write_channel(encode_request_all(), ChannelTransport::kParameterChannel, 1000));
        Bytes buffer(256);
        buffer.resize(stage.read_channel(buffer, ChannelTransport::kParameterChannel, 2000));
        reported = parse_parameter_report(buffer);
        EXPECT_EQ(reported.size(), kAllParameters.size()) << "round " << round;
    }
    EXPECT_EQ(answers(window),
              (std::vector<WindowMessage>{
                  kNoBootloader, {WM_APP_APPLICATION_VERSION, 0, 0x00020001}, kDone}));
    ASSERT_EQ(reported.size(), kAllParameters.size());
    const auto expected = sim::default_parameter_values();
    for (size_t i = 0; i < reported.size(); ++i) {
        EXPECT_EQ(reported[i].id, i + 1);
        EXPECT_EQ(reported[i].value, expected[i]);
    }
}

}  // namespace
