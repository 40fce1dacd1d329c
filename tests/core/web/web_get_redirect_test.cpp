// Tests of redirect rules, macros, the RedirectChanged notification and its take-over, the host
// whitelist and URL authorisation, and hostile rules and URLs.
#include "core/web/web_get_redirect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "core/web/web_get_internal.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetEnvironment);

constexpr uint32_t kCaseless = 0x8;
constexpr uint32_t kGlobal = 0x100;

std::string Redirect(const std::string& url, uint32_t flags = 0, int64_t* changed = nullptr,
                     int32_t capacity = WEBGET_REDIRECT_TEXT_SIZE) {
    std::vector<char> buffer((size_t)WEBGET_REDIRECT_TEXT_SIZE + url.size(), 0);
    String_CopyLength(buffer.data(), url.c_str(), (int32_t)buffer.size());
    const int64_t r = WebGet_Redirect(flags, buffer.data(), capacity);
    if (changed) *changed = r;
    return buffer.data();
}

int64_t Add(const char* name, const char* pattern, const char* replacement, uint32_t mutableRule = 1,
            uint32_t flags = 0, int64_t compile = 0, int64_t substitute = 0) {
    return WebGet_RedirectAdd(name, flags, mutableRule, pattern, replacement, compile, substitute);
}

// Every RedirectChanged information seen, as a copy.
std::vector<Dictionary*> g_fired;

int64_t Keep(void*, const char*, const char*, const char*, Dictionary* info) {
    Dictionary* copy = nullptr;
    Dictionary_Create(&copy);
    Dictionary_SetPrivateKeys(copy, 0);
    if (info) Dictionary_Merge(copy, info, 1);
    g_fired.push_back(copy);
    return 1;
}

class WebGetRedirectTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        NotificationCenter_AddObserver("WebGet", "RedirectChanged", &g_fired, Keep);
    }
    void TearDown() override {
        NotificationCenter_RemoveObserver("WebGet", "RedirectChanged", &g_fired, Keep);
        for (Dictionary*& d : g_fired) Dictionary_Release(&d);
        g_fired.clear();
        WebGetTest::TearDown();
    }
    Deadline deadline_{"a redirect test"};
};

std::string RuleText(Dictionary* info, const char* rule, const char* key) {
    const std::string path = std::string("redirect.") + rule + "." + key;
    const char* text = nullptr;
    return Dictionary_GetStringPtrByPath(info, path.c_str(), &text) && text ? text : "(absent)";
}

TEST_F(WebGetRedirectTest, SubstitutionsAndOptions) {
    struct Row {
        const char* Pattern;
        const char* Replacement;
        int64_t Compile;
        int64_t Substitute;
        const char* Url;
        const char* Result;
        int64_t Changed;
    };
    const Row rows[] = {
        {"^http://a\\.example/", "https://b.example/", 0, 0, "http://a.example/x", "https://b.example/x", 1},
        {"^http://a\\.example/", "https://b.example/", 0, 0, "http://A.example/x", "http://A.example/x", 0},
        {"^http://a\\.example/", "https://b.example/", kCaseless, 0, "http://A.example/x", "https://b.example/x", 1},
        {"o", "0", 0, 0, "http://foo/", "http://f0o/", 1},
        {"o", "0", 0, kGlobal, "http://foo/", "http://f00/", 1},
        {"/(v\\d+)/", "/$1-pinned/", 0, 0, "http://h/v12/f", "http://h/v12-pinned/f", 1},
        {"h/(.*)", "$1", 0, 0x20000, "http://h/rest", "rest", 1},
        {"(?<n>o)|(?<n>x)", "${n}0", 0x40, 0x40 | kGlobal, "http://fox/", "http://fo0x0/", 1},
        {"(", "x", 0, 0, "http://h/", "http://h/", 0},
        {"h", "$9", 0, 0, "http://h/", "http://h/", 0},
    };
    for (const Row& r : rows) {
        WebGet_RedirectClearAll();
        Add("rule", r.Pattern, r.Replacement, 1, 0, r.Compile, r.Substitute);
        int64_t changed = -1;
        EXPECT_EQ(Redirect(r.Url, 0, &changed), r.Result) << r.Pattern << " on " << r.Url;
        EXPECT_EQ(changed, r.Changed) << r.Pattern << " on " << r.Url;
    }
}

TEST_F(WebGetRedirectTest, RulesRunInOrderOnTheRewrittenUrl) {
    ASSERT_EQ(Add("A", "//x\\.example/", "//y.example/"), 1);
    ASSERT_EQ(Add("B", "//y\\.example/", "//z.example/"), 1);
    int64_t changed = 0;
    EXPECT_EQ(Redirect("https://x.example/p", 0, &changed), "https://z.example/p");
    EXPECT_EQ(changed, 1);
    // A mutable rule replaced in place keeps its turn before B.
    ASSERT_EQ(Add("a", "//w\\.example/", "//y.example/"), 1);
    EXPECT_EQ(Redirect("https://w.example/p"), "https://z.example/p");
    EXPECT_EQ(Redirect("https://x.example/p"), "https://x.example/p");
}

TEST_F(WebGetRedirectTest, VerboseStateLogsEachSubstitution) {
    Add("r", "a$", "b");
    TakeLog();
    EXPECT_EQ(Redirect("http://h/a"), "http://h/b");
    EXPECT_EQ(TakeLog().find("Regex substitution"), std::string::npos);
    WebGet_Remove();
    NotificationCenter_Process();
    Log_SetVerboseFilter("WebGet");
    ASSERT_EQ(WebGet_Init(), 1);
    Log_SetVerboseFilter("");
    Add("r", "a$", "b");
    TakeLog();
    EXPECT_EQ(Redirect("http://h/a"), "http://h/b");
    EXPECT_NE(TakeLog().find("DEBUG - Regex substitution http://h/a to http://h/b\n"), std::string::npos);
}

TEST_F(WebGetRedirectTest, ResourceRulesAndRequestRulesStayApart) {
    Add("page", "page", "PAGE");
    Add("res", "res", "RES", 1, WEBGET_REDIRECT_RESOURCE);
    const std::tuple<uint32_t, const char*, const char*> rows[] = {
        {0, "http://h/page/res", "http://h/PAGE/res"},
        {WEBGET_REDIRECT_RESOURCE, "http://h/page/res", "http://h/page/RES"},
        {WEBGET_REDIRECT_EXPAND, "http://h/page/res", "http://h/PAGE/res"},
    };
    for (const auto& [flags, url, result] : rows) EXPECT_EQ(Redirect(url, flags), result) << flags;
}

TEST_F(WebGetRedirectTest, ImmutableRulesRefuseReplacementAndRemoval) {
    ASSERT_EQ(Add("Pin", "old", "new", 0), 1);
    TakeLog();
    EXPECT_EQ(Add("PIN", "old", "other", 1), 0);
    EXPECT_NE(TakeLog().find("WARNING - Attempted to overwrite immutable redirect (PIN)\n"), std::string::npos);
    EXPECT_EQ(WebGet_RedirectRemove("pin"), 0);
    EXPECT_NE(TakeLog().find("WARNING - Attempted to remove immutable redirect (pin)\n"), std::string::npos);
    EXPECT_EQ(Redirect("http://h/old"), "http://h/new");
    EXPECT_EQ(WebGet_RedirectRemove("absent"), 0);

    // A rule set without "mutable" is immutable; clearing removes it all the same.
    Dictionary* set = nullptr;
    Dictionary_Create(&set);
    Dictionary_SetStringByPath(set, "Fixed.pattern", "fixed");
    Dictionary_SetStringByPath(set, "Fixed.replacement", "FIXED");
    Dictionary_SetStringByPath(set, "Broken.pattern", "(");
    Dictionary_SetStringByPath(set, "Broken.replacement", "x");
    Dictionary_SetStringByPath(set, "NoReplacement.pattern", "x");
    const size_t before = g_fired.size();
    EXPECT_EQ(WebGet_RedirectAddFromDictionary(set), 1);
    EXPECT_EQ(g_fired.size(), before + 1);
    const std::string log = TakeLog();
    EXPECT_NE(log.find("INFO - Add webget redirect (Fixed)"), std::string::npos) << log;
    EXPECT_NE(log.find("DEBUG - Failed to compile regex redirect (Broken:1) ("), std::string::npos) << log;
    EXPECT_EQ(log.find("(NoReplacement)"), std::string::npos) << log;
    EXPECT_EQ(WebGet_RedirectRemove("Fixed"), 0);
    EXPECT_EQ(Redirect("http://h/fixed"), "http://h/FIXED");
    EXPECT_EQ(WebGet_RedirectClearAll(), 1);
    EXPECT_EQ(Redirect("http://h/fixed/old"), "http://h/fixed/old");
    Dictionary_Reset(set);
    EXPECT_EQ(WebGet_RedirectAddFromDictionary(set), 0);
    Dictionary_Release(&set);
}

TEST_F(WebGetRedirectTest, MacrosAndTheUrlAsPassedIn) {
    ASSERT_EQ(WebGet_RedirectAddMacro("Mirror", "mirror.example"), 1);
    ASSERT_EQ(WebGet_RedirectAddMacro("Host", "origin.example"), 1);
    Add("to-mirror", "^https://origin\\.example/(.*)$", "https://{Mirror}/$1?from={Url}");
    int64_t changed = 0;
    // {Url} is the URL before the rules, its own tokens expanded as the request's are.
    EXPECT_EQ(Redirect("https://{Host}/f", WEBGET_REDIRECT_EXPAND, &changed),
              "https://mirror.example/f?from=https://origin.example/f");
    EXPECT_EQ(Redirect("https://origin.example/g?a=b", WEBGET_REDIRECT_EXPAND),
              "https://mirror.example/g?a=b?from=https://origin.example/g?a=b");
    EXPECT_EQ(changed, 1);
    // Without "Expand" nothing is expanded; unknown names stay as written.
    EXPECT_EQ(Redirect("https://{Host}/f"), "https://{Host}/f");
    EXPECT_EQ(Redirect("https://{Nobody}/", WEBGET_REDIRECT_EXPAND), "https://{Nobody}/");

    char out[WEBGET_AGENT_SIZE + 16];
    char agent[WEBGET_AGENT_SIZE];
    WebGet_GetSystemAgent(agent, sizeof(agent));
    EXPECT_EQ(WebGet_ExpandString("{SystemAgent}", out, sizeof(out)), 1);
    EXPECT_STREQ(out, agent);
    EXPECT_EQ(WebGet_RedirectRemoveMacro("Mirror"), 1);
    EXPECT_EQ(WebGet_RedirectRemoveMacro("Mirror"), 0);
    WebGet_ExpandString("{Mirror}", out, sizeof(out));
    EXPECT_STREQ(out, "{Mirror}");

    // A name longer than a key is refused, not cut.
    const std::string longName(DICTIONARY_MAX_KEY_LENGTH + 1, 'm');
    EXPECT_EQ(WebGet_RedirectAddMacro(longName.c_str(), "v"), 0);
    EXPECT_EQ(WebGet_RedirectAddMacro(longName.substr(1).c_str(), "v"), 1);

    Dictionary* macros = nullptr;
    Dictionary_Create(&macros);
    EXPECT_EQ(WebGet_RedirectAddMacrosFromDictionary(macros), 0);
    Dictionary_SetStringByKey(macros, "A", "1");
    Dictionary_SetStringByKey(macros, "B", "2");
    EXPECT_EQ(WebGet_RedirectAddMacrosFromDictionary(macros), 1);
    WebGet_ExpandString("{A}{B}", out, sizeof(out));
    EXPECT_STREQ(out, "12");
    Dictionary_Release(&macros);
}

TEST(WebGetRedirectOptions, TextsAndBits) {
    struct Row {
        const char* Text;
        uint32_t Flags;
        uint32_t Compile;
        uint32_t Substitute;
    };
    const Row rows[] = {
        {"caseless, Global", 0, 0x8, 0x100},
        {"Bogus,Caseless", 0, 0x8, 0},
        {"", 0, 0, 0},
        {"expand,  RESOURCE", 0x3, 0, 0},
        {"Caseless ,Global", 0, 0, 0x100},
        {" Caseless", 0, 0, 0},
        {"Anchored, EndAnchored, Extended, DupNames", 0, 0xa00000c0, 0xa0000240},
        {",,,", 0, 0, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(WebGet_RedirectFlagsFromStringList(r.Text), r.Flags) << r.Text;
        EXPECT_EQ(WebGet_RedirectCompileOptionsFromStringList(r.Text), r.Compile) << r.Text;
        EXPECT_EQ(WebGet_RedirectSubstituteOptionsFromStringList(r.Text), r.Substitute) << r.Text;
    }
    char text[1024];
    WebGet_GetRedirectCompileOptionsFlagString(0x80 | 0x8 | 0x1, text, sizeof(text));
    EXPECT_STREQ(text, "AllowEmptyClass, Caseless, Extended");
    WebGet_GetRedirectSubstituteOptionsFlagString(0x20000 | 0x100 | 0x1, text, sizeof(text));
    EXPECT_STREQ(text, "NotBol, Global, ReplacementOnly");
    WebGet_GetRedirectFlagsFlagString(0x7, text, sizeof(text));
    EXPECT_STREQ(text, "Expand, Resource");
    // Every named bit survives the trip through its text.
    WebGet_GetRedirectCompileOptionsFlagString(0xffffffff, text, sizeof(text));
    EXPECT_EQ(WebGet_RedirectCompileOptionsFromStringList(text), 0xa275e7fbu)
        << text;
    WebGet_GetRedirectSubstituteOptionsFlagString(0xffffffff, text, sizeof(text));
    EXPECT_EQ(WebGet_RedirectSubstituteOptionsFromStringList(text), 0xa0028f4fu) << text;
}

TEST_F(WebGetRedirectTest, NotificationCarriesRulesToTheOtherProcess) {
    ASSERT_EQ(WebGet_RedirectAddMacro("M", "v"), 1);
    ASSERT_EQ(Add("Fold", "^http://upper\\.example/", "http://lower.example/", 0, WEBGET_REDIRECT_RESOURCE,
                  kCaseless, kGlobal),
              1);
    ASSERT_FALSE(g_fired.empty());
    Dictionary* info = g_fired.back();
    EXPECT_EQ(RuleText(info, "Fold", "compileOptions"), "Caseless");
    EXPECT_EQ(RuleText(info, "Fold", "substituteOptions"), "Global");
    EXPECT_EQ(RuleText(info, "Fold", "flags"), "Resource");
    EXPECT_EQ(RuleText(info, "Fold", "pattern"), "^http://upper\\.example/");
    uint32_t mutableRule = 1;
    EXPECT_EQ(Dictionary_GetBooleanByPath(info, "redirect.Fold.mutable", &mutableRule), 1);
    EXPECT_EQ(mutableRule, 0u);
    const char* macro = nullptr;
    EXPECT_EQ(Dictionary_GetStringPtrByPath(info, "macros.M", &macro), 1);
    EXPECT_STREQ(macro, "v");

    // The other process: a fresh state with a local immutable rule of another name and one of the
    // same name as a remote mutable rule.
    Dictionary* carried = nullptr;
    Dictionary_Create(&carried);
    Dictionary_Merge(carried, info, 1);
    Dictionary_SetStringByPath(carried, "redirect.Local.pattern", "remote");
    Dictionary_SetStringByPath(carried, "redirect.Local.replacement", "REMOTE");
    Dictionary_SetBooleanByPath(carried, "redirect.Local.mutable", 1);
    WebGet_Remove();
    NotificationCenter_Process();
    ASSERT_EQ(WebGet_Init(), 1);
    ASSERT_EQ(Add("local", "local", "LOCAL", 0), 1);
    // Fired in this process: ignored.
    NotificationCenter_Fire("WebGet", "RedirectChanged", nullptr, carried);
    EXPECT_EQ(Redirect("http://UPPER.example/x", WEBGET_REDIRECT_RESOURCE), "http://UPPER.example/x");
    Dictionary_SetBooleanByKey(carried, "isRemote", 1);
    const size_t fired = g_fired.size();
    NotificationCenter_Fire("WebGet", "RedirectChanged", nullptr, carried);
    EXPECT_EQ(g_fired.size(), fired + 1); // the take-over fires nothing of its own
    EXPECT_EQ(Redirect("http://UPPER.example/local", WEBGET_REDIRECT_RESOURCE), "http://lower.example/local");
    EXPECT_EQ(Redirect("http://h/local/remote"), "http://h/LOCAL/remote");
    char out[16];
    WebGet_ExpandString("{M}", out, sizeof(out));
    EXPECT_STREQ(out, "v");
    EXPECT_EQ(WebGet_RedirectRemove("Fold"), 0);
    Dictionary_Release(&carried);

    // Names keep a leading "#" on their way.
    ASSERT_EQ(Add("#pin", "p", "P"), 1);
    Dictionary* redirect = nullptr;
    ASSERT_EQ(Dictionary_GetDictionaryByKey(g_fired.back(), "redirect", &redirect), 1);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetLast(redirect, &item);
    const char* key = nullptr;
    ASSERT_EQ(Dictionary_ItemGetKeyPtr(redirect, item, &key), 1);
    EXPECT_STREQ(key, "#pin");
}

TEST_F(WebGetRedirectTest, HostileRulesFailCleanly) {
    struct Row {
        const char* Name;
        std::string Pattern;
        int64_t Compile;
        int64_t Substitute;
        int64_t Added;
    };
    const Row rows[] = {
        {"range-high", "x", 0x100000000LL, 0, 0},
        {"range-negative", "x", -1, 0, 0},
        {"substitute-range", "x", 0, 0x100000000LL, 0},
        // UTF mode with the check switched off would read the invalid byte unchecked.
        {"unchecked", "\xff(", 0x80000 | 0x40000000, 0, 0},
        {"too-long", std::string(WEBGET_REDIRECT_TEXT_SIZE, 'a'), 0, 0, 0},
        {"", "x", 0, 0, 0},
        {"fits", std::string(WEBGET_REDIRECT_TEXT_SIZE - 1, 'a'), 0, 0, 1},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Add(r.Name, r.Pattern.c_str(), "y", 1, 0, r.Compile, r.Substitute), r.Added) << r.Name;
    const std::string longName(WEBGET_REDIRECT_NAME_SIZE, 'n');
    EXPECT_EQ(Add(longName.c_str(), "x", "y"), 0);
    EXPECT_EQ(Add(longName.substr(1).c_str(), "x", "y"), 1);

    // Catastrophic backtracking stops at the match limit, logged, and the URL stays.
    WebGet_RedirectClearAll();
    Add("slow", "(a+)+$", "x");
    const std::string url = "http://h/" + std::string(4000, 'a') + "!";
    TakeLog();
    EXPECT_EQ(Redirect(url), url);
    EXPECT_NE(TakeLog().find("DEBUG - Regex substitution failed (slow) (-47)\n"), std::string::npos);

    // A result longer than the caller's buffer fails that rule; the next still runs.
    WebGet_RedirectClearAll();
    Add("grow", "h", "hhhhhhhhhhhhhhhhhhhh");
    Add("next", "x", "X");
    int64_t changed = 0;
    EXPECT_EQ(Redirect("http://h/x", 0, &changed, 16), "http://h/X");
    EXPECT_EQ(changed, 1);
    EXPECT_NE(TakeLog().find("DEBUG - Regex substitution failed (grow) (-48)\n"), std::string::npos);
    EXPECT_EQ(Redirect("http://h/x", 0, &changed, 1), "http://h/x");
    EXPECT_EQ(changed, 0);
}

TEST_F(WebGetRedirectTest, RulesChangeWhileAnotherThreadRewrites) {
    std::atomic<int32_t> rewrites{0};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 300 || rewrites < 10; i++) {
            WebGet_RedirectAddInternal("swap", 0, 1, i % 2 ? "a" : "b", "c", 0, 0);
            if (i % 3 == 0) WebGet_RedirectRemove("swap");
        }
        done = true;
    });
    do {
        const std::string out = Redirect("http://h/ab", WEBGET_REDIRECT_EXPAND);
        EXPECT_TRUE(out == "http://h/ab" || out == "http://h/cb" || out == "http://h/ac") << out;
        rewrites++;
    } while (!done);
    writer.join();
}

TEST_F(WebGetRedirectTest, CompileOptionsAboveThirtyTwoBitsAreABrokenPrecondition) {
    InstallTestAbortHook();
    EXPECT_DEATH(WebGet_RedirectAddInternal("r", 0, 1, "x", "y", 0x100000000LL, 0),
                 AbortRegex("Assertion failed (CompileOptions >= 0 && CompileOptions <= UINT32_MAX)\n"
                            "CompileOptions out of range"));
    Debug_AbortOverride(nullptr);
}

int64_t ApproveNone(const char*) { return 0; }

TEST_F(WebGetRedirectTest, WhitelistAndAuthorize) {
    ASSERT_EQ(WebGet_WhitelistAdd("*.example.com"), 1);
    ASSERT_EQ(WebGet_WhitelistAdd("h?st.test"), 1);
    ASSERT_EQ(WebGet_WhitelistAdd(".dot.test"), 1);
    EXPECT_NE(TakeLog().find("DEBUG - Added host to whitelist (h?st.test)\n"), std::string::npos);
    EXPECT_EQ(WebGet_WhitelistAdd("h?st.test"), 1);
    EXPECT_EQ(TakeLog().find("Added host"), std::string::npos);

    // A host name cut to a buffer would end on ".example.com" while the whole one does not.
    const std::string cut = "https://" + std::string(WEBGET_REDIRECT_TEXT_SIZE - 13, 'a') +
                            ".example.com.evil.test/";
    struct Row {
        uint32_t Enabled;
        std::string Url;
        int64_t Answer;
        const char* Logged;
    };
    const Row rows[] = {
        {1, "https://www.example.com:8443/x", 1, ""},
        {1, "https://WWW.Example.COM/", 1, ""},
        {1, "https://example.com/", 0, "WARNING - Hostname not found in whitelist (example.com)\n"},
        {1, "https://host.test/", 1, ""},
        {1, "https://hoost.test/", 0, "(hoost.test)"},
        {1, "https://dot.test/", 0, "(dot.test)"},
        {1, "https://www.example.com@evil.test/", 0, "(evil.test)"},
        {1, "www.example.com", 0, "DEBUG - Malformed url (www.example.com)\n"},
        {1, cut, 0, "Hostname not found in whitelist"},
        {0, "https://evil.test/", 1, "(evil.test)"},
        {0, "no-slashes", 0, "Malformed url"},
    };
    for (const Row& r : rows) {
        Authenticate_SetEnabled(r.Enabled);
        EXPECT_EQ(WebGet_Authorize(r.Url.c_str()), r.Answer) << r.Url.substr(0, 60);
        const std::string log = TakeLog();
        if (r.Logged[0])
            EXPECT_NE(log.find(r.Logged), std::string::npos) << log;
        else
            EXPECT_EQ(log, "");
    }
    Authenticate_SetEnabled(1);

    WebGet_AuthorizeOverride(ApproveNone);
    EXPECT_EQ(WebGet_Authorize("https://www.example.com/"), 0);
    WebGet_AuthorizeOverride(nullptr);

    // Patterns longer than a key are refused rather than cut into a wider pattern.
    EXPECT_EQ(WebGet_WhitelistAdd(("*" + std::string(DICTIONARY_MAX_KEY_LENGTH, 'x')).c_str()), 0);
    EXPECT_EQ(WebGet_WhitelistAdd(""), 0);

    EXPECT_EQ(WebGet_WhitelistMakeImmutable(), 0);
    EXPECT_EQ(WebGet_WhitelistAdd("*"), 0);
    EXPECT_EQ(WebGet_IsWhitelisted("other.test"), 0);
    EXPECT_EQ(WebGet_WhitelistMakeImmutable(), 0);

    WebGet_Remove();
    ASSERT_EQ(WebGet_Init(), 1);
    EXPECT_EQ(WebGet_IsWhitelisted("other.test"), 0);
    EXPECT_EQ(WebGet_WhitelistAdd("*"), 1);
    EXPECT_EQ(WebGet_IsWhitelisted("other.test"), 1);
    EXPECT_EQ(WebGet_Authorize("https://any.where:1/"), 1);
}

TEST(WebGetRedirectNoState, AnswersWithoutState) {
    char url[] = "http://h/";
    EXPECT_EQ(WebGet_Redirect(WEBGET_REDIRECT_EXPAND, url, sizeof(url)), 0);
    EXPECT_STREQ(url, "http://h/");
    EXPECT_EQ(Add("r", "h", "x"), 0);
    EXPECT_EQ(WebGet_RedirectRemoveMacro("m"), 0);
    EXPECT_EQ(WebGet_RedirectClearAll(), 0);
    EXPECT_EQ(WebGet_IsWhitelisted("h"), 0);
    EXPECT_EQ(WebGet_WhitelistAdd("h"), 0);
}

} // namespace
