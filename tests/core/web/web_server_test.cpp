// Tests of the web server against real clients on 127.0.0.1: raw sockets for exact bytes,
// malformed, half-sent and never-read requests, curl as an ordinary client, socat for a slow one.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/mime.h"
#include "core/net/async_socket.h"
#include "core/platform/duplex_stream.h"
#include "core/net/socket.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_server.h"
#include "core/web/web_server_internal.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"

namespace {

class ServerEnvironment : public LogCaptureEnvironment {
  public:
    void SetUp() override {
        LogCaptureEnvironment::SetUp();
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(MIME_Init(), 1);
        ASSERT_EQ(Socket_Init(), 1);
        ASSERT_EQ(IOWorker_Init(), 1);
        ASSERT_EQ(AsyncSocket_Init(), 1);
    }
    void TearDown() override {
        AsyncSocket_Remove();
        IOWorker_Remove();
        Socket_Remove();
        MIME_Remove();
        EventQueue_Remove();
        Thread_Remove();
        LogCaptureEnvironment::TearDown();
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

double Now() {
    return Time_GetCurrent();
}

// A blocking client socket whose reads give up after a bound, so no test can hang on it.
struct Client {
    int fd = -1;
    explicit Client(uint32_t port, int32_t receiveBuffer = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        timeval tv{15, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = kLoopback;
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    }
    ~Client() {
        if (fd >= 0) close(fd);
    }
    void Send(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += (size_t)n;
        }
    }
    // Everything until the peer closes (or the bound passes; `closed` tells which).
    std::string ReadAll(bool* closed = nullptr) {
        std::string text;
        char buffer[65536];
        for (;;) {
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                if (closed) *closed = n == 0;
                return text;
            }
            text.append(buffer, (size_t)n);
        }
    }
    // One answer whose header says its length.
    std::string ReadAnswer() {
        std::string text;
        char c;
        while (text.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) text += c;
        const size_t at = text.find("Content-Length: ");
        if (at != std::string::npos) {
            size_t want = std::stoul(text.substr(at + 16));
            while (want > 0 && recv(fd, &c, 1, 0) == 1) text += c, want--;
        }
        return text;
    }
};

std::string Shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

// The answer to a request the server refuses by itself.
std::string Refusal(const char* status) {
    return std::string("HTTP/1.1 ") + status +
           "\r\nContent-Length: 0\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n";
}

class WebServerTest : public ::testing::Test {
  protected:
    WebServer* server = nullptr;
    uint32_t port = 0;
    std::mutex lock;
    std::vector<std::string> lines;
    std::atomic<int32_t> opens{0};
    std::atomic<int32_t> closes{0};
    std::map<uint32_t, double> closedAt; // by the client's port
    std::string lastFileName;
    std::string bodyRead;
    // The answer: code, announced length, body; and how many body bytes actually go out.
    int32_t code = 200;
    int64_t length = -2; // -2: the body's size
    std::string body = "hello";
    int64_t sendLimit = -1;
    std::function<void(WebServerConnection*)> onHeader = [](WebServerConnection*) {};
    bool readBody = false;

    static int64_t PrintLine(void* user, const char* format, ...) {
        char text[16384];
        va_list args;
        va_start(args, format);
        String_VPrint(text, (int32_t)sizeof(text), format, args);
        va_end(args);
        WebServerTest* t = static_cast<WebServerTest*>(user);
        std::lock_guard<std::mutex> guard(t->lock);
        t->lines.push_back(text);
        return 1;
    }
    static int64_t Open(WebServer*, void* user, WebServerConnection*) {
        static_cast<WebServerTest*>(user)->opens++;
        return 1;
    }
    static int64_t RequestHeader(WebServer* s, void* user, WebServerConnection* c) {
        WebServerTest* t = static_cast<WebServerTest*>(user);
        const char* name = nullptr;
        WebServer_ConnectionGetFilenamePtr(s, c, &name);
        std::lock_guard<std::mutex> guard(t->lock);
        t->lastFileName = name;
        return 1;
    }
    static int64_t RequestBody(WebServer* s, void* user, WebServerConnection* c, int64_t) {
        WebServerTest* t = static_cast<WebServerTest*>(user);
        char buffer[4096];
        int32_t count = 0;
        WebServer_ConnectionRequestRead(s, c, buffer, (int32_t)sizeof(buffer), &count);
        std::lock_guard<std::mutex> guard(t->lock);
        t->bodyRead.append(buffer, (size_t)count);
        return 1;
    }
    static int64_t ResponseHeader(WebServer* s, void* user, WebServerConnection* c) {
        WebServerTest* t = static_cast<WebServerTest*>(user);
        WebServer_ConnectionSetResponse(s, c, t->code, t->length == -2 ? (int64_t)t->body.size() : t->length);
        WebServer_ConnectionSetUserHandle(s, c, nullptr); // bytes sent of this answer
        t->onHeader(c);
        return 1;
    }
    static int64_t ResponseBody(WebServer* s, void* user, WebServerConnection* c, int64_t space) {
        WebServerTest* t = static_cast<WebServerTest*>(user);
        int64_t* sent = nullptr;
        WebServer_ConnectionGetUserHandle(s, c, reinterpret_cast<void**>(&sent));
        int64_t done = reinterpret_cast<intptr_t>(sent);
        const int64_t total = t->sendLimit >= 0 ? t->sendLimit : (int64_t)t->body.size();
        int64_t n = total - done;
        if (n > space) n = space;
        int32_t count = 0;
        if (n > 0) WebServer_ConnectionResponseWrite(s, c, t->body.data() + done, (int32_t)n, &count);
        done += count;
        WebServer_ConnectionSetUserHandle(s, c, reinterpret_cast<void*>((intptr_t)done));
        return done < total ? 1 : 0;
    }
    static int64_t Close(WebServer* s, void* user, WebServerConnection* c) {
        WebServerTest* t = static_cast<WebServerTest*>(user);
        uint32_t remote = 0;
        WebServer_ConnectionGetPort(s, c, &remote);
        std::lock_guard<std::mutex> guard(t->lock);
        t->closedAt[remote] = Now();
        t->closes++;
        return 1;
    }

    void Create(bool thread = true) {
        ASSERT_EQ(WebServer_Create(&server), 1);
        WebServer_SetPrintCallback(server, this, PrintLine);
        WebServer_SetUseThread(server, thread ? 1 : 0);
        WebServer_SetListenIP(server, &kLoopback);
        WebServer_SetListenPort(server, 0);
        WebServer_SetConnectionOpenCallback(server, this, Open);
        WebServer_SetConnectionRequestHeaderCallback(server, this, RequestHeader);
        WebServer_SetConnectionResponseHeaderCallback(server, this, ResponseHeader);
        WebServer_SetConnectionResponseBodyCallback(server, this, ResponseBody);
        WebServer_SetConnectionCloseCallback(server, this, Close);
        if (readBody) WebServer_SetConnectionRequestBodyCallback(server, this, RequestBody);
    }
    void Start() {
        if (!server) Create();
        ASSERT_EQ(WebServer_Start(server), 1);
        StepUntil([&] { return WebServer_GetActiveListenPort(server, &port) && port != 0; },
                  [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
        ASSERT_NE(port, 0u);
    }
    // A threaded server waits for its port; an inline one is given its first pass here.
    void StartEither(bool threaded) {
        if (threaded) return Start();
        ASSERT_EQ(WebServer_Start(server), 1);
        WebServer_Process(server);
        ASSERT_EQ(WebServer_GetActiveListenPort(server, &port), 1);
    }
    void TearDown() override {
        if (server) WebServer_Release(&server);
    }
    bool WaitFor(const std::function<bool()>& done, double seconds = 15) {
        const double end = Now() + seconds;
        while (Now() < end) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    std::string Log() {
        std::lock_guard<std::mutex> guard(lock);
        std::string all;
        for (const std::string& l : lines) all += l + "\n";
        return all;
    }
    static std::string Head(const std::string& answer) {
        return answer.substr(0, answer.find("\r\n\r\n") + 4);
    }
};

// Status lines and header order of a plain answer.
TEST_F(WebServerTest, StatusLineAndHeaderOrder) {
    onHeader = [this](WebServerConnection* c) {
        WebServer_ConnectionSetResponseHeader(server, c, "X-Owner", "%s-%d", "a", 7);
    };
    Start();
    Client client(port);
    client.Send("GET /page.html HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answer = client.ReadAll();
    // The date is checked for its form, then set aside.
    const size_t date = answer.find("Date: ") + 6;
    const size_t end = answer.find("\r\n", date);
    ASSERT_NE(end, std::string::npos);
    const std::string value = answer.substr(date, end - date);
    char day[4], month[4];
    int d = 0, y = 0, h = 0, m = 0, sec = 0, used = 0;
    EXPECT_EQ(sscanf(value.c_str(), "%3[A-Za-z], %d %3[A-Za-z] %d %d:%d:%d GMT%n", day, &d, month, &y, &h, &m, &sec, &used), 7);
    EXPECT_EQ(value.size(), 29u) << value;
    EXPECT_EQ((size_t)used, value.size());
    EXPECT_EQ(answer.substr(0, date) + "<date>" + answer.substr(end),
              "HTTP/1.1 200 OK\r\n"
              "Server: Radi-Dod (0.84)\r\n"
              "Date: <date>\r\n"
              "Content-Type: text/html\r\n"
              "X-Owner: a-7\r\n"
              "Content-Length: 5\r\n"
              "Accept-Ranges: bytes\r\n"
              "Connection: close\r\n\r\nhello");
}

TEST_F(WebServerTest, StatusTexts) {
    const struct {
        int32_t code;
        const char* line;
    } cases[] = {
        {404, "HTTP/1.1 404 Object Not Found\r\n"},
        {401, "HTTP/1.1 401 Authorization Required\r\n"},
        {418, "HTTP/1.1 418 \r\n"},
        {0, "HTTP/1.1 500 Response code not set\r\n"},
    };
    Start();
    for (const auto& k : cases) {
        code = k.code;
        Client client(port);
        client.Send("GET / HTTP/1.1\r\n\r\n");
        const std::string answer = client.ReadAll();
        EXPECT_EQ(answer.substr(0, answer.find("\r\n") + 2), k.line) << k.code;
    }
    const std::string log = Log();
    EXPECT_NE(log.find("Bad status message (0)"), std::string::npos);
    EXPECT_EQ(log.find("Bad status message (418)"), std::string::npos);
}

// curl as a client: the body arrives, and keep-alive carries two requests on one connection.
TEST_F(WebServerTest, CurlKeepAlive) {
    Create();
    WebServer_SetPersistentConnections(server, 1);
    Start();
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    const std::string out = Shell("curl -s --max-time 10 -H 'Connection: keep-alive' " + url + "/a.txt " + url + "/b.txt");
    EXPECT_EQ(out, "hellohello");
    EXPECT_EQ(opens.load(), 1);
}

// Without a "Connection" header the connection ends after the answer, also for HTTP/1.1;
// keep-alive keeps it for the next request.
TEST_F(WebServerTest, PersistenceFollowsConnectionHeader) {
    Create();
    WebServer_SetPersistentConnections(server, 1);
    Start();
    {
        Client client(port);
        client.Send("GET /x HTTP/1.1\r\n\r\nGET /y HTTP/1.1\r\n\r\n");
        bool closed = false;
        const std::string answer = client.ReadAll(&closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
    }
    Client client(port);
    client.Send("GET /x HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
    const std::string first = client.ReadAnswer();
    EXPECT_EQ(first.find("Connection:"), std::string::npos) << first;
    client.Send("GET /y HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(client.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    // The header is a list of tokens, in any case, over any number of lines: close anywhere in
    // it ends the connection.
    for (const char* close : {"Connection: keep-alive, close\r\n", "Connection: keep-alive,CLOSE \r\n",
                              "Connection: keep-alive\r\nConnection: Upgrade, Close\r\n"}) {
        Client one(port);
        one.Send(std::string("GET /x HTTP/1.1\r\n") + close + "\r\nGET /y HTTP/1.1\r\n\r\n");
        bool closed = false;
        const std::string answer = one.ReadAll(&closed);
        EXPECT_TRUE(closed) << close;
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << close;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << close;
    }
}

// One empty line before a request line is passed over (a client's extra CR LF after a body);
// a second one is no request.
TEST_F(WebServerTest, OneEmptyLineBeforeARequestIsPassedOver) {
    readBody = true;
    Create();
    WebServer_SetPersistentConnections(server, 1);
    Start();
    Client client(port);
    client.Send("POST /f HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nab\r\n");
    EXPECT_EQ(client.ReadAnswer().substr(0, 15), "HTTP/1.1 200 OK");
    client.Send("GET /next HTTP/1.1\r\nConnection: keep-alive\r\n\r\n\r\n\r\nGET /last HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.ReadAnswer().substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(client.ReadAll(), Refusal("400 Bad Request"));
    EXPECT_NE(Log().find("Request header line 1 refused: a method that is not a token"), std::string::npos);
    // The same when the empty lines come one at a time: the second is still refused.
    Client slow(port);
    for (const char* part : {"\r\n", "\r\n", "GET /late HTTP/1.1\r\n\r\n"}) {
        slow.Send(part);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(slow.ReadAll(), Refusal("400 Bad Request"));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(bodyRead, "ab");
    EXPECT_EQ(lastFileName, "/next");
}

// A header block of 8190 bytes (blank line included) is served; one of 8191 is answered 431, and
// a request line that does not end within the bound 414.
TEST_F(WebServerTest, HeaderSizeLimit) {
    Start();
    for (const size_t size : {size_t(8190), size_t(8191)}) {
        std::string request = "GET / HTTP/1.1\r\nX-Pad: ";
        request += std::string(size - request.size() - 4, 'p') + "\r\n\r\n";
        ASSERT_EQ(request.size(), size);
        Client client(port);
        client.Send(request);
        bool closed = false;
        const std::string answer = client.ReadAll(&closed);
        EXPECT_TRUE(closed);
        if (size == 8190)
            EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
        else
            EXPECT_EQ(answer, Refusal("431 Request Header Fields Too Large"));
    }
    Client client(port);
    client.Send("GET /" + std::string(10000, 't') + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.ReadAll(), Refusal("414 URI Too Long"));
    const std::string log = Log();
    EXPECT_NE(log.find("Request header refused: a header block too large"), std::string::npos) << log;
    EXPECT_NE(log.find("Request header refused: a request line too long"), std::string::npos) << log;
}

// A client that keeps sending header lines without ending them is answered at the limit, not
// waited for until its time-out; so is one sending a thousand lines or more.
TEST_F(WebServerTest, EndlessHeaderIsCutOff) {
    Start();
    for (const std::string& line : {std::string("X-Pad: ") + std::string(100, 'p') + "\r\n", std::string("a:\r\n")}) {
        Client client(port);
        std::string lines;
        while (lines.size() < 20000) lines += line;
        client.Send("GET / HTTP/1.1\r\n" + lines);
        bool closed = false;
        EXPECT_EQ(client.ReadAll(&closed), Refusal("431 Request Header Fields Too Large"));
        EXPECT_TRUE(closed);
    }
}

// Request lines that cannot be read are answered as HTTP/1.1 says, and never reach the owner:
// the method is a token, the target visible characters, the version HTTP/1.x, in three words.
TEST_F(WebServerTest, RequestLinesThatCannotBeReadAreAnswered) {
    Start();
    const struct {
        std::string Line;
        const char* Answer;
        const char* Why;
    } cases[] = {
        {"GET /", "400 Bad Request", "a target that is not visible characters"},
        {"GET / HTTP1.1", "400 Bad Request", "a version that is not HTTP/x.y"},
        {"", "400 Bad Request", "a method that is not a token"},
        {std::string("G\x01T / HTTP/1.1"), "400 Bad Request", "a method that is not a token"},
        {std::string("GET /a\x01b HTTP/1.1"), "400 Bad Request", "a target that is not visible characters"},
        {"GET /a\x1b[31mRED HTTP/1.1", "400 Bad Request", "a target that is not visible characters"},
        {"GET /a\x7f HTTP/1.1", "400 Bad Request", "a target that is not visible characters"},
        {"GET /a\xc3\xa9 HTTP/1.1", "400 Bad Request", "a target that is not visible characters"},
        {"GET  / HTTP/1.1", "400 Bad Request", "a method that is not a token"},
        {"GET\t/ HTTP/1.1", "400 Bad Request", "a method that is not a token"},
        {"GET / HTTP/1.1 x", "400 Bad Request", "more than three words"},
        {"GET / HTTP/1.1\x01", "400 Bad Request", "a control character"},
        {"GET / FOO/1.1", "400 Bad Request", "a version that is not HTTP/x.y"},
        {"GET / http/1.1", "400 Bad Request", "a version that is not HTTP/x.y"},
        {"GET / HTTP/1.10", "400 Bad Request", "a version that is not HTTP/x.y"},
        {"GET / HTTP/2.0", "505 HTTP Version Not Supported", "a version other than HTTP/1.x"},
        {"GET / HTTP/0.9", "505 HTTP Version Not Supported", "a version other than HTTP/1.x"},
        {std::string(80, 'M') + " / HTTP/1.1", "501 Not Implemented", "a method longer than any served"},
    };
    for (const auto& c : cases) {
        Client client(port);
        client.Send(c.Line + "\r\nHost: x\r\n\r\n");
        bool closed = false;
        EXPECT_EQ(client.ReadAll(&closed), Refusal(c.Answer)) << c.Line;
        EXPECT_TRUE(closed);
        EXPECT_NE(Log().find(std::string("Request header line 1 refused: ") + c.Why), std::string::npos) << c.Line;
    }
    // The longest method served, and HTTP/1.0, are read.
    for (const std::string& line : {std::string(79, 'M') + " /m HTTP/1.1", std::string("GET /v HTTP/1.0")}) {
        Client client(port);
        client.Send(line + "\r\n\r\n");
        EXPECT_EQ(client.ReadAll().substr(0, 15), "HTTP/1.1 200 OK") << line;
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(lastFileName, "/v");
}

// Lengths that cannot be read or disagree get 400, and nothing after the header is taken for a
// request: where the body ends would be a guess. A body announced past the bound gets 413 before
// any of it is read. Either way the connection ends after the answer, keep-alive or not.
TEST_F(WebServerTest, BadOrOverlongLengthsAreAnsweredAndEndTheConnection) {
    readBody = true;
    Create();
    WebServer_SetPersistentConnections(server, 1);
    WebServer_SetMaxRequestBody(server, 100);
    Start();
    const std::string smuggled = "GET /smuggled HTTP/1.1\r\n\r\n";
    const struct {
        std::string Request;
        const char* Answer;
    } cases[] = {
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 1x\r\n\r\n", "400 Bad Request"},
        // A length of 0 is a length like any other: a second, different one is refused.
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 0\r\nContent-Length: " +
             std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled,
         "400 Bad Request"},
        // Nineteen digits could pass the signed range: never read as a length, nor as none.
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 9999999999999999999\r\n\r\n" + smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 5\r\ncontent-length: 10\r\n\r\nhello" +
             smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 5\r\nContent-Length: 5, 5\r\n\r\nhello",
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 101\r\n\r\n" + std::string(101, 'x') +
             smuggled,
         "413 Payload Too Large"},
        // Lines other readers split or name differently: whichever framing they see, this server
        // would see another, so the block is refused whole.
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length : 26\r\n\r\n" + smuggled, "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nX: y\nContent-Length: 26\r\n\r\n" + smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding : chunked\r\n\r\n" + smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nX: y\r\n Content-Length: 26\r\n\r\n" + smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nX\x01Y: z\r\n\r\n" + smuggled, "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nNo colon here\r\n\r\n" + smuggled, "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nX: a\x7f\r\n\r\n" + smuggled, "400 Bad Request"},
        {"POST / HTTP/1.1\nConnection: keep-alive\nContent-Length: 26\n\n" + smuggled, "400 Bad Request"},
        // Codings: only chunked alone, stated once, and never beside a length.
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + smuggled,
         "501 Not Implemented"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked;x\r\n\r\n" + smuggled,
         "400 Bad Request"},
        // Where a chunked body ends is known only where it is read: a POST's, in HTTP/1.1.
        {"PUT / HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
         "411 Length Required"},
        {"POST / HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: "
         "chunked\r\n\r\n0\r\n\r\n" + smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 26\r\nTransfer-Encoding: chunked\r\n\r\n" +
             smuggled,
         "400 Bad Request"},
        // A length of 0 beside chunked is no less a second framing, whichever comes first.
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n"
         "1a\r\n" + smuggled + "\r\n0\r\n\r\n" + smuggled,
         "400 Bad Request"},
        {"POST / HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\nContent-Length: 0\r\n\r\n"
         "1a\r\n" + smuggled + "\r\n0\r\n\r\n" + smuggled,
         "400 Bad Request"},
    };
    for (const auto& c : cases) {
        Client client(port);
        client.Send(c.Request);
        bool closed = false;
        EXPECT_EQ(client.ReadAll(&closed), std::string("HTTP/1.1 ") + c.Answer +
                                               "\r\nContent-Length: 0\r\nAccept-Ranges: bytes\r\n"
                                               "Connection: close\r\n\r\n")
            << c.Request.substr(0, 80);
        EXPECT_TRUE(closed);
    }
    const std::string log = Log();
    EXPECT_NE(log.find("Request body too large (101 bytes)"), std::string::npos);
    for (const char* line : {"Request header line 3 refused: whitespace in the name or before the colon",
                             "Request header line 3 refused: a bare CR or LF",
                             "Request header line 4 refused: a folded continuation line",
                             "Request header line 1 refused: a bare CR or LF",
                             "Request header line 3 refused: a Transfer-Encoding other than chunked",
                             "Request header line 4 refused: a second, different Content-Length",
                             "Request header line 3 refused: a Content-Length that is not a length",
                             "Request header refused: a chunked body on a request whose body is not read",
                             "Request header refused: a Transfer-Encoding in an HTTP/1.0 request",
                             "Request header line 4 refused: a second Transfer-Encoding",
                             "Request header refused: both Content-Length and Transfer-Encoding"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(bodyRead, "");
    EXPECT_NE(lastFileName, "/smuggled");
}

// Without a bound of its own the server still has one.
TEST_F(WebServerTest, ABodyPastTheDefaultBoundGets413) {
    Start();
    Client client(port);
    client.Send("POST / HTTP/1.1\r\nContent-Length: " + std::to_string((16 << 20) + 1) + "\r\n\r\n");
    EXPECT_EQ(client.ReadAll().substr(0, 13), "HTTP/1.1 413 ");
}

// A POST body nobody reads is discarded and answered with 405 (a length stated twice alike is one).
TEST_F(WebServerTest, UnreadPostBodyGets405) {
    Start();
    for (const char* lengths : {"Content-Length: 10\r\n", "Content-Length: 10\r\nContent-Length: 10\r\n"}) {
        Client client(port);
        client.Send(std::string("POST /f HTTP/1.1\r\n") + lengths + "\r\n0123456789");
        EXPECT_EQ(client.ReadAll(), "HTTP/1.1 405 \r\nContent-Length: 0\r\nAccept-Ranges: bytes\r\n"
                                    "Connection: close\r\n\r\n");
    }
}

// The body read stops at the announced length, whatever follows it.
TEST_F(WebServerTest, BodyReadStopsAtLength) {
    readBody = true;
    Create();
    WebServer_SetPersistentConnections(server, 1);
    Start();
    Client client(port);
    client.Send("POST /f HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 10\r\n\r\n0123456789"
                "GET /next HTTP/1.1\r\nConnection: close\r\n\r\n");
    const std::string answers = client.ReadAll();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(bodyRead, "0123456789");
    EXPECT_NE(answers.find("HTTP/1.1", 10), std::string::npos) << answers;
}

// A body the server does not read (a PUT's, a chunked one that is no chunks) must not be taken
// for a request: the connection ends after the one answer.
TEST_F(WebServerTest, UnreadBodyEndsConnection) {
    Create();
    WebServer_SetPersistentConnections(server, 1);
    Start();
    const std::string inner = "GET /smuggled HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
    const std::string requests[] = {
        "PUT /f HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: " + std::to_string(inner.size()) + "\r\n\r\n" +
            inner,
        "POST /f HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n" + inner,
    };
    for (const std::string& request : requests) {
        Client client(port);
        client.Send(request);
        bool closed = false;
        const std::string answer = client.ReadAll(&closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_NE(lastFileName, "/smuggled");
}

// A chunked body is decoded for the owner (extensions and trailer read past), and the connection
// goes on after it; one past the bound, or not framed as chunks, is answered and ends it.
TEST_F(WebServerTest, ChunkedBodyIsDecodedWithinTheBound) {
    readBody = true;
    Create();
    WebServer_SetPersistentConnections(server, 1);
    WebServer_SetMaxRequestBody(server, 16);
    Start();
    {
        Client client(port);
        client.Send("POST /f HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhel");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client.Send("lo\r\n6;name=\"v\"\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\nGET /next HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client.ReadAnswer().substr(0, 15), "HTTP/1.1 200 OK");
        EXPECT_EQ(client.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(bodyRead, "hello world");
        EXPECT_EQ(lastFileName, "/next");
        bodyRead.clear();
    }
    // curl sends a body of unknown length from its input in chunks.
    const std::string out = Shell("printf 'from curl' | curl -s --max-time 10 -H 'Transfer-Encoding: chunked' "
                                  "--data-binary @- http://127.0.0.1:" + std::to_string(port) + "/f");
    EXPECT_EQ(out, "hello");
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(bodyRead, "from curl");
    }
    const struct {
        const char* Body;
        const char* Answer;
        const char* Why;
    } cases[] = {
        {"11\r\n", "413 Payload Too Large", "Request body too large (chunked)"},
        {"8\r\n12345678\r\n9\r\n", "413 Payload Too Large", "Request body too large (chunked)"},
        {"ffffffffffffffff\r\n", "413 Payload Too Large", "Request body too large (chunked)"},
        {"00000000000000005\r\nhello\r\n0\r\n\r\n", "400 Bad Request",
         "Request body refused: a chunk size that is not hexadecimal"},
        {"x\r\n", "400 Bad Request", "Request body refused: a chunk size that is not hexadecimal"},
        {"5 x\r\nhello\r\n0\r\n\r\n", "400 Bad Request", "Request body refused: a chunk size that is not hexadecimal"},
        {"5\nhello\r\n0\r\n\r\n", "400 Bad Request", "Request body refused: a chunk size line that is not one line"},
        {"5\r\nhelloXY0\r\n\r\n", "400 Bad Request", "Request body refused: no CR LF after a chunk's data"},
        {"0\r\nno field\r\n\r\n", "400 Bad Request", "Request body refused: a trailer line that is no field"},
    };
    for (const auto& c : cases) {
        Client client(port);
        client.Send(std::string("POST /f HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n") +
                    c.Body + "GET /smuggled HTTP/1.1\r\n\r\n");
        bool closed = false;
        EXPECT_EQ(client.ReadAll(&closed), Refusal(c.Answer)) << c.Body;
        EXPECT_TRUE(closed);
        EXPECT_NE(Log().find(c.Why), std::string::npos) << c.Body;
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_NE(lastFileName, "/smuggled");
}

// Without an owner that reads bodies, a chunked one is decoded to its end and answered 405, and
// the connection goes on.
TEST_F(WebServerTest, UnreadChunkedBodyGets405) {
    Create();
    WebServer_SetPersistentConnections(server, 1);
    Start();
    Client client(port);
    client.Send("POST /f HTTP/1.1\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
                "3\r\nabc\r\n0\r\n\r\nGET /next HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.ReadAnswer(), "HTTP/1.1 405 \r\nContent-Length: 0\r\nAccept-Ranges: bytes\r\n\r\n");
    EXPECT_EQ(client.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(lastFileName, "/next");
}

// A length of -1: no Content-Length, the body ends with the close, keep-alive or not.
TEST_F(WebServerTest, UnknownLengthEndsWithClose) {
    length = -1;
    Create();
    WebServer_SetPersistentConnections(server, 1);
    Start();
    Client client(port);
    client.Send("GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    bool closed = false;
    const std::string answer = client.ReadAll(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(answer.find("Content-Length"), std::string::npos);
    EXPECT_NE(answer.find("Connection: close\r\n\r\nhello"), std::string::npos) << answer;
}

// An owner that ends before writing the announced length gets its connection closed.
TEST_F(WebServerTest, ShortBodyCloses) {
    body = "0123456789";
    sendLimit = 4;
    Start();
    Client client(port);
    client.Send("GET / HTTP/1.1\r\n\r\n");
    bool closed = false;
    const std::string answer = client.ReadAll(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(answer.find("0123456789"), std::string::npos) << answer;
}

// A write larger than the free space queues what fits and says so.
TEST_F(WebServerTest, WriteQueuesWhatFits) {
    std::atomic<int32_t> first{-1};
    onHeader = [this, &first](WebServerConnection* c) {
        const std::string big(3 << 20, 'b');
        int32_t count = 0;
        WebServer_ConnectionResponseWrite(server, c, big.data(), (int32_t)big.size(), &count);
        first = count;
        WebServer_SetConnectionResponseBodyCallback(server, nullptr, nullptr);
    };
    length = -1;
    Start();
    Client client(port);
    client.Send("GET / HTTP/1.1\r\n\r\n");
    const std::string answer = client.ReadAll();
    EXPECT_GT(first.load(), 0);
    EXPECT_LT(first.load(), 3 << 20);
    EXPECT_EQ(answer.size() - Head(answer).size(), (size_t)first.load());
}

TEST_F(WebServerTest, EmptyPathServesDefaultDocument) {
    Create();
    WebServer_SetDefaultDocument(server, "index.htm");
    Start();
    Client client(port);
    client.Send("GET http://127.0.0.1 HTTP/1.1\r\n\r\n");
    client.ReadAll();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(lastFileName, "index.htm");
}

// Each lingering connection gets its own grace time: a later one entering Linger must not
// extend an earlier one's.
TEST_F(WebServerTest, LingerCountsFromEachConnectionsOwnEntry) {
    Start();
    Client a(port);
    Client b(port);
    sockaddr_in local{};
    socklen_t size = sizeof(local);
    getsockname(a.fd, reinterpret_cast<sockaddr*>(&local), &size);
    const uint32_t aPort = ntohs(local.sin_port);
    // Neither client closes after the answer: both connections linger.
    const double start = Now();
    a.Send("GET / HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    b.Send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return closes.load() >= 1; }, 12));
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(closedAt.count(aPort), 1u);
    EXPECT_LT(closedAt[aPort] - start, 7.0);
    EXPECT_GE(closedAt[aPort] - start, 4.5);
}

// A client that never reads a long answer is dropped at its time-out, not kept for ever while
// its bytes wait.
TEST_F(WebServerTest, ClientThatNeverReadsTimesOut) {
    body.assign(8 << 20, 'z');
    Create();
    WebServer_SetTimeout(server, 1);
    Start();
    Client client(port, 4096);
    client.Send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(WaitFor([&] { return closes.load() == 1; }, 15));
    EXPECT_NE(Log().find("Timeout ["), std::string::npos);
}

// A request cut short (socat sends half a header, then waits) is closed at the time-out.
TEST_F(WebServerTest, HalfSentRequestTimesOut) {
    Create();
    WebServer_SetTimeout(server, 1);
    Start();
    const double start = Now();
    Shell("(printf 'GET / HTTP/1.1\\r\\nHost: x'; sleep 5) | timeout 10 socat -t 10 - TCP:127.0.0.1:" +
        std::to_string(port) + " >/dev/null 2>&1 &");
    ASSERT_TRUE(WaitFor([&] { return closes.load() == 1; }, 10));
    EXPECT_LT(Now() - start, 4.5);
}

// A slow client that sends its request a byte at a time is served.
TEST_F(WebServerTest, SlowClientIsServed) {
    Start();
    const std::string out = Shell("(for c in G E T ' ' / ' ' H T T P / 1 . 1; do printf '%s' \"$c\"; sleep 0.05; done;"
                                " printf '\\r\\n\\r\\n'; sleep 2) | timeout 10 socat -t 5 - TCP:127.0.0.1:" +
                                std::to_string(port));
    EXPECT_EQ(out.substr(0, 15), "HTTP/1.1 200 OK") << out;
}

// With the first listed port taken, the next attempt listens on the next one.
TEST_F(WebServerTest, ListenFallsBackToNextPort) {
    Create(false);
    AsyncSocket* taken = nullptr;
    AsyncSocket_Create(&taken);
    ASSERT_EQ(AsyncSocket_Open(taken, 1), 1);
    ASSERT_EQ(AsyncSocket_Bind(taken, &kLoopback, 0), 1);
    ASSERT_EQ(AsyncSocket_Listen(taken, 1), 1);
    uint32_t address = 0, takenPort = 0;
    AsyncSocket_GetLocalIP(taken, &address, &takenPort);
    std::atomic<uint32_t> changed{0};
    WebServer_SetListenChangedCallback(server, &changed,
                                       [](WebServer*, void* user, const uint32_t*, uint32_t p) -> int64_t {
                                           static_cast<std::atomic<uint32_t>*>(user)->store(p);
                                           return 1;
                                       });
    WebServer_SetListenPort(server, takenPort);
    WebServer_AddListenPort(server, 0);
    WebServer_SetListenAttemptWait(server, 0);
    ASSERT_EQ(WebServer_Start(server), 1);
    WebServer_Process(server);
    uint32_t active = 0;
    EXPECT_EQ(WebServer_GetActiveListenPort(server, &active), 0);
    EXPECT_NE(Log().find("Unable to bind for listen (127.0.0.1:" + std::to_string(takenPort) + ")"), std::string::npos)
        << Log();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WebServer_Process(server);
    EXPECT_EQ(WebServer_GetActiveListenPort(server, &active), 1);
    EXPECT_NE(active, takenPort);
    EXPECT_EQ(changed.load(), active);
    AsyncSocket_Close(taken);
    AsyncSocket_Release(&taken);
}

// The ports the system hands out for outgoing connections: a port outside them is taken by no
// other process's connection between a stop and a restart.
std::pair<uint32_t, uint32_t> EphemeralPorts() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    uint32_t low = 32768, high = 60999;
    range >> low >> high;
    return {low, high};
}

// A restart listens on its port again at once, though the connection it closed holds the port in
// TIME_WAIT. The port is one no outgoing connection is given; a port another listener holds is
// passed over at the first start only.
TEST_F(WebServerTest, RestartTakesItsPortAgain) {
    const auto [low, high] = EphemeralPorts();
    std::vector<uint32_t> candidates;
    for (uint32_t p = 20000 + (uint32_t)(getpid() % 4000); candidates.size() < 40; p += 97) {
        const uint32_t q = 1024 + p % (65536 - 1024);
        if (q < low || q > high) candidates.push_back(q);
    }
    Create();
    WebServer_SetListenAttemptWait(server, 0);
    uint32_t first = 0;
    for (const uint32_t candidate : candidates) {
        WebServer_SetListenPort(server, candidate);
        ASSERT_EQ(WebServer_Start(server), 1);
        const std::string refused = "Unable to bind for listen (127.0.0.1:" + std::to_string(candidate) + ")";
        StepUntil([&] { return (WebServer_GetActiveListenPort(server, &port) && port != 0) ||
                               Log().find(refused) != std::string::npos; },
                  [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
        if (WebServer_GetActiveListenPort(server, &port) && port == candidate) {
            first = candidate;
            break;
        }
        ASSERT_NE(Log().find(refused), std::string::npos) << Log();
        ASSERT_EQ(WebServer_Stop(server), 1);
    }
    ASSERT_NE(first, 0u) << Log();
    {
        Client client(port);
        client.Send("GET / HTTP/1.1\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(client.ReadAll().substr(0, 17), "HTTP/1.1 200 OK\r\n");
    }
    ASSERT_EQ(WebServer_Stop(server), 1);
    port = 0;
    Start();
    EXPECT_EQ(port, first) << Log();
}

// The listener's port is its own: another socket asking to share it (as one more server on the
// port would, to be handed a part of its connections) is refused, and so is a second server.
TEST_F(WebServerTest, NoOtherListenerSharesThePort) {
    Start();
    const int other = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(other, 0);
    const int on = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    ASSERT_EQ(setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = kLoopback;
    EXPECT_NE(bind(other, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_EQ(errno, EADDRINUSE);
    close(other);

    WebServer* second = nullptr;
    ASSERT_EQ(WebServer_Create(&second), 1);
    WebServer_SetPrintCallback(second, this, PrintLine);
    WebServer_SetListenIP(second, &kLoopback);
    WebServer_SetListenPort(second, port);
    ASSERT_EQ(WebServer_Start(second), 1);
    WebServer_Process(second);
    uint32_t active = 0;
    EXPECT_EQ(WebServer_GetActiveListenPort(second, &active), 0);
    EXPECT_NE(Log().find("Unable to bind for listen (127.0.0.1:" + std::to_string(port) + ")"), std::string::npos)
        << Log();
    WebServer_Release(&second);
    // The first server still has every connection.
    for (int i = 0; i < 8; i++) {
        Client client(port);
        client.Send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    }
    EXPECT_EQ(opens.load(), 8);
}

// At the bound on connections the server accepts no more: the next client waits in the listen
// queue, unanswered, and is served once a connection is freed.
TEST_F(WebServerTest, ClientsPastTheConnectionBoundWaitForAFreedOne) {
    Create();
    WebServer_SetMaxConnections(server, 2);
    Start();
    auto first = std::make_unique<Client>(port);
    Client second(port);
    ASSERT_TRUE(WaitFor([&] { return opens.load() == 2; }));
    Client third(port);
    third.Send("GET / HTTP/1.1\r\n\r\n");
    // Long enough for an accept to happen many times over: none may.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(server->Live.load(), 2u);
    EXPECT_EQ(opens.load(), 2);
    first.reset();
    EXPECT_EQ(third.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(opens.load(), 3);
    EXPECT_LE(server->Live.load(), 2u);
}

// A pass that frees a connection while the reactor's accepts fill the bound again leaves the
// listener stopped: the next client waits in the queue instead of being taken and dropped. An
// inline server's passes run only here, so the accepts are made to land inside one: the older
// connection's answer waits for them, after the newer, closed one was freed earlier in that pass.
TEST_F(WebServerTest, AConnectionFreedWhileTheBoundFillsAgainLeavesTheListenerStopped) {
    Create(false);
    WebServer_SetMaxConnections(server, 3);
    ASSERT_NO_FATAL_FAILURE(StartEither(false));
    const auto passUntil = [&](const std::function<bool()>& done) {
        return WaitFor([&] {
            WebServer_Process(server);
            return done();
        });
    };
    auto held = std::make_unique<Client>(port);
    ASSERT_TRUE(passUntil([&] { return opens.load() == 1; }));
    auto gone = std::make_unique<Client>(port);
    ASSERT_TRUE(passUntil([&] { return opens.load() == 2; }));
    // Closed by its pass, freed by the next one, which looks at it before the older connection.
    gone.reset();
    ASSERT_TRUE(passUntil([&] { return closes.load() == 1; }));
    held->Send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] {
        for (WebServerConnection* c = server->Head; c; c = c->Next) {
            int32_t used = 0;
            if (!c->Closed && DuplexStream_ReadGetBufferUsed(c->Stream, &used) && used > 0) return true;
        }
        return false;
    }));
    std::vector<std::unique_ptr<Client>> late;
    bool filled = false;
    onHeader = [&](WebServerConnection*) {
        for (int i = 0; i < 2; i++) late.push_back(std::make_unique<Client>(port));
        filled = WaitFor([&] { return server->Live.load() == 3; });
    };
    WebServer_Process(server);
    ASSERT_TRUE(filled) << server->Live.load();
    onHeader = [](WebServerConnection*) {};
    Client next(port);
    pollfd watched = {next.fd, POLLIN, 0};
    EXPECT_EQ(poll(&watched, 1, 500), 0) << "the client past the bound was taken and dropped";
    EXPECT_EQ(server->Live.load(), 3u);
}

// A header that trickles in a byte at a time is closed at the header's time limit, though it is
// never idle for long and the server has no idle time-out; so is a client that sends nothing.
// A kept connection waiting for its next request is not: that time counts from its first byte.
TEST_F(WebServerTest, AHeaderNotWholeInItsTimeIsClosed) {
    Create();
    WebServer_SetTimeout(server, 0);
    WebServer_SetPersistentConnections(server, 1);
    WebServer_SetHeaderTimeout(server, 1.0);
    Start();
    Client kept(port);
    kept.Send("GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(kept.ReadAnswer().substr(0, 15), "HTTP/1.1 200 OK");
    {
        Client silent(port);
        Client trickling(port);
        trickling.Send("GET / HTTP/1.1\r\n");
        const bool closed = StepUntil([&] { return closes.load() == 2; },
                                      [&] {
                                          trickling.Send("X");
                                          std::this_thread::sleep_for(std::chrono::milliseconds(100));
                                      },
                                      20);
        EXPECT_TRUE(closed) << Log();
    }
    EXPECT_NE(Log().find("Request header timeout ["), std::string::npos) << Log();
    // The kept connection has been idle past the limit all along, and still answers.
    kept.Send("GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(kept.ReadAnswer().substr(0, 15), "HTTP/1.1 200 OK");
}

// A header line that comes in pieces is read on from where the last look stopped: however the
// block arrives, its bytes are gone over once, and it reads as it does whole.
TEST_F(WebServerTest, AHeaderLineInPiecesIsReadOnce) {
    Create();
    WebServerConnection* c = nullptr;
    ASSERT_EQ(WebServer_ConnectionCreateDetached(server, &c), 1);
    const std::string value(7990, 'v');
    const std::string line = "X-Long: " + value + "\r\n";
    ASSERT_EQ(line.size(), 8000u);
    const std::string blocks[] = {
        "GET /a HTTP/1.1\r\n" + line + "Host: x\r\n\r\n",
        "GET /" + std::string(7980, 't') + " HTTP/1.1\r\nHost: x\r\n\r\n",
    };
    for (const std::string& block : blocks) {
        for (const size_t piece : {block.size(), size_t(1), size_t(7), size_t(4096)}) {
            WebServer_ConnectionReset(c);
            const uint8_t* data = reinterpret_cast<const uint8_t*>(block.data());
            int64_t read = 0;
            int32_t end = 0;
            for (size_t used = std::min(piece, block.size()); read == 0; used = std::min(used + piece, block.size())) {
                read = WebServer_ConnectionReadHeaderBytes(c, data, (int32_t)used, &end);
                if (used == block.size()) break;
            }
            ASSERT_EQ(read, 1) << piece;
            EXPECT_EQ(end, (int32_t)block.size());
            EXPECT_EQ(c->HeaderScanned, block.size()) << "pieces of " << piece;
            char host[8];
            EXPECT_EQ(WebServer_ConnectionGetRequestHeader(server, c, "Host", host, (int32_t)sizeof(host)), 1);
            EXPECT_STREQ(host, "x");
        }
    }
    std::string got(8000, 0);
    EXPECT_EQ(WebServer_ConnectionGetRequestHeader(server, c, "X-Long", got.data(), (int32_t)got.size()), 0);
    WebServer_ConnectionReset(c);
    const std::string& block = blocks[0];
    for (int32_t used = 1; used <= (int32_t)block.size(); used++) {
        int32_t end = 0;
        if (WebServer_ConnectionReadHeaderBytes(c, reinterpret_cast<const uint8_t*>(block.data()), used, &end)) break;
    }
    EXPECT_EQ(WebServer_ConnectionGetRequestHeader(server, c, "X-Long", got.data(), (int32_t)got.size()), 1);
    EXPECT_EQ(std::string(got.c_str()), value);
    // What is refused is still refused as soon as it is seen, not at the line's end.
    const std::string method(200, 'M');
    WebServer_ConnectionReset(c);
    int64_t read = 0;
    int32_t used = 0;
    for (; used < (int32_t)method.size() && read == 0; used++) {
        int32_t end = 0;
        read = WebServer_ConnectionReadHeaderBytes(c, reinterpret_cast<const uint8_t*>(method.data()), used + 1, &end);
    }
    EXPECT_EQ(read, -1);
    EXPECT_EQ(used, 80);
    EXPECT_EQ(c->ResponseCode, 501);
    WebServer_ConnectionFreeDetached(&c);
}

// The server of OutOfDescriptorsTheServerWaitsAndServesLater, in a process of its own with 64
// descriptors: it says its port on descriptor 3 and serves until its standard input ends.
TEST_F(WebServerTest, DescriptorLimitChild) {
    if (!getenv("QVR_WEB_SERVER_FD_CHILD")) GTEST_SKIP() << "run by OutOfDescriptorsTheServerWaitsAndServesLater";
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    Start();
    const std::string said = "port " + std::to_string(port) + "\n";
    ASSERT_EQ(write(3, said.data(), said.size()), (ssize_t)said.size());
    char byte = 0;
    while (read(0, &byte, 1) > 0) {
    }
}

// CPU seconds a process has used so far.
double ProcessSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    // Past the state and ten more fields come utime and stime.
    for (int i = 0; i < 13 && fields >> field; i++)
        if (i >= 11) ticks += std::stod(field);
    return ticks / (double)sysconf(_SC_CLK_TCK);
}

int32_t OpenDescriptors(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir) return -1;
    int32_t count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') count++;
    closedir(dir);
    return count;
}

// With every descriptor taken by clients that never finish their header, the server waits for
// one to be freed instead of asking for connections again at once: it stays idle (its CPU time
// over a few seconds is far below what asking in a loop costs), and serves the next client once
// the slow ones are gone.
TEST(WebServerDescriptors, OutOfDescriptorsTheServerWaitsAndServesLater) {
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe2(toChild, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(fromChild, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 3);
    std::string filter = "--gtest_filter=WebServerTest.DescriptorLimitChild";
    std::string self = "/proc/self/exe";
    char* argv[] = {self.data(), filter.data(), nullptr};
    std::vector<std::string> variables = {"QVR_WEB_SERVER_FD_CHILD=1"};
    for (char** e = environ; *e; e++) variables.push_back(*e);
    std::vector<char*> env;
    for (std::string& v : variables) env.push_back(v.data());
    env.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    ASSERT_EQ(spawned, 0);
    std::string said;
    StepUntil([&] { return said.find('\n') != std::string::npos; },
              [&] {
                  pollfd p{fromChild[0], POLLIN, 0};
                  char buffer[64];
                  if (poll(&p, 1, 100) == 1) {
                      const ssize_t n = read(fromChild[0], buffer, sizeof(buffer));
                      if (n > 0) said.append(buffer, (size_t)n);
                      if (n == 0) said += "ended\n";
                  }
              });
    uint32_t port = 0;
    if (said.rfind("port ", 0) == 0) port = (uint32_t)std::stoul(said.substr(5));
    EXPECT_NE(port, 0u) << said;
    if (port != 0) {
        std::vector<std::unique_ptr<Client>> slow;
        for (int i = 0; i < 100; i++) {
            slow.push_back(std::make_unique<Client>(port));
            slow.back()->Send("GET / HTTP/1.1\r\nX: ");
        }
        // Every descriptor of the server is in use: the next accept finds none.
        EXPECT_TRUE(StepUntil([&] { return OpenDescriptors(pid) >= 64; },
                              [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }));
        const double before = ProcessSeconds(pid);
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double used = ProcessSeconds(pid) - before;
        EXPECT_LT(used, 1.0) << "CPU seconds in 3 s out of descriptors";
        slow.clear();
        Client next(port);
        next.Send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(next.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    }
    close(toChild[1]);
    int status = -1;
    const bool ended = StepUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                 [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(fromChild[0]);
}

// An inline server answers through passes on its owner's thread.
TEST_F(WebServerTest, InlineServerAnswers) {
    Create(false);
    ASSERT_EQ(WebServer_Start(server), 1);
    WebServer_Process(server);
    ASSERT_EQ(WebServer_GetActiveListenPort(server, &port), 1);
    std::string answer;
    std::thread client([&] {
        Client c(port);
        c.Send("GET / HTTP/1.1\r\n\r\n");
        answer = c.ReadAll();
    });
    const double end = Now() + 10;
    while (closes.load() == 0 && Now() < end) {
        WebServer_Process(server);
        EventQueue_Flush(nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    client.join();
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(WebServer_IsOn(server, Thread_GetCurrentId()), 1);
}

// A burst of connections of one request each, on a server of either kind: every one is opened,
// answered whole and closed once.
TEST_F(WebServerTest, BurstOfOneRequestConnectionsAllAnswered) {
    constexpr int32_t kCount = 40;
    for (const bool threaded : {true, false}) {
        SCOPED_TRACE(threaded ? "threaded" : "inline");
        opens = 0;
        closes = 0;
        Create(threaded);
        ASSERT_NO_FATAL_FAILURE(StartEither(threaded));
        std::atomic<int32_t> whole{0};
        std::thread clients([&] {
            std::vector<std::unique_ptr<Client>> all;
            for (int32_t i = 0; i < kCount; i++) {
                all.push_back(std::make_unique<Client>(port));
                all.back()->Send("GET /a.txt HTTP/1.1\r\nConnection: close\r\n\r\n");
            }
            for (auto& c : all) {
                const std::string answer = c->ReadAll();
                whole += answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && answer.size() > 5 &&
                         answer.compare(answer.size() - 5, 5, "hello") == 0;
            }
        });
        const double end = Now() + 20;
        while (closes.load() < kCount && Now() < end) {
            if (!threaded) {
                WebServer_Process(server);
                EventQueue_Flush(nullptr);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        clients.join();
        EXPECT_EQ(whole.load(), kCount);
        EXPECT_EQ(opens.load(), kCount);
        EXPECT_EQ(closes.load(), kCount);
        WebServer_Release(&server);
        port = 0;
    }
}

// Connections accepted but not yet taken over by a pass are closed, and freed, by the stop.
TEST_F(WebServerTest, StopClosesConnectionsNoPassHasSeen) {
    constexpr int32_t kCount = 5;
    Create(false);
    ASSERT_EQ(WebServer_Start(server), 1);
    WebServer_Process(server);
    ASSERT_EQ(WebServer_GetActiveListenPort(server, &port), 1);
    std::vector<std::unique_ptr<Client>> all;
    for (int32_t i = 0; i < kCount; i++) {
        all.push_back(std::make_unique<Client>(port));
        all.back()->Send("GET / HTTP/1.1\r\n\r\n");
    }
    // The accepts run on the reactor's thread; no pass runs meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WebServer_Release(&server);
    EXPECT_EQ(opens.load(), 0);
    EXPECT_EQ(closes.load(), kCount);
    for (auto& c : all) {
        bool closed = false;
        EXPECT_EQ(c->ReadAll(&closed), "");
        EXPECT_TRUE(closed);
    }
    EventQueue_Flush(nullptr);
}

// Keep-alive on a server of either kind: two requests sent at once and a third after the server
// went idle are all answered on the one connection, each with the whole of a body many times
// the size of the buffers, to a client that takes it in small reads.
TEST_F(WebServerTest, PipelinedAndLaterRequestsGetWholeBodies) {
    for (const bool threaded : {true, false}) {
        SCOPED_TRACE(threaded ? "threaded" : "inline");
        body.resize(3 * 1024 * 1024 + 7);
        for (size_t i = 0; i < body.size(); i++) body[i] = (char)('a' + (i * 7 + i / 4093) % 26);
        opens = 0;
        port = 0;
        Create(threaded);
        WebServer_SetPersistentConnections(server, 1);
        ASSERT_NO_FATAL_FAILURE(StartEither(threaded));
        std::vector<std::string> answers;
        std::atomic<bool> done{false};
        std::thread client([&] {
            Client c(port, 4096);
            // The header a byte at a time, then the announced body in reads of at most 1000 bytes.
            auto read = [&] {
                std::string text;
                char one;
                while (text.find("\r\n\r\n") == std::string::npos && recv(c.fd, &one, 1, 0) == 1) text += one;
                const size_t at = text.find("Content-Length: ");
                size_t want = at == std::string::npos ? 0 : std::stoul(text.substr(at + 16));
                text.clear();
                char buffer[1000];
                while (want > 0) {
                    const ssize_t n = recv(c.fd, buffer, want < sizeof(buffer) ? want : sizeof(buffer), 0);
                    if (n <= 0) break;
                    text.append(buffer, (size_t)n);
                    want -= (size_t)n;
                }
                answers.push_back(text);
            };
            const std::string request = "GET /big.bin HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
            c.Send(request + request);
            read();
            read();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            c.Send(request);
            read();
            done = true;
        });
        const double end = Now() + 60;
        while (!done.load() && Now() < end) {
            if (threaded) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            WebServer_Process(server);
            EventQueue_Flush(nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        client.join();
        ASSERT_EQ(answers.size(), 3u);
        for (const std::string& answer : answers) EXPECT_TRUE(answer == body) << answer.size();
        EXPECT_EQ(opens.load(), 1);
        WebServer_Release(&server);
    }
}

TEST(WebServerNames, PhaseNames) {
    EXPECT_STREQ(WebServer_TranslateConnectionPhase(6), "ResponseFinish");
    EXPECT_STREQ(WebServer_TranslateConnectionPhase(10), "Unknown");
    EXPECT_STREQ(WebServer_TranslateResponseCode(416), "Requested Range Not Satisfiable");
    EXPECT_STREQ(WebServer_TranslateResponseCode(999), "");
}

} // namespace

// A handler that runs a loop of its own (a modal box) comes back into the server while the pass
// under it walks the connections: the nested passes are put off until it returns, so that a
// connection closed meanwhile is not freed under the walk.
TEST_F(WebServerTest, PassFromInsideAHandlerIsPutOff) {
    Create(false);
    ASSERT_EQ(WebServer_Start(server), 1);
    WebServer_Process(server);
    ASSERT_EQ(WebServer_GetActiveListenPort(server, &port), 1);
    const auto pump = [&](const std::function<bool()>& done) {
        const double end = Now() + 10;
        while (!done() && Now() < end) {
            WebServer_Process(server);
            EventQueue_Flush(nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    // The older connection comes after the newer one in the walk.
    auto older = std::make_unique<Client>(port);
    ASSERT_TRUE(pump([&] { return opens.load() == 1; }));
    Client newer(port);
    ASSERT_TRUE(pump([&] { return opens.load() == 2; }));
    bool nested = false;
    onHeader = [&](WebServerConnection*) {
        if (nested) return;
        nested = true;
        older.reset();
        // The box's own loop, for a while: what it would run must wait.
        const double end = Now() + 0.5;
        while (Now() < end) {
            WebServer_Process(server);
            EventQueue_Flush(nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(closes.load(), 0) << "a pass ran inside the handler";
    };
    newer.Send("GET / HTTP/1.1\r\n\r\n");
    std::string answer;
    std::thread reader([&] { answer = newer.ReadAnswer(); });
    EXPECT_TRUE(pump([&] { return closes.load() >= 1; })) << "the put-off pass never came";
    reader.join();
    EXPECT_TRUE(nested);
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
}
