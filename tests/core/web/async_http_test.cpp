// Tests of the document loader against a real HTTP peer on 127.0.0.1 (a small python3 server with
// fixed answers): formats by parser kind and Content-Type, digests, signed documents, the error
// policy, keep-original and size limits, write-back to files, reset, and the request handler.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

#include "core/certs/cert_store.h"
#include "core/formats/json.h"
#include "core/linux/platform_error.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/async_http.h"
#include "core/web/async_http_internal.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"
#include "tests/support/abort_hook.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

class LoaderEnvironment : public WebGetNetEnvironment {
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LoaderEnvironment);

// RFC 7515 appendix A.1: an HS256 token and its key (standard Base64).
const char kRfcToken[] = "eyJ0eXAiOiJKV1QiLA0KICJhbGciOiJIUzI1NiJ9."
                         "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ."
                         "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
const char kRfcKey[] = "AyM1SysPpbyDfgZld3umj1qzKObwVMkoqQ+EstJQLr/T+1qS0gZH75aKtMN3Yj0iPS4hcgUuTwjAzZr1Z9CAow==";

// SHA-256 of the body of /doc.json, from sha256sum.
const char kDocDigest[] = "B1DA4DB1F13FE96FF12DB5211535B58417126D561B9B7D4E08D3D82441257D73";

// The peer's fixed answers: path -> status, Content-Type, body.
const char kPeerScript[] = R"PY(import http.server, sys
TOKEN = sys.argv[2].encode()
R = {
    '/doc.json': (200, 'application/json', b'{"name":"json","n":[1,2]}'),
    '/catalog.JSON': (200, 'text/plain', b'{"name":"catalog"}'),
    '/doc-yaml': (200, 'text/vnd.yaml', b'name: yaml\n'),
    '/doc-xml': (200, 'application/xml', b'<root><name>xml</name></root>'),
    '/doc-charset': (200, 'application/json; charset=utf-8', b'{"name":"charset"}'),
    '/doc-text': (200, 'text/plain', b'{"name":"text"}'),
    '/bad.json': (200, 'application/json', b'{"name":'),
    '/bad.xml': (200, 'application/xml', b'<root><name>'),
    '/bad.yaml': (200, 'text/x-yaml', b'a: 1\n...\n'),
    '/missing': (404, 'text/plain', b'gone'),
    '/empty': (204, None, b''),
    '/token': (200, 'application/jose', TOKEN),
    '/forged': (200, 'application/jose', TOKEN[:-43] + b'e' + TOKEN[-42:]),
    '/big.json': (200, 'application/json', b'{"pad":"' + b'x' * 5000 + b'"}'),
    '/large': (200, 'application/octet-stream', b'y' * 4000000),
}
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def do_GET(self):
        status, ctype, body = R.get(self.path.split('?')[0], (404, 'text/plain', b'no'))
        self.send_response(status)
        if ctype: self.send_header('Content-Type', ctype)
        if status != 204: self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if status != 204: self.wfile.write(body)
    def log_message(self, *args): pass
http.server.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[1])), H).serve_forever()
)PY";

struct Peer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;
    Peer() {
        std::ofstream(Dir.file("peer.py")) << kPeerScript;
        Server = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"python3", Dir.file("peer.py"), "{port}", kRfcToken});
    }
};

Peer* g_peer = nullptr;

// The tests' request handler: every request runs on a connection of its own, driven by Pump.
std::vector<WebGetConnection*> g_connections;

int64_t OwnConnectionAdd(WebGetRequest* request) {
    WebGetConnection* connection = nullptr;
    WebGetConnection_Create(&connection);
    WebGetConnection_SetAllowProxy(connection, 0);
    WebGetRequest_SetRequireAuthorization(request, 0);
    g_connections.push_back(connection);
    return WebGetConnection_RequestAdd(connection, request);
}

int64_t NothingRemove(WebGetRequest*) {
    return 1;
}

struct Result {
    uint32_t Code, CodeEx;
    bool Complete;
};

// A trust store holding one HMAC key.
struct KeyStore {
    CertStoreInterface* Interface = nullptr;
    explicit KeyStore(const char* base64) {
        CertStoreKey* store = nullptr;
        CertStoreKey_Create(&store);
        CertStoreKey_Decode(store, base64);
        Interface = CertStoreKey_GetInterfaceHandle(store);
        CertStoreKey_Release(&store);
    }
    ~KeyStore() { CertStoreInterface_Release(&Interface); }
};

class AsyncHTTPTest : public WebGetTest {
  protected:
    static void SetUpTestSuite() {
        if (!g_peer) g_peer = new Peer();
    }
    static void TearDownTestSuite() {
        delete g_peer;
        g_peer = nullptr;
    }
    void SetUp() override {
        WebGetTest::SetUp();
        ASSERT_TRUE(g_peer->Server->Running());
        ASSERT_EQ(AsyncHTTP_SetWebRequestHandler(OwnConnectionAdd, NothingRemove), 1);
        ASSERT_EQ(AsyncHTTP_Create(&loader), 1);
        AsyncHTTP_SetCertStoreHandle(loader, keys.Interface);
    }
    void TearDown() override {
        if (loader) AsyncHTTP_Release(&loader);
        Drain();
        AsyncHTTP_SetWebRequestHandler(nullptr, nullptr);
        WebGetTest::TearDown();
    }
    static void Drain() {
        for (int i = 0; i < 10; i++) Pass();
        for (WebGetConnection*& c : g_connections) WebGetConnection_Release(&c);
        g_connections.clear();
    }
    static void Pass() {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        for (WebGetConnection* c : g_connections) WebGetConnection_Process(c);
        Thread_Wait(1);
    }
    static std::string Url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(g_peer->Server->Port()) + path;
    }
    // Runs passes until the loader is idle again (bounded).
    Result Wait(AsyncHTTP* l = nullptr) {
        if (!l) l = loader;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do Pass();
        while (AsyncHTTP_IsAlive(l) && std::chrono::steady_clock::now() < deadline);
        Result r{};
        AsyncHTTP_GetLastError(l, &r.Code, &r.CodeEx);
        r.Complete = AsyncHTTP_IsLoadComplete(l) != 0;
        EXPECT_FALSE(AsyncHTTP_IsAlive(l)) << "the loader never finished";
        return r;
    }
    Result Load(const std::string& path, uint32_t signature = 0) {
        EXPECT_EQ(AsyncHTTP_Load(loader, Url(path).c_str(), signature), 1);
        return Wait();
    }
    // The "name" of the loaded document (below the unnamed root of a JSON object).
    std::string Name() {
        Dictionary* dict = nullptr;
        Dictionary* root = nullptr;
        AsyncHTTP_GetDictionaryHandle(loader, &dict);
        Dictionary_SkipRoot(dict, &root);
        const char* name = nullptr;
        return Dictionary_GetStringPtrByKey(root, "name", &name) ? name : "";
    }
    uint32_t Items() {
        Dictionary* dict = nullptr;
        uint32_t count = 0;
        AsyncHTTP_GetDictionaryHandle(loader, &dict);
        Dictionary_ItemGetCount(dict, &count);
        return count;
    }
    KeyStore keys{kRfcKey};
    AsyncHTTP* loader = nullptr;
};

TEST_F(AsyncHTTPTest, FormatsByParserKindAndContentType) {
    struct Case {
        const char* Path;
        uint32_t Kind;
        uint32_t Code;
        const char* Name; // null: only the item count is checked
        uint32_t Items;
    } cases[] = {
        {"/doc.json", ASYNCHTTP_PARSER_JSON, 0, "json", 1},
        {"/catalog.JSON", ASYNCHTTP_PARSER_AUTO, 0, "catalog", 1}, // by extension, text/plain ignored
        {"/doc-yaml", ASYNCHTTP_PARSER_AUTO, 0, "yaml", 1},
        {"/doc-xml", ASYNCHTTP_PARSER_AUTO, 0, nullptr, 1},
        // The media type decides; its parameters do not hide it.
        {"/doc-charset", ASYNCHTTP_PARSER_AUTO, 0, "charset", 1},
        {"/doc-text", ASYNCHTTP_PARSER_AUTO, 0, "", 0},
        {"/doc.json", ASYNCHTTP_PARSER_NONE, 0, "", 0},
        {"/missing", ASYNCHTTP_PARSER_JSON, 404, "", 0},
        {"/empty", ASYNCHTTP_PARSER_JSON, 204, "", 0},
    };
    for (const Case& c : cases) {
        AsyncHTTP_SetParser(loader, c.Kind);
        const Result r = Load(c.Path);
        EXPECT_EQ(r.Code, c.Code) << c.Path;
        EXPECT_EQ(r.CodeEx, 0u) << c.Path;
        EXPECT_TRUE(r.Complete) << c.Path;
        if (c.Name) {
            EXPECT_EQ(Name(), c.Name) << c.Path;
        }
        EXPECT_EQ(Items(), c.Items) << c.Path;
        EXPECT_EQ(AsyncHTTP_IsOk(loader), c.Code == 0) << c.Path;
    }
    // The extension's choice stays for later loads.
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_AUTO);
    Load("/catalog.JSON");
    uint32_t kind = 0;
    AsyncHTTP_GetParser(loader, &kind);
    EXPECT_EQ(kind, (uint32_t)ASYNCHTTP_PARSER_JSON);
}

TEST_F(AsyncHTTPTest, ParseFailuresCarryTheParsersError) {
    struct Case {
        const char* Path;
        uint32_t Kind, Code;
        int32_t CodeEx; // -1: any non-zero
    } cases[] = {
        {"/bad.json", ASYNCHTTP_PARSER_JSON, WEBGET_ERROR_JSON, -1},
        {"/bad.xml", ASYNCHTTP_PARSER_XML, WEBGET_ERROR_XML, -1},
        {"/bad.yaml", ASYNCHTTP_PARSER_AUTO, WEBGET_ERROR_YAML, 1}, // a "..." line ends the document
    };
    for (const Case& c : cases) {
        AsyncHTTP_SetParser(loader, c.Kind);
        const Result r = Load(c.Path);
        EXPECT_EQ(r.Code, c.Code) << c.Path;
        if (c.CodeEx < 0) {
            EXPECT_NE(r.CodeEx, 0u) << c.Path;
        } else {
            EXPECT_EQ(r.CodeEx, (uint32_t)c.CodeEx) << c.Path;
        }
        EXPECT_EQ(Items(), 0u) << c.Path;
    }
}

TEST_F(AsyncHTTPTest, DigestIsCheckedWithoutRegardToCase) {
    EXPECT_EQ(AsyncHTTP_SetDigest(loader, "abcde"), 0); // no hash has a 2-byte digest
    ASSERT_EQ(AsyncHTTP_SetDigest(loader, kDocDigest), 1);
    char name[32] = {};
    EXPECT_EQ(AsyncHTTP_GetHashAlgorithm(loader, name, sizeof(name)), 1);
    EXPECT_STREQ(name, "SHA256");
    Result r = Load("/doc.json");
    EXPECT_EQ(r.Code, 0u);
    EXPECT_EQ(Name(), "json");
    // Another body, the same digest.
    r = Load("/catalog.JSON");
    EXPECT_EQ(r.Code, (uint32_t)WEBGET_ERROR_HASH_FAILURE);
    EXPECT_EQ(r.CodeEx, 0u);
    EXPECT_EQ(Items(), 0u);
    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    AsyncHTTP_Dump(loader, dump);
    const char* digest = nullptr;
    int32_t code = 0;
    EXPECT_TRUE(Dictionary_GetStringPtrByKey(dump, "digest", &digest) && digest == std::string(kDocDigest));
    EXPECT_TRUE(Dictionary_GetInt32ByKey(dump, "errorCode", &code) && code == WEBGET_ERROR_HASH_FAILURE);
    Dictionary_Release(&dump);
    EXPECT_EQ(AsyncHTTP_SetDigest(loader, ""), 1);
    EXPECT_EQ(AsyncHTTP_GetHashAlgorithm(loader, name, sizeof(name)), 0);
}

TEST_F(AsyncHTTPTest, SignedDocuments) {
    struct Case {
        const char* Path;
        uint32_t Signature;
        const char* Digest;
        uint32_t Code, CodeEx;
    } cases[] = {
        {"/token", 1, "", 0, 0},
        {"/token", 0, "", 0, 0},
        // A token whose signature fails is refused even when no signature was asked for.
        {"/forged", 0, "", WEBGET_ERROR_JSON, JSON_ERROR_AUTHENTICATE},
        {"/forged", 1, "", WEBGET_ERROR_JSON, JSON_ERROR_AUTHENTICATE},
        // Plain JSON is no signed document; a digest vouches for it instead.
        {"/doc.json", 1, "", WEBGET_ERROR_JSON, JSON_ERROR_DECODE_SIGNATURE},
        {"/doc.json", 1, kDocDigest, 0, 0},
    };
    for (const Case& c : cases) {
        AsyncHTTP_SetDigest(loader, c.Digest);
        const Result r = Load(c.Path, c.Signature);
        EXPECT_EQ(r.Code, c.Code) << c.Path << " " << c.Signature;
        EXPECT_EQ(r.CodeEx, c.CodeEx) << c.Path << " " << c.Signature;
        Dictionary* dict = nullptr;
        Dictionary* root = nullptr;
        const char* iss = nullptr;
        AsyncHTTP_GetDictionaryHandle(loader, &dict);
        Dictionary_SkipRoot(dict, &root);
        const bool token = std::string(c.Path) == "/token";
        EXPECT_EQ(Dictionary_GetStringPtrByKey(root, "iss", &iss) && std::string(iss) == "joe", token) << c.Path;
    }
}

TEST_F(AsyncHTTPTest, JsonWithoutTrustStoreFailsInsteadOfStopping) {
    AsyncHTTP_SetCertStoreHandle(loader, nullptr);
    const Result r = Load("/doc.json");
    EXPECT_EQ(r.Code, (uint32_t)WEBGET_ERROR_JSON);
    EXPECT_EQ(r.CodeEx, (uint32_t)JSON_ERROR_AUTHENTICATE);
    EXPECT_EQ(Items(), 0u);
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_AUTO);
    EXPECT_EQ(Load("/doc-yaml").Code, 0u); // other formats need no store
}

struct Policy {
    int Calls = 0;
    int32_t SeenCount = -1;
    int32_t SeenOperation = 0;
    uint32_t SeenCode = 0;
    int64_t Answer = 4;
    double Ahead = 15.0;
};

int64_t PolicyCallback(AsyncHTTP*, void* user, int32_t count, int32_t operation, uint32_t code, uint32_t,
                       double* resume) {
    auto* p = static_cast<Policy*>(user);
    p->Calls++;
    p->SeenCount = count;
    p->SeenOperation = operation;
    p->SeenCode = code;
    if (p->Answer != ASYNCHTTP_POLICY_FINAL) *resume = Time_GetCurrent() + p->Ahead;
    return p->Answer;
}

TEST_F(AsyncHTTPTest, ErrorPolicyDecidesRetryOrFinal) {
    // Without a policy every failure is final.
    EXPECT_TRUE(Load("/missing").Complete);

    AsyncHTTP_Reset(loader);
    Policy policy;
    AsyncHTTP_SetErrorCallback(loader, &policy, PolicyCallback);
    const double before = Time_GetCurrent();
    Result r = Load("/missing");
    EXPECT_EQ(r.Code, 404u);
    EXPECT_FALSE(r.Complete);
    int32_t count = 0;
    double resume = 0;
    AsyncHTTP_GetErrorCount(loader, &count);
    AsyncHTTP_GetResumeTime(loader, &resume);
    EXPECT_EQ(count, 1);
    EXPECT_GE(resume, before + 15.0);
    EXPECT_EQ(policy.SeenCount, 0);
    EXPECT_EQ(policy.SeenOperation, ASYNCHTTP_OPERATION_LOAD);

    // A final answer leaves count and resume time.
    policy.Answer = ASYNCHTTP_POLICY_FINAL;
    r = Load("/missing");
    EXPECT_TRUE(r.Complete);
    AsyncHTTP_GetErrorCount(loader, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(policy.SeenCount, 1);

    // Success clears the count and sets the resume time to its own time.
    const double success = Time_GetCurrent();
    r = Load("/doc.json");
    EXPECT_EQ(r.Code, 0u);
    AsyncHTTP_GetErrorCount(loader, &count);
    AsyncHTTP_GetResumeTime(loader, &resume);
    EXPECT_EQ(count, 0);
    EXPECT_GE(resume, success);
    EXPECT_LT(resume, success + 10.0);
    EXPECT_EQ(policy.Calls, 2);
}

// A connection opens its socket, which meters its bytes, after the Start callback; the body of a
// large answer still counts into the loader's meter.
TEST_F(AsyncHTTPTest, BodyBytesCountIntoTheLoadersMeter) {
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_NONE);
    EXPECT_EQ(Load("/large").Code, 0u);
    uint64_t read = 0;
    AsyncHTTP_GetOverallUsage(loader, &read, nullptr);
    EXPECT_GT(read, 1000000u);
}

// Completions go to the owner's queue: the flags change only when the owner flushes it.
TEST_F(AsyncHTTPTest, CompletionWaitsForTheOwnersQueue) {
    EventQueue* queue = nullptr;
    ASSERT_EQ(EventQueue_Create(&queue), 1);
    EventQueue_SetThreadId(queue, Thread_GetCurrentId());
    AsyncHTTP_SetEventQueueHandle(loader, queue);
    ASSERT_EQ(AsyncHTTP_Load(loader, Url("/doc.json").c_str(), 0), 1);
    for (int i = 0; i < 100; i++) Pass();
    EXPECT_TRUE(AsyncHTTP_IsAlive(loader));
    EXPECT_FALSE(AsyncHTTP_IsLoadComplete(loader));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (AsyncHTTP_IsAlive(loader) && std::chrono::steady_clock::now() < deadline) EventQueue_Flush(queue), Pass();
    EXPECT_TRUE(AsyncHTTP_IsLoadComplete(loader));
    EXPECT_EQ(Name(), "json");
    AsyncHTTP_Release(&loader);
    EventQueue_Release(&queue);
}

// The body is in from its arrival (its parse begun, the load not yet complete) until the next
// load or a reset; a load whose answer carries no document never has one.
TEST_F(AsyncHTTPTest, TheBodyIsInFromItsArrivalUntilTheNextLoadOrReset) {
    EventQueue* queue = nullptr;
    ASSERT_EQ(EventQueue_Create(&queue), 1);
    EventQueue_SetThreadId(queue, Thread_GetCurrentId());
    AsyncHTTP_SetEventQueueHandle(loader, queue);
    EXPECT_EQ(AsyncHTTP_IsBodyIn(loader), 0);
    auto until = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) Pass();
        return done();
    };
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(AsyncHTTP_Load(loader, Url("/doc.json").c_str(), 0), 1);
        EXPECT_EQ(AsyncHTTP_IsBodyIn(loader), 0) << round;
        // The completion waits on the owner's queue, unflushed: the body is in, the load not done.
        EXPECT_TRUE(until([&] { return AsyncHTTP_IsBodyIn(loader) == 1; })) << round;
        EXPECT_TRUE(AsyncHTTP_IsAlive(loader));
        EXPECT_TRUE(until([&] { return EventQueue_Flush(queue), !AsyncHTTP_IsAlive(loader); })) << round;
        EXPECT_EQ(std::pair(AsyncHTTP_IsLoadComplete(loader), AsyncHTTP_IsBodyIn(loader)), std::pair(1l, 1l)) << round;
    }
    AsyncHTTP_Reset(loader);
    EXPECT_EQ(AsyncHTTP_IsBodyIn(loader), 0);
    ASSERT_EQ(AsyncHTTP_Load(loader, Url("/missing").c_str(), 0), 1);
    EXPECT_TRUE(until([&] { return EventQueue_Flush(queue), !AsyncHTTP_IsAlive(loader); }));
    EXPECT_EQ(AsyncHTTP_IsBodyIn(loader), 0);
    AsyncHTTP_Release(&loader);
    EventQueue_Release(&queue);
}

// The owner's thread, asleep until something wakes it, is woken once the bytes are in: the build
// waits until the owner has seen them, so the load's completion cannot be what woke it.
TEST_F(AsyncHTTPTest, TheOwnersThreadIsWokenOnceTheBodyIsIn) {
    struct Owner {
        AsyncHTTP* Loader;
        EventQueue* Queue = nullptr;
        std::atomic<uint32_t> Id{0};
        std::atomic<bool> Seen{false};
    } owner{loader};
    Thread* thread = nullptr;
    ASSERT_EQ(Thread_Begin(&thread, &owner,
                           [](void* parameter) -> uint32_t {
                               auto* o = static_cast<Owner*>(parameter);
                               o->Queue = Thread_GetCurrentEventQueueHandle();
                               o->Id = Thread_GetCurrentId();
                               // Every wait would last a minute: only a wake ends it in time.
                               while (!Thread_WaitForExit(0) &&
                                      !(o->Seen = AsyncHTTP_IsBodyIn(o->Loader) == 1)) {
                                   Thread_Tick();
                                   Thread_Wait(60000);
                               }
                               return 0;
                           }),
              1);
    const auto until = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) Pass();
        return done();
    };
    ASSERT_TRUE(until([&] { return owner.Id != 0; }));
    AsyncHTTP_SetEventQueueHandle(loader, owner.Queue);
    AsyncHTTP_SetWorkerBuildCallback(
        loader, &owner, [](AsyncHTTP*, void* user, uint32_t*, uint32_t*) -> int64_t {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!static_cast<Owner*>(user)->Seen && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 1;
        });
    ASSERT_EQ(AsyncHTTP_Load(loader, Url("/doc.json").c_str(), 0), 1);
    EXPECT_TRUE(until([&] { return owner.Seen.load(); }));
    Thread_SignalExit(owner.Id);
    Thread_Join(-1, &thread);
    AsyncHTTP_Release(&loader);
    EventQueue_Release(&owner.Queue);
}

// Handlers that end the request without any answer, or refuse it.
int64_t EndAtOnceAdd(WebGetRequest* request) {
    WebGetRequest_Done(request);
    return 1;
}

int64_t RefuseAdd(WebGetRequest*) {
    return 0;
}

TEST_F(AsyncHTTPTest, RequestsEndingWithoutAnswerOrRefusedEndTheLoad) {
    struct Case {
        AsyncHTTPRequestAddFunc Add;
        uint32_t Code;
    } cases[] = {
        // Status 0 and no error: the load ends as incomplete instead of staying busy for ever.
        {EndAtOnceAdd, WEBGET_ERROR_REQUEST_INCOMPLETE},
        {RefuseAdd, WEBGET_ERROR_VALIDATION},
    };
    for (const Case& c : cases) {
        AsyncHTTP_SetWebRequestHandler(c.Add, NothingRemove);
        const Result r = Load("/doc.json");
        EXPECT_EQ(r.Code, c.Code);
        EXPECT_EQ(r.CodeEx, 0u);
        EXPECT_TRUE(r.Complete);
    }
    EXPECT_EQ(AsyncHTTP_SetWebRequestHandler(RefuseAdd, nullptr), 0);
    EXPECT_EQ(AsyncHTTP_SetWebRequestHandler(nullptr, NothingRemove), 0);
}

TEST_F(AsyncHTTPTest, BusyLoaderRefusesAndResetCancels) {
    ASSERT_EQ(AsyncHTTP_Load(loader, Url("/doc.json").c_str(), 0), 1);
    EXPECT_EQ(AsyncHTTP_Load(loader, Url("/doc-yaml").c_str(), 0), 0);
    EXPECT_EQ(AsyncHTTP_Save(loader, ""), 0);
    EXPECT_TRUE(AsyncHTTP_IsAlive(loader));
    // Cancelled before the request went out, and once while it runs.
    EXPECT_EQ(AsyncHTTP_Reset(loader), 1);
    EXPECT_FALSE(AsyncHTTP_IsAlive(loader));
    for (int i = 0; i < 20; i++) Pass();
    uint32_t code = 0, codeEx = 1;
    AsyncHTTP_GetLastError(loader, &code, &codeEx);
    EXPECT_EQ(code, (uint32_t)WEBGET_ERROR_REQUEST_INCOMPLETE);
    EXPECT_EQ(Items(), 0u);
    ASSERT_EQ(AsyncHTTP_Load(loader, Url("/doc.json").c_str(), 0), 1);
    Pass();
    AsyncHTTP_Reset(loader);
    for (int i = 0; i < 50; i++) Pass();
    AsyncHTTP_GetLastError(loader, &code, &codeEx);
    EXPECT_EQ(code, (uint32_t)WEBGET_ERROR_REQUEST_INCOMPLETE);
    EXPECT_FALSE(AsyncHTTP_IsLoadComplete(loader));
    EXPECT_EQ(Load("/doc.json").Code, 0u);
    EXPECT_EQ(Name(), "json");
}

TEST_F(AsyncHTTPTest, KeepOriginalAndLimitSize) {
    AsyncHTTP_SetKeepOriginal(loader, 1);
    EXPECT_EQ(Load("/doc.json").Code, 0u);
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(AsyncHTTP_GetOriginal(loader, &bytes, &length), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), length), "{\"name\":\"json\",\"n\":[1,2]}");
    AsyncHTTP_SetLimitSize(loader, 1000);
    EXPECT_EQ(Load("/big.json").Code, (uint32_t)WEBGET_ERROR_SIZE_LIMIT);
    AsyncHTTP_SetLimitSize(loader, 0);
    EXPECT_EQ(Load("/big.json").Code, 0u);
    // A load that keeps nothing leaves no earlier body behind to be saved in its document's place.
    AsyncHTTP_SetKeepOriginal(loader, 0);
    EXPECT_EQ(Load("/doc.json").Code, 0u);
    EXPECT_EQ(AsyncHTTP_GetOriginal(loader, &bytes, &length), 0);
    AsyncHTTP_SetKeepOriginal(loader, 1);
    EXPECT_EQ(Load("/doc.json").Code, 0u);
    AsyncHTTP_Reset(loader);
    EXPECT_EQ(AsyncHTTP_GetOriginal(loader, &bytes, &length), 0);
}

class AsyncHTTPSaveTest : public AsyncHTTPTest {
  protected:
    Result Save(const std::string& path) {
        EXPECT_EQ(AsyncHTTP_Save(loader, path.c_str()), 1);
        Result r = Wait();
        r.Complete = AsyncHTTP_IsSaveComplete(loader) != 0;
        return r;
    }
    static mode_t Mode(const std::string& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
    }
    TempDir dir;
};

TEST_F(AsyncHTTPSaveTest, WritesTheDocumentWholeAndPrivate) {
    ASSERT_EQ(Load("/doc.json").Code, 0u);
    AsyncHTTP_SetHashAlgorithm(loader, "SHA256");
    const std::string path = dir.file("out/doc.json");
    Result r = Save(path);
    EXPECT_EQ(r.Code, 0u);
    EXPECT_TRUE(r.Complete);
    const std::string written = ReadFile(path);
    EXPECT_EQ(Mode(path), 0600u);
    // What python reads back is the document that was loaded.
    const auto echoed = RunOracle("python3 -c \"import json,sys; print(json.dumps(json.load(open(sys.argv[1])), "
                                  "sort_keys=True, separators=(',',':')))\" '" + path + "'", "", 30);
    ASSERT_TRUE(echoed.has_value());
    EXPECT_EQ(*echoed, "{\"n\":[1,2],\"name\":\"json\"}\n");
    // The digest is the written bytes'.
    const auto sum = RunOracle("sha256sum '" + path + "' | cut -c1-64", "", 30);
    char digest[ASYNCHTTP_DIGEST_SIZE] = {};
    AsyncHTTP_GetDigest(loader, digest, sizeof(digest));
    ASSERT_TRUE(sum.has_value());
    EXPECT_EQ(std::string(digest) + "\n", *sum);
    // Nothing is left beside the file.
    EXPECT_EQ(*RunOracle("ls -A '" + dir.file("out") + "'", "", 30), "doc.json\n");

    // An existing longer file is replaced whole, by the kept body this time.
    std::ofstream(dir.file("kept.json")) << std::string(200, 'z');
    AsyncHTTP_SetKeepOriginal(loader, 1);
    AsyncHTTP_SetDigest(loader, "");
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_AUTO);
    ASSERT_EQ(Load("/doc-yaml").Code, 0u);
    r = Save(dir.file("kept.json"));
    EXPECT_EQ(r.Code, 0u);
    EXPECT_EQ(ReadFile(dir.file("kept.json")), "name: yaml\n");
}

TEST_F(AsyncHTTPSaveTest, FailuresLeaveTheOldFile) {
    Policy policy;
    policy.Answer = ASYNCHTTP_POLICY_FINAL;
    AsyncHTTP_SetErrorCallback(loader, &policy, PolicyCallback);
    // An empty path completes at once as a success.
    Result r = Save("");
    EXPECT_EQ(r.Code, 0u);
    EXPECT_TRUE(r.Complete);
    EXPECT_EQ(policy.Calls, 0);
    // An empty document has nothing to write.
    r = Save(dir.file("empty.json"));
    EXPECT_EQ(r.Code, (uint32_t)WEBGET_ERROR_UNDERFLOW);
    EXPECT_EQ(policy.SeenOperation, ASYNCHTTP_OPERATION_SAVE);
    ASSERT_EQ(Load("/big.json").Code, 0u);
    AsyncHTTP_SetLimitSize(loader, 100);
    const std::string old = dir.file("old.json");
    std::ofstream(old) << "old";
    r = Save(old);
    EXPECT_EQ(r.Code, (uint32_t)WEBGET_ERROR_SIZE_LIMIT);
    AsyncHTTP_SetLimitSize(loader, 0);
    // A directory cannot be replaced by a document.
    mkdir(dir.file("folder").c_str(), 0700);
    r = Save(dir.file("folder"));
    EXPECT_EQ(r.Code, (uint32_t)WEBGET_ERROR_OS);
    EXPECT_EQ(r.CodeEx, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + EISDIR));
    EXPECT_EQ(ReadFile(old), "old");
    EXPECT_EQ(*RunOracle("ls -A '" + dir.path() + "'", "", 30), "folder\nold.json\n");
}

// Through the request pool, as the program runs it.
int64_t OpenToLoopback(AsyncHTTP*, void*, WebGetRequest* request) {
    WebGetRequest_SetRequireAuthorization(request, 0);
    WebGetRequest_SetAllowProxy(request, 0);
    return 1;
}

TEST_F(AsyncHTTPTest, DefaultHandlerIsTheRequestPool) {
    ASSERT_EQ(AsyncHTTP_SetWebRequestHandler(nullptr, nullptr), 1);
    ASSERT_EQ(WebGetPool_Init(), 1);
    AsyncHTTP_SetRequestBuildCallback(loader, nullptr, OpenToLoopback);
    // Twice, so that the second load runs on a fresh request over the pool's kept connection.
    for (const char* path : {"/doc.json", "/doc-yaml"}) {
        AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_AUTO);
        ASSERT_EQ(AsyncHTTP_Load(loader, Url(path).c_str(), 0), 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (AsyncHTTP_IsAlive(loader) && std::chrono::steady_clock::now() < deadline) {
            EventQueue_Flush(nullptr);
            WebGetPool_Process();
            Thread_Wait(1);
        }
        uint32_t code = 1, codeEx = 1;
        AsyncHTTP_GetLastError(loader, &code, &codeEx);
        EXPECT_EQ(code, 0u) << path << " " << codeEx;
        EXPECT_EQ(Name(), std::string(path) == "/doc.json" ? "json" : "yaml");
    }
    uint64_t read = 0;
    AsyncHTTP_GetOverallUsage(loader, &read, nullptr);
    EXPECT_GT(read, 0u);
    AsyncHTTP_Release(&loader);
    for (int i = 0; i < 20; i++) EventQueue_Flush(nullptr), WebGetPool_Process();
    WebGetPool_Remove();
}

// Each format is written by its own writer and read back by python's; choosing the format after
// the load keeps the document.
TEST_F(AsyncHTTPSaveTest, EachFormatWritesWhatItRead) {
    struct Case {
        const char* Path;
        uint32_t Kind;
        const char* Oracle; // prints what python reads from the file named by argv[1]
        const char* Expected;
    } cases[] = {
        {"/doc-yaml", ASYNCHTTP_PARSER_YAML, "import yaml,sys; print(yaml.safe_load(open(sys.argv[1])))",
         "{'name': 'yaml'}\n"},
        {"/doc-xml", ASYNCHTTP_PARSER_XML,
         "import xml.etree.ElementTree as E,sys; r=E.parse(sys.argv[1]).getroot(); print(r.tag, r.find('name').text)",
         "root xml\n"},
    };
    for (const Case& c : cases) {
        AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_AUTO);
        ASSERT_EQ(Load(c.Path).Code, 0u) << c.Path;
        AsyncHTTP_SetParser(loader, c.Kind);
        const std::string file = dir.file(std::string("saved-") + (c.Path + 1));
        const Result r = Save(file);
        EXPECT_EQ(r.Code, 0u) << c.Path;
        const auto read = RunOracle(std::string("python3 -c \"") + c.Oracle + "\" '" + file + "'", "", 30);
        ASSERT_TRUE(read.has_value()) << c.Path << ": " << ReadFile(file);
        EXPECT_EQ(*read, c.Expected) << c.Path;
    }
}

// A save given a scratch name (one its caller recorded before) writes under that name beside the
// target and renames it into place; a name already taken is never written to or replaced, and a
// name that is no name beside the target makes nothing.
TEST_F(AsyncHTTPSaveTest, AGivenScratchNameIsTheOneMadeAndNeverOneTaken) {
    ASSERT_EQ(Load("/doc.json").Code, 0u);
    const std::string path = dir.file("doc.json");
    const struct {
        const char* scratch;
        bool taken;
        uint32_t code;
    } rows[] = {{".doc.json.given", false, 0}, {".doc.json.taken", true, WEBGET_ERROR_OS}, {"sub/x", false, WEBGET_ERROR_OS}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scratch);
        std::ofstream(path) << "before";
        if (row.taken) std::ofstream(dir.file(row.scratch)) << "user's";
        ASSERT_EQ(AsyncHTTP_Save(loader, path.c_str(), row.scratch), 1);
        EXPECT_EQ(Wait().Code, row.code);
        EXPECT_EQ(ReadFile(path), row.code ? "before" : "{\"name\":\"json\",\"n\":[1,2]}");
        EXPECT_EQ(ReadFile(dir.file(row.scratch)), row.taken ? "user's" : "");
        EXPECT_EQ(access(dir.file(row.scratch).c_str(), F_OK) == 0, row.taken);
    }
}

// A held save writes its new file beside the target and renames it only when committed: until then
// the target is the old file and the loader busy. A commit ends it as a plain save ends (the bytes,
// the digest); an abort or a reset, before or after the write ended, leaves the old file and
// nothing beside it, reports no error, and leaves the loader idle with its document.
TEST_F(AsyncHTTPSaveTest, AHeldSaveRenamesOnlyWhenCommitted) {
    Policy policy;
    policy.Answer = ASYNCHTTP_POLICY_FINAL;
    AsyncHTTP_SetErrorCallback(loader, &policy, PolicyCallback);
    const std::string path = dir.file("doc.json"), doc = "{\"name\":\"json\",\"n\":[1,2]}";
    enum class End { AbortAtOnce, Abort, Reset, Commit };
    for (const End end : {End::AbortAtOnce, End::Abort, End::Reset, End::Commit}) {
        SCOPED_TRACE((int)end);
        ASSERT_EQ(Load("/doc.json").Code, 0u);
        AsyncHTTP_SetHashAlgorithm(loader, "SHA256"); // a reset lets it go
        std::ofstream(path) << "before";
        ASSERT_EQ(AsyncHTTP_SaveHeld(loader, path.c_str(), ".doc.json.held"), 1);
        EXPECT_EQ(AsyncHTTP_Save(loader, path.c_str()), 0);
        if (end != End::AbortAtOnce) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!AsyncHTTP_IsSaveWritten(loader) && std::chrono::steady_clock::now() < deadline) Pass();
            ASSERT_EQ(AsyncHTTP_IsSaveWritten(loader), 1);
            EXPECT_EQ(ReadFile(path), "before");
            EXPECT_EQ(ReadFile(dir.file(".doc.json.held")), doc);
        }
        if (end == End::Commit) {
            EXPECT_EQ(AsyncHTTP_SaveCommit(loader), 1);
            EXPECT_EQ(ReadFile(path), doc);
            EXPECT_EQ(AsyncHTTP_IsSaveComplete(loader), 1);
            char digest[ASYNCHTTP_DIGEST_SIZE] = {};
            AsyncHTTP_GetDigest(loader, digest, sizeof(digest));
            EXPECT_EQ(std::string(digest) + "\n", *RunOracle("sha256sum '" + path + "' | cut -c1-64", "", 30));
        } else if (end == End::Reset) {
            EXPECT_EQ(AsyncHTTP_Reset(loader), 1);
        } else {
            EXPECT_EQ(AsyncHTTP_SaveAbort(loader), 1);
            EXPECT_EQ(AsyncHTTP_SaveCommit(loader), 0);
            EXPECT_EQ(AsyncHTTP_IsSaveComplete(loader), 0);
        }
        Drain();
        EXPECT_EQ(AsyncHTTP_IsAlive(loader), 0);
        EXPECT_EQ(ReadFile(path), end == End::Commit ? doc : "before");
        EXPECT_EQ(*RunOracle("ls -A '" + dir.path() + "'", "", 30), "doc.json\n");
        EXPECT_EQ(policy.Calls, 0);
        if (end == End::Abort) {
            // The document is as it was: a plain save writes it.
            ASSERT_EQ(AsyncHTTP_Save(loader, path.c_str()), 1);
            EXPECT_EQ(Wait().Code, 0u);
            EXPECT_EQ(ReadFile(path), doc);
        }
    }
}

// An owner may let go of a loader at any point; what it started still ends cleanly.
TEST_F(AsyncHTTPSaveTest, OwnerReleasingMidwayLosesNothing) {
    ASSERT_EQ(Load("/doc.json").Code, 0u);
    const std::string path = dir.file("doc.json");
    ASSERT_EQ(AsyncHTTP_Save(loader, path.c_str()), 1);
    AsyncHTTP_Release(&loader);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ReadFile(path).empty() && std::chrono::steady_clock::now() < deadline) Pass();
    EXPECT_EQ(ReadFile(path), "{\"name\":\"json\",\"n\":[1,2]}");

    ASSERT_EQ(AsyncHTTP_Create(&loader), 1);
    ASSERT_EQ(AsyncHTTP_Load(loader, Url("/doc.json").c_str(), 0), 1);
    Pass();
    AsyncHTTP_Release(&loader);
    Drain();
}

// A request finished on another thread than the main one is a broken precondition.
int64_t DoneElsewhereAdd(WebGetRequest* request) {
    std::thread([request] { WebGetRequest_Done(request); }).join();
    return 1;
}

TEST_F(AsyncHTTPTest, ProgrammingErrorsStop) {
    InstallTestAbortHook();
    EXPECT_DEATH(AsyncHTTP_Load(nullptr, "http://127.0.0.1/", 0), AbortRegex("Pointer is NULL\n"));
    Dictionary* other = nullptr;
    Dictionary_Create(&other);
    EXPECT_DEATH(AsyncHTTP_Reset(reinterpret_cast<AsyncHTTP*>(other)), "Class mismatch pointer");
    Dictionary_Release(&other);
    AsyncHTTP_SetWebRequestHandler(DoneElsewhereAdd, NothingRemove);
    EXPECT_DEATH(Load("/doc.json"),
                 AbortRegex("Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nInvalid call context"));
}

// The decode step on its own, as the fuzzer drives it.
TEST_F(AsyncHTTPTest, DecodeBodyByContentType) {
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_AUTO);
    uint32_t code = 1, codeEx = 1;
    const std::string body = "name: direct\n";
    EXPECT_EQ(AsyncHTTP_DecodeBody(loader, reinterpret_cast<const uint8_t*>(body.data()), (uint32_t)body.size(),
                                   " TEXT/X-YAML ; q=1", 0, &code, &codeEx),
              1);
    EXPECT_EQ(Name(), "direct");
}

} // namespace
