// Small helpers the platform tests share: an object made in one expression, an environment
// variable set for a scope, and the lines an object's print block prints, kept for comparison.
#pragma once

#include <cstdarg>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/string_print.h"

// A new object of a kind created as `Kind_Create(&handle)`.
template <typename T> T* Created(int64_t (*create)(T**)) {
    T* object = nullptr;
    create(&object);
    return object;
}

// Sets an environment variable (unsets it for nullopt) and puts the old value back at the end.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        Set(value);
    }
    ~ScopedEnv() { Set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void Set(const std::optional<std::string>& value) {
        if (value)
            setenv(name_, value->c_str(), 1);
        else
            unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

// A print callback (ClassPrintCallback) for objects' print blocks: `user` is a
// std::vector<std::string>, which gets each printed text, prefix and line end included.
inline int64_t KeepPrintedLine(void* user, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    static_cast<std::vector<std::string>*>(user)->push_back(text);
    return 1;
}

// The printed lines without the object's prefix ("Kind.xxxxxxxx - ") and line end.
inline std::vector<std::string> Unprefixed(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (std::string line : lines) {
        const size_t dash = line.find(" - ");
        if (dash != std::string::npos) line = line.substr(dash + 3);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        out.push_back(line);
    }
    return out;
}
