// Identify and login against avn-sim's Domain Manager on loopback, driven by
// the AVN event loop: the time from starting identify to holding the token,
// with a numeric address and with a name that libcurl must resolve.
// Usage: dm_auth_bench [--repeat N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "avn/domain/avnapi_auth.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
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
        aud_fdsets sets;
        aud_fdsets_clear(&sets);
        aud_event_loop_get_fdsets(loop, &sets);
        aud_fdsets_wait(&sets, aud_event_loop_get_timeout(loop));
        aud_event_loop_dispatch(loop, &sets);
        aud_event_loop_step(loop);
    }
    return run.code;
}

void print_figures(const char* what, std::vector<double> samples) {
    if (samples.empty()) {
        std::printf("%-22s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    std::printf("%-22s n=%-3zu p50 %6.1f ms  p95 %6.1f ms  max %6.1f ms  (target p95 < 300 ms)\n",
                what, samples.size(), at(0.5), at(0.95), samples.back());
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

}  // namespace

int main(int argc, char** argv) {
    int repeat = 50;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0) {
            repeat = std::max(1, std::atoi(argv[++i]));
        }
    }
    sim::SimLog log(true);
    sim::DmSettings settings;
    settings.enabled = true;
    settings.port = 0;
    sim::DmWebService dm(log, settings);
    if (dm.start() != AUD_SUCCESS) {
        std::fprintf(stderr, "the Domain Manager did not start\n");
        return 1;
    }
    Run run;
    if (aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &run.env) != AUD_SUCCESS ||
        avnapi_auth_new(run.env, &run.auth) != AUD_SUCCESS) {
        return 1;
    }
    avnapi_auth_set_context(run.auth, &run);
    avnapi_auth_set_callback(run.auth, on_done);
    std::printf("identify + login against avn-sim's Domain Manager on loopback\n");
    print_figures("127.0.0.1", measure(run, "127.0.0.1", dm.port(), repeat));
    print_figures("localhost (resolved)", measure(run, "localhost", dm.port(), repeat));
    avnapi_auth_delete(run.auth);
    aud_env_delete(run.env);
    dm.stop();
    return 0;
}
