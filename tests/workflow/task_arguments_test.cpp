// Tests of the Task's arguments: templates, the typed readers, the key provider's paths and
// macro chain, the signature rule, documents given as text and the trusted stores.
#include "tests/workflow/workflow_fixture.h"

#include "core/web/web_get.h"
#include "tests/support/scoped_locale.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);
const bool g_bounded = BoundEveryTest();

std::string Expand(Task* task, const char* text) {
    char buffer[1024];
    snprintf(buffer, sizeof(buffer), "%s", text);
    Task_ExpandString(task, buffer, sizeof(buffer));
    return buffer;
}

TEST_F(TaskTest, TemplatesMergeInOrderAndTheDefinitionWins) {
    const char* document = R"({
        "base": {"url": "http://base/", "a": "1"},
        "over": {"url": "http://over/"},
        "own": {"template": ["base", "over"], "url": "http://own/"},
        "inherits": {"template": ["base", "over"]},
        "single": {"template": "base"},
        "#hidden": {}
    })";
    const struct {
        const char *name, *url;
    } cases[] = {{"own", "http://own/"}, {"inherits", "http://over/"}, {"single", "http://base/"}};
    for (const auto& c : cases) {
        Task* task = Load(document, c.name);
        char url[64];
        EXPECT_EQ(Task_GetStringArgument(task, "url", url, sizeof(url)), 1);
        EXPECT_STREQ(url, c.url) << c.name;
        EXPECT_EQ(Task_HasArgument(task, "a"), 1);
    }
    Task* task = nullptr;
    Task_Create(&task);
    tasks.push_back(task);
    EXPECT_EQ(Task_LoadFromDictionary(task, Root(documents[0]), "base.url"), 0);
    EXPECT_EQ(Task_LoadFromDictionary(task, Root(documents[0]), "absent"), 0);
}

TEST_F(TaskTest, MultiStringQuotesEveryItem) {
    Task* task = Load(R"({"t1": {"args": ["a", "{this.name}"], "one": "x"}})", "t1");
    char buffer[64];
    EXPECT_EQ(Task_GetMultiStringArgument(task, "args", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "\"a\" \"t1\" ");
    EXPECT_EQ(Task_GetMultiStringArgument(task, "one", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "x");
    // A command line that does not fit is refused, not cut.
    EXPECT_EQ(Task_GetMultiStringArgument(task, "args", buffer, 8), 0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(TaskTest, TypedReaders) {
    Task* task = Load(R"({"t": {"yes": "YES", "word": "maybe", "flag": true, "n": "12.5", "neg": "-3",
                               "exp": "1e5", "empty": "", "ref": "{this.args.n}", "long": "abcdefgh",
                               "dexp": 2.5e-1, "tiny": -1E-7, "tens": 2.5e+1, "huge": 1e999,
                               "written": "2.5e-06", "unit": "12.5kg", "hexText": "-0x10", "hugeText": "1e999"}})",
                      "t");
    const struct {
        const char* key;
        int64_t boolResult;
        uint32_t boolValue;
        int64_t numberResult;
        double number;
    } cases[] = {
        {"yes", 1, 1, 0, 0},   {"word", 1, 0, 0, 0},    {"flag", 1, 1, 0, 0},   {"n", 1, 0, 1, 12.5},
        {"neg", 1, 0, 1, -3},  {"exp", 1, 0, 1, 1e5},     {"empty", 1, 0, 0, 0},  {"ref", 1, 0, 1, 12.5},
        {"absent", 0, 0, 0, 0},
        // A document's number is one whatever its spelling; one past the double's range is none.
        {"dexp", 1, 0, 1, 0.25}, {"tiny", 1, 0, 1, -1e-7}, {"tens", 1, 0, 1, 25}, {"huge", 1, 0, 0, 0},
        // A text is read as the same reader reads a number item: the spellings the program writes
        // are numbers, a word that merely begins like one is not.
        {"written", 1, 0, 1, 2.5e-6}, {"unit", 1, 0, 0, 0}, {"hexText", 1, 0, 1, -16}, {"hugeText", 1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        uint32_t flag = 7;
        double number = 7;
        EXPECT_EQ(Task_GetBooleanArgument(task, c.key, &flag), c.boolResult) << c.key;
        EXPECT_EQ(flag, c.boolValue) << c.key;
        EXPECT_EQ(Task_GetNumberArgument(task, c.key, &number), c.numberResult) << c.key;
        EXPECT_EQ(number, c.number) << c.key;
    }
    char small[8];
    EXPECT_EQ(Task_GetStringArgument(task, "long", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");
}

TEST_F(TaskTest, NumbersReadTheSameWhereTheDecimalMarkIsAComma) {
    Task* task = Load(R"({"t": {"quarter": 0.25, "dexp": 2.5e-1, "text": "0.25", "ref": "{this.args.text}",
                               "comma": "0,25"}})",
                      "t");
    USE_LOCALE_OR_SKIP(german, "de_DE.UTF-8");
    const struct {
        const char* key;
        int64_t result;
        double number;
    } cases[] = {{"quarter", 1, 0.25}, {"dexp", 1, 0.25}, {"text", 1, 0.25}, {"ref", 1, 0.25}, {"comma", 0, 0}};
    for (const auto& c : cases) {
        double number = 7;
        EXPECT_EQ(Task_GetNumberArgument(task, c.key, &number), c.result) << c.key;
        EXPECT_EQ(number, c.number) << c.key;
    }
}

TEST_F(WorkflowTest, KeyProviderPaths) {
    Define(R"({"p": {"x": "px"}, "t1": {"url": "http://u/", "n": 3}})");
    Task* parent = nullptr;
    Task* task = nullptr;
    ASSERT_EQ(Workflow_CreateTask(workflow, "p", nullptr, nullptr, &parent), 1);
    ASSERT_EQ(Workflow_CreateTask(workflow, "t1", nullptr, parent, &task), 1);
    Workflow_AddMacro(workflow, "wfMacro", "from workflow");
    Workflow_SetStatusString(workflow, "phase", "two");
    Task_Start(parent);
    Task_SetProgress(parent, 50);
    Dictionary_SetStringByKey(Task_GetMacroDictionaryHandle(parent), "contentUrl", "https://content/");
    Dictionary_SetStringByKey(Task_GetMacroDictionaryHandle(task), "mine", "own macro");

    const struct {
        const char *text, *expected;
    } cases[] = {
        {"{this.args.url}", "http://u/"},
        {"{this.args.Url}", "http://u/"},
        {"{THIS.name}", "t1"},
        {"{this.parent.status.progress}", "50"},
        {"{this.parent.args.x}", "px"},
        {"{this.parent.name}", "p"},
        {"{mine}", "own macro"},
        {"{contentUrl}x", "https://content/x"},
        {"{wfMacro}", "from workflow"},
        {"{workflow.status.phase}", "two"},
        {"{nothing}", "{nothing}"},
        {"{this.args.missing}", "{this.args.missing}"},
    };
    for (const auto& c : cases) EXPECT_EQ(Expand(task, c.text), c.expected) << c.text;

    // The provider gives nothing for a key made only of selecting words.
    char value[64] = "x";
    EXPECT_EQ(Task_ExpandKey(task, "this", nullptr, value, sizeof(value)), 0);
    EXPECT_EQ(Task_ExpandKey(task, "this.parent", nullptr, value, sizeof(value)), 0);

    uint32_t kind = 9;
    void* object = nullptr;
    EXPECT_EQ(Task_EvaluatePathToObject(task, "this.parent.args", &kind, &object), 1);
    EXPECT_EQ(kind, (uint32_t)TASK_PATH_DICTIONARY);
    EXPECT_EQ(object, Task_GetDictionaryHandle(parent));
    Task_Complete(parent, nullptr);
}

TEST_F(TaskTest, PathWithoutObjectIsReported) {
    Task* task = Load(R"({"t": {}})", "t");
    EXPECT_EQ(Expand(task, "{workflow.status.x}"), "{workflow.status.x}");
    EXPECT_TRUE(Printed("Path could not be evaluated to an object (workflow.status.x)\n"));
    lines.clear();
    EXPECT_EQ(Expand(task, "{this.parent.name}"), "{this.parent.name}");
    EXPECT_TRUE(Printed("Path could not be evaluated to an object (this.parent.name)\n"));
}

TEST_F(TaskTest, SignatureRule) {
    const struct {
        const char* args;
        uint32_t security;
        int64_t required;
    } cases[] = {
        {R"({"url": "http://h/doc"})", 1, 1},
        {R"({"url": "https://h/doc"})", 1, 0},
        {R"({"url": "https://h/doc", "store": "app"})", 1, 1},
        {R"({"url": "http://h/doc", "authenticate": false})", 1, 0},
        // The definition's own word holds for https too.
        {R"({"url": "https://h/doc", "authenticate": true})", 1, 1},
        {R"({"url": "https://content/doc", "authenticate": true, "macro": "https://content/"})", 1, 0},
        {R"({"authenticate": false})", 1, 0},
        {R"({})", 1, 1},
        {R"({"url": "http://h/doc", "store": "app"})", 0, 0},
        // The content host's own documents need none, but its data store does.
        {R"({"url": "http://content/doc", "macro": "http://content/"})", 1, 0},
        {R"({"url": "http://content/datastore", "macro": "http://content/"})", 1, 1},
        // An empty content URL is the beginning of every URL; it must not waive the signature.
        {R"({"url": "http://h/doc", "macro": ""})", 1, 1},
    };
    // Every host is on the whitelist here.
    WebGet_AuthorizeOverride([](const char*) -> int64_t { return 1; });
    for (const auto& c : cases) {
        const std::string document = std::string("{\"t\": ") + c.args + "}";
        Task* task = Load(document.c_str(), "t");
        const char* macro = nullptr;
        Task_GetArgumentPtr(task, "macro", &macro);
        if (macro) Dictionary_SetStringByKey(Task_GetMacroDictionaryHandle(task), "contentUrl", macro);
        Authenticate_SetEnabled(c.security);
        EXPECT_EQ(Task_DefaultAuthenticateCallback(task, nullptr), c.required) << c.args;
    }
    Authenticate_SetEnabled(1);
    WebGet_AuthorizeOverride(nullptr);
}

TEST_F(TaskTest, DocumentsAsText) {
    // Plain JSON is taken only when no signature is required.
    Task* open = Load(R"({"t": {"url": "https://h/", "doc": "{\"a\": {\"b\": 1}}", "list": [1, 2]}})", "t");
    Dictionary* target = nullptr;
    Dictionary_Create(&target);
    EXPECT_EQ(Task_GetDictionaryArgument(open, "doc", target), 1);
    EXPECT_EQ(DictionaryAsJson(target), "\"a\":{\"b\":1}");
    EXPECT_EQ(Task_GetDictionaryArgument(open, "list", target), 1);
    EXPECT_EQ(DictionaryAsJson(target), "\"a\":{\"b\":1},[1,2]");
    Dictionary_Release(&target);

    Task* strict = Load(R"({"t": {"url": "http://h/"}})", "t");
    Dictionary_Create(&target);
    const char text[] = "{\"a\": 1}";
    EXPECT_EQ(Task_DecodeJSON(strict, text, (int32_t)strlen(text), target), 0);
    EXPECT_EQ(Errors(strict), "Json_Error_DecodeSignature");
    EXPECT_EQ(Task_DecodeJSON(open, "{", 1, target), 0);
    Dictionary_Release(&target);
}

TEST_F(TaskTest, UnknownStoreTrustsNothing) {
    Task* task = Load(R"({"t": {"store": ["app", "nosuch"]}})", "t");
    CertStoreList* list = nullptr;
    EXPECT_EQ(Task_GetCertStoreListHandle(task, &list), 1);
    EXPECT_NE(list, nullptr);
    EXPECT_TRUE(Printed("Unable to find certificate store (nosuch)"));
    EXPECT_FALSE(Printed("Unable to find certificate store (app)"));
    CertStoreList* again = nullptr;
    Task_GetCertStoreListHandle(task, &again);
    EXPECT_EQ(again, list);
}

TEST_F(TaskTest, KeyValuePairs) {
    std::vector<std::string> seen;
    auto record = [](void* user, const char* key, Dictionary* dict, DictionaryItem* item) -> int64_t {
        const char* text = nullptr;
        Dictionary_ItemGetBufferPtr(dict, item, &text, nullptr);
        static_cast<std::vector<std::string>*>(user)->push_back(std::string(key) + "=" + (text ? text : ""));
        return 1;
    };
    Task* pairs = Load(R"({"t": {"keyValuePairs": {"{this.name}k": "{v}", "b": 2}}})", "t");
    EXPECT_EQ(Task_HasKeyValuePairs(pairs), 1);
    EXPECT_EQ(Task_EnumerateKeyValuePairs(pairs, &seen, record), 1);
    Task* single = Load(R"({"s": {"key": "k", "value": "v"}})", "s");
    EXPECT_EQ(Task_EnumerateKeyValuePairs(single, &seen, record), 1);
    Task* none = Load(R"({"n": {"key": "k"}})", "n");
    EXPECT_EQ(Task_HasKeyValuePairs(none), 0);
    EXPECT_EQ(Task_EnumerateKeyValuePairs(none, &seen, record), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"tk={v}", "b=2", "k=v"}));
}

} // namespace
