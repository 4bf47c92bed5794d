// The Domain Manager login against avn-sim on loopback, driven by the AVN
// event loop:
//   identify + login   from starting identify to holding the token, with a
//                      numeric address and with a name libcurl must resolve
//   curl baseline      the same two HTTPS requests made the plainest way, in
//                      the same run: libcurl's easy interface, blocking, a
//                      new handle (and connection) per request, the same
//                      root as the only trust (target: identify + login p95
//                      within twice this one's)
//   login to list      from avn_domain_handler_login to the domain list
//                      (identify, login, TLS connection, list)
//   idle               the process's CPU time while connected and idle, the
//                      keepalive timer armed (the simulator's threads included)
// Usage: dm_auth_bench [--repeat N] [--idle-seconds N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "avn/domain/avnapi_auth.h"
#include "avn/domain/dm_trust.h"
#include "bench/bench_support.h"
#include "avn/domain/domain_handler.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "sim/dm/dm_connection_service.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_log.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    aud_env* env = nullptr;
    avnapi_auth* auth = nullptr;
    int code = -1;
};

void on_done(void* context, int code) { static_cast<Run*>(context)->code = code; }

// Steps the loop until the transfer reports or 10 s pass.
int wait_for_result(Run& run) {
    run.code = -1;
    aud_event_loop* loop = aud_env_get_event_loop(run.env);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (run.code < 0 && Clock::now() < deadline) {
        bench::step(loop, std::chrono::seconds(60));
    }
    return run.code;
}

void print_figures(const char* what, std::vector<double> samples, double target_ms = 300) {
    if (samples.empty()) {
        std::printf("%-22s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    std::printf("%-22s n=%-3zu p50 %6.1f ms  p95 %6.1f ms  max %6.1f ms", what, samples.size(),
                at(0.5), at(0.95), samples.back());
    if (target_ms > 0) {
        std::printf("  (target p95 < %.0f ms)", target_ms);
    }
    std::printf("\n");
}

std::vector<double> measure(Run& run, const char* host, uint16_t port, int repeat) {
    std::vector<double> samples;
    for (int i = 0; i < repeat; ++i) {
        const auto start = Clock::now();
        if (avnapi_auth__identify(run.auth, host, port) != AUD_SUCCESS || wait_for_result(run) != 0 ||
            avnapi_auth__login(run.auth, "admin", "admin") != AUD_SUCCESS ||
            wait_for_result(run) != 0) {
            std::fprintf(stderr, "identify and login to %s failed (code %d)\n", host, run.code);
            break;
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        avnapi_auth_reset(run.auth);
    }
    return samples;
}

size_t discard_body(char*, size_t size, size_t count, void*) { return size * count; }

// One blocking HTTPS request as a plain libcurl client makes it.
bool curl_request(const std::string& url, const char* form) {
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return false;
    }
    curl_blob root{};
    root.data = const_cast<char*>(avn_dm_ca_certificate);
    root.len = std::strlen(avn_dm_ca_certificate);
    root.flags = CURL_BLOB_NOCOPY;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &root);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard_body);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (form != nullptr) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, form);
    }
    long status = 0;
    const bool done = curl_easy_perform(easy) == CURLE_OK &&
                      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                      status >= 200 && status <= 299;
    curl_easy_cleanup(easy);
    return done;
}

std::vector<double> measure_curl_baseline(uint16_t port, int repeat) {
    const std::string base = "https://127.0.0.1:" + std::to_string(port);
    std::vector<double> samples;
    for (int i = 0; i < repeat; ++i) {
        const auto start = Clock::now();
        if (!curl_request(base + "/avnapi", nullptr) ||
            !curl_request(base + "/avnapi/v2/login", "username=admin&password=admin")) {
            std::fprintf(stderr, "the curl baseline failed\n");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return samples;
}

bool step_until(aud_env* env, avn_domain_handler* handler, int state) {
    aud_event_loop* loop = aud_env_get_event_loop(env);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (avn_domain_handler_get_internal_state(handler) != state) {
        if (Clock::now() > deadline) {
            return false;
        }
        bench::step(loop, std::chrono::seconds(60));
    }
    return true;
}

// avn_domain_handler_login until the domain list is in, `repeat` times; then
// the CPU time of `idle_seconds` connected and idle.
void measure_connection(uint16_t web_port, int repeat, int idle_seconds) {
    aud_env* env = nullptr;
    avn_domain_handler* handler = nullptr;
    if (aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env) != AUD_SUCCESS ||
        avn_domain_handler_new(env, nullptr, nullptr, nullptr, &handler) != AUD_SUCCESS) {
        std::fprintf(stderr, "no domain handler\n");
        return;
    }
    std::vector<double> samples;
    for (int i = 0; i < repeat; ++i) {
        avn_domain_handler_set_dm_address(handler, "127.0.0.1", web_port);
        const auto start = Clock::now();
        if (avn_domain_handler_login(handler, "admin", "admin") != AUD_SUCCESS ||
            !step_until(env, handler, AVN_DOMAIN_HANDLER_STATE_CONNECTED)) {
            std::fprintf(stderr, "login to the domain list failed\n");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (i + 1 < repeat) {
            avn_domain_handler_logout(handler);
        }
    }
    print_figures("login to domain list", samples, 60);

    if (avn_domain_handler_get_internal_state(handler) == AVN_DOMAIN_HANDLER_STATE_CONNECTED &&
        idle_seconds > 0) {
        aud_event_loop* loop = aud_env_get_event_loop(env);
        size_t steps = 0;
        const double cpu_start = bench::cpu_seconds();
        const auto end = Clock::now() + std::chrono::seconds(idle_seconds);
        while (Clock::now() < end) {
            bench::step(loop, std::chrono::seconds(1));
            ++steps;
        }
        const double cpu_ms = 1000.0 * (bench::cpu_seconds() - cpu_start);
        std::printf("%-22s %d s connected: %zu loop steps, process CPU %.1f ms (the simulator's "
                    "threads included)\n",
                    "idle", idle_seconds, steps, cpu_ms);
    }
    avn_domain_handler_logout(handler);
    avn_domain_handler_delete(handler);
    aud_env_delete(env);
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 50;
    int idle_seconds = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--idle-seconds") == 0) {
            idle_seconds = std::max(0, std::atoi(argv[++i]));
        }
    }
    sim::SimLog log(true);
    sim::DmSettings settings;
    settings.enabled = true;
    settings.port = 0;
    sim::DmWebService dm(log, settings);
    sim::DmConnectionService service(log, dm.tokens());
    if (dm.start() != AUD_SUCCESS || service.start(0) != AUD_SUCCESS) {
        std::fprintf(stderr, "the Domain Manager did not start\n");
        return 1;
    }
    dm.set_service_port(service.port());
    Run run;
    if (aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &run.env) != AUD_SUCCESS ||
        avnapi_auth_new(run.env, &run.auth) != AUD_SUCCESS) {
        return 1;
    }
    avnapi_auth_set_context(run.auth, &run);
    avnapi_auth_set_callback(run.auth, on_done);
    std::printf("identify + login against avn-sim's Domain Manager on loopback\n");
    const std::vector<double> baseline = measure_curl_baseline(dm.port(), repeat);
    std::vector<double> sorted = baseline;
    std::sort(sorted.begin(), sorted.end());
    const double baseline_p95 =
        sorted.empty() ? 0 : sorted[static_cast<size_t>(0.95 * static_cast<double>(sorted.size() - 1))];
    print_figures("curl baseline", baseline, 0);
    print_figures("127.0.0.1", measure(run, "127.0.0.1", dm.port(), repeat), 2 * baseline_p95);
    print_figures("localhost (resolved)", measure(run, "localhost", dm.port(), repeat),
                  2 * baseline_p95);
    avnapi_auth_delete(run.auth);
    aud_env_delete(run.env);
    measure_connection(dm.port(), repeat, idle_seconds);
    service.stop();
    dm.stop();
    return 0;
}
