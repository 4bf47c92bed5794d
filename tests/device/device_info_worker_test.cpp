#include "device/device_info_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "device/app_messages.h"
#include "device/frame_codec.h"
#include "device/framed_command.h"
#include "device/message_queue.h"
#include "tests/device/fake_transport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// How long a request may take at most: the exchanges below are answered at
// once or not at all (5 attempts 500 ms apart).
constexpr uint32_t kRequestLimitMs = 8000;

Bytes frame_of(Bytes message) {
    const uint16_t crc = crc16_xmodem(message);
    message.push_back(static_cast<uint8_t>(crc));
    message.push_back(static_cast<uint8_t>(crc >> 8));
    Bytes out(kFrameBufferSize);
    out.resize(encode_frame(message, out));
    return out;
}

// The command type of a framed command the worker wrote.
std::optional<uint8_t> command_type(const Bytes& frame) {
    FrameDecoder decoder;
    if (!decoder.feed(frame) || decoder.frame().empty()) {
        return std::nullopt;
    }
    return decoder.frame()[0];
}

// How a simulated unit answers the two version queries: the reply payload,
// or nothing for no answer.
struct Unit {
    std::optional<Bytes> bootloader;
    std::optional<Bytes> application;
};

FakeTransport::Responder answer_as(const Unit& unit) {
    return [unit](FakeTransport& t, const FakeTransport::Written& written) {
        const auto type = command_type(written.message);
        const std::optional<Bytes>* reply = nullptr;
        if (type == CMD_BOOTLOADER_VERSION) {
            reply = &unit.bootloader;
        } else if (type == CMD_APPLICATION_VERSION) {
            reply = &unit.application;
        }
        if (reply != nullptr && reply->has_value()) {
            Bytes message{*type};
            message.insert(message.end(), (*reply)->begin(), (*reply)->end());
            t.queue_incoming(0, frame_of(message));
        }
        return true;
    };
}

// A transport whose open reports that it was entered, then (if gated) waits.
// A transport whose open reports that it was entered, then (if gated)
// waits, and whose deletion is signalled.
class WatchedTransport : public FakeTransport {
public:
    WatchedTransport(std::atomic<bool>* deleted, SyncEvent* gone, TransportFate* fate)
        : FakeTransport(deleted, fate), gone_(gone) {}
    ~WatchedTransport() override {
        record_deletion();
        gone_->set();
    }
    bool open(uint32_t limit) override {
        entered.set();
        return FakeTransport::open(limit);
    }
    SyncEvent entered{SyncEvent::Reset::Manual};

private:
    SyncEvent* gone_;
};

struct Request {
    MessageQueue window;
    std::atomic<bool> deleted{false};
    TransportFate fate;
    SyncEvent gone{SyncEvent::Reset::Manual};
    WatchedTransport* transport = nullptr;  // valid until deleted

    std::unique_ptr<DeviceInfoRequest> make(const Unit& unit, bool opens = true) {
        auto t = std::make_unique<WatchedTransport>(&deleted, &gone, &fate);
        t->responder = answer_as(unit);
        t->open_result = opens;
        transport = t.get();
        auto request = std::make_unique<DeviceInfoRequest>();
        request->window = window.target();
        request->transport = std::move(t);
        return request;
    }

    // Every message up to and including WM_APP_QUERY_DONE.
    std::vector<WindowMessage> answers() {
        std::vector<WindowMessage> out;
        while (auto m = window.wait(kRequestLimitMs)) {
            out.push_back(*m);
            if (m->message == WM_APP_QUERY_DONE) {
                break;
            }
        }
        return out;
    }
};

class Worker : public ::testing::Test {
protected:
    void SetUp() override { start_device_info_worker(); }
    void TearDown() override { stop_device_info_worker(); }
};

WindowMessage bootloader(uintptr_t version) { return {WM_APP_BOOTLOADER_VERSION, version, 0}; }
WindowMessage no_bootloader() { return {WM_APP_BOOTLOADER_NOT_FOUND, 0, 0}; }
WindowMessage application(intptr_t version) { return {WM_APP_APPLICATION_VERSION, 0, version}; }
WindowMessage done() { return {WM_APP_QUERY_DONE, 0, 0}; }

struct UnitCase {
    const char* name;
    Unit unit;
    bool opens;
    std::vector<WindowMessage> expected;
};

class WorkerAnswers : public Worker, public ::testing::WithParamInterface<UnitCase> {};

TEST_P(WorkerAnswers, PostsTheVersionsAndClosesTheLink) {
    const UnitCase& c = GetParam();
    Request request;
    queue_device_info_request(request.make(c.unit, c.opens));
    EXPECT_EQ(request.answers(), c.expected);
    // The transport is closed, then deleted, once the request is done.
    EXPECT_TRUE(request.gone.wait_for(2000));
    EXPECT_EQ(request.fate.closes, c.opens ? 1 : 0);
    EXPECT_FALSE(request.fate.open_when_deleted);
}

const Bytes k25{0x02, 0x05};               // bootloader 2.5
const Bytes k0{0x00, 0x00};                // bootloader 0
const Bytes k13{0x03, 0x00, 0x01, 0x00};   // application 1.3
const Bytes kApp0{0x00, 0x00, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Units, WorkerAnswers,
    ::testing::Values(
        UnitCase{"both_versions", {k25, k13}, true, {bootloader(0x0205), application(0x00010003), done()}},
        UnitCase{"no_bootloader_version", {k0, k13}, true, {no_bootloader(), application(0x00010003), done()}},
        UnitCase{"application_never_answers", {k25, std::nullopt}, true,
                 {bootloader(0x0205), application(-1), done()}},
        UnitCase{"application_zero_with_bootloader", {k25, kApp0}, true,
                 {bootloader(0x0205), application(0), done()}},
        UnitCase{"application_zero_without_bootloader", {k0, kApp0}, true,
                 {no_bootloader(), application(-1), done()}},
        // Replies too short to hold a version are never taken for one.
        UnitCase{"short_bootloader_reply", {Bytes{0x02}, k13}, true,
                 {no_bootloader(), application(0x00010003), done()}},
        UnitCase{"short_application_reply", {k25, Bytes{0x03, 0x00}}, true,
                 {bootloader(0x0205), application(-1), done()}},
        UnitCase{"never_answers", {std::nullopt, std::nullopt}, true, {no_bootloader(), application(-1), done()}},
        UnitCase{"link_not_opened", {k25, k13}, false, {no_bootloader(), application(-1), done()}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A link that could not be opened because the service is down says so in
// both "not found" answers, so that the window does not blame the unit.
TEST_F(Worker, ALinkRefusedByTheServiceSaysSo) {
    Request request;
    auto made = request.make({k25, k13}, false);
    request.transport->service_down_result = true;
    queue_device_info_request(std::move(made));
    EXPECT_EQ(request.answers(),
              (std::vector<WindowMessage>{{WM_APP_BOOTLOADER_NOT_FOUND, kLinkServiceDown, 0},
                                          {WM_APP_APPLICATION_VERSION, kLinkServiceDown, -1},
                                          done()}));
    EXPECT_TRUE(request.gone.wait_for(2000));  // the worker is done with the request
}

// A burst of requests while the worker is busy is served once, for the last.
TEST_F(Worker, ServesOnlyTheNewestOfTheWaitingRequests) {
    SyncEvent gate{SyncEvent::Reset::Manual};
    Request busy;
    auto first = busy.make({k25, k13});
    busy.transport->open_gate = &gate;
    queue_device_info_request(std::move(first));
    ASSERT_TRUE(busy.transport->entered.wait_for(2000));

    Request older1, older2, newest;
    queue_device_info_request(older1.make({k25, k13}));
    queue_device_info_request(older2.make({k25, k13}));
    queue_device_info_request(newest.make({k0, k13}));
    gate.set();

    EXPECT_EQ(busy.answers(), (std::vector{bootloader(0x0205), application(0x00010003), done()}));
    EXPECT_EQ(newest.answers(), (std::vector{no_bootloader(), application(0x00010003), done()}));
    EXPECT_TRUE(older1.deleted);
    EXPECT_TRUE(older2.deleted);
    EXPECT_EQ(older1.window.size(), 0u);
    EXPECT_EQ(older2.window.size(), 0u);
    // The worker frees the served transports after its last answer; the
    // requests they signal must outlive that.
    EXPECT_TRUE(busy.gone.wait_for(2000));
    EXPECT_TRUE(newest.gone.wait_for(2000));
}

// Stopping ends the request in progress and frees the queued ones unasked.
TEST_F(Worker, StopFreesQueuedRequestsWithoutAnswers) {
    SyncEvent gate{SyncEvent::Reset::Manual};
    Request busy;
    auto first = busy.make({k25, k13}, false);
    busy.transport->open_gate = &gate;
    queue_device_info_request(std::move(first));
    ASSERT_TRUE(busy.transport->entered.wait_for(2000));
    Request queued1, queued2;
    queue_device_info_request(queued1.make({k25, k13}));
    queue_device_info_request(queued2.make({k25, k13}));

    std::thread stopper([] { stop_device_info_worker(); });
    // Let the request in progress go on only once the stop is asked: from
    // then on a new request is refused (freed at once) instead of queued.
    std::vector<std::unique_ptr<Request>> probes;
    for (int i = 0; i < 2000; ++i) {
        probes.push_back(std::make_unique<Request>());
        queue_device_info_request(probes.back()->make({k25, k13}));
        if (probes.back()->deleted) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    gate.set();
    stopper.join();

    EXPECT_EQ(busy.answers(), (std::vector{no_bootloader(), application(-1), done()}));
    EXPECT_TRUE(queued1.deleted);
    EXPECT_TRUE(queued2.deleted);
    EXPECT_EQ(queued1.window.size(), 0u);
    EXPECT_EQ(queued2.window.size(), 0u);
    for (const auto& probe : probes) {
        EXPECT_TRUE(probe->deleted);
        EXPECT_EQ(probe->window.size(), 0u);
    }
}

TEST(WorkerStopped, QueueingWithoutAWorkerFreesTheRequest) {
    Request request;
    queue_device_info_request(request.make({k25, k13}));
    EXPECT_TRUE(request.deleted);
    EXPECT_EQ(request.window.size(), 0u);
}

}  // namespace
