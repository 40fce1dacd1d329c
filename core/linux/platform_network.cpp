// Linux network facts: host name, name servers of /etc/resolv.conf, IPv4 adapters from
// getifaddrs with the link address of the same interface, socket errors and the proxy hooks.
#include "core/linux/platform_network.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include "core/linux/platform_jscore.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr char kResolverConfiguration[] = "/etc/resolv.conf";
constexpr int32_t kResolverMaxSize = 65536;

std::atomic<PlatformProxyResolverFunc> g_proxyResolver{nullptr};

void ClearText(char* buffer, int32_t size) {
    if (buffer && size > 0) buffer[0] = 0;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The address of a "nameserver" line, between start and the end of the line.
bool NameServerOfLine(const char* line, const char* end, const char** address, int32_t* length) {
    static constexpr char kKeyword[] = "nameserver";
    constexpr int32_t kKeywordLength = sizeof(kKeyword) - 1;
    while (line < end && IsBlank(*line)) line++;
    if (end - line <= kKeywordLength || memcmp(line, kKeyword, kKeywordLength) != 0) return false;
    line += kKeywordLength;
    if (!IsBlank(*line)) return false;
    while (line < end && IsBlank(*line)) line++;
    const char* stop = line;
    while (stop < end && !IsBlank(*stop) && *stop != '\r' && *stop != '#' && *stop != ';') stop++;
    if (stop == line) return false;
    *address = line;
    *length = (int32_t)(stop - line);
    return true;
}

void CopyAddressText(const struct sockaddr* address, PlatformAdapterAddress* out) {
    if (!address || address->sa_family != AF_INET) return;
    const auto* ipv4 = reinterpret_cast<const struct sockaddr_in*>(address);
    if (!inet_ntop(AF_INET, &ipv4->sin_addr, out->Text, sizeof(out->Text))) out->Text[0] = 0;
}

void ConvertAddressText(PlatformAdapterAddress* out) {
    if (out->Text[0]) String_ConvertToIP(out->Text, &out->Address, nullptr);
}

// The link-level entry of an interface; an address label such as "eth0:1" belongs to "eth0".
const struct sockaddr_ll* LinkOf(const struct ifaddrs* list, const char* name) {
    size_t length = strcspn(name, ":");
    for (const struct ifaddrs* item = list; item; item = item->ifa_next) {
        if (!item->ifa_addr || item->ifa_addr->sa_family != AF_PACKET) continue;
        if (strlen(item->ifa_name) == length && memcmp(item->ifa_name, name, length) == 0)
            return reinterpret_cast<const struct sockaddr_ll*>(item->ifa_addr);
    }
    return nullptr;
}

void FillAdapter(const struct ifaddrs* list, const struct ifaddrs* item, PlatformAdapterInfo* info) {
    String_CopyLength(info->Name, item->ifa_name, sizeof(info->Name));
    CopyAddressText(item->ifa_addr, &info->IpAddress);
    CopyAddressText(item->ifa_netmask, &info->Netmask);
    if ((item->ifa_flags & IFF_BROADCAST) && item->ifa_broadaddr) {
        char broadcast[PLATFORM_ADAPTER_ADDRESS_TEXT_SIZE] = "";
        PlatformAdapterAddress scratch = {};
        CopyAddressText(item->ifa_broadaddr, &scratch);
        String_Copy(broadcast, scratch.Text);
        Platform_GatewayFromBroadcast(broadcast, info->Gateway.Text, sizeof(info->Gateway.Text));
    }
    ConvertAddressText(&info->IpAddress);
    ConvertAddressText(&info->Gateway);
    ConvertAddressText(&info->Netmask);
    info->Up = (item->ifa_flags & IFF_UP) ? 1 : 0;
    info->Loopback = (item->ifa_flags & IFF_LOOPBACK) ? 1 : 0;
    if (const struct sockaddr_ll* link = LinkOf(list, item->ifa_name)) {
        uint8_t mac[6] = {};
        if (link->sll_halen >= 6) memcpy(mac, link->sll_addr, 6);
        memcpy(&info->MacHigh, mac, 4);
        memcpy(&info->MacLow, mac + 4, 2);
        for (uint8_t byte : mac) info->HasMac |= byte != 0;
        info->TypeBit = link->sll_hatype & 1;
    }
    info->Valid = 1;
}

} // namespace

int64_t Platform_GetHostName(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    ClearText(buffer, size);
    char name[256];
    if (gethostname(name, sizeof(name)) != 0) return 0;
    name[sizeof(name) - 1] = 0;
    String_CopyLength(buffer, name, size);
    return 1;
}

int64_t Platform_ParseResolverConfiguration(const char* text, char* first, int32_t firstSize, char* second,
                                            int32_t secondSize) {
    ASSERT_POINTER(first);
    ASSERT_POINTER(second);
    ClearText(first, firstSize);
    ClearText(second, secondSize);
    ASSERT_POINTER(text);
    int32_t found = 0;
    for (const char* line = text; *line && found < 2;) {
        const char* end = line + strcspn(line, "\n");
        const char* address = nullptr;
        int32_t length = 0;
        if (NameServerOfLine(line, end, &address, &length)) {
            if (found == 0)
                String_CopyLengthSafe(first, firstSize, address, length);
            else
                String_CopyLengthSafe(second, secondSize, address, length);
            found++;
        }
        line = *end ? end + 1 : end;
    }
    return found > 0;
}

int64_t Platform_GetDNS(char* first, int32_t firstSize, char* second, int32_t secondSize) {
    ASSERT_POINTER(first);
    ASSERT_POINTER(second);
    ClearText(first, firstSize);
    ClearText(second, secondSize);
    int fd;
    do fd = open(kResolverConfiguration, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    char* text = static_cast<char*>(Memory_Alloc(kResolverMaxSize + 1));
    if (!text) {
        close(fd);
        return 0;
    }
    int32_t used = 0;
    while (used < kResolverMaxSize) {
        ssize_t n = read(fd, text + used, (size_t)(kResolverMaxSize - used));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += (int32_t)n;
    }
    close(fd);
    text[used] = 0;
    int64_t result = Platform_ParseResolverConfiguration(text, first, firstSize, second, secondSize);
    Memory_Free(text, kResolverMaxSize + 1);
    return result;
}

int64_t Platform_GatewayFromBroadcast(const char* broadcast, char* gateway, int32_t size) {
    ASSERT_POINTER(broadcast);
    ASSERT_POINTER(gateway);
    ClearText(gateway, size);
    // Without ".255" there is no guess: the broadcast address itself is no gateway.
    const char* cut = strstr(broadcast, ".255");
    if (!cut) return 0;
    const int64_t kept = cut - broadcast;
    if ((int64_t)size < kept + 3) return 0;
    memcpy(gateway, broadcast, (size_t)kept);
    memcpy(gateway + kept, ".1", 3);
    return 1;
}

int64_t Platform_GetAdapterByIndex(int32_t index, int32_t selector, PlatformAdapterInfo* info) {
    ASSERT_POINTER(info);
    memset(info, 0, sizeof(*info));
    if (selector > 0 || index < 0) return 0;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int32_t seen = 0;
    int64_t result = 0;
    for (const struct ifaddrs* item = list; item; item = item->ifa_next) {
        if (!item->ifa_addr || item->ifa_addr->sa_family != AF_INET) continue;
        if (seen++ != index) continue;
        FillAdapter(list, item, info);
        result = 1;
        break;
    }
    freeifaddrs(list);
    return result;
}

int32_t Platform_GetLastSocketError() {
    return errno;
}

int64_t Platform_ProxyGetForURLOverride(PlatformProxyResolverFunc function) {
    g_proxyResolver.store(function);
    return 1;
}

int64_t Platform_ProxyGetForURL(const char* url, char* buffer, int32_t size, int32_t* state) {
    ASSERT_POINTER(state);
    *state = 0;
    ASSERT_POINTER(buffer);
    ClearText(buffer, size);
    ASSERT_POINTER(url);
    PlatformProxyResolverFunc resolver = g_proxyResolver.load();
    if (!resolver) return 1;
    return resolver(url, buffer, size, state);
}

int64_t Platform_ProxyGetForURLWithScript(const char* script, int32_t length, const char* url, char* buffer,
                                          int32_t size) {
    return PlatformJSCore_ProxyGetForURLWithScript(script, length, url, buffer, size);
}
