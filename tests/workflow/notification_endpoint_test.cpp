// Tests of the notification endpoint: two endpoints of one test program linked over 127.0.0.1,
// raw HTTP clients against the token check, and the record format against Python's RC4 and JSON.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto/rc4.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_server.h"
#include "tests/support/oracle_process.h"
#include "tests/support/printed_lines.h"
#include "tests/support/web_get_env.h"
#include "workflow/notification_endpoint.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

struct Seen {
    std::string Type, Name, Sender;
    bool Remote;
    std::string Value; // the information's "n"
};

int64_t ElevatedYes() {
    return 1;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += digits[c >> 4], out += digits[c & 15];
    return out;
}

// An HTTP exchange from another thread: sends `request`, returns what arrives within a second.
std::string Exchange(uint32_t port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        send(fd, request.data(), request.size(), 0) == (ssize_t)request.size()) {
        char buffer[4096];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) answer.append(buffer, (size_t)n);
    }
    close(fd);
    return answer;
}

class NotificationEndPointTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        NotificationEndPoint_SetIsElevatedHook(ElevatedYes);
        ASSERT_EQ(NotificationEndPoint_Create(&worker), 1);
        NotificationEndPoint_SetIsElevatedHook(nullptr);
        ASSERT_EQ(NotificationEndPoint_Create(&ui), 1);
        NotificationCenter_AddInstanceObserver(nullptr, nullptr, nullptr, this, Observe);
        NotificationEndPoint_SetPrintCallback(ui, this, Collect);
        NotificationEndPoint_SetPrintCallback(worker, this, Collect);
    }
    static int64_t Collect(void* user, const char* format, ...) {
        char text[1024];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        // The endpoint's server prints from its socket threads too.
        std::lock_guard<std::mutex> hold(PrintedLinesLock());
        static_cast<NotificationEndPointTest*>(user)->lines += std::string(text) + "\n";
        if (getenv("EP_DEBUG")) fprintf(stderr, "%s\n", text);
        return 1;
    }
    std::string lines;
    void TearDown() override {
        NotificationCenter_RemoveInstanceObserver(nullptr, nullptr, nullptr, this, Observe);
        if (worker) NotificationEndPoint_Release(&worker);
        if (ui) NotificationEndPoint_Release(&ui);
        WebGetTest::TearDown();
    }
    static int64_t Observe(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
        auto* t = static_cast<NotificationEndPointTest*>(user);
        uint32_t remote = 0;
        char value[64] = {};
        if (info) {
            Dictionary_GetBooleanByKey(info, "isRemote", &remote);
            Dictionary_GetStringByKey(info, "n", value, (int32_t)sizeof(value));
        }
        t->seen.push_back({type, name, instance, remote == 1, value});
        return 1;
    }
    void Pump() {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        NotificationEndPoint_Process(ui);
        NotificationEndPoint_Process(worker);
        Thread_Wait(1);
    }
    bool PumpUntil(const std::function<bool()>& done, int seconds = 10) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done() && std::chrono::steady_clock::now() < end) Pump();
        return done();
    }
    uint32_t Port(NotificationEndPoint* e) {
        WebServer* server = nullptr;
        NotificationEndPoint_GetWebServerHandle(e, &server);
        uint32_t port = 0;
        WebServer_GetActiveListenPort(server, &port);
        return port;
    }
    void StartBoth() {
        NotificationEndPoint_Start(ui);
        NotificationEndPoint_Start(worker);
        ASSERT_TRUE(PumpUntil([&] { return Port(ui) && Port(worker); }));
    }
    bool Has(const std::string& type, const std::string& name, bool remote, const std::string& value = "") {
        for (const Seen& s : seen)
            if (s.Type == type && s.Name == name && s.Remote == remote && s.Value == value) return true;
        return false;
    }
    bool HasFrom(NotificationEndPoint* e, const std::string& name) {
        char id[40];
        NotificationEndPoint_GetInstanceId(e, id, (int32_t)sizeof(id));
        for (const Seen& s : seen)
            if (s.Type == "NotificationEndPoint" && s.Name == name && s.Sender == id && !s.Remote) return true;
        return false;
    }
    // Links the worker to the user interface as a launcher would, and waits for both sides.
    void Link() {
        NotificationEndPoint_SetVerbose(worker, 1);
        StartBoth();
        char url[8192];
        NotificationEndPoint_GetWebServerURL(ui, 1, url, (int32_t)sizeof(url));
        ASSERT_EQ(NotificationEndPoint_AddEndPoint(worker, url), 1);
        ASSERT_TRUE(PumpUntil([&] { return HasFrom(ui, "Connected") && HasFrom(worker, "Connected"); }));
    }
    void Fire(const char* type, const char* name, const char* value, int canRemote = -1) {
        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_SetStringByKey(info, "n", value);
        if (canRemote >= 0) Dictionary_SetBooleanByKey(info, "canRemote", (uint32_t)canRemote);
        NotificationCenter_Fire(type, name, nullptr, info);
        Dictionary_Release(&info);
    }
    std::string Served(const std::string& request) {
        std::string answer;
        std::thread client([&] { answer = Exchange(Port(ui), request); });
        PumpUntil([&] { return false; }, 2);
        client.join();
        return answer;
    }

    NotificationEndPoint* ui = nullptr;
    NotificationEndPoint* worker = nullptr;
    std::vector<Seen> seen;
};

TEST_F(NotificationEndPointTest, TokensAreElevenLettersOrDigitsWithoutZero) {
    StartBoth();
    const std::string base = "http://127.0.0.1:" + std::to_string(Port(ui)) + "/";
    char plain[256];
    NotificationEndPoint_GetWebServerURL(ui, 0, plain, (int32_t)sizeof(plain));
    EXPECT_EQ(plain, base);
    std::string all;
    for (int i = 0; i < 200; i++) {
        char url[256];
        NotificationEndPoint_GetWebServerURL(ui, 1, url, (int32_t)sizeof(url));
        const std::string text = url;
        ASSERT_EQ(text.substr(0, base.size()), base);
        const std::string token = text.substr(base.size());
        ASSERT_EQ(token.size(), 11u) << token;
        all += token;
    }
    for (char c : all) EXPECT_TRUE(isalpha((unsigned char)c) || (c >= '1' && c <= '9')) << c;
    EXPECT_NE(all.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
    EXPECT_NE(all.find_first_of("123456789"), std::string::npos);
}

TEST_F(NotificationEndPointTest, RelaysBothWaysWithRemoteFlagAndTheWorkersAcceptList) {
    Link();
    // User interface to worker: only the fixed list crosses.
    Fire("WorkflowApp", "Shutdown", "s");
    Fire("Task", "Status", "x", 0); // canRemote false
    Fire("task", "PAUSE", "p");
    ASSERT_TRUE(PumpUntil([&] { return Has("task", "PAUSE", true, "p"); }));
    // The other way: everything but the keep-alive.
    Fire("Workflow", "Progress", "w");
    ASSERT_TRUE(PumpUntil([&] { return Has("Workflow", "Progress", true, "w"); }));
    // Both endpoints share this program's notification centre, so each writes every local
    // notification to the other: a pause crosses twice (once each way), a shutdown only towards
    // the user interface, and nothing re-fired as remote is written back.
    PumpUntil([&] { return false; }, 1);
    auto count = [&](const char* name) {
        int n = 0;
        for (const Seen& s : seen) n += s.Name == name && s.Remote;
        return n;
    };
    EXPECT_EQ(count("PAUSE"), 2);
    EXPECT_EQ(count("Progress"), 1);
    EXPECT_EQ(count("Shutdown"), 1);
    EXPECT_EQ(count("Status"), 0);
    EXPECT_NE(lines.find("Not allowed - WorkflowApp.Shutdown"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Not allowed - task.PAUSE"), std::string::npos);
    EXPECT_EQ(NotificationEndPoint_IsConnected(ui), 1);
    EXPECT_EQ(NotificationEndPoint_IsConnected(worker), 1);
}

TEST_F(NotificationEndPointTest, LinkDownFiresDisconnected) {
    Link();
    NotificationEndPoint_Stop(ui);
    ASSERT_TRUE(PumpUntil([&] { return HasFrom(worker, "Disconnected"); }, 60));
    EXPECT_EQ(NotificationEndPoint_HasRemoteEndPoint(worker), 0);
}

TEST_F(NotificationEndPointTest, TokenWorksOnceAndIsTestedBeforeAnythingElse) {
    StartBoth();
    char url[256];
    NotificationEndPoint_GetWebServerURL(ui, 1, url, (int32_t)sizeof(url));
    const std::string token = std::string(url).substr(std::string(url).rfind('/') + 1);
    const std::string peer = "http://127.0.0.1:" + std::to_string(Port(worker)) + "/abcdefghijk";
    // A wrong token with a peer URL: refused, and the URL is not taken.
    std::string answer = Served("GET /zzzzzzzzzzz HTTP/1.1\r\nHost: x\r\nEndPoint-ID: intruder\r\nEndPoint-URL: " +
                                peer + "\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 403") << answer;
    const std::string added = "Added endpoint - 127.0.0.1:" + std::to_string(Port(worker));
    EXPECT_EQ(lines.find(added), std::string::npos);
    // The right token, with more path after it: accepted, the stream starts, and the URL of a
    // loopback peer is taken.
    answer = Served("GET /" + token + "tail HTTP/1.1\r\nHost: x\r\nEndPoint-ID: peer\r\nEndPoint-URL: " + peer +
                    "\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
    EXPECT_NE(answer.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_NE(answer.find("Content-Type: application/json\r\n"), std::string::npos);
    // The same token again: 403.
    answer = Served("GET /" + token + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 403") << answer;
    // Taken once, from the accepted request only.
    const size_t first = lines.find(added);
    EXPECT_NE(first, std::string::npos) << lines;
    EXPECT_EQ(lines.find(added, first + 1), std::string::npos) << lines;
}

// A peer whose stream carries a record that does not decipher to JSON: the link ends there,
// although the peer keeps its connection open.
TEST_F(NotificationEndPointTest, BadRecordFromPeerEndsTheLink) {
    StartBoth();
    const char key[] = "Qw2Er3Ty4Ui";
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::string stream;
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    RC4_SetEncryptKey(rc4, key, 11);
    for (std::string text : {std::string("{\"type\":\"Peer\",\"notification\":\"Hello\",\"arguments\":{\"n\":\"1\"}}"),
                             std::string("{\"type\":tru}"), std::string("{\"type\":\"Peer\",\"notification\":\"Later\"}")}) {
        RC4_Encrypt(rc4, text.data(), text.data(), (uint32_t)text.size());
        char head[16];
        snprintf(head, sizeof(head), "%zx\r\n", text.size());
        stream += head + text + "\r\n";
    }
    RC4_Release(&rc4);
    std::thread peer([&] {
        timeval wait{5, 0};
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        char buffer[8192];
        std::string request;
        ssize_t n;
        while (request.find("\r\n\r\n") == std::string::npos && (n = recv(fd, buffer, sizeof(buffer), 0)) > 0)
            request.append(buffer, (size_t)n);
        const std::string answer =
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nEndPoint-ID: fake\r\n\r\n" + stream;
        send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        recv(fd, buffer, sizeof(buffer), 0); // held open until the endpoint closes it, at most 5 s
        close(fd);
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/" + key;
    ASSERT_EQ(NotificationEndPoint_AddEndPoint(ui, url.c_str()), 1);
    EXPECT_TRUE(PumpUntil([&] { return NotificationEndPoint_HasRemoteEndPoint(ui) == 0; }, 4));
    PumpUntil([&] { return HasFrom(ui, "Disconnected"); }, 1);
    peer.join();
    close(listener);
    EXPECT_TRUE(Has("Peer", "Hello", true, "1"));
    EXPECT_FALSE(Has("Peer", "Later", true));
    EXPECT_NE(lines.find("Bad record - http://127.0.0.1:"), std::string::npos) << lines;
    EXPECT_EQ(lines.find(key), std::string::npos) << "the key stays out of the log";
    EXPECT_TRUE(HasFrom(ui, "Disconnected"));
}

// A peer that takes its stream and then stops reading: the records held for it stay bounded and
// its link ends, with a line in the log.
TEST_F(NotificationEndPointTest, PeerThatStopsReadingLosesItsLink) {
    StartBoth();
    char url[256];
    NotificationEndPoint_GetWebServerURL(ui, 1, url, (int32_t)sizeof(url));
    const std::string token = std::string(url).substr(std::string(url).rfind('/') + 1);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)Port(ui));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const std::string request = "GET /" + token + " HTTP/1.1\r\nHost: x\r\nEndPoint-ID: sleeper\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), (ssize_t)request.size());
    ASSERT_TRUE(PumpUntil([&] { return NotificationEndPoint_IsConnected(ui) == 1; }));
    // Up to 24 MiB of records, far more than the socket buffers take.
    const std::string big(256 << 10, 'x');
    bool ended = false;
    for (int i = 0; i < 96 && !ended; i++) {
        Fire("Task", "Status", big.c_str());
        Pump();
        ended = lines.find("Peer not reading, link ended - sleeper\n") != std::string::npos;
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(PumpUntil([&] { return NotificationEndPoint_IsConnected(ui) == 0; }));
    EXPECT_NE(lines.find("Connection Changed - sleeper - Outgoing - Disconnected"), std::string::npos);
    close(fd);
}

TEST_F(NotificationEndPointTest, PeerURLOnAnotherHostIsNotTaken) {
    StartBoth();
    EXPECT_EQ(NotificationEndPoint_AddEndPoint(ui, "http://0.0.0.0:9/abcdefghijk"), 0);
    EXPECT_EQ(NotificationEndPoint_AddEndPoint(ui, "http://user@127.0.0.1:80/abcdefghijk"), 0);
    char url[256];
    NotificationEndPoint_GetWebServerURL(ui, 1, url, (int32_t)sizeof(url));
    const std::string token = std::string(url).substr(std::string(url).rfind('/') + 1);
    const std::string answer =
        Served("GET /" + token + " HTTP/1.1\r\nHost: x\r\nEndPoint-URL: http://0.0.0.0:9/abcdefghijk\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
    EXPECT_EQ(NotificationEndPoint_HasRemoteEndPoint(ui), 0);
}

// Per peer: "Connected" once both directions are up, "Disconnected" at every direction down.
TEST_F(NotificationEndPointTest, TrackingFiresConnectedAndDisconnected) {
    const struct {
        const char* Peer;
        uint32_t Incoming, Up;
        const char* Fired;
    } steps[] = {
        {"", 1, 1, ""},           {"p", 1, 1, ""},          {"q", 0, 1, ""},
        {"P", 0, 1, "Connected"}, {"p", 1, 0, "Disconnected"}, {"p", 0, 0, "Disconnected"},
        {"q", 1, 1, "Connected"},
    };
    for (const auto& step : steps) {
        seen.clear();
        NotificationEndPoint_TrackEndPoint(ui, step.Peer, step.Incoming, step.Up);
        PumpUntil([&] { return false; }, 0);
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        std::string fired;
        for (const Seen& s : seen)
            if (s.Type == "NotificationEndPoint" && s.Name != "KeepAlive") fired += s.Name;
        EXPECT_EQ(fired, step.Fired) << step.Peer << step.Incoming << step.Up;
    }
}

TEST(NotificationEndPointRules, AcceptListsOfBothSides) {
    const struct {
        const char* Type;
        const char* Name;
        int Elevated, Plain;
    } cases[] = {
        {"WorkflowRun", "Start", 1, 1},         {"challenge", "response", 1, 1},
        {"Repository", "ChallengeResponse", 1, 1}, {"WorkflowApp", "Shutdown", 0, 1},
        {"Task", "Complete", 0, 1},             {"NotificationEndPoint", "KeepAlive", 0, 0},
        {"NotificationEndPoint", "Connected", 0, 1}, {"", "", 0, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NotificationEndPoint_IsAllowed(1, c.Type, c.Name), c.Elevated) << c.Type << "." << c.Name;
        EXPECT_EQ(NotificationEndPoint_IsAllowed(0, c.Type, c.Name), c.Plain) << c.Type << "." << c.Name;
    }
}

// ---- Record format ----------------------------------------------------------------------------

const char kKey[] = "aB3dE5gH7jK";

std::string Peer(const std::string& mode) {
    // Debian's interpreter, where the package's module lives.
    return "/usr/bin/python3 '" + WEBGET_TEST_SOURCE_DIR() + "/notification_endpoint_peer.py' " + mode + " " + kKey;
}

// Two records on one keystream, deframed and deciphered by Python.
TEST(NotificationEndPointRecord, FramingAndCipherMatchPython) {
    ASSERT_EQ(NotificationCenter_Init(), 1);
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    RC4_SetEncryptKey(rc4, kKey, 11);
    Dictionary* record = nullptr;
    Dictionary_Create(&record);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "n", "1");
    Dictionary_SetBooleanByKey(info, "canLocal", 1);
    Dictionary_SetBooleanByKey(info, "b", 1);
    MemoryStream* out = nullptr;
    MemoryStream_Create(&out);
    MemoryStream_SetAutoGrow(out, 1);
    ASSERT_EQ(NotificationEndPoint_WriteRecord(rc4, record, 0, "Task", "Pause", nullptr, info, out), 1);
    ASSERT_EQ(NotificationEndPoint_WriteRecord(rc4, record, 1, "Workflow", "Cancel", "abc", nullptr, out), 1);
    uint64_t length = 0;
    MemoryStream_Length(out, &length);
    uint8_t* data = nullptr;
    MemoryStream_GetPointer(out, &data);
    const std::string bytes(reinterpret_cast<char*>(data), (size_t)length);
    MemoryStream_ReleasePointer(out, &data);
    const auto decoded = RunOracle(Peer("decode"), Hex(bytes), 30);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, "{\"id\":\"0\",\"type\":\"Task\",\"notification\":\"Pause\",\"sender\":\"Global\","
                        "\"arguments\":{\"n\":\"1\",\"b\":true}}\n"
                        "{\"id\":\"1\",\"type\":\"Workflow\",\"notification\":\"Cancel\",\"sender\":\"abc\"}\n");
    MemoryStream_Release(&out);
    Dictionary_Release(&info);
    Dictionary_Release(&record);
    RC4_Release(&rc4);
    NotificationCenter_Remove();
}

struct Collected {
    std::vector<std::string> Names;
    static int64_t Take(void* user, Dictionary* record) {
        char name[64] = {};
        Dictionary_GetStringByKey(record, "notification", name, (int32_t)sizeof(name));
        static_cast<Collected*>(user)->Names.push_back(name);
        return 1;
    }
};

// Enciphered by Python: what a peer's body carries once de-chunked.
std::string PythonCipher(const std::string& plain) {
    const auto out = RunOracle(Peer("encrypt"), plain, 30);
    std::string bytes;
    if (!out) return bytes;
    for (size_t i = 0; i + 1 < out->size(); i += 2) bytes += (char)std::stoi(out->substr(i, 2), nullptr, 16);
    return bytes;
}

TEST(NotificationEndPointRecord, ReaderSplitsRecordsAcrossPieces) {
    const std::string body = PythonCipher("{\"type\":\"T\",\"notification\":\"A}\\\"{\",\"arguments\":{\"x\":[1,{}]}}"
                                          " \r\n{\"notification\":\"B\"}");
    ASSERT_FALSE(body.empty());
    NotificationEndPointRecordReader* reader = nullptr;
    NotificationEndPointRecordReader_Create(&reader, kKey, 11);
    Collected got;
    for (char c : body)
        ASSERT_EQ(NotificationEndPointRecordReader_Feed(reader, reinterpret_cast<const uint8_t*>(&c), 1, &got,
                                                        Collected::Take),
                  1);
    EXPECT_EQ(got.Names, (std::vector<std::string>{"A}\"{", "B"}));
    NotificationEndPointRecordReader_Delete(&reader);
}

// A record that does not decipher to a JSON object ends the link, and nothing after it is read.
TEST(NotificationEndPointRecord, BadRecordEndsTheLink) {
    const char* bad[] = {"hello", "[1,2]", "{\"a\":}", "}", "\"text\"", "{\"a\":tru}"};
    for (const char* text : bad) {
        const std::string body = PythonCipher(std::string("{\"notification\":\"ok\"}") + text);
        ASSERT_FALSE(body.empty());
        NotificationEndPointRecordReader* reader = nullptr;
        NotificationEndPointRecordReader_Create(&reader, kKey, 11);
        Collected got;
        EXPECT_EQ(NotificationEndPointRecordReader_Feed(reader, reinterpret_cast<const uint8_t*>(body.data()),
                                                        (uint32_t)body.size(), &got, Collected::Take),
                  0)
            << text;
        const std::string more = "{}";
        EXPECT_EQ(NotificationEndPointRecordReader_Feed(reader, reinterpret_cast<const uint8_t*>(more.data()), 2,
                                                        &got, Collected::Take),
                  0);
        EXPECT_EQ(got.Names, std::vector<std::string>{"ok"}) << text;
        NotificationEndPointRecordReader_Delete(&reader);
    }
    // The wrong key deciphers to noise.
    const std::string body = PythonCipher("{\"notification\":\"ok\"}");
    NotificationEndPointRecordReader* reader = nullptr;
    NotificationEndPointRecordReader_Create(&reader, "bB3dE5gH7jK", 11);
    Collected got;
    EXPECT_EQ(NotificationEndPointRecordReader_Feed(reader, reinterpret_cast<const uint8_t*>(body.data()),
                                                    (uint32_t)body.size(), &got, Collected::Take),
              0);
    EXPECT_TRUE(got.Names.empty());
    NotificationEndPointRecordReader_Delete(&reader);
}

} // namespace
