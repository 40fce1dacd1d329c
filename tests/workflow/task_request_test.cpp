// Tests of a task's web request against a real HTTP peer on 127.0.0.1 (a small python3 server),
// through the request pool: arguments onto the request, documents and raw bodies reaching the
// callback, the retry policy, and one request replacing or outliving another.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/linux/platform_error.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"
#include "tests/workflow/workflow_fixture.h"
#include "workflow/task_request.h"

namespace {

class RequestEnvironment : public TaskEnvironment {
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

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new RequestEnvironment);

// The peer's answers. "/echo" returns what the request carried; "/flaky" fails the first request
// of each query with 503; "/slow" answers after two seconds.
const char kPeerScript[] = R"PY(import http.server, json, sys, time
R = {
    '/doc.json': (200, 'application/json', b'{"name":"json"}'),
    '/doc.xml': (200, 'application/xml', b'<root><name>xml</name></root>'),
    '/by-type': (200, 'application/xml', b'<root><name>typed</name></root>'),
    '/raw.json': (200, 'application/octet-stream', b' {"name" : "raw"}\n'),
    '/missing': (404, 'text/plain', b'gone'),
}
seen = set()
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def do_GET(self):
        path, _, query = self.path.partition('?')
        if path == '/echo':
            body = json.dumps({'token': self.headers.get('X-Token', ''), 'cookie': self.headers.get('Cookie', ''),
                               'gzip': 'gzip' in self.headers.get('Accept-Encoding', '')}).encode()
            status, ctype = 200, 'application/json'
        elif path == '/flaky':
            status, ctype, body = (503, 'text/plain', b'later') if query not in seen else (200, 'application/json', b'{"name":"flaky"}')
            seen.add(query)
        elif path == '/slow':
            time.sleep(2)
            status, ctype, body = 200, 'application/json', b'{"name":"slow"}'
        else:
            status, ctype, body = R.get(path, (404, 'text/plain', b'no'))
        self.send_response(status)
        self.send_header('Content-Type', ctype)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args): pass
http.server.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[1])), H).serve_forever()
)PY";

struct Peer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;
    Peer() {
        std::ofstream(Dir.file("peer.py")) << kPeerScript;
        Server = std::make_unique<TlsServer>(Dir.path(), std::vector<std::string>{"python3", Dir.file("peer.py"), "{port}"});
    }
};
Peer* g_peer = nullptr;

// A loopback port that nobody listens on (bound, then closed).
uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// What one callback saw.
struct Outcome {
    int Calls = 0;
    int32_t Code = -1, CodeEx = -1;
    std::string Text; // the document as JSON, or the raw body
    uint32_t ErrorsAtCallback = 0;
};

int64_t OnDocument(Task* task, void* user, Dictionary* document, int32_t code, int32_t codeEx) {
    Outcome* out = static_cast<Outcome*>(user);
    out->Calls++;
    out->Code = code;
    out->CodeEx = codeEx;
    out->Text = document ? DictionaryAsJson(document) : "";
    Task_GetErrorCount(task, &out->ErrorsAtCallback);
    return 1;
}

int64_t OnRaw(Task*, void* user, const uint8_t* body, uint32_t length, int32_t code, int32_t codeEx) {
    Outcome* out = static_cast<Outcome*>(user);
    out->Calls++;
    out->Code = code;
    out->CodeEx = codeEx;
    out->Text = body ? std::string(reinterpret_cast<const char*>(body), length) : "";
    return 1;
}

class TaskRequestTest : public WorkflowTest {
  protected:
    static void SetUpTestSuite() {
        if (!g_peer) g_peer = new Peer();
    }
    static void TearDownTestSuite() {
        delete g_peer;
        g_peer = nullptr;
    }
    void SetUp() override {
        WorkflowTest::SetUp();
        ASSERT_TRUE(g_peer->Server->Running());
        ASSERT_EQ(WebGet_Init(), 1);
        ASSERT_EQ(WebGetPool_Init(), 1);
        WebGet_AuthorizeOverride(AllowEveryHost);
        TaskRequest_SetRetryDelayUnit(0.001);
    }
    void TearDown() override {
        // A held task ends here: its request first (the test's outcomes are gone), then the task.
        if (Task* task = Find("fetch")) {
            Task_RequestDelete(task);
            if (!Task_IsCompleted(task)) Task_Complete(task, nullptr);
        }
        NetPasses(10);
        // The tasks and their requests go first; the pool needs the notification centre.
        Workflow_Release(&workflow);
        NetPasses(5);
        WebGetPool_Remove();
        WebGet_AuthorizeOverride(nullptr);
        if (WebGet_IsStarted()) WebGet_Remove();
        WorkflowTest::TearDown();
        TaskRequest_SetRetryDelayUnit(15);
    }
    static std::string Url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(g_peer->Server->Port()) + path;
    }
    // One main-loop pass: events, the request pool, the notification centre.
    void NetPass() {
        EventQueue_Flush(nullptr);
        WebGetPool_Process();
        Pass();
        Thread_Wait(1);
    }
    void NetPasses(int count) {
        for (int i = 0; i < count; i++) NetPass();
    }
    // Passes until the condition holds or the seconds are over: what a peer on another thread
    // does takes the time a busy machine gives it, not a count of passes.
    template <typename F> bool NetPassUntil(F condition, int seconds = 10) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!condition() && std::chrono::steady_clock::now() < deadline) NetPass();
        return condition();
    }
    // Passes until the callback was raised (bounded).
    void Await(const Outcome& out, int seconds = 10) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (out.Calls == 0 && std::chrono::steady_clock::now() < deadline) NetPass();
        ASSERT_GT(out.Calls, 0) << "the callback was never raised";
    }
    // A held task of the test's type, running in the workflow, with extra definition keys.
    Task* Running(const std::string& extra = "") {
        Define(("{\"fetch\": {\"hold\": true, \"authenticate\": false, \"allowProxy\": false" + extra + "}}").c_str());
        EXPECT_EQ(Workflow_RunTask(workflow, "fetch", nullptr, nullptr, nullptr), 1);
        Task* task = nullptr;
        NetPassUntil([&] { return (task = Find("fetch")) != nullptr; });
        NetPasses(2);
        EXPECT_NE(task, nullptr);
        return task;
    }
    int PrintedCount(const std::string& text) const {
        int n = 0;
        for (const std::string& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }
};

TEST_F(TaskRequestTest, DocumentsAndRawBodiesReachTheCallback) {
    const struct {
        const char* path;
        int64_t (*request)(Task*, const char*, void*, TaskRequestDocumentCallback);
        const char* expected;
    } cases[] = {
        {"/doc.json", Task_RequestJSON, "\"name\":\"json\""},
        {"/doc.xml", Task_RequestXML, "xml"},
        {"/by-type", Task_RequestAuto, "typed"},
        {"/doc.json", Task_RequestAuto, "\"name\":\"json\""},
    };
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    for (const auto& c : cases) {
        Outcome out;
        ASSERT_EQ(c.request(task, Url(c.path).c_str(), &out, OnDocument), 1);
        Await(out);
        EXPECT_EQ(out.Calls, 1) << c.path;
        EXPECT_EQ(out.Code, 0) << c.path;
        EXPECT_EQ(out.CodeEx, 0) << c.path;
        EXPECT_NE(out.Text.find(c.expected), std::string::npos) << c.path << ": " << out.Text;
    }
    Outcome raw;
    ASSERT_EQ(Task_RequestURL(task, Url("/raw.json").c_str(), &raw, OnRaw), 1);
    Await(raw);
    EXPECT_EQ(raw.Code, 0);
    EXPECT_EQ(raw.Text, " {\"name\" : \"raw\"}\n");
    // Through the operation table as well.
    Outcome table;
    ASSERT_EQ(GlobalTaskVtbl.RequestURL(task, Url("/doc.json").c_str(), &table, OnRaw), 1);
    Await(table);
    EXPECT_EQ(table.Text, "{\"name\":\"json\"}");
    EXPECT_EQ(Errors(task), "");
}

TEST_F(TaskRequestTest, ArgumentsShapeTheRequest) {
    Workflow_AddMacro(workflow, "token", "abc");
    Task* task = Running(", \"headers\": {\"X-Token\": \"Bearer {token}\"}, \"cookies\": {\"session\": \"s-{token}\"},"
                         " \"allowGzip\": false, \"timeout\": 5");
    ASSERT_NE(task, nullptr);
    Outcome out;
    ASSERT_EQ(Task_RequestJSON(task, Url("/echo").c_str(), &out, OnDocument), 1);
    Await(out);
    EXPECT_EQ(out.Code, 0);
    EXPECT_NE(out.Text.find("\"token\":\"Bearer abc\""), std::string::npos) << out.Text;
    EXPECT_NE(out.Text.find("\"cookie\":\"session=s-abc"), std::string::npos) << out.Text;
    EXPECT_NE(out.Text.find("\"gzip\":false"), std::string::npos) << out.Text;

    // The same mapping onto a request of the caller's own.
    WebGetRequest* request = nullptr;
    ASSERT_EQ(WebGetRequest_Create(&request), 1);
    ASSERT_EQ(Task_RequestConfig(task, request), 1);
    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetHeader(request, &block, &capacity);
    char value[64] = "";
    EXPECT_EQ(WebGet_HeaderGetByName(block, "X-Token", value, sizeof(value)), 1);
    EXPECT_STREQ(value, "Bearer abc");
    uint32_t flag = 1;
    WebGetRequest_GetAllowProxy(request, &flag);
    EXPECT_EQ(flag, 0u);
    uint32_t seconds = 0;
    WebGetRequest_GetTimeout(request, &seconds);
    EXPECT_EQ(seconds, 5u);
    WebGetRequest_Release(&request);
}

TEST_F(TaskRequestTest, FailuresAreRetriedThenReportedWithTheLastError) {
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    const struct {
        std::string url;
        int32_t code;
        const char* error;
    } cases[] = {
        {Url("/missing"), 404, "WebGet_Error_404"},
        {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/doc.json", 950, "WebGet_Error_Connect"},
    };
    for (const auto& c : cases) {
        lines.clear();
        Outcome out;
        ASSERT_EQ(Task_RequestJSON(task, c.url.c_str(), &out, OnDocument), 1);
        Await(out);
        NetPasses(3);
        EXPECT_EQ(out.Calls, 1) << c.url;
        EXPECT_EQ(out.Code, c.code) << c.url;
        for (const char* attempt : {"(1/3)", "(2/3)", "(3/3)"})
            EXPECT_EQ(PrintedCount(std::string("Waiting for retry 0.00s ") + attempt), 1) << c.url << attempt;
        EXPECT_EQ(PrintedCount("Waiting for retry"), 3) << c.url;
        // Only the last attempt's error remains.
        uint32_t count = 0;
        Task_GetErrorCount(task, &count);
        EXPECT_EQ(count, 1u) << c.url;
        EXPECT_EQ(Errors(task), c.error);
    }
}

TEST_F(TaskRequestTest, RetryDelayGrowsFromFifteenSeconds) {
    TaskRequest_SetRetryDelayUnit(15);
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    TaskRequest* record = nullptr;
    ASSERT_EQ(Task_RequestCreate(task, Url("/missing").c_str(), &record), 1);
    const struct {
        int32_t count;
        int64_t answer;
        double delay;
    } cases[] = {{-1, 4, 0}, {0, 4, 15}, {1, 4, 30}, {2, 4, 60}, {3, 5, -1}, {7, 5, -1}};
    for (const auto& c : cases) {
        double resume = -1;
        const double now = Time_GetCurrent();
        EXPECT_EQ(Task_RequestError(nullptr, record, c.count, 1, 404, 0, &resume), c.answer) << c.count;
        if (c.delay >= 0) {
            EXPECT_NEAR(resume - now, c.delay, 0.5) << c.count;
        } else {
            EXPECT_EQ(resume, -1) << c.count;
        }
    }
    EXPECT_EQ(PrintedCount("Waiting for retry 15.00s (1/3)"), 1);
    EXPECT_EQ(PrintedCount("Waiting for retry 60.00s (3/3)"), 1);
    EXPECT_EQ(Task_RequestDelete(task), 1);
    EXPECT_EQ(Task_RequestDelete(task), 0);
}

TEST_F(TaskRequestTest, FailureThenSuccessLeavesNoError) {
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    Outcome out;
    ASSERT_EQ(Task_RequestJSON(task, Url("/flaky?once").c_str(), &out, OnDocument), 1);
    Await(out);
    EXPECT_EQ(out.Code, 0);
    EXPECT_NE(out.Text.find("flaky"), std::string::npos) << out.Text;
    EXPECT_EQ(PrintedCount("Waiting for retry"), 1);
    EXPECT_EQ(out.ErrorsAtCallback, 0u);
    EXPECT_EQ(Errors(task), "");
}

TEST_F(TaskRequestTest, NewRequestDropsTheLoadingOneWithoutCallback) {
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    Outcome first, second;
    ASSERT_EQ(Task_RequestJSON(task, Url("/slow").c_str(), &first, OnDocument), 1);
    NetPasses(5);
    ASSERT_EQ(Task_RequestJSON(task, Url("/doc.json").c_str(), &second, OnDocument), 1);
    Await(second);
    NetPasses(5);
    EXPECT_EQ(first.Calls, 0);
    EXPECT_EQ(second.Calls, 1);
    EXPECT_EQ(second.Code, 0);
}

// The callback may start the task's next request.
int64_t OnDocumentThenAgain(Task* task, void* user, Dictionary* document, int32_t code, int32_t codeEx) {
    Outcome* outcomes = static_cast<Outcome*>(user);
    OnDocument(task, &outcomes[0], document, code, codeEx);
    if (outcomes[0].Calls == 1) {
        char url[256];
        Task_GetStringArgument(task, "next", url, sizeof(url));
        Task_RequestJSON(task, url, &outcomes[1], OnDocument);
    }
    return 1;
}

TEST_F(TaskRequestTest, CallbackMayStartTheNextRequest) {
    Task* task = Running(", \"next\": \"" + Url("/doc.xml") + "\"");
    ASSERT_NE(task, nullptr);
    Outcome outcomes[2];
    ASSERT_EQ(Task_RequestJSON(task, Url("/doc.json").c_str(), outcomes, OnDocumentThenAgain), 1);
    Await(outcomes[1]);
    EXPECT_EQ(outcomes[0].Calls, 1);
    EXPECT_EQ(outcomes[1].Code, 987); // the XML body read as JSON
}

TEST_F(TaskRequestTest, CompletedTaskLosingItsRequestSeesUserAbort) {
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    Task_AddRef(task);
    Task_Complete(task, nullptr);
    NetPassUntil([&] { return Task_IsCompleted(task) == 1; });
    ASSERT_EQ(Task_IsCompleted(task), 1);
    Outcome replaced, deleted;
    ASSERT_EQ(Task_RequestJSON(task, Url("/slow").c_str(), &replaced, OnDocument), 1);
    NetPasses(3);
    ASSERT_EQ(Task_RequestJSON(task, Url("/slow").c_str(), &deleted, OnDocument), 1);
    EXPECT_EQ(replaced.Calls, 1);
    EXPECT_EQ(replaced.Code, 956);
    NetPasses(3);
    EXPECT_EQ(Task_RequestDelete(task), 1);
    EXPECT_EQ(deleted.Calls, 1);
    EXPECT_EQ(deleted.Code, 956);
    EXPECT_EQ(deleted.CodeEx, 0);
    Task_Release(&task);
}

// On "UserAbort" the callback asks again; the request being made when it was raised still wins.
int64_t OnAbortAskAgain(Task* task, void* user, Dictionary* document, int32_t code, int32_t codeEx) {
    Outcome* outcomes = static_cast<Outcome*>(user);
    OnDocument(task, &outcomes[0], document, code, codeEx);
    char url[256];
    Task_GetStringArgument(task, "next", url, sizeof(url));
    EXPECT_EQ(Task_RequestJSON(task, url, &outcomes[1], OnDocument), 1);
    return 1;
}

TEST_F(TaskRequestTest, RequestMadeFromAnAbortCallbackGivesWay) {
    Task* task = Running(", \"next\": \"" + Url("/doc.xml") + "\"");
    ASSERT_NE(task, nullptr);
    Task_AddRef(task);
    Task_Complete(task, nullptr);
    NetPassUntil([&] { return Task_IsCompleted(task) == 1; });
    ASSERT_EQ(Task_IsCompleted(task), 1);
    Outcome outcomes[3];
    ASSERT_EQ(Task_RequestJSON(task, Url("/slow").c_str(), outcomes, OnAbortAskAgain), 1);
    ASSERT_EQ(Task_RequestJSON(task, Url("/doc.json").c_str(), &outcomes[2], OnDocument), 1);
    Await(outcomes[2]);
    NetPasses(5);
    EXPECT_EQ(outcomes[0].Calls, 1);
    EXPECT_EQ(outcomes[0].Code, 956);
    EXPECT_EQ(outcomes[1].Calls, 0);
    EXPECT_EQ(outcomes[2].Code, 0);
    EXPECT_NE(outcomes[2].Text.find("\"name\":\"json\""), std::string::npos) << outcomes[2].Text;
    Task_Release(&task);
}

TEST_F(TaskRequestTest, UrlTooLongIsRefused) {
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    Outcome out;
    const std::string url = Url("/") + std::string(TASKREQUEST_URL_SIZE, 'a');
    EXPECT_EQ(Task_RequestJSON(task, url.c_str(), &out, OnDocument), 0);
    EXPECT_EQ(Task_RequestDelete(task), 0);
    NetPasses(5);
    EXPECT_EQ(out.Calls, 0);
}

// Raised while its task is being deleted: the task takes no new request.
int64_t OnAbortOfDeletedTask(Task* task, void* user, Dictionary* document, int32_t code, int32_t codeEx) {
    OnDocument(task, user, document, code, codeEx);
    Outcome never;
    EXPECT_EQ(Task_RequestJSON(task, "http://127.0.0.1:1/", &never, OnDocument), 0);
    return 1;
}

TEST_F(TaskRequestTest, DeletedCompletedTaskReportsUserAbort) {
    Task* task = Running();
    ASSERT_NE(task, nullptr);
    Task_AddRef(task);
    Task_Complete(task, nullptr);
    NetPasses(20);
    ASSERT_EQ(Task_IsCompleted(task), 1);
    ASSERT_EQ(Find("fetch"), nullptr) << "the workflow still holds the task";
    Outcome out;
    ASSERT_EQ(Task_RequestJSON(task, Url("/slow").c_str(), &out, OnAbortOfDeletedTask), 1);
    NetPasses(3);
    Task_Release(&task);
    EXPECT_EQ(out.Calls, 1);
    EXPECT_EQ(out.Code, 956);
    EXPECT_EQ(out.CodeEx, 0);
}

// A task released while its request loads takes the request with it, without a callback.
TEST_F(TaskRequestTest, ReleasedTaskEndsItsRequest) {
    Task* task = Load(R"({"t": {"authenticate": false, "allowProxy": false}})", "t");
    tasks.clear();
    Outcome out;
    ASSERT_EQ(Task_RequestJSON(task, Url("/slow").c_str(), &out, OnDocument), 1);
    NetPasses(5);
    Task_Release(&task);
    NetPasses(5);
    EXPECT_EQ(out.Calls, 0);
}

} // namespace

namespace {

// A failed load told to a user: the place (a file URL's path) joined with the parser's line and
// column, the system's words, or the HTTP status; and which failures are not worth a retry.
TEST_F(TaskRequestTest, FailuresNameTheirPlaceAndLocalOnesAreNotRetried) {
    const struct {
        const char* url;
        uint32_t code;
        uint32_t codeEx;
        const char* parse;
        const char* text;
        int64_t lasting;
    } cases[] = {
        {"file:///tmp/wf.yaml", 993, 1, "Unexpected node [@ 7:10]", "/tmp/wf.yaml:7:10: Unexpected node", 1},
        {"file:///tmp/a.json", 987, 1, "Comma expected [x @ 2:3]", "/tmp/a.json:2:3: Comma expected (x)", 1},
        {"file:///tmp/none.yaml", 964, PLATFORM_ERROR_ERRNO_BASE + ENOENT, "", "/tmp/none.yaml: No such file or directory",
         1},
        {"http://127.0.0.1:9/wf.yaml", 404, 0, "", "http://127.0.0.1:9/wf.yaml: HTTP status 404", 0},
        {"http://127.0.0.1:9/wf.yaml", 993, 1, "Scalar too long [@ 1:2]", "http://127.0.0.1:9/wf.yaml:1:2: Scalar too long", 1},
    };
    for (const auto& c : cases) {
        char text[512] = "";
        ASSERT_EQ(TaskRequest_DescribeFailure(c.url, c.code, c.codeEx, c.parse, text, sizeof(text)), 1);
        EXPECT_EQ(std::string(text).rfind(c.text, 0), 0u) << text;
        EXPECT_EQ(TaskRequest_IsLastingFailure(c.url, c.code), c.lasting) << c.url << " " << c.code;
    }
}

} // namespace
