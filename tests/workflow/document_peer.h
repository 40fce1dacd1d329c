// A folder of JSON documents served over HTTP on 127.0.0.1 by python3's http.server, and the
// engine-type fixture with the request pool running so that tasks can fetch them.
#pragma once
#include <fstream>
#include <memory>
#include <string>

#include "core/web/web_get.h"
#include "core/web/web_get_pool.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"
#include "tests/workflow/engine_types_fixture.h"
#include "workflow/task_request.h"

class DocumentEnvironment : public TaskEnvironment {
  public:
    void SetUp() override {
        TaskEnvironment::SetUp();
        StartNetServices();
    }
    void TearDown() override {
        StopNetServices();
        TaskEnvironment::TearDown();
    }
};

struct DocumentPeer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;
    DocumentPeer() {
        Server = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "{port}", "--bind",
                                                 "127.0.0.1", "--directory", Dir.path()});
    }
    void Put(const std::string& name, const std::string& text) { std::ofstream(Dir.file(name)) << text; }
    std::string Url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(Server->Port()) + "/" + name;
    }
};

class FetchingTest : public EngineTypesTest {
  protected:
    static DocumentPeer* peer;

    static void SetUpTestSuite() {
        if (!peer) peer = new DocumentPeer();
    }
    static void TearDownTestSuite() {
        delete peer;
        peer = nullptr;
    }
    void SetUp() override {
        EngineTypesTest::SetUp();
        ASSERT_TRUE(peer->Server->Running());
        ASSERT_EQ(WebGet_Init(), 1);
        ASSERT_EQ(WebGetPool_Init(), 1);
        WebGet_AuthorizeOverride(AllowEveryHost);
        TaskRequest_SetRetryDelayUnit(0.001);
    }
    void TearDown() override {
        NetPasses(10);
        Workflow_Release(&workflow);
        NetPasses(5);
        WebGetPool_Remove();
        WebGet_AuthorizeOverride(nullptr);
        if (WebGet_IsStarted()) WebGet_Remove();
        EngineTypesTest::TearDown();
        TaskRequest_SetRetryDelayUnit(15);
    }
    // One main-loop pass with the request pool and the events of other threads.
    void NetPass() {
        EventQueue_Flush(nullptr);
        WebGetPool_Process();
        Pass();
        Thread_Wait(1);
    }
    void NetPasses(int count) {
        for (int i = 0; i < count; i++) NetPass();
    }
    // Runs `name` until its event ends (bounded by time).
    std::string NetRun(const char* name) {
        const size_t before = ends.size();
        EXPECT_EQ(Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr), 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ends.size() == before && std::chrono::steady_clock::now() < deadline) NetPass();
        return ends.size() > before ? ends.back() : "no end";
    }
};
inline DocumentPeer* FetchingTest::peer = nullptr;
