#include "core/net/socket.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "core/linux/platform_network.h"

namespace {

std::string Expand(const char* name, int64_t* result, int32_t capacity = 256) {
    char value[256];
    char argument[] = "ignored";
    memset(value, 'z', sizeof(value));
    *result = Socket_ExpandKey(nullptr, name, argument, value, capacity);
    return std::string(value, strnlen(value, sizeof(value)));
}

// The first adapter that passes the test, found the way a caller would read the list.
template <typename Test> bool FirstAdapter(PlatformAdapterInfo* info, Test&& test) {
    for (int32_t i = 0; Platform_GetAdapterByIndex(i, 0, info); i++)
        if (test(*info)) return true;
    return false;
}

TEST(SocketExpandKey, MachineName) {
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof(host)), 0);
    int64_t result = 0;
    for (const char* name : {"MachineName", "machinename", "MACHINENAME"}) {
        EXPECT_EQ(Expand(name, &result), std::string(host).substr(0, SOCKET_MACHINE_NAME_MAX)) << name;
        EXPECT_EQ(result, 1);
    }
    EXPECT_EQ(Expand("MachineName", &result, 3), std::string(host).substr(0, 2));
    EXPECT_EQ(result, 1);
}

TEST(SocketExpandKey, IntranetAddressIsTheFirstNonLoopbackAdapter) {
    PlatformAdapterInfo info;
    std::string expected;
    if (FirstAdapter(&info, [](const PlatformAdapterInfo& a) { return !a.Loopback; }))
        expected = info.IpAddress.Text;
    int64_t result = 0;
    const std::string value = Expand("intranetip", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(value, expected);
    EXPECT_EQ(value.rfind("127.", 0), std::string::npos);
}

// Six bytes in upper-case hex between colons, as the first adapter with a link address has it.
TEST(SocketExpandKey, MacAddressOfTheFirstAdapterWithOne) {
    PlatformAdapterInfo info;
    std::string expected;
    if (FirstAdapter(&info, [](const PlatformAdapterInfo& a) { return a.HasMac != 0; })) {
        uint8_t mac[6];
        memcpy(mac, &info.MacHigh, 4);
        memcpy(mac + 4, &info.MacLow, 2);
        char text[32];
        snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                 mac[5]);
        expected = text;
    }
    int64_t result = 0;
    const std::string value = Expand("MacAddress", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(value, expected);
    EXPECT_NE(value, "00:00:00:00:00:00");
}

TEST(SocketExpandKey, OtherNamesAreNotHandled) {
    for (const char* name : {"", "Machine", "MachineNames", "IntranetIP6", "Registry"}) {
        char value[8] = "keep";
        EXPECT_EQ(Socket_ExpandKey(nullptr, name, nullptr, value, sizeof(value)), 0) << name;
    }
}

} // namespace
