// Tests of the platform's network facts: gateway guesses, the resolver configuration, adapters,
// socket errors, the host name and the proxy hooks.
#include "core/linux/platform_network.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "tests/support/platform_sandbox.h"

namespace {

TEST(PlatformNetwork, GatewayGuessFromBroadcast) {
    const struct {
        const char* Broadcast;
        int32_t Size;
        int64_t Result;
        const char* Gateway;
    } cases[] = {{"10.0.255.255", 32, 1, "10.0.1"},
                 {"192.168.1.255", 32, 1, "192.168.1.1"},
                 {"10.255.255.255", 32, 1, "10.1"},
                 {"172.16.3.2550", 32, 1, "172.16.3.1"}, // cut at the first ".255", whatever follows
                 {"10.0.0.127", 32, 0, ""},
                 {"", 32, 0, ""},
                 // A guess that does not fit is no guess.
                 {"192.168.1.255", 12, 1, "192.168.1.1"},
                 {"192.168.1.255", 11, 0, ""}};
    for (const auto& c : cases) {
        std::vector<char> gateway((size_t)c.Size, 'x');
        strcpy(gateway.data(), "junk");
        EXPECT_EQ(Platform_GatewayFromBroadcast(c.Broadcast, gateway.data(), c.Size), c.Result)
            << c.Broadcast;
        EXPECT_STREQ(gateway.data(), c.Gateway) << c.Broadcast << " " << c.Size;
    }
    char none = 'x';
    EXPECT_EQ(Platform_GatewayFromBroadcast("192.168.1.255", &none, 0), 0);
    EXPECT_EQ(none, 'x');
}

TEST(PlatformNetwork, ResolverConfiguration) {
    const struct {
        const char* Text;
        int32_t FirstSize, SecondSize;
        int64_t Result;
        const char* First;
        const char* Second;
    } cases[] = {
        {"nameserver 10.0.0.1\nnameserver 10.0.0.2\nnameserver 10.0.0.3\n", 64, 64, 1, "10.0.0.1",
         "10.0.0.2"},
        {"# comment\nsearch example\n  nameserver\t192.168.1.1 # home\r\n", 64, 64, 1, "192.168.1.1", ""},
        {"; nameserver 1.1.1.1\n#nameserver 2.2.2.2\nnameserver 2001:db8::1\r\nnameserver 9.9.9.9", 64, 64, 1,
         "2001:db8::1", "9.9.9.9"},
        {"nameserverX 1.2.3.4\nnameserver\nnameserver   \noptions ndots:1\n", 64, 64, 0, "", ""},
        {"", 64, 64, 0, "", ""},
        {"nameserver 10.0.0.1\nnameserver 10.0.0.2", 5, 2, 1, "10.0", "1"}};
    for (const auto& c : cases) {
        std::vector<char> first((size_t)c.FirstSize, 'x'), second((size_t)c.SecondSize, 'x');
        EXPECT_EQ(Platform_ParseResolverConfiguration(c.Text, first.data(), c.FirstSize, second.data(),
                                                      c.SecondSize),
                  c.Result)
            << c.Text;
        EXPECT_STREQ(first.data(), c.First) << c.Text;
        EXPECT_STREQ(second.data(), c.Second) << c.Text;
    }
}

TEST(PlatformNetwork, DnsComesFromTheResolverFile) {
    TempDir dir;
    const auto dns = [] {
        char first[64] = "junk", second[64] = "junk";
        const int64_t result = Platform_GetDNS(first, sizeof(first), second, sizeof(second));
        return std::to_string(result) + "|" + first + "|" + second;
    };
    auto result = RunIsolated(
        [&] { return BindText(dir, "/etc/resolv.conf", "search x\nnameserver 10.9.8.7\nnameserver ::1\n"); },
        dns);
    if (!result) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(*result, "1|10.9.8.7|::1");
    EXPECT_EQ(RunIsolated([&] { return BindText(dir, "/etc/resolv.conf", "options ndots:1\n"); }, dns),
              "0||");
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
        // Loopback has no broadcast address, so no gateway guess, and no hardware address.
        EXPECT_STREQ(info.Gateway.Text, "");
        EXPECT_EQ(info.Gateway.Address, 0u);
        EXPECT_EQ(std::make_tuple(info.Loopback, info.Up, info.HasMac, info.MacHigh, info.MacLow),
                  std::make_tuple(1u, 1u, 0u, 0u, 0u));
    }
    EXPECT_TRUE(found);
    // Past the end the record is zeroed; a positive selector and a negative index answer false.
    for (const auto& [at, selector] : {std::pair{index, 0}, {0, 1}, {-1, 0}}) {
        memset(&info, 0xAB, sizeof(info));
        EXPECT_EQ(Platform_GetAdapterByIndex(at, selector, &info), 0) << at << " " << selector;
        EXPECT_EQ(info.Valid, 0u);
        EXPECT_EQ(info.Name[0], 0);
    }
    EXPECT_EQ(Platform_GetAdapterByIndex(0, -1, &info), index > 0 ? 1 : 0);
}

TEST(PlatformNetwork, LastSocketErrorAndHostName) {
    // A port that was just free on loopback refuses the connection.
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(probe);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), -1);
    EXPECT_EQ(Platform_GetLastSocketError(), ECONNREFUSED);
    close(client);
    errno = 0;
    EXPECT_EQ(Platform_GetLastSocketError(), 0);

    char expected[256] = "", name[256] = "junk", small[3] = "xy";
    ASSERT_EQ(gethostname(expected, sizeof(expected)), 0);
    EXPECT_EQ(Platform_GetHostName(name, sizeof(name)), 1);
    EXPECT_STREQ(name, expected);
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
    // Without a resolver of the caller's, no proxy; with one, its answer.
    for (auto resolver :
         {(decltype(&FixedResolver))nullptr, &FixedResolver, (decltype(&FixedResolver))nullptr}) {
        EXPECT_EQ(Platform_ProxyGetForURLOverride(resolver), 1);
        int32_t state = 9;
        strcpy(buffer, "junk");
        EXPECT_EQ(Platform_ProxyGetForURL("http://a.test/", buffer, sizeof(buffer), &state), 1);
        EXPECT_EQ(state, resolver ? 4 : 0);
        EXPECT_STREQ(buffer, resolver ? "PROXY proxy.test:8080 for http://a.test/" : "");
    }
    strcpy(buffer, "junk");
    EXPECT_EQ(Platform_ProxyGetForURLWithScript("function FindProxyForURL(u, h) { return \"DIRECT\"; }", 0,
                                                "http://a.test/", buffer, sizeof(buffer)),
              1);
    EXPECT_STREQ(buffer, "DIRECT");
}

} // namespace
