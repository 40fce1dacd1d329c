// Builds the redirect rule pattern of an arbitrary prefix and checks it with PCRE2, compiled as
// the web client compiles rules (ignoring case), against a plain prefix test: the pattern must
// match exactly the URLs that begin with the prefix, case ignored.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tasks/redirect_tasks.h"

namespace {

bool BeginsWith(const std::string& url, const std::string& prefix) {
    if (url.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (tolower((unsigned char)url[i]) != tolower((unsigned char)prefix[i])) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000) return 0;
    // Prefix, then (after the first NUL) the rest of a URL; URLs carry no raw line breaks.
    const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0, size));
    const std::string prefix(reinterpret_cast<const char*>(data), split ? (size_t)(split - data) : size);
    std::string rest;
    if (split)
        for (const uint8_t* p = split + 1; p < data + size; p++)
            if (*p && *p != '\n' && *p != '\r') rest.push_back((char)*p);
    std::vector<char> pattern(8192);
    if (!URLRedirect_BuildPattern(prefix.c_str(), pattern.data(), (int32_t)pattern.size())) {
        // Refused only when the escaped prefix is too long.
        if (prefix.size() < 4000) abort();
        return 0;
    }
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), PCRE2_ZERO_TERMINATED,
                                     PCRE2_CASELESS, &error, &offset, nullptr);
    if (!code) abort();
    pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
    // The prefix itself with the rest, and the rest alone (which begins with the prefix by chance).
    const std::string urls[] = {prefix + rest, rest, rest + prefix};
    for (const std::string& url : urls) {
        if (url.find('\n') != std::string::npos || url.find('\r') != std::string::npos) continue;
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(url.data()), url.size(), 0, 0, match, nullptr);
        const bool matched = rc > 0;
        if (matched != BeginsWith(url, prefix)) abort();
        // The group holds the whole URL.
        if (matched && pcre2_get_ovector_pointer(match)[3] != url.size()) abort();
    }
    pcre2_match_data_free(match);
    pcre2_code_free(code);
    return 0;
}
