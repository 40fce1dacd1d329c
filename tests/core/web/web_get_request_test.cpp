// Tests of the HTTP request object: defaults, prepared headers, cookies, redirects and errors.
#include "core/web/web_get_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_redirect.h"
#include "tests/support/abort_hook.h"
#include "tests/support/printed_lines.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetEnvironment);

class WebGetRequestTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        ASSERT_EQ(WebGetRequest_Create(&request), 1);
        WebGetRequest_SetPrintCallback(request, &printed, KeepText);
    }
    void TearDown() override {
        if (request) WebGetRequest_Release(&request);
        WebGetTest::TearDown();
    }
    std::string RequestHeader() {
        char* block = nullptr;
        int32_t capacity = 0;
        WebGetRequest_GetHeader(request, &block, &capacity);
        return block;
    }
    // Decodes an answer header as the connection hands it over.
    int64_t Answer(const std::string& header) {
        return WebGetRequest_HeaderDecode(request, 1, reinterpret_cast<const uint8_t*>(header.data()),
                                          (uint32_t)header.size());
    }
    std::string Cookies() {
        char text[512];
        WebGetRequest_CookieGetOutput(request, text, sizeof(text));
        return text;
    }
    int32_t Error() {
        int32_t code = 0, extended = 0;
        WebGetRequest_GetLastError(request, &code, &extended);
        return code;
    }
    WebGetRequest* request = nullptr;
    std::string printed;
};

TEST_F(WebGetRequestTest, NewRequestDefaults) {
    const std::pair<int64_t (*)(WebGetRequest*, uint32_t*), uint32_t> rows[] = {
        {WebGetRequest_GetType, 1},
        {WebGetRequest_GetRedirectionLimit, 4},
        {WebGetRequest_GetAllowCompressedContent, 1},
        {WebGetRequest_GetAllowProxy, 1},
        {WebGetRequest_GetReportError, 1},
        {WebGetRequest_GetRequireAuthorization, 1},
        {WebGetRequest_GetAllowCookies, 1},
        {WebGetRequest_GetAllowResume, 0},
        {WebGetRequest_GetTimeout, 15},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        uint32_t value = 99;
        rows[i].first(request, &value);
        EXPECT_EQ(value, rows[i].second) << i;
    }
    // The memory handler is in place: a 200 answer's body lands in the memory body.
    ASSERT_EQ(Answer("HTTP/1.1 200 OK\r\n\r\n"), 1);
    uint32_t used = 0;
    ASSERT_EQ(WebGetRequest_FillBody(request, reinterpret_cast<const uint8_t*>("abc"), 3, &used), 1);
    uint8_t* body = nullptr;
    uint32_t length = 0;
    WebGetRequest_GetBufferPtr(request, &body, &length);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(body), length), "abc");
}

TEST_F(WebGetRequestTest, PreparedHeaders) {
    struct Row {
        uint32_t Type;
        int64_t Start, End;
        const char* URL;
        const char* Own; // a header the caller set first
        const char* Expected;
    };
    const Row rows[] = {
        {1, 100, 0, "http://h/a", "", "Accept: */*\r\nAccept-Language: en-us\r\nRange: bytes=100-\r\n"},
        {1, 0, 99, "http://h/a", "", "Accept: */*\r\nAccept-Language: en-us\r\nRange: bytes=0-99\r\n"},
        {1, 0, 0, "http://h/a", "", "Accept: */*\r\nAccept-Language: en-us\r\nAccept-Encoding: gzip\r\n"},
        {2, 0, 0, "http://h/p?a=1&b=2", "",
         "Accept: */*\r\nAccept-Language: en-us\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 7\r\n"},
        {2, 0, 0, "http://h/p", "", "Accept: */*\r\nAccept-Language: en-us\r\nContent-Length: 0\r\n"},
        {2, 0, 0, "http://h/p?", "", "Accept: */*\r\nAccept-Language: en-us\r\nContent-Length: 0\r\n"},
        {1, 0, 0, "http://h/a", "Accept", "Accept: text/html\r\nAccept-Language: en-us\r\nAccept-Encoding: gzip\r\n"},
        {1, 5, 9, "http://h/a", "Range", "Accept: */*\r\nAccept-Language: en-us\r\nRange: bytes=5-9\r\n"},
        {4, 0, 0, "http://h/a", "", "Accept: */*\r\nAccept-Language: en-us\r\n"},
    };
    for (const Row& r : rows) {
        WebGetRequest_Release(&request);
        WebGetRequest_Create(&request);
        WebGetRequest_SetType(request, r.Type);
        WebGetRequest_SetURL(request, r.URL);
        WebGetRequest_SetByteRange(request, r.Start, r.End);
        char* block = nullptr;
        int32_t capacity = 0;
        WebGetRequest_GetHeader(request, &block, &capacity);
        if (r.Own[0]) WebGet_HeaderSet(block, capacity, r.Own, r.Own[0] == 'A' ? "text/html" : "bytes=1-2", 0);
        ASSERT_EQ(WebGetRequest_HeaderPrepare(request), 1);
        EXPECT_EQ(RequestHeader(), r.Expected) << r.URL << " " << r.Start << "-" << r.End;
    }
    // The query of a Post without data became its body.
    const void* post = nullptr;
    uint32_t length = 0;
    WebGetRequest_Release(&request);
    WebGetRequest_Create(&request);
    WebGetRequest_SetType(request, 2);
    WebGetRequest_SetURL(request, "http://h/p?a=1&b=2");
    WebGetRequest_HeaderPrepare(request);
    WebGetRequest_GetPostPtr(request, &post, &length);
    EXPECT_EQ(std::string(static_cast<const char*>(post), length), "a=1&b=2");
    // Prepared again for another URL (after a redirect), the body is that URL's query.
    WebGetRequest_SetURL(request, "http://h/q?cc=333");
    WebGetRequest_HeaderReset(request);
    WebGetRequest_HeaderPrepare(request);
    WebGetRequest_GetPostPtr(request, &post, &length);
    EXPECT_EQ(std::string(static_cast<const char*>(post), length), "cc=333");
    EXPECT_NE(RequestHeader().find("Content-Length: 6\r\n"), std::string::npos);
}

TEST_F(WebGetRequestTest, UrlTokensSetHeadersAndCookies) {
    WebGetRequest_SetURL(request, "http://h/a{Header:X-Id,5}{Cookie:c,7}");
    char url[256];
    WebGetRequest_GetURL(request, url, sizeof(url));
    EXPECT_STREQ(url, "http://h/a");
    WebGetRequest_HeaderPrepare(request);
    EXPECT_NE(RequestHeader().find("X-Id: 5\r\n"), std::string::npos) << RequestHeader();
    EXPECT_EQ(Cookies(), "c=7;");
}

TEST_F(WebGetRequestTest, SetCookieAnswersAndWhereCookiesGo) {
    struct Row {
        const char* URL;     // of the answer
        const char* Cookie;  // Set-Cookie value ("" none)
        const char* SendTo;  // URL of the next request
        const char* Expected;
    };
    const Row rows[] = {
        {"http://www.example.com/", "a=1", "http://www.example.com/x", "a=1;"},
        {"http://www.example.com/", "a=1; Domain=example.com", "http://shop.example.com/", "a=1;"},
        {"http://www.example.com/", "a=1; Domain=.example.com", "http://example.com/", "a=1;"},
        // Label boundary: a neighbour whose name merely ends alike gets nothing.
        {"http://example.com/", "a=1", "http://badexample.com/", ""},
        // Ports are not told apart.
        {"http://www.example.com:8080/", "a=1", "http://www.example.com/", "a=1;"},
        {"http://www.example.com/", "a=1", "http://www.example.com:8443/", "a=1;"},
        // A server may not widen a cookie to another host or a top-level name.
        {"http://www.example.com/", "a=1; Domain=other.com", "http://other.com/", ""},
        {"http://www.example.com/", "a=1; Domain=com", "http://x.com/", ""},
        {"http://www.example.com/", "a=1; Domain=.com", "http://x.com/", ""},
        // Secure cookies go over https only.
        {"https://www.example.com/", "a=1; Secure", "http://www.example.com/", ""},
        {"https://www.example.com/", "a=1; Secure", "https://www.example.com/", "a=1;"},
    };
    for (const Row& r : rows) {
        WebGetRequest_CookieReset(request);
        WebGetRequest_SetURL(request, r.URL);
        ASSERT_EQ(Answer(std::string("HTTP/1.1 200 OK\r\nSet-Cookie: ") + r.Cookie + "\r\n\r\n"), 1);
        WebGetRequest_SetURL(request, r.SendTo);
        EXPECT_EQ(Cookies(), r.Expected) << r.URL << " " << r.Cookie << " -> " << r.SendTo;
        EXPECT_EQ(WebGetRequest_CookieActive(request), r.Expected[0] != 0) << r.Cookie;
    }
}

TEST_F(WebGetRequestTest, CookieListOrderAndReplacement) {
    WebGetRequest_SetURL(request, "http://h.example.com/");
    ASSERT_EQ(Answer("HTTP/1.1 200 OK\r\nset-cookie: a=1\r\nSET-COOKIE: b=2; path=/x\r\nSet-Cookie: A=3\r\n\r\n"), 1);
    EXPECT_EQ(Cookies(), "A=3; b=2;");
    EXPECT_NE(printed.find("Cookie reset [A][3]()(h.example.com)[0]"), std::string::npos) << printed;
    // The same name for another domain is another cookie.
    WebGetRequest_CookieSet(request, "a", "4", "", "example.com", 0);
    EXPECT_EQ(Cookies(), "A=3; b=2; a=4;");
    char value[32], path[32];
    uint32_t secure = 9;
    int dummy = 0;
    ASSERT_EQ(WebGetRequest_CookieGet(request, "b", &dummy, value, sizeof(value), path, sizeof(path), &secure), 1);
    EXPECT_EQ(std::string(value) + "|" + path + "|" + std::to_string(secure), "2|/x|0");
    EXPECT_EQ(WebGetRequest_CookieDelete(request, "a", "example.com"), 1);
    EXPECT_EQ(WebGetRequest_CookieDelete(request, "a", "example.com"), 0);
    WebGetRequest_CookieSetOutput(request, " x=1; y ;z=2=3");
    EXPECT_EQ(Cookies(), "A=3; b=2; x=1; z=2=3;");
    // A secure cookie alone sends no Cookie header over http.
    WebGetRequest_CookieReset(request);
    WebGetRequest_CookieSet(request, "s", "1", "", "", 1);
    WebGetRequest_HeaderPrepare(request);
    EXPECT_EQ(RequestHeader().find("Cookie"), std::string::npos);
}

TEST_F(WebGetRequestTest, Redirects) {
    struct Row {
        const char* Location; // "" none
        uint32_t Depth;       // redirects followed before this one
        int64_t Result;
        int32_t Error;
        const char* URL;
        const char* From = "http://h/a";
    };
    const Row rows[] = {
        {"/b", 0, 1, 0, "http://h/b"},
        {"http://o/c?x=1", 3, 1, 0, "http://o/c?x=1"},
        {"/b", 4, 0, 985, "http://h/a"},
        {"/a", 0, 0, 984, "http://h/a"},
        {"", 0, 0, 983, "http://h/a"},
        // Only to web addresses, never down from https, and only where the first could go.
        {"file:///etc/passwd", 0, 0, 957, "http://h/a"},
        {"ftp://h/x", 0, 0, 957, "http://h/a"},
        {"http://h/b", 0, 0, 957, "https://h/a", "https://h/a"},
        {"https://o/b", 0, 1, 0, "https://o/b", "https://h/a"},
        {"https://o/b", 0, 1, 0, "https://o/b"},
        {"http://refused/b", 0, 0, 963, "http://refused/b"},
    };
    WebGet_AuthorizeOverride([](const char* url) -> int64_t { return strstr(url, "//refused/") == nullptr; });
    for (const Row& r : rows) {
        WebGetRequest_Reset(request);
        WebGetRequest_SetURL(request, r.From);
        for (uint32_t i = 0; i < r.Depth; i++) {
            Answer("HTTP/1.1 302 Found\r\nLocation: /a" + std::to_string(i) + "\r\n\r\n");
            ASSERT_EQ(WebGetRequest_Redirect(request), 1);
        }
        if (r.Depth) WebGetRequest_SetURL(request, r.From);
        const std::string location = r.Location[0] ? std::string("Location: ") + r.Location + "\r\n" : "";
        Answer("HTTP/1.1 301 Moved\r\n" + location + "\r\n");
        EXPECT_EQ(WebGetRequest_Redirect(request), r.Result) << r.Location;
        EXPECT_EQ(Error(), r.Error) << r.Location;
        char url[256];
        WebGetRequest_GetURL(request, url, sizeof(url));
        EXPECT_STREQ(url, r.URL) << r.Location;
    }
    WebGet_AuthorizeOverride(nullptr);
}

TEST_F(WebGetRequestTest, RedirectRulesCallbackAndHeaders) {
    WebGet_AuthorizeOverride(AllowEveryHost);
    ASSERT_EQ(WebGet_RedirectAdd("r", 0, 1, "^http://h/b$", "http://mirror/b", 0, 0), 1);
    const std::pair<const char*, const char*> rows[] = {
        {"", "http://mirror/b"},
        {"X-QVR-UrlRewrite: disable\r\n", "http://h/b"},
    };
    for (const auto& [extra, expected] : rows) {
        WebGetRequest_SetURL(request, "http://h/a");
        char* block = nullptr;
        int32_t capacity = 0;
        WebGetRequest_GetHeader(request, &block, &capacity);
        WebGet_HeaderSet(block, capacity, "X-Own", "1", 0);
        Answer(std::string("HTTP/1.1 307 Temp\r\nLocation: /b\r\n") + extra + "\r\n");
        ASSERT_EQ(WebGetRequest_Redirect(request), 1);
        char url[256];
        WebGetRequest_GetURL(request, url, sizeof(url));
        EXPECT_STREQ(url, expected);
        EXPECT_EQ(RequestHeader(), "");
    }
    // The callback may change the new URL, or block the redirect.
    auto change = [](WebGetRequest*, void*, char* url, int32_t capacity) -> int64_t {
        String_CopyLength(url, "http://elsewhere/z", capacity);
        return 1;
    };
    auto block = [](WebGetRequest* r, void*, char*, int32_t) -> int64_t { return WebGetRequest_SetLastError(r, 0, 0); };
    WebGetRequest_SetRedirectCallback(request, nullptr, nullptr, change);
    WebGetRequest_SetURL(request, "http://h/a");
    Answer("HTTP/1.1 302 Found\r\nLocation: /q\r\n\r\n");
    ASSERT_EQ(WebGetRequest_Redirect(request), 1);
    char url[256];
    WebGetRequest_GetURL(request, url, sizeof(url));
    EXPECT_STREQ(url, "http://elsewhere/z");
    WebGetRequest_SetRedirectCallbackDefault(request);
    WebGetRequest_SetRedirectCallback(request, nullptr, nullptr, block);
    Answer("HTTP/1.1 302 Found\r\nLocation: /q\r\n\r\n");
    EXPECT_EQ(WebGetRequest_Redirect(request), 0);
    EXPECT_EQ(Error(), 957);
    EXPECT_NE(printed.find("Redirect blocked due to callback response [http://elsewhere/q]"), std::string::npos);
    WebGet_AuthorizeOverride(nullptr);
}

// A rewrite rule or the redirect callback may move an allowed Location: where it then leads is held
// to the same rules as the Location itself (a web address, never down from https).
TEST_F(WebGetRequestTest, RulesAndCallbackCannotMoveARedirectOffTheWeb) {
    WebGet_AuthorizeOverride(AllowEveryHost);
    ASSERT_EQ(WebGet_RedirectAdd("to-file", 0, 1, "^http://h/file$", "file:///etc/passwd", 0, 0), 1);
    ASSERT_EQ(WebGet_RedirectAdd("to-plain", 0, 1, "^https://h/plain$", "http://h/plain", 0, 0), 1);
    static const char* s_target = "";
    auto move = [](WebGetRequest*, void*, char* url, int32_t capacity) -> int64_t {
        if (s_target[0]) String_CopyLength(url, s_target, capacity);
        return 1;
    };
    struct Row {
        const char* From;
        const char* Location;
        const char* Callback; // "" leaves the URL alone
    } rows[] = {
        {"http://h/a", "/file", ""},
        {"https://h/a", "/plain", ""},
        {"http://h/a", "/b", "file:///etc/passwd"},
        {"https://h/a", "/b", "http://h/b"},
        {"https://h/a", "/b", "ftp://h/b"},
    };
    WebGetRequest_SetRedirectCallback(request, nullptr, nullptr, move);
    for (const Row& r : rows) {
        s_target = r.Callback;
        WebGetRequest_Reset(request);
        WebGetRequest_SetURL(request, r.From);
        Answer(std::string("HTTP/1.1 302 Found\r\nLocation: ") + r.Location + "\r\n\r\n");
        EXPECT_EQ(WebGetRequest_Redirect(request), 0) << r.Location << " " << r.Callback;
        EXPECT_EQ(Error(), 957) << r.Location << " " << r.Callback;
    }
    // The same callback moving to another web address still goes.
    s_target = "https://elsewhere/z";
    WebGetRequest_Reset(request);
    WebGetRequest_SetURL(request, "https://h/a");
    Answer("HTTP/1.1 302 Found\r\nLocation: /b\r\n\r\n");
    EXPECT_EQ(WebGetRequest_Redirect(request), 1);
    WebGet_RedirectRemove("to-file");
    WebGet_RedirectRemove("to-plain");
    WebGet_AuthorizeOverride(nullptr);
}

TEST_F(WebGetRequestTest, FirstErrorWins) {
    EXPECT_EQ(WebGetRequest_SetLastError(request, 964, 5), 0);
    WebGetRequest_SetLastError(request, 960, 7);
    int32_t code = 0, extended = 0;
    WebGetRequest_GetLastError(request, &code, &extended);
    EXPECT_EQ(std::pair(code, extended), std::pair(964, 5));
    WebGetRequest_SetLastError(request, 0, 0);
    WebGetRequest_SetLastError(request, 960, 7);
    WebGetRequest_GetLastError(request, &code, &extended);
    EXPECT_EQ(std::pair(code, extended), std::pair(960, 7));
}

TEST_F(WebGetRequestTest, IsOkAndPhase) {
    struct Row {
        const char* Header;
        int64_t Start;
        int64_t Ok;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", 0, 1},
        {"HTTP/1.1 404 Not Found\r\n\r\n", 0, 0},
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-9/10\r\n\r\n", 5, 0},
    };
    for (const Row& r : rows) {
        WebGetRequest_Reset(request);
        WebGetRequest_SetByteRange(request, r.Start, 0);
        Answer(r.Header);
        EXPECT_EQ(WebGetRequest_SetPhase(request, WEBGET_PHASE_DONE), 1);
        EXPECT_EQ(WebGetRequest_SetPhase(request, WEBGET_PHASE_DONE), 0);
        EXPECT_EQ(WebGetRequest_IsOk(request), r.Ok) << r.Header;
    }
}

} // namespace

namespace {

TEST_F(WebGetRequestTest, StartWithoutConnectionStops) {
    EXPECT_DEATH((InstallTestAbortHook(), WebGetRequest_Start(request)), "Request is not ready to start");
}

} // namespace
