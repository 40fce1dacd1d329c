// Fuzz target of the embedded-page header filter: arbitrary header lines, for a frame and for a
// popup, must come back as an ordered subset that only ever lacks the headers each case may drop.
#include <cstdint>
#include <cstdlib>
#include <strings.h>
#include <string>

#include "host/cef/cef_resource_loader.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

bool Named(const std::string& name, const char* wanted) { return strcasecmp(name.c_str(), wanted) == 0; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    // One header a line, "name:value".
    CEFHeaderMap headers;
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
        at = end + 1;
    }
    for (uint32_t popup = 0; popup < 2; popup++) {
        CEFHeaderMap out;
        const int32_t removed = ResourceLoader_FilterHeaders(headers, popup, &out);
        Check(removed >= 0 && (size_t)removed + out.size() == headers.size());
        size_t next = 0;
        for (const auto& header : headers) {
            if (next < out.size() && out[next] == header) {
                next++;
                continue;
            }
            // Left out: only what this case may drop.
            if (popup)
                Check(Named(header.first, "Cross-Origin-Opener-Policy"));
            else
                Check(Named(header.first, "X-Frame-Options") || Named(header.first, "Content-Security-Policy"));
        }
        Check(next == out.size());
    }
    return 0;
}
