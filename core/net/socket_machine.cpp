// Host-level network operations of the socket layer: name and address lookups into
// SocketMachine records, byte order, the adapter list, the machine's intranet and link
// addresses, and the macro keys that print them.
#include <cstring>

#include "core/formats/url.h"
#include "core/linux/platform_socket.h"
#include "core/net/socket.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

// Longest host text taken from a URL.
constexpr int32_t kUrlHostMax = 120;
// Dotted text of an address as the resolver writes it.
constexpr int32_t kNumericTextSize = 48;

void Mac(const PlatformAdapterInfo& info, uint8_t* out) {
    memcpy(out, &info.MacHigh, 4);
    memcpy(out + 4, &info.MacLow, 2);
}

// The adapter's record, or 0 past the end; out text cleared first.
bool Adapter(int32_t adapter, int32_t gateway, PlatformAdapterInfo* info, char* buffer, int32_t size) {
    if (buffer && size > 0) buffer[0] = 0;
    return Platform_GetAdapterByIndex(adapter, gateway, info) != 0;
}

uint64_t Swap64(uint64_t value) {
    return Debug_IsBigEndian() ? value : __builtin_bswap64(value);
}
uint32_t Swap32(uint32_t value) {
    return Debug_IsBigEndian() ? value : __builtin_bswap32(value);
}
uint16_t Swap16(uint16_t value) {
    return Debug_IsBigEndian() ? value : __builtin_bswap16(value);
}

const char* ServiceOf(uint32_t protocol) {
    switch (protocol) {
    case SOCKET_PROTOCOL_TCP:
        return "tcp";
    case SOCKET_PROTOCOL_UDP:
        return "udp";
    case SOCKET_PROTOCOL_MULTICAST:
        return "multicast";
    default:
        return "unk";
    }
}

} // namespace

int64_t Socket_Init() {
    uint32_t address = 0;
    Socket_GetIntranetIP(&address);
    Log_Info("Intranet IP: %ipv4\n", &address);
    char name[SOCKET_MACHINE_NAME_MAX + 1] = "";
    Platform_GetHostName(name, sizeof(name));
    Log_Info("Machine Name: %s\n", name);
    return 1;
}

int64_t Socket_GetMachineByName(SocketMachine* machine, const char* name) {
    ASSERT_POINTER(machine);
    memset(machine, 0, sizeof(*machine));
    char host[SOCKET_MACHINE_NAME_SIZE] = "";
    if (!name || !*name) {
        if (!Platform_GetHostName(host, sizeof(host))) return 0;
    } else {
        String_CopyLength(host, name, sizeof(host));
    }
    String_CopyLength(machine->Name, host, sizeof(machine->Name));
    int32_t error = 0;
    if (!PlatformSocket_LookupName(host, 1, nullptr, 0, &error) && PlatformSocket_NoSuchName(error)) {
        // Not address text: ask the resolver, and keep its first IPv4 answer.
        char text[kNumericTextSize];
        if (!PlatformSocket_LookupName(host, 0, text, sizeof(text), &error)) return 0;
        return String_ConvertToIP(text, &machine->Address, nullptr);
    }
    return String_ConvertToIP(host, &machine->Address, nullptr);
}

int64_t Socket_GetMachineByIP(SocketMachine* machine, const uint32_t* address) {
    ASSERT_POINTER(machine);
    memset(machine, 0, sizeof(*machine));
    ASSERT_POINTER(address);
    if (!PlatformSocket_LookupAddress(*address, machine->Name, sizeof(machine->Name))) return 0;
    machine->Address = *address;
    return 1;
}

int64_t Socket_GetMachineByURL(SocketMachine* machine, const char* url) {
    ASSERT_POINTER(machine);
    memset(machine, 0, sizeof(*machine));
    ASSERT_POINTER(url);
    char host[kUrlHostMax + 1] = "";
    URL_ParseHostWithoutPort(url, host, sizeof(host));
    // A URL without a host names no machine (an empty name would mean this one).
    if (!host[0] || !Socket_GetMachineByName(machine, host)) return 0;
    uint32_t port = 0;
    URL_ParsePort(url, &port);
    machine->Port = port;
    return 1;
}

int64_t Socket_GetLocalMachineName(char* buffer, int32_t size) {
    if (!buffer || size < 1) return 0;
    return Platform_GetHostName(buffer, size);
}

int64_t Socket_IsInNet(const char* address, const char* network, const char* mask) {
    ASSERT_POINTER(address);
    ASSERT_POINTER(network);
    ASSERT_POINTER(mask);
    uint32_t a = 0, n = 0, m = 0;
    if (!String_ConvertToIP(address, &a, nullptr) || !String_ConvertToIP(network, &n, nullptr)) return 0;
    String_ConvertToIP(mask, &m, nullptr);
    return (m & a) == n;
}

int64_t Socket_GetPortName(uint32_t port, uint32_t protocol, char* name, int32_t size) {
    ASSERT_POINTER(name);
    if (size > 0) name[0] = 0;
    if (PlatformSocket_LookupService(port, ServiceOf(protocol), name, size)) return 1;
    if (protocol == SOCKET_PROTOCOL_TCP && (port == 80 || port == 443)) {
        String_CopyLength(name, port == 80 ? "http" : "https", size);
        return 1;
    }
    return 0;
}

int64_t Socket_ConvertNetworkToHost16(uint16_t* out, uint16_t in) {
    ASSERT_POINTER(out);
    *out = Swap16(in);
    return 1;
}

int64_t Socket_ConvertNetworkToHost32(uint32_t* out, uint32_t in) {
    ASSERT_POINTER(out);
    *out = Swap32(in);
    return 1;
}

int64_t Socket_ConvertNetworkToHost64(uint64_t* out, uint64_t in) {
    ASSERT_POINTER(out);
    *out = Swap64(in);
    return 1;
}

int64_t Socket_ConvertHostToNetwork16(uint16_t* out, uint16_t in) {
    return Socket_ConvertNetworkToHost16(out, in);
}

int64_t Socket_ConvertHostToNetwork32(uint32_t* out, uint32_t in) {
    return Socket_ConvertNetworkToHost32(out, in);
}

int64_t Socket_ConvertHostToNetwork64(uint64_t* out, uint64_t in) {
    return Socket_ConvertNetworkToHost64(out, in);
}

int64_t Socket_IPToEval(const uint32_t* in, uint32_t* out) {
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    *out = __builtin_bswap32(*in);
    return 1;
}

int64_t Socket_EvalToIP(const uint32_t* in, uint32_t* out) {
    return Socket_IPToEval(in, out);
}

int64_t Socket_AdapterGetByIndex(int32_t adapter, PlatformAdapterInfo* info) {
    ASSERT_POINTER(info);
    return Platform_GetAdapterByIndex(adapter, 0, info);
}

int64_t Socket_AdapterGetName(int32_t adapter, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    PlatformAdapterInfo info;
    if (!Adapter(adapter, 0, &info, buffer, size)) return 0;
    String_CopyLength(buffer, info.Name, size);
    return 1;
}

int64_t Socket_AdapterGetDescription(int32_t adapter, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    PlatformAdapterInfo info;
    if (!Adapter(adapter, 0, &info, buffer, size)) return 0;
    String_CopyLength(buffer, info.Description, size);
    return 1;
}

int64_t Socket_AdapterGetIP(int32_t adapter, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    PlatformAdapterInfo info;
    if (!Adapter(adapter, 0, &info, buffer, size)) return 0;
    String_CopyLength(buffer, info.IpAddress.Text, size);
    return 1;
}

int64_t Socket_AdapterGetGateway(int32_t adapter, int32_t gateway, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    PlatformAdapterInfo info;
    if (!Adapter(adapter, gateway, &info, buffer, size)) return 0;
    String_CopyLength(buffer, info.Gateway.Text, size);
    return 1;
}

int64_t Socket_AdapterGetMACAddress(int32_t adapter, uint8_t* out, int32_t length) {
    ASSERT_POINTER(out);
    ASSERT_MSG(length == 6, "A MAC address has 6 bytes, not %d\n", length);
    memset(out, 0, 6);
    PlatformAdapterInfo info;
    if (!Adapter(adapter, 0, &info, nullptr, 0)) return 0;
    Mac(info, out);
    return 1;
}

int64_t Socket_AdapterGetConnected(int32_t adapter, uint32_t* connected) {
    ASSERT_POINTER(connected);
    *connected = 0;
    PlatformAdapterInfo info;
    if (!Adapter(adapter, 0, &info, nullptr, 0)) return 0;
    *connected = info.Up;
    return info.Up;
}

int64_t Socket_AdapterPrintIndex(int32_t adapter) {
    PlatformAdapterInfo info;
    if (!Adapter(adapter, 0, &info, nullptr, 0)) return 0;
    uint8_t mac[6];
    Mac(info, mac);
    Log_Info("Name: %s\n", info.Name);
    Log_Info("Description: %s\n", info.Description);
    Log_Info("IP: %s\n", info.IpAddress.Text);
    Log_Info("Address: %02X-%02X-%02X-%02X-%02X-%02X\n", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    PlatformAdapterInfo gateway;
    for (int32_t n = 1; Platform_GetAdapterByIndex(adapter, n - 1, &gateway); n++) {
        Log_Info("Gateway %d: %s\n", n, gateway.Gateway.Text);
        Log_Info("Netmask %d: %s\n", n, gateway.Netmask.Text);
    }
    Log_Info("IsConnected: %d\n", (int32_t)info.Up);
    Log_Info("IsPrimary: %d\n", (int32_t)info.HasMac);
    return 1;
}

int64_t Socket_AdapterPrint() {
    for (int32_t adapter = 0; Socket_AdapterPrintIndex(adapter); adapter++) {
    }
    return 1;
}

int64_t Socket_GetIntranetIP(uint32_t* address) {
    ASSERT_POINTER(address);
    *address = 0;
    PlatformAdapterInfo info;
    for (int32_t adapter = 0; Platform_GetAdapterByIndex(adapter, 0, &info); adapter++) {
        *address = info.IpAddress.Address;
        if (info.HasMac) return 1;
    }
    return 0;
}

int64_t Socket_GetMACAddress(uint8_t* out, int32_t length) {
    ASSERT_POINTER(out);
    ASSERT_MSG(length == 6, "A MAC address has 6 bytes, not %d\n", length);
    memset(out, 0, 6);
    PlatformAdapterInfo info;
    for (int32_t adapter = 0; Platform_GetAdapterByIndex(adapter, 0, &info); adapter++) {
        Mac(info, out);
        if (info.HasMac) return 1;
    }
    return 0;
}

int64_t Socket_ExpandKey(void*, const char* name, char*, char* value, int32_t capacity) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (capacity > 0) value[0] = 0;
    if (String_CompareWithoutCase(name, "IntranetIP")) {
        uint32_t address = 0;
        if (Socket_GetIntranetIP(&address)) String_Print(value, capacity, "%ipv4", &address);
        return 1;
    }
    if (String_CompareWithoutCase(name, "MACAddress")) {
        uint8_t mac[6];
        // A machine without a link address has none to show: the text stays empty.
        if (Socket_GetMACAddress(mac, sizeof(mac)))
            String_Print(value, capacity, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3], mac[4],
                         mac[5]);
        return 1;
    }
    if (String_CompareWithoutCase(name, "MachineName")) {
        const int32_t limit = capacity < SOCKET_MACHINE_NAME_MAX + 1 ? capacity : SOCKET_MACHINE_NAME_MAX + 1;
        if (limit > 0) Platform_GetHostName(value, limit);
        return 1;
    }
    return 0;
}
