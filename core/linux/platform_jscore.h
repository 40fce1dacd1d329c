// Proxy auto-configuration scripts evaluated in JavaScriptCore: one process-wide context holding
// the PAC helper functions and the natives dnsResolve, myIpAddress and shExpMatch, with a CPU and a
// wall-clock limit per run.
#pragma once

#include <cstddef>
#include <cstdint>

struct OpaqueJSContext;
struct OpaqueJSValue;

enum : int32_t {
    // Longest "FindProxyForURL" argument text (URL or host) handed to a script.
    PLATFORM_JSCORE_TEXT_MAX = 8192,
    // Longest dotted address text a resolution answers.
    PLATFORM_JSCORE_ADDRESS_MAX = 47,
};

// Script CPU time allowed for one run (the script, then the call); past it the run is ended as
// if it had thrown.
constexpr double PLATFORM_JSCORE_TIME_LIMIT = 1.0;
// Wall-clock time allowed for one run: past it the natives stop resolving names and the script is
// ended as if it had thrown.
constexpr double PLATFORM_JSCORE_WALL_LIMIT = 5.0;

// Name resolution used by dnsResolve: 1 with the IPv4 address (network order) or 0.
typedef int64_t (*PlatformJSCoreResolveFunc)(const char* name, uint32_t* address);

// Does nothing: the context is made on first use. 1.
int64_t PlatformJSCore_Init();
// Releases the context when one was made. 1.
int64_t PlatformJSCore_Remove();

// Evaluates the NUL-terminated script, then calls its FindProxyForURL with the URL and the URL's
// host as string arguments. 1 with the answer (UTF-8, cut to size) when the call gives a string;
// 0 with an empty result when the script throws, runs out of time or answers anything else.
// length is not used: the script ends at its NUL.
int64_t PlatformJSCore_ProxyGetForURLWithScript(const char* script, int32_t length, const char* url, char* result,
                                                int32_t size);
// Evaluates NUL-terminated text in the context (made on first use); the result value, or null
// when the text cannot be converted or the evaluation throws or runs out of time. The value
// belongs to the context: it is valid until the next evaluation or garbage collection.
const OpaqueJSValue* PlatformJSCore_EvaluateScript(const char* text);
// Defines a global native function: "myIpAddress" answers this machine's address, "shExpMatch"
// matches a shell pattern, any other name resolves its one string argument like dnsResolve. 0
// when it cannot be made.
int64_t PlatformJSCore_InitGlobalFunction(const char* name);
// The native behind dnsResolve: one string argument resolved to dotted IPv4 text; any other call
// or a failed resolution gives undefined.
const OpaqueJSValue* PlatformJSCore_DnsResolve(const OpaqueJSContext* context, OpaqueJSValue* function,
                                               OpaqueJSValue* self, size_t count,
                                               const OpaqueJSValue* const arguments[],
                                               const OpaqueJSValue** exception);
// Frees a text this module allocated; null is ignored.
void PlatformJSCore_CStringRelease(char* text);
// Sets the CPU and wall-clock limits of a run in seconds (0 or less: the defaults), so that tests
// of the limits need not wait for the defaults.
int64_t PlatformJSCore_SetTimeLimits(double cpu, double wall);
// Replaces the name resolution of dnsResolve (null restores the system's), so that tests and
// fuzzing never query outside name servers.
int64_t PlatformJSCore_SetResolver(PlatformJSCoreResolveFunc function);
