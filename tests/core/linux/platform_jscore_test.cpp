// Tests of PAC scripts in JavaScriptCore: the helper functions against pacparser (run under
// faketime at the instant our script's clock is pinned to), arguments passed as values, scripts
// that throw or never end, and the dnsResolve and myIpAddress natives.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/linux/platform_jscore.h"
#include "core/runtime/string.h"
#include "tests/support/oracle_process.h"

namespace {

int64_t TableResolver(const char* name, uint32_t* address) {
    // A name server that is slow to answer: the script waits without using CPU time.
    if (strcmp(name, "slow.test") == 0) return std::this_thread::sleep_for(std::chrono::milliseconds(50)), 0;
    if (strcmp(name, "known.test") == 0) return String_ConvertToIP("10.1.2.3", address, nullptr);
    return 0;
}

class JSCoreEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        // The date helpers read local time: the oracle and we agree on UTC.
        setenv("TZ", "UTC", 1);
        tzset();
        PlatformJSCore_SetResolver(TableResolver);
    }
    void TearDown() override {
        PlatformJSCore_SetResolver(nullptr);
        PlatformJSCore_Remove();
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new JSCoreEnvironment);

// The answer of FindProxyForURL, or "(none)" when the run gave no string.
std::string RunPac(const std::string& script, const std::string& url = "http://www.example.com/a") {
    char result[4096] = "junk";
    const int64_t ok = PlatformJSCore_ProxyGetForURLWithScript(script.c_str(), (int32_t)script.size(), url.c_str(),
                                                               result, sizeof(result));
    if (!ok) return result[0] ? "(none but text)" : "(none)";
    return result;
}

// Expressions of the PAC helpers without name lookups; the clock is Friday 2026-03-13 10:30:30 UTC,
// mid-minute: the oracle's time ranges keep the milliseconds of the moment they were made, so a
// clock on the very second a range starts lands outside it whenever the run is slow.
constexpr const char* kExpressions[] = {
    "isPlainHostName('www')", "isPlainHostName('www.a.com')", "dnsDomainIs('www.a.com', '.a.com')",
    "dnsDomainIs('www', '.a.com')", "dnsDomainIs('a.com', '.a.com')",
    "localHostOrDomainIs('www.a.com', 'www.a.com')", "localHostOrDomainIs('www', 'www.a.com')",
    "localHostOrDomainIs('www.b.com', 'www.a.com')", "dnsDomainLevels('www')", "dnsDomainLevels('a.b.c')",
    "shExpMatch('http://home.netscape.com/people/ari/index.html', '*/ari/*')",
    "shExpMatch('http://home.netscape.com/people/montulli/index.html', '*/ari/*')", "shExpMatch('abc', 'a?c')",
    "shExpMatch('a.c', 'a.c')", "shExpMatch('abc', 'a.c')", "shExpMatch('abcd', 'a?c')",
    "isInNet('198.95.249.79', '198.95.249.79', '255.255.255.255')",
    "isInNet('198.95.6.8', '198.95.0.0', '255.255.0.0')", "isInNet('10.1.2.3', '198.95.0.0', '255.255.0.0')",
    "convert_addr('10.1.2.3')",
    "weekdayRange('MON', 'FRI')", "weekdayRange('SAT')", "weekdayRange('FRI')", "weekdayRange('SAT', 'MON')",
    "weekdayRange('THU', 'FRI', 'GMT')", "weekdayRange('XYZ')", "weekdayRange()",
    "dateRange('MAR')", "dateRange('APR')", "dateRange(13)", "dateRange(14)", "dateRange(2026)", "dateRange(2025)",
    "dateRange('JAN', 'MAR')", "dateRange('APR', 'DEC')", "dateRange(1, 20)", "dateRange(14, 20)",
    "dateRange(1, 'MAR', 2026, 31, 'MAR', 2026)", "dateRange(2025, 2027)", "dateRange('NOV', 'FEB')",
    "dateRange('MAR', 'GMT')",
    "timeRange(10)", "timeRange(11)", "timeRange(9, 17)", "timeRange(10, 0, 10, 45)", "timeRange(10, 31, 11, 0)",
    "timeRange(10, 30, 0, 10, 30, 59)", "timeRange(11, 0, 0, 12, 0, 0)", "timeRange(10, 'GMT')",
};

std::string ExpressionScript() {
    std::string body = "function FindProxyForURL(url, host) { return [";
    for (const char* e : kExpressions) body += std::string(e) + ",\n";
    return body + "].join(','); }\n";
}

// Pins the script's clock; Date stays a constructor for explicit times.
constexpr char kFixedClock[] =
    "if (typeof __RealDate === 'undefined') { __RealDate = Date;"
    " Date = function () { return arguments.length ? new __RealDate(arguments[0]) :"
    " new __RealDate(__RealDate.UTC(2026, 2, 13, 10, 30, 30)); }; Date.UTC = __RealDate.UTC; }\n";

TEST(PlatformJSCore, HelpersAgreeWithPacparser) {
    const std::string script = ExpressionScript();
    const auto oracle = RunOracle(
        "TZ=UTC faketime '2026-03-13 10:30:30' /usr/bin/python3 -c \"import pacparser, sys; pacparser.init(); "
        "pacparser.parse_pac_string(sys.stdin.read()); "
        "print(pacparser.find_proxy('http://www.example.com/a', 'www.example.com'))\"",
        script, 60);
    ASSERT_TRUE(oracle.has_value()) << "pacparser under faketime did not run";
    std::string expected = *oracle;
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) expected.pop_back();
    EXPECT_EQ(RunPac(std::string(kFixedClock) + script), expected);
    PlatformJSCore_Remove(); // the pinned clock goes with the context
}

TEST(PlatformJSCore, RangesWrapAndCountArguments) {
    const struct {
        const char* Expression;
        const char* Expected;
    } cases[] = {
        {"timeRange(22, 2)", "false"}, {"timeRange(9, 8)", "true"},     {"timeRange(10, 40, 10, 20)", "false"},
        {"timeRange(11, 0, 10, 0)", "false"}, {"timeRange(10, 0, 9, 0)", "true"},
        {"weekdayRange('SUN', 'SAT')", "true"}, {"dateRange(20, 14)", "true"}, {"dateRange(14, 12)", "false"},
        {"isValidIpAddress('256.1.1.1')", "false"}, {"isValidIpAddress('1.2.3')", "false"},
        {"isValidIpAddress('1.2.3.4')", "true"}, {"dateRange('DEC', 'APR')", "true"},
        {"isInNet('1.2.3.4', '1.2.3', '255.0.0.0')", "false"},
        // Only '*' and '?' are special in a shell pattern; both also span line ends.
        {"shExpMatch('a+b', 'a+b')", "true"}, {"shExpMatch('aab', 'a+b')", "false"},
        {"shExpMatch('(x)', '(?)')", "true"}, {"shExpMatch('x\\ny', 'x*y')", "true"},
        {"shExpMatch('x\\ny', 'x?y')", "true"}, {"isValidIpAddress(' 1.2.3.4')", "false"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunPac(std::string(kFixedClock) + "function FindProxyForURL(u, h) { return String(" + c.Expression +
                      "); }"),
                  c.Expected)
            << c.Expression;
    // Three arguments are no range: the helper throws, and the run answers nothing.
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return String(timeRange(1, 2, 3)); }"), "(none)");
    PlatformJSCore_Remove();
}

TEST(PlatformJSCore, ArgumentsArriveAsValues) {
    // Quotes, a backslash and line ends in the URL would break out of spliced source text.
    const std::string url = "http://a.test/x\");globalThis.hit=1;(\"\\'\n\r\u2028y";
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return u + '|' + h; }", url), url + "|a.test");
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return typeof hit; }"), "undefined");
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return 'DIRECT'; }"), "DIRECT");
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return h; }", "https://user@h.test:8443/p"), "h.test");
}

TEST(PlatformJSCore, FailingScriptsAnswerNothing) {
    // Each script stands alone: a function left by an earlier one never answers for a later one.
    const char* scripts[] = {
        "function FindProxyForURL(u, h) { return 'stale'; } throw 1;",
        "function FindProxyForURL(u, h) { throw new Error('no'); }",
        "function FindProxyForURL(u, h) { return 42; }",
        "function FindProxyForURL(u, h) { return null; }",
        "var FindProxyForURL = 'not a function';",
        "function FindProxyForURL(u, h) { return 'x'; ",
        "throw 1; function FindProxyForURL(u, h) { return 'x'; }",
        "",
    };
    for (const char* script : scripts) EXPECT_EQ(RunPac(script), "(none)") << script;
    char small[4] = "abc";
    EXPECT_EQ(PlatformJSCore_ProxyGetForURLWithScript("function FindProxyForURL(u, h) { return 'PROXY p:1'; }", 0,
                                                      "http://a/", small, sizeof(small)),
              1);
    EXPECT_STREQ(small, "PRO");
}

TEST(PlatformJSCore, ScriptsThatNeverEndAreStopped) {
    const char* scripts[] = {
        "while (true) {}",
        "function FindProxyForURL(u, h) { for (;;) {} }",
        "function FindProxyForURL(u, h) { var s = ''; while (true) { s = dnsResolve('known.test'); } }",
    };
    for (const char* script : scripts) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RunPac(script), "(none)") << script;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30.0) << script;
    }
    // The context goes on serving scripts afterwards.
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return 'DIRECT'; }"), "DIRECT");
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(PlatformJSCore, ShellPatternsMatchWithoutBacktracking) {
    const struct {
        const char* Expression;
        const char* Expected;
    } cases[] = {
        // As a regular expression these run for minutes; no run limit can stop one.
        {"shExpMatch('a'.repeat(100), '*a*a*a*a*a*a*a*b')", "false"},
        {"shExpMatch('a'.repeat(8000) + 'b', '*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b')", "true"},
        {"shExpMatch('a'.repeat(8000), '*' + 'a*'.repeat(2000) + '?')", "true"},
        {"shExpMatch('', '*')", "true"}, {"shExpMatch('', '')", "true"}, {"shExpMatch('a', '')", "false"},
        {"shExpMatch('ab', '?*?')", "true"}, {"shExpMatch('a', '?*?')", "false"}, {"shExpMatch('x', '**')", "true"},
        {"shExpMatch('abcbd', 'a*b?')", "true"}, {"shExpMatch('abcbde', 'a*b?')", "false"},
        {"shExpMatch('a\\\\b', 'a\\\\?')", "true"}, {"shExpMatch('a\\\\b', 'a\\\\b')", "true"},
        {"shExpMatch('a^b$', 'a^?$')", "true"}, {"shExpMatch('\\u00e9\\ud83d\\ude00', '?\\ud83d?')", "true"},
        // Arguments are taken as strings, as String() would.
        {"shExpMatch(undefined, 'undef*')", "true"}, {"shExpMatch(12, '1?')", "true"}, {"shExpMatch()", "true"},
    };
    const auto start = std::chrono::steady_clock::now();
    for (const auto& c : cases)
        EXPECT_EQ(RunPac(std::string("function FindProxyForURL(u, h) { return String(") + c.Expression + "); }"),
                  c.Expected)
            << c.Expression;
    EXPECT_LT(Seconds(start), 30.0);
    // A toString that throws makes the call throw.
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return String(shExpMatch({toString: function () { throw 1; }}, "
                     "'*')); }"),
              "(none)");
}

TEST(PlatformJSCore, TheWallClockEndsARunThatUsesLittleCpu) {
    // A CPU limit far away: only the wall clock can end these in time.
    ASSERT_EQ(PlatformJSCore_SetTimeLimits(60, 0.5), 1);
    const char* scripts[] = {
        "function FindProxyForURL(u, h) { for (;;) {} }",
        "function FindProxyForURL(u, h) { for (;;) dnsResolve('slow.test'); }",
        "function FindProxyForURL(u, h) { for (;;) shExpMatch(u, '*a*'); }",
        "for (;;) dnsResolve('slow.test');",
    };
    for (const char* script : scripts) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RunPac(script), "(none)") << script;
        // Well inside the CPU limit even when other processes hold the machine's cores.
        EXPECT_LT(Seconds(start), 30.0) << script;
    }
    // The CPU limit still ends a busy script long before the wall clock would.
    ASSERT_EQ(PlatformJSCore_SetTimeLimits(0.2, 600), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { for (;;) {} }"), "(none)");
    EXPECT_LT(Seconds(start), 60.0);
    ASSERT_EQ(PlatformJSCore_SetTimeLimits(0, 0), 1);
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return 'DIRECT'; }"), "DIRECT");
}

TEST(PlatformJSCore, NativeResolution) {
    const struct {
        const char* Expression;
        const char* Expected;
    } cases[] = {
        {"dnsResolve('known.test')", "10.1.2.3"},
        {"dnsResolve('nope.test')", "undefined"},
        {"isResolvable('nope.test')", "false"},
        {"isResolvable('known.test')", "true"},
        {"isResolvableEx('known.test')", "true"},
        {"isInNet('known.test', '10.0.0.0', '255.0.0.0')", "true"},
        {"isInNet('nope.test', '10.0.0.0', '255.0.0.0')", "false"},
        {"dnsResolve()", "undefined"},
        {"dnsResolve(5)", "undefined"},
        {"dnsResolve('known.test', 'x')", "undefined"},
        {"isValidIpAddress(myIpAddress())", "true"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunPac(std::string("function FindProxyForURL(u, h) { return String(") + c.Expression + "); }"),
                  c.Expected)
            << c.Expression;
    // The system's resolution answers from the hosts file for this name.
    PlatformJSCore_SetResolver(nullptr);
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return String(dnsResolve('localhost')); }"), "127.0.0.1");
    PlatformJSCore_SetResolver(TableResolver);
}

TEST(PlatformJSCore, EvaluateAndDefine) {
    EXPECT_NE(PlatformJSCore_EvaluateScript("1 + 1"), nullptr);
    EXPECT_EQ(PlatformJSCore_EvaluateScript("1 +"), nullptr);
    EXPECT_EQ(PlatformJSCore_EvaluateScript("throw 1"), nullptr);
    EXPECT_EQ(PlatformJSCore_EvaluateScript(nullptr), nullptr);
    const std::string script =
        "function FindProxyForURL(u, h) { return typeof lookup == 'function' ? lookup('known.test') : 'none'; }";
    EXPECT_EQ(RunPac(script), "none");
    EXPECT_EQ(PlatformJSCore_InitGlobalFunction("lookup"), 1);
    EXPECT_EQ(PlatformJSCore_InitGlobalFunction(""), 0);
    EXPECT_EQ(RunPac(script), "10.1.2.3");
    EXPECT_EQ(PlatformJSCore_Init(), 1);
    EXPECT_EQ(PlatformJSCore_Remove(), 1);
    EXPECT_EQ(PlatformJSCore_Remove(), 1);
    PlatformJSCore_CStringRelease(nullptr);
    // After removal the next use makes a fresh context, without the function defined before.
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return typeof lookup; }"), "undefined");
}

} // namespace
