// Texts the WebKitGTK back end builds from what pages and peers give it: page callbacks must come
// out as a call whose two arguments read back as the texts given (bytes that are not UTF-8 become
// U+FFFD), digest request paths name only short alphanumeric algorithms, interop addresses give an
// id that fits and reads back the same when escaped again, and credential server texts fit their
// buffer and keep an IPv6 address apart from its port.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "host/webkit/webkit_page.h"

namespace {

void CheckCallback(const std::string& first, const std::string& second) {
    const std::string script = WebKitPage_CallbackScript(first.c_str(), second.c_str());
    const std::string head = "DispatchInteropCallback(", tail = ");";
    if (script.compare(0, head.size(), head) != 0 || script.size() < head.size() + tail.size() ||
        script.compare(script.size() - tail.size(), tail.size(), tail) != 0)
        abort();
    for (unsigned char c : script)
        if (c < 0x20) abort();
    const std::string arguments = script.substr(head.size(), script.size() - head.size() - tail.size());
    // The first literal ends at its first quote that no backslash escapes.
    size_t end = 1;
    while (end < arguments.size() && arguments[end] != '"') end += arguments[end] == '\\' ? 2 : 1;
    if (end >= arguments.size() || arguments.compare(end + 1, 2, ", ") != 0) abort();
    const std::string document =
        "{\"a\": " + arguments.substr(0, end + 1) + ", \"b\": " + arguments.substr(end + 3) + "}";
    Dictionary* dict = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&dict);
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, dict);
    if (JSON_LoadString(json, "%s", document.c_str()) != 1) abort();
    Dictionary* root = nullptr;
    if (Dictionary_SkipRoot(dict, &root) != 1 || !root) abort();
    const int32_t capacity = (int32_t)(first.size() + second.size()) * 3 + 16;
    std::string a(capacity, '\0'), b(capacity, '\0');
    if (Dictionary_GetStringByKey(root, "a", a.data(), capacity) != 1) abort();
    if (Dictionary_GetStringByKey(root, "b", b.data(), capacity) != 1) abort();
    a.resize(strlen(a.c_str()));
    b.resize(strlen(b.c_str()));
    // Texts that were UTF-8 throughout come back unchanged.
    if (script.find("\\ufffd") == std::string::npos && (a != first || b != second)) abort();
    JSON_Release(&json);
    Dictionary_Release(&dict);
}

void CheckInteropCall(const std::string& uri, int32_t capacity) {
    char id[64];
    memset(id, 'x', sizeof(id));
    const int32_t call = WebKitPage_InteropCall(uri.c_str(), id, capacity);
    if (capacity < 1) return;
    const size_t n = strnlen(id, (size_t)capacity);
    if (n >= (size_t)capacity || (call == WEBKITPAGE_CALL_NONE && n != 0)) abort();
    if (call == WEBKITPAGE_CALL_NONE) return;
    if (n == 0 && call != WEBKITPAGE_CALL_CREATE) abort();
    // Every byte escaped again names the same call and id.
    static const char kHex[] = "0123456789ABCDEF";
    std::string again = uri.substr(0, uri.find('/', strlen(WEBKITPAGE_INTEROP_SCHEME) + 3) + 1);
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = (unsigned char)id[i];
        again += '%';
        again += kHex[c >> 4];
        again += kHex[c & 15];
    }
    char back[64];
    if (WebKitPage_InteropCall(again.c_str(), back, capacity) != call || strcmp(back, id) != 0) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
    case 0: {
        const std::string first = text.substr(0, text.find('\0'));
        const size_t split = text.find('\0');
        const std::string rest = split == std::string::npos ? "" : text.substr(split + 1);
        CheckCallback(first, rest.substr(0, rest.find('\0')));
        break;
    }
    case 1: {
        char algorithm[16];
        const std::string path = text.substr(0, text.find('\0'));
        if (WebKitPage_HashAlgorithm(path.c_str(), algorithm, sizeof(algorithm)) == 1) {
            const size_t n = strlen(algorithm);
            if (n == 0 || n > 15) abort();
            for (size_t i = 0; i < n; i++)
                if (!isalnum((unsigned char)algorithm[i])) abort();
        } else if (algorithm[0] != 0) {
            abort();
        }
        break;
    }
    case 3:
        CheckInteropCall(text.substr(1, text.find('\0', 1) == std::string::npos ? std::string::npos
                                                                               : text.find('\0', 1) - 1),
                         (int32_t)(data[1] % 64));
        break;
    default: {
        const int32_t capacity = (int32_t)(data[1] % 64);
        const uint32_t port = size > 3 ? (uint32_t)data[2] << 8 | data[3] : 0;
        const std::string host = text.substr(2 < text.size() ? 2 : text.size());
        const std::string name = host.substr(0, host.find('\0'));
        char out[64];
        memset(out, 'x', sizeof(out));
        const int64_t made = WebKitPage_ServerText(name.c_str(), port, out, capacity);
        if (capacity > 0 && strnlen(out, (size_t)capacity) >= (size_t)capacity) abort();
        if (made == 1 && strchr(name.c_str(), ':') && name[0] != '[' && out[0] != '[') abort();
        if (made == 1 && std::string(out).rfind(":" + std::to_string(port)) == std::string::npos) abort();
        break;
    }
    }
    return 0;
}
