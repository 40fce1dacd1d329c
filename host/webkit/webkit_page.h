// What the WebKitGTK back end hands to and takes from pages, without the engine: the page object's
// script, page callbacks as script text, the request of the digest scheme, the button of a
// simulated press, and the server text of a credential question.
#pragma once

#include <cstdint>
#include <string>

struct Dictionary;

// The URI scheme whose synchronous requests answer the page object's "hash".
constexpr const char* WEBKITPAGE_HASH_SCHEME = "skinhash";

// The page object "NativeInterop", installed in every frame before the page's own script runs.
// Its calls reach the skin web server's "instances/" routes on the page's own origin.
const char* WebKitPage_UserScript();

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
