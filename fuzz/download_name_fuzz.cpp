// Feeds arbitrary URLs and output capacities to the rule that names a downloaded file after its
// URL, and checks it against a decoder of its own: a name is given exactly when the decoded last
// segment is a whole name that fits and stays in its folder, and nothing is written past the buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/formats/url.h"
#include "tasks/download_task.h"

namespace {

constexpr char kGuard = '\x5A';

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The expected name of the segment (up to "?" or "#"), or none.
bool Expected(const char* segment, int32_t capacity, std::string* name) {
    const size_t end = strcspn(segment, "?#");
    name->clear();
    for (size_t i = 0; i < end;) {
        if (segment[i] == '%' && end - i >= 3 && Hex(segment[i + 1]) >= 0 && Hex(segment[i + 2]) >= 0) {
            name->push_back((char)(Hex(segment[i + 1]) << 4 | Hex(segment[i + 2])));
            i += 3;
        } else {
            name->push_back(segment[i++]);
        }
    }
    if (name->empty() || *name == "." || *name == ".." || (int32_t)name->size() >= capacity) return false;
    return name->find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t capacity = (int32_t)(data[0] | (data[1] & 0x1F) << 8); // 0 .. 8191
    const std::string url(reinterpret_cast<const char*>(data + 2), size - 2);
    const char* text = url.c_str(); // the URL ends at its first NUL, as any C text does

    std::vector<char> out((size_t)capacity + 16, kGuard);
    const int64_t named = Download_FilenameFromURL(text, out.data(), capacity);
    for (size_t i = (size_t)capacity; i < out.size(); i++)
        if (out[i] != kGuard) abort();
    if (capacity > 0 && strnlen(out.data(), (size_t)capacity) >= (size_t)capacity) abort();

    const char* segment = nullptr;
    std::string expected;
    const bool want = URL_ParseFilenamePtr(text, &segment) && segment && capacity > 0 &&
                      Expected(segment, capacity, &expected);
    if ((named == 1) != want) abort();
    if (named == 1) {
        if (expected != out.data()) abort();
        if (!Download_IsUsableFilename(out.data())) abort();
    } else if (capacity > 0 && out[0] != 0) {
        abort();
    }
    return 0;
}
