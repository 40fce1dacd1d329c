#include "core/linux/platform_network.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

static_assert(offsetof(PlatformAdapterInfo, Description) == 260);
static_assert(offsetof(PlatformAdapterInfo, IpAddress) == 392);
static_assert(sizeof(PlatformAdapterAddress) == 36);
static_assert(offsetof(PlatformAdapterInfo, Gateway) == 428);
static_assert(offsetof(PlatformAdapterInfo, Netmask) == 464);
static_assert(offsetof(PlatformAdapterInfo, MacHigh) == 500);
static_assert(offsetof(PlatformAdapterInfo, MacLow) == 504);
static_assert(offsetof(PlatformAdapterInfo, Up) == 508);
static_assert(offsetof(PlatformAdapterInfo, TypeBit) == 524);

TEST(PlatformNetwork, GatewayGuessFromBroadcast) {
    const struct {
        const char* broadcast;
        int64_t result;
        const char* gateway;
    } cases[] = {
        {"10.0.255.255", 1, "10.0.1"},
        {"192.168.1.255", 1, "192.168.1.1"},
        {"10.255.255.255", 1, "10.1"},
        {"172.16.3.2550", 1, "172.16.3.1"}, // cut at the first ".255", whatever follows
        {"10.0.0.127", 0, ""},
        {"", 0, ""},
    };
    for (const auto& test : cases) {
        char gateway[32] = "junk";
        EXPECT_EQ(Platform_GatewayFromBroadcast(test.broadcast, gateway, sizeof(gateway)), test.result)
            << test.broadcast;
        EXPECT_STREQ(gateway, test.gateway) << test.broadcast;
    }
    // A guess that does not fit is no guess.
    char small[12] = "junk";
    EXPECT_EQ(Platform_GatewayFromBroadcast("192.168.1.255", small, sizeof(small)), 1);
    EXPECT_STREQ(small, "192.168.1.1");
    char tight[11] = "junk";
    EXPECT_EQ(Platform_GatewayFromBroadcast("192.168.1.255", tight, sizeof(tight)), 0);
    EXPECT_STREQ(tight, "");
    EXPECT_EQ(Platform_GatewayFromBroadcast("192.168.1.255", tight, 0), 0);
}

TEST(PlatformNetwork, ResolverConfiguration) {
    const struct {
        const char* text;
        int64_t result;
        const char* first;
        const char* second;
    } cases[] = {
        {"nameserver 10.0.0.1\nnameserver 10.0.0.2\nnameserver 10.0.0.3\n", 1, "10.0.0.1", "10.0.0.2"},
        {"# comment\nsearch example\n  nameserver\t192.168.1.1 # home\r\n", 1, "192.168.1.1", ""},
        {"; nameserver 1.1.1.1\n#nameserver 2.2.2.2\nnameserver 2001:db8::1\r\nnameserver 9.9.9.9", 1,
         "2001:db8::1", "9.9.9.9"},
        {"nameserverX 1.2.3.4\nnameserver\nnameserver   \noptions ndots:1\n", 0, "", ""},
        {"", 0, "", ""},
    };
    for (const auto& test : cases) {
        char first[64] = "junk", second[64] = "junk";
        EXPECT_EQ(
            Platform_ParseResolverConfiguration(test.text, first, sizeof(first), second, sizeof(second)),
            test.result)
            << test.text;
        EXPECT_STREQ(first, test.first) << test.text;
        EXPECT_STREQ(second, test.second) << test.text;
    }
    char first[5], second[2];
    EXPECT_EQ(Platform_ParseResolverConfiguration("nameserver 10.0.0.1\nnameserver 10.0.0.2", first,
                                                  sizeof(first), second, sizeof(second)),
              1);
    EXPECT_STREQ(first, "10.0");
    EXPECT_STREQ(second, "1");
}

TEST(PlatformNetwork, DnsOfThisMachineAgreesWithItsResolverFile) {
    char first[64] = "junk", second[64] = "junk";
    int64_t result = Platform_GetDNS(first, sizeof(first), second, sizeof(second));
    char expectedFirst[64], expectedSecond[64];
    int64_t expected = FileExists("/etc/resolv.conf")
                           ? Platform_ParseResolverConfiguration(ReadFile("/etc/resolv.conf").c_str(),
                                                                 expectedFirst, sizeof(expectedFirst),
                                                                 expectedSecond, sizeof(expectedSecond))
                           : 0;
    EXPECT_EQ(result, expected);
    if (expected) {
        EXPECT_STREQ(first, expectedFirst);
        EXPECT_STREQ(second, expectedSecond);
    } else {
        EXPECT_STREQ(first, "");
        EXPECT_STREQ(second, "");
    }
}

TEST(PlatformNetwork, LoopbackAdapter) {
    PlatformAdapterInfo info;
    bool found = false;
    int32_t index = 0;
    for (; Platform_GetAdapterByIndex(index, 0, &info); index++) {
        EXPECT_EQ(info.Valid, 1u);
        EXPECT_EQ(info.Description[0], 0);
        EXPECT_NE(info.IpAddress.Text[0], 0);
        if (strcmp(info.IpAddress.Text, "127.0.0.1") != 0) continue;
        found = true;
        EXPECT_STREQ(info.Name, "lo");
        EXPECT_STREQ(info.Netmask.Text, "255.0.0.0");
        const uint8_t address[4] = {127, 0, 0, 1}, mask[4] = {255, 0, 0, 0};
        EXPECT_EQ(memcmp(&info.IpAddress.Address, address, 4), 0);
        EXPECT_EQ(memcmp(&info.Netmask.Address, mask, 4), 0);
        // Loopback has no broadcast address, so no gateway guess.
        EXPECT_STREQ(info.Gateway.Text, "");
        EXPECT_EQ(info.Gateway.Address, 0u);
        EXPECT_EQ(info.Loopback, 1u);
        EXPECT_EQ(info.Up, 1u);
        EXPECT_EQ(info.HasMac, 0u);
        EXPECT_EQ(info.MacHigh, 0u);
        EXPECT_EQ(info.MacLow, 0u);
    }
    EXPECT_TRUE(found);
    // Past the end the record is zeroed.
    memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(Platform_GetAdapterByIndex(index, 0, &info), 0);
    EXPECT_EQ(info.Valid, 0u);
    EXPECT_EQ(info.Name[0], 0);
    // A positive selector and a negative index answer false at once.
    EXPECT_EQ(Platform_GetAdapterByIndex(0, 1, &info), 0);
    EXPECT_EQ(info.Valid, 0u);
    EXPECT_EQ(Platform_GetAdapterByIndex(-1, 0, &info), 0);
    EXPECT_EQ(Platform_GetAdapterByIndex(0, -1, &info), index > 0 ? 1 : 0);
}

TEST(PlatformNetwork, LastSocketErrorAndHostName) {
    // A port that was just free on loopback refuses the connection.
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(probe, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(probe);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), -1);
    EXPECT_EQ(Platform_GetLastSocketError(), ECONNREFUSED);
    close(client);
    errno = 0;
    EXPECT_EQ(Platform_GetLastSocketError(), 0);

    char expected[256] = "";
    ASSERT_EQ(gethostname(expected, sizeof(expected)), 0);
    char name[256] = "junk";
    EXPECT_EQ(Platform_GetHostName(name, sizeof(name)), 1);
    EXPECT_STREQ(name, expected);
    char small[3] = "xy";
    EXPECT_EQ(Platform_GetHostName(small, sizeof(small)), 1);
    EXPECT_EQ(std::string(small), std::string(expected).substr(0, 2));
}

int64_t FixedResolver(const char* url, char* buffer, int32_t size, int32_t* state) {
    *state = 4;
    snprintf(buffer, (size_t)size, "PROXY proxy.test:8080 for %s", url);
    return 1;
}

TEST(PlatformNetwork, ProxyHooks) {
    char buffer[64] = "junk";
    EXPECT_EQ(Platform_ProxyGetWpadURL(buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");

    int32_t state = 9;
    strcpy(buffer, "junk");
    EXPECT_EQ(Platform_ProxyGetForURL("http://a.test/", buffer, sizeof(buffer), &state), 1);
    EXPECT_EQ(state, 0);
    EXPECT_STREQ(buffer, "");

    EXPECT_EQ(Platform_ProxyGetForURLOverride(FixedResolver), 1);
    EXPECT_EQ(Platform_ProxyGetForURL("http://a.test/", buffer, sizeof(buffer), &state), 1);
    EXPECT_EQ(state, 4);
    EXPECT_STREQ(buffer, "PROXY proxy.test:8080 for http://a.test/");
    EXPECT_EQ(Platform_ProxyGetForURLOverride(nullptr), 1);
    EXPECT_EQ(Platform_ProxyGetForURL("http://a.test/", buffer, sizeof(buffer), &state), 1);
    EXPECT_EQ(state, 0);
    EXPECT_STREQ(buffer, "");

    strcpy(buffer, "junk");
    EXPECT_EQ(Platform_ProxyGetForURLWithScript("function FindProxyForURL(u, h) { return \"DIRECT\"; }",
                                                nullptr, "http://a.test/", buffer, sizeof(buffer)),
              0);
    EXPECT_STREQ(buffer, "");

    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_ProxyGetForURL("http://a.test/", buffer, sizeof(buffer), nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
