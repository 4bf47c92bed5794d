#include "sim/dm/dm_web.h"

#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>

#include "sim/dm/dm_certificates.h"
#include "sim/dm/dm_listen.h"
#include "sim/dm/dm_secret.h"

namespace sim {

namespace {

constexpr size_t kCertificateCount = 7;
// A login form is a few hundred bytes; anything far larger is refused.
constexpr size_t kMaxRequestBody = 16 * 1024;
// Longest user name that goes into a log line.
constexpr size_t kMaxLoggedName = 64;
// How long start() waits for the listening thread to be serving.
constexpr auto kStartTimeout = std::chrono::seconds(5);

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

struct LoadedCertificate {
    std::unique_ptr<X509, X509Free> certificate;
    std::unique_ptr<EVP_PKEY, KeyFree> key;
};

LoadedCertificate load_certificate(DmCertificate which) {
    const DmCertificatePem pem = dm_certificate_pem(which);
    LoadedCertificate loaded;
    std::unique_ptr<BIO, BioFree> certificate_bio(BIO_new_mem_buf(pem.certificate, -1));
    std::unique_ptr<BIO, BioFree> key_bio(BIO_new_mem_buf(pem.key, -1));
    if (certificate_bio && key_bio) {
        loaded.certificate.reset(
            PEM_read_bio_X509(certificate_bio.get(), nullptr, nullptr, nullptr));
        loaded.key.reset(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
    }
    return loaded;
}

size_t certificate_index(DmCertificate which) {
    return static_cast<size_t>(which);
}

// The form fields of an application/x-www-form-urlencoded body: '+' is a
// space, %XX a byte; a '%' without two hexadecimal digits stays as it is.
std::string form_decode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded.push_back(' ');
        } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
                   hex(text[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

// The first field of that name, decoded; none when the body has no such
// field.
std::optional<std::string> form_field(std::string_view body, std::string_view name) {
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string_view::npos) {
            end = body.size();
        }
        const std::string_view pair = body.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (form_decode(pair.substr(0, equals)) == name) {
            return form_decode(equals == std::string_view::npos ? std::string_view{}
                                                                : pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return std::nullopt;
}

// A user name as it may go into a log line: printable ASCII, cut short.
std::string loggable(std::string_view name) {
    std::string text;
    for (size_t i = 0; i < name.size() && i < kMaxLoggedName; ++i) {
        const char c = name[i];
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    if (name.size() > kMaxLoggedName) {
        text += "...";
    }
    return text;
}

bool secrets_equal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The request's body and parsed fields hold the password: wiped once the
// handler is done with them. The server hands the request to its handlers
// as const, but owns it as a modifiable object.
void wipe_request(const httplib::Request& request) {
    auto& writable = const_cast<httplib::Request&>(request);
    wipe_secret(writable.body);
    for (auto& field : writable.params) {
        wipe_secret(field.second);
    }
}

const char* offered_versions(DmApi api) {
    switch (api) {
        case DmApi::V1:
            return R"(["v1"])";
        case DmApi::V2:
            return R"(["v2"])";
        case DmApi::Both:
            break;
    }
    // Newest first: a client takes the first version it knows.
    return R"(["v2","v1"])";
}

bool offers(DmApi api, int version) {
    return api == DmApi::Both || (api == DmApi::V1 ? version == 1 : version == 2);
}

}  // namespace

struct DmWebService::Impl {
    Impl(SimLog& log_, const DmSettings& settings_)
        : log(log_), settings(settings_), users(dm_users(settings_)) {
        settings.users.clear();  // kept in `users` alone
        for (size_t i = 0; i < kCertificateCount; ++i) {
            certificates[i] = load_certificate(static_cast<DmCertificate>(i));
        }
    }

    aud_error open(uint16_t wanted_port);
    void close();
    bool setup_context(SSL_CTX& context);
    static int choose_certificate(SSL* ssl, void* self);
    void identify(const httplib::Request& request, httplib::Response& response);
    void login(int version, const httplib::Request& request, httplib::Response& response);
    void answer(httplib::Response& response, int status, const std::string& body);
    void wait_delay();

    SimLog& log;
    std::array<LoadedCertificate, kCertificateCount> certificates;

    // Everything below under `mutex`, but the atomics.
    mutable std::mutex mutex;
    std::condition_variable wake;
    DmSettings settings;  // api, certificate, faults, host; users are below
    std::vector<DmUser> users;
    uint16_t bound_port = 0;
    std::optional<uint16_t> service_port;
    bool stopping = false;

    std::atomic<size_t> handshakes{0};
    std::atomic<size_t> handshakes_since_key_change{0};
    std::atomic<size_t> accepted{0};
    std::atomic<size_t> refused{0};
    DmTokenStore tokens;

    // The listener, with the thread that runs it; opened and closed under
    // `lifecycle`.
    std::mutex lifecycle;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
};

namespace {

// Which certificate an SSL connection was given, kept with the connection so
// that a second look at the same handshake takes the same one.
int connection_certificate_index() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

}  // namespace

int DmWebService::Impl::choose_certificate(SSL* ssl, void* self) {
    auto& impl = *static_cast<Impl*>(self);
    const int ex_index = connection_certificate_index();
    auto chosen = reinterpret_cast<uintptr_t>(SSL_get_ex_data(ssl, ex_index));
    if (chosen == 0) {
        const size_t connection = impl.handshakes_since_key_change++;
        const size_t number = ++impl.handshakes;
        const std::lock_guard<std::mutex> lock(impl.mutex);
        DmCertificate which = impl.settings.certificate;
        if (impl.settings.faults.key_change && connection > 0) {
            which = DmCertificate::Other;
        }
        chosen = certificate_index(which) + 1;
        SSL_set_ex_data(ssl, ex_index, reinterpret_cast<void*>(chosen));
        impl.log.line("dm", "TLS connection %zu: presenting the %s certificate", number,
                      dm_certificate_name(which));
    }
    const LoadedCertificate& certificate = impl.certificates[chosen - 1];
    if (!certificate.certificate || !certificate.key ||
        SSL_use_certificate(ssl, certificate.certificate.get()) != 1 ||
        SSL_use_PrivateKey(ssl, certificate.key.get()) != 1) {
        return 0;
    }
    return 1;
}

bool DmWebService::Impl::setup_context(SSL_CTX& context) {
    SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
    SSL_CTX_set_cert_cb(&context, &Impl::choose_certificate, this);
    return true;
}

aud_error DmWebService::Impl::open(uint16_t wanted_port) {
    auto listener = std::make_unique<httplib::SSLServer>(
        [this](SSL_CTX& context) { return setup_context(context); });
    if (!listener->is_valid()) {
        return AUD_ERR_FAULT;
    }
    // One request per connection: every exchange is a TLS handshake of its
    // own, so the key-change fault counts exchanges, and stopping never
    // waits for an idle connection.
    listener->set_keep_alive_max_count(1);
    listener->set_read_timeout(std::chrono::seconds(5));
    listener->set_write_timeout(std::chrono::seconds(5));
    listener->set_payload_max_length(kMaxRequestBody);
    listener->set_socket_options(dm_listen_socket_options);
    listener->new_task_queue = [] { return new httplib::ThreadPool(4); };
    listener->Get("/avnapi", [this](const httplib::Request& request, httplib::Response& response) {
        identify(request, response);
    });
    listener->Post("/api/login",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       login(1, request, response);
                   });
    listener->Post("/avnapi/v2/login",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       login(2, request, response);
                   });
    // Called for every answer of status 400 or above, ours too: those with
    // an empty body come from the server itself (no such path, a request it
    // could not read, a body too large).
    listener->set_error_handler([this](const httplib::Request& request,
                                       httplib::Response& response) {
        if (response.body.empty()) {
            log.line("dm", "%s %s from %s: %d", loggable(request.method).c_str(),
                     loggable(request.path).c_str(), request.remote_addr.c_str(), response.status);
        }
        wipe_request(request);
    });

    std::string host;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        host = settings.host;
        stopping = false;
    }
    int port = wanted_port;
    if (wanted_port == 0) {
        port = listener->bind_to_any_port(host);
        if (port <= 0) {
            return AUD_ERR_ADDRINUSE;
        }
    } else if (!listener->bind_to_port(host, wanted_port)) {
        return AUD_ERR_ADDRINUSE;
    }
    httplib::SSLServer* running = listener.get();
    thread = std::thread([running] { running->listen_after_bind(); });
    // stop() only works on a server that is running: wait for it to be.
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!running->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server = std::move(listener);
    if (!server->is_running()) {
        close();
        return AUD_ERR_TIMEDOUT;
    }
    const std::lock_guard<std::mutex> lock(mutex);
    bound_port = static_cast<uint16_t>(port);
    return AUD_SUCCESS;
}

void DmWebService::Impl::close() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (server) {
        server->stop();
    }
    if (thread.joinable()) {
        thread.join();
    }
    server.reset();
}

void DmWebService::Impl::wait_delay() {
    std::unique_lock<std::mutex> lock(mutex);
    const auto until = std::chrono::steady_clock::now() + settings.faults.delay;
    wake.wait_until(lock, until, [this] { return stopping; });
}

void DmWebService::Impl::answer(httplib::Response& response, int status, const std::string& body) {
    wait_delay();
    response.status = status;
    response.set_content(body, "application/json");
}

void DmWebService::Impl::identify(const httplib::Request& request, httplib::Response& response) {
    int status = 200;
    std::string body;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        body = offered_versions(settings.api);
        if (const std::optional<DmAnswer>& fault = settings.faults.identify) {
            status = fault->status != 0 ? fault->status : status;
            body = fault->body.value_or(body);
        }
    }
    log.line("dm", "identify from %s: %d, %zu bytes", request.remote_addr.c_str(), status,
             body.size());
    answer(response, status, body);
}

void DmWebService::Impl::login(int version, const httplib::Request& request,
                               httplib::Response& response) {
    const char* path = version == 1 ? "/api/login" : "/avnapi/v2/login";
    std::optional<std::string> user = form_field(request.body, "username");
    std::optional<std::string> password = form_field(request.body, "password");
    wipe_request(request);

    std::optional<DmAnswer> fault;
    bool offered = false;
    bool known = false;
    std::string service_host;
    uint16_t port = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        offered = offers(settings.api, version);
        fault = settings.faults.login;
        for (const DmUser& candidate : users) {
            if (user && password && candidate.name == *user &&
                secrets_equal(candidate.password, *password)) {
                known = true;
            }
        }
        service_host = settings.host;
        port = service_port
                   ? *service_port
                   : static_cast<uint16_t>(bound_port == 0xFFFF ? bound_port - 1 : bound_port + 1);
    }
    if (password) {
        wipe_secret(*password);
    }
    const std::string name = loggable(user.value_or(""));

    if (!offered) {
        log.line("dm", "login v%d from %s: %s is not offered, 404", version,
                 request.remote_addr.c_str(), path);
        answer(response, 404, R"({"error":"404"})");
        return;
    }
    if (fault) {
        const int status = fault->status != 0 ? fault->status : 200;
        const std::string body =
            fault->body.value_or("{\"error\":\"" + std::to_string(status) + "\"}");
        log.line("dm", "login v%d from %s, user \"%s\": fault answer %d, %zu bytes", version,
                 request.remote_addr.c_str(), name.c_str(), status, body.size());
        answer(response, status, body);
        return;
    }
    if (!known) {
        ++refused;
        log.line("dm", "login v%d from %s, user \"%s\": refused (%s)", version,
                 request.remote_addr.c_str(), name.c_str(),
                 !user || !password ? "no user name or password in the form"
                                    : "unknown user or wrong password");
        // Version 1 reports the refusal in the body, version 2 by its status.
        if (version == 1) {
            answer(response, 200, R"({"error":"401"})");
        } else {
            answer(response, 401, R"({"error":"unauthorized"})");
        }
        return;
    }
    std::string token = tokens.issue(*user);
    if (token.empty()) {
        log.line("dm", "login v%d from %s, user \"%s\": no random bytes for a token, 500", version,
                 request.remote_addr.c_str(), name.c_str());
        answer(response, 500, R"({"error":"500"})");
        return;
    }
    ++accepted;
    log.line("dm",
             "login v%d from %s, user \"%s\": accepted, token issued (%zu characters), "
             "service port %u",
             version, request.remote_addr.c_str(), name.c_str(), token.size(), unsigned{port});
    std::string body = version == 1 ? "{\"authToken\":\"" + token + "\",\"service\":\"" +
                                          service_host + ":" + std::to_string(port) + "\"}"
                                    : "{\"authToken\":\"" + token +
                                          "\",\"servicePort\":" + std::to_string(port) + "}";
    wipe_secret(token);
    answer(response, 200, body);
    wipe_secret(body);
}

DmWebService::DmWebService(SimLog& log, const DmSettings& settings)
    : impl_(std::make_unique<Impl>(log, settings)) {}

DmWebService::~DmWebService() {
    stop();
}

aud_error DmWebService::start() {
    std::unique_lock<std::mutex> lifecycle(impl_->lifecycle);
    for (const LoadedCertificate& certificate : impl_->certificates) {
        if (!certificate.certificate || !certificate.key) {
            impl_->log.line("dm", "the built-in test certificates cannot be read");
            return AUD_ERR_FAULT;
        }
    }
    DmSettings settings;
    {
        const std::lock_guard<std::mutex> lock(impl_->mutex);
        settings = impl_->settings;
        impl_->service_port = settings.service_port;
    }
    const aud_error result = impl_->open(settings.port);
    if (result != AUD_SUCCESS) {
        return result;
    }
    impl_->log.line("dm",
                    "web side on https://%s:%u: versions %s, %s certificate%s, %zu user(s), "
                    "service port %u",
                    settings.host.c_str(), unsigned{port()}, dm_api_name(settings.api),
                    dm_certificate_name(settings.certificate),
                    settings.faults.key_change ? " (then the other key)" : "", impl_->users.size(),
                    unsigned{service_port()});
    if (settings.faults.closed) {
        lifecycle.unlock();
        return set_closed(true);
    }
    return AUD_SUCCESS;
}

void DmWebService::stop() {
    const std::lock_guard<std::mutex> lifecycle(impl_->lifecycle);
    impl_->close();
    impl_->tokens.clear();
}

uint16_t DmWebService::port() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->bound_port;
}

uint16_t DmWebService::service_port() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->service_port) {
        return *impl_->service_port;
    }
    const uint16_t web = impl_->bound_port;
    return static_cast<uint16_t>(web == 0xFFFF ? web - 1 : web + 1);
}

void DmWebService::set_service_port(uint16_t port) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->service_port = port;
}

DmTokenStore& DmWebService::tokens() {
    return impl_->tokens;
}

void DmWebService::set_api(DmApi api) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->settings.api = api;
}

void DmWebService::set_certificate(DmCertificate certificate) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->settings.certificate = certificate;
}

void DmWebService::set_key_change(bool on) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->settings.faults.key_change = on;
    impl_->handshakes_since_key_change = 0;
}

void DmWebService::set_answer(DmEndpoint endpoint, std::optional<DmAnswer> answer) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    (endpoint == DmEndpoint::Identify ? impl_->settings.faults.identify
                                      : impl_->settings.faults.login) = std::move(answer);
}

void DmWebService::set_delay(std::chrono::milliseconds delay) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->settings.faults.delay = delay;
}

aud_error DmWebService::set_closed(bool closed) {
    const std::lock_guard<std::mutex> lifecycle(impl_->lifecycle);
    const bool open = impl_->server != nullptr;
    if (closed && open) {
        impl_->close();
        impl_->log.line("dm", "port %u closed", unsigned{port()});
    } else if (!closed && !open) {
        const uint16_t same_port = port();
        if (same_port == 0) {
            return AUD_ERR_INVALIDSTATE;  // never started
        }
        if (const aud_error result = impl_->open(same_port); result != AUD_SUCCESS) {
            return result;
        }
        impl_->log.line("dm", "port %u open again", unsigned{same_port});
    }
    return AUD_SUCCESS;
}

void DmWebService::set_users(std::vector<DmUser> users) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->users = std::move(users);
}

size_t DmWebService::tls_connections() const {
    return impl_->handshakes;
}

size_t DmWebService::logins_accepted() const {
    return impl_->accepted;
}

size_t DmWebService::logins_refused() const {
    return impl_->refused;
}

}  // namespace sim
