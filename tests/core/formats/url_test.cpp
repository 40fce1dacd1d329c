#include "core/formats/url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

using CopyFn = int64_t (*)(const char*, char*, int32_t);
using PtrFn = int64_t (*)(const char*, const char**);
using EditFn = int64_t (*)(char*);

constexpr char kGuard = '\x5A';

// Runs a copy function into a guarded buffer and checks that it stays inside capacity and
// terminates its output.
std::string Copy(CopyFn fn, const char* url, int64_t* result = nullptr, int32_t capacity = 256) {
    std::vector<char> out((size_t)(capacity > 0 ? capacity : 0) + 16, kGuard);
    int64_t r = fn(url, out.data(), capacity);
    if (result) *result = r;
    for (size_t i = (size_t)(capacity > 0 ? capacity : 0); i < out.size(); i++)
        EXPECT_EQ(out[i], kGuard) << "wrote past the capacity for " << url;
    if (capacity < 1) return "<none>";
    EXPECT_LT(strnlen(out.data(), (size_t)capacity), (size_t)capacity) << "not terminated for " << url;
    return out.data();
}

// "-" stands for an absent part: answer 0 and an empty output.
void ExpectPart(CopyFn fn, const char* name, const char* url, const char* expected) {
    int64_t r = -1;
    std::string got = Copy(fn, url, &r);
    if (strcmp(expected, "-") == 0) {
        EXPECT_EQ(r, 0) << name << " of " << url;
        EXPECT_EQ(got, "") << name << " of " << url;
    } else {
        EXPECT_EQ(r, 1) << name << " of " << url;
        EXPECT_EQ(got, expected) << name << " of " << url;
    }
}

std::string Edit(EditFn fn, const char* url, int64_t* result) {
    std::vector<char> text(url, url + strlen(url) + 1);
    *result = fn(text.data());
    return text.data();
}

std::string FixPath(const char* url, int32_t plus, int64_t* result = nullptr, int32_t capacity = 256) {
    std::vector<char> out((size_t)capacity + 16, kGuard);
    int64_t r = URL_FixPath(url, plus, out.data(), capacity);
    if (result) *result = r;
    for (size_t i = (size_t)capacity; i < out.size(); i++) EXPECT_EQ(out[i], kGuard) << url;
    return capacity > 0 ? out.data() : "<none>";
}

std::string Fix(const char* url, int32_t plus, int64_t* result = nullptr, int32_t capacity = 256) {
    std::vector<char> out((size_t)capacity + 16, kGuard);
    int64_t r = URL_Fix(url, plus, out.data(), capacity);
    if (result) *result = r;
    for (size_t i = (size_t)capacity; i < out.size(); i++) EXPECT_EQ(out[i], kGuard) << url;
    return capacity > 0 ? out.data() : "<none>";
}

std::string Join(const char* base, const char* reference, int64_t* result = nullptr, int32_t capacity = 256) {
    std::vector<char> out((size_t)capacity + 16, kGuard);
    int64_t r = URL_Join(base, reference, out.data(), capacity);
    if (result) *result = r;
    for (size_t i = (size_t)capacity; i < out.size(); i++) EXPECT_EQ(out[i], kGuard) << base;
    return capacity > 0 ? out.data() : "<none>";
}

std::string Decode(const std::string& text, int32_t capacity = 256) {
    std::vector<char> out((size_t)capacity + 16, kGuard);
    EXPECT_EQ(URL_Decode(text.data(), (int32_t)text.size(), out.data(), capacity), 1);
    for (size_t i = (size_t)capacity; i < out.size(); i++) EXPECT_EQ(out[i], kGuard) << text;
    return capacity > 0 ? std::string(out.data()) : "<none>";
}

std::string Encode(const std::string& text, const char* kept, int32_t capacity = 256) {
    std::vector<char> out((size_t)capacity + 16, kGuard);
    EXPECT_EQ(URL_Encode(text.data(), (int32_t)text.size(), out.data(), capacity, kept), 1);
    for (size_t i = (size_t)capacity; i < out.size(); i++) EXPECT_EQ(out[i], kGuard) << text;
    return capacity > 0 ? std::string(out.data()) : "<none>";
}

// Value of a macro key; the buffer starts as "untouched" so that keys that leave it alone show.
std::string Expand(const char* name, const char* argument, int64_t* result = nullptr,
                   int32_t capacity = 256) {
    std::vector<char> value((size_t)capacity + 16, kGuard);
    if (capacity > 9)
        strcpy(value.data(), "untouched");
    else if (capacity > 0)
        value[0] = 0;
    std::string arg = argument ? argument : "";
    std::vector<char> argBuffer(arg.begin(), arg.end());
    argBuffer.push_back(0);
    int64_t r = URL_ExpandKey(nullptr, name, argument ? argBuffer.data() : nullptr, value.data(), capacity);
    if (result) *result = r;
    if (argument) {
        EXPECT_STREQ(argBuffer.data(), argument) << "argument changed for " << name;
    }
    for (size_t i = (size_t)capacity; i < value.size(); i++) EXPECT_EQ(value[i], kGuard) << name;
    return capacity > 0 ? value.data() : "<none>";
}

// ---- Taking a URL apart --------------------------------------------------------------------

TEST(UrlTest, PartsOfUrls) {
    struct Case {
        const char* url;
        const char* protocol;
        const char* username;
        const char* password;
        const char* host;
        const char* hostWithoutPort;
        const char* hostWithPort;
        const char* domain;
        const char* path;
        const char* pathWithoutFilename;
        const char* filename;
        const char* query;
    };
    const Case cases[] = {
        {"http://u:pw@h:81/d/f.txt?q=1#z", "http", "u", "pw", "h:81", "h", "h:81", "h", "/d/f.txt", "/d/",
         "f.txt", "?q=1"},
        {"https://www.Example.com/", "https", "-", "-", "www.Example.com", "www.Example.com",
         "www.Example.com:443", "Example.com", "/", "/", "-", "-"},
        {"h/a b", "-", "-", "-", "h", "h", "h", "h", "/a b", "/", "a b", "-"},
        {"host:443/x", "-", "-", "-", "host:443", "host", "host:443", "host", "/x", "/", "x", "-"},
        {"/a/b.html?x=1", "-", "-", "-", "", "", "-", "-", "/a/b.html", "/a/", "b.html", "?x=1"},
        // The host ends at "?" and "#" too; without a separator there is no path.
        {"http://h?x=1#f", "http", "-", "-", "h", "h", "h:80", "h", "-", "-", "-", "?x=1"},
        {"file:///C:/dir/f.txt", "file", "-", "-", "", "", "-", "-", "C:/dir/f.txt", "C:/dir/", "f.txt", "-"},
        // A "?" inside the fragment is fragment text.
        {"http://h/p#sec?x", "http", "-", "-", "h", "h", "h:80", "h", "/p", "/", "p", "-"},
        // An "@" after the host's end is no user information.
        {"http://evil.example?@good.example/", "http", "-", "-", "evil.example", "evil.example",
         "evil.example:80", "evil.example", "-", "-", "-", "?@good.example/"},
        {"http://a.b.c.d:8080/x/", "http", "-", "-", "a.b.c.d:8080", "a.b.c.d", "a.b.c.d:8080", "c.d", "/x/",
         "/x/", "-", "-"},
        {"http://u@h/", "http", "u", "-", "h", "h", "h:80", "h", "/", "/", "-", "-"},
        {"http://:p@h/", "http", "", "p", "h", "h", "h:80", "h", "/", "/", "-", "-"},
        {"ftp://u:p:q@h\\dir\\f", "ftp", "u", "p:q", "h", "h", "h:21", "h", "\\dir\\f", "\\dir\\", "f", "-"},
        // The query runs to the last "#", the fragment from it.
        {"http://h/a?b=c?d#e#f", "http", "-", "-", "h", "h", "h:80", "h", "/a", "/", "a", "?b=c?d#e"},
        // "://" that is not the first of ":/?#" is no scheme separator for the host.
        // (and "/b:" reads as a drive letter).
        {"a/b://c/d", "a/b", "-", "-", "a", "a", "a", "a", "b://c/d", "b://c/", "d", "-"},
        {"a/1://c/d", "a/1", "-", "-", "a", "a", "a", "a", "/1://c/d", "/1://c/", "d", "-"},
        {"", "-", "-", "-", "", "", "-", "-", "-", "-", "-", "-"},
        {"http://[::1]:8080/", "http", "-", "-", "[::1]:8080", "[", "[:80", "[", "/", "/", "-", "-"},
    };
    for (const Case& c : cases) {
        ExpectPart(URL_ParseProtocol, "protocol", c.url, c.protocol);
        ExpectPart(URL_ParseUsername, "username", c.url, c.username);
        ExpectPart(URL_ParsePassword, "password", c.url, c.password);
        int64_t r = -1;
        EXPECT_EQ(Copy(URL_ParseHost, c.url, &r), c.host) << c.url;
        EXPECT_EQ(r, 1);
        EXPECT_EQ(Copy(URL_ParseHostWithoutPort, c.url, &r), c.hostWithoutPort) << c.url;
        EXPECT_EQ(r, 1);
        ExpectPart(URL_ParseHostWithPort, "hostWithPort", c.url, c.hostWithPort);
        ExpectPart(URL_ParseDomain, "domain", c.url, c.domain);
        ExpectPart(URL_ParsePath, "path", c.url, c.path);
        ExpectPart(URL_ParsePathWithoutFilename, "pathWithoutFilename", c.url, c.pathWithoutFilename);
        ExpectPart(URL_ParseFilename, "filename", c.url, c.filename);
        ExpectPart(URL_ParseQuery, "query", c.url, c.query);
    }
}

TEST(UrlTest, PortsAndDefaultPorts) {
    struct Case {
        const char* url;
        int32_t hostPort;  // URL_ParseHostPort
        uint32_t port;     // URL_ParsePort
        int64_t isDefault; // URL_IsDefaultPort
    };
    const Case cases[] = {
        {"https://h:443/", 443, 443, 1},
        {"https://h:80/", 80, 80, 0},
        {"h:80", 80, 80, 0}, // no scheme: not in the table
        {"https://h/", 0, 443, 1},
        {"HTTP://h/", 0, 80, 1},
        {"gopher://h:70/", 70, 70, 1},
        {"shout://h", 0, 8000, 1},
        {"foo://h:1/", 1, 1, 0},
        {"foo://h/", 0, 0, 1},
        {"http://h:/", 0, 80, 1},
        {"http://h:0/", 0, 80, 1},
        {"http://h:8080x/", 8080, 8080, 0}, // the leading digits
        {"http://u:99@h/", 0, 80, 1},       // a colon in the user information is no port
        {"http://h:65535/", 65535, 65535, 0},
        // Above 65535 the port is unusable, also where it would wrap to a valid one.
        {"http://h:65536/", 0, 0, 0},
        {"http://h:4294967376/", 0, 0, 0},
        {"http://h:0x50/", 0, 80, 1}, // decimal only
    };
    for (const Case& c : cases) {
        int32_t hostPort = -1;
        EXPECT_EQ(URL_ParseHostPort(c.url, &hostPort), c.hostPort > 0 ? 1 : 0) << c.url;
        EXPECT_EQ(hostPort, c.hostPort) << c.url;
        uint32_t port = 7;
        EXPECT_EQ(URL_ParsePort(c.url, &port), c.port > 0 ? 1 : 0) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
        EXPECT_EQ(URL_IsDefaultPort(c.url), c.isDefault) << c.url;
    }
    int64_t r = -1;
    EXPECT_EQ(Copy(URL_ParseHostWithPort, "http://h:65536/", &r), "");
    EXPECT_EQ(r, 0);
}

TEST(UrlTest, PortTable) {
    const char* names[] = {"", "https", "http", "ftp", "telnet", "shout", "gopher"};
    const uint32_t ports[] = {0, 443, 80, 21, 23, 8000, 70};
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(URL_PortStringTable[i].Port, ports[i]);
        EXPECT_STREQ(URL_PortStringTable[i].Name, names[i]);
        EXPECT_EQ(URL_TranslatePortString(names[i]), ports[i]);
        EXPECT_STREQ(URL_TranslatePort(ports[i]), names[i]);
    }
    EXPECT_EQ(URL_TranslatePortString("HTTPS"), 443u);
    EXPECT_EQ(URL_TranslatePortString("Gopher"), 70u);
    EXPECT_EQ(URL_TranslatePortString("httpx"), 0u);
    EXPECT_EQ(URL_TranslatePortString("htt"), 0u);
    EXPECT_STREQ(URL_TranslatePort(8080), "");
}

TEST(UrlTest, PointersIntoTheText) {
    const char* url = "http://u@h:1/d/f?q#z";
    const char* p = nullptr;
    EXPECT_EQ(URL_ParseHostPtr(url, &p), 1);
    EXPECT_EQ(p, url + 9);
    EXPECT_EQ(URL_ParsePathPtr(url, &p), 1);
    EXPECT_STREQ(p, "/d/f?q#z");
    EXPECT_EQ(p, url + 12);
    EXPECT_EQ(URL_ParseFilenamePtr(url, &p), 1);
    EXPECT_STREQ(p, "f?q#z");
    EXPECT_EQ(URL_ParseQueryPtr(url, &p), 1);
    EXPECT_STREQ(p, "?q#z");
    EXPECT_EQ(URL_ParseFragmentPtr(url, &p), 1);
    EXPECT_STREQ(p, "#z");
    EXPECT_EQ(URL_ParseDomainPtr("http://a.b.c.d:80/", &p), 1);
    EXPECT_STREQ(p, "c.d:80/");

    // Absent parts: the host pointer without "://", the constant "/" and the text's end.
    const char* bare = "host:8/x";
    EXPECT_EQ(URL_ParseHostPtr(bare, &p), 0);
    EXPECT_EQ(p, bare);
    const char* noPath = "http://h?x";
    EXPECT_EQ(URL_ParsePathPtr(noPath, &p), 0);
    EXPECT_STREQ(p, "/");
    EXPECT_EQ(URL_ParseFilenamePtr(noPath, &p), 0);
    EXPECT_EQ(p, noPath + strlen(noPath));
    EXPECT_EQ(URL_ParseFragmentPtr(noPath, &p), 0);
    EXPECT_EQ(p, noPath + strlen(noPath));
    const char* plain = "http://h/";
    EXPECT_EQ(URL_ParseQueryPtr(plain, &p), 0);
    EXPECT_EQ(p, plain + strlen(plain));
    EXPECT_EQ(URL_ParseDomainPtr("/x", &p), 0);
    EXPECT_STREQ(p, "/x");
    // A drive letter after the separator starts the path.
    EXPECT_EQ(URL_ParsePathPtr("file:///c:/x", &p), 1);
    EXPECT_STREQ(p, "c:/x");
    EXPECT_EQ(URL_ParsePathPtr("file:///c", &p), 1);
    EXPECT_STREQ(p, "/c");
}

TEST(UrlTest, CopiesAreCutToTheCapacity) {
    const char* url = "http://host.example/some/file.txt?q=1";
    int64_t r = -1;
    EXPECT_EQ(Copy(URL_ParseHost, url, &r, 5), "host");
    EXPECT_EQ(Copy(URL_ParseFilename, url, &r, 4), "fil");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Copy(URL_ParseHostWithPort, url, &r, 15), "host.example:8");
    EXPECT_EQ(Copy(URL_ParsePath, url, &r, 1), "");
    EXPECT_EQ(Copy(URL_ParsePath, url, &r, 0), "<none>");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Copy(URL_ParseQuery, url, &r, -3), "<none>");
    EXPECT_EQ(r, 1);
}

TEST(UrlTest, QueryParameters) {
    struct Case {
        const char* url;
        const char* name;
        const char* expected; // "-" when absent
    };
    const Case cases[] = {
        {"?x=1&y=2", "Y", "2"},           {"http://h/p?x=1&y=2", "x", "1"},
        {"?flag&x=1", "flag&x", "1"}, // a name runs to the next "="
        {"?flag&x=1", "flag", "-"},       {"?flag&x=1", "x", "-"},
        {"http://h/?debug", "debug", ""}, {"http://h/?a==%20b&c=d", "a", "%20b"}, // further "=" are skipped
        {"http://h/?a=1#frag", "a", "1"}, {"http://h/?a#frag", "a", ""},
        {"http://h/?x=1&x=2", "x", "1"},  {"http://h/p#x=1", "x", "-"}, // fragment text is no query
        {"http://h/?=v&a=1", "a", "-"},                                 // an empty name ends the split
        {"http://h/?  ?&&a=b", "a", "b"}, {"http://h/", "a", "-"},
    };
    for (const Case& c : cases) {
        char out[64];
        memset(out, kGuard, sizeof(out));
        int64_t r = URL_ParseQueryParam(c.url, c.name, out, sizeof(out));
        if (strcmp(c.expected, "-") == 0) {
            EXPECT_EQ(r, 0) << c.url << " " << c.name;
            EXPECT_STREQ(out, "") << c.url;
        } else {
            EXPECT_EQ(r, 1) << c.url << " " << c.name;
            EXPECT_STREQ(out, c.expected) << c.url << " " << c.name;
        }
    }
    char small[3];
    EXPECT_EQ(URL_ParseQueryParam("?a=12345", "a", small, sizeof(small)), 1);
    EXPECT_STREQ(small, "12");
}

TEST(UrlTest, SplitQueryCallsBackPerParameter) {
    struct Record {
        std::vector<std::string> items;
        int stopAfter = 1000;
    };
    auto callback = [](void* context, const char* name, const char* value) -> int64_t {
        Record* record = static_cast<Record*>(context);
        record->items.push_back(std::string(name) +
                                (value ? "=" + std::string(value) : std::string("|none")));
        return (int)record->items.size() < record->stopAfter ? 1 : 0;
    };
    struct Case {
        const char* query;
        int stopAfter;
        int64_t result;
        std::vector<std::string> items;
    };
    const Case cases[] = {
        {"?a=1&b=2", 1000, 1, {"a=1", "b=2"}},
        {"a&b", 1000, 1, {"a&b|none"}},
        {"?flag&x=1&=y&z=2", 1000, 1, {"flag&x=1"}},
        {" & ?a = 1 &b=#x#y", 1000, 1, {"a =1 ", "b=#x"}},
        {"a=1&b=2&c=3", 2, 0, {"a=1", "b=2"}},
        {"", 1000, 1, {}},
        {"?&& ", 1000, 1, {}},
        {"a=", 1000, 1, {"a="}},
    };
    for (const Case& c : cases) {
        Record record;
        record.stopAfter = c.stopAfter;
        EXPECT_EQ(URL_SplitQuery(c.query, &record, callback), c.result) << c.query;
        EXPECT_EQ(record.items, c.items) << c.query;
    }
    // Names and values are cut at 8191 bytes.
    std::string longQuery = "n=" + std::string(9000, 'v');
    Record record;
    URL_SplitQuery(longQuery.c_str(), &record, callback);
    ASSERT_EQ(record.items.size(), 1u);
    EXPECT_EQ(record.items[0].size(), 2u + 8191u);
}

// ---- Editing in place ----------------------------------------------------------------------

TEST(UrlTest, RemovingParts) {
    struct Case {
        EditFn fn;
        const char* url;
        const char* expected;
        int64_t result;
    };
    const Case cases[] = {
        {URL_RemoveProtocol, "http://h/p", "h/p", 1},
        {URL_RemoveProtocol, "h/p", "h/p", 1},
        {URL_RemoveQuery, "http://h/p?a=1#f", "http://h/p#f", 1},
        {URL_RemoveQuery, "http://h/p?a=1", "http://h/p", 1},
        {URL_RemoveQuery, "http://h/p#f?a", "http://h/p#f?a", 0},
        {URL_RemoveQuery, "http://h/p?a#b#c", "http://h/p#c", 1},
        {URL_RemoveQuery, "http://h?a", "http://h", 1},
        {URL_RemoveFragment, "http://h/p#a#b", "http://h/p#a", 1},
        {URL_RemoveFragment, "http://h/p", "http://h/p", 0},
        {URL_RemoveFilename, "http://h/d/f.txt?q#z", "http://h/d/?q#z", 1},
        {URL_RemoveFilename, "http://h/d/", "http://h/d/", 0},
        {URL_RemoveFilename, "http://h", "http://h", 0},
        {URL_RemoveFilename, "/a\\b", "/a\\", 1},
    };
    for (const Case& c : cases) {
        int64_t r = -1;
        EXPECT_EQ(Edit(c.fn, c.url, &r), c.expected) << c.url;
        EXPECT_EQ(r, c.result) << c.url;
    }
}

// ---- Questions and comparisons -------------------------------------------------------------

TEST(UrlTest, Questions) {
    struct Case {
        const char* url;
        int64_t relative, dynamic, localhost;
    };
    const Case cases[] = {
        {"a/b", 1, 0, 0},
        {"http://h/p", 0, 0, 0},
        {"a?x=http://h", 1, 1, 0},
        {"http://h/p?x", 0, 1, 0},
        {"http://h/p#a=b", 0, 0, 0},
        {"http://h/a=b", 0, 1, 0},
        {"http://h/a&b#c", 0, 1, 0},
        {"http://LocalHost:8080/", 0, 0, 1},
        {"http://127.0.0.1/x", 0, 0, 1},
        {"http://u:p@localhost/", 0, 0, 1},
        {"localhost", 1, 0, 1},
        {"http://127.0.0.2/", 0, 0, 0},
        {"http://localhost.example/", 0, 0, 0},
        {"", 1, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(URL_IsRelative(c.url), c.relative) << c.url;
        EXPECT_EQ(URL_IsDynamic(c.url), c.dynamic) << c.url;
        EXPECT_EQ(URL_IsLocalhost(c.url), c.localhost) << c.url;
    }
}

TEST(UrlTest, Comparisons) {
    struct Case {
        const char* a;
        const char* b;
        int64_t hosts, hostsWithoutPort, domains;
    };
    const Case cases[] = {
        {"http://H:80/a", "https://h:80/b", 1, 1, 1},
        {"http://h/", "http://h:80/", 0, 1, 1},
        {"http://www.x.com/", "ftp://X.COM/", 0, 0, 1},
        {"http://u@h/", "h", 1, 1, 1},
        {"http://a.x.h/", "http://b.x.h/", 0, 0, 1},
        {"http://a.h/", "http://b.h/", 0, 0, 0},
        {"http://h/", "http://g/", 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(URL_CompareHosts(c.a, c.b), c.hosts) << c.a << " " << c.b;
        EXPECT_EQ(URL_CompareHostsWithoutPort(c.a, c.b), c.hostsWithoutPort) << c.a << " " << c.b;
        EXPECT_EQ(URL_CompareDomains(c.a, c.b), c.domains) << c.a << " " << c.b;
    }
    // Long hosts that agree in their first 119 bytes are still different hosts.
    std::string common(150, 'a');
    std::string x = "http://" + common + "x.example/", y = "http://" + common + "y.example/";
    EXPECT_EQ(URL_CompareHosts(x.c_str(), y.c_str()), 0);
    EXPECT_EQ(URL_CompareHostsWithoutPort(x.c_str(), y.c_str()), 0);
    EXPECT_EQ(URL_CompareHosts(x.c_str(), x.c_str()), 1);

    struct Scheme {
        const char* url;
        const char* scheme;
        int64_t expected;
    };
    const Scheme schemes[] = {
        {"HTTP://h", "http", 1}, {"http:/h", "http", 0}, {"ht", "http", 0}, {"https://h", "http", 0},
        {"http://", "http", 1},  {"://h", "", 1},        {"h://", "", 0},
    };
    for (const Scheme& s : schemes) EXPECT_EQ(URL_CompareProtocol(s.url, s.scheme), s.expected) << s.url;
}

// ---- IPv4 addresses ------------------------------------------------------------------------

TEST(UrlTest, ConvertToIP) {
    struct Case {
        const char* url;
        int64_t result;
        uint8_t bytes[4];
        uint16_t port;
    };
    const Case cases[] = {
        {"http://10.0.0.1:8080/x", 1, {10, 0, 0, 1}, 8080},
        {"http://u@192.168.1.2/", 1, {192, 168, 1, 2}, 0},
        {"http://1.2.3.4?x#y", 1, {1, 2, 3, 4}, 0},
        {"10.0.0.1", 0, {0, 0, 0, 0}, 0}, // no "://"
        {"http://h/", 0, {0, 0, 0, 0}, 0},
        {"http://10.0.0/", 0, {0, 0, 0, 0}, 0},
        {"http://10.0.0.1:/", 0, {0, 0, 0, 0}, 0},
        {"http://10.0.0.1:70000/", 0, {0, 0, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        uint32_t address = 0xFFFFFFFF;
        uint16_t port = 0xFFFF;
        EXPECT_EQ(URL_ConvertToIP(c.url, &address, &port), c.result) << c.url;
        EXPECT_EQ(memcmp(&address, c.bytes, 4), 0) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
    }
    std::string longHost = "http://" + std::string(100, '1') + "/";
    uint32_t address = 1;
    EXPECT_EQ(URL_ConvertToIP(longHost.c_str(), &address, nullptr), 0);
    EXPECT_EQ(address, 0u);
}

TEST(UrlTest, ConvertFromIP) {
    const uint8_t bytes[4] = {192, 168, 0, 1};
    uint32_t address;
    memcpy(&address, bytes, 4);
    char out[64];
    strcpy(out, "garbage");
    EXPECT_EQ(URL_ConvertFromIP(&address, 8080, "http", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "http://192.168.0.1:8080/");
    strcpy(out, "x=");
    EXPECT_EQ(URL_ConvertFromIP(&address, 0, nullptr, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "x=192.168.0.1/");
    char small[12];
    memset(small, kGuard, sizeof(small));
    EXPECT_EQ(URL_ConvertFromIP(&address, 1, "https", small, 10), 1);
    EXPECT_STREQ(small, "https://1");
    EXPECT_EQ(small[10], kGuard);
    // Text that is not terminated within the capacity is left alone.
    memset(small, 'z', sizeof(small));
    EXPECT_EQ(URL_ConvertFromIP(&address, 0, nullptr, small, 4), 1);
    EXPECT_EQ(std::string(small, 4), "zzzz");
}

// ---- Normalising ---------------------------------------------------------------------------

TEST(UrlTest, FixPath) {
    struct Case {
        const char* url;
        int32_t plus;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h//a\\b/./c/../d e?x=a//b\\c/../#f g", 0, "http://h/a/b/d%20e?x=a//b\\c/../#f%20g"},
        {"http://h//a\\b/./c/../d e?x=a//b\\c/../#f g", 1, "http://h/a/b/d+e?x=a//b\\c/../#f+g"},
        {"http:\\\\h\\a", 0, "http://h/a"},
        {"http:///h", 0, "http://h"},
        {"http://h/a#b//c", 0, "http://h/a#b//c"},
        // In "file" URLs the separators of "file:///" stay as they are.
        {"file:///C:/dir//x\\y", 0, "file:///C:/dir/x/y"},
        {"file://server//share\\x", 0, "file://server/share/x"},
        {"file:\\\\\\C:\\a", 0, "file://C:/a"}, // no "file://": rewritten from the start
        {"h/../x/./y", 0, "h/x/y"},
        {"../c", 0, "../c"}, // ".." is the host here: its path "/c" has nothing to fold
        {"", 0, ""},
    };
    for (const Case& c : cases) {
        int64_t r = -1;
        EXPECT_EQ(FixPath(c.url, c.plus, &r), c.expected) << c.url;
        EXPECT_EQ(r, 1) << c.url;
    }
    // At least 3 bytes of room remain while copying; "%20" also needs its terminator.
    int64_t r = -1;
    EXPECT_EQ(FixPath("abcdef", 0, &r, 5), "abc");
    EXPECT_EQ(FixPath("a b", 0, &r, 5), "a%20");
    EXPECT_EQ(FixPath("a b", 0, &r, 4), "a");
    EXPECT_EQ(FixPath("a b", 1, &r, 4), "a+");
    EXPECT_EQ(FixPath("abc", 0, &r, 1), "");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(FixPath("abc", 0, &r, 0), "<none>");
    EXPECT_EQ(r, 0);
}

TEST(UrlTest, FixRelativePath) {
    struct Case {
        const char* url;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h/a/b/../c?x=/../y#/../z", "http://h/a/c?x=/../y#/../z"},
        {"http://h/a/b/../c#/../z", "http://h/a/c#/../z"},
        {"http://h/../../x", "http://h/x"},
        {"/a/./b/../../..", "/"},
        {"/a/b/..", "/a/"},
        {"/a/b/.", "/a/b/"},
        {"/a//b///c/", "/a/b/c/"},
        {"http://h/a/..\\..\\etc\\passwd", "http://h/etc/passwd"},
        {"http://h", "http://h"},
        {"http://h?a/../b", "http://h?a/../b"},
        {"file:///C:/a/../../x", "file:///C:/x"},
        {"/...//..x/.../", "/.../..x/.../"},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::vector<char> text(c.url, c.url + strlen(c.url) + 1);
        EXPECT_EQ(URL_FixRelativePath(text.data(), (int32_t)text.size()), 1) << c.url;
        EXPECT_STREQ(text.data(), c.expected) << c.url;
    }
    // Fewer than 2 bytes of room from the path start: nothing changes.
    char text[] = "http://h/a/../b";
    EXPECT_EQ(URL_FixRelativePath(text, 9), 0);
    EXPECT_STREQ(text, "http://h/a/../b");
}

TEST(UrlTest, Fix) {
    struct Case {
        const char* in;
        int32_t plus;
        int64_t result;
        const char* expected;
    };
    const Case cases[] = {
        {"h/a b", 0, 1, "http://h/a%20b"},
        {"h/a b", 1, 1, "http://h/a+b"},
        {"host:443/x", 0, 1, "https://host:443/x"},
        {"host:8080/x", 0, 1, "://host:8080/x"},
        {"h:21/x", 0, 1, "ftp://h:21/x"},
        {"mailto:x", 0, 0, ""},
        {"JavaScript:alert(1)", 0, 0, ""},
        {" \r\n javascript:x", 0, 0, ""},
        {"", 0, 0, ""},
        {"  \r\n", 0, 0, ""},
        {"  http://h/a  \r\n", 0, 1, "http://h/a"},
        {"\r\nh/x\n", 0, 1, "http://h/x"},
        {"ftp://h/../x//y", 0, 1, "ftp://h/x/y"},
        {"https://h/a/./b?q=/./#x", 0, 1, "https://h/a/b?q=/./#x"},
        {"h:99999/x", 0, 1, "http://h:99999/x"},
    };
    for (const Case& c : cases) {
        int64_t r = -1;
        EXPECT_EQ(Fix(c.in, c.plus, &r), c.expected) << c.in;
        EXPECT_EQ(r, c.result) << c.in;
    }
    int64_t r = -1;
    EXPECT_EQ(Fix("http://host/path", 0, &r, 8), "http://");
    EXPECT_EQ(r, 1);
    // Longer text is cut in the 8192-byte work buffer.
    std::string longPath = "http://h/" + std::string(10000, 'p');
    std::vector<char> out(9000);
    EXPECT_EQ(URL_Fix(longPath.c_str(), 0, out.data(), (int32_t)out.size()), 1);
    EXPECT_LT(strlen(out.data()), 8192u);
    EXPECT_EQ(std::string(out.data(), 9), "http://h/");
}

// ---- Joining and queries -------------------------------------------------------------------

TEST(UrlTest, Join) {
    struct Case {
        const char* base;
        const char* reference;
        int64_t result;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h/a/b.html?x=1&y=2#top", "c.html?y=3", 1, "http://h/a/c.html?x=1&y=3#top"},
        {"http://h/a/b.html?x=1&y=2#top", "/c", 1, "http://h/c?x=1&y=2#top"},
        {"http://h/a/b.html?x=1&y=2#top", "../c", 1, "http://h/c?x=1&y=2#top"},
        {"http://h/a/b.html?x=1&y=2#top", "https://o/p", 1, "https://o/p"},
        {"http://h/a/b.html?x=1&y=2#top", "#sec", 1, "http://h/a/b.html?x=1&y=2#sec"},
        {"http://h/a/b.html?x=1", "?X=2&z=3", 1, "http://h/a/b.html?x=2&z=3"},
        {"http://h/a/b/c.html", "../../x", 1, "http://h/x"},
        {"http://h/a/b/c.html", "./x/../y", 1, "http://h/a/b/y"},
        {"http://h/a/b/c.html", "../../../../x", 1, "http://h/x"},
        {"http://host", "x.html", 1, "http://host/x.html"},
        {"http://host", "/x.html", 1, "http://host/x.html"},
        {"http://host?q=1", "x.html", 1, "http://host/x.html?q=1"},
        {"http://h/a/", "", 1, "http://h/a/"},
        {"http://h/a/b", "c d", 1, "http://h/a/c%20d"},
        {"http://h/a/b", "\\c\\d", 1, "http://h/c/d"},
        {"h/a/b", "c", 1, "http://h/a/c"},
        {"javascript:x", "http://o/p", 1, "http://o/p"},
        {"http://h/a", "?#", 1, "http://h/a#"},
        {"", "", 0, ""},
    };
    for (const Case& c : cases) {
        int64_t r = -1;
        EXPECT_EQ(Join(c.base, c.reference, &r), c.expected) << c.base << " + " << c.reference;
        EXPECT_EQ(r, c.result) << c.base << " + " << c.reference;
    }
    int64_t r = -1;
    EXPECT_EQ(Join("http://h/a/b", "c", &r, 10), "http://h/");
    EXPECT_EQ(r, 1);
    // Inputs beyond the work buffers are cut, never overrun.
    std::string longBase = "http://h/" + std::string(20000, 'b') + "?" + std::string(20000, 'q');
    std::string longRef =
        std::string(20000, 'r') + "?" + std::string(20000, 's') + "#" + std::string(20000, 'f');
    std::vector<char> out(30000);
    URL_Join(longBase.c_str(), longRef.c_str(), out.data(), (int32_t)out.size());
    EXPECT_LT(strlen(out.data()), 8192u);
}

TEST(UrlTest, CombineQueries) {
    struct Case {
        const char* first;
        const char* second;
        const char* expected;
    };
    const Case cases[] = {
        {"?a=1&b=2", "b=3&c", "?a=1&b=3&c"},
        {"", "", ""},
        {"?A=1", "a", "?A"},
        {"?a==1", "", "?a=1"},
        {"? a = 1 &&b", "", "?a =1 &b"},
        {"", "?x=1#frag", "?x=1"},
        {"x=1&y=2&X=3", "Y=4&z", "?x=3&y=4&z"},
    };
    for (const Case& c : cases) {
        char out[64];
        memset(out, kGuard, sizeof(out));
        EXPECT_EQ(URL_CombineQueries(c.first, c.second, out, sizeof(out)), 1);
        EXPECT_STREQ(out, c.expected) << c.first << " + " << c.second;
    }
    char small[6];
    memset(small, kGuard, sizeof(small));
    URL_CombineQueries("?abc=def", "", small, 5);
    EXPECT_STREQ(small, "?abc");
    EXPECT_EQ(small[5], kGuard);

    // Many parameters with repeated names merge in order.
    std::string many, again;
    for (int i = 0; i < 3000; i++) many += "&n" + std::to_string(i) + "=" + std::to_string(i);
    for (int i = 0; i < 3000; i += 2) again += "&N" + std::to_string(i) + "=x";
    std::vector<char> out(100000);
    URL_CombineQueries(many.c_str(), again.c_str(), out.data(), (int32_t)out.size());
    std::string merged = out.data();
    EXPECT_EQ(merged.substr(0, 22), "?n0=x&n1=1&n2=x&n3=3&n");
    EXPECT_EQ(merged.find("N"), std::string::npos);
}

TEST(UrlTest, JoinQueryAndAppendQuery) {
    struct Case {
        bool append;
        const char* url;
        const char* query;
        int64_t result;
        const char* expected;
    };
    const Case cases[] = {
        {false, "http://h/p?a=1&b=2#f", "b=3&c", 1, "http://h/p?a=1&b=3&c#f"},
        {false, "h/p", "x=1", 1, "http://h/p?x=1"},
        {false, "http://h/p", "", 1, "http://h/p"},
        {false, "javascript:x", "a=1", 0, "javascript:x"},
        {true, "http://h/p", "a=1", 1, "http://h/p?a=1"},
        {true, "http://h/p", "&a=1", 1, "http://h/p?a=1"},
        {true, "http://h/p", "?a=1", 1, "http://h/p?a=1"},
        {true, "http://h/p?x=1", "a=1&x=2", 1, "http://h/p?x=1&a=1&x=2"},
        {true, "http://h/p?x=1", "?a=1", 1, "http://h/p?x=1&a=1"},
        {true, "http://h/p#f", "a=1", 1, "http://h/p?a=1#f"},
        {true, "http://h/p", "", 1, "http://h/p"},
        {true, "h p", "", 1, "http://h%20p"},
        {true, "", "a=1", 0, ""},
    };
    for (const Case& c : cases) {
        char url[128];
        strcpy(url, c.url);
        int64_t r =
            c.append ? URL_AppendQuery(url, sizeof(url), c.query) : URL_JoinQuery(url, sizeof(url), c.query);
        EXPECT_EQ(r, c.result) << c.url << " + " << c.query;
        EXPECT_STREQ(url, c.expected) << c.url << " + " << c.query;
    }
    char url[32];
    memset(url, kGuard, sizeof(url));
    strcpy(url, "http://h/p");
    EXPECT_EQ(URL_JoinQuery(url, 16, "abc=defghijk"), 1);
    EXPECT_STREQ(url, "http://h/p?abc=");
    EXPECT_EQ(url[16], kGuard);
}

TEST(UrlTest, RebuildingFunctionsAcceptTheirInputAsOutput) {
    char buffer[64];
    strcpy(buffer, " h/a b ");
    EXPECT_EQ(URL_Fix(buffer, 0, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "http://h/a%20b");
    strcpy(buffer, "http://h/a/b?x=1");
    EXPECT_EQ(URL_Join(buffer, "c?y=2", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "http://h/a/c?x=1&y=2");
    strcpy(buffer, "?a=1");
    EXPECT_EQ(URL_CombineQueries(buffer, "b=2", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "?a=1&b=2");
    strcpy(buffer, "http://h/p?x=1");
    EXPECT_EQ(URL_ParseQuery(buffer, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "?x=1");
}

// ---- Percent-encoding ----------------------------------------------------------------------

TEST(UrlTest, Decode) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"%41%4a%zz+", "AJ%zz+"},
        {"%4", "%4"},
        {"%", "%"},
        {"a%2", "a%2"},
        {"%%41", "%A"},
        {"%2F%2f", "//"},
        {"%e2%82%AC", "\xE2\x82\xAC"},
        {"a%00b", "a"}, // the byte is written; the text ends there
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Decode(c.text), c.expected) << c.text;
    EXPECT_EQ(Decode("%41BC", 3), "AB");
    EXPECT_EQ(Decode("%41BC", 1), "");
    EXPECT_EQ(Decode("%41BC", 0), "<none>");

    // The length bounds the scan: a sequence cut by it stays as written.
    char out[16];
    EXPECT_EQ(URL_Decode("%41", 2, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "%4");
    EXPECT_EQ(URL_Decode("abc", 0, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(URL_Decode("abc", -5, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "");

    // In place.
    char text[] = "/a%20b/%C3%A9%zz";
    EXPECT_EQ(URL_DecodeString(text, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "/a b/\xC3\xA9%zz");
}

TEST(UrlTest, Encode) {
    EXPECT_EQ(Encode("a b/c?", nullptr), "a%20b/c%3F");
    EXPECT_EQ(Encode("@*-_./:\\~!", nullptr), "@*-_./:\\%7E%21");
    EXPECT_EQ(Encode("AZaz09", ""), "AZaz09");
    EXPECT_EQ(Encode("a.b", ""), "a%2Eb");
    EXPECT_EQ(Encode(std::string("a\0b", 3), nullptr), "a%00b");
    EXPECT_EQ(Encode("\xC3\xA9\xFF", nullptr), "%C3%A9%FF");
    EXPECT_EQ(Encode("abc", nullptr, 3), "a");
    EXPECT_EQ(Encode("a b", nullptr, 5), "a%20");
    EXPECT_EQ(Encode("a b", nullptr, 4), "a");
    EXPECT_EQ(Encode("abc", nullptr, 0), "<none>");

    char out[32];
    EXPECT_EQ(URL_EncodeRFC3986("a/b", 3, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "a%2Fb");
    EXPECT_EQ(URL_EncodeRFC3986("-_.~ @", 6, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "-_.~%20%40");
    EXPECT_EQ(URL_EncodeString("x y", out, sizeof(out), nullptr), 1);
    EXPECT_STREQ(out, "x%20y");
    EXPECT_EQ(URL_EncodeString("x y", out, sizeof(out), " "), 1);
    EXPECT_STREQ(out, "x y");

    // Encoding then decoding gives the bytes back.
    std::string all;
    for (int i = 1; i < 256; i++) all += (char)i;
    std::vector<char> encoded(1024), decoded(512);
    URL_Encode(all.data(), (int32_t)all.size(), encoded.data(), (int32_t)encoded.size(), nullptr);
    URL_DecodeString(encoded.data(), decoded.data(), (int32_t)decoded.size());
    EXPECT_EQ(std::string(decoded.data()), all);
}

// ---- Macro keys ----------------------------------------------------------------------------

TEST(UrlTest, ExpandKeyUrlParse) {
    const char* url = "http://u:s3cret@h:81/d/f.txt?q=1#z";
    struct Case {
        const char* part;
        const char* expected;
    };
    const Case cases[] = {
        {"host", "h:81"},
        {"hostWithoutPort", "h"},
        {"username", "u"},
        {"password", "s3cret"},
        {"filename", "f.txt"},
        {"query", "?q=1"},
        {"fragment", "#z"},
        {"port", "81"},
        {"path", "/d/f.txt"},
        {"protocol", "http"},
        {"domain", "h"},
        {"pathWithQuery", "/d/f.txt?q=1#z"},
        {"pathWithoutFilename", "/d/"},
        {"queryWithFragment", "?q=1#z"},
        {"query=q", "1"},
        {"queryParam=Q", "1"},
        {"query=missing", ""},
        {"queryParam", "untouched"},
        {"urlWithoutQuery", "http://u:s3cret@h:81/d/f.txt#z"},
        {"urlWithoutFragment", "http://u:s3cret@h:81/d/f.txt?q=1"},
        {"urlWithoutFilename", "http://u:s3cret@h:81/d/?q=1#z"},
        {"HOSTWITHOUTPORT", "h"},
        {"nothing", "untouched"},
        {"", "untouched"},
    };
    for (const Case& c : cases) {
        std::string argument = std::string(c.part) + "," + url;
        int64_t r = -1;
        EXPECT_EQ(Expand("UrlParse", argument.c_str(), &r), c.expected) << c.part;
        EXPECT_EQ(r, 1) << c.part;
    }
    // Parts that do not exist give the empty text.
    EXPECT_EQ(Expand("UrlParse", "port,https://h/"), "443");
    EXPECT_EQ(Expand("UrlParse", "port,h/x"), "");
    EXPECT_EQ(Expand("UrlParse", "fragment,http://h/"), "");
    EXPECT_EQ(Expand("UrlParse", "password,http://h/"), "");
    EXPECT_EQ(Expand("UrlParse", "pathWithQuery,http://h?x"), "");
    EXPECT_EQ(Expand("UrlParse", "domain,http://a.b.c.d/"), "c.d");
    EXPECT_EQ(Expand("UrlParse", "domain,http://c.d/"), "c.d");
    // No comma: the output stays as it was.
    EXPECT_EQ(Expand("UrlParse", "host"), "untouched");
    // The url may hold commas of its own.
    EXPECT_EQ(Expand("urlparse", "query=a,http://h/?a=1,2"), "1,2");
    EXPECT_EQ(Expand("UrlParse", "urlWithoutQuery,http://h/p?x", nullptr, 8), "http://");
}

TEST(UrlTest, ExpandKeyOtherKeys) {
    struct Case {
        const char* name;
        const char* argument;
        int64_t result;
        const char* expected;
    };
    const Case cases[] = {
        {"UrlDecode", "a%20b+", 1, "a b+"},
        {"URLDECODE", "", 1, ""},
        {"UrlEncode", "a b/c?", 1, "a%20b/c%3F"},
        {"UrlQueryEncode", "a b/c~", 1, "a%20b%2Fc~"},
        {"UrlFix", "h/a b", 1, "http://h/a%20b"},
        {"urlfix", "mailto:x", 1, ""},
        {"UrlJoin", "http://h/a/b,c", 1, "http://h/a/c"},
        {"UrlJoin", "http://h/a/b", 1, "untouched"},
        {"UrlJoin", "http://h/a/b?x=1,c?y=2,3", 1, "http://h/a/c?x=1&y=2,3"},
        {"UrlFix", nullptr, 0, "untouched"},
        {"UrlParse", nullptr, 0, "untouched"},
        {"UrlSomething", "x", 0, "untouched"},
        {"Base64Encode", "x", 0, "untouched"},
    };
    for (const Case& c : cases) {
        int64_t r = -1;
        EXPECT_EQ(Expand(c.name, c.argument, &r), c.expected) << c.name;
        EXPECT_EQ(r, c.result) << c.name;
    }
    int64_t r = -1;
    EXPECT_EQ(Expand("UrlEncode", "abc", &r, 0), "<none>");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Expand("UrlEncode", "a b c", &r, 6), "a%20");
}

// ---- Bad input -----------------------------------------------------------------------------

TEST(UrlTest, HugeAndOddInputsHaveDefinedResults) {
    std::vector<std::string> inputs = {
        std::string(1 << 20, '/'),
        std::string(1 << 20, '?'),
        std::string(1 << 20, '%'),
        std::string(1 << 20, '@'),
        "http://" + std::string(1 << 20, ':'),
        "http://h/" + std::string(1 << 19, '.') + "/..",
        [] {
            std::string s = "http://h";
            for (int i = 0; i < 100000; i++) s += "/a/..";
            return s;
        }(),
        [] {
            std::string s = "?";
            for (int i = 0; i < 100000; i++) s += "&k" + std::to_string(i % 5000) + "=v";
            return s;
        }(),
        "\xFF\xFE://\xC3(@\x80/%E2%82",
        "%",
        "%A",
        "http://h/a%",
    };
    std::vector<char> out(512);
    const int32_t cap = (int32_t)out.size();
    for (const std::string& s : inputs) {
        const char* u = s.c_str();
        const CopyFn copies[] = {URL_ParseProtocol,
                                 URL_ParseUsername,
                                 URL_ParsePassword,
                                 URL_ParseHost,
                                 URL_ParseHostWithoutPort,
                                 URL_ParseHostWithPort,
                                 URL_ParseDomain,
                                 URL_ParsePath,
                                 URL_ParsePathWithoutFilename,
                                 URL_ParseFilename,
                                 URL_ParseQuery};
        for (CopyFn fn : copies) {
            fn(u, out.data(), cap);
            EXPECT_LT(strnlen(out.data(), (size_t)cap), (size_t)cap);
        }
        const char* p = nullptr;
        const PtrFn pointers[] = {URL_ParseHostPtr,     URL_ParseDomainPtr, URL_ParsePathPtr,
                                  URL_ParseFilenamePtr, URL_ParseQueryPtr,  URL_ParseFragmentPtr};
        for (PtrFn fn : pointers) {
            fn(u, &p);
            EXPECT_NE(p, nullptr);
        }
        URL_ParseQueryParam(u, "k1", out.data(), cap);
        URL_Fix(u, 0, out.data(), cap);
        URL_FixPath(u, 1, out.data(), cap);
        URL_Join(u, u, out.data(), cap);
        URL_CombineQueries(u, u, out.data(), cap);
        URL_DecodeString(u, out.data(), cap);
        URL_EncodeString(u, out.data(), cap, nullptr);
        std::vector<char> text(s.begin(), s.end());
        text.push_back(0);
        URL_FixRelativePath(text.data(), (int32_t)text.size());
        EXPECT_LE(strlen(text.data()), s.size());
        const EditFn edits[] = {URL_RemoveQuery, URL_RemoveFragment, URL_RemoveFilename, URL_RemoveProtocol};
        for (EditFn fn : edits) {
            std::vector<char> copy(s.begin(), s.end());
            copy.push_back(0);
            fn(copy.data());
            EXPECT_LE(strlen(copy.data()), s.size());
        }
        std::vector<char> url(9000, 0);
        strncpy(url.data(), u, 8999);
        URL_JoinQuery(url.data(), (int32_t)url.size(), "a=1");
        URL_AppendQuery(url.data(), (int32_t)url.size(), "b=2");
        EXPECT_LT(strlen(url.data()), url.size());
    }
}

TEST(UrlTest, NullPointersStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char out[8];
    const char* p = nullptr;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_ParseHost(nullptr, out, sizeof(out));
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_ParseHost("h", nullptr, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_ParsePathPtr("h", nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_ParseQueryPtr(nullptr, &p);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_ParseQueryParam("?a=1", nullptr, out, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_RemoveQuery(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_Join("a", nullptr, out, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_Decode(nullptr, 1, out, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_SplitQuery("a", nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_ExpandKey(nullptr, nullptr, out, out, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            URL_CompareProtocol("http://h", nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
