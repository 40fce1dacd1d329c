// Looks up arbitrary file names in the MIME table and checks the answer against a case-blind
// reading of the extension: a hit names a type whose extension really is the name's, a miss
// leaves the default, and nothing is read past the name's end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/formats/mime.h"

namespace {

// The extension after the last '.', empty when a separator, ':' or the start comes first.
std::string ExtensionOf(const std::string& name) {
    for (size_t i = name.size(); i-- > 0;) {
        const char c = name[i];
        if (c == '.') return name.substr(i + 1);
        if (c == '/' || c == '\\' || c == ':') break;
    }
    return "";
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MIME_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy lets the address sanitizer see any read past the terminator.
    const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    std::vector<char> name(data, data + length);
    name.push_back(0);
    name.shrink_to_fit();
    const char* type = nullptr;
    const char* subtype = nullptr;
    const int64_t found = MIME_Find(name.data(), &type, &subtype);
    if (!type || !subtype || !type[0] || !subtype[0]) abort();
    const std::string extension = Lower(ExtensionOf(std::string(name.data(), length)));
    if (found) {
        if (extension.empty()) abort();
        // The same extension in another case and behind another name gives the same answer.
        std::string other = "x." + extension;
        for (char& c : other)
            if (c >= 'a' && c <= 'z') c = (char)(c - 32);
        const char* otherType = nullptr;
        const char* otherSubtype = nullptr;
        if (MIME_Find(other.c_str(), &otherType, &otherSubtype) != 1) abort();
        if (strcmp(otherType, type) != 0 || strcmp(otherSubtype, subtype) != 0) abort();
    }
    return 0;
}
