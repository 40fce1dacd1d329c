// Tests of response decoding and body delivery: header limits and fields, byte ranges, chunked and
// gzip bodies, the size limit, the memory body and file output with resume.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/async_file.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/web_get_request.h"
#include "core/web/web_get_request_internal.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"
#include "tests/support/web_get_env.h"

namespace {

class BodyEnvironment : public WebGetEnvironment {
  public:
    void SetUp() override {
        WebGetEnvironment::SetUp();
        ASSERT_EQ(AsyncFile_Init(), 1);
    }
    void TearDown() override {
        AsyncFile_Remove();
        WebGetEnvironment::TearDown();
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new BodyEnvironment);

std::string Gzip(const std::string& text) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(text.size() + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = (uInt)text.size();
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Outcome {
    int64_t Ok;
    int32_t Error;
    std::string Body; // the memory body
};

class WebGetRequestBodyTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        ASSERT_EQ(WebGetRequest_Create(&request), 1);
        WebGetRequest_SetPrintCallback(request, &printed, KeepText);
        WebGetRequest_SetURL(request, "http://h/dir/file.bin");
    }
    void TearDown() override {
        WebGetRequest_Release(&request);
        WebGetTest::TearDown();
    }
    int32_t Error() {
        int32_t code = 0, extended = 0;
        WebGetRequest_GetLastError(request, &code, &extended);
        return code;
    }
    void WaitForWrites() {
        StepUntil([this] { return WebGetRequest_ShouldWait(request) == 0; },
                  [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
        ASSERT_EQ(WebGetRequest_ShouldWait(request), 0) << "file writes still pending";
    }
    // One answer as a connection runs it: the header, then the body offered in pieces of `step`
    // bytes (what is not consumed is offered again), then the end.
    Outcome Run(const std::string& header, const std::string& body, size_t step = 0, bool complete = true) {
        Outcome out{0, 0, ""};
        if (!WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(header.data()),
                                        (uint32_t)header.size()) ||
            !WebGetRequest_BodyStart(request, 0)) {
            out.Error = Error();
            return out;
        }
        std::string pending;
        size_t given = 0;
        for (int rounds = 0; rounds < 100000; rounds++) {
            const size_t take = step ? std::min(step, body.size() - given) : body.size() - given;
            pending += body.substr(given, take);
            given += take;
            if (pending.empty()) break;
            uint32_t used = 0;
            WaitForWrites();
            if (!WebGetRequest_BodyProcess(request, reinterpret_cast<const uint8_t*>(pending.data()),
                                           (uint32_t)pending.size(), &used)) {
                out.Error = Error();
                return out;
            }
            pending.erase(0, used);
            if (used == 0 && given == body.size()) break;
        }
        WaitForWrites();
        if (complete && !WebGetRequest_BodyComplete(request, 0)) {
            out.Error = Error();
            return out;
        }
        uint8_t* memory = nullptr;
        uint32_t length = 0;
        WebGetRequest_GetBufferPtr(request, &memory, &length);
        out.Ok = 1;
        out.Body.assign(reinterpret_cast<char*>(memory), length);
        return out;
    }
    WebGetRequest* request = nullptr;
    std::string printed;
    TempDir dir;
};

TEST_F(WebGetRequestBodyTest, HeaderEndsAndLimits) {
    const std::string start = "HTTP/1.1 200 OK\r\nX-Pad: ";
    auto padded = [&](size_t total) { return start + std::string(total - start.size() - 4, 'p') + "\r\n\r\n"; };
    struct Row {
        std::string Header;
        int64_t Ok;
        int32_t Error;
    };
    const Row rows[] = {
        {padded(8190), 1, 0},
        {padded(8191), 0, 966},
        {"HTTP/1.1 200 OK\nA: b\n\n", 1, 0},
        {"HTTP/1.1 200 OK\r\nA: b\r\n", 0, 967},
        {"", 0, 967},
        {std::string(9000, 'a'), 0, 966},
        {"garbage\r\n\r\n", 0, 986},
        {"HTTP/1.1 abc\r\n\r\n", 0, 986},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n", 0, 968},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\n\r\n", 1, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", 0, 977},
        {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", 0, 977},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0x10\r\n\r\n", 1, 0},
    };
    for (const Row& r : rows) {
        WebGetRequest_Reset(request);
        const int64_t ok = WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(r.Header.data()),
                                                      (uint32_t)r.Header.size());
        EXPECT_EQ(std::pair(ok, Error()), std::pair(r.Ok, r.Error)) << r.Header.substr(0, 60) << " " << r.Header.size();
    }
    int64_t length = 0;
    EXPECT_EQ(WebGetRequest_GetContentLength(request, &length), 1);
    EXPECT_EQ(length, 16);
}

TEST_F(WebGetRequestBodyTest, HeaderFields) {
    Run("HTTP/1.0 200 OK\r\nCache-Control: no-cache, max-age=60\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
        "Content-Disposition: attachment; filename=\"../../etc/passwd\"\r\nContent-Length: 3\r\n\r\n",
        "");
    int64_t age = 0;
    uint32_t directive = 9;
    double modified = 0, version = 0;
    char name[64];
    WebGetRequest_GetCacheControlMaxAge(request, &age);
    WebGetRequest_GetCacheControlDirective(request, &directive);
    WebGetRequest_GetLastModifiedTime(request, &modified);
    WebGetRequest_GetHTTPVersion(request, &version);
    WebGetRequest_GetFilename(request, name, sizeof(name));
    EXPECT_EQ(age, 60);
    EXPECT_EQ(directive, 1u);
    EXPECT_EQ(modified, 784111777.0);
    EXPECT_EQ(version, 1.0);
    EXPECT_STREQ(name, "passwd");
    EXPECT_NE(printed.find("HTTP Return value [200][v1.0]"), std::string::npos);
    struct Row {
        const char* Header;
        int64_t Persistent;
        const char* Filename;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n", 1, "file.bin"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: Close\r\n\r\n", 0, "file.bin"},
        // An HTTP/1.0 server closes unless it says keep-alive.
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n", 0, "file.bin"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\nConnection: Keep-Alive\r\n\r\n", 1, "file.bin"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 1\r\n\r\n", 0, "file.bin"},
        {"HTTP/1.1 200 OK\r\n\r\n", 0, "file.bin"},
        {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=..\r\n\r\n", 0, ""},
        {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment\r\n\r\n", 0, ""},
        {"HTTP/1.1 200 OK\r\nContent-Disposition: a; filename=\"x\\\\y.txt\"\r\n\r\n", 0, "y.txt"},
    };
    for (const Row& r : rows) {
        WebGetRequest_SetURL(request, "http://h/dir/file.bin");
        ASSERT_EQ(WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(r.Header),
                                             (uint32_t)strlen(r.Header)),
                  1);
        WebGetRequest_GetFilename(request, name, sizeof(name));
        EXPECT_EQ(WebGetRequest_Persistent(request), r.Persistent) << r.Header;
        EXPECT_STREQ(name, r.Filename) << r.Header;
    }
}

TEST_F(WebGetRequestBodyTest, ByteRanges) {
    struct Row {
        int64_t Start, End;
        const char* Header;
        int32_t Error;
        int64_t Used, Mismatched;
    };
    const Row rows[] = {
        {100, 199, "HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/1000\r\n\r\n", 0, 1, 0},
        {100, 199, "HTTP/1.1 206 P\r\nContent-Range: bytes 0-999/1000\r\n\r\n", 0, 0, 1},
        {100, 0, "HTTP/1.1 206 P\r\nContent-Range: bytes 100-999/1000\r\n\r\n", 0, 1, 0},
        {100, 0, "HTTP/1.1 206 P\r\nContent-Range: 100-999/1000\r\n\r\n", 0, 0, 1},
        {100, 199, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", 0, 0, 0},
        {100, 199, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", 978, 0, 1},
        {0, 0, "HTTP/1.1 416 R\r\n\r\n", 0, 0, 1},
        {0, 0, "HTTP/1.1 206 P\r\nAccept-Ranges: none\r\n\r\n", 0, 0, 0},
        {0, 0, "HTTP/1.1 206 P\r\n\r\n", 0, 1, 0},
    };
    for (const Row& r : rows) {
        WebGetRequest_Reset(request);
        WebGetRequest_SetByteRange(request, r.Start, r.End);
        WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(r.Header), (uint32_t)strlen(r.Header));
        EXPECT_EQ(Error(), r.Error) << r.Header;
        EXPECT_EQ(WebGetRequest_IsByteRangeUsed(request), r.Used) << r.Header;
        EXPECT_EQ(WebGetRequest_IsByteRangeMismatched(request), r.Mismatched) << r.Header;
    }
    // A proxy's answer to CONNECT is not held to the range.
    WebGetRequest_Reset(request);
    WebGetRequest_SetByteRange(request, 100, 199);
    const char* text = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    EXPECT_EQ(WebGetRequest_HeaderDecode(request, 0, reinterpret_cast<const uint8_t*>(text), (uint32_t)strlen(text)), 1);
}

TEST_F(WebGetRequestBodyTest, ChunkedBodies) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string good = "5\r\nhello\r\n0\r\n\r\n";
    for (size_t step = 0; step <= good.size(); step++) {
        WebGetRequest_Reset(request);
        const Outcome out = Run(chunked, good, step);
        EXPECT_EQ(out.Body, "hello") << step;
        EXPECT_EQ(WebGetRequest_IsChunkedComplete(request), 1) << step;
    }
    struct Row {
        std::string Body;
        int32_t Error;
        const char* Delivered;
    };
    const Row rows[] = {
        {"5;ext=1\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n", 0, "helloabc"},
        {"5\r\nhelloxx0\r\n\r\n", 969, ""},
        {"zz\r\nhello\r\n", 955, ""},
        {"-5\r\nhello\r\n", 955, ""},
        {"FFFFFFFFFF\r\n", 955, ""},
        {"7FFFFFFE\r\n", 955, ""},
        {std::string(5000, '1'), 955, ""},
        {"5\r\nhel", 0, "hel"},
    };
    for (const Row& r : rows) {
        WebGetRequest_Reset(request);
        const Outcome out = Run(chunked, r.Body, 0, false);
        EXPECT_EQ(out.Error, r.Error) << r.Body.substr(0, 20);
        if (!r.Error) {
            EXPECT_EQ(out.Body, r.Delivered);
        }
    }
}

TEST_F(WebGetRequestBodyTest, GzipBodies) {
    const std::string two = Gzip("first ") + Gzip("second");
    std::string broken = Gzip("payload payload payload");
    broken[12] ^= 0x55;
    const std::string whole = Gzip(std::string(100000, 'z'));
    struct Row {
        std::string Header;
        std::string Body;
        uint32_t Auto;
        size_t Step;
        int32_t Error;
        std::string Delivered;
    };
    const std::string gzip = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n";
    const Row rows[] = {
        {gzip, two, 1, 0, 0, "first second"},
        {gzip, two, 1, 3, 0, "first second"},
        {gzip, whole, 1, 7, 0, std::string(100000, 'z')},
        {gzip, broken, 1, 0, 960, ""},
        // Cut short inside the member: not a whole body.
        {gzip, two.substr(0, two.size() - 5), 1, 0, 960, ""},
        // Without automatic decompression the body arrives as sent.
        {gzip, two, 0, 0, 0, two},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n",
         "4\r\n" + two.substr(0, 4) + "\r\n" + [&] {
             char size[16];
             snprintf(size, sizeof(size), "%zx", two.size() - 4);
             return std::string(size);
         }() + "\r\n" + two.substr(4) + "\r\n0\r\n\r\n",
         1, 0, 0, "first second"},
    };
    for (const Row& r : rows) {
        WebGetRequest_Reset(request);
        WebGetRequest_SetAutoDecompressContent(request, r.Auto);
        const Outcome out = Run(r.Header, r.Body, r.Step);
        EXPECT_EQ(out.Error, r.Error) << r.Step << " " << r.Body.size();
        if (!r.Error) {
            EXPECT_EQ(out.Body, r.Delivered) << r.Step;
        }
    }
    // An earlier gzip answer says nothing about the next one.
    WebGetRequest_Reset(request);
    WebGetRequest_SetAutoDecompressContent(request, 1);
    Run(gzip, two);
    EXPECT_EQ(Run("HTTP/1.1 200 OK\r\n\r\n", "plain").Body, "plain");
}

TEST_F(WebGetRequestBodyTest, SizeLimitAndLengths) {
    WebGetRequest_SetLimitBodySize(request, 100);
    const std::string body(150, 'b');
    uint32_t used = 0;
    const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
    ASSERT_EQ(WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(header.data()),
                                         (uint32_t)header.size()),
              1);
    WebGetRequest_BodyStart(request, 0);
    ASSERT_EQ(WebGetRequest_BodyProcess(request, reinterpret_cast<const uint8_t*>(body.data()), 150, &used), 1);
    EXPECT_EQ(used, 100u);
    EXPECT_EQ(WebGetRequest_BodyProcess(request, reinterpret_cast<const uint8_t*>(body.data()) + 100, 50, &used), 0);
    EXPECT_EQ(Error(), 959);
    // Bytes past the Content-Length are never taken.
    WebGetRequest_Reset(request);
    WebGetRequest_SetLimitBodySize(request, 0);
    const Outcome out = Run("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", "abcdefgh");
    EXPECT_EQ(out.Body, "abcd");
    int64_t transfer = 0;
    WebGetRequest_GetTransferLength(request, &transfer);
    EXPECT_EQ(transfer, 4);
}

// The limit step on its own: deliveries are cut to the limit, and the one after the limit was
// reached fails even when it carries nothing.
TEST_F(WebGetRequestBodyTest, LimitStepCutsThenRefuses) {
    struct Step {
        uint32_t Length;
        int64_t Result;
        uint32_t Used;
    };
    struct Row {
        uint32_t Limit;
        std::vector<Step> Steps;
        int32_t Error;
        size_t Kept;
    };
    const Row rows[] = {
        {100, {{60, 1, 60}, {60, 1, 40}, {0, 0, 0}}, 959, 100},
        {100, {{100, 1, 100}, {1, 0, 0}}, 959, 100},
        {100, {{99, 1, 99}, {0, 1, 0}, {1, 1, 1}}, 0, 100},
        {0, {{200, 1, 200}, {0, 1, 0}}, 0, 200},
    };
    const std::string bytes(256, 'x');
    const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
    for (const Row& r : rows) {
        WebGetRequest_Reset(request);
        WebGetRequest_SetLimitBodySize(request, r.Limit);
        ASSERT_EQ(WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(header.data()),
                                             (uint32_t)header.size()),
                  1);
        ASSERT_EQ(WebGetRequest_BodyStart(request, 0), 1);
        for (const Step& step : r.Steps) {
            uint32_t used = 0;
            EXPECT_EQ(WebGetRequest_BodyProcessLimit(request, reinterpret_cast<const uint8_t*>(bytes.data()),
                                                     step.Length, &used),
                      step.Result)
                << r.Limit << " " << step.Length;
            EXPECT_EQ(used, step.Used) << r.Limit << " " << step.Length;
        }
        EXPECT_EQ(Error(), r.Error) << r.Limit;
        uint8_t* memory = nullptr;
        uint32_t length = 0;
        WebGetRequest_GetBufferPtr(request, &memory, &length);
        EXPECT_EQ(length, r.Kept) << r.Limit;
    }
}

TEST_F(WebGetRequestBodyTest, MemoryBodyGrowth) {
    const std::string piece(786432, 'm'); // 0.75 MiB
    // Without a Content-Length: 1 MiB for the first bytes, 3 MiB once 1.5 MiB are needed.
    const std::pair<int, uint32_t> rows[] = {{1, 1048576u}, {2, 3u * 1048576u}};
    for (const auto& [pieces, expected] : rows) {
        WebGetRequest_Reset(request);
        const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
        WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(header.data()), (uint32_t)header.size());
        WebGetRequest_BodyStart(request, 0);
        for (int i = 0; i < pieces; i++) {
            uint32_t used = 0;
            ASSERT_EQ(WebGetRequest_FillBody(request, reinterpret_cast<const uint8_t*>(piece.data()),
                                             (uint32_t)piece.size(), &used),
                      1);
        }
        uint8_t* buffer = nullptr;
        uint32_t capacity = 0, length = 0;
        WebGetRequest_MoveBuffer(request, &buffer, &capacity, &length);
        EXPECT_EQ(std::pair(capacity, length), std::pair(expected, (uint32_t)(pieces * piece.size())));
        Memory_Free(buffer, capacity);
    }
}

TEST_F(WebGetRequestBodyTest, ErrorPagesLandInMemory) {
    const std::string path = dir.file("out.bin");
    WebGetRequest_SetOutputFilename(request, path.c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    const Outcome out = Run("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n", "not found");
    EXPECT_EQ(out.Body, "not found");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(WebGetRequestBodyTest, FileOutput) {
    const std::string old500(500, 'o'), new500(500, 'n');
    struct Row {
        uint32_t Resume;
        int64_t Start;
        std::string Existing; // file content before ("-" none)
        std::string Header;
        int32_t Error;
        std::string After;
        const char* Log;
    };
    const Row rows[] = {
        {1, 500, old500, "HTTP/1.1 206 P\r\nContent-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n\r\n", 0,
         old500 + new500, "Existing file being resumed"},
        {0, 500, old500, "HTTP/1.1 206 P\r\nContent-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n\r\n", 0, new500,
         "New file being created"},
        // Past the end of the file: nothing written, the file as it was.
        {1, 500, std::string(300, 'o'), "HTTP/1.1 206 P\r\nContent-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n\r\n",
         975, std::string(300, 'o'), "Resume offset past the end"},
        {1, 500, "-", "HTTP/1.1 206 P\r\nContent-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n\r\n", 975, "-",
         "Resume offset past the end"},
        // The file is longer than where the answer starts: written at the answer's start.
        {1, 500, std::string(600, 'o'), "HTTP/1.1 206 P\r\nContent-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n\r\n",
         0, old500 + new500, "Existing file being resumed"},
        // Not the part asked for: the file being resumed is left alone.
        {1, 500, old500, "HTTP/1.1 206 P\r\nContent-Range: bytes 0-499/1000\r\nContent-Length: 500\r\n\r\n", 0, old500,
         ""},
        {0, 0, "-", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n", 0, new500, "New file being created"},
    };
    const std::string path = dir.file("out.bin");
    for (const Row& r : rows) {
        unlink(path.c_str());
        if (r.Existing != "-") {
            ASSERT_TRUE(WriteText(path, r.Existing));
        }
        WebGetRequest_Reset(request);
        printed.clear();
        WebGetRequest_SetOutputFilename(request, path.c_str());
        WebGetRequest_SetFillBodyCallbackFileOutput(request);
        WebGetRequest_SetAllowResume(request, r.Resume);
        WebGetRequest_SetByteRange(request, r.Start, 0);
        const Outcome out = Run(r.Header, new500, 64);
        EXPECT_EQ(out.Error, r.Error) << r.Header;
        EXPECT_EQ(access(path.c_str(), F_OK) == 0 ? ReadFile(path) : "-", r.After) << r.Header;
        EXPECT_NE(printed.find(r.Log), std::string::npos) << printed;
    }
}

TEST_F(WebGetRequestBodyTest, LargeBodyWrittenInBlocks) {
    std::string body(100000, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = (char)(i * 7 + i / 251);
    std::atomic<int> writes{0};
    auto count = [](WebGetRequest*, void* user) -> int64_t {
        static_cast<std::atomic<int>*>(user)->fetch_add(1);
        return 1;
    };
    const std::string path = dir.file("large.bin");
    WebGetRequest_SetOutputFilename(request, path.c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    WebGetRequest_SetFileWriteCallback(request, nullptr, &writes, count);
    const Outcome out = Run("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", body);
    EXPECT_EQ(out.Error, 0);
    EXPECT_EQ(writes.load(), 4); // 32 KiB blocks
    EXPECT_EQ(ReadFile(path), body);
    int64_t position = 0;
    WebGetRequest_GetFilePosition(request, &position);
    EXPECT_EQ(position, 100000);
}

TEST_F(WebGetRequestBodyTest, WritesDoneHookRunsOnceTheLastWriteIsDone) {
    std::string body(100000, 'w');
    struct Seen {
        std::atomic<int> Calls{0};
        std::atomic<int> WhilePending{0};
    } seen;
    auto hook = [](WebGetRequest* r, void* user) -> int64_t {
        Seen* s = static_cast<Seen*>(user);
        if (WebGetRequest_ShouldWait(r)) s->WhilePending.fetch_add(1);
        s->Calls.fetch_add(1);
        return 1;
    };
    auto waitForCalls = [&](int calls) {
        StepUntil([&] { return seen.Calls.load() >= calls; },
                  [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    };
    WebGetRequest_SetOutputFilename(request, dir.file("hooked.bin").c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    WebGetRequest_SetWritesDoneHook(request, &seen, hook);
    // One offer of the whole body: four blocks in flight, one call when all are written.
    Outcome out = Run("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", body);
    ASSERT_EQ(out.Error, 0);
    waitForCalls(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(seen.Calls.load(), 1);
    EXPECT_EQ(seen.WhilePending.load(), 0);
    // Cleared: later writes call nothing.
    WebGetRequest_SetWritesDoneHook(request, nullptr, nullptr);
    WebGetRequest_Reset(request);
    WebGetRequest_SetOutputFilename(request, dir.file("plain.bin").c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    out = Run("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", body);
    ASSERT_EQ(out.Error, 0);
    EXPECT_EQ(ReadFile(dir.file("plain.bin")), body);
    EXPECT_EQ(seen.Calls.load(), 1);
}

TEST_F(WebGetRequestBodyTest, OutputFilesStayInTheirFolder) {
    // A name given by the URL into a folder name ending in '/'.
    WebGetRequest_SetOutputFilename(request, (dir.path() + "/").c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    Outcome out = Run("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
                      "ok");
    ASSERT_EQ(out.Error, 0);
    struct stat info;
    ASSERT_EQ(stat(dir.file("file.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // Stamped once written: the last write did not move the time again.
    EXPECT_EQ(info.st_mtime, 784111777);
    // A server's name stays in the folder.
    WebGetRequest_Reset(request);
    out = Run("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Disposition: a; filename=\"../escape.txt\"\r\n\r\n", "ok");
    EXPECT_EQ(out.Error, 0);
    EXPECT_EQ(ReadFile(dir.file("escape.txt")), "ok");
    // A link at the name is not followed, and what it points to is left alone.
    const std::string target = dir.file("target.txt");
    ASSERT_TRUE(WriteText(target, "keep"));
    ASSERT_EQ(symlink(target.c_str(), dir.file("link.bin").c_str()), 0);
    WebGetRequest_Reset(request);
    WebGetRequest_SetOutputFilename(request, dir.file("link.bin").c_str());
    out = Run("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "xx");
    EXPECT_EQ(out.Error, 964);
    EXPECT_EQ(ReadFile(target), "keep");
    EXPECT_NE(printed.find("Unable to open file"), std::string::npos);
}

TEST_F(WebGetRequestBodyTest, OwnerCallbacks) {
    // A handler of the owner's takes the body; its failure ends the delivery with its error.
    auto keep = [](WebGetRequest*, void* user, const uint8_t* bytes, uint32_t length, uint32_t* used) -> int64_t {
        static_cast<std::string*>(user)->append(reinterpret_cast<const char*>(bytes), length);
        *used += length;
        return 1;
    };
    std::string kept;
    WebGetRequest_SetFillBodyCallback(request, nullptr, &kept, keep);
    EXPECT_EQ(Run("HTTP/1.1 200 OK\r\n\r\n", "abc").Body, "");
    EXPECT_EQ(kept, "abc");
    auto refuse = [](WebGetRequest* r, void*) -> int64_t { return WebGetRequest_SetLastError(r, 976, 1); };
    WebGetRequest_Reset(request);
    WebGetRequest_SetHeaderDoneCallback(request, nullptr, nullptr, refuse);
    EXPECT_EQ(Run("HTTP/1.1 200 OK\r\n\r\n", "abc").Error, 976);
    // Refusing without saying why would pass for success: the process stops.
    auto silent = [](WebGetRequest*, void*) -> int64_t { return 0; };
    WebGetRequest_Reset(request);
    WebGetRequest_SetHeaderDoneCallbackDefault(request);
    WebGetRequest_SetBodyCompleteCallback(request, nullptr, nullptr, silent);
    InstallTestAbortHook();
    EXPECT_DEATH(Run("HTTP/1.1 200 OK\r\n\r\n", "abc"),
                 AbortRegex("Assertion failed (recorded != 0)\nCallback answered 0 without recording an error"));
}

} // namespace
