#include "sim/dm/dm_connection_service.h"

#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <openssl/crypto.h>

#include "avn/domain/dm_frame.h"
#include "sim/dm/dm_certificates.h"

namespace sim {

namespace {

constexpr const char* kService = "dm-service";

// Longest token the service looks at; the web side issues 64 characters.
constexpr uint32_t kMaxTokenLength = 255;
// Clients send little: a relayed message fits in one packet.
constexpr uint32_t kMaxClientPayload = 64 * 1024;

dm_domain_item domain(const char* name, uint16_t id, uint16_t role) {
    dm_domain_item item;
    item.uuid = dm_domain_uuid(id);
    item.name = name;
    item.id = id;
    item.role = role;
    return item;
}

}  // namespace

std::vector<dm_domain_item> default_dm_domains() {
    return {domain("Studio A", 1, 3), domain("Studio B", 2, 1)};
}

class DmSession;

struct DmConnectionService::Impl : std::enable_shared_from_this<Impl> {
    Impl(SimLog& log_, DmTokenStore& tokens_) : log(log_), tokens(tokens_) {}

    SimLog& log;
    DmTokenStore& tokens;
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::unique_ptr<asio::ssl::context> tls;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    std::thread thread;
    std::atomic<uint16_t> bound_port{0};

    std::mutex mutex;  // guards domains and relay
    std::vector<dm_domain_item> domains = default_dm_domains();
    DmRelayHandler relay;
    DmRelaySessionHandler session_relay;
    std::atomic<uint64_t> next_connection{1};

    // Touched on the service thread only.
    std::vector<std::weak_ptr<DmSession>> sessions;

    std::atomic<bool> silent{false};
    std::atomic<size_t> accepted{0};
    std::atomic<size_t> logged_in{0};
    std::atomic<size_t> refused{0};
    std::atomic<size_t> keepalives{0};
    std::atomic<size_t> relayed{0};
    std::atomic<size_t> open{0};

    void accept_next();
    template <typename Fn>
    void for_each_session(Fn fn);
    std::vector<uint8_t> full_list() {
        std::lock_guard lock(mutex);
        return dm_domain_list_build(domains);
    }
};

class DmSession : public std::enable_shared_from_this<DmSession> {
  public:
    DmSession(std::shared_ptr<DmConnectionService::Impl> service, asio::ip::tcp::socket socket)
        : service_(std::move(service)), stream_(std::move(socket), *service_->tls),
          connection_(service_->next_connection++) {}

    ~DmSession() {
        OPENSSL_cleanse(token_.data(), token_.size());
        --service_->open;
    }

    void start() {
        ++service_->open;
        auto self = shared_from_this();
        // The list and the session tickets leave at once (no Nagle wait
        // for the client's delayed acknowledgement).
        asio::error_code no_delay_error;
        stream_.next_layer().set_option(asio::ip::tcp::no_delay(true), no_delay_error);
        stream_.async_handshake(asio::ssl::stream_base::server, [self](const asio::error_code& error) {
            if (error) {
                self->service_->log.line(kService, "TLS handshake failed: %s", error.message().c_str());
                return;
            }
            self->read_header();
        });
    }

    bool authenticated() const { return !user_.empty(); }

    void send(uint32_t type, std::span<const uint8_t> payload) {
        if (service_->silent) {
            return;
        }
        const uint32_t sync = bad_sync_next_ ? DM_FRAME_SYNC_TO_SERVER : DM_FRAME_SYNC_FROM_SERVER;
        bad_sync_next_ = false;
        std::vector<uint8_t> frame;
        if (dm_frame_encode(sync, type, payload, &frame) != AUD_SUCCESS) {
            return;
        }
        outgoing_.push_back(std::move(frame));
        if (outgoing_.size() == 1) {
            write_next();
        }
    }

    void mark_bad_sync() { bad_sync_next_ = true; }

    void close() {
        asio::error_code ignored;
        stream_.lowest_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        stream_.lowest_layer().close(ignored);
    }

  private:
    void read_header() {
        auto self = shared_from_this();
        asio::async_read(stream_, asio::buffer(header_), [self](const asio::error_code& error, size_t) {
            if (error) {
                self->ended(error);
                return;
            }
            self->on_header();
        });
    }

    void on_header() {
        dm_frame_header header{};
        dm_frame_parse_header(header_, &header);
        if (dm_frame_check_header(header, DM_FRAME_SYNC_TO_SERVER) != AUD_SUCCESS ||
            header.length > kMaxClientPayload) {
            service_->log.line(kService, "bad frame (sync 0x%08X, length %u): closing",
                               static_cast<unsigned>(header.sync), static_cast<unsigned>(header.length));
            close();
            return;
        }
        type_ = header.type;
        payload_.assign(header.length, 0);
        auto self = shared_from_this();
        asio::async_read(stream_, asio::buffer(payload_), [self](const asio::error_code& error, size_t) {
            if (error) {
                self->ended(error);
                return;
            }
            self->on_frame();
            self->read_header();
        });
    }

    void on_frame() {
        switch (type_) {
        case DM_MESSAGE_HELLO:
            hello_ = true;
            break;
        case DM_MESSAGE_TOKEN:
            on_token();
            break;
        case DM_MESSAGE_KEEPALIVE:
            ++service_->keepalives;
            if (authenticated()) {
                send(DM_MESSAGE_KEEPALIVE, {});
            }
            break;
        case DM_MESSAGE_RELAYED:
            on_relayed();
            break;
        default:
            service_->log.line(kService, "message of type %u ignored", static_cast<unsigned>(type_));
            break;
        }
    }

    void on_token() {
        if (!hello_ || authenticated() || payload_.size() > kMaxTokenLength) {
            refuse("token out of order or too long");
            return;
        }
        token_.assign(payload_.begin(), payload_.end());
        OPENSSL_cleanse(payload_.data(), payload_.size());
        const std::optional<std::string> user =
            service_->tokens.redeem(std::string_view(token_.data(), token_.size()));
        OPENSSL_cleanse(token_.data(), token_.size());
        if (!user) {
            refuse("unknown or used token");
            return;
        }
        user_ = *user;
        ++service_->logged_in;
        service_->log.line(kService, "%s connected; sending the domain list", user_.c_str());
        const std::vector<uint8_t> list = service_->full_list();
        send(DM_MESSAGE_DOMAIN_LIST, list);
    }

    void on_relayed() {
        ++service_->relayed;
        if (!authenticated()) {
            refuse("relayed message before the token");
            return;
        }
        DmRelayHandler relay;
        DmRelaySessionHandler session_relay;
        {
            std::lock_guard lock(service_->mutex);
            relay = service_->relay;
            session_relay = service_->session_relay;
        }
        if (!relay && !session_relay) {
            service_->log.line(kService, "relayed message of %zu bytes from %s dropped",
                               payload_.size(), user_.c_str());
            return;
        }
        std::weak_ptr<DmSession> weak = shared_from_this();
        asio::io_context& io = service_->io;
        DmRelayReply reply = [weak, &io](std::vector<uint8_t> packet) {
            asio::post(io, [weak, packet = std::move(packet)] {
                if (auto session = weak.lock()) {
                    session->send(DM_MESSAGE_RELAYED, packet);
                }
            });
        };
        if (session_relay) {
            session_relay(connection_, user_, payload_, std::move(reply));
        } else {
            relay(user_, payload_, std::move(reply));
        }
    }

    void refuse(const char* why) {
        ++service_->refused;
        service_->log.line(kService, "connection refused: %s", why);
        close();
    }

    void write_next() {
        auto self = shared_from_this();
        asio::async_write(stream_, asio::buffer(outgoing_.front()),
                          [self](const asio::error_code& error, size_t) {
                              if (error) {
                                  self->outgoing_.clear();
                                  return;
                              }
                              self->outgoing_.pop_front();
                              if (!self->outgoing_.empty()) {
                                  self->write_next();
                              }
                          });
    }

    void ended(const asio::error_code& error) {
        // A client that closes without a TLS close_notify ends the stream
        // "truncated": for this service that is a close like any other.
        if (error != asio::error::eof && error != asio::error::operation_aborted &&
            error != asio::ssl::error::stream_truncated) {
            service_->log.line(kService, "connection ended: %s", error.message().c_str());
        } else {
            service_->log.line(kService, "connection closed");
        }
    }

    std::shared_ptr<DmConnectionService::Impl> service_;
    asio::ssl::stream<asio::ip::tcp::socket> stream_;
    std::array<uint8_t, DM_FRAME_HEADER_SIZE> header_{};
    uint32_t type_ = 0;
    std::vector<uint8_t> payload_;
    std::vector<char> token_;
    std::deque<std::vector<uint8_t>> outgoing_;
    bool hello_ = false;
    bool bad_sync_next_ = false;
    std::string user_;
    const uint64_t connection_;
};

void DmConnectionService::Impl::accept_next() {
    auto self = shared_from_this();
    acceptor->async_accept([self](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (error) {
            return;  // closed by stop()
        }
        ++self->accepted;
        auto session = std::make_shared<DmSession>(self, std::move(socket));
        std::erase_if(self->sessions, [](const std::weak_ptr<DmSession>& s) { return s.expired(); });
        self->sessions.push_back(session);
        session->start();
        self->accept_next();
    });
}

template <typename Fn>
void DmConnectionService::Impl::for_each_session(Fn fn) {
    auto self = shared_from_this();
    asio::post(io, [self, fn] {
        for (const std::weak_ptr<DmSession>& weak : self->sessions) {
            if (auto session = weak.lock()) {
                fn(*session);
            }
        }
    });
}

DmConnectionService::DmConnectionService(SimLog& log, DmTokenStore& tokens)
    : impl_(std::make_shared<Impl>(log, tokens)) {}

DmConnectionService::~DmConnectionService() { stop(); }

aud_error DmConnectionService::start(uint16_t port, DmCertificate certificate) {
    if (impl_->thread.joinable()) {
        return AUD_ERR_ALREADY;
    }
    try {
        const DmCertificatePem pem = dm_certificate_pem(certificate);
        impl_->tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        impl_->tls->use_certificate_chain(asio::buffer(std::string_view(pem.certificate)));
        impl_->tls->use_private_key(asio::buffer(std::string_view(pem.key)), asio::ssl::context::pem);
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        impl_->acceptor = std::make_unique<asio::ip::tcp::acceptor>(impl_->io, endpoint);
        impl_->bound_port = impl_->acceptor->local_endpoint().port();
    } catch (const std::exception& error) {
        impl_->log.line(kService, "cannot listen on port %u: %s", port, error.what());
        impl_->acceptor.reset();
        return AUD_ERR_ADDRINUSE;
    }
    impl_->io.restart();
    impl_->work.emplace(impl_->io.get_executor());
    impl_->accept_next();
    impl_->thread = std::thread([impl = impl_] { impl->io.run(); });
    impl_->log.line(kService, "listening on 127.0.0.1:%u (TLS)", static_cast<unsigned>(impl_->bound_port));
    return AUD_SUCCESS;
}

void DmConnectionService::stop() {
    if (!impl_->thread.joinable()) {
        return;
    }
    auto impl = impl_;
    asio::post(impl->io, [impl] {
        asio::error_code ignored;
        impl->acceptor->close(ignored);
        for (const std::weak_ptr<DmSession>& weak : impl->sessions) {
            if (auto session = weak.lock()) {
                session->close();
            }
        }
        impl->sessions.clear();
    });
    // With the acceptor and every socket closed, the pending operations end
    // (aborted) and the loop runs dry.
    impl->work.reset();
    impl->thread.join();
    impl->acceptor.reset();
}

uint16_t DmConnectionService::port() const { return impl_->bound_port; }

void DmConnectionService::set_domains(std::vector<dm_domain_item> domains) {
    std::lock_guard lock(impl_->mutex);
    impl_->domains = std::move(domains);
}

void DmConnectionService::send_full_list() {
    const std::vector<uint8_t> list = impl_->full_list();
    impl_->for_each_session([list](DmSession& session) {
        if (session.authenticated()) {
            session.send(DM_MESSAGE_DOMAIN_LIST, list);
        }
    });
}

void DmConnectionService::send_update(std::vector<dm_domain_item> items, uint16_t first_id,
                                      uint16_t last_id) {
    const std::vector<uint8_t> update =
        dm_domain_list_build(items, std::pair<uint16_t, uint16_t>{first_id, last_id});
    impl_->for_each_session([update](DmSession& session) {
        if (session.authenticated()) {
            session.send(DM_MESSAGE_DOMAIN_LIST, update);
        }
    });
}

void DmConnectionService::set_relay_handler(DmRelayHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->relay = std::move(handler);
}

void DmConnectionService::set_relay_session_handler(DmRelaySessionHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->session_relay = std::move(handler);
}

void DmConnectionService::drop_connections() {
    impl_->log.line(kService, "dropping every connection");
    impl_->for_each_session([](DmSession& session) { session.close(); });
}

void DmConnectionService::send_bad_sync() {
    impl_->for_each_session([](DmSession& session) {
        session.mark_bad_sync();
        session.send(DM_MESSAGE_KEEPALIVE, {});
    });
}

void DmConnectionService::set_silent(bool silent) { impl_->silent = silent; }

size_t DmConnectionService::sessions_accepted() const { return impl_->accepted; }
size_t DmConnectionService::sessions_logged_in() const { return impl_->logged_in; }
size_t DmConnectionService::tokens_refused() const { return impl_->refused; }
size_t DmConnectionService::keepalives_received() const { return impl_->keepalives; }
size_t DmConnectionService::relayed_received() const { return impl_->relayed; }
size_t DmConnectionService::open_sessions() const { return impl_->open; }

}  // namespace sim
