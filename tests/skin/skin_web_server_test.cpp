// The skin web server against real clients on 127.0.0.1, pumped on the test's thread as the main
// loop pumps it: curl as a child (and a grandchild under sh -c) for exact answers, admission and
// port blocks; raw sockets for malformed, cut and idle clients; and the in-process route.
#include "skin/skin_web_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <cstdarg>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/command_line.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/async_http.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request.h"
#include "core/web/web_server_internal.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_app_internal.h"
#include "skin/skin_file.h"
#include "skin/skin_file_internal.h"
#include "skin/web_browser.h"
#include "tests/skin/test_browser.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"
#include "workflow/workflow_app.h"

extern char** environ;

namespace {

TempDir* g_dir = nullptr;
Dictionary* g_config = nullptr;
std::string g_data; // 1000 bytes of /data.bin

// The skin's root; the folder above it holds a file no request may reach.
std::string Skin(const std::string& name = "") {
    return g_dir->file("skin") + name;
}

class ServerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("skin_web_server.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintOverride(CaptureLog);
        ASSERT_EQ(WorkflowApp_InitInterop(), 1);
        ASSERT_TRUE(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                                SkinInterop_SetOverride, SkinInterop_SetOption));
        GlobalWebBrowserInterface = nullptr;
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), "lib"), 1);
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
        SkinFile_Init();
        g_dir = new TempDir();
        for (uint32_t i = 0, x = 7; i < 1000; i++) x = x * 1103515245 + 12345, g_data += char(x >> 23);
        ASSERT_EQ(mkdir(Skin().c_str(), 0700), 0);
        ASSERT_TRUE(WriteText(Skin("/data.bin"), g_data) && WriteText(Skin("/{Skin}.txt"), "braces") &&
                    WriteText(Skin("/doc.json"), R"({"name":"from the skin"})") &&
                    WriteText(Skin("/doc.yaml"), "name: from the skin\n") &&
                    WriteText(Skin("/app.yaml"), "name: web\n") && WriteText(g_dir->file("secret.txt"), "secret"));
        const utimbuf times = {1700000000, 1700000000};
        ASSERT_EQ(utime(Skin("/data.bin").c_str(), &times), 0);
        ASSERT_EQ(SkinFile_Attach(Skin().c_str()), 1);
        // The server's refusal reasons are verbose lines.
        Log_SetVerboseFilter("SkinWebServer");
        ASSERT_EQ(SkinApp_Init(), 1);
        // The server listens before anything asks for the content URL.
        ASSERT_EQ(SkinApp_StartWebServer(1), 1);
        SkinApp_Start(1);
        SkinApp_Start(0);
    }
    void TearDown() override {
        SkinApp_Remove();
        if (g_config) Dictionary_Release(&g_config);
        SkinFile_Remove();
        WebBrowser_Remove();
        delete g_dir;
        Debug_PrintOverride(nullptr);
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

void Pump() {
    SkinApp_ProcessWebServer();
    EventQueue_Flush(nullptr);
    Thread_Wait(1);
}

uint32_t Port() {
    return SkinWebServer_GetListenPort(SkinApp_GetWebServerHandle());
}

std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

// Runs the program as a child while the server is pumped; its exit status (-1: killed at the
// bound). Its standard output goes to the file when one is named.
int RunPumped(std::vector<std::string> args, const std::string& output = "", int seconds = 30) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        Pump();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Answer {
    int exit = 0;
    int status = 0;
    std::string head, body;
    std::string Header(const std::string& name) const {
        const size_t at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos) return "<none>";
        const size_t start = at + name.size() + 4;
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

// curl as a child (or, with shell, a grandchild under sh -c); extra arguments go before the URLs.
Answer Curl(const std::vector<std::string>& extra, const std::vector<std::string>& paths, bool shell = false) {
    const std::string head = g_dir->file("curl.head"), body = g_dir->file("curl.body");
    unlink(head.c_str());
    unlink(body.c_str());
    std::vector<std::string> args = {"curl", "-s", "-g", "--max-time", "10", "-D", head};
    args.insert(args.end(), extra.begin(), extra.end());
    // Every answer's body into the file: the last one stays.
    for (const std::string& p : paths) args.insert(args.end(), {"-o", body, Url(p)});
    Answer a;
    if (shell) {
        std::string line;
        for (const std::string& arg : args) line += "'" + arg + "' ";
        a.exit = RunPumped({"sh", "-c", line + "; exit $?"});
    } else {
        a.exit = RunPumped(args);
    }
    a.head = ReadFile(head);
    a.body = ReadFile(body);
    // The last answer's status line (curl appends every answer's header block).
    const size_t last = a.head.rfind("HTTP/1.1 ");
    if (last != std::string::npos) a.status = atoi(a.head.c_str() + last + 9);
    return a;
}

// A blocking client on its own thread (the server is pumped meanwhile); reads give up after a bound.
std::string RawExchange(const std::string& request, bool shutdownWrite = true, int receiveLimit = 1 << 20) {
    std::string received;
    std::thread client([&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)Port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
            send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            if (shutdownWrite) shutdown(fd, SHUT_WR);
            char buffer[65536];
            ssize_t n;
            while ((int)received.size() < receiveLimit && (n = recv(fd, buffer, sizeof(buffer), 0)) > 0)
                received.append(buffer, (size_t)n);
        }
        close(fd);
    });
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        client.join();
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && std::chrono::steady_clock::now() < deadline) Pump();
    waiter.join();
    return received;
}

// Client ports of our own choosing, other on every run: a port a client closed first stays in
// TIME_WAIT for a minute and cannot be bound again meanwhile.
std::string ClientPort(int k) {
    static const int base = 10000 + (int)(getpid() * 37 % 3000) * 5;
    return std::to_string(base + k);
}

std::string LowPort(int k) {
    return std::to_string(600 + (int)(getpid() % 190) * 2 + k);
}

uint32_t Connections() {
    WebServer* core = nullptr;
    SkinWebServer_GetWebServerHandle(SkinApp_GetWebServerHandle(), &core);
    // Linked by the socket threads' accepts under the server's lock.
    CriticalSectionGuard guard(core->Lock);
    return core->Count;
}

class SkinWebServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        security = Authenticate_Enabled();
        Authenticate_SetEnabled(1);
        SkinApp_WebServerSetEnableChildAccess(1);
    }
    void TearDown() override {
        SkinFile_Remove();
        ASSERT_EQ(SkinFile_Attach(Skin().c_str()), 1);
        Authenticate_SetEnabled(security);
        // Fresh slots for the next test: every block rotates out.
        SkinApp_WebServerSetBlockQuarterTime(1);
        Thread_Wait(1100);
        for (int i = 0; i < 5; i++) Pump();
        SkinApp_WebServerSetBlockQuarterTime(60);
    }
    uint32_t security = 0;
};

TEST_F(SkinWebServerTest, ContentUrlIsTheServersAddress) {
    EXPECT_EQ(std::string(SkinApp_GetContentUrl()), Url("/"));
}

TEST_F(SkinWebServerTest, FilesRangesAndRefusalsReachAChildExactly) {
    const std::string since = "Tue, 14 Nov 2023 22:13:20 GMT"; // the file's own time
    const struct {
        std::vector<std::string> extra;
        std::string path;
        int status;
        std::string body;
        std::string contentRange;
    } cases[] = {
        {{}, "/data.bin", 200, g_data, "<none>"},
        {{"-H", "Range: bytes=-100"}, "/data.bin", 206, g_data.substr(900), "bytes 900-999/1000"},
        {{"-H", "Range: bytes=990-5000"}, "/data.bin", 206, g_data.substr(990), "bytes 990-999/1000"},
        {{"-H", "Range: bytes=0-1000"}, "/data.bin", 206, g_data, "bytes 0-999/1000"},
        {{"-H", "Range: bytes=500-400"}, "/data.bin", 416, "", "<none>"},
        {{"-H", "Range: bytes=1000-"}, "/data.bin", 416, "", "<none>"},
        {{"-H", "If-Modified-Since: " + since}, "/data.bin", 304, "", "<none>"},
        {{}, "/{Skin}.txt", 200, "braces", "<none>"},
        {{}, "/APP.yaml", 403, "", "<none>"},
        {{}, "/missing.txt", 404, "", "<none>"},
        {{"--path-as-is"}, "/../secret.txt", 404, "", "<none>"},
        {{}, "/%2e%2e/secret.txt", 404, "", "<none>"},
        {{}, "/", 404, "", "<none>"},
    };
    for (const auto& c : cases) {
        const Answer a = Curl(c.extra, {c.path});
        EXPECT_EQ(a.status, c.status) << c.path << " " << (c.extra.empty() ? "" : c.extra.back());
        EXPECT_TRUE(a.body == c.body) << c.path << " got " << a.body.size() << " bytes";
        EXPECT_EQ(a.Header("Content-Range"), c.contentRange) << c.path;
        if (c.status == 200 || c.status == 206) {
            EXPECT_EQ(a.Header("Content-Length"), std::to_string(c.body.size())) << c.path;
        }
    }
    const Answer whole = Curl({}, {"/data.bin"});
    EXPECT_EQ(whole.Header("Last-Modified"), since);
    EXPECT_EQ(whole.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(whole.Header("Content-Length"), "1000");
}

// Files the server answers from memory follow the skin folder: a file rewritten (same size, same
// second) or removed between two requests is answered as it now is.
TEST_F(SkinWebServerTest, AFileChangedBetweenRequestsIsServedAsItNowIs) {
    ASSERT_TRUE(WriteText(Skin("/page.js"), "first"));
    for (int i = 0; i < 2; i++) EXPECT_EQ(Curl({}, {"/page.js"}).body, "first");
    ASSERT_TRUE(WriteText(Skin("/page.js"), "again"));
    const Answer changed = Curl({}, {"/page.js"});
    EXPECT_EQ(changed.status, 200);
    EXPECT_EQ(changed.body, "again");
    EXPECT_EQ(Curl({"-H", "Range: bytes=2-"}, {"/page.js"}).body, "ain");
    ASSERT_EQ(unlink(Skin("/page.js").c_str()), 0);
    EXPECT_EQ(Curl({}, {"/page.js"}).status, 404);
}

// A one-byte range declares and sends one byte: the next answer on the connection starts clean.
TEST_F(SkinWebServerTest, AnswersSendExactlyTheirDeclaredLength) {
    const std::string one = "GET /data.bin HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\nRange: bytes=0-0\r\n\r\n";
    const std::string last = "GET /data.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\nRange: bytes=999-999\r\n\r\n";
    // A HEAD is answered with the header alone, so the answer after it starts clean too.
    const std::string head = "HEAD /data.bin HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n";
    const std::string afterHead = RawExchange(head + last, false);
    EXPECT_EQ(afterHead.rfind("HTTP/1.1 200 ", 0), 0u) << afterHead.substr(0, 40);
    const size_t second = afterHead.find("\r\n\r\n") + 4;
    EXPECT_EQ(afterHead.compare(second, 17, "HTTP/1.1 206 Part"), 0) << afterHead.substr(second, 40);
    EXPECT_EQ(afterHead.substr(afterHead.size() - 1), g_data.substr(999));
    const std::string got = RawExchange(one + last, false);
    const size_t first = got.find("\r\n\r\n");
    ASSERT_NE(first, std::string::npos) << got;
    EXPECT_EQ(got.substr(first + 4, 1), g_data.substr(0, 1));
    EXPECT_EQ(got.compare(first + 5, 17, "HTTP/1.1 206 Part"), 0) << got.substr(first);
    EXPECT_EQ(got.substr(got.size() - 1), g_data.substr(999));
}

TEST_F(SkinWebServerTest, GzipOfAStoreEntryIsSentAsStored) {
    std::string text;
    for (int i = 0; i < 300; i++) text += "line " + std::to_string(i % 7) + " of a page\n";
    TempDir store;
    ASSERT_TRUE(WriteText(store.file("page.txt"), text));
    ASSERT_TRUE(RunOracle("cd '" + store.path() + "' && zip -q -X skin.zip page.txt", "").has_value());
    const std::string image = ReadFile(store.file("skin.zip"));
    SkinFile_Remove();
    ASSERT_EQ(SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(image.data()), (uint32_t)image.size(),
                                   store.file("skin.zip").c_str()),
              1);
    const Answer gz = Curl({"-H", "Accept-Encoding: gzip"}, {"/page.txt"});
    const Answer plain = Curl({}, {"/page.txt"});
    EXPECT_EQ(gz.status, 200);
    EXPECT_EQ(gz.Header("Content-Encoding"), "gzip");
    EXPECT_EQ(gz.Header("Content-Length"), std::to_string(gz.body.size()));
    ASSERT_TRUE(WriteText(store.file("page.gz"), gz.body));
    EXPECT_EQ(RunOracle("gzip -dc '" + store.file("page.gz") + "'", "").value_or(""), text);
    EXPECT_EQ(plain.body, text);
    EXPECT_EQ(plain.Header("Content-Encoding"), "<none>");
}

// The fifth miss from one client port within the slots' life blocks it: the next request gets
// 403. Misses a browser makes by itself never count.
TEST_F(SkinWebServerTest, FiveMissesFromOnePortBlockIt) {
    const std::vector<std::string> keep = {"-H", "Connection: keep-alive", "--local-port", "0"};
    struct Run {
        std::string port;
        std::vector<std::string> paths;
        int last;
    } runs[] = {
        {ClientPort(0), {"/a", "/b", "/c", "/d", "/e", "/data.bin"}, 403},
        {ClientPort(1), {"/a", "/b", "/c", "/d", "/data.bin"}, 200},
        {ClientPort(2), {"/favicon.ico", "/FAVICON.ICO", "/x.js.map", "/y.css.MAP", "/favicon.ico", "/data.bin"}, 200},
    };
    for (const Run& r : runs) {
        std::vector<std::string> extra = keep;
        extra[3] = r.port;
        const Answer a = Curl(extra, r.paths);
        EXPECT_EQ(a.status, r.last) << r.port << " exit " << a.exit << " " << a.head;
        uint32_t flags[4];
        const int64_t valid = SkinApp_WebServerGetBlockStateForTest(std::stoi(r.port), flags);
        EXPECT_EQ(valid, r.last == 403 ? 0 : 1) << r.port;
    }
}

TEST_F(SkinWebServerTest, BlocksRotateOutSlotBySlot) {
    SkinWebServer* s = SkinApp_GetWebServerHandle();
    SkinWebServer_BlockSetQuarterTime(s, 100);
    const double now = Time_GetCurrent();
    uint32_t flags[4];
    // Hard: every slot and the permanent bit, until the current slot is cleared.
    SkinWebServer_BlockPortNumber(s, 50001, now, 1);
    EXPECT_EQ(SkinWebServer_GetBlockStateForTest(s, 50001, flags), 0);
    EXPECT_EQ(std::vector<uint32_t>(flags, flags + 4), (std::vector<uint32_t>{1, 1, 1, 1}));
    EXPECT_EQ(SkinWebServer_BlockValidatePort(s, 50001, now + 100.5), 1);
    // Soft: the slots fill from the oldest; the fifth makes it a block.
    for (int i = 0; i < 4; i++) SkinWebServer_BlockPortNumber(s, 50002, now + 101, 0);
    EXPECT_EQ(SkinWebServer_GetBlockStateForTest(s, 50002, flags), 1);
    SkinWebServer_BlockPortNumber(s, 50002, now + 101, 0);
    EXPECT_EQ(SkinWebServer_GetBlockStateForTest(s, 50002, flags), 0);
    SkinWebServer_BlockPortNumber(s, 50003, now + 101, 0);
    EXPECT_EQ(SkinWebServer_GetBlockStateForTest(s, 50003, flags), 1);
    EXPECT_EQ(std::vector<uint32_t>(flags, flags + 4), (std::vector<uint32_t>{0, 0, 0, 1}));
    // Two periods late: two slots go at once; the mark in the third lives on.
    EXPECT_EQ(SkinWebServer_BlockValidatePort(s, 50003, now + 101 + 100 + 100 + 1), 1);
    SkinWebServer_GetBlockStateForTest(s, 50003, flags);
    EXPECT_EQ(std::vector<uint32_t>(flags, flags + 4), (std::vector<uint32_t>{0, 1, 0, 0}));
    SkinWebServer_BlockValidatePort(s, 50003, now + 10000);
    SkinWebServer_GetBlockStateForTest(s, 50003, flags);
    EXPECT_EQ(std::vector<uint32_t>(flags, flags + 4), (std::vector<uint32_t>{0, 0, 0, 0}));
    for (uint32_t port : {0u, 80u, 1023u, 65536u}) EXPECT_EQ(SkinWebServer_BlockValidatePort(s, port, now), 0);
}

std::vector<std::string> g_lines;

int64_t KeepLine(void*, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    g_lines.push_back(text);
    return 1;
}

TEST_F(SkinWebServerTest, OnlyThisProcessAndItsDescendantsAreAnswered) {
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    SkinWebServer_SetPrintCallback(server, nullptr, KeepLine);
    // A grandchild (curl under sh -c) lies two steps down: refused, and its port blocked.
    const Answer far = Curl({"--local-port", ClientPort(3)}, {"/data.bin"}, true);
    SkinWebServer_SetPrintCallback(server, nullptr, nullptr);
    const std::string tail = " is not valid child for my PID " + std::to_string(getpid()) + " (127.0.0.1:" + ClientPort(3) + ")\n";
    bool logged = false;
    for (const std::string& line : g_lines)
        logged = logged || (line.find("Process ") != std::string::npos && line.size() > tail.size() &&
                            line.compare(line.size() - tail.size(), tail.size(), tail) == 0);
    EXPECT_TRUE(logged) << (g_lines.empty() ? "(nothing logged)" : g_lines.back());
    EXPECT_EQ(far.status, 0);
    EXPECT_EQ(far.body, "");
    uint32_t flags[4];
    EXPECT_EQ(SkinApp_WebServerGetBlockStateForTest(std::stoi(ClientPort(3)), flags), 0);
    EXPECT_EQ(std::vector<uint32_t>(flags, flags + 4), (std::vector<uint32_t>{1, 1, 1, 1}));
    // A port below 1024 has no bit: always refused while authentication is on.
    EXPECT_EQ(Curl({"--local-port", LowPort(0)}, {"/data.bin"}).status, 0);
    // Two steps allowed: the grandchild is answered.
    SkinApp_WebServerSetEnableChildAccess(2);
    EXPECT_TRUE(Curl({"--local-port", ClientPort(4)}, {"/data.bin"}, true).body == g_data);
    // Without authentication anyone local is, but a port below 1024 still gets 403.
    Authenticate_SetEnabled(0);
    SkinApp_WebServerSetEnableChildAccess(0);
    EXPECT_TRUE(Curl({}, {"/data.bin"}, true).body == g_data);
    EXPECT_EQ(Curl({"--local-port", LowPort(1)}, {"/data.bin"}).status, 403);
}

// The block a refused process earned is held against it, not against a child of ours that later
// gets the same port.
TEST_F(SkinWebServerTest, APortBlockHoldsAgainstTheProcessThatEarnedIt) {
    EXPECT_EQ(Curl({"--local-port", ClientPort(5)}, {"/data.bin"}, true).status, 0);
    EXPECT_EQ(Curl({"--local-port", ClientPort(5)}, {"/data.bin"}, true).status, 0);
    uint32_t flags[4];
    EXPECT_EQ(SkinApp_WebServerGetBlockStateForTest(std::stoi(ClientPort(5)), flags), 0);
    const Answer child = Curl({"--local-port", ClientPort(5)}, {"/data.bin"});
    EXPECT_EQ(child.status, 200);
    EXPECT_TRUE(child.body == g_data);
    EXPECT_EQ(SkinApp_WebServerGetBlockStateForTest(std::stoi(ClientPort(5)), flags), 1);
}

// The dev server is read once per process: its answers are checked in a process of their own.
TEST_F(SkinWebServerTest, ADevServerGetsCrossOriginAnswers) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Authenticate_SetEnabled(0);
            CommandLine_Append("--devserver=http://127.0.0.1:3000");
            const Answer options = Curl({"-X", "OPTIONS"}, {"/instances/"});
            const Answer file = Curl({}, {"/data.bin"});
            const bool ok = options.status == 200 && options.body.empty() &&
                            options.Header("Access-Control-Allow-Origin") == "http://127.0.0.1:3000" &&
                            options.Header("Access-Control-Allow-Methods") == "HEAD, POST, DELETE, OPTIONS" &&
                            file.status == 200 && file.Header("Access-Control-Allow-Origin") == "http://127.0.0.1:3000";
            if (!ok) fprintf(stderr, "answers: %s\n%s\n", options.head.c_str(), file.head.c_str());
            fflush(stderr);
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// What a page of the skin's own origin sends with a script call.
std::vector<std::string> FromSkin(std::vector<std::string> extra) {
    const std::string origin = "Origin: http://127.0.0.1:" + std::to_string(Port());
    extra.insert(extra.begin(), {"-H", origin, "-H", "Content-Type: application/json"});
    return extra;
}

TEST_F(SkinWebServerTest, InstancesRoutesDriveTheScriptBridge) {
    char window[64];
    ASSERT_EQ(SkinApp_OpenWindowWithUrl(Url("/page.html").c_str(), window, sizeof(window)), 1);
    const std::string create = R"({"typename":"QVR.SkinApp","window":")" + std::string(window) + "\"}";
    const Answer made = Curl(FromSkin({"-X", "POST", "--data-binary", create}), {"/instances/"});
    EXPECT_EQ(made.status, 201);
    char app[64];
    SkinApp_GetInstanceId(app, sizeof(app));
    EXPECT_EQ(made.body, app);
    const std::string id = made.body;
    const struct {
        std::vector<std::string> extra;
        std::string path;
        int status;
        std::string body;
    } cases[] = {
        {{"-X", "POST", "--data-binary", R"({"method":"expandString","expand":"{Upper:ab}"})"},
         "/instances/" + id, 200, R"({"returnValue":"AB"})"},
        {{"-X", "POST", "--data-binary", R"({"method":"isAttached"})"}, "/instances/" + id, 200,
         R"({"returnValue":true})"},
        // A call whose body comes in chunks is the same call.
        {{"-X", "POST", "-H", "Transfer-Encoding: chunked", "--data-binary",
          R"({"method":"expandString","expand":"{Upper:cd}"})"},
         "/instances/" + id, 200, R"({"returnValue":"CD"})"},
        {{"-X", "POST", "--data-binary", R"({"method":"noSuchMethod"})"}, "/instances/" + id, 400, ""},
        {{"-I"}, "/instances/" + id, 200, ""},
        {{"-X", "POST", "--data-binary", R"({"typename":"QVR.Nothing","window":"x"})"}, "/instances/", 400, ""},
        {{"-X", "POST", "--data-binary", "not json"}, "/instances/", 400, ""},
        {{"-X", "POST", "--data-binary", "{}"}, "/instances/0123", 404, ""},
        {{"-X", "POST", "--data-binary", "{}"}, "/instances/", 400, ""},
        // A path is never expanded: this names a file, not the instance route.
        {{"-X", "POST", "--data-binary", create}, "/{Lower:INSTANCES}/", 404, ""},
    };
    for (const auto& c : cases) {
        const Answer a = Curl(FromSkin(c.extra), {c.path});
        EXPECT_EQ(a.status, c.status) << c.path << " " << c.extra.back();
        if (c.extra[0] != "-I") {
            EXPECT_EQ(a.body, c.body) << c.extra.back();
        }
    }
    // Under the browser engine's own bridge the routes are not offered.
    // The application keeps the configuration it was given: it lives as long as the application.
    Dictionary*& config = g_config;
    Dictionary_Create(&config);
    // As the host does: the skin's configuration is merged into the one handed over.
    SkinApp_SetConfigLoadedCallback(config, [](void* user, Dictionary* parsed) -> int64_t {
        return Dictionary_Merge(static_cast<Dictionary*>(user), parsed, DICTIONARY_MERGE_OVERWRITE);
    });
    ASSERT_TRUE(WriteText(Skin("/app.yaml"), "name: web\ncef:\n  enabled: true\n"));
    ASSERT_EQ(SkinApp_LoadConfig(config), 1);
    EXPECT_EQ(Curl(FromSkin({"-X", "POST", "--data-binary", create}), {"/instances/"}).status, 404);
    EXPECT_EQ(Curl(FromSkin({"-X", "POST", "--data-binary", "{}"}), {"/instances/" + id}).status, 404);
    ASSERT_TRUE(WriteText(Skin("/app.yaml"), "name: web\ncef:\n  enabled: false\n"));
    ASSERT_EQ(SkinApp_LoadConfig(config), 1);
    SkinApp_SetConfigLoadedCallback(nullptr, nullptr);
    // A page's own instance: created, called, released.
    const std::string reader = R"({"typename":"QVR.TextFileWriter","window":")" + std::string(window) + "\"}";
    const std::string writer = Curl(FromSkin({"-X", "POST", "--data-binary", reader}), {"/instances/"}).body;
    ASSERT_EQ(writer.size(), 32u);
    EXPECT_EQ(Curl(FromSkin({"-X", "DELETE"}), {"/instances/" + writer}).status, 200);
    Interop_Process();
    EXPECT_EQ(Curl(FromSkin({"-X", "DELETE"}), {"/instances/" + writer}).status, 404);
    SkinApp_CloseAllWindows();
    for (int i = 0; i < 5; i++) {
        Pump();
        SkinApp_Process();
    }
}

// Only a page of the skin's own origin reaches the routes, and only with a type that a page of
// another origin cannot send without a preflight: a blind POST (text/plain, a form) from anywhere
// else is refused before its body is looked at. Under a browser back end that answers calls in
// its view the routes are not there at all.
TEST_F(SkinWebServerTest, InstancesRoutesTakeOnlyTheSkinsOriginAndJson) {
    char window[64];
    ASSERT_EQ(SkinApp_OpenWindowWithUrl(Url("/page.html").c_str(), window, sizeof(window)), 1);
    const std::string create = R"({"typename":"QVR.FileSystem","window":")" + std::string(window) + "\"}";
    const std::string port = std::to_string(Port());
    const std::string json = "Content-Type: application/json";
    const struct {
        std::string Origin, Type;
        int Status;
    } cases[] = {
        {"", json, 403},
        {"Origin: null", json, 403},
        {"Origin: http://localhost:" + port, json, 403},
        {"Origin: https://127.0.0.1:" + port, json, 403},
        {"Origin: ws://127.0.0.1:" + port, json, 403},
        {"Origin: http://127.0.0.1:" + std::to_string(Port() + 1), json, 403},
        {"Origin: http://127.0.0.1:" + port + "/page.html", json, 403},
        {"Origin: http://u@127.0.0.1:" + port, json, 403},
        {"Origin: http://127.0.0.1:" + port, "Content-Type: text/plain;charset=UTF-8", 403},
        {"Origin: http://127.0.0.1:" + port, "Content-Type: application/x-www-form-urlencoded", 403},
        {"Origin: http://127.0.0.1:" + port, "Content-Type: application/jsonx", 403},
        {"Origin: http://127.0.0.1:" + port, "Content-Type:", 403},
        {"Origin: HTTP://127.0.0.1:" + port, "Content-Type: Application/JSON; charset=utf-8", 201},
        {"Origin: http://127.0.0.1:" + port, json, 201},
    };
    for (const auto& c : cases) {
        std::vector<std::string> extra = {"-H", c.Type, "-X", "POST", "--data-binary", create};
        if (!c.Origin.empty()) extra.insert(extra.begin(), {"-H", c.Origin});
        const Answer a = Curl(extra, {"/instances/"});
        EXPECT_EQ(a.status, c.Status) << c.Origin << " " << c.Type;
        if (c.Status != 201) {
            EXPECT_EQ(a.body, "") << c.Origin;
        }
    }
    SkinApp_SetInstanceRoutes(0);
    EXPECT_EQ(Curl(FromSkin({"-X", "POST", "--data-binary", create}), {"/instances/"}).status, 404);
    SkinApp_SetInstanceRoutes(1);
    SkinApp_CloseAllWindows();
    for (int i = 0; i < 5; i++) {
        Pump();
        SkinApp_Process();
    }
}

TEST_F(SkinWebServerTest, BadClientsGetTheStatedAnswerOrACleanClose) {
    Authenticate_SetEnabled(0);
    const std::string huge = "GET /data.bin HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n";
    const struct {
        std::string request;
        std::string startsWith; // "" for a close without an answer
        bool halfClose = true;
    } cases[] = {
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", false},
        {huge, "HTTP/1.1 431 Request Header Fields Too Large\r\n", false},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long\r\n", false},
        {"GET /data.bin\x1b[31m HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", false},
        {"GET /data.bin HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported\r\n", false},
        // A chunked script call past the bound is refused as a counted one is.
        {"POST /instances/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
             [] {
                 char size[32];
                 snprintf(size, sizeof(size), "%x\r\n", (unsigned)SCRIPTINVOKER_MAX_BODY + 1);
                 return std::string(size);
             }(),
         "HTTP/1.1 413 Payload Too Large\r\n", false},
        {"GET /data.bin HTTP/1.1\r\nContent-Length: x\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", false},
        // A length this server would not see while another reader does: refused, not answered
        // with its body taken for the next request.
        {"POST /instances/ HTTP/1.1\r\nContent-Length : 2\r\nConnection: keep-alive\r\n\r\n{}",
         "HTTP/1.1 400 Bad Request\r\n", false},
        {"POST /instances/ HTTP/1.1\r\nX: y\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\n{}",
         "HTTP/1.1 400 Bad Request\r\n", false},
        // Two lengths: the client is told, and where its body ends is not guessed.
        {"POST /instances/ HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}",
         "HTTP/1.1 400 Bad Request\r\n", false},
        // A body past a script call's bound is refused before any of it is read.
        {"POST /instances/ HTTP/1.1\r\nContent-Length: " + std::to_string(SCRIPTINVOKER_MAX_BODY + 1) + "\r\n\r\n{\"typename\"",
         "HTTP/1.1 413 Payload Too Large\r\n", false},
        // Announced longer than sent, and the client gone: nothing is answered.
        {"POST /instances/ HTTP/1.1\r\nContent-Length: 100000\r\n\r\n{\"typename\"", ""},
        // Longer than announced: the first request is answered (refused: it names no origin), the
        // rest is not a request.
        {"POST /instances/ HTTP/1.1\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\n{}garbage\r\n\r\n",
         "HTTP/1.1 403 ", false},
        {"GET /data.bin HTTP/1.1\r\nRange: bytes=" + std::string(5000, '9') + "-\r\n\r\n", "HTTP/1.1 416 ", false},
    };
    for (const auto& c : cases) {
        const std::string got = RawExchange(c.request, c.halfClose);
        EXPECT_EQ(got.substr(0, c.startsWith.size()), c.startsWith) << c.request.substr(0, 60);
        if (c.startsWith.empty()) {
            EXPECT_EQ(got, "") << c.request.substr(0, 60);
        }
    }
    // A thousand idle connections neither stop others nor stay once their clients go.
    std::vector<int> idle;
    for (int i = 0; i < 1000; i++) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)Port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        idle.push_back(fd);
        if (i % 50 == 0) Pump();
    }
    StepUntil([] { return Connections() >= 1000; }, Pump);
    EXPECT_GE(Connections(), 1000u);
    EXPECT_TRUE(Curl({}, {"/data.bin"}).body == g_data);
    for (int fd : idle) close(fd);
    StepUntil([] { return Connections() == 0; }, Pump);
    EXPECT_EQ(Connections(), 0u);
}

TEST_F(SkinWebServerTest, AnUnfinishedHeaderIsNotWaitedForForEver) {
    ASSERT_EQ(SkinWebServer_SetHeaderTimeout(SkinApp_GetWebServerHandle(), 1.0), 1);
    // A child (admitted as a descendant) that stops mid-header sees its connection closed after
    // the time-out, not at once; one that finishes its header in time is answered. Exit 3: still
    // open after its own bound; 4: closed too early or answered wrongly.
    const std::string client = R"(import socket, sys, time
start = time.monotonic()
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.settimeout(8)
s.sendall(b"GET /data.bin HTTP/1.1\r\nHost: a\r\n")
if sys.argv[2] == "finish":
    time.sleep(0.3)
    s.sendall(b"\r\n")
try:
    data = s.recv(64)
except socket.timeout:
    sys.exit(3)
except ConnectionResetError:
    data = b""
if sys.argv[2] == "finish":
    sys.exit(0 if data.startswith(b"HTTP/1.1 200 ") else 4)
sys.exit(0 if data == b"" and time.monotonic() - start >= 0.9 else 4)
)";
    for (const char* mode : {"stall", "finish"})
        EXPECT_EQ(RunPumped({"/usr/bin/python3", "-c", client, std::to_string(Port()), mode}), 0) << mode;
    EXPECT_NE(TakeLog().find("Request header unfinished after"), std::string::npos);
    ASSERT_EQ(SkinWebServer_SetHeaderTimeout(SkinApp_GetWebServerHandle(), 0), 1);
}

// A page loaded by a real browser reaches native objects through "instances/": its NativeInterop
// is a small shim of synchronous requests.
TEST_F(SkinWebServerTest, APageInChromiumCallsNativeObjects) {
    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    ASSERT_TRUE(WriteText(Skin("/page.html"), R"(<html><body><div id="out">pending</div><script>
function send(method, path, body) {
  var x = new XMLHttpRequest();
  x.open(method, path, false);
  if (body !== undefined) x.setRequestHeader('Content-Type', 'application/json');
  x.send(body === undefined ? null : JSON.stringify(body));
  return x;
}
var NativeInterop = {
  createInstance: function (type, window) {
    var x = send('POST', '/instances/', {typename: type, window: window});
    return x.status == 201 ? x.responseText : null;
  },
  invoke: function (id, request) {
    var x = send('POST', '/instances/' + id, request);
    return x.status == 200 ? JSON.parse(x.responseText).returnValue : 'failed ' + x.status;
  },
  releaseInstance: function (id) { return send('DELETE', '/instances/' + id).status == 200; }
};
var out = [];
try {
  var window_ = new URLSearchParams(location.search).get('window');
  var app = NativeInterop.createInstance('QVR.SkinApp', window_);
  out.push(NativeInterop.invoke(app, {method: 'expandString', expand: '{Upper:native}'}));
  out.push(NativeInterop.invoke(app, {method: 'isMainWindow', instance: window_}));
  var writer = NativeInterop.createInstance('QVR.TextFileWriter', window_);
  out.push(writer ? writer.length : 0);
  out.push(NativeInterop.releaseInstance(writer));
  out.push(NativeInterop.createInstance('QVR.TextFileWriter', 'no-such-window'));
} catch (e) { out.push('error ' + e); }
document.getElementById('out').textContent = out.join(',');
</script></body></html>)"));
    uint32_t cef = 1;
    SkinApp_GetCEFEnabled(&cef);
    ASSERT_EQ(cef, 0u);
    char window[64];
    ASSERT_EQ(SkinApp_OpenWindowWithUrl(Url("/page.html").c_str(), window, sizeof(window)), 1);
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, "url", Url("/page.html").c_str());
    char url[1024];
    SkinApp_GetWindowUrl(window, config, url, sizeof(url));
    Dictionary_Release(&config);
    // The browser's network process lies a few steps below its first process.
    SkinApp_WebServerSetEnableChildAccess(8);
    TempDir profile;
    const std::string dom = profile.file("dom.html");
    const int exit = RunPumped({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                "--user-data-dir=" + profile.file("data"), "--dump-dom", url},
                               dom, 90);
    EXPECT_EQ(exit, 0);
    // Windows of earlier tests may still be open: the page must see what the application sees.
    const std::string main = SkinApp_IsMainWindow(window) ? "true" : "false";
    const std::string expected = "<div id=\"out\">NATIVE," + main + ",32,true,</div>";
    EXPECT_NE(ReadFile(dom).find(expected), std::string::npos) << ReadFile(dom).substr(0, 200);
    SkinApp_CloseAllWindows();
    for (int i = 0; i < 5; i++) {
        Pump();
        SkinApp_Process();
    }
}

// ---- In-process route --------------------------------------------------------------------------

struct Fetched {
    int32_t code = 0, error = 0;
    std::string body, contentType;
};

Fetched FetchInProcess(const std::string& path, uint32_t type = 1, int64_t first = 0, int64_t last = 0,
                       uint32_t limit = 0, const char* acceptEncoding = nullptr) {
    WebGetRequest* request = nullptr;
    WebGetRequest_Create(&request);
    if (acceptEncoding) {
        char* header = nullptr;
        int32_t size = 0;
        WebGetRequest_GetHeader(request, &header, &size);
        WebGet_HeaderSet(header, size, "Accept-Encoding", acceptEncoding, 1);
    }
    WebGetRequest_SetURL(request, (std::string(SkinApp_GetContentUrl()) + path).c_str());
    WebGetRequest_SetType(request, type);
    if (first || last) WebGetRequest_SetByteRange(request, first, last);
    if (limit) WebGetRequest_SetLimitBodySize(request, limit);
    Fetched f;
    EXPECT_EQ(SkinApp_WebGetRequestQueue(request), 1);
    StepUntil([&] { return WebGetRequest_IsDone(request) == 1; }, Pump);
    EXPECT_EQ(WebGetRequest_IsDone(request), 1) << path;
    int32_t extended = 0;
    WebGetRequest_GetLastError(request, &f.error, &extended);
    WebGetRequest_GetHTTPCode(request, &f.code);
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    WebGetRequest_GetBufferPtr(request, &bytes, &length);
    f.body.assign(reinterpret_cast<char*>(bytes), length);
    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetResponseHeader(request, &block, &capacity);
    char value[128] = "";
    if (block) WebGet_HeaderGetByName(block, "Content-Type", value, sizeof(value));
    f.contentType = value;
    // Finished requests leave the table.
    EXPECT_EQ(SkinApp_WebGetRequestRemove(request), 0);
    WebGetRequest_Release(&request);
    return f;
}

TEST_F(SkinWebServerTest, TheProgramsOwnRequestsAreAnsweredWithoutASocket) {
    // With the server stopped no socket could answer.
    const uint32_t port = Port();
    SkinWebServer_Stop(SkinApp_GetWebServerHandle());
    const struct {
        std::string path;
        uint32_t type;
        int64_t first, last;
        uint32_t limit;
        int32_t code, error;
        std::string body;
    } cases[] = {
        {"data.bin", 1, 0, 0, 0, 200, 0, g_data},
        {"data.bin", 1, 10, 19, 0, 206, 0, g_data.substr(10, 10)},
        {"data.bin", 1, 995, 0, 0, 206, 0, g_data.substr(995)},
        {"data.bin", 5, 0, 0, 0, 200, 0, ""},
        {"data.bin", 1, 0, 0, 100, 200, 959, g_data.substr(0, 100)},
        {"missing.txt", 1, 0, 0, 0, 404, 0, ""},
        {"app.yaml", 1, 0, 0, 0, 403, 0, ""},
    };
    for (const auto& c : cases) {
        const Fetched f = FetchInProcess(c.path, c.type, c.first, c.last, c.limit);
        EXPECT_EQ(f.code, c.code) << c.path << " " << c.first;
        EXPECT_EQ(f.error, c.error) << c.path << " " << c.first;
        EXPECT_TRUE(f.body == c.body) << c.path << " " << c.first << " got " << f.body.size();
    }
    EXPECT_EQ(FetchInProcess("doc.json").contentType, "application/json");
    // A body written to a file waits for its writes before the request ends.
    WebGetRequest* download = nullptr;
    WebGetRequest_Create(&download);
    WebGetRequest_SetURL(download, (std::string(SkinApp_GetContentUrl()) + "data.bin").c_str());
    const std::string target = g_dir->file("download.bin");
    WebGetRequest_SetOutputFilename(download, target.c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(download);
    ASSERT_EQ(SkinApp_WebGetRequestQueue(download), 1);
    StepUntil([&] { return WebGetRequest_IsDone(download) == 1; }, Pump);
    EXPECT_EQ(WebGetRequest_IsDone(download), 1);
    EXPECT_EQ(WebGetRequest_IsOk(download), 1);
    WebGetRequest_Release(&download);
    EXPECT_TRUE(ReadFile(target) == g_data);
    // The engine's document loader goes the same way.
    AsyncHTTP* loader = nullptr;
    AsyncHTTP_Create(&loader);
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_YAML);
    ASSERT_EQ(AsyncHTTP_Load(loader, (std::string(SkinApp_GetContentUrl()) + "doc.yaml").c_str(), 0), 1);
    StepUntil([&] { return !AsyncHTTP_IsAlive(loader); }, Pump);
    EXPECT_EQ(AsyncHTTP_IsAlive(loader), 0);
    uint32_t code = 0, codeEx = 0;
    AsyncHTTP_GetLastError(loader, &code, &codeEx);
    EXPECT_EQ(AsyncHTTP_IsOk(loader), 1) << code << " " << codeEx;
    Dictionary* document = nullptr;
    Dictionary* root = nullptr;
    AsyncHTTP_GetDictionaryHandle(loader, &document);
    Dictionary_SkipRoot(document, &root);
    const char* name = nullptr;
    EXPECT_TRUE(root && Dictionary_GetStringPtrByKey(root, "name", &name) && std::string(name) == "from the skin");
    AsyncHTTP_Release(&loader);
    // From a store, a request that has its body decoded for it gets the plain entry.
    std::string text;
    for (int i = 0; i < 300; i++) text += "line " + std::to_string(i % 7) + " of a page\n";
    TempDir store;
    ASSERT_TRUE(WriteText(store.file("page.txt"), text));
    ASSERT_TRUE(RunOracle("cd '" + store.path() + "' && zip -q -X skin.zip page.txt", "").has_value());
    const std::string image = ReadFile(store.file("skin.zip"));
    SkinFile_Remove();
    ASSERT_EQ(SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(image.data()), (uint32_t)image.size(),
                                   store.file("skin.zip").c_str()),
              1);
    const Fetched stored = FetchInProcess("page.txt", 1, 0, 0, 0, "gzip");
    EXPECT_EQ(stored.code, 200);
    EXPECT_EQ(stored.body, text);
    // On the same port again at once, though the connections it closed hold it in TIME_WAIT.
    SkinWebServer_SetListenPort(SkinApp_GetWebServerHandle(), port);
    SkinWebServer_Start(SkinApp_GetWebServerHandle());
    StepUntil([] { return Port() != 0; }, Pump);
    EXPECT_EQ(Port(), port) << TakeLog();
}

} // namespace
