// The TLS TCP client against an in-process TLS server on loopback that
// presents certificates of avn-sim's test authority. The test thread plays
// the AVN event-loop thread: it waits (bounded) for the client's event-queue
// socket and lets the client process its events.
#include "avn/domain/tls_tcp_client.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "avn/domain/dm_frame.h"
#include "avn/domain/tls_event_queue.h"
#include "avn/domain/x509_fingerprint.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/byte_order.h"
#include "avn/runtime/socket.h"
#include "tls_test_authority.h"

namespace {

using namespace std::chrono_literals;
using tcp = asio::ip::tcp;
using Bytes = std::vector<uint8_t>;

constexpr auto kWait = 10s;     // for what must happen
constexpr auto kQuiet = 300ms;  // for what must not

Bytes frame(uint32_t sync, uint32_t type, const Bytes& payload) {
    Bytes out(DM_FRAME_HEADER_SIZE + payload.size());
    byte_order::store_be32(out.data(), sync);
    byte_order::store_be32(out.data() + 4, type);
    byte_order::store_be32(out.data() + 8, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), out.begin() + DM_FRAME_HEADER_SIZE);
    return out;
}

Bytes pattern(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return out;
}

// A TLS server on its own thread. It accepts connection after connection
// (one at a time: a new one replaces the last), performs the handshake and
// collects the bytes that the client sends. The test thread waits on it
// with time limits.
class TlsServer {
  public:
    TlsServer(const char* certificate, const char* key,
              const asio::ip::address& address = asio::ip::make_address("127.0.0.1"))
        : context_(asio::ssl::context::tls_server), acceptor_(io_) {
        context_.use_certificate_chain(asio::buffer(std::string_view(certificate)));
        context_.use_private_key(asio::buffer(std::string_view(key)), asio::ssl::context::pem);
        const tcp::endpoint endpoint(address, 0);
        acceptor_.open(endpoint.protocol());
        acceptor_.bind(endpoint);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }

    ~TlsServer() {
        io_.stop();
        thread_.join();
    }

    uint16_t port() const { return port_; }

    int accepted() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }

    // The number of successful handshakes once it reaches `count`, or
    // whatever it is when the time is up.
    int wait_handshakes(int count, std::chrono::milliseconds limit = kWait) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return handshakes_ >= count; });
        return handshakes_;
    }

    bool wait_handshake_failure() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return handshake_failures_ > 0; });
    }

    // The next `count` bytes the client sent, or none when they do not come.
    std::optional<Bytes> read(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, kWait, [&] { return received_.size() >= count; })) {
            return std::nullopt;
        }
        Bytes out(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(count));
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(count));
        return out;
    }

    // Whether the client ended the current connection.
    bool wait_peer_closed() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return peer_closed_; });
    }

    void send(Bytes bytes) {
        asio::post(io_, [this, bytes = std::move(bytes)]() mutable {
            outgoing_.push_back(std::move(bytes));
            if (outgoing_.size() == 1) {
                write_next();
            }
        });
    }

    void close() {
        asio::post(io_, [this] {
            if (session_) {
                asio::error_code ignored;
                session_->lowest_layer().shutdown(tcp::socket::shutdown_both, ignored);
                session_->lowest_layer().close(ignored);
            }
        });
    }

  private:
    using Stream = asio::ssl::stream<tcp::socket>;

    void accept() {
        acceptor_.async_accept([this](const asio::error_code& error, tcp::socket socket) {
            if (error) {
                return;
            }
            auto session = std::make_shared<Stream>(std::move(socket), context_);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                ++accepted_;
                received_.clear();
                peer_closed_ = false;
            }
            session_ = session;
            outgoing_.clear();
            session->async_handshake(asio::ssl::stream_base::server,
                                     [this, session](const asio::error_code& handshake_error) {
                                         handshaken(session, handshake_error);
                                     });
            accept();
        });
    }

    void handshaken(const std::shared_ptr<Stream>& session, const asio::error_code& error) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++(error ? handshake_failures_ : handshakes_);
        }
        changed_.notify_all();
        if (!error) {
            read_some(session);
        }
    }

    void read_some(const std::shared_ptr<Stream>& session) {
        auto buffer = std::make_shared<std::array<uint8_t, 65536>>();
        session->async_read_some(
            asio::buffer(*buffer),
            [this, session, buffer](const asio::error_code& error, size_t length) {
                {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    if (session != session_) {
                        return;
                    }
                    if (error) {
                        peer_closed_ = true;
                    } else {
                        received_.insert(received_.end(), buffer->begin(),
                                         buffer->begin() + static_cast<std::ptrdiff_t>(length));
                    }
                }
                changed_.notify_all();
                if (!error) {
                    read_some(session);
                }
            });
    }

    void write_next() {
        auto session = session_;
        asio::async_write(*session, asio::buffer(outgoing_.front()),
                          [this, session](const asio::error_code& error, size_t) {
                              if (session != session_) {
                                  return;
                              }
                              outgoing_.pop_front();
                              if (!error && !outgoing_.empty()) {
                                  write_next();
                              }
                          });
    }

    asio::io_context io_;
    asio::ssl::context context_;
    tcp::acceptor acceptor_;
    uint16_t port_ = 0;
    std::shared_ptr<Stream> session_;  // server thread
    std::deque<Bytes> outgoing_;       // server thread
    std::mutex mutex_;
    std::condition_variable changed_;
    Bytes received_;
    int accepted_ = 0;
    int handshakes_ = 0;
    int handshake_failures_ = 0;
    bool peer_closed_ = false;
    std::thread thread_;
};

struct Message {
    uint32_t type;
    Bytes payload;
    bool operator==(const Message&) const = default;
};

struct Recorded {
    std::vector<int> states;
    std::vector<Message> messages;
};

void record_state(tls_tcp_client*, int state, void* context) {
    static_cast<Recorded*>(context)->states.push_back(state);
}

void record_message(tls_tcp_client*, uint32_t type, const uint8_t* data, size_t length,
                    void* context) {
    static_cast<Recorded*>(context)->messages.push_back({type, Bytes(data, data + length)});
}

std::vector<int> states(std::initializer_list<int> list) {
    return list;
}

class TlsTcpClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_acquire(&env_), AUD_SUCCESS);  // starts the socket layer
        client_ = tls_tcp_client_new(env_);
        ASSERT_NE(client_, nullptr);
        ASSERT_EQ(tls_tcp_client_set_ca_certificate(client_, k_test_ca_pem), AUD_SUCCESS);
        tls_tcp_client_set_context(client_, &recorded_);
        tls_tcp_client_set_state_callback(client_, record_state);
        tls_tcp_client_set_message_callback(client_, record_message);
    }

    void TearDown() override {
        tls_tcp_client_delete(client_);
        aud_env_release(env_);
    }

    // One step of the AVN thread: wait a little for the event queue, then
    // process it.
    void step() {
        aud_fd_set set;
        aud_fd_set_clear(&set);
        tls_tcp_client_get_sockets(client_, &set);
        ASSERT_EQ(set.count, 1);
        const aud_time slice{0, 20000};
        aud_socket_wait_readable(set.sockets[0], &slice);
        ASSERT_EQ(tls_tcp_client_process_events(client_), AUD_SUCCESS);
    }

    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            step();
        }
        return true;
    }

    void run_for(std::chrono::milliseconds duration) {
        run_until([] { return false; }, duration);
    }

    bool run_until_states(size_t count) {
        return run_until([&] { return recorded_.states.size() >= count; });
    }

    // Connects to the server and waits for "connected".
    void connect(const TlsServer& server) {
        const size_t before = recorded_.states.size();
        tls_tcp_client_connect(client_, "127.0.0.1", server.port());
        ASSERT_TRUE(run_until_states(before + 2));
        ASSERT_EQ(recorded_.states.back(), TLS_TCP_CLIENT_CONNECTED);
    }

    // A frame from the server, as the client reads it.
    void expect_delivered(TlsServer& server, const Message& message) {
        const size_t before = recorded_.messages.size();
        server.send(frame(DM_FRAME_SYNC_FROM_SERVER, message.type, message.payload));
        ASSERT_TRUE(run_until([&] { return recorded_.messages.size() > before; }));
        EXPECT_EQ(recorded_.messages.back(), message);
    }

    aud_env* env_ = nullptr;
    tls_tcp_client* client_ = nullptr;
    Recorded recorded_;
};

TEST_F(TlsTcpClient, ReportsConnectingThenConnectedAndItsEndpoints) {
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    aud_socket_address address{};
    EXPECT_EQ(tls_tcp_client_get_endpoint(client_, true, &address), AUD_ERR_NOTCONN);

    tls_tcp_client_connect(client_, "127.0.0.1", server.port());
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING}));  // at once
    EXPECT_EQ(tls_tcp_client_get_endpoint(client_, true, &address), AUD_ERR_NOTCONN);
    ASSERT_TRUE(run_until_states(2));
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_CONNECTED}));
    EXPECT_EQ(server.wait_handshakes(1), 1);

    ASSERT_EQ(tls_tcp_client_get_endpoint(client_, true, &address), AUD_SUCCESS);
    EXPECT_EQ(aud_socket_address_get_ipv4(&address), 0x7F000001u);
    EXPECT_EQ(aud_socket_address_get_port(&address), server.port());
    ASSERT_EQ(tls_tcp_client_get_endpoint(client_, false, &address), AUD_SUCCESS);
    EXPECT_EQ(aud_socket_address_get_ipv4(&address), 0x7F000001u);
    EXPECT_NE(aud_socket_address_get_port(&address), 0);
    EXPECT_NE(aud_socket_address_get_port(&address), server.port());
    EXPECT_EQ(tls_tcp_client_get_endpoint(client_, false, nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST_F(TlsTcpClient, FramesTravelBothWaysExactly) {
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    connect(server);

    // The first message of a Domain Manager session, byte for byte.
    const uint8_t zeros[4] = {0, 0, 0, 0};
    tls_tcp_client_send(client_, 5, zeros, sizeof zeros);
    EXPECT_EQ(server.read(16), Bytes({0xB9, 0x1A, 0x37, 0x26, 0, 0, 0, 5, 0, 0, 0, 4, 0, 0, 0, 0}));
    // And one from the server.
    server.send({0xB9, 0x1A, 0x37, 0x25, 0, 0, 0, 3, 0, 0, 0, 2, 0xAB, 0xCD});
    ASSERT_TRUE(run_until([&] { return !recorded_.messages.empty(); }));
    EXPECT_EQ(recorded_.messages.back(), (Message{3, {0xAB, 0xCD}}));

    const struct {
        const char* name;
        uint32_t type;
        size_t size;
    } cases[] = {
        {"empty payload", 6, 0},
        {"one byte", 2, 1},
        {"type with every byte used", 0x01020304, 17},
        {"larger than a TLS record", 2, 70000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes payload = pattern(c.size);
        tls_tcp_client_send(client_, c.type, payload.data(), payload.size());
        EXPECT_EQ(server.read(DM_FRAME_HEADER_SIZE + c.size),
                  frame(DM_FRAME_SYNC_TO_SERVER, c.type, payload));
        expect_delivered(server, {c.type, payload});
    }
}

TEST_F(TlsTcpClient, SendsLeaveInTheOrderSent) {
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    connect(server);
    // The first is still being written when the second is queued.
    const Bytes big = pattern(2 * 1024 * 1024);
    const Bytes small = {1, 2, 3};
    tls_tcp_client_send(client_, 2, big.data(), big.size());
    tls_tcp_client_send(client_, 6, nullptr, 0);
    tls_tcp_client_send(client_, 2, small.data(), small.size());
    EXPECT_EQ(server.read(DM_FRAME_HEADER_SIZE + big.size()),
              frame(DM_FRAME_SYNC_TO_SERVER, 2, big));
    EXPECT_EQ(server.read(DM_FRAME_HEADER_SIZE), frame(DM_FRAME_SYNC_TO_SERVER, 6, {}));
    EXPECT_EQ(server.read(DM_FRAME_HEADER_SIZE + small.size()),
              frame(DM_FRAME_SYNC_TO_SERVER, 2, small));
}

// Whatever ends a connection from the server's side leaves the client idle
// with "disconnected" reported, nothing delivered, and ready to connect again.
TEST_F(TlsTcpClient, ConnectionEndsOnBadInputOrServerCloseAndCanBeReopened) {
    const struct {
        const char* name;
        Bytes sent;  // by the server; none: it closes the connection
        const char* printed;
    } cases[] = {
        {"the client's own sync value", frame(0xB91A3726, 3, {1, 2, 3, 4}),
         "Bad Sync String (expected=3105503013, received=3105503014).\n"},
        {"another sync value", frame(0, 3, {}),
         "Bad Sync String (expected=3105503013, received=0).\n"},
        // Only the headers are sent: the length alone must end it, before
        // any allocation of that size.
        {"payload one above the limit",
         {0xB9, 0x1A, 0x37, 0x25, 0, 0, 0, 3, 0x00, 0x02, 0x00, 0x01},
         "Bad Frame Length (limit=131072, received=131073).\n"},
        {"payload of 4 GiB",
         {0xB9, 0x1A, 0x37, 0x25, 0, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0xFF},
         "Bad Frame Length (limit=131072, received=4294967295).\n"},
        {"server closes", {}, ""},
    };
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    int connections = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recorded_ = {};
        connect(server);
        ++connections;
        ASSERT_EQ(server.wait_handshakes(connections), connections);

        testing::internal::CaptureStdout();
        if (c.sent.empty()) {
            server.close();
        } else {
            server.send(c.sent);
        }
        const bool ended = run_until_states(3);
        const std::string printed = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ended);
        EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_CONNECTED,
                                            TLS_TCP_CLIENT_DISCONNECTED}));
        EXPECT_EQ(printed, c.printed);
        EXPECT_TRUE(recorded_.messages.empty());
        aud_socket_address address{};
        EXPECT_EQ(tls_tcp_client_get_endpoint(client_, true, &address), AUD_ERR_NOTCONN);
        if (!c.sent.empty()) {
            EXPECT_TRUE(server.wait_peer_closed());
        }
    }
    // The last connection's leftovers do not disturb the next one.
    recorded_ = {};
    connect(server);
    run_for(kQuiet);
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_CONNECTED}));
    expect_delivered(server, {2, {9, 8, 7}});
}

TEST_F(TlsTcpClient, DisconnectReportsOnlyWhenAConnectionIsOpenOrOpening) {
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    tls_tcp_client_disconnect(client_);  // idle
    EXPECT_TRUE(recorded_.states.empty());

    connect(server);
    tls_tcp_client_disconnect(client_);
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_CONNECTED,
                                        TLS_TCP_CLIENT_DISCONNECTED}));  // at once
    EXPECT_TRUE(server.wait_peer_closed());
    tls_tcp_client_disconnect(client_);
    uint8_t byte = 1;
    tls_tcp_client_send(client_, 2, &byte, 1);  // no connection: nothing
    run_for(kQuiet);
    EXPECT_EQ(recorded_.states.size(), 3u);

    // Given up while connecting: the attempt's results are dropped.
    recorded_ = {};
    tls_tcp_client_connect(client_, "127.0.0.1", server.port());
    tls_tcp_client_disconnect(client_);
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_DISCONNECTED}));
    run_for(kQuiet);
    EXPECT_EQ(recorded_.states.size(), 2u);

    // Still usable.
    recorded_ = {};
    connect(server);
}

TEST_F(TlsTcpClient, ConnectIsIgnoredWhileConnectingOrConnected) {
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    TlsServer other(k_dm_server_pem, k_dm_server_key);
    tls_tcp_client_connect(client_, "127.0.0.1", server.port());
    tls_tcp_client_connect(client_, "127.0.0.1", other.port());
    ASSERT_TRUE(run_until_states(2));
    tls_tcp_client_connect(client_, "127.0.0.1", other.port());
    run_for(kQuiet);
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_CONNECTED}));
    EXPECT_EQ(server.accepted(), 1);
    EXPECT_EQ(other.accepted(), 0);
}

// The server's certificate: its chain must lead to the CA certificate, and
// with a pin the server's own public key must be the pinned one.
TEST_F(TlsTcpClient, ServerIsCheckedAgainstTheAuthorityAndThePin) {
    const std::string server_key = get_x509_fingerprint_pem(k_dm_server_pem);
    const std::string untrusted_key = get_x509_fingerprint_pem(k_dm_untrusted_pem);
    ASSERT_FALSE(server_key.empty());
    ASSERT_FALSE(untrusted_key.empty());
    std::string stored_pin = k_dm_pinned_pin;
    while (!stored_pin.empty() && (stored_pin.back() == '\n' || stored_pin.back() == '\r')) {
        stored_pin.pop_back();
    }
    const struct {
        const char* name;
        const char* certificate;
        const char* key;
        std::string pin;
        bool accepted;
    } cases[] = {
        {"chain verifies, no pin", k_dm_other_pem, k_dm_other_key, "", true},
        {"pin matches", k_dm_server_pem, k_dm_server_key, server_key, true},
        {"pin from the stored pin file", k_dm_pinned_pem, k_dm_pinned_key, stored_pin, true},
        {"untrusted root", k_dm_untrusted_pem, k_dm_untrusted_key, "", false},
        {"untrusted root with its own key pinned", k_dm_untrusted_pem, k_dm_untrusted_key,
         untrusted_key, false},
        {"chain verifies but another key", k_dm_other_pem, k_dm_other_key, server_key, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recorded_ = {};
        TlsServer server(c.certificate, c.key);
        ASSERT_EQ(tls_tcp_client_set_pinned_public_key(client_, c.pin.c_str()), AUD_SUCCESS);
        testing::internal::CaptureStdout();
        tls_tcp_client_connect(client_, "127.0.0.1", server.port());
        const bool done = run_until_states(2);
        const std::string printed = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(done);
        if (c.accepted) {
            EXPECT_EQ(recorded_.states,
                      states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_CONNECTED}));
            EXPECT_EQ(printed, "");
            EXPECT_EQ(server.wait_handshakes(1), 1);
            tls_tcp_client_disconnect(client_);
        } else {
            EXPECT_EQ(recorded_.states,
                      states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_DISCONNECTED}));
            EXPECT_EQ(printed.rfind("Handshake failed: ", 0), 0u) << printed;
            EXPECT_TRUE(server.wait_handshake_failure());
            EXPECT_EQ(server.wait_handshakes(1, 0ms), 0);
        }
    }
}

TEST_F(TlsTcpClient, ConnectFailsWhenNothingListens) {
    uint16_t port = 0;
    {
        asio::io_context io;
        tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        port = probe.local_endpoint().port();
    }
    testing::internal::CaptureStdout();
    tls_tcp_client_connect(client_, "127.0.0.1", port);
    const bool done = run_until_states(2);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done);
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_DISCONNECTED}));
    EXPECT_EQ(printed.rfind("Connect failed: ", 0), 0u) << printed;
}

// "localhost" resolves to two addresses where the hosts file says so (the
// test registered under unshare in tests/CMakeLists.txt arranges that); the
// server listens on the second only, so the first refuses.
TEST_F(TlsTcpClient, TwoAddressesReachesTheSecondWhenTheFirstRefuses) {
    asio::io_context io;
    tcp::resolver resolver(io);
    asio::error_code error;
    const auto results = resolver.resolve("localhost", "0", tcp::resolver::numeric_service, error);
    std::vector<tcp::endpoint> endpoints;
    for (const auto& entry : results) {
        endpoints.push_back(entry.endpoint());
    }
    if (endpoints.size() < 2 || endpoints[0].address() == endpoints[1].address()) {
        if (std::getenv("TPX2_TLS_REQUIRE_TWO_ADDRESSES") != nullptr) {
            FAIL() << "localhost does not resolve to two addresses here";
        }
        GTEST_SKIP() << "localhost resolves to one address here";
    }
    TlsServer server(k_dm_server_pem, k_dm_server_key, endpoints[1].address());
    tls_tcp_client_connect(client_, "localhost", server.port());
    ASSERT_TRUE(run_until_states(2));
    EXPECT_EQ(recorded_.states, states({TLS_TCP_CLIENT_CONNECTING, TLS_TCP_CLIENT_CONNECTED}));
    EXPECT_EQ(server.wait_handshakes(1), 1);
    aud_socket_address address{};
    if (endpoints[1].address().is_v4()) {
        ASSERT_EQ(tls_tcp_client_get_endpoint(client_, true, &address), AUD_SUCCESS);
        EXPECT_EQ(aud_socket_address_get_ipv4(&address), endpoints[1].address().to_v4().to_uint());
    } else {
        EXPECT_EQ(tls_tcp_client_get_endpoint(client_, true, &address), AUD_ERR_AFNOSUPPORT);
    }
}

TEST_F(TlsTcpClient, DeleteWhileConnectedOrConnecting) {
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    connect(server);
    tls_tcp_client* second = tls_tcp_client_new(env_);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(tls_tcp_client_set_ca_certificate(second, k_test_ca_pem), AUD_SUCCESS);
    tls_tcp_client_connect(second, "127.0.0.1", server.port());
    EXPECT_EQ(tls_tcp_client_delete(second), AUD_SUCCESS);
    // TearDown deletes the connected one.
}

TEST(TlsTcpClientSetUp, RefusesWhatCannotBeUsed) {
    aud_env* env = nullptr;
    ASSERT_EQ(aud_env_acquire(&env), AUD_SUCCESS);
    tls_tcp_client* client = tls_tcp_client_new(env);
    ASSERT_NE(client, nullptr);
    Recorded recorded;
    tls_tcp_client_set_context(client, &recorded);
    tls_tcp_client_set_state_callback(client, record_state);

    // Not set up: no socket to watch, and connect does nothing.
    aud_fd_set set;
    aud_fd_set_clear(&set);
    tls_tcp_client_get_sockets(client, &set);
    EXPECT_EQ(set.count, 0);
    tls_tcp_client_connect(client, "127.0.0.1", 1);
    EXPECT_TRUE(recorded.states.empty());

    for (const char* pem : {"", "not a certificate", "-----BEGIN CERTIFICATE-----\nAAAA\n"}) {
        SCOPED_TRACE(pem);
        testing::internal::CaptureStdout();
        EXPECT_EQ(tls_tcp_client_set_ca_certificate(client, pem), AUD_ERR_FAULT);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed.rfind("Failed to initialise tls_tcp_client: ", 0), 0u) << printed;
    }
    tls_tcp_client_connect(client, "127.0.0.1", 1);
    EXPECT_TRUE(recorded.states.empty());
    EXPECT_EQ(tls_tcp_client_set_ca_certificate(client, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_set_pinned_public_key(client, nullptr), AUD_ERR_INVALIDPARAMETER);

    ASSERT_EQ(tls_tcp_client_set_ca_certificate(client, k_test_ca_pem), AUD_SUCCESS);
    tls_tcp_client_get_sockets(client, &set);
    EXPECT_EQ(set.count, 1);
    EXPECT_EQ(tls_tcp_client_delete(client), AUD_SUCCESS);
    aud_env_release(env);
}

TEST(TlsTcpClientSetUp, NullHandleIsRefusedOrIgnored) {
    aud_socket_address address{};
    aud_fd_set set;
    aud_fd_set_clear(&set);
    EXPECT_EQ(tls_tcp_client_set_ca_certificate(nullptr, k_test_ca_pem), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_set_pinned_public_key(nullptr, ""), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_set_context(nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_set_state_callback(nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_set_message_callback(nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_process_events(nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_get_endpoint(nullptr, true, &address), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tls_tcp_client_delete(nullptr), AUD_ERR_INVALIDPARAMETER);
    tls_tcp_client_connect(nullptr, "127.0.0.1", 1);
    tls_tcp_client_send(nullptr, 1, nullptr, 0);
    tls_tcp_client_disconnect(nullptr);
    tls_tcp_client_get_sockets(nullptr, &set);
    EXPECT_EQ(set.count, 0);
}

// ---- The event queue ----

class EventQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_acquire(&env_), AUD_SUCCESS);
        ASSERT_EQ(EventQueue::create(&queue_), AUD_SUCCESS);
    }
    void TearDown() override {
        queue_.reset();
        aud_env_release(env_);
    }

    bool readable(std::chrono::milliseconds limit) {
        const aud_time timeout{0, static_cast<int32_t>(limit.count() * 1000)};
        return aud_socket_wait_readable(queue_->receiver(), &timeout) == AUD_SUCCESS;
    }

    aud_env* env_ = nullptr;
    std::unique_ptr<EventQueue> queue_;
};

TEST_F(EventQueueTest, HandlersPostedElsewhereRunInOrderWhereProcessed) {
    const auto processing_thread = std::this_thread::get_id();
    std::vector<int> ran;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            queue_->post([&, i] {
                EXPECT_EQ(std::this_thread::get_id(), processing_thread);
                ran.push_back(i);
            });
        }
    });
    poster.join();
    EXPECT_TRUE(readable(1000ms));
    queue_->process();
    ASSERT_EQ(ran.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(ran[static_cast<size_t>(i)], i);
    }
    EXPECT_FALSE(readable(0ms));  // every wake-up was read
}

TEST_F(EventQueueTest, PostsFromAHandlerRunNextTimeAndDropForgetsThem) {
    int ran = 0;
    queue_->post([&] {
        ++ran;
        queue_->post([&] { ran += 10; });
    });
    queue_->process();
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(readable(1000ms));
    queue_->drop();
    EXPECT_FALSE(readable(0ms));
    queue_->process();
    EXPECT_EQ(ran, 1);
}

// A server that floods the connection while the event loop is busy costs at
// most the queue's bound (and the frame being read): the client stops
// reading, and reads on once the loop has caught up, losing nothing.
TEST_F(TlsTcpClient, AFloodWhileTheEventLoopIsHeldStaysWithinTheBound) {
    TlsServer server(k_dm_server_pem, k_dm_server_key);
    connect(server);
    const Bytes big = pattern(64 * 1024);
    constexpr size_t kBig = 160;     // 10 MiB
    constexpr size_t kEmpty = 4000;  // cheap to send, not free to queue
    for (size_t i = 0; i < kBig; ++i) {
        server.send(frame(DM_FRAME_SYNC_FROM_SERVER, 3, big));
    }
    for (size_t i = 0; i < kEmpty; ++i) {
        server.send(frame(DM_FRAME_SYNC_FROM_SERVER, 2, {}));
    }
    // The event loop is held: nothing is processed.
    std::this_thread::sleep_for(1s);
    const size_t bound = TLS_TCP_CLIENT_MAX_QUEUED_BYTES + DM_FRAME_MAX_PAYLOAD + 64;
    EXPECT_LE(tls_tcp_client_get_queued_bytes(client_), bound);
    EXPECT_GE(tls_tcp_client_get_queued_bytes(client_), TLS_TCP_CLIENT_MAX_QUEUED_BYTES);

    size_t peak = 0;
    ASSERT_TRUE(run_until([&] {
        peak = std::max(peak, tls_tcp_client_get_queued_bytes(client_));
        return recorded_.messages.size() == kBig + kEmpty;
    }, 30s));
    EXPECT_LE(peak, bound);
    EXPECT_EQ(recorded_.messages.front().payload, big);
    EXPECT_EQ(recorded_.messages.back().type, 2u);
    EXPECT_EQ(tls_tcp_client_get_queued_bytes(client_), 0u);
}

}  // namespace
