// URLRedirect and URLRedirectMacro through the engine, checked by rewriting URLs with the web
// client's rules and reading back its rule table; rule names against sha1sum.
#include "core/web/web_get_redirect.h"
#include "tasks/redirect_tasks.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/oracle_process.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class RedirectTaskTest : public TaskLibraryTest {
  protected:
    int defined = 0;
    void SetUp() override {
        TaskLibraryTest::SetUp();
        WebGet_RedirectClearAll();
        Watch("WebGet", "RedirectChanged");
    }
    void TearDown() override {
        WebGet_RedirectClearAll();
        TaskLibraryTest::TearDown();
    }
    Run One(const std::string& type, const std::string& arguments) {
        const std::string name = "t" + std::to_string(++defined);
        Define("{\"" + name + "\": {\"type\": \"" + type + "\", " + arguments + "}}");
        return RunTask(name.c_str());
    }
    static std::string Rewrite(const std::string& url) {
        char text[WEBGET_REDIRECT_TEXT_SIZE];
        snprintf(text, sizeof(text), "%s", url.c_str());
        WebGet_Redirect(0, text, sizeof(text));
        return text;
    }
    // The client's current rules and macros, as JSON.
    std::string Table() {
        fired.clear();
        WebGet_RaiseRedirectConfig();
        return fired.empty() ? "" : fired.back();
    }
    static int Count(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
        return n;
    }
    static std::string Sha1(const std::string& text) {
        auto out = RunOracle("printf %s '" + text + "' | sha1sum | cut -c1-40", "", 30);
        return out ? out->substr(0, 40) : "<failed>";
    }
};

TEST_F(RedirectTaskTest, PatternEscapesEveryPatternCharacter) {
    char out[64];
    ASSERT_EQ(URLRedirect_BuildPattern("a b#$()*+./?[\\^{|]}-", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "^(a\\ b\\#\\$\\(\\)\\*\\+\\.\\/\\?\\[\\\\\\^\\{\\|]}-.*)");
    const std::string longest(URLREDIRECT_PREFIX_LIMIT, 'a');
    std::vector<char> big(WEBGET_REDIRECT_TEXT_SIZE);
    EXPECT_EQ(URLRedirect_BuildPattern(longest.c_str(), big.data(), (int32_t)big.size()), 0);
    EXPECT_STREQ(big.data(), "");
}

TEST_F(RedirectTaskTest, AppendAndReplaceRewriteWholeUrlsLiterally) {
    ASSERT_TRUE(One("URLRedirect", "\"beginsWith\": \"http://Example.com/a?b=1\", \"append\": \"&x=$1\"").successful);
    EXPECT_EQ(Rewrite("HTTP://example.COM/a?b=1&c"), "HTTP://example.COM/a?b=1&c&x=$1");
    // "." and "?" are literal: these do not begin with the prefix.
    EXPECT_EQ(Rewrite("http://exampleXcom/a?b=1"), "http://exampleXcom/a?b=1");
    EXPECT_EQ(Rewrite("http://example.com/ab=1"), "http://example.com/ab=1");
    EXPECT_EQ(Rewrite("see http://example.com/a?b=1"), "see http://example.com/a?b=1");
    ASSERT_TRUE(One("URLRedirect", "\"beginsWith\": \"https://old/\", \"replace\": \"https://new/$0\"").successful);
    EXPECT_EQ(Rewrite("https://OLD/path/file"), "https://new/$0");
}

TEST_F(RedirectTaskTest, ListAddsOneRuleNamedByDigestPerPrefixAndRunsAgainInPlace) {
    const std::string task = "\"beginsWith\": [\"http://a/\", \"http://b/\", \"http://c/\"], \"replace\": \"x\"";
    ASSERT_TRUE(One("URLRedirect", task).successful);
    ASSERT_TRUE(One("URLRedirect", task).successful);
    const std::string table = Table();
    EXPECT_EQ(Count(table, "\"URLRedirectTask_"), 3) << table;
    for (const char* prefix : {"http://a/", "http://b/", "http://c/"})
        EXPECT_EQ(Count(table, "\"URLRedirectTask_" + Sha1(prefix) + "\""), 1) << prefix;
    EXPECT_EQ(Count(table, "\"pattern\":\"^(http:\\\\/\\\\/b\\\\/.*)\""), 1) << table;
}

TEST_F(RedirectTaskTest, MissingOrUnusableArguments) {
    const struct {
        const char* arguments;
        const char* key;
        const char* line;
    } cases[] = {
        {"\"append\": \"x\"", "Task_Error_MissingArg", "beginsWith argument not defined"},
        {"\"beginsWith\": \"http://a/\"", "Task_Error_InvalidArg", "append/replace argument invalid or not defined"},
    };
    for (const auto& c : cases) {
        lines.clear();
        const Run run = One("URLRedirect", c.arguments);
        EXPECT_EQ(run.errors, std::vector<std::string>{c.key}) << c.arguments;
        EXPECT_TRUE(Printed(c.line)) << c.arguments;
    }
    EXPECT_EQ(Count(Table(), "URLRedirectTask_"), 0);
}

TEST_F(RedirectTaskTest, MacrosAreSetWithExpandedValues) {
    ASSERT_TRUE(One("URLRedirectMacro", "\"keyValuePairs\": {\"cdn\": \"cdn.example\", \"two\": \"{cdn}/2\"}").successful);
    EXPECT_TRUE(Printed("Adding url redirect macro cdn = cdn.example"));
    ASSERT_TRUE(One("URLRedirectMacro", "\"key\": \"one\", \"value\": \"v1\"").successful);
    const std::string table = Table();
    EXPECT_EQ(Count(table, "\"cdn\":\"cdn.example\""), 1) << table;
    EXPECT_EQ(Count(table, "\"one\":\"v1\""), 1) << table;
    lines.clear();
    EXPECT_EQ(One("URLRedirectMacro", "\"key\": \"k\"").errors, std::vector<std::string>{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("keyValuePairs/key argument not defined"));
}

} // namespace
