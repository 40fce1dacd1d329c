// Feeds arbitrary text to every URL parsing, editing, normalising, joining, query and
// percent-coding entry point with capacities taken from the input, and checks that nothing is
// written past a buffer, outputs stay terminated and pointers stay inside the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/formats/url.h"

namespace {

constexpr char kGuard = '\x5A';

struct Output {
    std::vector<char> bytes;
    int32_t capacity;
    explicit Output(int32_t cap) : bytes((size_t)(cap > 0 ? cap : 0) + 16, kGuard), capacity(cap) {}
    char* data() { return bytes.data(); }
    void Check() const {
        size_t room = (size_t)(capacity > 0 ? capacity : 0);
        for (size_t i = room; i < bytes.size(); i++)
            if (bytes[i] != kGuard) abort();
        if (capacity > 0 && strnlen(bytes.data(), room) >= room) abort();
    }
};

void CheckInside(const char* text, const char* p) {
    size_t n = strlen(text);
    if (p < text || p > text + n) abort();
}

using CopyFn = int64_t (*)(const char*, char*, int32_t);
using PtrFn = int64_t (*)(const char*, const char**);
using EditFn = int64_t (*)(char*);

int64_t Collect(void* context, const char* name, const char* value) {
    if (!name || name[0] == 0) abort(); // empty names end the split before the callback
    size_t* count = static_cast<size_t*>(context);
    (*count)++;
    (void)value;
    return *count < 100000 ? 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    int32_t capacity = (int32_t)(data[0] | (data[1] & 0x1F) << 8) - 4; // -4 .. 8187
    uint8_t selector = data[2];
    data += 3;
    size -= 3;
    if (size > (1u << 18)) return 0;

    // The text ends at the first NUL; a second text (for joins and comparisons) follows it.
    std::vector<char> text(data, data + size);
    text.push_back(0);
    const char* url = text.data();
    size_t firstLength = strlen(url);
    const char* other = firstLength < size ? url + firstLength + 1 : "";

    static const CopyFn copies[] = {URL_ParseProtocol,
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
        Output out(capacity);
        int64_t r = fn(url, out.data(), capacity);
        if (r != 0 && r != 1) abort();
        out.Check();
        if (r == 0 && capacity > 0 && out.data()[0] != 0 && fn != URL_ParseHost &&
            fn != URL_ParseHostWithoutPort)
            abort();
    }
    static const PtrFn pointers[] = {URL_ParseHostPtr,     URL_ParseDomainPtr, URL_ParsePathPtr,
                                     URL_ParseFilenamePtr, URL_ParseQueryPtr,  URL_ParseFragmentPtr};
    for (PtrFn fn : pointers) {
        const char* p = nullptr;
        int64_t r = fn(url, &p);
        if (!p) abort();
        if (fn == URL_ParsePathPtr && r == 0) {
            if (strcmp(p, "/") != 0) abort();
        } else {
            CheckInside(url, p);
        }
    }
    int32_t hostPort = 0;
    uint32_t port = 0;
    if (URL_ParseHostPort(url, &hostPort) && (hostPort < 1 || hostPort > 65535)) abort();
    if (URL_ParsePort(url, &port) && (port < 1 || port > 65535)) abort();
    URL_IsRelative(url);
    URL_IsDynamic(url);
    URL_IsLocalhost(url);
    URL_IsDefaultPort(url);
    if (URL_CompareHosts(url, url) != 1 || URL_CompareDomains(url, url) != 1) abort();
    URL_CompareHosts(url, other);
    URL_CompareHostsWithoutPort(url, other);
    URL_CompareDomains(url, other);
    URL_CompareProtocol(url, other);
    {
        // An origin is one of its own: parsed again it is the same text, and it names itself.
        Output out(capacity);
        const int64_t parsed = capacity > 0 ? URL_ParseOrigin(url, out.data(), capacity) : 0;
        out.Check();
        if (parsed) {
            std::vector<char> again((size_t)capacity);
            if (URL_ParseOrigin(out.data(), again.data(), capacity) != 1 || strcmp(again.data(), out.data()) != 0)
                abort();
            if (URL_CompareOrigins(url, out.data()) != 1 && strlen(out.data()) < 320) abort();
        }
        URL_CompareOrigins(url, other);
    }
    URL_TranslatePortString(url);
    uint32_t address = 0;
    uint16_t ipPort = 0;
    URL_ConvertToIP(url, &address, &ipPort);
    {
        Output out(capacity);
        if (capacity > 0) out.data()[0] = 0;
        URL_ConvertFromIP(&address, ipPort, (selector & 1) ? other : nullptr, out.data(), capacity);
        out.Check();
    }
    {
        Output out(capacity);
        URL_ParseQueryParam(url, other, out.data(), capacity);
        out.Check();
    }
    size_t count = 0;
    URL_SplitQuery(url, &count, Collect);

    // In-place edits never lengthen the text.
    static const EditFn edits[] = {URL_RemoveProtocol, URL_RemoveQuery, URL_RemoveFragment,
                                   URL_RemoveFilename};
    for (EditFn fn : edits) {
        std::vector<char> copy(url, url + firstLength + 1);
        fn(copy.data());
        if (strlen(copy.data()) > firstLength) abort();
    }
    {
        std::vector<char> copy(url, url + firstLength + 1);
        URL_FixRelativePath(copy.data(), (int32_t)copy.size());
        if (strlen(copy.data()) > firstLength) abort();
    }

    // Normalising and joining, into the caller's capacity.
    {
        Output out(capacity);
        URL_FixPath(url, selector & 2, out.data(), capacity);
        out.Check();
    }
    {
        Output out(capacity);
        int64_t r = URL_Fix(url, selector & 2, out.data(), capacity);
        out.Check();
        if (r == 0 && capacity > 0 && out.data()[0] != 0) abort();
    }
    {
        Output out(capacity);
        URL_Join(url, other, out.data(), capacity);
        out.Check();
    }
    {
        Output out(capacity);
        URL_CombineQueries(url, other, out.data(), capacity);
        out.Check();
    }
    if (capacity > 0) {
        // The url buffer holds the text cut to the capacity.
        Output buffer(capacity);
        size_t n = firstLength < (size_t)capacity - 1 ? firstLength : (size_t)capacity - 1;
        memcpy(buffer.data(), url, n);
        buffer.data()[n] = 0;
        if (selector & 4)
            URL_JoinQuery(buffer.data(), capacity, other);
        else
            URL_AppendQuery(buffer.data(), capacity, other);
        buffer.Check();
    }

    // Percent-coding over the whole input, NUL bytes included, and in place.
    {
        Output out(capacity);
        URL_Decode(reinterpret_cast<const char*>(data), (int32_t)size, out.data(), capacity);
        out.Check();
        std::vector<char> copy(url, url + firstLength + 1);
        URL_DecodeString(copy.data(), copy.data(), (int32_t)copy.size());
        if (strlen(copy.data()) > firstLength) abort();
    }
    {
        Output out(capacity);
        URL_Encode(reinterpret_cast<const char*>(data), (int32_t)size, out.data(), capacity,
                   (selector & 8) ? other : nullptr);
        out.Check();
        Output rfc(capacity);
        URL_EncodeRFC3986(reinterpret_cast<const char*>(data), (int32_t)size, rfc.data(), capacity);
        rfc.Check();
        // Without a capacity limit, encoding and decoding give the text back.
        std::vector<char> encoded(firstLength * 3 + 3), decoded(firstLength + 2);
        URL_EncodeString(url, encoded.data(), (int32_t)encoded.size(), nullptr);
        URL_DecodeString(encoded.data(), decoded.data(), (int32_t)decoded.size());
        if (strcmp(decoded.data(), url) != 0) abort();
    }

    // The macro keys; the argument is the text, given back unchanged.
    static const char* kKeys[] = {"UrlParse",       "UrlDecode", "UrlEncode",
                                  "UrlQueryEncode", "UrlFix",    "UrlJoin"};
    static const char* kParts[] = {"protocol",
                                   "username",
                                   "password",
                                   "domain",
                                   "host",
                                   "hostWithoutPort",
                                   "path",
                                   "pathWithQuery",
                                   "pathWithoutFilename",
                                   "filename",
                                   "queryWithFragment",
                                   "query",
                                   "query=a",
                                   "fragment",
                                   "port",
                                   "urlWithoutQuery",
                                   "urlWithoutFragment",
                                   "urlWithoutFilename"};
    {
        Output value(capacity);
        if (capacity > 0) value.data()[0] = 0;
        std::vector<char> argument(url, url + firstLength + 1);
        if (URL_ExpandKey(nullptr, kKeys[selector % 6], argument.data(), value.data(), capacity) != 1)
            abort();
        if (strcmp(argument.data(), url) != 0) abort();
        value.Check();
    }
    {
        Output value(capacity);
        if (capacity > 0) value.data()[0] = 0;
        std::vector<char> argument;
        const char* part = kParts[(selector >> 3) % 18];
        argument.insert(argument.end(), part, part + strlen(part));
        argument.push_back(',');
        argument.insert(argument.end(), url, url + firstLength + 1);
        URL_ExpandKey(nullptr, "UrlParse", argument.data(), value.data(), capacity);
        value.Check();
    }
    return 0;
}
