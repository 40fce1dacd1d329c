// The in-process skin loader against a directory skin and a recording engine: which methods are
// served, the status and headers the engine gets, and bodies read in the engine's pieces.
#include "host/cef/cef_skin_loader.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core/formats/mime.h"
#include "core/runtime/memory.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "tests/host/cef_fakes_bridge.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

class SkinLoaderTest : public ::testing::Test {
  protected:
    TempDir dir;
    FakeArena arena;
    std::string data;

    void SetUp() override {
        MIME_Remove();
        ASSERT_EQ(MIME_Init(), 1);
        SkinFile_Remove();
        const std::string skin = dir.file("skin");
        ASSERT_EQ(mkdir(skin.c_str(), 0700), 0);
        for (int i = 0; i < 300; i++) data += "line " + std::to_string(i) + "\n";
        ASSERT_TRUE(WriteText(skin + "/page.html", data) && WriteText(skin + "/app.yaml", "a: 1\n"));
        ASSERT_EQ(SkinFile_Attach(skin.c_str()), 1);
    }
    void TearDown() override {
        SkinFile_Remove();
        MIME_Remove();
        EXPECT_TRUE(arena.Balanced());
    }

    struct Answer {
        int32_t status = 0;
        int64_t length = -1;
        std::string mime, body;
        CEFHeaderMap headers;
        std::string Header(const char* name) const {
            for (const auto& header : headers)
                if (header.first == name) return header.second;
            return "<none>";
        }
    };
    // Runs a request as the engine does, reading in pieces of `piece` bytes.
    Answer Get(const std::string& path, CEFHeaderMap headers = {}, int32_t piece = 7) {
        Answer answer;
        auto* request = arena.Make<FakeRequest>();
        request->url = "https://skin.invalid" + path;
        request->headers = std::move(headers);
        CEFResourceHandler* handler = CEFSkinLoader_Start(request->url.c_str(), request);
        EXPECT_NE(handler, nullptr);
        if (!handler) return answer;
        bool now = false;
        EXPECT_TRUE(handler->Open(request, &now, nullptr));
        EXPECT_TRUE(now);
        auto* response = arena.Make<FakeResponse>();
        std::string redirect;
        handler->GetResponseHeaders(response, &answer.length, &redirect);
        answer.status = response->status;
        answer.mime = response->mimeType;
        answer.headers = response->headers;
        std::vector<char> buffer((size_t)piece);
        int32_t count = 0;
        for (int guard = 0; guard < 10000 && handler->Read(buffer.data(), piece, &count, nullptr); guard++)
            answer.body.append(buffer.data(), (size_t)count);
        EXPECT_EQ(count, 0);
        handler->Release();
        return answer;
    }
};

TEST_F(SkinLoaderTest, OnlyReadingMethodsAreServed) {
    for (const char* method : {"GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "get"}) {
        auto* request = arena.Make<FakeRequest>();
        request->method = method;
        CEFResourceHandler* handler = CEFSkinLoader_Start("https://skin.invalid/page.html", request);
        const std::string name = method;
        EXPECT_EQ(handler != nullptr, name == "GET" || name == "POST" || name == "HEAD") << method;
        if (handler) handler->Release();
    }
}

TEST_F(SkinLoaderTest, FilesAreServedWithTheLoadersHeaders) {
    const Answer page = Get("/page.html");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.mime, "text/html");
    EXPECT_EQ(page.length, (int64_t)data.size());
    EXPECT_EQ(page.body, data);
    EXPECT_EQ(page.Header("Pragma"), "no-cache");

    const struct {
        const char* path;
        int32_t status;
    } refused[] = {{"/app.yaml", 403}, {"/missing.html", 404}, {"/", 404}};
    for (const auto& r : refused) {
        const Answer answer = Get(r.path);
        EXPECT_EQ(answer.status, r.status) << r.path;
        EXPECT_EQ(answer.length, 0) << r.path;
        EXPECT_EQ(answer.body, "") << r.path;
        EXPECT_EQ(answer.mime, "") << r.path;
    }
    for (const Answer& answer : {page, Get("/missing.html")}) {
        EXPECT_EQ(answer.Header("Access-Control-Allow-Origin"), SkinApp_GetContentUrl());
        EXPECT_EQ(answer.Header("Server"), "Radi-Dod (0.84)");
    }
}

TEST_F(SkinLoaderTest, ARangedBodyEndsWithItsRange) {
    const Answer range = Get("/page.html", {{"range", "bytes=7-16"}}, 4096);
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.length, 10);
    EXPECT_EQ(range.Header("Content-Range"), "bytes 7-16/" + std::to_string(data.size()));
    EXPECT_EQ(range.body, data.substr(7, 10));
}

TEST_F(SkinLoaderTest, TheDataStoreIsReadAndSkippedInPieces) {
    auto* request = arena.Make<FakeRequest>();
    request->headers = {{"X-Thing", "abcdef"}};
    CEFResourceHandler* handler = CEFSkinLoader_Start("https://skin.invalid/datastore", request);
    ASSERT_NE(handler, nullptr);
    CEFSkinLoader* loader = CEFSkinLoader_FromHandler(handler);
    ASSERT_NE(loader, nullptr);
    bool now = false;
    handler->Open(request, &now, nullptr);
    char header[4];
    EXPECT_EQ(CEFSkinLoader_GetRequestHeader(loader, "x-THING", header, sizeof(header)), 1);
    EXPECT_STREQ(header, "abc");
    EXPECT_EQ(CEFSkinLoader_GetRequestHeader(loader, "Range", header, sizeof(header)), 0);
    EXPECT_STREQ(header, "");

    const std::string store = "{\"k\":\"0123456789\"}";
    uint8_t* buffer = static_cast<uint8_t*>(Memory_Alloc(store.size() + 1));
    memcpy(buffer, store.c_str(), store.size() + 1);
    EXPECT_EQ(CEFSkinLoader_SetResponse(loader, "/datastore", 200, 0, (int64_t)store.size()), 1);
    EXPECT_EQ(CEFSkinLoader_PutDataStore(loader, buffer), 1);

    int64_t skipped = 0;
    EXPECT_TRUE(handler->Skip(3, &skipped, nullptr));
    EXPECT_EQ(skipped, 3);
    std::string body;
    char piece[5];
    int32_t count = 0;
    while (handler->Read(piece, sizeof(piece), &count, nullptr)) body.append(piece, (size_t)count);
    EXPECT_EQ(body, store.substr(3));
    EXPECT_FALSE(handler->Skip(1, &skipped, nullptr));
    EXPECT_EQ(skipped, -328);
    handler->Release();
}

} // namespace
