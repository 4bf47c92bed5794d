// dnssd_probe TYPE NAME SECONDS: browses TYPE with our DNS-SD client,
// resolves every instance it finds and prints what it learns, one line
// each. Exits 0 as soon as instance NAME is resolved, 1 when SECONDS pass
// first. The interoperability test runs it against another mDNS stack.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avn/dnssd/dnssd.h"
#include "tests/avn/dnssd/dnssd_test_support.h"

namespace {

struct Found {
    std::map<std::string, uint32_t> instances;
};

void browsed(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType,
             const char* name, const char* type, const char* domain, void* context) {
    std::printf("%s %s %s%s interface %u\n", (flags & kDNSServiceFlagsAdd) ? "found" : "lost", name,
                type, domain, interface_index);
    if ((flags & kDNSServiceFlagsAdd) != 0) {
        static_cast<Found*>(context)->instances[name] = interface_index;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: dnssd_probe TYPE NAME SECONDS\n");
        return 2;
    }
    const std::string type = argv[1];
    const std::string wanted = argv[2];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    Found found;
    DNSServiceRef browse = nullptr;
    if (DNSServiceBrowse(&browse, 0, 0, type.c_str(), "local", browsed, &found) != 0) {
        return 2;
    }
    std::map<std::string, std::pair<DNSServiceRef, std::unique_ptr<dnssd_test::Resolved>>> resolves;
    const std::string base_type = type.substr(0, type.find(','));
    int result = 1;
    while (std::chrono::steady_clock::now() < deadline && result != 0) {
        std::vector<DNSServiceRef> refs = {browse};
        for (const auto& [name, index] : found.instances) {
            if (resolves.count(name) == 0) {
                auto resolved = std::make_unique<dnssd_test::Resolved>();
                DNSServiceRef ref = nullptr;
                DNSServiceResolve(&ref, 0, index, name.c_str(), base_type.c_str(), "local",
                                  dnssd_test::Resolved::callback, resolved.get());
                resolves.emplace(name, std::make_pair(ref, std::move(resolved)));
            }
        }
        for (auto& [name, pair] : resolves) {
            if (pair.first != nullptr) {
                refs.push_back(pair.first);
            }
        }
        dnssd_test::pump_until(
            refs, [] { return false; }, std::chrono::milliseconds(100));
        for (auto& [name, pair] : resolves) {
            dnssd_test::Resolved& r = *pair.second;
            if (pair.first == nullptr || !r.done) {
                continue;
            }
            std::string txt;
            for (size_t i = 0; i < r.txt.size();) {
                const size_t length = r.txt[i];
                if (i + 1 + length > r.txt.size()) {
                    break;
                }
                txt += (txt.empty() ? "" : " ") +
                       std::string(r.txt.begin() + static_cast<ptrdiff_t>(i + 1),
                                   r.txt.begin() + static_cast<ptrdiff_t>(i + 1 + length));
                i += 1 + length;
            }
            const auto* port = reinterpret_cast<const uint8_t*>(&r.port_network_order);
            std::printf("resolved %s host %s port %u interface %u txt %s\n", name.c_str(),
                        r.host.c_str(), unsigned{port[0]} * 256u + port[1], r.interface_index,
                        txt.c_str());
            DNSServiceRefDeallocate(pair.first);
            pair.first = nullptr;
            if (name == wanted) {
                result = 0;
            }
        }
    }
    for (auto& [name, pair] : resolves) {
        if (pair.first != nullptr) {
            DNSServiceRefDeallocate(pair.first);
        }
    }
    DNSServiceRefDeallocate(browse);
    std::fflush(stdout);
    return result;
}
