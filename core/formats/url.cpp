// URL text functions: the scanning rules that find each part, the copy and pointer queries,
// in-place removal, comparisons, IPv4 conversion, percent-coding and the macro keys.
#include "core/formats/url.h"

#include <cstring>
#include <string_view>

#include "core/formats/url_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

using namespace url_detail;

const URLPortString URL_PortStringTable[7] = {
    {0, ""}, {443, "https"}, {80, "http"}, {21, "ftp"}, {23, "telnet"}, {8000, "shout"}, {70, "gopher"},
};

namespace {

constexpr const char kDefaultKept[] = "@*-_./:\\";
constexpr int32_t kMaxPort = 65535;
// Room for the origins compared: a host name is at most 253 characters.
constexpr int32_t kMaxOrigin = 320;

// Where the user information and the host lie. Everything is found afresh from the text.
struct Authority {
    const char* Start = nullptr; // after "://", or the text start: where user information begins
    const char* Begin = nullptr; // host start
    const char* End = nullptr;   // host end (first of "/\?#" or the terminator)
    bool Scheme = false;         // the host follows a "://"
    bool UserInfo = false;       // an "@" was skipped
};

Authority FindAuthority(const char* url) {
    Authority a;
    // "://" counts only as the first of ":/?#": in "a/b://c" or "x?y://z" it is path or query text.
    const char* hit = url + strcspn(url, ":/?#");
    a.Start = url;
    if (hit[0] == ':' && hit[1] == '/' && hit[2] == '/') {
        a.Start = hit + 3;
        a.Scheme = true;
    } else if (url[0] == '/') {
        a.Begin = a.End = url;
        return a;
    }
    a.Begin = a.Start;
    // User information must end before the host does: an "@" in a query or fragment
    // ("http://h?to=a@b") does not move the host.
    const char* at = a.Start + strcspn(a.Start, "@/\\?#");
    if (*at == '@') {
        a.Begin = at + 1;
        a.UserInfo = true;
    }
    a.End = a.Begin + strcspn(a.Begin, "/\\?#");
    return a;
}

struct HostPort {
    std::string_view Name; // host without port
    int32_t Port = 0;      // explicit port, 0 when none
    bool Invalid = false;  // the port number is above 65535
};

HostPort SplitHost(const Authority& a) {
    HostPort h;
    std::string_view host(a.Begin, (size_t)(a.End - a.Begin));
    size_t colon = host.find(':');
    h.Name = host.substr(0, colon);
    if (colon == std::string_view::npos) return h;
    int32_t value = 0;
    for (size_t i = colon + 1; i < host.size() && IsDigit(host[i]); i++) {
        value = value * 10 + (host[i] - '0');
        if (value > kMaxPort) {
            h.Invalid = true;
            return h;
        }
    }
    h.Port = value;
    return h;
}

// The text before the first "://"; none when there is no "://".
bool SchemeOf(const char* url, std::string_view* scheme) {
    const char* p = strstr(url, "://");
    *scheme = p ? std::string_view(url, (size_t)(p - url)) : std::string_view();
    return p != nullptr;
}

uint32_t PortOfScheme(std::string_view scheme) {
    for (const URLPortString& row : URL_PortStringTable)
        if (EqualNoCase(scheme, row.Name)) return row.Port;
    return 0;
}

bool FindPath(const Authority& a, const char** path) {
    const char* p = a.End; // the first of "/\?#" from the host start
    if (IsSeparator(*p)) {
        if (IsAsciiLetter(p[1]) && p[2] == ':') p++; // "/C:/dir": the path is "C:/dir"
        *path = p;
        return true;
    }
    *path = "/";
    return false;
}

// The "?" of the query, or null. Only a "?" before the first "#" starts a query: one inside the
// fragment ("#/route?x") is fragment text.
const char* FindQuery(const char* url) {
    const char* limit = url + strcspn(url, "#");
    const char* path = nullptr;
    if (FindPath(FindAuthority(url), &path) && path < limit) {
        const void* q = memchr(path, '?', (size_t)(limit - path));
        if (q) return static_cast<const char*>(q);
    }
    return static_cast<const char*>(memchr(url, '?', (size_t)(limit - url)));
}

// The query from its "?" up to the last "#".
bool QueryOf(const char* url, std::string_view* query) {
    const char* q = FindQuery(url);
    if (!q) return false;
    const char* hash = strrchr(q, '#');
    *query = std::string_view(q, hash ? (size_t)(hash - q) : strlen(q));
    return true;
}

bool FindFilename(const char* url, const char** begin, const char** end) {
    const char* path = nullptr;
    if (!FindPath(FindAuthority(url), &path)) return false;
    const char* e = path + strcspn(path, "?#");
    const char* s = e;
    while (s > path && !IsSeparator(s[-1])) s--;
    if (s == e) return false;
    *begin = s;
    *end = e;
    return true;
}

std::string_view DomainOf(const char* url) {
    std::string_view host = SplitHost(FindAuthority(url)).Name;
    size_t last = host.rfind('.');
    if (last == std::string_view::npos || last == 0) return host;
    size_t before = host.rfind('.', last - 1);
    return before == std::string_view::npos ? host : host.substr(before + 1);
}

int64_t CopyPart(char* out, int32_t capacity, bool exists, std::string_view part) {
    CopyCut(out, capacity, exists ? part : std::string_view());
    return exists ? 1 : 0;
}

inline void ClearOut(char* out, int32_t capacity) {
    if (capacity >= 1) out[0] = 0;
}

int32_t HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int32_t LengthOf(const char* text) {
    size_t n = strlen(text);
    return n > (size_t)INT32_MAX ? INT32_MAX : (int32_t)n;
}

} // namespace

// ---- Taking a URL apart --------------------------------------------------------------------

int64_t URL_ParseProtocol(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    std::string_view scheme;
    bool exists = SchemeOf(url, &scheme);
    return CopyPart(out, capacity, exists, scheme);
}

int64_t URL_ParseUsername(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    Authority a = FindAuthority(url);
    std::string_view info(a.Start, a.UserInfo ? (size_t)(a.Begin - 1 - a.Start) : 0);
    return CopyPart(out, capacity, a.UserInfo, info.substr(0, info.find(':')));
}

int64_t URL_ParsePassword(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    Authority a = FindAuthority(url);
    std::string_view info(a.Start, a.UserInfo ? (size_t)(a.Begin - 1 - a.Start) : 0);
    size_t colon = info.find(':');
    bool exists = a.UserInfo && colon != std::string_view::npos;
    return CopyPart(out, capacity, exists, exists ? info.substr(colon + 1) : std::string_view());
}

int64_t URL_ParseHostPtr(const char* url, const char** host) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(host);
    Authority a = FindAuthority(url);
    *host = a.Begin;
    return a.Scheme ? 1 : 0;
}

int64_t URL_ParseHost(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    Authority a = FindAuthority(url);
    CopyCut(out, capacity, std::string_view(a.Begin, (size_t)(a.End - a.Begin)));
    return 1;
}

int64_t URL_ParseHostWithoutPort(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    CopyCut(out, capacity, SplitHost(FindAuthority(url)).Name);
    return 1;
}

int64_t URL_ParseHostWithPort(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    ClearOut(out, capacity);
    HostPort h = SplitHost(FindAuthority(url));
    if (h.Name.empty() || h.Invalid) return 0;
    CopyCut(out, capacity, h.Name);
    uint32_t port = 0;
    if (URL_ParsePort(url, &port)) {
        char number[16];
        String_Print(number, sizeof(number), ":%d", (int32_t)port);
        AppendCut(out, capacity, number);
    }
    return 1;
}

int64_t URL_ParseHostPort(const char* url, int32_t* port) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(port);
    *port = 0;
    HostPort h = SplitHost(FindAuthority(url));
    if (h.Invalid) return 0;
    *port = h.Port;
    return h.Port > 0 ? 1 : 0;
}

int64_t URL_ParsePort(const char* url, uint32_t* port) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(port);
    *port = 0;
    HostPort h = SplitHost(FindAuthority(url));
    // An unusable explicit port never falls back to the default: the caller would reach
    // another service than the one the text names.
    if (h.Invalid) return 0;
    std::string_view scheme;
    SchemeOf(url, &scheme);
    *port = h.Port > 0 ? (uint32_t)h.Port : PortOfScheme(scheme);
    return *port > 0 ? 1 : 0;
}

int64_t URL_ParseDomainPtr(const char* url, const char** domain) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(domain);
    std::string_view d = DomainOf(url);
    *domain = d.data();
    return d.empty() ? 0 : 1;
}

int64_t URL_ParseDomain(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    std::string_view d = DomainOf(url);
    return CopyPart(out, capacity, !d.empty(), d);
}

int64_t URL_ParsePathPtr(const char* url, const char** path) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(path);
    return FindPath(FindAuthority(url), path) ? 1 : 0;
}

int64_t URL_ParsePath(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    const char* path = nullptr;
    bool exists = FindPath(FindAuthority(url), &path);
    return CopyPart(out, capacity, exists, std::string_view(path, strcspn(path, "?#")));
}

int64_t URL_ParsePathWithoutFilename(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    const char* path = nullptr;
    bool exists = FindPath(FindAuthority(url), &path);
    std::string_view p(path, strcspn(path, "?#"));
    size_t cut = p.find_last_of("/\\");
    return CopyPart(out, capacity, exists,
                    cut == std::string_view::npos ? std::string_view() : p.substr(0, cut + 1));
}

int64_t URL_ParseFilenamePtr(const char* url, const char** filename) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(filename);
    const char* end = nullptr;
    if (FindFilename(url, filename, &end)) return 1;
    *filename = url + strlen(url);
    return 0;
}

int64_t URL_ParseFilename(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    const char* begin = nullptr;
    const char* end = nullptr;
    bool exists = FindFilename(url, &begin, &end);
    return CopyPart(out, capacity, exists, exists ? std::string_view(begin, (size_t)(end - begin)) : "");
}

int64_t URL_ParseQueryPtr(const char* url, const char** query) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(query);
    const char* q = FindQuery(url);
    *query = q ? q : url + strlen(url);
    return q ? 1 : 0;
}

int64_t URL_ParseQuery(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    std::string_view query;
    bool exists = QueryOf(url, &query);
    return CopyPart(out, capacity, exists, query);
}

int64_t URL_ParseFragmentPtr(const char* url, const char** fragment) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(fragment);
    const char* f = strrchr(url, '#');
    *fragment = f ? f : url + strlen(url);
    return f ? 1 : 0;
}

// ---- Editing in place ----------------------------------------------------------------------

int64_t URL_RemoveProtocol(char* url) {
    ASSERT_POINTER(url);
    const char* p = strstr(url, "://");
    if (p) memmove(url, p + 3, strlen(p + 3) + 1);
    return 1;
}

int64_t URL_RemoveQuery(char* url) {
    ASSERT_POINTER(url);
    char* q = const_cast<char*>(FindQuery(url));
    if (!q) return 0;
    char* hash = strrchr(q, '#');
    char* rest = hash ? hash : q + strlen(q);
    memmove(q, rest, strlen(rest) + 1);
    return 1;
}

int64_t URL_RemoveFragment(char* url) {
    ASSERT_POINTER(url);
    char* f = strrchr(url, '#');
    if (!f) return 0;
    *f = 0;
    return 1;
}

int64_t URL_RemoveFilename(char* url) {
    ASSERT_POINTER(url);
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!FindFilename(url, &begin, &end)) return 0;
    memmove(const_cast<char*>(begin), end, strlen(end) + 1);
    return 1;
}

// ---- Questions and comparisons -------------------------------------------------------------

int64_t URL_IsRelative(const char* url) {
    ASSERT_POINTER(url);
    const char* p = strstr(url, "://");
    if (!p) return 1;
    return memchr(url, '?', (size_t)(p - url)) ? 1 : 0;
}

int64_t URL_IsDynamic(const char* url) {
    ASSERT_POINTER(url);
    size_t limit = strcspn(url, "#");
    return strcspn(url, "?&=") < limit ? 1 : 0;
}

int64_t URL_IsLocalhost(const char* url) {
    ASSERT_POINTER(url);
    std::string_view host = SplitHost(FindAuthority(url)).Name;
    return (EqualNoCase(host, "127.0.0.1") || EqualNoCase(host, "localhost")) ? 1 : 0;
}

// The comparisons work on the texts themselves, so long hosts that differ only after some
// length never count as equal.
int64_t URL_CompareHosts(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    Authority x = FindAuthority(a), y = FindAuthority(b);
    return EqualNoCase(std::string_view(x.Begin, (size_t)(x.End - x.Begin)),
                       std::string_view(y.Begin, (size_t)(y.End - y.Begin)))
               ? 1
               : 0;
}

int64_t URL_CompareHostsWithoutPort(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    return EqualNoCase(SplitHost(FindAuthority(a)).Name, SplitHost(FindAuthority(b)).Name) ? 1 : 0;
}

int64_t URL_CompareDomains(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    return EqualNoCase(DomainOf(a), DomainOf(b)) ? 1 : 0;
}

int64_t URL_ParseOrigin(const char* url, char* out, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(out);
    if (capacity < 1) return 0;
    out[0] = 0;
    std::string_view scheme;
    if (!SchemeOf(url, &scheme) || scheme.empty()) return 0;
    for (char c : scheme)
        if (!IsAsciiLetter(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return 0;
    const Authority a = FindAuthority(url);
    if (!a.Scheme || a.UserInfo || a.Start != scheme.data() + scheme.size() + 3) return 0;
    // After the host (a bracketed IPv6 address or a name) only ":" and a port of digits.
    const std::string_view host(a.Begin, (size_t)(a.End - a.Begin));
    size_t colon = host.find(':');
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos) return 0;
        colon = close + 1 < host.size() ? close + 1 : std::string_view::npos;
        if (colon != std::string_view::npos && host[colon] != ':') return 0;
    }
    const std::string_view name = host.substr(0, colon);
    if (name.empty()) return 0;
    uint32_t port = 0;
    if (colon != std::string_view::npos) {
        if (colon + 1 >= host.size()) return 0;
        for (size_t i = colon + 1; i < host.size(); i++) {
            if (!IsDigit(host[i])) return 0;
            port = port * 10 + (uint32_t)(host[i] - '0');
            if (port > (uint32_t)kMaxPort) return 0;
        }
    }
    char number[8] = "";
    if (colon != std::string_view::npos && port != PortOfScheme(scheme))
        String_Print(number, (int32_t)sizeof(number), ":%u", port);
    const size_t need = scheme.size() + 3 + name.size() + strlen(number);
    if (need >= (size_t)capacity) return 0;
    char* at = out;
    for (char c : scheme) *at++ = (char)(c >= 'A' && c <= 'Z' ? c + 32 : c);
    memcpy(at, "://", 3);
    at += 3;
    for (char c : name) *at++ = (char)(c >= 'A' && c <= 'Z' ? c + 32 : c);
    memcpy(at, number, strlen(number) + 1);
    return 1;
}

int64_t URL_CompareOrigins(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    char x[kMaxOrigin], y[kMaxOrigin];
    return URL_ParseOrigin(a, x, kMaxOrigin) && URL_ParseOrigin(b, y, kMaxOrigin) && strcmp(x, y) == 0 ? 1 : 0;
}

int64_t URL_CompareProtocol(const char* url, const char* scheme) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(scheme);
    size_t n = strlen(scheme);
    if (strnlen(url, n) < n || !EqualNoCase(std::string_view(url, n), std::string_view(scheme, n))) return 0;
    return strncmp(url + n, "://", 3) == 0 ? 1 : 0;
}

int64_t URL_IsDefaultPort(const char* url) {
    ASSERT_POINTER(url);
    HostPort h = SplitHost(FindAuthority(url));
    if (h.Invalid) return 0;
    if (h.Port == 0) return 1;
    std::string_view scheme;
    SchemeOf(url, &scheme);
    uint32_t port = PortOfScheme(scheme);
    return (port != 0 && port == (uint32_t)h.Port) ? 1 : 0;
}

uint32_t URL_TranslatePortString(const char* scheme) {
    ASSERT_POINTER(scheme);
    return PortOfScheme(scheme);
}

const char* URL_TranslatePort(uint32_t port) {
    for (const URLPortString& row : URL_PortStringTable)
        if (row.Port == port) return row.Name;
    return URL_PortStringTable[0].Name;
}

// ---- IPv4 addresses ------------------------------------------------------------------------

int64_t URL_ConvertToIP(const char* url, uint32_t* address, uint16_t* port) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(address);
    *address = 0;
    if (port) *port = 0;
    Authority a = FindAuthority(url);
    if (!a.Scheme || SplitHost(a).Invalid) return 0;
    // The host alone, so that a path, query or fragment behind it does not spoil the address.
    char host[64];
    size_t n = (size_t)(a.End - a.Begin);
    if (n >= sizeof(host)) return 0;
    memcpy(host, a.Begin, n);
    host[n] = 0;
    return String_ConvertToIP(host, address, port);
}

int64_t URL_ConvertFromIP(const uint32_t* address, int32_t port, const char* scheme, char* out,
                          int32_t capacity) {
    ASSERT_POINTER(address);
    ASSERT_POINTER(out);
    if (capacity < 1) return 1;
    if (scheme) {
        CopyCut(out, capacity, scheme);
        AppendCut(out, capacity, "://");
    }
    char text[32];
    String_ConvertFromIP(address, port, text, sizeof(text));
    AppendCut(out, capacity, text);
    AppendCut(out, capacity, "/");
    return 1;
}

// ---- Percent-encoding ----------------------------------------------------------------------

int64_t URL_Decode(const char* text, int32_t length, char* out, int32_t capacity) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(out);
    if (capacity < 1) return 1;
    // Every step reads before it writes and never writes ahead of the read position, so out may
    // be text itself.
    int32_t o = 0;
    for (int32_t i = 0; i < length && capacity - o >= 2;) {
        int32_t hi = -1, lo = -1;
        if (text[i] == '%' && length - i >= 3) {
            hi = HexValue(text[i + 1]);
            lo = HexValue(text[i + 2]);
        }
        if (hi >= 0 && lo >= 0) {
            out[o++] = (char)(hi << 4 | lo);
            i += 3;
        } else {
            out[o++] = text[i++];
        }
    }
    out[o] = 0;
    return 1;
}

int64_t URL_DecodeString(const char* text, char* out, int32_t capacity) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(out);
    return URL_Decode(text, LengthOf(text), out, capacity);
}

int64_t URL_Encode(const char* text, int32_t length, char* out, int32_t capacity, const char* kept) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(out);
    if (capacity < 1) return 1;
    if (!kept) kept = kDefaultKept;
    static const char kDigits[] = "0123456789ABCDEF";
    int32_t o = 0;
    for (int32_t i = 0; i < length && capacity - o >= 3; i++) {
        uint8_t b = (uint8_t)text[i];
        if (IsAsciiLetter((char)b) || IsDigit((char)b) || (b != 0 && strchr(kept, b))) {
            out[o++] = (char)b;
        } else {
            if (capacity - o < 4) break; // "%XX" and the terminator
            out[o++] = '%';
            out[o++] = kDigits[b >> 4];
            out[o++] = kDigits[b & 15];
        }
    }
    out[o] = 0;
    return 1;
}

int64_t URL_EncodeString(const char* text, char* out, int32_t capacity, const char* kept) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(out);
    return URL_Encode(text, LengthOf(text), out, capacity, kept);
}

int64_t URL_EncodeRFC3986(const char* text, int32_t length, char* out, int32_t capacity) {
    return URL_Encode(text, length, out, capacity, "-_.~");
}

// ---- Macro keys ----------------------------------------------------------------------------

namespace {

// A heap copy of a text, for the parts that are computed by editing the url.
struct TextCopy {
    char* Text;
    int32_t Size;
    explicit TextCopy(std::string_view text) {
        Size = (int32_t)text.size() + 1;
        Text = static_cast<char*>(Memory_Alloc(Size));
        memcpy(Text, text.data(), text.size());
        Text[text.size()] = 0;
    }
    ~TextCopy() { Memory_Free(Text, Size); }
    TextCopy(const TextCopy&) = delete;
    TextCopy& operator=(const TextCopy&) = delete;
};

void ExpandParse(std::string_view part, const char* url, char* value, int32_t capacity) {
    const char* p = nullptr;
    if (EqualNoCase(part, "protocol")) {
        URL_ParseProtocol(url, value, capacity);
    } else if (EqualNoCase(part, "username")) {
        URL_ParseUsername(url, value, capacity);
    } else if (EqualNoCase(part, "password")) {
        URL_ParsePassword(url, value, capacity);
    } else if (EqualNoCase(part, "domain")) {
        URL_ParseDomain(url, value, capacity);
    } else if (EqualNoCase(part, "host")) {
        URL_ParseHost(url, value, capacity);
    } else if (EqualNoCase(part, "hostWithoutPort")) {
        URL_ParseHostWithoutPort(url, value, capacity);
    } else if (EqualNoCase(part, "path")) {
        URL_ParsePath(url, value, capacity);
    } else if (EqualNoCase(part, "pathWithQuery")) {
        CopyCut(value, capacity, URL_ParsePathPtr(url, &p) ? p : "");
    } else if (EqualNoCase(part, "pathWithoutFilename")) {
        URL_ParsePathWithoutFilename(url, value, capacity);
    } else if (EqualNoCase(part, "filename")) {
        URL_ParseFilename(url, value, capacity);
    } else if (EqualNoCase(part, "queryWithFragment")) {
        URL_ParseQueryPtr(url, &p);
        CopyCut(value, capacity, p);
    } else if (EqualNoCase(part, "query")) {
        URL_ParseQuery(url, value, capacity);
    } else if (BeginsNoCase(part, "query")) {
        size_t eq = part.find('=');
        if (eq != std::string_view::npos) {
            TextCopy name(part.substr(eq + 1));
            URL_ParseQueryParam(url, name.Text, value, capacity);
        }
    } else if (EqualNoCase(part, "fragment")) {
        URL_ParseFragmentPtr(url, &p);
        CopyCut(value, capacity, p);
    } else if (EqualNoCase(part, "port")) {
        uint32_t port = 0;
        value[0] = 0;
        if (URL_ParsePort(url, &port)) String_Print(value, capacity, "%d", (int32_t)port);
    } else if (EqualNoCase(part, "urlWithoutQuery") || EqualNoCase(part, "urlWithoutFragment") ||
               EqualNoCase(part, "urlWithoutFilename")) {
        // Edited in a full copy, so that cutting to the capacity cannot change what is removed.
        TextCopy copy(url);
        if (EqualNoCase(part, "urlWithoutQuery"))
            URL_RemoveQuery(copy.Text);
        else if (EqualNoCase(part, "urlWithoutFragment"))
            URL_RemoveFragment(copy.Text);
        else
            URL_RemoveFilename(copy.Text);
        CopyCut(value, capacity, copy.Text);
    }
}

} // namespace

int64_t URL_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    (void)user;
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    bool parse = String_CompareWithoutCase(name, "UrlParse");
    bool decode = String_CompareWithoutCase(name, "UrlDecode");
    bool encode = String_CompareWithoutCase(name, "UrlEncode");
    bool queryEncode = String_CompareWithoutCase(name, "UrlQueryEncode");
    bool fix = String_CompareWithoutCase(name, "UrlFix");
    bool join = String_CompareWithoutCase(name, "UrlJoin");
    if (!(parse || decode || encode || queryEncode || fix || join) || argument == nullptr) return 0;
    if (capacity < 1) return 1;
    char* comma = strchr(argument, ',');
    if (parse) {
        if (comma)
            ExpandParse(std::string_view(argument, (size_t)(comma - argument)), comma + 1, value, capacity);
    } else if (decode) {
        URL_DecodeString(argument, value, capacity);
    } else if (encode) {
        URL_EncodeString(argument, value, capacity, nullptr);
    } else if (queryEncode) {
        URL_EncodeString(argument, value, capacity, "-_.~");
    } else if (fix) {
        URL_Fix(argument, 0, value, capacity);
    } else if (comma) {
        // The base ends at the comma; the argument is given back as it came.
        *comma = 0;
        URL_Join(argument, comma + 1, value, capacity);
        *comma = ',';
    }
    return 1;
}
