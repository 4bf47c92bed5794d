// The list against what Linux itself reports: every interface of the system
// appears with its own index, and the loopback device is found.

#include <arpa/inet.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "avn/browse/interfaces.h"

namespace {

struct FreeNameIndex {
    void operator()(struct if_nameindex* names) const { if_freenameindex(names); }
};

struct FreeList {
    void operator()(aud_interface* list) const { aud_interface_list_free(list); }
};

TEST(InterfaceListLinux, LoopbackIsFound) {
    aud_interface loopback{};
    ASSERT_EQ(aud_interface_find_loopback(&loopback), AUD_SUCCESS);
    EXPECT_STREQ(loopback.adapter_name, "lo");
    EXPECT_EQ(std::u16string(loopback.name), u"lo");
    EXPECT_EQ(loopback.index, if_nametoindex("lo"));
    EXPECT_EQ(loopback.kind, uint32_t{AUD_INTERFACE_KIND_LOOPBACK});
    EXPECT_EQ(loopback.dns_server.length, 0u);
    EXPECT_EQ(loopback.gateway.length, 0u);
    // A fresh network namespace has its loopback device down and unaddressed.
    if (loopback.address.length != 0) {
        EXPECT_EQ(aud_socket_address_get_ipv4(&loopback.address), uint32_t{INADDR_LOOPBACK});
        EXPECT_EQ(aud_socket_address_get_port(&loopback.address), 0u);
        EXPECT_EQ(aud_interface_get_address(&loopback.netmask), htonl(0xFF000000u));
    }
}

TEST(InterfaceListLinux, EverySystemInterfaceIsListedWithItsIndex) {
    aud_interface* raw = nullptr;
    size_t count = 0;
    ASSERT_EQ(aud_interface_list(&raw, &count), AUD_SUCCESS);
    const std::unique_ptr<aud_interface, FreeList> list(raw);
    const std::unique_ptr<struct if_nameindex, FreeNameIndex> names(if_nameindex());
    ASSERT_NE(names, nullptr);
    for (const struct if_nameindex* name = names.get(); name->if_index != 0; ++name) {
        aud_interface found{};
        ASSERT_EQ(aud_interface_select_by_index(list.get(), count, name->if_index, &found),
                  AUD_SUCCESS)
            << name->if_name;
        EXPECT_STREQ(found.adapter_name, name->if_name);
    }
}

}  // namespace
