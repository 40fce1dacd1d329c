// Feeds two version texts (split at the first newline, each cut to the 239 characters a
// VersionCompare task reads) to the version comparison, and checks it against a plain reading of
// the version rule: the order is antisymmetric, a text equals itself, and the answer is the
// rule's, with a field too large for 32 bits held at the largest value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/runtime/string.h"

namespace {

constexpr size_t kVersionChars = 239;

struct Reading {
    bool valid = false;
    int64_t fields[4] = {0, 0, 0, 0};
};

// "[v|V]a.b.c.d" with "." or ","; the first three fields digits only, the fourth its leading
// digits with anything after them.
Reading Read(const std::string& text) {
    Reading r;
    size_t p = 0;
    if (p < text.size() && (text[p] == 'v' || text[p] == 'V')) p++;
    if (p >= text.size()) return r;
    for (int field = 0; field < 4; field++) {
        int64_t value = 0;
        while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
            value = std::min<int64_t>(value * 10 + (text[p] - '0'), INT32_MAX);
            p++;
        }
        r.fields[field] = value;
        if (field == 3) break;
        if (p >= text.size()) break;
        if (text[p] != '.' && text[p] != ',') return r; // a character that is not a digit
        p++;
    }
    r.valid = true;
    return r;
}

int Expected(const Reading& a, const Reading& b) {
    for (int i = 0; i < 4; i++)
        if (a.fields[i] != b.fields[i]) return a.fields[i] > b.fields[i] ? 1 : -1;
    return 0;
}

char* Copy(const std::string& text) {
    char* out = static_cast<char*>(malloc(text.size() + 1));
    if (out) {
        memcpy(out, text.data(), text.size());
        out[text.size()] = 0;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\n');
    std::string one = input.substr(0, split);
    std::string two = split == std::string::npos ? std::string() : input.substr(split + 1);
    // A task's buffer ends the text at its first NUL, and after 239 characters.
    one = one.substr(0, std::min(strlen(one.c_str()), kVersionChars));
    two = two.substr(0, std::min(strlen(two.c_str()), kVersionChars));
    char* a = Copy(one);
    char* b = Copy(two);
    if (!a || !b) {
        free(a);
        free(b);
        return 0;
    }
    int32_t forward = 7, backward = 7, self = 7;
    const int64_t okForward = String_CompareVersion(a, b, &forward);
    const int64_t okBackward = String_CompareVersion(b, a, &backward);
    const int64_t okSelf = String_CompareVersion(a, a, &self);
    if (okForward != okBackward) abort();
    if (!okForward && (forward != 0 || backward != 0)) abort();
    if (okForward && forward != -backward) abort();
    if (forward < -1 || forward > 1) abort();
    if (okSelf && self != 0) abort();

    const Reading ra = Read(one);
    const Reading rb = Read(two);
    if ((okForward != 0) != (ra.valid && rb.valid)) abort();
    if (okForward && forward != Expected(ra, rb)) abort();
    free(a);
    free(b);
    return 0;
}
