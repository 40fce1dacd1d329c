// Host-level socket operations: name resolution of loopback names and address text, byte order,
// nets, port names, the adapter list and the macro keys of the machine's identity.
#include "core/net/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/runtime/string.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"

namespace {

std::string Dotted(uint32_t address) {
    char text[32];
    String_ConvertFromIP(&address, 0, text, sizeof(text));
    return text;
}

TEST(SocketMachine, ResolvesLoopbackNamesAndAddressText) {
    const struct {
        const char* Name;
        int64_t Result;
        const char* Address;
    } cases[] = {{"localhost", 1, "127.0.0.1"},
                 {"127.0.0.1", 1, "127.0.0.1"},
                 {"10.1.2.3", 1, "10.1.2.3"},
                 {"::1", 1, "127.0.0.1"},
                 {"fe80::1", 0, "0.0.0.0"}};
    for (const auto& c : cases) {
        SocketMachine machine;
        memset(&machine, 0x55, sizeof(machine));
        EXPECT_EQ(Socket_GetMachineByName(&machine, c.Name), c.Result) << c.Name;
        EXPECT_EQ(Dotted(machine.Address), c.Address) << c.Name;
        EXPECT_STREQ(machine.Name, c.Name);
        EXPECT_EQ(machine.Port, 0u);
    }
}

TEST(SocketMachine, EmptyNameIsThisMachine) {
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof(host)), 0);
    SocketMachine machine;
    Socket_GetMachineByName(&machine, "");
    EXPECT_STREQ(machine.Name, host);
    char local[8];
    EXPECT_EQ(Socket_GetLocalMachineName(local, sizeof(local)), 1);
    EXPECT_EQ(std::string(local), std::string(host).substr(0, 7));
    EXPECT_EQ(Socket_GetLocalMachineName(local, 0), 0);
}

TEST(SocketMachine, UrlGivesHostAndPort) {
    const struct {
        const char* Url;
        int64_t Result;
        const char* Address;
        uint32_t Port;
    } cases[] = {{"http://127.0.0.1:8080/path", 1, "127.0.0.1", 8080},
                 {"https://localhost/", 1, "127.0.0.1", 443},
                 {"http://10.0.0.9", 1, "10.0.0.9", 80},
                 {"file:///etc/hosts", 0, "0.0.0.0", 0}};
    for (const auto& c : cases) {
        SocketMachine machine;
        EXPECT_EQ(Socket_GetMachineByURL(&machine, c.Url), c.Result) << c.Url;
        EXPECT_EQ(Dotted(machine.Address), c.Address) << c.Url;
        EXPECT_EQ(machine.Port, c.Port) << c.Url;
    }
}

TEST(SocketMachine, ReverseLookupOfLoopback) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    SocketMachine machine;
    ASSERT_EQ(Socket_GetMachineByIP(&machine, &loopback), 1);
    EXPECT_NE(machine.Name[0], 0);
    EXPECT_EQ(machine.Address, loopback);
}

TEST(SocketMachine, PortNames) {
    const struct {
        uint32_t Port, Protocol;
        int64_t Result;
        const char* Name;
    } cases[] = {{443, SOCKET_PROTOCOL_TCP, 1, "https"},
                 {80, SOCKET_PROTOCOL_TCP, 1, "http"},
                 {443, SOCKET_PROTOCOL_RAW, 0, ""},
                 {65000, SOCKET_PROTOCOL_TCP, 0, ""}};
    for (const auto& c : cases) {
        char name[32] = "junk";
        EXPECT_EQ(Socket_GetPortName(c.Port, c.Protocol, name, sizeof(name)), c.Result) << c.Port;
        EXPECT_STREQ(name, c.Name) << c.Port;
    }
}

TEST(SocketMachine, ByteOrderAndEvaluation) {
    uint16_t s = 0;
    uint32_t l = 0;
    uint64_t q = 0;
    Socket_ConvertHostToNetwork16(&s, 0x1234);
    EXPECT_EQ(memcmp(&s, "\x12\x34", 2), 0);
    Socket_ConvertHostToNetwork32(&l, 0x12345678);
    EXPECT_EQ(memcmp(&l, "\x12\x34\x56\x78", 4), 0);
    Socket_ConvertHostToNetwork64(&q, 0x0102030405060708ull);
    EXPECT_EQ(memcmp(&q, "\x01\x02\x03\x04\x05\x06\x07\x08", 8), 0);
    Socket_ConvertNetworkToHost64(&q, q);
    EXPECT_EQ(q, 0x0102030405060708ull);
    uint32_t low = 0, high = 0, a = 0, b = 0;
    String_ConvertToIP("10.0.0.255", &a, nullptr);
    String_ConvertToIP("10.0.1.0", &b, nullptr);
    Socket_IPToEval(&a, &low);
    Socket_IPToEval(&b, &high);
    EXPECT_LT(low, high);
    Socket_EvalToIP(&high, &l);
    EXPECT_EQ(l, b);
}

TEST(SocketMachine, IsInNet) {
    const struct {
        const char *Address, *Network, *Mask;
        int64_t In;
    } cases[] = {{"192.168.1.7", "192.168.1.0", "255.255.255.0", 1},
                 {"192.168.2.7", "192.168.1.0", "255.255.255.0", 0},
                 {"10.9.8.7", "10.0.0.0", "255.0.0.0", 1},
                 {"bad", "10.0.0.0", "255.0.0.0", 0},
                 {"10.9.8.7", "bad", "255.0.0.0", 0}};
    for (const auto& c : cases) EXPECT_EQ(Socket_IsInNet(c.Address, c.Network, c.Mask), c.In) << c.Address;
}

// The adapter accessors read the platform's list; the loopback adapter is always there.
TEST(SocketMachine, AdaptersListed) {
    int32_t loopback = -1, count = 0;
    PlatformAdapterInfo info;
    for (; Socket_AdapterGetByIndex(count, &info); count++) {
        char name[PLATFORM_ADAPTER_NAME_SIZE], ip[32];
        EXPECT_EQ(Socket_AdapterGetName(count, name, sizeof(name)), 1);
        EXPECT_STREQ(name, info.Name);
        EXPECT_EQ(Socket_AdapterGetIP(count, ip, sizeof(ip)), 1);
        EXPECT_STREQ(ip, info.IpAddress.Text);
        if (std::string(ip) == "127.0.0.1") loopback = count;
    }
    ASSERT_GE(loopback, 0);
    uint32_t connected = 0;
    EXPECT_EQ(Socket_AdapterGetConnected(loopback, &connected), 1);
    EXPECT_EQ(connected, 1u);
    char text[32] = "junk";
    EXPECT_EQ(Socket_AdapterGetName(count, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Socket_AdapterGetGateway(loopback, 1, text, sizeof(text)), 0);
    uint8_t mac[6] = {1};
    EXPECT_EQ(Socket_AdapterGetMACAddress(count, mac, 6), 0);
    EXPECT_EQ(mac[0], 0);

    LogCapture log;
    Socket_AdapterGetByIndex(loopback, &info);
    EXPECT_EQ(Socket_AdapterPrintIndex(loopback), 1);
    const std::string expected = std::string("Name: ") + info.Name + "\n";
    const std::string printed = log.Text();
    for (const std::string& line : {expected, std::string("IP: 127.0.0.1\n"), std::string("Address: 00-00-00-00-00-00\n"),
                                    std::string("Netmask 1: 255.0.0.0\n"), std::string("IsConnected: 1\n"),
                                    std::string("IsPrimary: 0\n")})
        EXPECT_NE(printed.find(line), std::string::npos) << line << " in " << printed;
    EXPECT_EQ(Socket_AdapterPrintIndex(count), 0);
}

TEST(SocketMachine, MacAddressLengthMustBeSix) {
    InstallTestAbortHook();
    uint8_t mac[8];
    EXPECT_DEATH(Socket_GetMACAddress(mac, 8), "Assertion failed \\(length == 6\\)");
}

// The first adapter with a link address, found the way a caller would read the list.
bool FirstWithMac(PlatformAdapterInfo* info) {
    for (int32_t i = 0; Platform_GetAdapterByIndex(i, 0, info); i++)
        if (info->HasMac) return true;
    return false;
}

std::string Expand(const char* name, int64_t* result, int32_t capacity = 256) {
    char value[256];
    char argument[] = "ignored";
    memset(value, 'z', sizeof(value));
    *result = Socket_ExpandKey(nullptr, name, argument, value, capacity);
    return std::string(value, strnlen(value, sizeof(value)));
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

TEST(SocketExpandKey, IntranetAddressAndMacOfTheFirstAdapterWithALinkAddress) {
    PlatformAdapterInfo info;
    std::string address, mac;
    if (FirstWithMac(&info)) {
        address = info.IpAddress.Text;
        uint8_t m[6];
        memcpy(m, &info.MacHigh, 4);
        memcpy(m + 4, &info.MacLow, 2);
        char text[32];
        snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
        mac = text;
    }
    int64_t result = 0;
    EXPECT_EQ(Expand("intranetip", &result), address);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Expand("MacAddress", &result), mac);
    EXPECT_EQ(result, 1);
    uint32_t intranet = 0;
    EXPECT_EQ(Socket_GetIntranetIP(&intranet), address.empty() ? 0 : 1);
}

TEST(SocketExpandKey, OtherNamesAreNotHandled) {
    for (const char* name : {"", "Machine", "MachineNames", "IntranetIP6", "Registry"}) {
        char value[8] = "keep";
        EXPECT_EQ(Socket_ExpandKey(nullptr, name, nullptr, value, sizeof(value)), 0) << name;
    }
}

TEST(SocketMachine, InitLogsIdentity) {
    LogCapture log;
    EXPECT_EQ(Socket_Init(), 1);
    EXPECT_NE(log.Text().find("Intranet IP: "), std::string::npos);
    EXPECT_NE(log.Text().find("Machine Name: "), std::string::npos);
}

} // namespace
