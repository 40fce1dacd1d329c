// Proxy auto-configuration scripts in JavaScriptCore: the helper script, the natives, and a run of
// FindProxyForURL whose arguments are passed as values, never spliced into source text.
#include "core/linux/platform_jscore.h"

#include <JavaScriptCore/JavaScript.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <time.h>

#include "core/formats/url.h"
#include "core/net/socket.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

// Exported by the library without a public declaration: ends any evaluation of the group that
// has used more than the limit of CPU time (a null callback means always end it).
extern "C" void JSContextGroupSetExecutionTimeLimit(JSContextGroupRef group, double limit,
                                                    bool (*shouldTerminate)(JSContextRef, void*), void* context);

#if defined(__SANITIZE_ADDRESS__)
#define PLATFORM_JSCORE_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLATFORM_JSCORE_LEAK_CHECKED 1
#endif
#endif
#ifdef PLATFORM_JSCORE_LEAK_CHECKED
// JavaScriptCore keeps blocks for the life of the process behind pointers in its own heap, where
// the leak checker cannot follow them; they are not ours to free.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
    return "leak:libjavascriptcoregtk\n";
}
#endif

namespace {

// The helper functions every PAC script may call. Names, tables and results follow the
// long-standing PAC conventions; times compare as numbers so that no Date arithmetic overflows.
constexpr char kPacUtils[] = R"JS(
var wdays = {SUN: 0, MON: 1, TUE: 2, WED: 3, THU: 4, FRI: 5, SAT: 6};
var months = {JAN: 0, FEB: 1, MAR: 2, APR: 3, MAY: 4, JUN: 5, JUL: 6, AUG: 7, SEP: 8, OCT: 9, NOV: 10, DEC: 11};

function dnsDomainIs(host, domain) {
    host = String(host); domain = String(domain);
    return host.length >= domain.length && host.substring(host.length - domain.length) == domain;
}

function dnsDomainLevels(host) {
    return String(host).split('.').length - 1;
}

function isValidIpAddress(ipchars) {
    var m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(String(ipchars));
    if (m == null) return false;
    for (var i = 1; i <= 4; i++)
        if (parseInt(m[i], 10) > 255) return false;
    return true;
}

function convert_addr(ipchars) {
    var b = String(ipchars).split('.');
    return (((b[0] & 0xff) << 24) | ((b[1] & 0xff) << 16) | ((b[2] & 0xff) << 8) | (b[3] & 0xff)) >>> 0;
}

function isInNet(ipaddr, pattern, maskstr) {
    if (!isValidIpAddress(pattern) || !isValidIpAddress(maskstr)) return false;
    if (!isValidIpAddress(ipaddr)) {
        ipaddr = dnsResolve(ipaddr);
        if (ipaddr == null) return false;
    }
    var mask = convert_addr(maskstr);
    return (convert_addr(ipaddr) & mask) == (convert_addr(pattern) & mask);
}

function isPlainHostName(host) {
    return String(host).indexOf('.') < 0;
}

function isResolvable(host) {
    var ip = dnsResolve(host);
    return ip != null && ip !== '';
}

function dnsResolveEx(host) {
    var ip = dnsResolve(host);
    return ip == null ? '' : ip;
}

function isResolvableEx(host) {
    var ip = dnsResolveEx(host);
    return ip != null && ip !== '';
}

function localHostOrDomainIs(host, hostdom) {
    host = String(host); hostdom = String(hostdom);
    return host == hostdom || hostdom.lastIndexOf(host + '.', 0) == 0;
}

function pacNow(gmt) {
    var d = new Date();
    if (gmt)
        return {year: d.getUTCFullYear(), month: d.getUTCMonth(), day: d.getUTCDate(), wday: d.getUTCDay(),
                hour: d.getUTCHours(), min: d.getUTCMinutes(), sec: d.getUTCSeconds()};
    return {year: d.getFullYear(), month: d.getMonth(), day: d.getDate(), wday: d.getDay(),
            hour: d.getHours(), min: d.getMinutes(), sec: d.getSeconds()};
}

function pacInWindow(start, now, end) {
    return start <= end ? (start <= now && now <= end) : (now >= start || now <= end);
}

function weekdayRange() {
    function getDay(name) {
        return Object.prototype.hasOwnProperty.call(wdays, name) ? wdays[name] : -1;
    }
    var argc = arguments.length, gmt = false;
    if (argc < 1) return false;
    if (arguments[argc - 1] === 'GMT') { gmt = true; argc--; }
    if (argc < 1) return false;
    var wd1 = getDay(arguments[0]), wd2 = argc > 1 ? getDay(arguments[1]) : wd1;
    if (wd1 < 0 || wd2 < 0) return false;
    return pacInWindow(wd1, pacNow(gmt).wday, wd2);
}

function dateRange() {
    function getMonth(name) {
        return Object.prototype.hasOwnProperty.call(months, name) ? months[name] : -1;
    }
    function key(y, mo, d, s) { return ((y * 12 + mo) * 32 + d) * 86400 + s; }
    var argc = arguments.length, gmt = false;
    if (argc < 1) return false;
    if (arguments[argc - 1] === 'GMT') { gmt = true; argc--; }
    if (argc < 1) return false;
    var now = pacNow(gmt);
    if (argc == 1) {
        var v = parseInt(arguments[0], 10);
        if (isNaN(v)) return getMonth(arguments[0]) == now.month;
        return v < 32 ? v == now.day : v == now.year;
    }
    var half = argc >> 1;
    var start = {year: now.year, month: 0, day: 1}, end = {year: now.year, month: 11, day: 31};
    var days = 0;
    for (var i = 0; i < argc; i++) {
        var target = i < half ? start : end, arg = arguments[i], n = parseInt(arg, 10);
        if (isNaN(n)) {
            var mo = getMonth(arg);
            if (mo < 0) return false;
            target.month = mo;
        } else if (n < 32) {
            target.day = n; days++;
        } else {
            target.year = n;
        }
    }
    if (argc == 2 && days == 2) { start.month = now.month; end.month = now.month; }
    return pacInWindow(key(start.year, start.month, start.day, 0),
                       key(now.year, now.month, now.day, now.hour * 3600 + now.min * 60 + now.sec),
                       key(end.year, end.month, end.day, 86399));
}

function timeRange() {
    var argc = arguments.length, gmt = false;
    if (argc < 1) return false;
    if (arguments[argc - 1] === 'GMT') { gmt = true; argc--; }
    var now = pacNow(gmt);
    var a = [];
    for (var i = 0; i < argc; i++) a.push(parseInt(arguments[i], 10));
    if (argc == 1) return now.hour == a[0];
    if (argc == 2) return pacInWindow(a[0], now.hour, a[1]);
    var start, end;
    if (argc == 4) {
        start = a[0] * 3600 + a[1] * 60 + now.sec;
        end = a[2] * 3600 + a[3] * 60 + 59;
    } else if (argc == 6) {
        start = a[0] * 3600 + a[1] * 60 + a[2];
        end = a[3] * 3600 + a[4] * 60 + a[5];
    } else {
        throw 'timeRange: bad number of arguments';
    }
    return pacInWindow(start, now.hour * 3600 + now.min * 60 + now.sec, end);
}
)JS";

struct JSCoreState {
    JSContextGroupRef Group;
    JSGlobalContextRef Context;
    uint64_t ScriptDigest; // of the PAC script last run in the context
};

// One context for the process; every use holds the lock, and the run's limits bound how long.
std::mutex g_lock;
JSCoreState g_state{nullptr, nullptr, 0};
std::atomic<PlatformJSCoreResolveFunc> g_resolver{nullptr};
// The limits of one run (changed only by tests), and the run in progress: its monotonic wall
// deadline, past which the natives answer without resolving, and the thread CPU time it began at.
double g_cpuLimit = PLATFORM_JSCORE_TIME_LIMIT;
double g_wallLimit = PLATFORM_JSCORE_WALL_LIMIT;
double g_wallDeadline = 0;
double g_cpuStart = 0;
// How much script CPU time passes between two looks at the run's limits. The engine's watchdog
// counts CPU time only, and a script blocked in a native uses none: looking often at both clocks
// from its callback is what bounds a run by the wall clock as well.
constexpr double kWatchdogSlice = 0.02;
// Longest text or pattern, in UTF-16 units, shExpMatch compares (the URL a script is given is no
// longer): the match costs at most the product of the two lengths, and a native cannot be
// interrupted by the watchdog.
constexpr size_t kGlobMax = PLATFORM_JSCORE_TEXT_MAX;

double Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

double ThreadCpu() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

// Called by the engine's watchdog on the script's thread (our lock held) after every slice of CPU
// time: ends the evaluation once the run is past either limit, else arms the next slice.
bool ShouldTerminate(JSContextRef, void*);

void ArmWatchdog() {
    JSContextGroupSetExecutionTimeLimit(g_state.Group, kWatchdogSlice, ShouldTerminate, nullptr);
}

bool ShouldTerminate(JSContextRef, void*) {
    if (g_wallDeadline <= 0 || Now() > g_wallDeadline || ThreadCpu() - g_cpuStart > g_cpuLimit) return true;
    ArmWatchdog();
    return false;
}

// Starts the limits of one run; every evaluation and call of it counts against them.
void BeginRun() {
    g_wallDeadline = Now() + g_wallLimit;
    g_cpuStart = ThreadCpu();
}

void EndRun() {
    g_wallDeadline = 0;
}

// Shell pattern match of the whole text: '*' any run of units, '?' any one unit, every other unit
// itself. A star only ever restarts from the latest star, so the work is bounded by the product
// of the lengths and never grows with the number of stars, unlike a backtracking expression.
bool GlobMatch(const JSChar* text, size_t n, const JSChar* pattern, size_t m) {
    size_t t = 0, p = 0, starP = 0, starT = 0;
    bool star = false;
    while (p < m || t < n) {
        if (p < m) {
            const JSChar c = pattern[p];
            if (c == '*') {
                star = true;
                starP = p;
                starT = t + 1;
                p++;
                continue;
            }
            if (t < n && (c == '?' || c == text[t])) {
                p++;
                t++;
                continue;
            }
        }
        if (!star || starT > n) return false;
        p = starP;
        t = starT;
    }
    return true;
}

// shExpMatch(text, pattern): both arguments taken as strings, as String() would.
JSValueRef ShExpMatch(JSContextRef context, JSObjectRef, JSObjectRef, size_t count, const JSValueRef arguments[],
                      JSValueRef* exception) {
    JSStringRef text[2] = {nullptr, nullptr};
    for (size_t i = 0; i < 2; i++) {
        JSValueRef value = i < count ? arguments[i] : JSValueMakeUndefined(context);
        text[i] = JSValueToStringCopy(context, value, exception);
        if (!text[i]) break;
    }
    bool matched = false;
    if (text[0] && text[1]) {
        const size_t n = JSStringGetLength(text[0]), m = JSStringGetLength(text[1]);
        matched = n <= kGlobMax && m <= kGlobMax &&
                  GlobMatch(JSStringGetCharactersPtr(text[0]), n, JSStringGetCharactersPtr(text[1]), m);
    }
    for (JSStringRef string : text)
        if (string) JSStringRelease(string);
    return JSValueMakeBoolean(context, matched);
}

// A string value as Memory_ text with its capacity in front (freed by PlatformJSCore_CStringRelease).
char* CopyString(JSContextRef context, JSValueRef value) {
    JSStringRef text = JSValueToStringCopy(context, value, nullptr);
    if (!text) return nullptr;
    size_t capacity = JSStringGetMaximumUTF8CStringSize(text);
    if (capacity > (size_t)PLATFORM_JSCORE_TEXT_MAX + 1) capacity = (size_t)PLATFORM_JSCORE_TEXT_MAX + 1;
    char* block = static_cast<char*>(Memory_Alloc(capacity + sizeof(int32_t)));
    const int32_t size = (int32_t)(capacity + sizeof(int32_t));
    memcpy(block, &size, sizeof(size));
    JSStringGetUTF8CString(text, block + sizeof(int32_t), capacity);
    JSStringRelease(text);
    return block + sizeof(int32_t);
}

JSValueRef MakeString(JSContextRef context, const char* text) {
    JSStringRef string = JSStringCreateWithUTF8CString(text);
    JSValueRef value = JSValueMakeString(context, string);
    JSStringRelease(string);
    return value;
}

int64_t ResolveName(const char* name, uint32_t* address) {
    if (PlatformJSCoreResolveFunc resolver = g_resolver.load()) return resolver(name, address);
    SocketMachine machine;
    if (!Socket_GetMachineByName(&machine, name)) return 0;
    *address = machine.Address;
    return 1;
}

JSValueRef MyIpAddress(JSContextRef context, JSObjectRef, JSObjectRef, size_t, const JSValueRef[], JSValueRef*) {
    uint32_t address = 0;
    // Without an adapter that has a link address, the loopback address is the honest answer.
    if (!Socket_GetIntranetIP(&address) || !address) String_ConvertToIP("127.0.0.1", &address, nullptr);
    char text[PLATFORM_JSCORE_ADDRESS_MAX + 1] = "";
    String_ConvertFromIP(&address, 0, text, sizeof(text));
    return MakeString(context, text);
}

// FNV-1a over the text: tells one script from another.
uint64_t Digest(const char* text) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char* at = reinterpret_cast<const unsigned char*>(text); *at; at++)
        hash = (hash ^ *at) * 1099511628211ull;
    return hash;
}

void ReleaseContext() {
    if (g_state.Context) JSGlobalContextRelease(g_state.Context);
    if (g_state.Group) JSContextGroupRelease(g_state.Group);
    g_state = {nullptr, nullptr, 0};
}

JSValueRef Evaluate(const char* text) {
    JSStringRef source = JSStringCreateWithUTF8CString(text);
    JSValueRef exception = nullptr;
    JSValueRef value = JSEvaluateScript(g_state.Context, source, nullptr, nullptr, 1, &exception);
    JSStringRelease(source);
    return exception ? nullptr : value;
}

bool DefineFunction(const char* name) {
    JSStringRef string = JSStringCreateWithUTF8CString(name);
    JSObjectCallAsFunctionCallback native = PlatformJSCore_DnsResolve;
    if (strcmp(name, "myIpAddress") == 0) native = MyIpAddress;
    if (strcmp(name, "shExpMatch") == 0) native = ShExpMatch;
    JSObjectRef function = JSObjectMakeFunctionWithCallback(g_state.Context, string, native);
    bool made = false;
    if (function) {
        JSValueRef exception = nullptr;
        JSObjectSetProperty(g_state.Context, JSContextGetGlobalObject(g_state.Context), string, function,
                            kJSPropertyAttributeNone, &exception);
        made = exception == nullptr;
    }
    JSStringRelease(string);
    return made;
}

// Makes the context on first use; the lock is held.
bool EnsureContext() {
    if (g_state.Context) return true;
    g_state.Group = JSContextGroupCreate();
    if (!g_state.Group) return false;
    ArmWatchdog();
    g_state.Context = JSGlobalContextCreateInGroup(g_state.Group, nullptr);
    BeginRun();
    const bool made = g_state.Context && DefineFunction("dnsResolve") && DefineFunction("myIpAddress") &&
                      DefineFunction("shExpMatch") && Evaluate(kPacUtils);
    EndRun();
    if (!made) ReleaseContext();
    return made;
}

void CopyOut(char* result, int32_t size, const char* text) {
    if (result && size > 0) String_CopyLength(result, text, size);
}

} // namespace

int64_t PlatformJSCore_Init() {
    return 1;
}

int64_t PlatformJSCore_Remove() {
    std::lock_guard<std::mutex> hold(g_lock);
    ReleaseContext();
    return 1;
}

int64_t PlatformJSCore_SetTimeLimits(double cpu, double wall) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_cpuLimit = cpu > 0 ? cpu : PLATFORM_JSCORE_TIME_LIMIT;
    g_wallLimit = wall > 0 ? wall : PLATFORM_JSCORE_WALL_LIMIT;
    return 1;
}

int64_t PlatformJSCore_SetResolver(PlatformJSCoreResolveFunc function) {
    g_resolver.store(function);
    return 1;
}

void PlatformJSCore_CStringRelease(char* text) {
    if (!text) return;
    char* block = text - sizeof(int32_t);
    int32_t size = 0;
    memcpy(&size, block, sizeof(size));
    Memory_Free(block, size);
}

const OpaqueJSValue* PlatformJSCore_DnsResolve(const OpaqueJSContext* context, OpaqueJSValue*, OpaqueJSValue*,
                                               size_t count, const OpaqueJSValue* const arguments[],
                                               const OpaqueJSValue**) {
    if (count != 1 || !JSValueIsString(context, arguments[0])) return JSValueMakeUndefined(context);
    // A script that resolves in a loop must not hold the caller past the run's wall-clock limit.
    if (g_wallDeadline > 0 && Now() > g_wallDeadline) return JSValueMakeUndefined(context);
    char* name = CopyString(context, arguments[0]);
    uint32_t address = 0;
    const bool found = name && name[0] && ResolveName(name, &address);
    PlatformJSCore_CStringRelease(name);
    if (!found) return JSValueMakeUndefined(context);
    char text[PLATFORM_JSCORE_ADDRESS_MAX + 1] = "";
    String_ConvertFromIP(&address, 0, text, sizeof(text));
    return MakeString(context, text);
}

const OpaqueJSValue* PlatformJSCore_EvaluateScript(const char* text) {
    if (!text) return nullptr;
    std::lock_guard<std::mutex> hold(g_lock);
    if (!EnsureContext()) return nullptr;
    BeginRun();
    JSValueRef value = Evaluate(text);
    EndRun();
    return value;
}

int64_t PlatformJSCore_InitGlobalFunction(const char* name) {
    if (!name || !name[0]) return 0;
    std::lock_guard<std::mutex> hold(g_lock);
    if (!EnsureContext()) return 0;
    return DefineFunction(name) ? 1 : 0;
}

int64_t PlatformJSCore_ProxyGetForURLWithScript(const char* script, int32_t, const char* url, char* result,
                                                int32_t size) {
    CopyOut(result, size, "");
    if (!script || !url || !result || size < 1) return 0;
    std::lock_guard<std::mutex> hold(g_lock);
    // Global functions of a script cannot be deleted: another script gets a fresh context, so
    // that what an earlier one defined never answers for a later one that fails.
    const uint64_t digest = Digest(script);
    if (g_state.Context && g_state.ScriptDigest != digest) ReleaseContext();
    if (!EnsureContext()) return 0;
    g_state.ScriptDigest = digest;
    BeginRun();
    int64_t answered = 0;
    JSContextRef context = g_state.Context;
    JSStringRef name = JSStringCreateWithUTF8CString("FindProxyForURL");
    if (Evaluate(script)) {
        JSValueRef exception = nullptr;
        JSValueRef property = JSObjectGetProperty(context, JSContextGetGlobalObject(context), name, &exception);
        JSObjectRef function = nullptr;
        if (!exception && property && JSValueIsObject(context, property)) {
            function = JSValueToObject(context, property, nullptr);
            if (function && !JSObjectIsFunction(context, function)) function = nullptr;
        }
        if (function) {
            char host[PLATFORM_JSCORE_TEXT_MAX] = "";
            URL_ParseHostWithoutPort(url, host, sizeof(host));
            char cut[PLATFORM_JSCORE_TEXT_MAX] = "";
            String_CopyLength(cut, url, sizeof(cut));
            const JSValueRef arguments[2] = {MakeString(context, cut), MakeString(context, host)};
            JSValueRef answer = JSObjectCallAsFunction(context, function, nullptr, 2, arguments, &exception);
            if (!exception && answer && JSValueIsString(context, answer)) {
                JSStringRef text = JSValueToStringCopy(context, answer, nullptr);
                if (text) {
                    JSStringGetUTF8CString(text, result, (size_t)size);
                    JSStringRelease(text);
                    answered = 1;
                }
            }
        }
    }
    JSStringRelease(name);
    EndRun();
    JSGarbageCollect(g_state.Context);
    return answered;
}
