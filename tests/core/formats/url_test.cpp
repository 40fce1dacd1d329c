#include "core/formats/url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/guarded_output.h"

namespace {

using CopyFn = int64_t (*)(const char*, char*, int32_t);
using EditFn = int64_t (*)(char*);

// One call of a function that writes text: two inputs, the capacity, and the answer and text
// expected ("-" for an absent part: answer 0 and an empty text).
struct Row {
    const char* A;
    const char* B;
    int32_t Capacity;
    int64_t Answer;
    const char* Text;
};

void ExpectRows(const std::function<int64_t(const Row&, char*, int32_t)>& write,
                const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        const std::string label =
            std::string(row.A) + " | " + (row.B ? row.B : "") + " | " + std::to_string(row.Capacity);
        const bool absent = strcmp(row.Text, "-") == 0;
        int64_t r = -1;
        const std::string text = Guarded(
            row.Capacity, [&](char* o, int32_t c) { return write(row, o, c); }, &r, label);
        EXPECT_EQ(std::pair(r, text), std::pair(absent ? 0 : row.Answer, std::string(absent ? "" : row.Text)))
            << label;
    }
}

// ---- Taking a URL apart --------------------------------------------------------------------

TEST(UrlTest, ComponentsOfUrls) {
    // clang-format off
    const CopyFn parts[] = {URL_ParseProtocol, URL_ParseUsername, URL_ParsePassword, URL_ParseHost,
                            URL_ParseHostWithoutPort, URL_ParseHostWithPort, URL_ParseDomain, URL_ParsePath,
                            URL_ParsePathWithoutFilename, URL_ParseFilename, URL_ParseQuery};
    // url, then protocol, username, password, host, hostWithoutPort, hostWithPort, domain, path,
    // pathWithoutFilename, filename, query
    const char* cases[][12] = {
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
        // "://" that is not the first of ":/?#" is no scheme separator for the host (and "/b:"
        // reads as a drive letter).
        {"a/b://c/d", "a/b", "-", "-", "a", "a", "a", "a", "b://c/d", "b://c/", "d", "-"},
        {"a/1://c/d", "a/1", "-", "-", "a", "a", "a", "a", "/1://c/d", "/1://c/", "d", "-"},
        {"", "-", "-", "-", "", "", "-", "-", "-", "-", "-", "-"},
        {"http://[::1]:8080/", "http", "-", "-", "[::1]:8080", "[", "[:80", "[", "/", "/", "-", "-"}};
    // clang-format on
    for (size_t i = 0; i < std::size(parts); i++) {
        std::vector<Row> rows;
        for (const auto& c : cases) rows.push_back({c[0], "", 256, 1, c[i + 1]});
        ExpectRows([&](const Row& r, char* o, int32_t c) { return parts[i](r.A, o, c); }, rows);
    }
    // Copies are cut to the capacity; the answer stays 1.
    const char* url = "http://host.example/some/file.txt?q=1";
    const std::tuple<CopyFn, int32_t, const char*> cuts[] = {{URL_ParseHost, 5, "host"},
                                                             {URL_ParseFilename, 4, "fil"},
                                                             {URL_ParseHostWithPort, 15, "host.example:8"},
                                                             {URL_ParsePath, 1, ""},
                                                             {URL_ParsePath, 0, "<none>"},
                                                             {URL_ParseQuery, -3, "<none>"}};
    for (const auto& [fn, capacity, text] : cuts)
        ExpectRows([fn = fn](const Row& r, char* o, int32_t c) { return fn(r.A, o, c); },
                   {{url, "", capacity, 1, text}});
}

TEST(UrlTest, PortsAndDefaultPorts) {
    // url, URL_ParseHostPort, URL_ParsePort, URL_IsDefaultPort
    // clang-format off
    const std::tuple<const char*, int32_t, uint32_t, int64_t> cases[] = {
        {"https://h:443/", 443, 443, 1}, {"https://h:80/", 80, 80, 0}, {"HTTP://h/", 0, 80, 1},
        {"https://h/", 0, 443, 1},
        {"h:80", 80, 80, 0}, // no scheme: not in the table
        {"gopher://h:70/", 70, 70, 1}, {"shout://h", 0, 8000, 1}, {"foo://h:1/", 1, 1, 0},
        {"foo://h/", 0, 0, 1},
        {"http://h:/", 0, 80, 1}, {"http://h:0/", 0, 80, 1}, {"http://h:0x50/", 0, 80, 1}, // decimal only
        {"http://h:8080x/", 8080, 8080, 0}, // the leading digits
        {"http://u:99@h/", 0, 80, 1},       // a colon in the user information is no port
        {"http://h:65535/", 65535, 65535, 0},
        // Above 65535 the port is unusable, also where it would wrap to a valid one.
        {"http://h:65536/", 0, 0, 0}, {"http://h:4294967376/", 0, 0, 0}};
    // clang-format on
    for (const auto& [url, hostPort, port, isDefault] : cases) {
        int32_t gotHostPort = -1;
        uint32_t gotPort = 7;
        const int64_t hostAnswer = URL_ParseHostPort(url, &gotHostPort),
                      answer = URL_ParsePort(url, &gotPort);
        EXPECT_EQ(std::tuple(hostAnswer, gotHostPort, answer, gotPort, URL_IsDefaultPort(url)),
                  std::tuple(int64_t{hostPort > 0}, hostPort, int64_t{port > 0}, port, isDefault))
            << url;
    }
    ExpectRows([](const Row& r, char* o, int32_t c) { return URL_ParseHostWithPort(r.A, o, c); },
               {{"http://h:65536/", "", 256, 0, "-"}});
    // Scheme names and their well-known ports, both ways; the first row is the fallback.
    const std::tuple<const char*, uint32_t> schemes[] = {
        {"", 0}, {"https", 443}, {"http", 80}, {"ftp", 21}, {"telnet", 23}, {"shout", 8000}, {"gopher", 70}};
    for (const auto& [name, port] : schemes)
        EXPECT_EQ(std::pair(URL_TranslatePortString(name), std::string(URL_TranslatePort(port))),
                  std::pair(port, std::string(name)));
    const std::tuple<const char*, uint32_t> others[] = {
        {"HTTPS", 443}, {"Gopher", 70}, {"httpx", 0}, {"htt", 0}};
    for (const auto& [name, port] : others) EXPECT_EQ(URL_TranslatePortString(name), port) << name;
    EXPECT_STREQ(URL_TranslatePort(8080), "");
}

TEST(UrlTest, PointersIntoTheText) {
    using PtrFn = int64_t (*)(const char*, const char**);
    const char* url = "http://u@h:1/d/f?q#z";
    const char* bare = "host:8/x";
    const char* noPath = "http://h?x";
    const char* plain = "http://h/";
    // function, url, answer, where the pointer is (null: at the constant text given last)
    const std::tuple<PtrFn, const char*, int64_t, const char*, const char*> cases[] = {
        {URL_ParseHostPtr, url, 1, url + 9, nullptr},
        {URL_ParsePathPtr, url, 1, url + 12, nullptr},
        {URL_ParseFilenamePtr, url, 1, url + 15, nullptr},
        {URL_ParseQueryPtr, url, 1, url + 16, nullptr},
        {URL_ParseFragmentPtr, url, 1, url + 18, nullptr},
        // Absent parts: the host pointer without "://", the constant "/" and the text's end.
        {URL_ParseHostPtr, bare, 0, bare, nullptr},
        {URL_ParsePathPtr, noPath, 0, nullptr, "/"},
        {URL_ParseFilenamePtr, noPath, 0, noPath + 10, nullptr},
        {URL_ParseFragmentPtr, noPath, 0, noPath + 10, nullptr},
        {URL_ParseQueryPtr, plain, 0, plain + 9, nullptr},
        {URL_ParseDomainPtr, "http://a.b.c.d:80/", 1, nullptr, "c.d:80/"},
        {URL_ParseDomainPtr, "/x", 0, nullptr, "/x"},
        // A drive letter after the separator starts the path.
        {URL_ParsePathPtr, "file:///c:/x", 1, nullptr, "c:/x"},
        {URL_ParsePathPtr, "file:///c", 1, nullptr, "/c"}};
    for (const auto& [fn, text, answer, at, rest] : cases) {
        const char* p = nullptr;
        const int64_t got = fn(text, &p);
        EXPECT_EQ(std::tuple(got, at ? p : nullptr, std::string(p)),
                  std::tuple(answer, at, std::string(at ? at : rest)))
            << text;
    }
}

TEST(UrlTest, QueryParameters) {
    // clang-format off
    ExpectRows([](const Row& r, char* o, int32_t c) { return URL_ParseQueryParam(r.A, r.B, o, c); }, {
        {"?x=1&y=2", "Y", 64, 1, "2"},            {"http://h/p?x=1&y=2", "x", 64, 1, "1"},
        {"?flag&x=1", "flag&x", 64, 1, "1"},      // a name runs to the next "="
        {"?flag&x=1", "flag", 64, 1, "-"},        {"?flag&x=1", "x", 64, 1, "-"},
        {"http://h/?debug", "debug", 64, 1, ""},  {"http://h/?a#frag", "a", 64, 1, ""},
        {"http://h/?a==%20b&c=d", "a", 64, 1, "%20b"}, // further "=" are skipped
        {"http://h/?a=1#frag", "a", 64, 1, "1"},  {"http://h/?x=1&x=2", "x", 64, 1, "1"},
        {"http://h/p#x=1", "x", 64, 1, "-"}, // fragment text is no query
        {"http://h/?=v&a=1", "a", 64, 1, "-"},    // an empty name ends the split
        {"http://h/?  ?&&a=b", "a", 64, 1, "b"},  {"http://h/", "a", 64, 1, "-"},
        {"?a=12345", "a", 3, 1, "12"}});
    // clang-format on
}

TEST(UrlTest, SplitQueryCallsBackPerParameter) {
    struct Record {
        std::vector<std::string> Items;
        size_t StopAfter = 1000;
    };
    auto callback = [](void* context, const char* name, const char* value) -> int64_t {
        Record* record = static_cast<Record*>(context);
        record->Items.push_back(std::string(name) +
                                (value ? "=" + std::string(value) : std::string("|none")));
        return record->Items.size() < record->StopAfter ? 1 : 0;
    };
    const std::tuple<const char*, size_t, int64_t, std::vector<std::string>> cases[] = {
        {"?a=1&b=2", 1000, 1, {"a=1", "b=2"}},
        {"a&b", 1000, 1, {"a&b|none"}},
        {"?flag&x=1&=y&z=2", 1000, 1, {"flag&x=1"}},
        {" & ?a = 1 &b=#x#y", 1000, 1, {"a =1 ", "b=#x"}},
        {"a=1&b=2&c=3", 2, 0, {"a=1", "b=2"}},
        {"", 1000, 1, {}},
        {"?&& ", 1000, 1, {}},
        {"a=", 1000, 1, {"a="}}};
    for (const auto& [query, stopAfter, result, items] : cases) {
        Record record{{}, stopAfter};
        EXPECT_EQ(URL_SplitQuery(query, &record, callback), result) << query;
        EXPECT_EQ(record.Items, items) << query;
    }
    // Names and values are cut at 8191 bytes.
    const std::string longQuery = "n=" + std::string(9000, 'v');
    Record record;
    URL_SplitQuery(longQuery.c_str(), &record, callback);
    EXPECT_EQ(record.Items, std::vector<std::string>{"n=" + std::string(8191, 'v')});
}

// ---- Editing in place, questions and comparisons -------------------------------------------

TEST(UrlTest, RemovingComponents) {
    // clang-format off
    const std::tuple<EditFn, const char*, const char*, int64_t> cases[] = {
        {URL_RemoveProtocol, "http://h/p", "h/p", 1},               {URL_RemoveProtocol, "h/p", "h/p", 1},
        {URL_RemoveQuery, "http://h/p?a=1#f", "http://h/p#f", 1},
        {URL_RemoveQuery, "http://h/p?a=1", "http://h/p", 1},
        {URL_RemoveQuery, "http://h/p#f?a", "http://h/p#f?a", 0},
        {URL_RemoveQuery, "http://h/p?a#b#c", "http://h/p#c", 1},
        {URL_RemoveQuery, "http://h?a", "http://h", 1},
        {URL_RemoveFragment, "http://h/p#a#b", "http://h/p#a", 1},
        {URL_RemoveFragment, "http://h/p", "http://h/p", 0},
        {URL_RemoveFilename, "http://h/d/", "http://h/d/", 0},
        {URL_RemoveFilename, "http://h/d/f.txt?q#z", "http://h/d/?q#z", 1},
        {URL_RemoveFilename, "http://h", "http://h", 0},            {URL_RemoveFilename, "/a\\b", "/a\\", 1}};
    // clang-format on
    for (const auto& [fn, url, expected, result] : cases) {
        std::vector<char> text(url, url + strlen(url) + 1);
        const int64_t got = fn(text.data());
        EXPECT_EQ(std::pair(got, std::string(text.data())), std::pair(result, std::string(expected))) << url;
    }
}

TEST(UrlTest, Questions) {
    // url, relative, dynamic, localhost
    // clang-format off
    const std::tuple<const char*, int64_t, int64_t, int64_t> cases[] = {
        {"a/b", 1, 0, 0},              {"http://h/p", 0, 0, 0},        {"a?x=http://h", 1, 1, 0},
        {"http://h/p?x", 0, 1, 0},     {"http://h/p#a=b", 0, 0, 0},    {"http://h/a=b", 0, 1, 0},
        {"http://h/a&b#c", 0, 1, 0},   {"http://LocalHost:8080/", 0, 0, 1}, {"http://127.0.0.1/x", 0, 0, 1},
        {"http://u:p@localhost/", 0, 0, 1}, {"localhost", 1, 0, 1},    {"http://127.0.0.2/", 0, 0, 0},
        {"http://localhost.example/", 0, 0, 0}, {"", 1, 0, 0}};
    // clang-format on
    for (const auto& [url, relative, dynamic, localhost] : cases)
        EXPECT_EQ(std::tuple(URL_IsRelative(url), URL_IsDynamic(url), URL_IsLocalhost(url)),
                  std::tuple(relative, dynamic, localhost))
            << url;
}

TEST(UrlTest, Comparisons) {
    // Long hosts that agree in their first 119 bytes are still different hosts.
    const std::string x = "http://" + std::string(150, 'a') + "x.example/",
                      y = x.substr(0, 157) + "y.example/";
    // a, b, hosts, hosts without port, domains
    // clang-format off
    const std::tuple<std::string, std::string, int64_t, int64_t, int64_t> cases[] = {
        {"http://H:80/a", "https://h:80/b", 1, 1, 1}, {"http://h/", "http://h:80/", 0, 1, 1},
        {"http://www.x.com/", "ftp://X.COM/", 0, 0, 1}, {"http://u@h/", "h", 1, 1, 1},
        {"http://a.x.h/", "http://b.x.h/", 0, 0, 1},  {"http://a.h/", "http://b.h/", 0, 0, 0},
        {"http://h/", "http://g/", 0, 0, 0},          {x, y, 0, 0, 0}, {x, x, 1, 1, 1}};
    const std::tuple<const char*, const char*, int64_t> schemes[] = {
        {"HTTP://h", "http", 1}, {"http:/h", "http", 0}, {"ht", "http", 0}, {"https://h", "http", 0},
        {"http://", "http", 1},  {"://h", "", 1},        {"h://", "", 0}};
    // clang-format on
    for (const auto& [a, b, hosts, withoutPort, domains] : cases)
        EXPECT_EQ(std::tuple(URL_CompareHosts(a.c_str(), b.c_str()),
                             URL_CompareHostsWithoutPort(a.c_str(), b.c_str()),
                             URL_CompareDomains(a.c_str(), b.c_str())),
                  std::tuple(hosts, withoutPort, domains))
            << a << " " << b;
    for (const auto& [url, scheme, expected] : schemes)
        EXPECT_EQ(URL_CompareProtocol(url, scheme), expected) << url;
}

// An origin is scheme, host and port, all three: unlike the host comparison, http and https (or
// ws) of one host and port are different origins, and the default port is the same as none.
TEST(UrlTest, Origins) {
    const std::string longHost = "http://" + std::string(320, 'h');
    // clang-format off
    const std::tuple<std::string, const char*> origins[] = {
        {"HTTP://Skin.Example:8080/a?b#c", "http://skin.example:8080"}, {"http://h:80/", "http://h"},
        {"https://h:443", "https://h"},      {"https://h:80", "https://h:80"}, {"ws://h:4000", "ws://h:4000"},
        {"http://[::1]:9/x", "http://[::1]:9"}, {"http://[::1]/", "http://[::1]"}, {"http://h:0080", "http://h"},
        {"http://u@h/", ""},                 {"http://u:p@h:1/", ""},         {"http://h:/", ""},
        {"http://h:8x/", ""},                {"http://h:65536/", ""},         {"http:///x", ""},
        {"null", ""},                        {"", ""},                        {"h:80", ""},
        {"a/b://h", ""},                     {"http://[::1/", ""},            {"http://[::1]x/", ""},
        {longHost, ""}};
    // clang-format on
    for (const auto& [url, origin] : origins) {
        char out[320] = "junk";
        EXPECT_EQ(URL_ParseOrigin(url.c_str(), out, sizeof(out)), origin[0] ? 1 : 0) << url;
        EXPECT_STREQ(out, origin) << url;
    }
    char small[10] = "junk";
    EXPECT_EQ(URL_ParseOrigin("http://skin.example", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");
    const std::tuple<const char*, const char*, int64_t> pairs[] = {
        {"https://h:4000", "http://h:4000/", 0}, {"ws://h:4000", "http://h:4000/", 0},
        {"http://h:4000", "http://h:4001/", 0},  {"http://localhost:4000", "http://127.0.0.1:4000/", 0},
        {"http://H:80", "http://h/x", 1},        {"null", "null", 0}};
    for (const auto& [a, b, same] : pairs) EXPECT_EQ(URL_CompareOrigins(a, b), same) << a << " " << b;
}

// ---- IPv4 addresses ------------------------------------------------------------------------

TEST(UrlTest, ConvertToIP) {
    const std::string longHost = "http://" + std::string(100, '1') + "/";
    // clang-format off
    const std::tuple<std::string, int64_t, std::vector<uint8_t>, uint16_t> cases[] = {
        {"http://10.0.0.1:8080/x", 1, {10, 0, 0, 1}, 8080}, {"http://u@192.168.1.2/", 1, {192, 168, 1, 2}, 0},
        {"http://1.2.3.4?x#y", 1, {1, 2, 3, 4}, 0},         {"10.0.0.1", 0, {0, 0, 0, 0}, 0}, // no "://"
        {"http://h/", 0, {0, 0, 0, 0}, 0},                  {"http://10.0.0/", 0, {0, 0, 0, 0}, 0},
        {"http://10.0.0.1:/", 0, {0, 0, 0, 0}, 0},          {"http://10.0.0.1:70000/", 0, {0, 0, 0, 0}, 0},
        {longHost, 0, {0, 0, 0, 0}, 0}};
    // clang-format on
    for (const auto& [url, result, bytes, port] : cases) {
        uint32_t address = 0xFFFFFFFF;
        uint16_t gotPort = 0xFFFF;
        const int64_t got = URL_ConvertToIP(url.c_str(), &address, &gotPort);
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
        EXPECT_EQ(std::tuple(got, std::vector<uint8_t>(b, b + 4), gotPort), std::tuple(result, bytes, port))
            << url;
    }
}

TEST(UrlTest, ConvertFromIP) {
    uint32_t address;
    memcpy(&address, "\xC0\xA8\x00\x01", 4); // 192.168.0.1
    char out[64] = "garbage";
    EXPECT_EQ(URL_ConvertFromIP(&address, 8080, "http", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "http://192.168.0.1:8080/");
    // Without a scheme the text is appended to what the buffer holds.
    strcpy(out, "x=");
    EXPECT_EQ(URL_ConvertFromIP(&address, 0, nullptr, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "x=192.168.0.1/");
    EXPECT_EQ(Guarded(10, [&](char* o, int32_t c) { return URL_ConvertFromIP(&address, 1, "https", o, c); }),
              "https://1");
    // Text that is not terminated within the capacity is left alone.
    memset(out, 'z', sizeof(out));
    EXPECT_EQ(URL_ConvertFromIP(&address, 0, nullptr, out, 4), 1);
    EXPECT_EQ(std::string(out, 8), "zzzzzzzz");
}

// ---- Normalising ---------------------------------------------------------------------------

TEST(UrlTest, FixPath) {
    // B "+" writes spaces as "+".
    // clang-format off
    ExpectRows([](const Row& r, char* o, int32_t c) { return URL_FixPath(r.A, r.B[0] == '+', o, c); }, {
        {"http://h//a\\b/./c/../d e?x=a//b\\c/../#f g", "", 256, 1, "http://h/a/b/d%20e?x=a//b\\c/../#f%20g"},
        {"http://h//a\\b/./c/../d e?x=a//b\\c/../#f g", "+", 256, 1, "http://h/a/b/d+e?x=a//b\\c/../#f+g"},
        {"http:\\\\h\\a", "", 256, 1, "http://h/a"},    {"http:///h", "", 256, 1, "http://h"},
        {"http://h/a#b//c", "", 256, 1, "http://h/a#b//c"},
        // In "file" URLs the separators of "file:///" stay as they are.
        {"file:///C:/dir//x\\y", "", 256, 1, "file:///C:/dir/x/y"},
        {"file://server//share\\x", "", 256, 1, "file://server/share/x"},
        {"file:\\\\\\C:\\a", "", 256, 1, "file://C:/a"}, // no "file://": rewritten from the start
        {"h/../x/./y", "", 256, 1, "h/x/y"},            {"", "", 256, 1, ""},
        {"../c", "", 256, 1, "../c"}, // ".." is the host here: its path "/c" has nothing to fold
        // At least 3 bytes of room remain while copying; "%20" also needs its terminator.
        {"abcdef", "", 5, 1, "abc"}, {"a b", "", 5, 1, "a%20"}, {"a b", "", 4, 1, "a"},
        {"a b", "+", 4, 1, "a+"},
        {"abc", "", 1, 1, ""},       {"abc", "", 0, 0, "<none>"}});
    // clang-format on
}

TEST(UrlTest, FixRelativePath) {
    // clang-format off
    const std::tuple<const char*, const char*> cases[] = {
        {"http://h/a/b/../c?x=/../y#/../z", "http://h/a/c?x=/../y#/../z"},
        {"http://h/a/b/../c#/../z", "http://h/a/c#/../z"},
        {"http://h/../../x", "http://h/x"}, {"/a/./b/../../..", "/"}, {"/a/b/..", "/a/"}, {"/a/b/.", "/a/b/"},
        {"/a//b///c/", "/a/b/c/"},          {"http://h/a/..\\..\\etc\\passwd", "http://h/etc/passwd"},
        {"http://h", "http://h"}, {"http://h?a/../b", "http://h?a/../b"},
        {"file:///C:/a/../../x", "file:///C:/x"},
        {"/...//..x/.../", "/.../..x/.../"}, {"", ""}};
    // clang-format on
    for (const auto& [url, expected] : cases) {
        std::vector<char> text(url, url + strlen(url) + 1);
        const int64_t got = URL_FixRelativePath(text.data(), (int32_t)text.size());
        EXPECT_EQ(std::pair(got, std::string(text.data())), std::pair(int64_t{1}, std::string(expected)))
            << url;
    }
    // Fewer than 2 bytes of room from the path start: nothing changes.
    char text[] = "http://h/a/../b";
    EXPECT_EQ(URL_FixRelativePath(text, 9), 0);
    EXPECT_STREQ(text, "http://h/a/../b");
}

TEST(UrlTest, Fix) {
    const std::string longPath = "http://h/" + std::string(10000, 'p');
    // clang-format off
    ExpectRows([](const Row& r, char* o, int32_t c) { return URL_Fix(r.A, r.B[0] == '+', o, c); }, {
        {"h/a b", "", 256, 1, "http://h/a%20b"},            {"h/a b", "+", 256, 1, "http://h/a+b"},
        {"host:443/x", "", 256, 1, "https://host:443/x"},   {"host:8080/x", "", 256, 1, "://host:8080/x"},
        {"h:21/x", "", 256, 1, "ftp://h:21/x"},             {"mailto:x", "", 256, 0, ""},
        {"JavaScript:alert(1)", "", 256, 0, ""},            {" \r\n javascript:x", "", 256, 0, ""},
        {"", "", 256, 0, ""},                               {"  \r\n", "", 256, 0, ""},
        {"  http://h/a  \r\n", "", 256, 1, "http://h/a"},   {"\r\nh/x\n", "", 256, 1, "http://h/x"},
        {"ftp://h/../x//y", "", 256, 1, "ftp://h/x/y"},
        {"https://h/a/./b?q=/./#x", "", 256, 1, "https://h/a/b?q=/./#x"},
        {"h:99999/x", "", 256, 1, "http://h:99999/x"},      {"http://host/path", "", 8, 1, "http://"}});
    // clang-format on
    // Longer text is cut in the 8192-byte work buffer.
    const std::string fixed =
        Guarded(9000, [&](char* o, int32_t c) { return URL_Fix(longPath.c_str(), 0, o, c); });
    EXPECT_LT(fixed.size(), 8192u);
    EXPECT_EQ(fixed.substr(0, 9), "http://h/");
}

// ---- Joining and queries -------------------------------------------------------------------

TEST(UrlTest, Join) {
    const char* base = "http://h/a/b.html?x=1&y=2#top";
    // clang-format off
    ExpectRows([](const Row& r, char* o, int32_t c) { return URL_Join(r.A, r.B, o, c); }, {
        {base, "c.html?y=3", 256, 1, "http://h/a/c.html?x=1&y=3#top"},
        {base, "/c", 256, 1, "http://h/c?x=1&y=2#top"},
        {base, "../c", 256, 1, "http://h/c?x=1&y=2#top"}, {base, "https://o/p", 256, 1, "https://o/p"},
        {base, "#sec", 256, 1, "http://h/a/b.html?x=1&y=2#sec"},
        {"http://h/a/b.html?x=1", "?X=2&z=3", 256, 1, "http://h/a/b.html?x=2&z=3"},
        {"http://h/a/b/c.html", "../../x", 256, 1, "http://h/x"},
        {"http://h/a/b/c.html", "./x/../y", 256, 1, "http://h/a/b/y"},
        {"http://h/a/b/c.html", "../../../../x", 256, 1, "http://h/x"},
        {"http://host", "x.html", 256, 1, "http://host/x.html"},
        {"http://host", "/x.html", 256, 1, "http://host/x.html"},
        {"http://host?q=1", "x.html", 256, 1, "http://host/x.html?q=1"},
        {"http://h/a/", "", 256, 1, "http://h/a/"}, {"http://h/a/b", "c d", 256, 1, "http://h/a/c%20d"},
        {"http://h/a/b", "\\c\\d", 256, 1, "http://h/c/d"}, {"h/a/b", "c", 256, 1, "http://h/a/c"},
        {"javascript:x", "http://o/p", 256, 1, "http://o/p"}, {"http://h/a", "?#", 256, 1, "http://h/a#"},
        {"", "", 256, 0, ""}, {"http://h/a/b", "c", 10, 1, "http://h/"}});
    // clang-format on
    // Inputs beyond the work buffers are cut, never overrun.
    const std::string longBase = "http://h/" + std::string(20000, 'b') + "?" + std::string(20000, 'q');
    const std::string longRef =
        std::string(20000, 'r') + "?" + std::string(20000, 's') + "#" + std::string(20000, 'f');
    EXPECT_LT(
        Guarded(30000, [&](char* o, int32_t c) { return URL_Join(longBase.c_str(), longRef.c_str(), o, c); })
            .size(),
        8192u);
}

TEST(UrlTest, CombineQueries) {
    // clang-format off
    ExpectRows([](const Row& r, char* o, int32_t c) { return URL_CombineQueries(r.A, r.B, o, c); }, {
        {"?a=1&b=2", "b=3&c", 64, 1, "?a=1&b=3&c"}, {"", "", 64, 1, ""}, {"?A=1", "a", 64, 1, "?A"},
        {"?a==1", "", 64, 1, "?a=1"}, {"? a = 1 &&b", "", 64, 1, "?a =1 &b"},
        {"", "?x=1#frag", 64, 1, "?x=1"},
        {"x=1&y=2&X=3", "Y=4&z", 64, 1, "?x=3&y=4&z"}, {"?abc=def", "", 5, 1, "?abc"}});
    // clang-format on
    // Many parameters with repeated names merge in order.
    std::string many, again;
    for (int i = 0; i < 3000; i++) many += "&n" + std::to_string(i) + "=" + std::to_string(i);
    for (int i = 0; i < 3000; i += 2) again += "&N" + std::to_string(i) + "=x";
    const std::string merged = Guarded(
        100000, [&](char* o, int32_t c) { return URL_CombineQueries(many.c_str(), again.c_str(), o, c); });
    EXPECT_EQ(merged.substr(0, 22), "?n0=x&n1=1&n2=x&n3=3&n");
    EXPECT_EQ(merged.find("N"), std::string::npos);
}

TEST(UrlTest, JoinQueryAndAppendQuery) {
    // append (else join), url, query, answer, result
    // clang-format off
    const std::tuple<bool, const char*, const char*, int64_t, const char*> cases[] = {
        {false, "http://h/p?a=1&b=2#f", "b=3&c", 1, "http://h/p?a=1&b=3&c#f"},
        {false, "h/p", "x=1", 1, "http://h/p?x=1"},
        {false, "http://h/p", "", 1, "http://h/p"}, {false, "javascript:x", "a=1", 0, "javascript:x"},
        {true, "http://h/p", "a=1", 1, "http://h/p?a=1"}, {true, "http://h/p", "&a=1", 1, "http://h/p?a=1"},
        {true, "http://h/p", "?a=1", 1, "http://h/p?a=1"},
        {true, "http://h/p?x=1", "a=1&x=2", 1, "http://h/p?x=1&a=1&x=2"},
        {true, "http://h/p?x=1", "?a=1", 1, "http://h/p?x=1&a=1"},
        {true, "http://h/p#f", "a=1", 1, "http://h/p?a=1#f"},
        {true, "http://h/p", "", 1, "http://h/p"},            {true, "h p", "", 1, "http://h%20p"},
        {true, "", "a=1", 0, ""}};
    // clang-format on
    for (const auto& [append, url, query, result, expected] : cases) {
        char text[128];
        strcpy(text, url);
        const int64_t got =
            append ? URL_AppendQuery(text, sizeof(text), query) : URL_JoinQuery(text, sizeof(text), query);
        EXPECT_EQ(std::pair(got, std::string(text)), std::pair(result, std::string(expected)))
            << url << " + " << query;
    }
    EXPECT_EQ(Guarded(16,
                      [](char* o, int32_t c) {
                          strcpy(o, "http://h/p");
                          return URL_JoinQuery(o, c, "abc=defghijk");
                      }),
              "http://h/p?abc=");
}

TEST(UrlTest, RebuildingFunctionsAcceptTheirInputAsOutput) {
    char buffer[64] = " h/a b ";
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
    strcpy(buffer, "/a%20b/%C3%A9%zz");
    EXPECT_EQ(URL_DecodeString(buffer, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "/a b/\xC3\xA9%zz");
}

// ---- Percent-encoding ----------------------------------------------------------------------

TEST(UrlTest, Decode) {
    // B is the length given: empty for the whole text.
    // clang-format off
    ExpectRows([](const Row& r, char* o, int32_t c) {
        return URL_Decode(r.A, r.B[0] ? atoi(r.B) : (int32_t)strlen(r.A), o, c); }, {
        {"%41%4a%zz+", "", 256, 1, "AJ%zz+"}, {"%4", "", 256, 1, "%4"}, {"%", "", 256, 1, "%"},
        {"a%2", "", 256, 1, "a%2"},
        {"%%41", "", 256, 1, "%A"}, {"%2F%2f", "", 256, 1, "//"}, {"%e2%82%AC", "", 256, 1, "\xE2\x82\xAC"},
        {"a%00b", "", 256, 1, "a"}, // the byte is written; the text ends there
        {"", "", 256, 1, ""}, {"%41BC", "", 3, 1, "AB"}, {"%41BC", "", 1, 1, ""},
        {"%41BC", "", 0, 1, "<none>"},
        // The length bounds the scan: a sequence cut by it stays as written.
        {"%41", "2", 16, 1, "%4"}, {"abc", "0", 16, 1, ""}, {"abc", "-5", 16, 1, ""}});
    // clang-format on
}

TEST(UrlTest, Encode) {
    // B is the bytes kept besides letters and digits ("default": the default set).
    // clang-format off
    ExpectRows([](const Row& r, char* o, int32_t c) {
        return URL_Encode(r.A, (int32_t)strlen(r.A), o, c, strcmp(r.B, "default") ? r.B : nullptr); }, {
        {"a b/c?", "default", 256, 1, "a%20b/c%3F"}, {"@*-_./:\\~!", "default", 256, 1, "@*-_./:\\%7E%21"},
        {"AZaz09", "", 256, 1, "AZaz09"}, {"a.b", "", 256, 1, "a%2Eb"}, {"x y", " ", 256, 1, "x y"},
        {"\xC3\xA9\xFF", "default", 256, 1, "%C3%A9%FF"}, {"abc", "default", 3, 1, "a"},
        {"a b", "default", 5, 1, "a%20"},
        {"a b", "default", 4, 1, "a"},               {"abc", "default", 0, 1, "<none>"}});
    // clang-format on
    char out[32];
    EXPECT_EQ(URL_Encode("a\0b", 3, out, sizeof(out), nullptr), 1);
    EXPECT_STREQ(out, "a%00b");
    EXPECT_EQ(URL_EncodeRFC3986("a/b", 3, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "a%2Fb");
    EXPECT_EQ(URL_EncodeRFC3986("-_.~ @", 6, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "-_.~%20%40");
    EXPECT_EQ(URL_EncodeString("x y", out, sizeof(out), nullptr), 1);
    EXPECT_STREQ(out, "x%20y");
    // Encoding then decoding gives the bytes back.
    std::string all;
    for (int i = 1; i < 256; i++) all += (char)i;
    std::vector<char> encoded(1024), decoded(512);
    URL_Encode(all.data(), (int32_t)all.size(), encoded.data(), (int32_t)encoded.size(), nullptr);
    URL_DecodeString(encoded.data(), decoded.data(), (int32_t)decoded.size());
    EXPECT_EQ(std::string(decoded.data()), all);
}

// ---- Macro keys ----------------------------------------------------------------------------

// A macro key through URL_ExpandKey: A the name, B the argument (null: none). The buffer starts
// as "untouched" (cut to fit) so that keys that leave it alone show, and the argument must come
// back unchanged.
int64_t Expand(const Row& r, char* out, int32_t capacity) {
    std::string argument = r.B ? r.B : "";
    if (capacity > 0) strncpy(out, "untouched", (size_t)capacity - 1)[capacity - 1] = 0;
    const int64_t answer = URL_ExpandKey(nullptr, r.A, r.B ? argument.data() : nullptr, out, capacity);
    EXPECT_EQ(argument, r.B ? r.B : "") << "argument changed for " << r.A;
    return answer;
}

TEST(UrlTest, ExpandKeyUrlParse) {
    const std::string url = ",http://u:s3cret@h:81/d/f.txt?q=1#z";
    const std::pair<const char*, const char*> parts[] = {
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
        {"", "untouched"}};
    std::vector<std::string> arguments;
    for (const auto& [part, text] : parts) arguments.push_back(part + url);
    std::vector<Row> rows;
    for (size_t i = 0; i < arguments.size(); i++)
        rows.push_back({"UrlParse", arguments[i].c_str(), 256, 1, parts[i].second});
    // clang-format off
    // Components that do not exist give the empty text; without a comma the output stays as it was;
    // the url may hold commas of its own.
    rows.insert(rows.end(), {
        {"urlparse", "port,https://h/", 256, 1, "443"},         {"UrlParse", "port,h/x", 256, 1, ""},
        {"UrlParse", "fragment,http://h/", 256, 1, ""}, {"UrlParse", "password,http://h/", 256, 1, ""},
        {"UrlParse", "pathWithQuery,http://h?x", 256, 1, ""},
        {"UrlParse", "domain,http://a.b.c.d/", 256, 1, "c.d"},
        {"UrlParse", "domain,http://c.d/", 256, 1, "c.d"},      {"UrlParse", "host", 256, 1, "untouched"},
        {"UrlParse", "query=a,http://h/?a=1,2", 256, 1, "1,2"},
        {"UrlParse", "urlWithoutQuery,http://h/p?x", 8, 1, "http://"}});
    // clang-format on
    ExpectRows(Expand, rows);
}

TEST(UrlTest, ExpandKeyOtherKeys) {
    // clang-format off
    ExpectRows(Expand, {
        {"UrlDecode", "a%20b+", 256, 1, "a b+"},            {"URLDECODE", "", 256, 1, ""},
        {"UrlEncode", "a b/c?", 256, 1, "a%20b/c%3F"}, {"UrlQueryEncode", "a b/c~", 256, 1, "a%20b%2Fc~"},
        {"UrlFix", "h/a b", 256, 1, "http://h/a%20b"},      {"urlfix", "mailto:x", 256, 1, ""},
        {"UrlJoin", "http://h/a/b,c", 256, 1, "http://h/a/c"},
        {"UrlJoin", "http://h/a/b", 256, 1, "untouched"},
        {"UrlJoin", "http://h/a/b?x=1,c?y=2,3", 256, 1, "http://h/a/c?x=1&y=2,3"},
        {"UrlFix", nullptr, 256, 0, "untouched"},           {"UrlParse", nullptr, 256, 0, "untouched"},
        {"UrlSomething", "x", 256, 0, "untouched"},         {"Base64Encode", "x", 256, 0, "untouched"},
        {"UrlEncode", "abc", 0, 1, "<none>"},               {"UrlEncode", "a b c", 6, 1, "a%20"}});
    // clang-format on
}

// ---- Bad input -----------------------------------------------------------------------------

// Huge and odd texts through every function: outputs stay terminated inside their buffers,
// pointers are set, and edits never lengthen the text (the sanitizers watch the rest).
TEST(UrlTest, HugeAndOddInputsHaveDefinedResults) {
    std::string steps = "http://h", params = "?";
    for (int i = 0; i < 100000; i++) steps += "/a/..";
    for (int i = 0; i < 100000; i++) params += "&k" + std::to_string(i % 5000) + "=v";
    const std::string inputs[] = {std::string(1 << 20, '/'),
                                  std::string(1 << 20, '?'),
                                  std::string(1 << 20, '%'),
                                  std::string(1 << 20, '@'),
                                  "http://" + std::string(1 << 20, ':'),
                                  "http://h/" + std::string(1 << 19, '.') + "/..",
                                  steps,
                                  params,
                                  "\xFF\xFE://\xC3(@\x80/%E2%82",
                                  "%",
                                  "%A",
                                  "http://h/a%"};
    const std::function<int64_t(const char*, char*, int32_t)> writers[] = {
        URL_ParseProtocol,
        URL_ParseUsername,
        URL_ParsePassword,
        URL_ParseHost,
        URL_ParseHostWithoutPort,
        URL_ParseHostWithPort,
        URL_ParseDomain,
        URL_ParsePath,
        URL_ParsePathWithoutFilename,
        URL_ParseFilename,
        URL_ParseQuery,
        URL_DecodeString,
        [](const char* u, char* o, int32_t c) { return URL_ParseQueryParam(u, "k1", o, c); },
        [](const char* u, char* o, int32_t c) { return URL_Fix(u, 0, o, c); },
        [](const char* u, char* o, int32_t c) { return URL_FixPath(u, 1, o, c); },
        [](const char* u, char* o, int32_t c) { return URL_Join(u, u, o, c); },
        [](const char* u, char* o, int32_t c) { return URL_CombineQueries(u, u, o, c); },
        [](const char* u, char* o, int32_t c) { return URL_EncodeString(u, o, c, nullptr); }};
    const EditFn edits[] = {URL_RemoveQuery, URL_RemoveFragment, URL_RemoveFilename, URL_RemoveProtocol,
                            [](char* u) { return URL_FixRelativePath(u, (int32_t)strlen(u) + 1); }};
    using PtrFn = int64_t (*)(const char*, const char**);
    const PtrFn pointers[] = {URL_ParseHostPtr,     URL_ParseDomainPtr, URL_ParsePathPtr,
                              URL_ParseFilenamePtr, URL_ParseQueryPtr,  URL_ParseFragmentPtr};
    for (const std::string& s : inputs) {
        const char* u = s.c_str();
        for (const auto& fn : writers) Guarded(512, [&](char* o, int32_t c) { return fn(u, o, c); });
        for (PtrFn fn : pointers) {
            const char* p = nullptr;
            fn(u, &p);
            EXPECT_NE(p, nullptr);
        }
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

} // namespace
