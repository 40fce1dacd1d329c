// Runs PAC scripts for arbitrary URLs. An even first byte: the bytes up to the first NUL are the
// script, the rest the URL. An odd first byte: one fixed script calls a helper chosen by the URL's
// first character with the rest of the URL, split at 0x01, as its arguments. Every run must end
// within the script time limit and answer a terminated text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/linux/platform_jscore.h"

namespace {

// Names resolve from a table only: a fuzzed script must never reach a name server.
int64_t NoNetwork(const char* name, uint32_t* address) {
    if (strcmp(name, "host.test") != 0) return 0;
    *address = 0x0100007F;
    return 1;
}

constexpr char kHelpers[] =
    "var helpers = [isPlainHostName, dnsDomainIs, localHostOrDomainIs, isResolvable, isInNet, dnsResolve,\n"
    "  dnsDomainLevels, shExpMatch, weekdayRange, dateRange, timeRange, isValidIpAddress, convert_addr,\n"
    "  isResolvableEx, myIpAddress];\n"
    "function FindProxyForURL(url, host) {\n"
    "  var args = url.split('\\x01');\n"
    "  var pick = helpers[args.shift().charCodeAt(0) % helpers.length];\n"
    "  return String(pick.apply(null, args)) + ';' + host;\n"
    "}\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = PlatformJSCore_SetResolver(NoNetwork) != 0;
    (void)ready;
    if (size < 1) return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string script, url;
    if (data[0] & 1) {
        script = kHelpers;
        url = input.substr(0, input.find('\0'));
    } else {
        const size_t split = input.find('\0');
        script = input.substr(0, split);
        url = split == std::string::npos ? "http://www.example.com/" : input.substr(split + 1);
    }
    char result[64];
    memset(result, 0x5A, sizeof(result));
    const int64_t ok = PlatformJSCore_ProxyGetForURLWithScript(script.c_str(), (int32_t)script.size(),
                                                               url.c_str(), result, 48);
    if (strnlen(result, 48) >= 48) abort();
    for (size_t i = 48; i < sizeof(result); i++)
        if (result[i] != 0x5A) abort();
    if (!ok && result[0]) abort();
    return 0;
}
