#include "avn/domain/avnapi_auth.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>
#include <openssl/crypto.h>

#include "avn/domain/curl_sockets.h"
#include "avn/domain/dm_trust.h"
#include "avn/domain/secret_buffer.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"

struct avnapi_auth {
    aud_env* env = nullptr;
    int state = AVNAPI_AUTH_STATE_IDLE;
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_socket_lists sockets;  // registered with the event loop
    aud_timer* timer = nullptr;
    SecretBuffer response;
    std::string base_url;
    std::string identity;
    SecretBuffer token;
    uint16_t service_port = 0;
    uint16_t version = 0;
    char error_buffer[CURL_ERROR_SIZE] = {};
    // The login form, wiped when the transfer ends. libcurl does not keep a
    // copy of its own (CURLOPT_POSTFIELDS, not COPYPOSTFIELDS), but while it
    // sends, a small body passes through its request buffer, which is not
    // wiped; the transfer's end frees that buffer.
    SecretBuffer post_fields;
    avnapi_auth_callback callback = nullptr;
    void* context = nullptr;
    int last_result = CURLE_OK;  // libcurl's result of the last transfer that ended
};

namespace {

constexpr const char* kName = "avnapi_auth";
constexpr int64_t kTimeoutWithoutHintMs = 980;
constexpr int64_t kTimeoutLimitMs = 1000;
// The most of a server's own error text that reaches the log.
constexpr size_t kServerErrorLogLimit = 200;

aud_log* log_of(const avnapi_auth* auth) { return aud_env_get_log(auth->env); }
aud_event_loop* loop_of(const avnapi_auth* auth) { return aud_env_get_event_loop(auth->env); }

bool transfer_running(const avnapi_auth* auth) {
    return auth->state == AVNAPI_AUTH_STATE_IDENTIFYING ||
           auth->state == AVNAPI_AUTH_STATE_ACQUIRING_TOKEN;
}

// ---- libcurl callbacks ----

size_t write_response(char* bytes, size_t size, size_t count, void* data) {
    auto* auth = static_cast<avnapi_auth*>(data);
    const size_t length = size * count;
    if (!auth->response.append(bytes, length)) {
        std::fputs("Failed to allocate memory.\n", stderr);
        auth->response.clear();
        return 0;  // anything but `length` aborts the transfer
    }
    return length;
}

// ---- Result codes ----

int code_of_result(const avnapi_auth* auth, CURLcode result) {
    switch (result) {
    case CURLE_OK:
        return AVNAPI_AUTH_SUCCESS;
    case CURLE_COULDNT_CONNECT:
        return AVNAPI_AUTH_CONNECTION_FAILED;
    case CURLE_SSL_CONNECT_ERROR:
        return AVNAPI_AUTH_TLS_HANDSHAKE_ERROR;
    case CURLE_PEER_FAILED_VERIFICATION:  // 60, once CURLE_SSL_CACERT
        return AVNAPI_AUTH_CA_CERTIFICATE_ERROR;
    default:
        aud_log_printf(log_of(auth), AUD_LOG_LEVEL_ERROR, "%s: Connect Error cURL code: %s\n",
                       kName, curl_easy_strerror(result));
        return AVNAPI_AUTH_TRANSFER_ERROR;
    }
}

// The code of the finished transfer; NO_RESULT when none has finished.
int read_transfer_result(avnapi_auth* auth) {
    int code = AVNAPI_AUTH_NO_RESULT;
    auth->last_result = CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(auth->multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        code = code_of_result(auth, message->data.result);
        auth->last_result = message->data.result;
        if (message->data.result != CURLE_OK && auth->error_buffer[0] != '\0') {
            aud_log_printf(log_of(auth), AUD_LOG_LEVEL_ERROR, "%s: cURL error: %s\n", kName,
                           auth->error_buffer);
        }
    }
    return code;
}

long read_http_status(avnapi_auth* auth) {
    long status = 0;
    curl_easy_getinfo(auth->easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// ---- Transfers ----

void unregister_sockets(avnapi_auth* auth) {
    aud_event_loop* loop = loop_of(auth);
    const auto remove = [&](const std::vector<aud_socket_t>& sockets, int direction) {
        for (const aud_socket_t socket : sockets) {
            aud_event_loop_set_socket(loop, socket, direction, nullptr, nullptr,
                                      AUD_SET_SOCKET_ADD_OR_REPLACE);
        }
    };
    remove(auth->sockets.read, AUD_DIRECTION_READ);
    remove(auth->sockets.write, AUD_DIRECTION_WRITE);
    remove(auth->sockets.except, AUD_DIRECTION_EXCEPT);
    auth->sockets = {};
}

// Cleans up the handles, unregisters the sockets and stops the timer.
void end_transfer(avnapi_auth* auth) {
    unregister_sockets(auth);
    if (auth->timer != nullptr) {
        aud_timer_stop(auth->timer);
    }
    if (auth->multi != nullptr && auth->easy != nullptr) {
        curl_multi_remove_handle(auth->multi, auth->easy);
    }
    if (auth->easy != nullptr) {
        curl_easy_cleanup(auth->easy);
        auth->easy = nullptr;
    }
    if (auth->multi != nullptr) {
        curl_multi_cleanup(auth->multi);
        auth->multi = nullptr;
    }
    auth->post_fields.clear();
}

// The stored root is the only trust: no system bundle, no certificate
// directory, whatever the platform or the environment names. A certificate
// from any public authority would otherwise pass identify, since the host
// name is not checked, and the login would then send the password to it.
// (Loading no system bundle also takes tens of milliseconds off each
// transfer.) Every certificate in the stored PEM text is a root.
void trust_only_the_stored_root(CURL* easy) {
    curl_blob blob{};
    blob.data = const_cast<char*>(avn_dm_ca_certificate);
    blob.len = std::strlen(avn_dm_ca_certificate);
    blob.flags = CURL_BLOB_NOCOPY;  // a constant of the program
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
}

// Bounds of one exchange (identify or login): a server that accepts the
// connection and never answers, or trickles its answer, gives up the
// transfer instead of holding the connect procedure. Generous for a slow
// wide-area link: an honest Domain Manager answers in well under a second.
constexpr long kConnectTimeoutMs = 10000;
constexpr long kTransferTimeoutMs = 20000;

aud_error prepare_transfer(avnapi_auth* auth, const std::string& url) {
    end_transfer(auth);
    auth->easy = curl_easy_init();
    auth->multi = curl_multi_init();
    if (auth->easy == nullptr || auth->multi == nullptr) {
        end_transfer(auth);
        return AUD_ERR_NOMEMORY;
    }
    CURL* easy = auth->easy;
    auth->error_buffer[0] = '\0';
    // The certificate names no host that the utility was given (Domain
    // Managers are reached by address or .local name); the chain is still
    // verified against the stored root alone, and login pins the key.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_response);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, auth);
    trust_only_the_stored_root(easy);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, auth->error_buffer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kTransferTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    if (curl_multi_add_handle(auth->multi, easy) != CURLM_OK) {
        end_transfer(auth);
        return AUD_ERR_FAULT;
    }
    return AUD_SUCCESS;
}

void on_timer(aud_error cause, aud_timer* timer);
void on_socket(aud_error cause, aud_socket_t socket, int direction, void* context);

aud_error arm_timer(avnapi_auth* auth) {
    long hint = -1;
    curl_multi_timeout(auth->multi, &hint);
    int64_t delay_ms = hint < 0 ? kTimeoutWithoutHintMs : hint;
    if (delay_ms > kTimeoutLimitMs) {
        delay_ms = kTimeoutLimitMs;
    }
    const aud_time delay = aud_time_from_milliseconds(delay_ms);
    return aud_timer_start_once(auth->timer, nullptr, &delay);
}

aud_error register_sockets(avnapi_auth* auth) {
    const aud_error result = curl_get_socket_lists(auth->multi, &auth->sockets);
    if (result != AUD_SUCCESS) {
        return result;
    }
    aud_event_loop* loop = loop_of(auth);
    const auto add = [&](const std::vector<aud_socket_t>& sockets, int direction) {
        for (const aud_socket_t socket : sockets) {
            aud_event_loop_set_socket(loop, socket, direction, on_socket, auth,
                                      AUD_SET_SOCKET_ADD_OR_REPLACE);
        }
    };
    add(auth->sockets.read, AUD_DIRECTION_READ);
    add(auth->sockets.write, AUD_DIRECTION_WRITE);
    add(auth->sockets.except, AUD_DIRECTION_EXCEPT);
    return AUD_SUCCESS;
}

// Lets libcurl make progress; *running tells whether the transfer goes on.
aud_error perform(avnapi_auth* auth, bool* running) {
    int handles = 0;
    if (curl_multi_perform(auth->multi, &handles) != CURLM_OK) {
        return AUD_ERR_FAULT;
    }
    *running = handles > 0;
    return AUD_SUCCESS;
}

// ---- Evaluating identify ----

std::string identity_of_transfer(avnapi_auth* auth, bool* readable) {
    curl_certinfo* info = nullptr;
    *readable = curl_easy_getinfo(auth->easy, CURLINFO_CERTINFO, &info) == CURLE_OK;
    if (!*readable || info == nullptr) {
        return {};
    }
    std::vector<std::string_view> entries;
    for (int i = 0; i < info->num_of_certs; ++i) {
        for (const curl_slist* entry = info->certinfo[i]; entry != nullptr; entry = entry->next) {
            entries.emplace_back(entry->data);
        }
    }
    return auth_identity_from_certinfo(entries);
}

void log_parse_error(const avnapi_auth* auth, const auth_parse_error& error) {
    if (error.failed) {
        aud_log_printf(log_of(auth), AUD_LOG_LEVEL_ERROR,
                       "%s: Error in server response: on line %d: %s\n", kName, error.line,
                       error.text.c_str());
    }
}

int evaluate_identify(avnapi_auth* auth) {
    int code = read_transfer_result(auth);
    bool certinfo_readable = false;
    std::string identity = identity_of_transfer(auth, &certinfo_readable);
    if (!certinfo_readable) {
        code = AVNAPI_AUTH_NO_RESULT;
    }
    const long status = read_http_status(auth);
    end_transfer(auth);

    const bool pinned = !identity.empty() && identity == avn_dm_stored_pin;
    // An answer outside 2xx is a failed connection; a transfer that failed
    // already carries its own, more telling, code.
    if (code == AVNAPI_AUTH_SUCCESS && !pinned && (status < 200 || status > 299)) {
        code = AVNAPI_AUTH_CONNECTION_FAILED;
    }
    if (code == AVNAPI_AUTH_SUCCESS) {
        const auth_identify_answer answer = auth_parse_identify(auth->response.view());
        log_parse_error(auth, answer.error);
        const uint16_t version = answer.version != 0 ? answer.version : (pinned ? 1 : 0);
        if ((answer.well_formed || pinned) && version != 0 && !identity.empty()) {
            auth->identity = std::move(identity);
            auth->version = version;
            auth->state = AVNAPI_AUTH_STATE_IDENTIFIED;
        } else {
            code = answer.well_formed ? AVNAPI_AUTH_NO_SUPPORTED_VERSION : AVNAPI_AUTH_MALFORMED;
        }
    }
    auth->response.clear();
    if (code != AVNAPI_AUTH_SUCCESS) {
        avnapi_auth_reset(auth);
    }
    return code;
}

// ---- Evaluating login ----

int evaluate_login(avnapi_auth* auth) {
    const int code = read_transfer_result(auth);
    const long status = read_http_status(auth);
    end_transfer(auth);
    if (code != AVNAPI_AUTH_SUCCESS) {
        auth->response.clear();
        avnapi_auth_drop_token(auth);
        return code;
    }
    // The body carries the token: say what arrived, never what it holds.
    aud_log_printf(log_of(auth), AUD_LOG_LEVEL_INFO,
                   "%s: Response from server: HTTP status %ld, %zu bytes\n", kName, status,
                   auth->response.size());
    auth_login_answer answer = auth_parse_login(auth->response.view(), auth->version, status);
    auth->response.clear();
    log_parse_error(auth, answer.error);
    if (answer.has_server_error) {
        aud_log_printf(log_of(auth), AUD_LOG_LEVEL_ERROR, "%s: Error returned from server: %s\n",
                       kName, auth_printable_text(answer.server_error, kServerErrorLogLimit).c_str());
    }
    if (answer.code == AVNAPI_AUTH_NO_RESULT) {
        aud_log_printf(log_of(auth), AUD_LOG_LEVEL_ERROR,
                       "%s: failed to allocate memory for auth token\n", kName);
    }
    if (answer.code != AVNAPI_AUTH_SUCCESS) {
        avnapi_auth_drop_token(auth);
        return answer.code;
    }
    aud_log_printf(log_of(auth), AUD_LOG_LEVEL_INFO,
                   "%s: Received authToken from server (%zu characters)\n", kName,
                   answer.token.size());
    auth->token = std::move(answer.token);
    auth->service_port = answer.service_port;
    auth->state = AVNAPI_AUTH_STATE_TOKEN_ACQUIRED;
    return AVNAPI_AUTH_SUCCESS;
}

// ---- Driving ----

// The transfer has ended: evaluate it by the state and report.
void complete(avnapi_auth* auth) {
    const int code = auth->state == AVNAPI_AUTH_STATE_IDENTIFYING ? evaluate_identify(auth)
                                                                    : evaluate_login(auth);
    if (auth->callback != nullptr) {
        auth->callback(auth->context, code);
    }
}

// After libcurl made progress: wait for its sockets and its timeout, or
// evaluate once the transfer is over. Without a socket to wait on (while it
// resolves a name, say) the timer alone brings it back.
void drive(avnapi_auth* auth, bool running) {
    if (!running) {
        complete(auth);
        return;
    }
    if (register_sockets(auth) != AUD_SUCCESS || arm_timer(auth) != AUD_SUCCESS) {
        end_transfer(auth);
        if (auth->state == AVNAPI_AUTH_STATE_IDENTIFYING) {
            avnapi_auth_reset(auth);
        } else {
            avnapi_auth_drop_token(auth);
        }
        if (auth->callback != nullptr) {
            auth->callback(auth->context, AVNAPI_AUTH_NO_RESULT);
        }
    }
}

void service(avnapi_auth* auth) {
    if (!transfer_running(auth)) {
        return;
    }
    unregister_sockets(auth);
    bool running = false;
    if (perform(auth, &running) != AUD_SUCCESS) {
        running = false;  // evaluated as a transfer without a result
    }
    drive(auth, running);
}

void on_timer(aud_error /*cause*/, aud_timer* timer) {
    service(static_cast<avnapi_auth*>(aud_timer_get_context(timer)));
}

void on_socket(aud_error /*cause*/, aud_socket_t /*socket*/, int /*direction*/, void* context) {
    service(static_cast<avnapi_auth*>(context));
}

// Lets libcurl start and hands the transfer to the event loop. Even a
// transfer that ends at once is evaluated from the loop, never inside the
// call that started it.
aud_error start_transfer(avnapi_auth* auth, int state) {
    auth->response.clear();
    bool running = false;
    if (perform(auth, &running) != AUD_SUCCESS) {
        end_transfer(auth);
        return AUD_ERR_FAULT;
    }
    auth->state = state;
    aud_error result = running ? register_sockets(auth) : AUD_SUCCESS;
    if (result == AUD_SUCCESS) {
        const aud_time now = aud_time_from_milliseconds(0);
        result = running ? arm_timer(auth) : aud_timer_start_once(auth->timer, nullptr, &now);
    }
    if (result != AUD_SUCCESS) {
        end_transfer(auth);
        auth->state = state == AVNAPI_AUTH_STATE_IDENTIFYING ? AVNAPI_AUTH_STATE_IDLE
                                                             : AVNAPI_AUTH_STATE_IDENTIFIED;
    }
    return result;
}

// "username=...&password=...", both form-encoded so that '&', '=', '+' and
// '%' in them reach the server as typed.
bool build_login_form(CURL* easy, const char* user, const char* password, SecretBuffer* out) {
    const auto append_escaped = [&](const char* text) {
        char* escaped = curl_easy_escape(easy, text, 0);
        if (escaped == nullptr) {
            return false;
        }
        const std::string_view view(escaped);
        const bool appended = out->append(view.data(), view.size());
        OPENSSL_cleanse(escaped, view.size());
        curl_free(escaped);
        return appended;
    };
    out->clear();
    return out->append("username=", 9) && append_escaped(user) &&
           out->append("&password=", 10) && append_escaped(password);
}

}  // namespace

aud_error avnapi_auth_new(aud_env* env, avnapi_auth** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = nullptr;
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        return AUD_ERR_NOMEMORY;
    }
    auto auth = std::unique_ptr<avnapi_auth>(new (std::nothrow) avnapi_auth);
    if (!auth) {
        curl_global_cleanup();
        return AUD_ERR_NOMEMORY;
    }
    auth->env = env;
    aud_event_loop* loop = aud_env_get_event_loop(env);
    if (loop != nullptr && aud_timer_new(loop, on_timer, auth.get(), &auth->timer) != AUD_SUCCESS) {
        curl_global_cleanup();
        return AUD_ERR_NOMEMORY;
    }
    *out = auth.release();
    return AUD_SUCCESS;
}

void avnapi_auth_delete(avnapi_auth* auth) {
    if (auth == nullptr) {
        return;
    }
    avnapi_auth_reset(auth);
    if (auth->timer != nullptr) {
        aud_timer_delete(auth->timer);
    }
    delete auth;
    curl_global_cleanup();
}

aud_error avnapi_auth_set_context(avnapi_auth* auth, void* context) {
    if (auth == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auth->context = context;
    return AUD_SUCCESS;
}

aud_error avnapi_auth_set_callback(avnapi_auth* auth, avnapi_auth_callback callback) {
    if (auth == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auth->callback = callback;
    return AUD_SUCCESS;
}

aud_error avnapi_auth__identify(avnapi_auth* auth, const char* host, uint16_t port) {
    if (auth == nullptr || host == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    avnapi_auth_reset(auth);
    if (auth->state != AVNAPI_AUTH_STATE_IDLE) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (auth->timer == nullptr) {
        return AUD_ERR_NOTSUPPORTED;
    }
    // A host name longer than any DNS name is refused: cutting it would
    // connect to whatever its prefix names.
    char base_url[300];
    const int written =
        std::snprintf(base_url, sizeof base_url, "https://%s:%u", host, static_cast<unsigned>(port));
    if (written < 0 || static_cast<size_t>(written) >= sizeof base_url) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auth->base_url = base_url;
    const std::string url = auth->base_url + "/avnapi";
    aud_error result = prepare_transfer(auth, url);
    if (result != AUD_SUCCESS) {
        return result;
    }
    aud_log_printf(log_of(auth), AUD_LOG_LEVEL_ERROR, "%s: Attempting to identify on: %s\n", kName,
                   url.c_str());
    return start_transfer(auth, AVNAPI_AUTH_STATE_IDENTIFYING);
}

aud_error avnapi_auth__login(avnapi_auth* auth, const char* user, const char* password) {
    if (auth == nullptr || user == nullptr || password == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    avnapi_auth_drop_token(auth);
    if (auth->state != AVNAPI_AUTH_STATE_IDENTIFIED) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (auth->version != 1 && auth->version != 2) {
        return AUD_ERR_FAULT;
    }
    const std::string url = auth->base_url + (auth->version == 1 ? "/api/login" : "/avnapi/v2/login");
    aud_error result = prepare_transfer(auth, url);
    if (result != AUD_SUCCESS) {
        return result;
    }
    aud_log_printf(log_of(auth), AUD_LOG_LEVEL_ERROR, "%s: Attempting to login on: %s\n", kName,
                   url.c_str());
    // Only the key that identify saw is accepted.
    curl_easy_setopt(auth->easy, CURLOPT_PINNEDPUBLICKEY, auth->identity.c_str());
    if (!build_login_form(auth->easy, user, password, &auth->post_fields)) {
        end_transfer(auth);
        return AUD_ERR_NOMEMORY;
    }
    // A POST of an application/x-www-form-urlencoded body that libcurl reads
    // from here (it copies a small body into its request buffer to send it).
    curl_easy_setopt(auth->easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(auth->post_fields.size()));
    curl_easy_setopt(auth->easy, CURLOPT_POSTFIELDS, auth->post_fields.c_str());
    return start_transfer(auth, AVNAPI_AUTH_STATE_ACQUIRING_TOKEN);
}

aud_error avnapi_auth_get_identity(avnapi_auth* auth, const char** text, size_t* length) {
    if (auth == nullptr || text == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (auth->state < AVNAPI_AUTH_STATE_IDENTIFIED) {
        return AUD_ERR_INVALIDSTATE;
    }
    *text = auth->identity.c_str();
    *length = auth->identity.size();
    return AUD_SUCCESS;
}

aud_error avnapi_auth_get_version(avnapi_auth* auth, uint16_t* version) {
    if (auth == nullptr || version == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (auth->state < AVNAPI_AUTH_STATE_IDENTIFIED) {
        return AUD_ERR_INVALIDSTATE;
    }
    *version = auth->version;
    return AUD_SUCCESS;
}

aud_error avnapi_auth_get_token(avnapi_auth* auth, const uint8_t** token, size_t* length) {
    if (auth == nullptr || token == nullptr || length == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (auth->state != AVNAPI_AUTH_STATE_TOKEN_ACQUIRED) {
        return AUD_ERR_INVALIDSTATE;
    }
    *token = reinterpret_cast<const uint8_t*>(auth->token.c_str());
    *length = auth->token.size();
    return AUD_SUCCESS;
}

aud_error avnapi_auth_get_service_port(avnapi_auth* auth, uint16_t* port) {
    if (auth == nullptr || port == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (auth->state != AVNAPI_AUTH_STATE_TOKEN_ACQUIRED) {
        return AUD_ERR_INVALIDSTATE;
    }
    *port = auth->service_port;
    return AUD_SUCCESS;
}

bool avnapi_auth_last_failure_was_pin(const avnapi_auth* auth) {
    return auth != nullptr && auth->last_result == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
}

int avnapi_auth_get_state(const avnapi_auth* auth) {
    return auth == nullptr ? AVNAPI_AUTH_STATE_IDLE : auth->state;
}

void avnapi_auth_drop_token(avnapi_auth* auth) {
    if (auth == nullptr) {
        return;
    }
    if (auth->state == AVNAPI_AUTH_STATE_ACQUIRING_TOKEN) {
        end_transfer(auth);
        auth->response.clear();
    }
    if (auth->state == AVNAPI_AUTH_STATE_ACQUIRING_TOKEN ||
        auth->state == AVNAPI_AUTH_STATE_TOKEN_ACQUIRED) {
        auth->token.clear();
        auth->service_port = 0;
        auth->state = AVNAPI_AUTH_STATE_IDENTIFIED;
    }
}

void avnapi_auth_reset(avnapi_auth* auth) {
    if (auth == nullptr) {
        return;
    }
    avnapi_auth_drop_token(auth);
    end_transfer(auth);
    auth->response.clear();
    auth->base_url.clear();
    auth->identity.clear();
    auth->version = 0;
    auth->state = AVNAPI_AUTH_STATE_IDLE;
}

aud_error avnapi_auth_code_to_error(int code) {
    switch (code) {
    case AVNAPI_AUTH_SUCCESS:
        return AUD_SUCCESS;
    case AVNAPI_AUTH_UNAUTHORISED:
        return AUD_ERR_POLICY;
    case AVNAPI_AUTH_CONNECTION_FAILED:
    case AVNAPI_AUTH_TRANSFER_ERROR:
    case AVNAPI_AUTH_TLS_HANDSHAKE_ERROR:
    case AVNAPI_AUTH_CA_CERTIFICATE_ERROR:
        return AUD_ERR_CONNREFUSED;
    case AVNAPI_AUTH_MALFORMED:
        return AUD_ERR_INVALIDDATA;
    case AVNAPI_AUTH_NO_SUPPORTED_VERSION:
        return AUD_ERR_NOTSUPPORTED;
    default:
        return AUD_ERR_FAULT;
    }
}
