// Fuzz target of the external-URL rule: the first line is a request URL, every further line a
// wildcard pattern of the list. A pattern of a lone star matches every URL; a pattern equal to
// the URL's host-on part (without stars or backslashes) matches it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/runtime/dictionary.h"
#include "host/cef/cef_client_handler.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

// An exactly sized heap copy, so a read past the end is caught.
char* Copy(const std::string& text) {
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    for (char& c : text)
        if (c == 0) c = ' ';
    const size_t newline = text.find('\n');
    char* url = Copy(text.substr(0, newline));
    Dictionary* root = nullptr;
    Dictionary* list = nullptr;
    Dictionary_Create(&root);
    Dictionary_AddList(root, "list", &list, nullptr);
    for (size_t at = newline; at != std::string::npos && at < text.size();) {
        const size_t end = text.find('\n', at + 1);
        const std::string pattern = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        Dictionary_AddString(list, nullptr, pattern.c_str(), nullptr);
        at = end;
    }
    const int64_t external = CEFClientHandler_IsExternalUrl(url, list);
    Check(external == 0 || external == 1);

    Dictionary* fixed = nullptr;
    Dictionary_AddList(root, "fixed", &fixed, nullptr);
    Dictionary_AddString(fixed, nullptr, "*", nullptr);
    Check(CEFClientHandler_IsExternalUrl(url, fixed) == 1);

    // The host-on part: after "://" and the last '@' before the path.
    std::string tail = url;
    const size_t scheme = tail.find("://");
    if (scheme != std::string::npos) {
        tail = tail.substr(scheme + 3);
        const size_t authority = tail.find_first_of("/?#");
        const size_t at = tail.rfind('@', authority == std::string::npos ? std::string::npos : authority);
        if (at != std::string::npos && (authority == std::string::npos || at < authority)) tail = tail.substr(at + 1);
    }
    if (tail.find_first_of("*\\") == std::string::npos) {
        Dictionary* own = nullptr;
        Dictionary_AddList(root, "own", &own, nullptr);
        Dictionary_AddString(own, nullptr, tail.c_str(), nullptr);
        Check(CEFClientHandler_IsExternalUrl(url, own) == 1);
    }
    Dictionary_Release(&root);
    free(url);
    return 0;
}
