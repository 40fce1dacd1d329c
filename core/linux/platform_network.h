// Network facts of the machine for the platform layer: host name, resolver name servers, IPv4
// adapters with their masks and link addresses, the last socket error, and the proxy hooks.
#pragma once

#include <cstdint>

enum : int32_t {
    PLATFORM_ADAPTER_NAME_SIZE = 260,
    PLATFORM_ADAPTER_DESCRIPTION_SIZE = 132,
    PLATFORM_ADAPTER_ADDRESS_TEXT_SIZE = 32,
};

// An IPv4 address in the binary form of String_ConvertToIP (four bytes in network order) and
// as dotted text.
struct PlatformAdapterAddress {
    uint32_t Address;
    char Text[PLATFORM_ADAPTER_ADDRESS_TEXT_SIZE];
};

struct PlatformAdapterInfo {
    char Name[PLATFORM_ADAPTER_NAME_SIZE];
    char Description[PLATFORM_ADAPTER_DESCRIPTION_SIZE]; // always empty
    PlatformAdapterAddress IpAddress;
    PlatformAdapterAddress Gateway; // guessed from the broadcast address, no route lookup
    PlatformAdapterAddress Netmask;
    uint32_t MacHigh; // the first four MAC bytes, in memory order
    uint16_t MacLow;  // the last two MAC bytes, in memory order
    uint32_t Up;
    uint32_t HasMac;
    uint32_t Loopback;
    uint32_t Valid;
    uint32_t TypeBit; // bit 0 of the link-level hardware type
};

// The resolver function installed by Platform_ProxyGetForURLOverride.
typedef int64_t (*PlatformProxyResolverFunc)(const char* url, char* buffer, int32_t size, int32_t* state);

int64_t Platform_GetHostName(char* buffer, int32_t size);
// First and second "nameserver" of /etc/resolv.conf; false (both empty) when there is none.
int64_t Platform_GetDNS(char* first, int32_t firstSize, char* second, int32_t secondSize);
// The same over the text of a resolver configuration.
int64_t Platform_ParseResolverConfiguration(const char* text, char* first, int32_t firstSize, char* second,
                                            int32_t secondSize);
// The index-th IPv4 address of the interface list (system order); a positive selector asks for
// another address family and answers false.
int64_t Platform_GetAdapterByIndex(int32_t index, int32_t selector, PlatformAdapterInfo* info);
// The gateway guess from a broadcast text: cut at the first ".255", ".1" in its place
// ("192.168.1.255" gives "192.168.1.1"); empty and false when the text has no ".255".
int64_t Platform_GatewayFromBroadcast(const char* broadcast, char* gateway, int32_t size);
// errno of the last socket call, 0 when none.
int32_t Platform_GetLastSocketError();

// ---- Proxy settings (the environment, else the desktop's GSettings) ----------------------------
struct Dictionary;
// The settings as a Dictionary: "HTTPEnable", "HTTPProxy", "HTTPPort", the same with "HTTPS",
// "ProxyAutoConfigEnable", "ProxyAutoConfigURLString", "ProxyAutoDiscoveryEnable" and the list
// "ExceptionsList". 0 (null) when neither the environment names a proxy nor the desktop schema is
// installed. The caller releases it.
int64_t Platform_ProxyCopySettings(Dictionary** settings);
// Whether the key holds the number 1.
int64_t Platform_ProxyGetCFDictionaryBoolValue(Dictionary* dictionary, const char* key);
// The auto-configuration URL when the settings ask for one; else empty and false.
int64_t Platform_ProxyGetWpadURL(char* buffer, int32_t size);
// flag = 1 when the settings ask to discover the proxy (auto without a URL); always 1.
int64_t Platform_ProxyGetAutoDetect(uint32_t* flag);
// The WPAD URL of DHCP option 252 from NetworkManager's leases on the system bus; 1 when one is
// given. The adapter is not consulted.
int64_t Platform_ProxyGetWpadURLFromDHCP(const PlatformAdapterInfo* adapter, char* url, int32_t size);
// "http" or "https" (any case): the proxy as host[:port]; 1 when one is set.
int64_t Platform_ProxyGetByProtocol(const char* protocol, char* text, int32_t size);
// The hosts that go without a proxy as ";"-separated patterns; 1 when the settings have the list
// (even empty), 0 without settings.
int64_t Platform_ProxyGetBypass(char* list, int32_t size);

int64_t Platform_ProxyGetForURLOverride(PlatformProxyResolverFunc function);
// state is set to 0; without an installed resolver there is no proxy (true, empty buffer).
int64_t Platform_ProxyGetForURL(const char* url, char* buffer, int32_t size, int32_t* state);
// Evaluates a proxy auto-configuration script for the URL (PlatformJSCore); length is not used.
int64_t Platform_ProxyGetForURLWithScript(const char* script, int32_t length, const char* url, char* buffer,
                                          int32_t size);
