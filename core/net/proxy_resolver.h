// The proxy for a URL: the "proxy" switch, else a proxy auto-config script found once at start-up
// (the "proxy-wpad" switch, the system's URL, DHCP, DNS "wpad" names), else the system settings.
#pragma once

#include <cstdint>

struct Thread;
struct MemoryStream;

enum : uint32_t { PROXY_RESOLVER_CLASS_ID = 0x618B80AF };

enum : int32_t {
    PROXY_RESOLVER_SWITCH_SIZE = 512,
    PROXY_RESOLVER_URL_SIZE = 8192,
    // Longest script kept; a larger answer is not a proxy auto-config script.
    PROXY_RESOLVER_SCRIPT_MAX = 1048576,
    PROXY_RESOLVER_DNS_BUFFER = 1024,
    PROXY_RESOLVER_DNS_TEXT_MAX = 320,
};

// Where the DNS and DHCP steps look instead of the system, for tests: the two name servers
// (dotted text, empty for none) at the port, this machine's name, and AnyAdapter 1 to ask DHCP
// for every adapter whatever its flags.
struct ProxyResolverDiscovery {
    char FirstServer[64];
    char SecondServer[64];
    uint32_t Port;
    char HostName[256];
    uint32_t AnyAdapter;
};

// A script fetch for the DNS answer walk: (user, URL, source label) -> 1 when a script came.
typedef int64_t (*ProxyResolverFetchFunc)(void* user, const char* url, const char* label);

// Starts the auto-config thread and installs the lookup as the platform's proxy override; 0 when
// the thread cannot start (no override then).
int64_t ProxyResolver_Init();
// Removes the override, asks the thread to exit and joins it; every step of the thread gives up
// within a second of the request. 1, also when there is no resolver.
int64_t ProxyResolver_Remove();
// Always 1. pending 1 and an empty list while discovery runs; else the switch's value with ','
// turned to ';', the script's answer, or the system proxy for the URL's protocol (host:port).
int64_t ProxyResolver_GetProxyForURL(const char* url, char* list, int32_t size, int32_t* pending);
// The discovery, run once; parameter is the resolver record.
uint32_t ProxyResolver_AutoConfigThread(void* parameter);
// One WPAD query of the name (type and class 255) to the server (network order, port 53 unless
// overridden); 1 when a script was fetched from what it answered.
int64_t ProxyResolver_RetrieveWPadFromDNS(const uint32_t* server, const char* name);
// Walks a DNS answer for the queried name: A and CNAME records give "http://<name>/wpad.dat",
// TXT records "service: wpad:<URL>"; each URL goes to fetch until one succeeds. The result of
// the last fetch, 0 when none or when the message does not decode.
int64_t ProxyResolver_WalkWPadAnswer(const uint8_t* message, int32_t length, const char* name,
                                     ProxyResolverFetchFunc fetch, void* user);
// Fetches a script into the resolver (no proxy, no authentication); 1 on a 2xx answer.
int64_t ProxyResolver_RetrieveWPadFromURL(const char* url, const char* label);
// Null restores the system's name servers, host name and adapters.
int64_t ProxyResolver_SetDiscoveryOverride(const ProxyResolverDiscovery* discovery);
