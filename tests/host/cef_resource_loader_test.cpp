// The refetch of embedded foreign pages against a recording engine: which requests are taken,
// the request made, the headers the engine gets, and the data handed over as it arrives.
#include "host/cef/cef_resource_loader.h"

#include <gtest/gtest.h>

#include "core/formats/interop.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_redirect.h"
#include "tests/host/cef_fakes.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"

namespace {

class LoaderEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(NotificationCenter_Init(), 1);
        ASSERT_EQ(WebGet_Init(), 1);
        ASSERT_EQ(WebGet_WhitelistAdd("*.example.org"), 1);
        InstallTestAbortHook();
    }
    void TearDown() override {
        WebGet_Remove();
        NotificationCenter_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};

const auto* g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
const auto* g_loader = ::testing::AddGlobalTestEnvironment(new LoaderEnvironment);

using Strings = std::vector<std::string>;

class CefResourceLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CEFEngine_Set(&engine);
        frame->urlRequest = urlRequest;
        urlRequest->response = fetched;
    }
    void TearDown() override {
        frame->DropRequests();
        CEFEngine_Set(nullptr);
        EXPECT_TRUE(arena.Balanced());
    }
    CEFResourceHandler* Start(const char* url, int32_t type, uint32_t popup) {
        request->url = url;
        request->type = type;
        return ResourceLoader_Start(url, nullptr, frame, request, popup);
    }
    CEFURLRequestClient* Client() { return urlRequest->client; }
    void Data(const std::string& text) { Client()->OnDownloadData(urlRequest, text.data(), text.size()); }

    FakeArena arena;
    FakeEngine engine{&arena};
    FakeFrame* frame = arena.Make<FakeFrame>(&arena, 2, "https://skin/");
    FakeRequest* request = arena.Make<FakeRequest>();
    FakeURLRequest* urlRequest = arena.Make<FakeURLRequest>(&arena);
    FakeResponse* fetched = arena.Make<FakeResponse>();
};

TEST_F(CefResourceLoaderTest, WhichRequestsAreRefetched) {
    const std::string longHost = "https://" + std::string(108, 'a') + ".example.org" + ".evil.net/";
    const struct {
        std::string url;
        int32_t type;
        uint32_t popup;
        bool taken;
    } cases[] = {
        {"https://www.example.org/page", RT_SUB_FRAME, 0, true},
        {"https://www.example.org:8443/page", RT_SUB_FRAME, 0, true},
        {"https://www.example.org/page", RT_MAIN_FRAME, 0, false},
        {"https://www.example.org/page", RT_MAIN_FRAME, 1, true},
        {"https://www.other.net/page", RT_SUB_FRAME, 0, false},
        {"https://www.other.net/page", RT_MAIN_FRAME, 1, false},
        // Cut to 120 bytes this host would end in ".example.org": it is never cut.
        {longHost, RT_SUB_FRAME, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        CEFResourceHandler* handler = Start(c.url.c_str(), c.type, c.popup);
        EXPECT_EQ(handler != nullptr, c.taken);
        if (handler) handler->Release();
    }
}

TEST_F(CefResourceLoaderTest, TheRefetchRequest) {
    request->method = "POST";
    request->headers = {{"Accept", "text/html"}, {"X-A", "1"}};
    request->referrer = "https://skin/index.html";
    request->policy = 2;
    request->firstParty = "https://skin/";
    request->flags = 1;
    CEFResourceHandler* handler = Start("https://www.example.org/form", RT_SUB_FRAME, 0);
    ASSERT_NE(handler, nullptr);
    ASSERT_EQ(frame->made.size(), 1u);
    FakeRequest* made = frame->made[0];
    EXPECT_EQ(made->asked, (Strings{"set https://www.example.org/form POST", "first party https://www.example.org/form",
                                    "referrer https://skin/index.html 2", "first party https://skin/",
                                    "flags " + std::to_string(1 | (1 << 3) | (1 << 7))}));
    EXPECT_EQ(made->headers, request->headers);
    handler->Release();

    // Without referrer and first party only the URL is the first party.
    request->referrer.clear();
    request->firstParty.clear();
    request->flags = 0;
    handler = Start("https://www.example.org/", RT_SUB_FRAME, 0);
    EXPECT_EQ(frame->made[1]->asked, (Strings{"set https://www.example.org/ POST", "first party https://www.example.org/",
                                              "flags " + std::to_string((1 << 3) | (1 << 7))}));
    handler->Release();
}

TEST_F(CefResourceLoaderTest, HeaderFilter) {
    const CEFHeaderMap headers = {
        {"X-Frame-Options", "DENY"},
        {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
        {"content-security-policy", "default-src 'self'"},
        {"Content-Security-Policy", "FRAME-ANCESTORS https://a"},
        {"Content-Security-Policy", "frame-ancestors=x"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"cross-origin-opener-policy", " ;Same-Origin-Allow-Popups"},
        {"Cross-Origin-Opener-Policy", "unsafe-none; same-origin"},
        {"Cross-Origin-Opener-Policy", "unsafe-none"},
        {"x-frame-options", "SAMEORIGIN"},
        {"Set-Cookie", "a=1"},
    };
    const struct {
        uint32_t popup;
        std::vector<size_t> kept;
    } cases[] = {
        {0, {2, 4, 5, 6, 7, 8, 10}},
        {1, {0, 1, 2, 3, 4, 8, 9, 10}},
    };
    for (const auto& c : cases) {
        CEFHeaderMap out, expected;
        for (size_t i : c.kept) expected.push_back(headers[i]);
        EXPECT_EQ(ResourceLoader_FilterHeaders(headers, c.popup, &out), (int32_t)(headers.size() - c.kept.size()));
        EXPECT_EQ(out, expected) << c.popup;
    }
    // A directive past the value limit is not seen.
    CEFHeaderMap out;
    const CEFHeaderMap late = {{"Content-Security-Policy", std::string(8200, 'a') + "; frame-ancestors 'none'"}};
    EXPECT_EQ(ResourceLoader_FilterHeaders(late, 0, &out), 0);
}

TEST_F(CefResourceLoaderTest, DataAsItArrives) {
    fetched->status = 200;
    fetched->statusText = "OK";
    fetched->mimeType = "text/html";
    fetched->charset = "utf-8";
    fetched->url = "https://www.example.org/";
    fetched->headers = {{"X-Frame-Options", "DENY"}, {"Content-Type", "text/html"}};
    CEFResourceHandler* handler = Start("https://www.example.org/", RT_SUB_FRAME, 0);
    ASSERT_NE(handler, nullptr);
    FakeCallback opened;
    bool now = true;
    EXPECT_TRUE(handler->Open(request, &now, &opened));
    EXPECT_FALSE(now);
    Data("hello");
    EXPECT_EQ(opened.answers, Strings{"continue"});

    FakeResponse given;
    int64_t length = 0;
    std::string redirect = "none";
    handler->GetResponseHeaders(&given, &length, &redirect);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(redirect, "none");
    EXPECT_EQ(given.status, 200);
    EXPECT_EQ(given.statusText + given.mimeType + given.charset + given.url, "OKtext/htmlutf-8https://www.example.org/");
    EXPECT_EQ(given.headers, (CEFHeaderMap{{"Content-Type", "text/html"}}));

    char buffer[16] = {};
    int32_t count = -1;
    EXPECT_TRUE(handler->Read(buffer, 3, &count, nullptr));
    EXPECT_EQ(std::string(buffer, (size_t)count), "hel");
    int64_t skipped = 0;
    EXPECT_TRUE(handler->Skip(7, &skipped, nullptr));
    EXPECT_EQ(skipped, 7);
    EXPECT_TRUE(handler->Read(buffer, 16, &count, nullptr));
    EXPECT_EQ(std::string(buffer, (size_t)count), "lo");

    // Nothing yet: the engine waits for the callback.
    FakeReadCallback waiting;
    EXPECT_TRUE(handler->Read(buffer, 4, &count, &waiting));
    EXPECT_EQ(count, 0);
    Data(" world");
    EXPECT_EQ(waiting.answers, std::vector<int32_t>{4});
    EXPECT_EQ(std::string(buffer, 4), " wor");
    FakeReadCallback last;
    EXPECT_TRUE(handler->Read(buffer, 16, &count, &last));
    EXPECT_EQ(std::string(buffer, (size_t)count), "ld");
    EXPECT_TRUE(handler->Read(buffer, 16, &count, &last));
    Client()->OnRequestComplete(urlRequest);
    EXPECT_EQ(last.answers, std::vector<int32_t>{0});
    EXPECT_FALSE(handler->Read(buffer, 16, &count, &last));
    EXPECT_EQ(count, 0);
    handler->Release();
}

TEST_F(CefResourceLoaderTest, RedirectsAndOlderReads) {
    fetched->status = 302;
    fetched->url = "https://www.example.org/next";
    fetched->headers = {{"Location", "/next"}};
    CEFResourceHandler* handler = Start("https://www.example.org/", RT_MAIN_FRAME, 1);
    ASSERT_NE(handler, nullptr);
    FakeCallback processed, readResponse;
    EXPECT_TRUE(handler->ProcessRequest(request, &processed));
    char buffer[8];
    int32_t count = -1;
    EXPECT_TRUE(handler->ReadResponse(buffer, 8, &count, &readResponse));
    Client()->OnRequestComplete(urlRequest);
    EXPECT_EQ(processed.answers, Strings{"continue"});
    EXPECT_EQ(readResponse.answers, Strings{"continue"});
    FakeResponse given;
    int64_t length = 0;
    std::string redirect;
    handler->GetResponseHeaders(&given, &length, &redirect);
    EXPECT_EQ(given.status, 302);
    EXPECT_EQ(redirect, "https://www.example.org/next");
    EXPECT_FALSE(handler->ReadResponse(buffer, 8, &count, &readResponse));
    handler->Release();
}

TEST_F(CefResourceLoaderTest, EmptyFinishedRefetchAnswersAtOnce) {
    CEFResourceHandler* handler = Start("https://www.example.org/", RT_SUB_FRAME, 0);
    ASSERT_NE(handler, nullptr);
    Client()->OnRequestComplete(urlRequest);
    FakeCallback opened, processed;
    bool now = false;
    EXPECT_TRUE(handler->Open(request, &now, &opened));
    EXPECT_TRUE(now);
    EXPECT_TRUE(handler->ProcessRequest(request, &processed));
    EXPECT_EQ(processed.answers, Strings{"continue"});
    handler->Release();
}

TEST_F(CefResourceLoaderTest, CancelDropsEverything) {
    CEFResourceHandler* handler = Start("https://www.example.org/", RT_SUB_FRAME, 0);
    ASSERT_NE(handler, nullptr);
    FakeCallback opened;
    FakeReadCallback waiting;
    bool now = true;
    char buffer[4];
    int32_t count = 0;
    handler->Open(request, &now, &opened);
    handler->Read(buffer, 4, &count, &waiting);
    handler->Cancel();
    EXPECT_TRUE(opened.answers.empty());
    EXPECT_TRUE(waiting.answers.empty());
    EXPECT_EQ(opened.refs, 1);
    EXPECT_EQ(waiting.refs, 1);
    handler->Release();
}

TEST_F(CefResourceLoaderTest, SecondPendingReadStops) {
    CEFResourceHandler* handler = Start("https://www.example.org/", RT_SUB_FRAME, 0);
    ASSERT_NE(handler, nullptr);
    auto readTwice = [handler] {
        FakeReadCallback first;
        FakeReadCallback second;
        char buffer[4];
        int32_t count = 0;
        handler->Read(buffer, 4, &count, &first);
        handler->Read(buffer, 4, &count, &second);
    };
    EXPECT_DEATH(readTwice(),
        AbortRegex("Assertion failed (ResourceLoader->ResourceReadCallback == NULL)\nCallback already assigned"));
    handler->Release();
}

} // namespace
