// CertStoreLoad through the engine: documents from files and from a python http.server on
// loopback become key-set or thumbprint stores in the workflow's table; bad documents add none.
#include <fstream>
#include <memory>

#include "core/certs/cert_store.h"
#include "core/web/web_get.h"
#include "tasks/cert_store_task.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"
#include "tests/tasks/task_library_fixture.h"
#include "workflow/task_request.h"

namespace {

const bool g_bounded = BoundEveryTest();

// Base64 of 32 bytes: a SHA-256 thumbprint.
const char kThumb[] = "q83vEjRWeJCrze8SNFZ4kKvN7xI0VniQq83vEjRWeJA=";

class CertStoreTaskTest : public TaskLibraryTest {
  protected:
    TempDir dir;
    int defined = 0;
    void SetUp() override {
        TaskLibraryTest::SetUp();
        WebGet_AuthorizeOverride(AllowEveryHost);
        TaskRequest_SetRetryDelayUnit(0.001);
    }
    void TearDown() override {
        TaskLibraryTest::TearDown();
        WebGet_AuthorizeOverride(nullptr);
        TaskRequest_SetRetryDelayUnit(15);
    }
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name)) << text;
        return "file://" + dir.file(name);
    }
    Run Load(const std::string& url, const std::string& name = "store") {
        const std::string task = "t" + std::to_string(++defined);
        Define("{\"" + task + "\": {\"type\": \"CertStoreLoad\", \"authenticate\": false, \"url\": \"" + url +
               "\", \"name\": \"" + name + "\"}}");
        return RunTask(task.c_str(), 20);
    }
    CertStoreInterface* Store(const char* name) {
        CertStoreTable* table = nullptr;
        Workflow_GetCertStoreTableHandle(workflow, &table);
        CertStoreInterface* store = nullptr;
        if (table) CertStoreTable_GetInterfaceHandle(table, name, &store);
        return store;
    }
    bool Has(const char* name) {
        CertStoreInterface* store = Store(name);
        const bool found = store != nullptr;
        if (store) CertStoreInterface_Release(&store);
        return found;
    }
};

TEST_F(CertStoreTaskTest, DocumentsBecomeKeySetOrThumbprintStores) {
    const struct {
        std::string text;
        const char* line;
    } cases[] = {
        {R"({"keys": []})", "Add JWKS certificate store (store)"},
        {R"({"keys": [{"kty": "RSA"}], "a": "ignored"})", "Add JWKS certificate store (store)"},
        {std::string(R"({"a": ")") + kThumb + R"(", "b": "not base64!"})", "Add thumbprint certificate store (store)"},
    };
    int n = 0;
    for (const auto& c : cases) {
        lines.clear();
        const Run run = Load(Write("d" + std::to_string(n++) + ".json", c.text));
        EXPECT_TRUE(run.successful) << c.text << ::testing::PrintToString(run.errors);
        EXPECT_TRUE(Printed(c.line)) << c.text;
        EXPECT_TRUE(Has("store")) << c.text;
    }
}

TEST_F(CertStoreTaskTest, SecondLoadUnderTheSameNameReplacesTheStore) {
    ASSERT_TRUE(Load(Write("a.json", R"({"keys": []})"), "Same").successful);
    CertStoreInterface* first = Store("Same");
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(Load(Write("b.json", std::string(R"({"x": ")") + kThumb + "\"}"), "same").successful);
    CertStoreInterface* second = Store("Same");
    EXPECT_NE(second, first);
    CertStoreInterface_Release(&first);
    if (second) CertStoreInterface_Release(&second);
}

TEST_F(CertStoreTaskTest, FailuresAddNoStore) {
    const struct {
        std::string url;
        const char* key;
    } cases[] = {
        {Write("none.json", R"({"a": "@@@", "b": 5})"), "CertStore_Error_Load"},
        {Write("bad.json", "this is not json {"), "Json_Error"},
        {Write("empty.json", ""), "Json_Error"},
        {"http://127.0.0.1:" + std::to_string(TlsFreePort()) + "/store.json", "WebGet_Error"},
    };
    for (const auto& c : cases) {
        const Run run = Load(c.url);
        EXPECT_TRUE(run.ended && !run.successful) << c.url;
        ASSERT_FALSE(run.errors.empty()) << c.url;
        EXPECT_EQ(run.errors.back().rfind(c.key, 0), 0u) << c.url << " " << run.errors.back();
        EXPECT_FALSE(Has("store")) << c.url;
    }
    lines.clear();
    Define(R"({"noName": {"type": "CertStoreLoad", "url": "file:///x"}})");
    EXPECT_EQ(RunTask("noName").errors, std::vector<std::string>{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("\"name\" argument not defined"));
}

TEST_F(CertStoreTaskTest, LoadsByUrlFromAnHttpPeer) {
    std::ofstream(dir.file("jwks.json")) << R"({"keys": [{"kty": "EC"}]})";
    TlsServer server(dir.path(), {"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1", "{port}"});
    ASSERT_TRUE(server.Running());
    const Run run = Load("http://127.0.0.1:" + std::to_string(server.Port()) + "/jwks.json", "web");
    EXPECT_TRUE(run.successful) << ::testing::PrintToString(run.errors);
    EXPECT_TRUE(Printed("Add JWKS certificate store (web)"));
    EXPECT_TRUE(Has("web"));
}

// Released with its workflow while it waits to retry, the task and its run leave nothing behind
// once the engine is removed (the sanitizer's leak check at exit sees every block).
TEST_F(CertStoreTaskTest, ReleasedWhileWaitingToRetryLeavesNothing) {
    TaskRequest_SetRetryDelayUnit(60);
    Define("{\"waits\": {\"type\": \"CertStoreLoad\", \"authenticate\": false, \"name\": \"s\", \"url\": "
           "\"http://127.0.0.1:" + std::to_string(TlsFreePort()) + "/store.json\"}}");
    Start("waits");
    ASSERT_TRUE(PumpUntil([&] { return Printed("Waiting for retry"); }, 20));
}

} // namespace
