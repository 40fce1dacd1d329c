// The HTTP storage backends through the storage front against real peers on 127.0.0.1: nginx
// (its access log names the Range of every request) serving the content's files and piece files,
// and Python's http.server, which ignores Range.
#include "repository/storage_http.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdarg>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/web/web_get_pool.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_request.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/printed_lines.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

std::string Bytes(size_t n, uint32_t seed) {
    std::string out(n, 0);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        out[i] = (char)(seed >> 16);
    }
    return out;
}

std::string Sha1(const std::string& data, bool hex) {
    SHA1* sha = nullptr;
    SHA1_Create(&sha);
    SHA1_Process(sha, data.data(), (uint32_t)data.size());
    SHA1_Generate(sha);
    uint8_t digest[20];
    SHA1_GetDigest(sha, digest, 20);
    char text[64];
    if (hex) {
        SHA1_GetString(sha, 0, text, sizeof(text));
    } else {
        uint32_t written = 0;
        Base64_Encode(digest, 20, text, sizeof(text), &written);
        text[written] = 0;
    }
    SHA1_Release(&sha);
    return text;
}

// Files c (16 bytes), a (40) and b (8) in 16-byte pieces: piece 0 is all of c, pieces 1 and 2 the
// start and middle of a, piece 3 the end of a and all of b.
const std::string kC = Bytes(16, 1), kA = Bytes(40, 2), kB = Bytes(8, 3);
const std::string kStream = kC + kA + kB;

std::string ManifestText(const std::string& cName = "c") {
    std::string digests;
    for (size_t i = 0; i < kStream.size(); i += 16) digests += (i ? ",\"" : "\"") + Sha1(kStream.substr(i, 16), false) + "\"";
    return R"({"id":"m1","files":[{"name":")" + cName +
           R"(","size":16},{"name":"a","size":40},{"name":"b","size":8}],"pieces":{"size":16,"digests":[)" + digests + "]}}";
}

// A scripted peer: "/drop/<name>" announces 16 bytes, sends 5 and closes; "/slow/<name>" logs
// the request to slow.log and, the first time, sends 5 of the file's bytes and holds the
// connection until the client closes it, later times the whole file; "/hold/<name>" always holds.
const char* const kScripted = R"PY(
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8)
slow = 0
while True:
    c, _ = s.accept(); data = b""
    while b"\r\n\r\n" not in data:
        more = c.recv(4096)
        if not more: break
        data += more
    path = data.split(b" ")[1].decode() if data.count(b" ") > 1 else "/"
    if path.startswith("/slow/") or path.startswith("/hold/"):
        body = open("www/" + path[6:], "rb").read()
        with open("slow.log", "a") as log: log.write(path + "\n")
        head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)
        slow += path.startswith("/slow/")
        if slow == 1 or path.startswith("/hold/"):
            c.sendall(head + body[:5]); c.settimeout(10)
            try: c.recv(1)
            except OSError: pass
        else:
            c.sendall(head + body)
    else:
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\nhello")
    c.close()
)PY";

struct Peers {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx, Python, Scripted;
    Peers() {
        chmod(Dir.path().c_str(), 0711); // nginx's workers run as another user
        mkdir(Dir.file("www").c_str(), 0755);
        mkdir(Dir.file("www/bad").c_str(), 0755);
        mkdir(Dir.file("www/long").c_str(), 0755);
        mkdir(Dir.file("www/pieces").c_str(), 0755);
        mkdir(Dir.file("www/longpieces").c_str(), 0755);
        auto put = [&](const std::string& name, const std::string& data) {
            std::ofstream(Dir.file("www/" + name), std::ios::binary) << data;
            chmod(Dir.file("www/" + name).c_str(), 0644);
        };
        put("c", kC);
        put("a", kA);
        put("b", kB);
        put("bad/c", Bytes(16, 9));
        put("long/a", kA);
        put("long/b", kB + "more");
        for (size_t i = 0; i < kStream.size(); i += 16)
            put("pieces/" + Sha1(kStream.substr(i, 16), true) + ".quarvpiece", kStream.substr(i, 16));
        put("longpieces/" + Sha1(kStream.substr(0, 16), true) + ".quarvpiece", Bytes(65536, 4));
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  log_format r '$request_uri [$http_range]';\n"
            << "  access_log " << Dir.file("access.log") << " r;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path()
            << "; scgi_temp_path " << Dir.path() << ";\n  types { }\n"
            << "  server { listen 127.0.0.1:PORT; root " << Dir.file("www")
            << "; location /fail/ { return 500; } }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        Python = std::make_unique<TlsServer>(
            Dir.file("www"),
            std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1", "{port}"});
        Scripted = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"/usr/bin/python3", "-c", kScripted, "{port}"});
    }
    std::string ScriptedUrl(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(Scripted->Port()) + path;
    }
    std::string NginxUrl(const std::string& path) { return "http://127.0.0.1:" + std::to_string(Nginx->Port()) + path; }
    std::string PythonUrl(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(Python->Port()) + path;
    }
    std::vector<std::string> Log() {
        std::vector<std::string> out;
        std::ifstream in(Dir.file("access.log"));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    // nginx writes its line after the answer has gone out: wait (bounded) for `count` lines.
    std::vector<std::string> LogOf(size_t count) {
        auto log = Log();
        StepUntil([&] { return log.size() >= count; },
                  [&] {
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
                      log = Log();
                  },
                  20);
        return log;
    }
};

Peers* g_peers = nullptr;

struct Result {
    bool done = false;
    uint32_t code = 0, codeEx = 0;
};

void OnComplete(Storage*, void* user, void*, uint32_t code, uint32_t codeEx) {
    auto* r = static_cast<Result*>(user);
    r->done = true;
    r->code = code;
    r->codeEx = codeEx;
}

std::string& Printed() {
    static std::string text;
    return text;
}

int64_t KeepPrinted(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char line[4096];
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    // Requests print from the connections' threads as well as from the test's.
    std::lock_guard<std::mutex> hold(PrintedLinesLock());
    Printed() += line;
    return 1;
}

class StorageHTTPTest : public WebGetTest {
  public:
    static void SetUpTestSuite() {
        if (!g_peers) g_peers = new Peers();
    }
    static void TearDownTestSuite() {
        delete g_peers;
        g_peers = nullptr;
    }
    void SetUp() override {
        WebGetTest::SetUp();
        ASSERT_TRUE(g_peers->Nginx->Running());
        ASSERT_TRUE(g_peers->Python->Running());
        ASSERT_TRUE(g_peers->Scripted->Running());
        WebGet_AuthorizeOverride(AllowEveryHost);
        ASSERT_EQ(WebGetPool_Init(), 1);
        Printed().clear();
        LoadManifest(ManifestText());
    }
    void TearDown() override {
        for (StorageRequest*& r : requests) StorageRequest_Release(&r);
        if (storage) {
            Storage_Shutdown(storage);
            Storage_Release(&storage);
        }
        if (manifest) MetaFile_Release(&manifest);
        WebGetPool_Remove();
        WebGetTest::TearDown();
    }
    void LoadManifest(const std::string& text) {
        if (manifest) MetaFile_Release(&manifest);
        MetaFile_Create(&manifest);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetValueCallback(json, manifest, MetaFile_ValueCallback);
        ASSERT_EQ(JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()), 1);
        JSON_Release(&json);
        uint32_t code = 0, codeEx = 0;
        ASSERT_EQ(MetaFile_WorkerBuild(nullptr, manifest, &code, &codeEx), 1);
    }
    // Configures a storage from "key=value" pairs; the result of Storage_Configure.
    int64_t Configure(const std::vector<std::pair<std::string, std::string>>& pairs) {
        if (storage) Storage_Release(&storage);
        Storage_Create(&storage);
        Storage_SetPrintCallback(storage, nullptr, KeepPrinted);
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        for (auto& [k, v] : pairs) Dictionary_SetStringByKey(d, k.c_str(), v.c_str());
        const int64_t ok = Storage_Configure(storage, nullptr, d, nullptr);
        Dictionary_Release(&d);
        return ok;
    }
    StorageRequest* Request(std::vector<int32_t> indexes, uint32_t allowVCDiff = 0) {
        StorageRequest* r = nullptr;
        StorageRequest_Create(&r);
        StorageRequest_SetMetaFileHandle(r, manifest);
        for (int32_t i : indexes) EXPECT_EQ(StorageRequest_IndexAdd(r, i), 1);
        StorageRequest_SetAllowVCDiff(r, allowVCDiff);
        EXPECT_EQ(StorageRequest_Alloc(r), 1);
        requests.push_back(r);
        return r;
    }
    template <typename Cond> bool Pump(Cond cond, int ms = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (cond()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            EventQueue_Flush(nullptr);
            WebGetPool_Process();
            Thread_Wait(1);
        }
    }
    Result Get(StorageRequest* r) {
        Result result;
        EXPECT_EQ(Storage_Get(storage, r, nullptr, &result, OnComplete), 1);
        EXPECT_TRUE(Pump([&] { return result.done; })) << "no completion";
        return result;
    }
    static std::string Content(StorageRequest* r) {
        uint32_t length = 0;
        StorageRequest_GetContentLength(r, &length);
        uint8_t* p = nullptr;
        StorageRequest_GetPointer(r, &p);
        std::string out(reinterpret_cast<char*>(p), length);
        StorageRequest_ReleasePointer(r, &p);
        return out;
    }
    static bool Untouched(StorageRequest* r) {
        uint32_t size = 0;
        StorageRequest_AllocSize(r, &size);
        uint8_t* p = nullptr;
        StorageRequest_GetPointer(r, &p);
        bool zero = true;
        for (uint32_t i = 0; i < size; i++) zero = zero && p[i] == 0;
        StorageRequest_ReleasePointer(r, &p);
        return zero;
    }

    Storage* storage = nullptr;
    MetaFile* manifest = nullptr;
    std::vector<StorageRequest*> requests;
};

TEST_F(StorageHTTPTest, RangesAskForExactlyTheMemberBytesAndNoneForWholeFiles) {
    ASSERT_EQ(Configure({{"type", "http"}, {"url", g_peers->NginxUrl("/")}}), 1);
    const size_t before = g_peers->Log().size();
    StorageRequest* r = Request({0, 1, 2, 3});
    const Result result = Get(r);
    EXPECT_EQ(result.code, 0u);
    EXPECT_EQ(Content(r), kStream);
    auto log = g_peers->LogOf(before + 5);
    log.erase(log.begin(), log.begin() + (long)before);
    EXPECT_EQ(log, (std::vector<std::string>{"/c [-]", "/a [bytes=0-15]", "/a [bytes=16-31]", "/a [bytes=32-39]",
                                             "/b [-]"}));
    uint64_t read = 0, written = 0;
    Storage_GetOverallUsage(storage, &read, &written);
    EXPECT_GE(read, kStream.size());
    char id[STORAGE_IDENTIFIER_SIZE];
    Storage_GetIdentifier(storage, id, sizeof(id));
    EXPECT_EQ(std::string(id), g_peers->NginxUrl("/"));
}

TEST_F(StorageHTTPTest, FailuresCompleteWithTheirCodeAndWriteNothing) {
    const struct {
        std::string url;
        int32_t piece;
        uint32_t code;
    } rows[] = {
        // A whole file needs no Range, so the server that ignores it serves it.
        {g_peers->PythonUrl("/"), 0, 0},
        {g_peers->PythonUrl("/"), 2, WEBGET_ERROR_RANGE_NOT_SUPPORTED},
        {g_peers->NginxUrl("/missing/"), 0, 404},
        {g_peers->NginxUrl("/fail/"), 1, 500},
        {g_peers->NginxUrl("/long/"), 3, WEBGET_ERROR_SIZE_LIMIT},
        {g_peers->NginxUrl("/bad/"), 0, WEBGET_ERROR_HASH_FAILURE},
        {g_peers->ScriptedUrl("/drop/"), 0, WEBGET_ERROR_UNDERFLOW},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(Configure({{"type", "http"}, {"url", row.url}}), 1);
        StorageRequest* r = Request({row.piece});
        const Result result = Get(r);
        EXPECT_EQ(result.code, row.code) << row.url << " " << row.piece;
        if (row.code == 0) {
            EXPECT_EQ(Content(r), kStream.substr(16 * (size_t)row.piece, 16));
        } else if (row.code != WEBGET_ERROR_HASH_FAILURE && row.code != WEBGET_ERROR_SIZE_LIMIT &&
                   row.code != WEBGET_ERROR_UNDERFLOW) {
            EXPECT_TRUE(Untouched(r)) << row.url << " " << row.piece;
        }
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        Storage_Dump(storage, d);
        int32_t last = -1;
        Dictionary_GetInt32ByKey(d, "lastError", &last);
        // The digest is checked after the transfer, which itself went well.
        EXPECT_EQ((uint32_t)last, row.code == WEBGET_ERROR_HASH_FAILURE ? 0 : row.code);
        Dictionary_Release(&d);
    }
}

TEST_F(StorageHTTPTest, ManifestNamesCannotLeaveTheBaseUrl) {
    const struct {
        const char* name;
        uint32_t code;
    } rows[] = {
        {"../c", WEBGET_ERROR_INVALID_CONTENT},
        {"/c", WEBGET_ERROR_INVALID_CONTENT},
        {"x/../../c", WEBGET_ERROR_INVALID_CONTENT},
        // Backslashes as the JSON text escapes them.
        {"x\\\\..\\\\..\\\\c", WEBGET_ERROR_INVALID_CONTENT},
        // Its colon is sent escaped: a name below the base, which nginx does not have.
        {"http://127.0.0.1/c", 404},
        {"dir/../c?x#y", WEBGET_ERROR_INVALID_CONTENT},
        {"c#y", 404},
    };
    for (const auto& row : rows) {
        LoadManifest(ManifestText(row.name));
        ASSERT_EQ(Configure({{"type", "http"}, {"url", g_peers->NginxUrl("/bad/")}}), 1);
        EXPECT_EQ(Get(Request({0})).code, row.code) << row.name;
    }
}

TEST_F(StorageHTTPTest, PieceUrlsFromTemplates) {
    const std::string digest = Sha1(kStream.substr(32, 16), true);
    ASSERT_EQ(Configure({{"type", "cdn"}, {"url", g_peers->NginxUrl("/pieces/")}, {"source", ""}}), 1);
    StorageRequest* r = Request({2}, 1);
    EXPECT_EQ(Get(r).code, 0u);
    EXPECT_EQ(Content(r), kStream.substr(32, 16));
    ASSERT_EQ(Configure({{"type", "cdn"}, {"url", g_peers->NginxUrl("/longpieces/")}, {"source", ""}}), 1);
    EXPECT_EQ(Get(Request({0})).code, (uint32_t)WEBGET_ERROR_SIZE_LIMIT);

    // A delta is asked for only when VCDIFF is allowed and a source is named.
    const size_t before = g_peers->Log().size();
    ASSERT_EQ(Configure({{"type", "cdn"}, {"baseUrl", g_peers->NginxUrl("/")}, {"source", "old"}}), 1);
    EXPECT_EQ(Get(Request({2}, 1)).code, 404u);
    EXPECT_EQ(Get(Request({2}, 0)).code, 404u);
    auto log = g_peers->LogOf(before + 2);
    log.erase(log.begin(), log.begin() + (long)before);
    EXPECT_EQ(log, (std::vector<std::string>{"/old/" + digest + ".quarvdelta [-]", "/m1/" + digest + ".quarvpiece [-]"}));
}

TEST_F(StorageHTTPTest, ConfigurationNeedsItsKeys) {
    EXPECT_EQ(Configure({{"type", "http"}}), 0);
    EXPECT_NE(Printed().find("Configuration dictionary missing url"), std::string::npos) << Printed();
    EXPECT_EQ(Configure({{"type", "cdn"}, {"source", ""}}), 0);
    EXPECT_NE(Printed().find("Configuration dictionary missing baseUrl"), std::string::npos);
    EXPECT_EQ(Configure({{"type", "cdn"}, {"baseUrl", "http://127.0.0.1/"}}), 0);
    EXPECT_NE(Printed().find("Configuration dictionary missing source"), std::string::npos);
    // Whatever "flags" says, whole-file content is stored padded.
    uint32_t flags = 99;
    EXPECT_EQ(Configure({{"type", "http"}, {"url", "http://127.0.0.1/"}, {"flags", "gzip"}}), 1);
    Storage_GetFlags(storage, &flags);
    EXPECT_EQ(flags, 1u);
}

TEST_F(StorageHTTPTest, OperationsOtherThanGetAreNotSupported) {
    ASSERT_EQ(Configure({{"type", "http"}, {"url", g_peers->NginxUrl("/")}}), 1);
    Result result;
    Storage_Exists(storage, Request({0}), &result, OnComplete);
    ASSERT_TRUE(Pump([&] { return result.done; }));
    EXPECT_EQ(result.code, 501u);
}

TEST_F(StorageHTTPTest, ShutdownEndsTransfersInFlightOnce) {
    ASSERT_EQ(Configure({{"type", "http"}, {"url", g_peers->ScriptedUrl("/hold/")}}), 1);
    Result result;
    int calls = 0;
    struct Counted {
        Result* r;
        int* calls;
    } counted{&result, &calls};
    Storage_Get(storage, Request({0}), nullptr, &counted, [](Storage*, void* user, void*, uint32_t code, uint32_t ex) {
        auto* c = static_cast<Counted*>(user);
        (*c->calls)++;
        OnComplete(nullptr, c->r, nullptr, code, ex);
    });
    // Shut down while the peer holds the answer half-sent.
    const std::string log = g_peers->Dir.file("slow.log");
    ASSERT_TRUE(Pump([&] { return ReadFile(log).find("/hold/c\n") != std::string::npos; }));
    Pump([] { return false; }, 100);
    EXPECT_FALSE(result.done);
    Storage_Shutdown(storage);
    ASSERT_TRUE(Pump([&] { return result.done; }));
    EXPECT_EQ(result.code, (uint32_t)WEBGET_ERROR_STORAGE);
    EXPECT_EQ(result.codeEx, 1u);
    Pump([] { return false; }, 200);
    EXPECT_EQ(calls, 1);
}

TEST_F(StorageHTTPTest, PauseAndResumeStartTransfersOver) {
    ASSERT_EQ(Configure({{"type", "http"}, {"url", g_peers->ScriptedUrl("/slow/")}}), 1);
    StorageRequest* r = Request({0});
    Result result;
    Storage_Get(storage, r, nullptr, &result, OnComplete);
    // The first answer stops after 5 bytes; the pause drops it.
    const std::string log = g_peers->Dir.file("slow.log");
    ASSERT_TRUE(Pump([&] { return ReadFile(log).find("/slow/c\n") != std::string::npos; }));
    const std::string before = ReadFile(log);
    Pump([] { return false; }, 100);
    Storage_SetActive(storage, 0);
    Pump([] { return false; }, 200);
    EXPECT_FALSE(result.done);
    EXPECT_EQ(ReadFile(log), before);
    Storage_SetActive(storage, 1);
    ASSERT_TRUE(Pump([&] { return result.done; }));
    EXPECT_EQ(result.code, 0u);
    EXPECT_EQ(Content(r), kC);
    EXPECT_EQ(ReadFile(log), before + "/slow/c\n");
}

} // namespace
