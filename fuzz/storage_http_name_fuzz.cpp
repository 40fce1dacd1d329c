// Manifest file names made into URLs below a base URL: whatever the name, the URL either stays
// below the base (no other host, no climbing out of its path, no query or fragment of the name's
// making) or the name is refused.
#include <cstdlib>
#include <cstring>
#include <string>

#include "repository/storage_http_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    const std::string name(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    static const char kBase[] = "http://127.0.0.1:8080/content/v1/";
    char url[8192];
    if (StorageHTTP_NameToURL(kBase, name.c_str(), url, (int32_t)sizeof(url)) != 0) return 0;
    const std::string out(url);
    if (out.compare(0, sizeof(kBase) - 1, kBase) != 0) abort();
    const std::string path = out.substr(sizeof(kBase) - 1);
    if (path.find_first_of("?#") != std::string::npos) abort();
    if (path == ".." || path.rfind("../", 0) == 0 || path.find("/../") != std::string::npos ||
        (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0))
        abort();
    return 0;
}
