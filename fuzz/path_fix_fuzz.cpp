// Compares the in-place path normaliser with a plain component-stack normaliser on arbitrary
// text: both must name the same place, so a ".." can never climb past a kept "." or "..", nor
// above the root, and the trailing-separator flags only ever change the last byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/platform/path.h"

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Splits into components, folds "." and "..", and joins with '/' without a trailing separator.
std::string Reference(const std::string& text) {
    const bool absolute = !text.empty() && IsSeparator(text[0]);
    std::vector<std::string> stack;
    size_t i = 0;
    bool first = true;
    while (i < text.size()) {
        while (i < text.size() && IsSeparator(text[i])) i++;
        if (i == text.size()) break;
        size_t start = i;
        while (i < text.size() && !IsSeparator(text[i])) i++;
        std::string component = text.substr(start, i - start);
        if (component == ".") {
            // Only the first component of a relative text survives, as a name would.
            if (first && !absolute) stack.push_back(component);
        } else if (component == "..") {
            if (!stack.empty() && stack.back() != "." && stack.back() != "..")
                stack.pop_back();
            else if (!absolute || !stack.empty())
                stack.push_back(component);
        } else {
            stack.push_back(component);
        }
        first = false;
    }
    std::string out = absolute ? "/" : "";
    for (size_t k = 0; k < stack.size(); k++) {
        if (k) out += '/';
        out += stack[k];
    }
    return out;
}

std::string StripTrailing(std::string text) {
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::string Fixed(const std::string& text, uint32_t flags) {
    std::vector<char> buffer(text.size() + 2, 0);
    memcpy(buffer.data(), text.data(), text.size());
    if (Path_Fix(buffer.data(), (int32_t)buffer.size(), flags) != 1) abort();
    if (strnlen(buffer.data(), buffer.size()) >= buffer.size()) abort();
    return buffer.data();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    const std::string expected = Reference(text);
    const std::string plain = Fixed(text, PATH_FIX_NO_TRAILING);
    const std::string trailing = Fixed(text, PATH_FIX_TRAILING);
    if (plain != expected) abort();
    // Without a trailing separator the text ends in a name, "." or ".." (or is the root or empty).
    if (plain.size() > 1 && plain.back() == '/') abort();
    if (StripTrailing(trailing) != expected) abort();
    if (!trailing.empty() && trailing.back() != '/') abort();
    // Normalising is idempotent.
    if (Fixed(plain, PATH_FIX_NO_TRAILING) != plain) abort();
    return 0;
}
