// Sockets of the network transport: the macro key provider for the machine's network identity.
#include "core/net/socket.h"

#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

// The first IPv4 adapter that passes the test, in system order.
template <typename Test> bool FindAdapter(PlatformAdapterInfo* info, Test&& test) {
    for (int32_t index = 0; Platform_GetAdapterByIndex(index, 0, info); index++) {
        if (test(*info)) return true;
    }
    return false;
}

} // namespace

int64_t Socket_ExpandKey(void*, const char* name, char*, char* value, int32_t capacity) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (capacity > 0) value[0] = 0;
    PlatformAdapterInfo info;
    if (String_CompareWithoutCase(name, "IntranetIP")) {
        if (FindAdapter(&info,
                        [](const PlatformAdapterInfo& a) { return !a.Loopback && a.IpAddress.Text[0]; }))
            String_Print(value, capacity, "%ipv4", &info.IpAddress.Address);
        return 1;
    }
    if (String_CompareWithoutCase(name, "MACAddress")) {
        if (FindAdapter(&info, [](const PlatformAdapterInfo& a) { return a.HasMac != 0; })) {
            uint8_t mac[6];
            memcpy(mac, &info.MacHigh, 4);
            memcpy(mac + 4, &info.MacLow, 2);
            String_Print(value, capacity, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3],
                         mac[4], mac[5]);
        }
        return 1;
    }
    if (String_CompareWithoutCase(name, "MachineName")) {
        int32_t limit = capacity < SOCKET_MACHINE_NAME_MAX + 1 ? capacity : SOCKET_MACHINE_NAME_MAX + 1;
        if (limit > 0) Platform_GetHostName(value, limit);
        return 1;
    }
    return 0;
}
