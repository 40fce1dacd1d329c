// Fuzz target of command-line splitting for launched programs: every split must agree with a
// plain reading of the splitting rules, stay within the argument limit and free cleanly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/linux/platform_process.h"

namespace {

constexpr size_t kArgumentLimit = 8192;

void Check(bool condition) {
    if (!condition) abort();
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The rules, one character at a time, written for clarity rather than speed.
std::vector<std::string> Reference(const char* text) {
    std::vector<std::string> out;
    std::string current;
    bool quoted = false;
    auto full = [&] { return current.size() >= kArgumentLimit; };
    for (const char* p = text; *p; p++) {
        const char c = *p;
        if (quoted) {
            if (c == '"') {
                out.push_back(current);
                current.clear();
                quoted = false;
                continue;
            }
            current += c;
        } else if (IsSeparator(c)) {
            if (!current.empty()) out.push_back(current);
            current.clear();
            continue;
        } else if (c == '"') {
            quoted = true;
            continue;
        } else if (c == '\\') {
            current += c;
            if (full()) break;
            if (p[1] == 0) break;
            current += *++p;
        } else {
            current += c;
        }
        if (full()) break;
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

void FuzzOne(const char* text) {
    int32_t count = -1;
    char** array = reinterpret_cast<char**>(1);
    if (!CommandLineToMutableArray(text, &count, &array)) {
        Check(count == 0 && array == nullptr);
        return;
    }
    const std::vector<std::string> expected = Reference(text);
    Check(count == (int32_t)expected.size());
    Check(array != nullptr && array[count] == nullptr);
    for (int32_t i = 0; i < count; i++) {
        Check(strlen(array[i]) <= kArgumentLimit);
        Check(expected[(size_t)i] == array[i]);
    }
    Check(CommandLineFreeMutableArray(&count, &array) == 1);
    Check(count == 0 && array == nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The splitter reads NUL-terminated text; the copy has no slack after the terminator.
    char* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) return 0;
    memcpy(text, data, size);
    text[size] = 0;
    FuzzOne(text);
    // Short inputs also run with their bytes repeated, to reach the argument limit.
    const size_t length = strlen(text);
    if (length > 0 && length < 64) {
        std::string repeated;
        while (repeated.size() < kArgumentLimit + 64) repeated.append(text, length);
        FuzzOne(repeated.c_str());
    }
    free(text);
    return 0;
}
