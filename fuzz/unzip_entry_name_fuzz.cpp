// Turns arbitrary names into paths below an output directory and matches them against patterns:
// an accepted path is relative, free of "..", "." and empty components; a refused one is empty.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tasks/unzip_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    // Name, then (after the first NUL) a pattern.
    const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0, size));
    const std::string name(reinterpret_cast<const char*>(data), split ? (size_t)(split - data) : size);
    const std::string pattern = split ? std::string(reinterpret_cast<const char*>(split + 1),
                                                    strnlen(reinterpret_cast<const char*>(split + 1),
                                                            size - (size_t)(split - data) - 1))
                                      : std::string("*");
    char out[512];
    uint32_t directory = 0;
    const int64_t ok = Unzip_EntryPath(name.c_str(), out, sizeof(out), &directory);
    const std::string path = out;
    if (!ok && !path.empty()) abort();
    if (ok) {
        if (!path.empty() && (path.front() == '/' || path.back() == '/')) abort();
        if (path.find('\\') != std::string::npos || path.find("//") != std::string::npos) abort();
        size_t start = 0;
        while (start <= path.size() && !path.empty()) {
            const size_t end = path.find('/', start);
            const std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (part.empty() || part == "." || part == "..") abort();
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    // Every name matches "*"; a name always matches itself.
    if (!Unzip_MatchPattern(name.c_str(), "*")) abort();
    if (name.find('*') == std::string::npos && !Unzip_MatchPattern(name.c_str(), name.c_str())) abort();
    Unzip_MatchPattern(name.c_str(), pattern.c_str());
    return 0;
}
