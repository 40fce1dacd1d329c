// What the WebKitGTK back end hands to and takes from pages, without the engine: the page object's
// script, page callbacks as script text, the request of the digest scheme, the button of a
// simulated press, and the server text of a credential question.
#pragma once

#include <cstdint>
#include <string>

struct Dictionary;

// The URI scheme whose synchronous requests answer the page object's "hash".
constexpr const char* WEBKITPAGE_HASH_SCHEME = "skinhash";
// The URI scheme whose synchronous requests carry the page object's other calls:
// "<scheme>://<call>/<instance id, escaped>" with the call's text (type name or binding) as body.
constexpr const char* WEBKITPAGE_INTEROP_SCHEME = "skininterop";

enum : int32_t {
    WEBKITPAGE_CALL_NONE = 0,
    WEBKITPAGE_CALL_CREATE,
    WEBKITPAGE_CALL_HAS,
    WEBKITPAGE_CALL_RELEASE,
    WEBKITPAGE_CALL_INVOKE,
};

// The page object "NativeInterop", installed in every frame before the page's own script runs.
// Its calls go to the interop scheme, answered in this process.
const char* WebKitPage_UserScript();

// The call an interop scheme address asks for, with the instance id it names (unescaped; empty
// only for a create). WEBKITPAGE_CALL_NONE for another address, an unknown call, an id that does
// not fit the capacity or holds a zero byte, a bad escape, or a query, fragment or second segment.
int32_t WebKitPage_InteropCall(const char* uri, char* instanceId, int32_t capacity);

// "DispatchInteropCallback(<first>, <second>)" with both texts as JSON strings. Bytes that are
// not UTF-8 become U+FFFD, so that the page never gets a broken string.
std::string WebKitPage_CallbackScript(const char* first, const char* second);
// Appends text as a JSON string literal (quotes included).
void WebKitPage_AppendJsonString(std::string& out, const char* text, size_t length);

// The algorithm named by a request path of the digest scheme ("/SHA256"): letters and digits
// only, at most 15 of them. 0 when the path names none.
int64_t WebKitPage_HashAlgorithm(const char* path, char* algorithm, int32_t capacity);

// The button of a simulated press or release: 1 left, 2 middle, 3 right (GDK's numbers) for the
// modifier words 1, 2 and 4 exactly; 0 for any other word.
int32_t WebKitPage_Button(uint32_t modifiers);

// "host:port" of a credential question; an IPv6 address is bracketed ("[::1]:8080"), so that the
// port can be told from the address.
int64_t WebKitPage_ServerText(const char* host, uint32_t port, char* text, int32_t capacity);

// A boolean window setting read under its first name, else its second: 1 with the value when
// either is present as a boolean, 0 (setting left alone) when neither is.
int64_t WebKitPage_ConfigFlag(Dictionary* config, const char* first, const char* second, uint32_t* value);
