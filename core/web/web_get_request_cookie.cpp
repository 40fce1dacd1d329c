// The request's cookie list: cookies stored from Set-Cookie answers, URLs and callers, and the
// Cookie header built from those that may go to the request's host.
#include <cstring>

#include "core/formats/url.h"
#include "core/runtime/debug.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/web/web_get_request.h"
#include "core/web/web_get_request_internal.h"

namespace {

const char* WithoutLeadingDot(const char* domain) {
    return domain[0] == '.' ? domain + 1 : domain;
}

bool DomainMatches(const char* host, const char* domain) {
    return WebGetRequest_CookieDomainMatches(host, domain) != 0;
}

bool IsHttps(WebGetRequest* request) {
    return String_CompareBeginningWithoutCase(request->URL, "https://") != 0;
}

bool WouldSend(WebGetRequest* request, const WebGetCookie* cookie, const char* host) {
    if (cookie->Secure == 1 && !IsHttps(request)) return false;
    if (request->CookiesCrossDomains) return true;
    return cookie->Domain[0] == 0 || DomainMatches(host, cookie->Domain);
}

void Unlink(WebGetRequest* request, WebGetCookie* cookie) {
    if (cookie->Prev)
        cookie->Prev->Next = cookie->Next;
    else
        request->CookieFirst = cookie->Next;
    if (cookie->Next)
        cookie->Next->Prev = cookie->Prev;
    else
        request->CookieLast = cookie->Prev;
    request->CookieCount--;
}

void Free(WebGetRequest* request, WebGetCookie* cookie) {
    cookie->ClassId = 0;
    Pool_Free(request->CookiePool, &cookie, sizeof(WebGetCookie));
}

} // namespace

// Cookies do not tell ports apart.
void WebGetRequest_HostWithoutPort(WebGetRequest* request, char* host, int32_t capacity) {
    host[0] = 0;
    URL_ParseHostWithoutPort(request->URL, host, capacity);
}

namespace {

// An address rather than a name: IPv6 in any form, or a last label of digits only (no top-level
// name is numeric, so this is IPv4 in its dotted or shortened forms).
bool IsAddress(const char* host) {
    if (strchr(host, ':') || host[0] == '[') return true;
    const char* label = strrchr(host, '.');
    label = label ? label + 1 : host;
    if (!label[0]) return false;
    for (const char* p = label; *p; p++)
        if (*p < '0' || *p > '9') return false;
    return true;
}

} // namespace

// The domain must end the host at a label boundary, so that "example.com" covers
// "www.example.com" but not "badexample.com". Addresses have no parents: their cookies belong to
// exactly that address.
int64_t WebGetRequest_CookieDomainMatches(const char* host, const char* domain) {
    domain = WithoutLeadingDot(domain);
    if (!domain[0]) return 0;
    if (IsAddress(host) || IsAddress(domain)) return String_CompareWithoutCase(host, domain) ? 1 : 0;
    const size_t hostLength = strlen(host), domainLength = strlen(domain);
    if (domainLength > hostLength) return 0;
    const char* tail = host + hostLength - domainLength;
    if (!String_CompareWithoutCase(tail, domain)) return 0;
    return tail == host || tail[-1] == '.';
}

void WebGetRequest_CookieFreeAll(WebGetRequest* request) {
    while (WebGetCookie* cookie = request->CookieFirst) {
        Unlink(request, cookie);
        Free(request, cookie);
    }
    Pool_Reset(request->CookiePool);
}

int64_t WebGetRequest_CookieSet(WebGetRequest* request, const char* name, const char* value, const char* path,
                                const char* domain, uint32_t secure) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    ASSERT_POINTER(path);
    ASSERT_POINTER(domain);
    WebGetCookie* cookie = static_cast<WebGetCookie*>(Pool_Alloc(request->CookiePool, sizeof(WebGetCookie)));
    memset(cookie, 0, sizeof(*cookie));
    cookie->ClassId = WEBGET_COOKIE_CLASS_ID;
    String_CopyLength(cookie->Name, name, WEBGET_COOKIE_NAME_SIZE);
    String_CopyLength(cookie->Value, value, WEBGET_COOKIE_VALUE_SIZE);
    String_CopyLength(cookie->Path, path, WEBGET_COOKIE_PATH_SIZE);
    String_CopyLength(cookie->Domain, domain, WEBGET_COOKIE_DOMAIN_SIZE);
    cookie->Secure = secure;
    WebGetCookie* old = request->CookieFirst;
    while (old && !(String_CompareWithoutCase(old->Name, cookie->Name) &&
                    String_CompareWithoutCase(old->Domain, cookie->Domain)))
        old = old->Next;
    if (old) {
        WebGetRequest_Print(request, "Cookie reset [%s][%s](%s)(%s)[%d]", cookie->Name, cookie->Value, cookie->Path,
                            cookie->Domain, (int32_t)secure);
        cookie->Prev = old->Prev;
        cookie->Next = old->Next;
        if (old->Prev)
            old->Prev->Next = cookie;
        else
            request->CookieFirst = cookie;
        if (old->Next)
            old->Next->Prev = cookie;
        else
            request->CookieLast = cookie;
        Free(request, old);
        return 1;
    }
    WebGetRequest_Print(request, "Cookie set [%s][%s](%s)(%s)[%d]", cookie->Name, cookie->Value, cookie->Path,
                        cookie->Domain, (int32_t)secure);
    cookie->Prev = request->CookieLast;
    if (request->CookieLast)
        request->CookieLast->Next = cookie;
    else
        request->CookieFirst = cookie;
    request->CookieLast = cookie;
    request->CookieCount++;
    return 1;
}

int64_t WebGetRequest_CookieSetOutput(WebGetRequest* request, const char* text) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(text);
    char host[WEBGET_COOKIE_DOMAIN_SIZE];
    WebGetRequest_HostWithoutPort(request, host, sizeof(host));
    char piece[WEBGET_COOKIE_NAME_SIZE + WEBGET_COOKIE_VALUE_SIZE];
    const char* p = text;
    while (*p) {
        while (*p >= 1 && *p <= 32) p++;
        if (!*p) break;
        const char* end = strchr(p, ';');
        const size_t length = end ? (size_t)(end - p) : strlen(p);
        String_CopyLengthSafe(piece, sizeof(piece), p, (int32_t)(length < sizeof(piece) ? length : sizeof(piece) - 1));
        char* equals = strchr(piece, '=');
        if (equals) {
            *equals = 0;
            WebGetRequest_CookieSet(request, piece, equals + 1, "/", host, 0);
        }
        p += length;
        if (*p == ';') p++;
    }
    return 1;
}

int64_t WebGetRequest_CookieGet(WebGetRequest* request, const char* name, void* unused, char* value,
                                int32_t valueCapacity, char* path, int32_t pathCapacity, uint32_t* secure) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(unused);
    ASSERT_POINTER(value);
    ASSERT_POINTER(path);
    ASSERT_POINTER(secure);
    value[0] = 0;
    path[0] = 0;
    *secure = 0;
    char host[WEBGET_COOKIE_DOMAIN_SIZE];
    WebGetRequest_HostWithoutPort(request, host, sizeof(host));
    for (WebGetCookie* cookie = request->CookieFirst; cookie; cookie = cookie->Next) {
        if (!String_CompareWithoutCase(cookie->Name, name)) continue;
        if (cookie->Domain[0] && !DomainMatches(host, cookie->Domain)) continue;
        String_CopyLength(value, cookie->Value, valueCapacity);
        String_CopyLength(path, cookie->Path, pathCapacity);
        *secure = cookie->Secure;
        return 1;
    }
    return 0;
}

int64_t WebGetRequest_CookieGetContentPtr(void*, WebGetCookie* cookie, const char** name, const char** domain,
                                          const char** value, const char** path, uint32_t* secure) {
    CLASS_CHECK(cookie, WEBGET_COOKIE_CLASS_ID);
    if (name) *name = cookie->Name;
    if (domain) *domain = cookie->Domain;
    if (value) *value = cookie->Value;
    if (path) *path = cookie->Path;
    if (secure) *secure = cookie->Secure;
    return 1;
}

WebGetCookie* WebGetRequest_CookieFirst(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->CookieFirst;
}

WebGetCookie* WebGetRequest_CookieNext(WebGetCookie* cookie) {
    CLASS_CHECK(cookie, WEBGET_COOKIE_CLASS_ID);
    return cookie->Next;
}

int64_t WebGetRequest_CookieActive(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    char host[WEBGET_COOKIE_DOMAIN_SIZE];
    WebGetRequest_HostWithoutPort(request, host, sizeof(host));
    for (WebGetCookie* cookie = request->CookieFirst; cookie; cookie = cookie->Next)
        if (WouldSend(request, cookie, host)) return 1;
    return 0;
}

int64_t WebGetRequest_CookieGetOutput(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    ASSERT_MSG(capacity >= 1, "MaxOutput must be greater than zero");
    buffer[0] = 0;
    char host[WEBGET_COOKIE_DOMAIN_SIZE];
    WebGetRequest_HostWithoutPort(request, host, sizeof(host));
    bool written = false;
    for (WebGetCookie* cookie = request->CookieFirst; cookie; cookie = cookie->Next) {
        if (!WouldSend(request, cookie, host)) continue;
        String_CatLength(buffer, cookie->Name, capacity);
        String_CatLength(buffer, "=", capacity);
        String_CatLength(buffer, cookie->Value, capacity);
        String_CatLength(buffer, "; ", capacity);
        written = true;
    }
    if (written) String_TrimWhitespace(buffer);
    return 1;
}

int64_t WebGetRequest_CookieDelete(WebGetRequest* request, const char* name, const char* domain) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(domain);
    for (WebGetCookie* cookie = request->CookieFirst; cookie; cookie = cookie->Next) {
        if (!String_CompareWithoutCase(cookie->Name, name) || !String_CompareWithoutCase(cookie->Domain, domain))
            continue;
        Unlink(request, cookie);
        Free(request, cookie);
        return 1;
    }
    return 0;
}

int64_t WebGetRequest_CookieReset(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    WebGetRequest_CookieFreeAll(request);
    WebGetRequest_Print(request, "Cookies cleared");
    return 1;
}
