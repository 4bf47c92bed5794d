#include "avn/domain/tls_tcp_client.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <asio.hpp>
#include <openssl/crypto.h>
#include <asio/ssl.hpp>

#include "avn/domain/dm_diagnostics.h"
#include "avn/domain/dm_frame.h"
#include "avn/domain/tls_event_queue.h"
#include "avn/domain/x509_fingerprint.h"

namespace {

using tcp = asio::ip::tcp;
using tls_stream = asio::ssl::stream<tcp::socket>;
using io_handler = std::function<void(const asio::error_code&)>;

// One outgoing frame. Frames carry the authentication token, so the bytes
// are wiped wherever the frame ends: written, dropped with its connection,
// or discarded unsent with the handler that was to queue it. Move-only, so
// that the frame has exactly one copy on its way to the socket.
class outgoing_frame {
  public:
    explicit outgoing_frame(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    outgoing_frame(outgoing_frame&& other) noexcept : bytes_(std::move(other.bytes_)) {
        other.bytes_.clear();
    }
    outgoing_frame& operator=(outgoing_frame&&) = delete;
    outgoing_frame(const outgoing_frame&) = delete;
    outgoing_frame& operator=(const outgoing_frame&) = delete;
    ~outgoing_frame() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

    asio::const_buffer buffer() const { return asio::buffer(bytes_); }

  private:
    std::vector<uint8_t> bytes_;
};

// Client states.
enum : int {
    STATE_NOT_SET_UP = 0,
    STATE_IDLE = 1,
    STATE_CONNECTING = 2,
    STATE_CONNECTED = 3,
};

// This client's diagnostics go to the standard output, a line at a time.
void print_line(const std::string& line) {
    if (!dm_diagnostics_enabled()) {
        return;
    }
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// What the client tells its owner, on the event-loop thread.
class ITlsTcpClientListener {
  public:
    virtual void on_state(int state) = 0;
    virtual void on_message(uint32_t type, const std::vector<uint8_t>& bytes) = 0;
    virtual ~ITlsTcpClientListener() = default;
};

// What a connection tells its owner, on the network thread, with the
// generation of the attempt that made the connection: a connection of an
// attempt since given up (its start() still queued when the I/O service was
// restarted, say) is told apart from the current one.
class connection_cb : public std::enable_shared_from_this<connection_cb> {
  public:
    virtual void on_error(uint64_t generation, const asio::error_code& error) = 0;
    virtual void on_connected(uint64_t generation) = 0;
    virtual void on_message(uint64_t generation, uint32_t type, std::vector<uint8_t> bytes) = 0;
    // After a message: false to stop reading until resume_reading() is
    // posted to the network thread.
    virtual bool may_read_on() = 0;
    virtual ~connection_cb() = default;
};

// One framed connection. Everything but close() runs on the network thread;
// close() runs while that thread is stopped. The operations in flight hold
// the connection (and through it the socket) alive, so a completion that
// arrives after close() finds it closed and does nothing.
class connection_base : public std::enable_shared_from_this<connection_base> {
  public:
    connection_base(uint64_t generation, uint32_t expected_sync, std::weak_ptr<connection_cb> cb)
        : generation_(generation), expected_sync_(expected_sync), cb_(std::move(cb)) {}
    connection_base(const connection_base&) = delete;
    connection_base& operator=(const connection_base&) = delete;

    virtual tcp::socket& socket() = 0;
    virtual void async_read_exactly(asio::mutable_buffer buffer, io_handler handler) = 0;
    virtual void async_write_all(asio::const_buffer buffer, io_handler handler) = 0;
    virtual ~connection_base() = default;

    void start() {
        open_ = true;
        if (const auto cb = cb_.lock()) {
            cb->on_connected(generation_);
        }
        read_header();
        write_next();
    }

    // Frames queued before start() leave once it runs.
    void queue_write(outgoing_frame frame) {
        writes_.push_back(std::move(frame));
        write_next();
    }

    void close() {
        open_ = false;
        asio::error_code ignored;
        socket().close(ignored);
    }

    // Reading stopped while the event loop had too much to take; it has
    // caught up.
    void resume_reading() {
        if (open_ && paused_) {
            paused_ = false;
            read_header();
        }
    }

  private:
    void read_header() {
        const auto self = shared_from_this();
        async_read_exactly(asio::buffer(header_bytes_),
                           [self](const asio::error_code& error) { self->on_header(error); });
    }

    void on_header(const asio::error_code& error) {
        if (!open_) {
            return;
        }
        if (error) {
            fail(error);
            return;
        }
        dm_frame_parse_header(header_bytes_, &header_);
        switch (dm_frame_check_header(header_, expected_sync_)) {
            case AUD_SUCCESS:
                break;
            case AUD_ERR_INVALIDDATA:
                print_line("Bad Sync String (expected=" + std::to_string(expected_sync_) +
                           ", received=" + std::to_string(header_.sync) + ").");
                fail(std::make_error_code(std::errc::protocol_error));
                return;
            default:
                print_line("Bad Frame Length (limit=" + std::to_string(DM_FRAME_MAX_PAYLOAD) +
                           ", received=" + std::to_string(header_.length) + ").");
                fail(std::make_error_code(std::errc::message_size));
                return;
        }
        body_.assign(header_.length, 0);
        if (body_.empty()) {
            deliver();
            return;
        }
        const auto self = shared_from_this();
        async_read_exactly(asio::buffer(body_), [self](const asio::error_code& body_error) {
            self->on_body(body_error);
        });
    }

    void on_body(const asio::error_code& error) {
        if (!open_) {
            return;
        }
        if (error) {
            fail(error);
            return;
        }
        deliver();
    }

    void deliver() {
        const auto cb = cb_.lock();
        if (cb) {
            cb->on_message(generation_, header_.type, std::move(body_));
        }
        body_ = {};
        if (cb && !cb->may_read_on()) {
            paused_ = true;
            return;
        }
        read_header();
    }

    void write_next() {
        if (!open_ || writing_ || writes_.empty()) {
            return;
        }
        writing_ = true;
        const auto self = shared_from_this();
        async_write_all(writes_.front().buffer(),
                        [self](const asio::error_code& error) { self->on_written(error); });
    }

    void on_written(const asio::error_code& error) {
        writing_ = false;
        if (!open_) {
            return;
        }
        if (error) {
            fail(error);
            return;
        }
        writes_.pop_front();  // wipes the frame
        write_next();
    }

    // Reports the first failure only; the owner then closes the connection.
    void fail(const asio::error_code& error) {
        open_ = false;
        if (const auto cb = cb_.lock()) {
            cb->on_error(generation_, error);
        }
    }

    const uint64_t generation_;
    const uint32_t expected_sync_;
    const std::weak_ptr<connection_cb> cb_;
    std::array<uint8_t, DM_FRAME_HEADER_SIZE> header_bytes_{};
    dm_frame_header header_{};
    std::vector<uint8_t> body_;
    std::deque<outgoing_frame> writes_;  // the front one is being written
    bool writing_ = false;
    bool open_ = false;
    bool paused_ = false;  // no read in progress until resume_reading()
};

// Reads and writes on a plain TCP socket.
class tcp_connection final : public connection_base {
  public:
    tcp_connection(uint64_t generation, uint32_t expected_sync, std::weak_ptr<connection_cb> cb,
                   std::shared_ptr<tcp::socket> socket)
        : connection_base(generation, expected_sync, std::move(cb)), socket_(std::move(socket)) {}

    tcp::socket& socket() override { return *socket_; }
    void async_read_exactly(asio::mutable_buffer buffer, io_handler handler) override {
        asio::async_read(*socket_, buffer,
                         [handler = std::move(handler)](const asio::error_code& error,
                                                        std::size_t) { handler(error); });
    }
    void async_write_all(asio::const_buffer buffer, io_handler handler) override {
        asio::async_write(*socket_, buffer,
                          [handler = std::move(handler)](const asio::error_code& error,
                                                         std::size_t) { handler(error); });
    }

  private:
    std::shared_ptr<tcp::socket> socket_;
};

// Reads and writes on the TLS stream.
class tls_tcp_connection final : public connection_base {
  public:
    tls_tcp_connection(uint64_t generation, uint32_t expected_sync, std::weak_ptr<connection_cb> cb,
                       std::shared_ptr<tls_stream> stream)
        : connection_base(generation, expected_sync, std::move(cb)), stream_(std::move(stream)) {}

    tcp::socket& socket() override { return stream_->next_layer(); }
    void async_read_exactly(asio::mutable_buffer buffer, io_handler handler) override {
        asio::async_read(*stream_, buffer,
                         [handler = std::move(handler)](const asio::error_code& error,
                                                        std::size_t) { handler(error); });
    }
    void async_write_all(asio::const_buffer buffer, io_handler handler) override {
        asio::async_write(*stream_, buffer,
                          [handler = std::move(handler)](const asio::error_code& error,
                                                         std::size_t) { handler(error); });
    }

  private:
    std::shared_ptr<tls_stream> stream_;
};

// With a pin, the server's own certificate must carry the pinned public key
// besides verifying; the certificates above it need only verify.
struct pinned_key_check {
    std::string pin;

    bool operator()(bool preverified, asio::ssl::verify_context& context) const {
        if (!preverified) {
            return false;
        }
        X509_STORE_CTX* store = context.native_handle();
        if (X509_STORE_CTX_get_error_depth(store) > 0) {
            return true;
        }
        const std::string fingerprint =
            get_x509_fingerprint(X509_STORE_CTX_get_current_cert(store));
        return !fingerprint.empty() && fingerprint == pin;
    }
};

class TlsTcpClient {
  public:
    class Impl;
    explicit TlsTcpClient(aud_env* env);
    Impl& impl() { return *impl_; }

  private:
    std::shared_ptr<Impl> impl_;
};

// The client's state lives on the event-loop thread; the network thread
// only runs I/O and queues its results. Every result carries the generation
// of the attempt that produced it: connect and disconnect each start a new
// one, so a result of an attempt that has since been given up (a completion
// still queued in the I/O service, or later in the same batch of the event
// queue) is ignored. The generation changes only while the network thread
// is not running.
class TlsTcpClient::Impl final : public connection_cb {
  public:
    explicit Impl(aud_env* env) : env_(env), resolver_(io_) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    ~Impl() override { stop_network_thread(); }

    aud_env* env() const { return env_; }
    void set_listener(ITlsTcpClientListener* listener) { listener_ = listener; }

    aud_error set_ca_certificate(std::string_view pem) {
        if (state_ == STATE_CONNECTING || state_ == STATE_CONNECTED) {
            return AUD_ERR_INVALIDSTATE;
        }
        std::unique_ptr<asio::ssl::context> context;
        asio::error_code error;
        try {
            // The generic method: the highest version both sides support.
            context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
        } catch (const std::exception& exception) {
            print_line(std::string("Failed to initialise tls_tcp_client: ") + exception.what());
            return AUD_ERR_FAULT;
        }
        context->set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert,
                                 error);
        if (!error) {
            context->add_certificate_authority(asio::buffer(pem.data(), pem.size()), error);
        }
        if (error) {
            print_line("Failed to initialise tls_tcp_client: " + error.message());
            return AUD_ERR_FAULT;
        }
        if (!events_) {
            const aud_error queue_error = EventQueue::create(&events_);
            if (queue_error != AUD_SUCCESS) {
                return queue_error;
            }
        }
        ssl_ = std::move(context);
        state_ = STATE_IDLE;
        return AUD_SUCCESS;
    }

    void set_pinned_public_key(std::string_view pin) { pin_.assign(pin); }

    void connect(const std::string& host, uint16_t port) {
        if (state_ != STATE_IDLE) {
            return;
        }
        const uint64_t generation = ++generation_;
        state_ = STATE_CONNECTING;
        failure_ = TLS_TCP_CLIENT_FAILURE_NONE;
        notify_state(STATE_CONNECTING);
        if (state_ != STATE_CONNECTING || generation_ != generation) {
            return;  // the listener disconnected
        }
        try {
            stream_ = std::make_shared<tls_stream>(io_, *ssl_);
            if (!pin_.empty()) {
                stream_->set_verify_callback(pinned_key_check{pin_});
            }
            resolver_.async_resolve(host, std::to_string(port), tcp::resolver::numeric_service,
                                    [this, generation](const asio::error_code& error,
                                                       const tcp::resolver::results_type& results) {
                                        std::vector<tcp::endpoint> endpoints;
                                        for (const auto& entry : results) {
                                            endpoints.push_back(entry.endpoint());
                                        }
                                        post_result(generation,
                                                    [this, generation, error, endpoints] {
                                                        resolved(generation, error, endpoints);
                                                    });
                                    });
            work_.emplace(asio::make_work_guard(io_));
            thread_ = std::thread([this] { io_.run(); });
        } catch (const std::exception& exception) {
            print_line(std::string("Connect failed: ") + exception.what());
            failure_ = TLS_TCP_CLIENT_FAILURE_CONNECT;
            disconnect();
        }
    }

    void send(uint32_t type, std::span<const uint8_t> payload) {
        if (!connection_) {
            return;
        }
        std::vector<uint8_t> frame;
        if (dm_frame_encode(DM_FRAME_SYNC_TO_SERVER, type, payload, &frame) != AUD_SUCCESS) {
            print_line("Send failed: message too long");
            return;
        }
        const auto connection = connection_;
        asio::post(io_, [connection, frame = outgoing_frame(std::move(frame))]() mutable {
            connection->queue_write(std::move(frame));
        });
    }

    void disconnect() {
        if (state_ != STATE_CONNECTING && state_ != STATE_CONNECTED) {
            return;
        }
        stopping_ = true;
        stop_network_thread();
        // The network thread has ended: nothing else touches the sockets now.
        // Operations still pending complete into the I/O service's queue
        // with the old generation.
        asio::error_code ignored;
        if (stream_) {
            stream_->next_layer().close(ignored);
        }
        resolver_.cancel();
        if (connection_) {
            connection_->close();
        }
        connection_.reset();
        stream_.reset();
        endpoints_.clear();
        io_.restart();
        events_->drop();
        queued_bytes_ = 0;
        reading_paused_ = false;
        ++generation_;
        stopping_ = false;
        state_ = STATE_IDLE;
        notify_state(STATE_IDLE);
    }

    void get_sockets(aud_fd_set* set) const {
        if (events_) {
            aud_fd_set_add(set, events_->receiver());
        }
    }

    void process_events() {
        if (events_) {
            events_->process();
        }
    }

    aud_error get_endpoint(bool remote, aud_socket_address* out) const {
        if (state_ != STATE_CONNECTED) {
            return AUD_ERR_NOTCONN;
        }
        const tcp::endpoint& endpoint = remote ? remote_ : local_;
        asio::ip::address address = endpoint.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped()) {
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        }
        if (!address.is_v4()) {
            return AUD_ERR_AFNOSUPPORT;
        }
        aud_socket_address_set_ipv4(out, address.to_v4().to_uint(), endpoint.port());
        return AUD_SUCCESS;
    }

    int failure() const { return failure_; }

    // connection_cb, on the network thread: the current connection's news.
    void on_error(uint64_t generation, const asio::error_code&) override {
        post_result(generation, [this] {
            failure_ = TLS_TCP_CLIENT_FAILURE_CONNECTION;
            disconnect();
        });
    }
    void on_connected(uint64_t generation) override {
        post_result(generation, [this] {
            if (state_ == STATE_CONNECTING) {
                state_ = STATE_CONNECTED;
                notify_state(STATE_CONNECTED);
            }
        });
    }
    void on_message(uint64_t generation, uint32_t type, std::vector<uint8_t> bytes) override {
        if (generation != generation_) {
            return;  // a connection given up
        }
        const size_t cost = bytes.size() + kQueuedMessageOverhead;
        queued_bytes_ += cost;
        post_result(generation, [this, type, cost, bytes = std::move(bytes)] {
            taken_off_queue(cost);
            if (listener_ != nullptr) {
                listener_->on_message(type, bytes);
            }
        });
    }
    // Network thread. The pause is announced before the count is looked at
    // again, and whichever side clears it first resumes, so a resume is
    // never lost between the two threads.
    bool may_read_on() override {
        if (queued_bytes_ < TLS_TCP_CLIENT_MAX_QUEUED_BYTES) {
            return true;
        }
        reading_paused_ = true;
        return queued_bytes_ < TLS_TCP_CLIENT_MAX_QUEUED_BYTES && reading_paused_.exchange(false);
    }

    size_t queued_bytes() const { return queued_bytes_; }

  private:
    // Even an empty message costs the flooder something.
    static constexpr size_t kQueuedMessageOverhead = 64;

    // Event-loop thread: a message has been taken off the queue.
    void taken_off_queue(size_t cost) {
        queued_bytes_ -= cost;
        if (queued_bytes_ < TLS_TCP_CLIENT_MAX_QUEUED_BYTES && reading_paused_.exchange(false) &&
            connection_) {
            const auto connection = connection_;
            asio::post(io_, [connection] { connection->resume_reading(); });
        }
    }

    // Any thread: queues a result for the event-loop thread.
    void post_result(uint64_t generation, std::function<void()> result) {
        if (stopping_) {
            return;
        }
        events_->post([this, generation, result = std::move(result)] {
            if (!stopping_ && generation == generation_) {
                result();
            }
        });
    }

    void notify_state(int state) {
        if (listener_ != nullptr) {
            listener_->on_state(state);
        }
    }

    void stop_network_thread() {
        work_.reset();
        io_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void resolved(uint64_t generation, const asio::error_code& error,
                  const std::vector<tcp::endpoint>& endpoints) {
        if (error || endpoints.empty()) {
            print_line("Resolve failed: " + (error ? error.message() : std::string("no address")));
            failure_ = TLS_TCP_CLIENT_FAILURE_RESOLVE;
            disconnect();
            return;
        }
        if (state_ != STATE_CONNECTING) {
            return;
        }
        endpoints_ = endpoints;
        next_endpoint_ = 0;
        connect_next(generation);
    }

    // Tries the next resolved address; the previous attempt's socket is
    // closed first.
    void connect_next(uint64_t generation) {
        const tcp::endpoint endpoint = endpoints_[next_endpoint_++];
        const auto stream = stream_;
        asio::post(io_, [this, generation, stream, endpoint] {
            asio::error_code ignored;
            stream->next_layer().close(ignored);
            stream->next_layer().async_connect(
                endpoint, [this, generation, stream](const asio::error_code& error) {
                    post_result(generation,
                                [this, generation, error] { tcp_connected(generation, error); });
                });
        });
    }

    void tcp_connected(uint64_t generation, const asio::error_code& error) {
        if (error) {
            if (next_endpoint_ < endpoints_.size()) {
                connect_next(generation);
                return;
            }
            print_line("Connect failed: " + error.message());
            failure_ = TLS_TCP_CLIENT_FAILURE_CONNECT;
            disconnect();
            return;
        }
        if (state_ != STATE_CONNECTING) {
            return;
        }
        const auto stream = stream_;
        asio::post(io_, [this, generation, stream] {
            // Small frames leave at once: the hello and the token go out as
            // two writes, and Nagle's algorithm would hold the second until
            // the server's delayed acknowledgement of the first (40 ms).
            asio::error_code no_delay_error;
            stream->next_layer().set_option(tcp::no_delay(true), no_delay_error);
            stream->async_handshake(
                asio::ssl::stream_base::client,
                [this, generation, stream](const asio::error_code& handshake_error) {
                    // The endpoints are read here, while no other operation
                    // uses the socket.
                    tcp::endpoint local;
                    tcp::endpoint remote;
                    if (!handshake_error) {
                        asio::error_code ignored;
                        local = stream->next_layer().local_endpoint(ignored);
                        remote = stream->next_layer().remote_endpoint(ignored);
                    }
                    post_result(generation, [this, handshake_error, local, remote] {
                        handshake_done(handshake_error, local, remote);
                    });
                });
        });
    }

    void handshake_done(const asio::error_code& error, const tcp::endpoint& local,
                        const tcp::endpoint& remote) {
        if (error) {
            print_line("Handshake failed: " + error.message());
            failure_ = TLS_TCP_CLIENT_FAILURE_HANDSHAKE;
            disconnect();
            return;
        }
        local_ = local;
        remote_ = remote;
        // Runs for the current attempt only (post_result checked it).
        connection_ = std::make_shared<tls_tcp_connection>(
            generation_.load(), DM_FRAME_SYNC_FROM_SERVER,
            std::weak_ptr<connection_cb>(weak_from_this()), stream_);
        const auto connection = connection_;
        asio::post(io_, [connection] { connection->start(); });
    }

    aud_env* env_;
    std::string pin_;
    ITlsTcpClientListener* listener_ = nullptr;
    std::unique_ptr<EventQueue> events_;
    // The TLS context outlives the I/O service, whose queued operations
    // may still hold streams made from it.
    std::unique_ptr<asio::ssl::context> ssl_;
    asio::io_context io_{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::thread thread_;
    tcp::resolver resolver_;
    std::shared_ptr<tls_stream> stream_;
    std::shared_ptr<connection_base> connection_;
    std::vector<tcp::endpoint> endpoints_;
    size_t next_endpoint_ = 0;
    tcp::endpoint local_;
    tcp::endpoint remote_;
    std::atomic<uint64_t> generation_{0};
    std::atomic<size_t> queued_bytes_{0};  // received, not yet taken by the event loop
    std::atomic<bool> reading_paused_{false};
    std::atomic<bool> stopping_{false};
    int state_ = STATE_NOT_SET_UP;
    int failure_ = TLS_TCP_CLIENT_FAILURE_NONE;
};

TlsTcpClient::TlsTcpClient(aud_env* env) : impl_(std::make_shared<Impl>(env)) {}

// Passes the client's news to the handle's callbacks, with the states
// renumbered as the handle reports them.
class EventListenerProxy final : public ITlsTcpClientListener {
  public:
    explicit EventListenerProxy(tls_tcp_client* handle) : handle_(handle) {}
    void on_state(int state) override;
    void on_message(uint32_t type, const std::vector<uint8_t>& bytes) override;

  private:
    tls_tcp_client* handle_;
};

}  // namespace

struct tls_tcp_client {
    explicit tls_tcp_client(aud_env* env) : client(env), proxy(this) {
        client.impl().set_listener(&proxy);
    }

    TlsTcpClient client;
    EventListenerProxy proxy;
    void* context = nullptr;
    tls_tcp_client_state_callback state_callback = nullptr;
    tls_tcp_client_message_callback message_callback = nullptr;
};

namespace {

void EventListenerProxy::on_state(int state) {
    int reported = 0;
    switch (state) {
        case STATE_IDLE:
            reported = TLS_TCP_CLIENT_DISCONNECTED;
            break;
        case STATE_CONNECTING:
            reported = TLS_TCP_CLIENT_CONNECTING;
            break;
        case STATE_CONNECTED:
            reported = TLS_TCP_CLIENT_CONNECTED;
            break;
        default:
            return;
    }
    if (handle_->state_callback != nullptr) {
        handle_->state_callback(handle_, reported, handle_->context);
    }
}

void EventListenerProxy::on_message(uint32_t type, const std::vector<uint8_t>& bytes) {
    if (handle_->message_callback != nullptr) {
        handle_->message_callback(handle_, type, bytes.data(), bytes.size(), handle_->context);
    }
}

}  // namespace

tls_tcp_client* tls_tcp_client_new(aud_env* env) {
    try {
        return new tls_tcp_client(env);
    } catch (const std::exception&) {
        return nullptr;
    }
}

aud_error tls_tcp_client_delete(tls_tcp_client* client) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    client->client.impl().disconnect();
    delete client;
    return AUD_SUCCESS;
}

aud_error tls_tcp_client_set_ca_certificate(tls_tcp_client* client, const char* pem) {
    if (client == nullptr || pem == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    return client->client.impl().set_ca_certificate(pem);
}

aud_error tls_tcp_client_set_pinned_public_key(tls_tcp_client* client, const char* pin) {
    if (client == nullptr || pin == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    client->client.impl().set_pinned_public_key(pin);
    return AUD_SUCCESS;
}

aud_error tls_tcp_client_set_context(tls_tcp_client* client, void* context) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    client->context = context;
    return AUD_SUCCESS;
}

aud_error tls_tcp_client_set_state_callback(tls_tcp_client* client,
                                            tls_tcp_client_state_callback callback) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    client->state_callback = callback;
    return AUD_SUCCESS;
}

aud_error tls_tcp_client_set_message_callback(tls_tcp_client* client,
                                              tls_tcp_client_message_callback callback) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    client->message_callback = callback;
    return AUD_SUCCESS;
}

void tls_tcp_client_connect(tls_tcp_client* client, const char* host, uint16_t port) {
    if (client == nullptr || host == nullptr) {
        return;
    }
    client->client.impl().connect(host, port);
}

void tls_tcp_client_send(tls_tcp_client* client, uint32_t type, const uint8_t* data,
                         size_t length) {
    if (client == nullptr || (data == nullptr && length != 0)) {
        return;
    }
    client->client.impl().send(type, std::span<const uint8_t>(data, length));
}

void tls_tcp_client_disconnect(tls_tcp_client* client) {
    if (client != nullptr) {
        client->client.impl().disconnect();
    }
}

void tls_tcp_client_get_sockets(tls_tcp_client* client, aud_fd_set* set) {
    if (client != nullptr && set != nullptr) {
        client->client.impl().get_sockets(set);
    }
}

aud_error tls_tcp_client_process_events(tls_tcp_client* client) {
    if (client == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    client->client.impl().process_events();
    return AUD_SUCCESS;
}

aud_error tls_tcp_client_get_endpoint(tls_tcp_client* client, bool remote,
                                      aud_socket_address* out) {
    if (client == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    return client->client.impl().get_endpoint(remote, out);
}

int tls_tcp_client_get_failure(tls_tcp_client* client) {
    return client != nullptr ? client->client.impl().failure() : TLS_TCP_CLIENT_FAILURE_NONE;
}

size_t tls_tcp_client_get_queued_bytes(tls_tcp_client* client) {
    return client != nullptr ? client->client.impl().queued_bytes() : 0;
}
