// Environment variables set (or, given nullptr or nullopt, removed) for a scope and put back as
// they were at its end, most recent first. The program's own environment and the C library's are
// apart (the toolkit reads the latter): each is set, and put back, on its own.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/linux/platform_system.h"

// The program's own value of a variable, nullopt when unset.
inline std::optional<std::string> ProgramEnv(const char* name) {
    char probe[1];
    const int32_t length = Platform_ReadEnvironmentVariable(name, probe, sizeof(probe));
    if (length < 0) return std::nullopt;
    std::string value((size_t)length + 1, '\0');
    Platform_ReadEnvironmentVariable(name, value.data(), (int32_t)value.size());
    value.resize((size_t)length);
    return value;
}

// Sets (or, given nullptr, removes) a variable for both the program and the C library.
inline void SetBothEnv(const char* name, const char* value) {
    if (value) {
        setenv(name, value, 1);
        Platform_SetEnvironmentVariable(name, value);
    } else {
        unsetenv(name);
        Platform_UnsetEnvironmentVariable(name);
    }
}

class ScopedEnv {
  public:
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values = {}) {
        for (const auto& [name, value] : values) Set(name, value);
    }
    ScopedEnv(const char* name, const std::optional<std::string>& value) {
        Set(name, value ? value->c_str() : nullptr);
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            const char* name = it->Name.c_str();
            it->Library ? setenv(name, it->Library->c_str(), 1) : unsetenv(name);
            it->Program ? Platform_SetEnvironmentVariable(name, it->Program->c_str())
                        : Platform_UnsetEnvironmentVariable(name);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    void Set(const char* name, const char* value) {
        bool known = false;
        for (const auto& entry : saved_) known |= entry.Name == name;
        if (!known) {
            const char* old = getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt, ProgramEnv(name)});
        }
        SetBothEnv(name, value);
    }

  private:
    struct Saved {
        std::string Name;
        std::optional<std::string> Library;
        std::optional<std::string> Program;
    };
    std::vector<Saved> saved_;
};
