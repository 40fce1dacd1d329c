// The script HTTP request against peers on 127.0.0.1: nginx (files, 404, 500, conditional
// downloads, ranges) and a server of the test's own that cuts, stalls or sends more than it
// announced; downloads are put in place only on success; the content URL takes the in-process
// route; and the script class's replies.
#include "skin/script_http_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "core/web/web_get.h"
#include "core/web/web_get_request.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "tests/skin/script_class_call.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/nginx_peer.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

uint32_t ConsoleOnly() {
    return DEBUG_FLAG_CONSOLE;
}

// "/drop": half of an announced body, then a close; "/long": ten bytes announced, twenty sent;
// anything else is held without an answer until the peer stops.
std::string BadAnswer(const std::string& request) {
    if (request.find(" /drop ") != std::string::npos)
        return "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(50000, 'd');
    if (request.find(" /long ") != std::string::npos)
        return "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789abcdefghij";
    return "";
}

struct BadPeer : ScriptedPeer {
    BadPeer() : ScriptedPeer(BadAnswer) {}
};

bool Exists(const std::string& path) {
    struct stat info = {};
    return stat(path.c_str(), &info) == 0;
}

class HttpRequestTest : public TaskLibraryTest {
  protected:
    static NginxPeer* nginx;
    static BadPeer* bad;
    TempDir out;
    HttpRequest* request = nullptr;

    static void SetUpTestSuite() {
        nginx = new NginxPeer("location = /broken { return 500; }");
        bad = new BadPeer();
    }
    static void TearDownTestSuite() {
        delete nginx;
        delete bad;
        nginx = nullptr;
        bad = nullptr;
    }
    void SetUp() override {
        TaskLibraryTest::SetUp();
        ASSERT_TRUE(nginx->Server->Running());
        WebGet_AuthorizeOverride(AllowEveryHost);
        for (const char* name : {"Start", "HeaderDone", "Complete"}) Watch("HttpRequest", name);
        ASSERT_EQ(HttpRequest_Create(&request), 1);
    }
    void TearDown() override {
        if (request) HttpRequest_Release(&request);
        TaskLibraryTest::TearDown();
        WebGet_AuthorizeOverride(nullptr);
    }
    // The "Complete" notifications seen so far.
    std::vector<std::string> Completes() const {
        std::vector<std::string> found;
        for (const auto& f : fired)
            if (f.rfind("HttpRequest/Complete:", 0) == 0) found.push_back(f.substr(21));
        return found;
    }
    // Drives the request as the bridge's process hook would until one more "Complete" arrived.
    std::string Run(double seconds = 10) {
        const size_t before = Completes().size();
        EXPECT_TRUE(PumpUntil(
            [&] {
                HttpRequest_Process(request);
                return Completes().size() > before;
            },
            seconds));
        const auto all = Completes();
        return all.size() > before ? all.back() : "(none)";
    }
    std::string Download(const std::string& url, const std::string& path) {
        EXPECT_EQ(HttpRequest_SetUrl(request, url.c_str()), 1);
        EXPECT_EQ(HttpRequest_SetFileName(request, path.c_str()), 1);
        EXPECT_EQ(HttpRequest_Start(request), 1);
        return Run();
    }
};

NginxPeer* HttpRequestTest::nginx = nullptr;
BadPeer* HttpRequestTest::bad = nullptr;

std::string Complete(int code, const std::string& status, int error) {
    return "{\"httpCode\":" + std::to_string(code) + ",\"httpStatus\":\"" + status + "\",\"errorCode\":" +
           std::to_string(error) + ",\"errorCodeEx\":0}";
}

// A download replaces the file only when it succeeded; every other ending leaves the old file
// whole and no partial file behind.
TEST_F(HttpRequestTest, DownloadsReplaceTheFileOnlyOnSuccess) {
    const std::string body = PseudoRandomBytes(200000, 7);
    nginx->Put("data.bin", body);
    nginx->Put("empty.bin", "");
    HttpRequest_SetTimeout(request, 1);
    const struct {
        std::string url;
        int code;        // status in "Complete"
        bool transport;  // a transport error is reported
        std::string after;
    } cases[] = {
        {nginx->Url("data.bin"), 200, false, body},
        // Nothing is written for an empty body, and yet the answer is an empty file.
        {nginx->Url("empty.bin"), 200, false, ""},
        {nginx->Url("missing.bin"), 404, false, "old"},
        {nginx->Url("broken"), 500, false, "old"},
        {bad->Url("/drop"), 200, true, "old"},
        {bad->Url("/stall"), 0, true, "old"},
        // Bytes past the announced length are not part of the answer.
        {bad->Url("/long"), 200, false, "0123456789"},
    };
    const std::string target = out.file("target.bin");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        ASSERT_TRUE(WriteText(target, "old", 0600));
        HttpRequest_SetUseCache(request, 0);
        const std::string complete = Download(c.url, target);
        EXPECT_NE(complete.find("\"httpCode\":" + std::to_string(c.code) + ","), std::string::npos) << complete;
        EXPECT_EQ(complete.find("\"errorCode\":0,") == std::string::npos, c.transport) << complete;
        EXPECT_EQ(ReadFile(target), c.after);
        EXPECT_FALSE(Exists(target + ".partial"));
    }
}

// Names beside the target that start with "target.bin.partial-": partial files of a run's own.
int32_t OwnPartials(const std::string& folder) {
    int32_t count = 0;
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = dir ? readdir(dir) : nullptr)
        if (std::string(entry->d_name).rfind("target.bin.partial-", 0) == 0) count++;
    if (dir) closedir(dir);
    return count;
}

// Whatever another user put at the partial name first (a file open to all, a link, a FIFO) is
// neither written through, adopted nor removed: the run takes a name of its own, gone at its end.
TEST_F(HttpRequestTest, APartialNameTakenByAnotherUserIsLeftAlone) {
    const std::string body = PseudoRandomBytes(70000, 3);
    const std::string url = nginx->Put("data.bin", body);
    ASSERT_EQ(chmod(out.path().c_str(), 01777), 0);
    const std::string target = out.file("target.bin"), partial = target + ".partial";
    const std::string victim = out.file("victim");
    enum Kind { File, Link, Fifo };
    for (const Kind kind : {File, Link, Fifo}) {
        SCOPED_TRACE(kind);
        unlink(partial.c_str());
        ASSERT_TRUE(WriteText(victim, "victim", 0600));
        const bool made = kind == File   ? WriteText(partial, "theirs", 0666)
                          : kind == Link ? symlink(victim.c_str(), partial.c_str()) == 0
                                         : mkfifo(partial.c_str(), 0666) == 0;
        ASSERT_TRUE(made);
        if (lchown(partial.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "no second user to plant as";
        HttpRequest_SetUseCache(request, 0);
        EXPECT_EQ(Download(url, target), Complete(200, "OK", 0));
        EXPECT_TRUE(ReadFile(target) == body);
        struct stat info = {};
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        ASSERT_EQ(lstat(partial.c_str(), &info), 0) << "the other user's entry was removed";
        EXPECT_EQ(info.st_uid, 65534u);
        if (kind == File) {
            EXPECT_EQ(ReadFile(partial), "theirs");
        }
        EXPECT_EQ(ReadFile(victim), "victim");
        EXPECT_EQ(OwnPartials(out.path()), 0);
    }
    // An aborted run leaves no partial file of its own either.
    HttpRequest_SetUrl(request, bad->Url("/stall").c_str());
    ASSERT_EQ(HttpRequest_Start(request), 1);
    char name[512];
    HttpRequest_GetPartialFileName(request, name, sizeof(name));
    EXPECT_EQ(std::string(name).rfind(partial + "-", 0), 0u) << name;
    EXPECT_TRUE(Exists(name));
    HttpRequest_Abort(request);
    EXPECT_EQ(Run(), Complete(0, "", 956));
    EXPECT_EQ(OwnPartials(out.path()), 0);
}

// A file another user puts at the partial name while the answer is on its way (the folder is open
// to all) is not renamed over the target: the run fails and the old file stays the user's.
TEST_F(HttpRequestTest, AFileSwappedInAtThePartialNameIsNotAdopted) {
    const std::string target = out.file("target.bin"), partial = target + ".partial";
    std::atomic<bool> planted{false};
    ScriptedPeer swapper([&](const std::string&) {
        unlink(partial.c_str());
        planted = WriteText(partial, "theirs", 0666) && chown(partial.c_str(), 65534, 65534) == 0;
        return std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    });
    // Shared as the system's temporary folder is: sticky, so that a download may be made there at
    // all (a folder every user may change without it takes none), and another account can still
    // make a new name in it.
    ASSERT_EQ(chmod(out.path().c_str(), 01777), 0);
    ASSERT_TRUE(WriteText(target, "old", 0600));
    HttpRequest_SetUseCache(request, 0);
    const std::string complete = Download(swapper.Url("/empty"), target);
    if (!planted) GTEST_SKIP() << "no second user to plant as";
    EXPECT_NE(complete.find("\"errorCode\":964,"), std::string::npos) << complete;
    EXPECT_EQ(ReadFile(target), "old");
    struct stat info = {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(ReadFile(partial), "theirs");
    // A file another account left at the name itself is never replaced, even whole.
    unlink(partial.c_str());
    ASSERT_TRUE(WriteText(target, "theirs", 0644));
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    const std::string body = nginx->Put("whole.bin", "whole");
    EXPECT_NE(Download(body, target), Complete(200, "OK", 0));
    EXPECT_EQ(ReadFile(target), "theirs");
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
}

// The second download of an unchanged file asks with the file's date and keeps the file on 304;
// the file carries the server's date after the first.
TEST_F(HttpRequestTest, ConditionalDownloadKeepsTheFileOn304) {
    const std::string url = nginx->Put("dated.bin", "first");
    const std::string target = out.file("dated.bin");
    EXPECT_EQ(Download(url, target), Complete(200, "OK", 0));
    struct stat served = {}, kept = {};
    ASSERT_EQ(stat(nginx->Dir.file("www/dated.bin").c_str(), &served), 0);
    ASSERT_EQ(stat(target.c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mtime, served.st_mtime);

    EXPECT_EQ(Download(url, target), Complete(304, "Not Modified", 0));
    char value[128];
    EXPECT_EQ(HttpRequest_GetHeaderValue(request, "If-Modified-Since", value, sizeof(value)), 1);
    EXPECT_EQ(ReadFile(target), "first");

    // Without the cache the file is fetched whole and no stale condition is sent.
    HttpRequest_SetUseCache(request, 0);
    EXPECT_EQ(Download(url, target), Complete(200, "OK", 0));
    EXPECT_EQ(HttpRequest_GetHeaderValue(request, "If-Modified-Since", value, sizeof(value)), 0);
}

TEST_F(HttpRequestTest, ByteRangesAreSentOnlyWhenBothEndsAreSet) {
    nginx->Put("range.bin", "abcdefghij");
    HttpRequest_SetUrl(request, nginx->Url("range.bin").c_str());
    const struct {
        int64_t start, end;
        std::string range, body;
        int code;
    } cases[] = {
        {2, 5, "bytes=2-5", "cdef", 206},
        {0, 5, "", "abcdefghij", 200},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(HttpRequest_SetByteRange(request, c.start, c.end), 1);
        HttpRequest_Start(request);
        const std::string done = Run();
        EXPECT_NE(done.find("\"httpCode\":" + std::to_string(c.code) + ","), std::string::npos) << done;
        char value[64];
        HttpRequest_GetHeaderValue(request, "Range", value, sizeof(value));
        EXPECT_EQ(value, c.range);
        const uint8_t* body = nullptr;
        int32_t size = 0;
        ASSERT_EQ(HttpRequest_GetBody(request, 0, 100, &body, &size), 1);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), (size_t)size), c.body);
    }
    EXPECT_EQ(HttpRequest_SetByteRange(request, 6, 5), 0);
    EXPECT_EQ(HttpRequest_SetByteRange(request, -1, 5), 0);
}

// The length a start announces is that of its own post data, never the last start's.
TEST_F(HttpRequestTest, EachStartAnnouncesItsOwnPostData) {
    HttpRequest_SetUrl(request, nginx->Put("post.txt", "p").c_str());
    for (const std::string data : {"abcd", "ab", ""}) {
        ASSERT_EQ(HttpRequest_SetPostData(request, data.data(), (uint32_t)data.size()), 1);
        HttpRequest_Start(request);
        EXPECT_EQ(Run(), Complete(200, "OK", 0)) << data;
        char value[32];
        const int64_t found = HttpRequest_GetHeaderValue(request, "Content-Length", value, sizeof(value));
        EXPECT_EQ(found ? std::string(value) : "(none)", data.empty() ? "(none)" : std::to_string(data.size()));
    }
}

TEST_F(HttpRequestTest, StartsThatCannotRunReportThroughComplete) {
    // Empty URL, then a URL without a host.
    EXPECT_EQ(HttpRequest_Start(request), 1);
    EXPECT_EQ(Run(), Complete(400, "", 0));
    HttpRequest_SetUrl(request, "http://");
    EXPECT_EQ(HttpRequest_Start(request), 0);
    EXPECT_EQ(Run(), Complete(403, "", 0));

    // A second start while the first runs is refused and the first goes on; abort ends it.
    HttpRequest_SetUrl(request, bad->Url("/stall").c_str());
    ASSERT_EQ(HttpRequest_Start(request), 1);
    EXPECT_TRUE(Completes().size() == 2) << "nothing is delivered inside the call";
    HttpRequest_Start(request);
    EXPECT_EQ(Run(), Complete(400, "", 0));
    EXPECT_EQ(request->State, HTTPREQUEST_STATE_RUNNING);
    // The running request reads the post data and the partial file name as they are.
    EXPECT_EQ(HttpRequest_AppendPostData(request, "x", 1), 0);
    EXPECT_EQ(HttpRequest_SetFileName(request, out.file("f").c_str()), 0);
    // Aborted while it waits for the answer, not while its name lookup still holds the connection.
    EXPECT_TRUE(PumpUntil([&] {
        HttpRequest_Process(request);
        int32_t phase = 0;
        WebGetRequest_GetPhase(request->Request, &phase);
        return phase == WEBGET_PHASE_HEADER;
    }));
    HttpRequest_Abort(request);
    EXPECT_EQ(Run(), Complete(0, "", 956));
    // Idle: nothing happens and nothing is fired.
    const size_t seen = fired.size();
    EXPECT_EQ(HttpRequest_Abort(request), 1);
    Pump(5);
    EXPECT_EQ(fired.size(), seen);
}

// Requests for the content URL go to the application's in-process route, never to a socket; with
// no route to take them they end at once instead of running for good.
TEST_F(HttpRequestTest, ContentUrlTakesTheInProcessRoute) {
    TempDir skin;
    WriteText(skin.file("index.html"), "<p>skin</p>");
    ASSERT_EQ(SkinFile_Attach(skin.path().c_str()), 1);
    ASSERT_EQ(SkinApp_Init(), 1);
    HttpRequest_SetUrl(request, (std::string(SkinApp_GetContentUrl()) + "index.html").c_str());
    EXPECT_EQ(HttpRequest_Start(request), 0);
    EXPECT_EQ(Run(), Complete(403, "", 0));

    SkinApp_Start(0);
    ASSERT_EQ(HttpRequest_Start(request), 1);
    EXPECT_EQ(request->Connection, nullptr);
    EXPECT_EQ(SkinApp_WebGetRequestRemove(request->Request), 1);
    ASSERT_EQ(SkinApp_WebGetRequestQueue(request->Request), 1);
    HttpRequest_Abort(request);
    EXPECT_EQ(SkinApp_WebGetRequestRemove(request->Request), 0);
    EXPECT_EQ(Run(), Complete(0, "", 956));
    // Waiting on the route ends, answered or not, within the time-out.
    HttpRequest_SetTimeout(request, 1);
    ASSERT_EQ(HttpRequest_Start(request), 1);
    HttpRequest_WaitForRequest(request);
    EXPECT_EQ(request->State, HTTPREQUEST_STATE_IDLE);
    // Pumped as the main loop pumps the application, the route answers from the skin.
    HttpRequest_SetTimeout(request, 10);
    const size_t before = Completes().size();
    ASSERT_EQ(HttpRequest_Start(request), 1);
    EXPECT_TRUE(PumpUntil([&] {
        HttpRequest_Process(request);
        SkinApp_ProcessWebServer();
        return Completes().size() > before;
    }));
    EXPECT_EQ(Completes().back(), Complete(200, "OK", 0));
    const uint8_t* body = nullptr;
    int32_t size = 0;
    HttpRequest_GetBodyPtr(request, &body);
    HttpRequest_GetBodySize(request, &size);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), (size_t)size), "<p>skin</p>");
    EXPECT_EQ(request->Connection, nullptr);
    SkinApp_Remove();
    SkinFile_Remove();
}

TEST_F(HttpRequestTest, FileNamesExpandAndMustLeaveRoomForThePartialName) {
    char name[HTTPREQUEST_FILENAME_SIZE];
    const struct {
        std::string given;
        int64_t ok;
        std::string file, partial;
    } cases[] = {
        {"/tmp//a/./b.bin", 1, "/tmp/a/b.bin", "/tmp/a/b.bin.partial"},
        {"", 1, "", ""},
        {"/" + std::string(310, 'n'), 1, "/" + std::string(310, 'n'), "/" + std::string(310, 'n') + ".partial"},
        // A partial name cut to fit would be the target itself.
        {"/" + std::string(311, 'n'), 0, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HttpRequest_SetFileName(request, c.given.c_str()), c.ok) << c.given.size();
        HttpRequest_GetFileName(request, name, sizeof(name));
        EXPECT_EQ(name, c.file);
        HttpRequest_GetPartialFileName(request, name, sizeof(name));
        EXPECT_EQ(name, c.partial);
        HttpRequest_SetFileName(request, "");
    }
    // A location that expands is judged by what it expands to: the name is taken.
    char temp[512] = "{Temp}";
    SkinApp_ExpandString(temp, temp, (int32_t)sizeof(temp));
    ASSERT_EQ(temp[0], '/');
    EXPECT_EQ(HttpRequest_SetFileName(request, "{Temp}f.bin"), 1);
    HttpRequest_GetFileName(request, name, sizeof(name));
    EXPECT_EQ(std::string(name), std::string(temp) + "f.bin");
    // With a relative HOME "{userAppData}" stays as it was: the name would be a folder of the
    // current one, which another user may have made; so would the folder of a workflow not read
    // from a file. Braces that name no location are a name.
    ScopedEnv relative{{"HOME", "relative/home"}, {"XDG_DATA_HOME", nullptr}};
    // Each refusal is an ERROR line saying why; a location that gave a relative text is refused too.
    ScopedEnv empty{{"QVR_EMPTY_FOLDER", ""}};
    const struct {
        const char *given, *said;
    } refused[] = {
        {"{userAppData}Q/f.bin", "names a location without its folder ({userAppData}): {userAppData}Q/f.bin"},
        {"/tmp/{UserHome}f.bin", "names a location without its folder ({UserHome}): /tmp/{UserHome}f.bin"},
        {"{Env:QVR_NO_SUCH_VARIABLE}f.bin",
         "names a location without its folder ({Env:QVR_NO_SUCH_VARIABLE}): {Env:QVR_NO_SUCH_VARIABLE}f.bin"},
        {"{workflowDirectory}/f.bin", "names a location without its folder ({workflowDirectory}): {workflowDirectory}/f.bin"},
        {"{Env:QVR_EMPTY_FOLDER}f.bin", "names no full path once its macros are expanded ({Env:QVR_EMPTY_FOLDER}f.bin): f.bin"},
    };
    for (const auto& r : refused) {
        HttpRequest_SetFileName(request, "/tmp/before.bin");
        Debug_FlagsOverride(ConsoleOnly);
        Debug_PrintOverride(CaptureLog);
        TakeLog();
        EXPECT_EQ(HttpRequest_SetFileName(request, r.given), 0) << r.given;
        const std::string log = TakeLog();
        Debug_PrintOverride(nullptr);
        Debug_FlagsOverride(nullptr);
        EXPECT_NE(log.find(std::string("ERROR - File name refused: \"fileName\" argument ") + r.said + "\n"),
                  std::string::npos)
            << log;
        HttpRequest_GetFileName(request, name, sizeof(name));
        EXPECT_STREQ(name, "/tmp/before.bin") << r.given;
    }
    EXPECT_EQ(HttpRequest_SetFileName(request, "{notes}/f.bin"), 1);
    HttpRequest_GetPartialFileName(request, name, sizeof(name));
    EXPECT_STREQ(name, "{notes}/f.bin.partial");
    HttpRequest_SetFileName(request, "");
}

// The script class through the skin's interop library: replies, missing arguments and slices.
TEST_F(HttpRequestTest, ScriptClassAnswersByMethodName) {
    nginx->Put("s.txt", "hello");
    ScriptObject object;
    ASSERT_TRUE(object.Create("QVR.HttpRequest"));
    const std::string url = nginx->Url("s.txt");
    const struct {
        std::string method, arguments, reply;
    } calls[] = {
        {"setUrl", "\"url\": \"" + url + "\"", "{\"returnValue\":true}"},
        {"getUrl", "", "{\"returnValue\":\"" + url + "\"}"},
        {"setUrl", "", "0 {\"returnValue\":false}"},
        {"appendPostData", "\"postData\": \"YWI=\"", "{\"returnValue\":true}"},
        {"clearPostData", "", "{\"returnValue\":true}"},
        {"setByteRange", "\"start\": 1", "0 {\"returnValue\":false}"},
        {"getTimeout", "", "{\"returnValue\":15}"},
        {"getUseCache", "", "{\"returnValue\":true}"},
        {"setHeaderValue", "\"name\": \"X-A\", \"value\": \"1\"", "{\"returnValue\":true}"},
        {"getHeaderValue", "\"name\": \"X-A\"", "{\"returnValue\":\"1\"}"},
        {"getHeader", "\"offset\": 0, \"length\": 3", "{\"returnValue\":\"WC1B\"}"},
        {"getHeader", "\"offset\": 9, \"length\": 3", "{\"returnValue\":null}"},
        {"getHeader", "\"offset\": -1, \"length\": 3", "{\"returnValue\":null}"},
        {"getBody", "\"offset\": 0", "0 {\"returnValue\":null}"},
        {"start", "", "{\"returnValue\":true}"},
        {"waitForRequest", "", "{\"returnValue\":true}"},
        {"getHttpCode", "", "{\"returnValue\":200}"},
        {"getHttpStatus", "", "{\"returnValue\":\"OK\"}"},
        {"getBodySize", "", "{\"returnValue\":5}"},
        // The length is cut to the body's end.
        {"getBody", "\"offset\": 1, \"length\": 100", "{\"returnValue\":\"ZWxsbw==\"}"},
        {"getBody", "\"offset\": 5, \"length\": 1", "{\"returnValue\":null}"},
        {"getResponseHeaderValue", "\"name\": \"Content-Length\"", "{\"returnValue\":\"5\"}"},
        {"hasResponseHeader", "\"name\": \"Last-Modified\"", "{\"returnValue\":true}"},
        {"hasResponseHeader", "\"name\": \"HTTP/1.1 200 OK\"", "{\"returnValue\":false}"},
        {"getContentLength", "", "{\"returnValue\":5}"},
        {"noSuchMethod", "", "0 {}"},
    };
    for (const auto& c : calls) EXPECT_EQ(object.Call(c.method, c.arguments), c.reply) << c.method;
}

} // namespace
