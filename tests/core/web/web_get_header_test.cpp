#include "core/web/web_get_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "tests/support/abort_table.h"
#include "tests/support/log_capture.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

constexpr const char* kResponse =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nHost : spaced\r\n\nX-Lf: 1\n\r\n";

TEST(WebGetHeader, FindAndGet) {
    struct Row {
        const char* name;
        const char* line; // start of the line found, null for none
        const char* value;
    };
    const Row rows[] = {
        {"content-type", "Content-Type: text/html", "text/html"},
        {"Type", nullptr, ""},   // the tail of a name is not the name
        {"Host", nullptr, ""},   // a blank before ":" makes another name
        {"X-Lf", "X-Lf: 1", "1"},
        {"HTTP/1.1 200 OK", nullptr, ""},
    };
    for (const Row& r : rows) {
        const char* line = nullptr;
        char value[64] = "junk";
        EXPECT_EQ(WebGet_HeaderFind(kResponse, r.name, &line), r.line ? 1 : 0) << r.name;
        EXPECT_EQ(WebGet_HeaderGetByName(kResponse, r.name, value, sizeof(value)), r.line ? 1 : 0) << r.name;
        EXPECT_STREQ(value, r.value) << r.name;
        if (r.line && line) {
            EXPECT_EQ(std::string(line, strlen(r.line)), r.line);
        }
    }
}

TEST(WebGetHeader, SplitsOneLine) {
    struct Row {
        const char* line;
        int32_t nameCapacity;
        int64_t result;
        const char* name;
        const char* value;
    };
    const Row rows[] = {
        {"  Name:   a value \r\nNext: x", 64, 1, "Name", "a value "},
        {"Name :v", 64, 1, "Name ", "v"},
        {"A:", 64, 1, "A", ""},
        {"NoColon\r\nX: y", 64, 0, "", ""}, // the ":" of the next line does not count
        {"Longname: v", 3, 1, "Lo", "v"},
    };
    for (const Row& r : rows) {
        char name[64] = "junk", value[64] = "junk";
        EXPECT_EQ(WebGet_HeaderGet(r.line, name, r.nameCapacity, value, sizeof(value)), r.result) << r.line;
        EXPECT_STREQ(name, r.name) << r.line;
        EXPECT_STREQ(value, r.value) << r.line;
    }
    const char* next = nullptr;
    EXPECT_EQ(WebGet_HeaderEnum("a\r\n\n\rb", &next), 1);
    EXPECT_STREQ(next, "b");
    EXPECT_EQ(WebGet_HeaderEnum("no end", &next), 0);
    EXPECT_EQ(next, nullptr);
}

TEST(WebGetHeader, SetAndRemove) {
    struct Row {
        const char* block;
        int32_t capacity;
        const char* name;
        const char* value;
        int32_t replace;
        int64_t result;
        const char* after;
    };
    const char* request = "GET / HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n";
    const Row rows[] = {
        {request, 128, "host", "b", 0, 0, request},
        {request, 128, "Host", "b", 1, 1, "GET / HTTP/1.1\r\nAccept: */*\r\nHost: b\r\n"},
        // "X: 12\r\n" needs 7 bytes and the terminator one more; a cut line is never written.
        {"A: 1\r\n", 14, "X", "12", 0, 1, "A: 1\r\nX: 12\r\n"},
        {"A: 1\r\n", 13, "X", "12", 0, 0, "A: 1\r\n"},
        // Replacing frees the old line's room first.
        {"X: 1\r\nA: 1\r\n", 14, "X", "12", 1, 1, "A: 1\r\nX: 12\r\n"},
        // A header line may not carry a line of its own.
        {"A: 1\r\n", 64, "X", "1\r\nEvil: 1", 0, 0, "A: 1\r\n"},
        {"A: 1\r\n", 64, "X\nY", "1", 0, 0, "A: 1\r\n"},
        // A last line without its line end gets one before the new line.
        {"A: 1", 64, "X", "2", 0, 1, "A: 1\r\nX: 2\r\n"},
        {"A: 1\r\nX: 1", 64, "X", "2", 1, 1, "A: 1\r\nX: 2\r\n"},
        {"X: 1\r\nA: 1", 64, "X", "2", 1, 1, "A: 1\r\nX: 2\r\n"},
    };
    for (const Row& r : rows) {
        std::vector<char> block(r.capacity, 0);
        strcpy(block.data(), r.block);
        EXPECT_EQ(WebGet_HeaderSet(block.data(), r.capacity, r.name, r.value, r.replace), r.result) << r.block;
        EXPECT_STREQ(block.data(), r.after) << r.block;
    }
    char block[] = "A: 1\r\n\nB: 2";
    EXPECT_EQ(WebGet_HeaderRemove(strstr(block, "B")), 0);
    EXPECT_EQ(WebGet_HeaderRemove(block), 1);
    EXPECT_STREQ(block, "B: 2");
}

TEST(WebGetHeader, StatusLine) {
    struct Row {
        const char* text;
        int32_t length; // -1: the whole text
        int64_t codeResult;
        int32_t code;
        int64_t versionResult;
        double version;
        int64_t statusResult;
        const char* status;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\nA: b\r\n", -1, 1, 200, 1, 1.1, 1, "OK"},
        {"HTTP/1.0 404 Object not found  \r\n", -1, 1, 404, 1, 1.0, 1, "Object not found"},
        {"HTTP/0.9 99 Low\r\n", -1, 0, 99, 0, 0.9, 1, "Low"},
        {"HTTP/1.1 200\r\n", -1, 1, 200, 1, 1.1, 0, ""},
        {"Host: a b\r\n", -1, 0, 0, 0, 0, 0, ""},
        {"HTTP/1.1 99999999999 X\r\n", -1, 0, 0, 1, 1.1, 1, "X"},
        // Only the given length counts: "HTTP/" needs a sixth character after it.
        {"HTTP/1.1 200 OK\r\n", 5, 0, 0, 0, 0, 0, ""},
        {"HTTP/1.1 200 OK\r\n", 6, 0, 0, 1, 1.0, 0, ""},
        {"HTTP/1.1 200 OK\r\n", 11, 0, 20, 1, 1.1, 0, ""},
    };
    for (const Row& r : rows) {
        const size_t length = r.length < 0 ? strlen(r.text) : (size_t)r.length;
        // An exact copy without terminator: nothing may be read past the length.
        std::vector<char> bytes(r.text, r.text + length);
        bytes.shrink_to_fit();
        const char* data = bytes.empty() ? "" : bytes.data();
        int32_t code = -1;
        double version = -1;
        char status[64] = "junk";
        EXPECT_EQ(WebGet_HeaderGetHTTPCode(data, (int32_t)length, &code), r.codeResult) << r.text << length;
        EXPECT_EQ(code, r.code) << r.text << length;
        EXPECT_EQ(WebGet_HeaderGetHTTPVersion(data, (int32_t)length, &version), r.versionResult) << r.text << length;
        EXPECT_DOUBLE_EQ(version, r.version) << r.text << length;
        EXPECT_EQ(WebGet_HeaderGetHTTPStatus(data, (int32_t)length, status, sizeof(status)), r.statusResult)
            << r.text << length;
        EXPECT_STREQ(status, r.status) << r.text << length;
    }
}

TEST(WebGetHeader, ParameterLists) {
    const char* cursor = "  ;a=1;;b; c=x y\r\nd=2";
    std::vector<std::string> seen;
    char name[16], value[16];
    while (WebGet_HeaderValueExtractNextParameter(&cursor, name, sizeof(name), value, sizeof(value)))
        seen.push_back(std::string(name) + "|" + value);
    EXPECT_EQ(seen, (std::vector<std::string>{"a|1", "b|", "c|x y"}));
    EXPECT_STREQ(cursor, "\r\nd=2");

    struct Row {
        const char* list;
        const char* name;
        int32_t capacity;
        int64_t result;
        const char* value;
    };
    const Row rows[] = {
        {"text/html; Charset=utf-8; q=0.5", "charset", 32, 1, "utf-8"},
        {"a; b; c=3", "b", 32, 1, ""},
        {"a=1", "x", 32, 0, ""},
        // The whole capacity is the value's, and a capacity of 1 is an empty answer, not a stop.
        {"q=12345", "q", 6, 1, "12345"},
        {"q=12345", "q", 1, 1, ""},
    };
    for (const Row& r : rows) {
        char buffer[32] = "junk";
        EXPECT_EQ(WebGet_HeaderValueFindParameter(r.list, r.name, buffer, r.capacity), r.result) << r.list;
        EXPECT_STREQ(buffer, r.value) << r.list;
    }
}

TEST(WebGetHeader, ExtractParameter) {
    struct Row {
        const char* text;
        const char* name;
        int64_t result;
        const char* value;
    };
    const Row rows[] = {
        {"Digest realm=\"a b\", nonce=x", "realm", 1, "a b"},
        {"Digest realm=\"a b\", nonce=x", "NONCE", 1, "x"},
        {"myrealm=1", "realm", 0, ""},
        {"qop : 'auth', x", "qop", 1, "auth"},
        {"a=1;b=2\r\nc=3", "b", 1, "2"},
        {"realm=, x", "realm", 1, ""},
        {"realm=\"open", "realm", 1, "open"},
        {"realm x", "realm", 0, ""},
        {"user: bob", "user", 1, "bob"},
        // A longer name ending in the wanted one does not hide it.
        {"cnonce=\"1\", nonce=\"2\"", "nonce", 1, "2"},
    };
    for (const Row& r : rows) {
        char value[32] = "junk";
        EXPECT_EQ(WebGet_HeaderValueExtractParameter(r.text, r.name, value, sizeof(value)), r.result) << r.text;
        EXPECT_STREQ(value, r.value) << r.text;
    }
}

TEST(WebGetHeader, CapacityAborts) {
    ExpectAborts({
        {[] {
             char v[4];
             WebGet_HeaderValueExtractParameter("a=1", "a", v, 0);
         },
         AbortRegex("Assertion failed (MaxValue > 0)\nWebGet_HeaderValueExtractParameter: MaxValue must be "
                    "greater than zero\n")},
        {[] {
             const char* c = "a=1";
             char n[4], v[4];
             WebGet_HeaderValueExtractNextParameter(&c, n, 0, v, 4);
         },
         AbortRegex("Assertion failed (MaxName > 0)\nWebGet_HeaderValueExtractNextParameter: MaxName must be "
                    "greater than zero\n")},
        {[] {
             const char* c = "a=1";
             char n[4], v[4];
             WebGet_HeaderValueExtractNextParameter(&c, n, 4, v, 0);
         },
         AbortRegex("Assertion failed (MaxValue > 0)\nWebGet_HeaderValueExtractNextParameter: MaxValue must be "
                    "greater than zero\n")},
    });
}

TEST(WebGetHeader, Ranges) {
    struct Row {
        const char* value;
        int64_t result, first, last;
    };
    const Row ranges[] = {
        {"bytes=100-", 1, 100, -1},
        {"bytes=-500", 1, -500, -1},
        {"bytes=200-100", 0, 200, 100},
        {"Bytes = 0 - 99,200-300", 1, 0, 99},
        {"bytes=-5-6", 0, -5, -1},
        {"bytes=5-x", 0, 5, -1},
        // The "-" must follow the number: it is not taken from the next range of a list.
        {"bytes=0-x", 0, 0, -1},
        {"bytes=100,200-300", 0, 100, -1},
        {"bytes=100", 1, 100, -1},
        {"bytes:1-2", 0, 0, -1},
        {"items=1-2", 0, 0, -1},
        {"bytes=99999999999999999999-", 0, 0, -1},
    };
    for (const Row& r : ranges) {
        int64_t first = 7, last = 7;
        EXPECT_EQ(WebGet_HeaderValueDecodeRange(r.value, &first, &last), r.result) << r.value;
        EXPECT_EQ(first, r.first) << r.value;
        EXPECT_EQ(last, r.last) << r.value;
    }

    struct ContentRow {
        const char* value;
        int64_t result, first, last, total;
    };
    const ContentRow contents[] = {
        {"bytes 0-99/1000", 1, 0, 99, 1000},
        {"bytes 0-99/*", 1, 0, 99, -1},
        {"bytes */1000", 0, 0, -1, -1},
        {"bytes=0-99/1000", 0, 0, -1, -1},
        {"bytes 5-4/10", 0, 5, 4, 10},
        {"bytes 0-99/", 0, 0, 99, -1},
        {"bytes 0-99", 0, 0, 99, -1},
        {"bytes 0-/10", 0, 0, -1, -1},
    };
    for (const ContentRow& r : contents) {
        int64_t first = 7, last = 7, total = 7;
        EXPECT_EQ(WebGet_HeaderValueDecodeContentRange(r.value, &first, &last, &total), r.result) << r.value;
        EXPECT_EQ(first, r.first) << r.value;
        EXPECT_EQ(last, r.last) << r.value;
        EXPECT_EQ(total, r.total) << r.value;
    }
    int64_t first = 7, last = 7;
    EXPECT_EQ(WebGet_HeaderDecodeContentRange("HTTP/1.1 206 Partial\r\ncontent-range: bytes 10-19/20\r\n\r\n",
                                              &first, &last),
              1);
    EXPECT_EQ(first, 10);
    EXPECT_EQ(last, 19);
    EXPECT_EQ(WebGet_HeaderDecodeContentRange("HTTP/1.1 200 OK\r\n\r\n", &first, &last), 0);
    EXPECT_EQ(last, -1);
}

TEST(WebGetHeader, DictionaryRoundTrip) {
    const char* block = "HTTP/1.1 200  OK\r\nContent-Type: text/html\r\nset-cookie: a=1; b = 2;;c\r\n"
                        "X-Empty:\r\nBare\r\n\n\r\nVia: x\r\nVia: y\r\ntrailing";
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetAllowDuplicates(dict, 1);
    EXPECT_EQ(WebGet_HeaderToDictionary(block, dict, 1), 1);
    DictionaryItem* cookie = nullptr;
    ASSERT_EQ(Dictionary_ItemFindByKey(dict, "set-cookie", nullptr, &cookie), 1);
    EXPECT_EQ(Dictionary_ItemCompareType(dict, cookie, DICTIONARY_TYPE_DICTIONARY), 1);

    char text[256];
    EXPECT_EQ(WebGet_HeaderFromDictionary(dict, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nset-cookie: a=1;b=2;c=\r\nX-Empty: \r\n"
                       "Bare: \r\nVia: x\r\nVia: y\r\n\r\n");

    // Without the first-line option the status line is left out; a cut block is reported.
    Dictionary_Reset(dict);
    EXPECT_EQ(WebGet_HeaderToDictionary("GET / HTTP/1.1\r\nHost: a\r\n", dict, 0), 1);
    EXPECT_EQ(WebGet_HeaderFromDictionary(dict, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Host: a\r\n\r\n");
    EXPECT_EQ(WebGet_HeaderFromDictionary(dict, text, 6), 0);
    EXPECT_STREQ(text, "Host:");
    EXPECT_EQ(WebGet_HeaderFromDictionary(dict, text, 0), 0);

    // A value may not carry lines of its own.
    Dictionary_AddString(dict, "X", "1\r\nEvil: 1", nullptr);
    EXPECT_EQ(WebGet_HeaderFromDictionary(dict, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
    Dictionary_Release(&dict);
}

TEST(WebGetHeader, NextProxy) {
    const char* list = "PROXY 10.0.0.1:8080; DIRECT;HTTPS p:443; SOCKS p:1080; HTTPS://Sec.example:8443/path;"
                       "HTTP h:80; ;  x:1\\y ";
    struct Row {
        int32_t index;
        int64_t result;
        const char* proxy;
    };
    const Row rows[] = {
        {0, 1, "http://10.0.0.1:8080/"}, {1, 1, ""}, {2, 1, "https://p:443/"}, {3, 0, ""},
        {4, 1, "https://Sec.example:8443/"}, {5, 1, "http://h:80/"}, {6, 0, ""}, {7, 1, "http://x:1/"},
        {8, 0, ""}, {-1, 0, ""},
    };
    for (const Row& r : rows) {
        TakeLog();
        char proxy[64] = "junk";
        EXPECT_EQ(WebGet_GetNextProxy(list, r.index, proxy, sizeof(proxy)), r.result) << r.index;
        EXPECT_STREQ(proxy, r.proxy) << r.index;
        const std::string log = TakeLog();
        const bool warned = log.find("WARNING - Unsupported proxy configuration type (SOCKS p:1080)\n") != std::string::npos;
        EXPECT_EQ(warned, r.index == 3) << log;
    }
    // An address that does not fit is no answer, rather than a cut one naming another host.
    char small[16] = "junk";
    EXPECT_EQ(WebGet_GetNextProxy("PROXY longhost:8080", 0, small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");
}

TEST(WebGetHeader, BypassProxy) {
    struct Row {
        const char* url;
        const char* list;
        int64_t bypass;
    };
    const Row rows[] = {
        {"http://localhost/x", "", 1},
        {"http://LOCALHOST:81/", "<-loopback>", 0},
        {"http://localhost/", "<-loopback>;localhost", 1},
        {"http://127.0.0.1:8080/", "", 1},
        {"http://intranet/", "<local>", 1},
        {"http://a.example.com/", "<local>", 0},
        {"http://a.example.com/", " *.EXAMPLE.com ; other", 1},
        {"http://a.example.com/", "a?example.co?", 1},
        {"http://b.other.org/", "*.example.com", 0},
        {"http://example.com/", "*.example.com", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(WebGet_BypassProxy(r.url, r.list), r.bypass) << r.url << " / " << r.list;
}

TEST(WebGetHeader, ProxyByProtocol) {
    struct Row {
        const char* url;
        const char* settings;
        const char* proxy;
    };
    const Row rows[] = {
        {"https://a/", "http=p1:80;https=p2:443", "p2:443"},
        // The scheme must be the whole name: "http" does not take the "https" proxy.
        {"http://a/", "https=p2:443; http=p1:80", "p1:80"},
        {"ftp://a/", "http=p1:80", "http=p1:80"},
        {"http://a/", "proxy:8080", "proxy:8080"},
        {"a.example/x", "HTTP=p1", "p1"},
    };
    for (const Row& r : rows) {
        char proxy[64] = "junk";
        EXPECT_EQ(WebGet_GetProxyByProtocol(r.url, r.settings, proxy, sizeof(proxy)), 1);
        EXPECT_STREQ(proxy, r.proxy) << r.url << " / " << r.settings;
    }
}

} // namespace
