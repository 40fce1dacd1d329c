// Environment variables set (or, given nullptr or nullopt, removed) for a scope and put back as
// they were at its end, most recent first.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class ScopedEnv {
  public:
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values = {}) {
        for (const auto& [name, value] : values) Set(name, value);
    }
    ScopedEnv(const char* name, const std::optional<std::string>& value) {
        Set(name, value ? value->c_str() : nullptr);
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->second ? setenv(it->first.c_str(), it->second->c_str(), 1) : unsetenv(it->first.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    void Set(const char* name, const char* value) {
        bool known = false;
        for (const auto& entry : saved_) known |= entry.first == name;
        const char* old = getenv(name);
        if (!known) saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? setenv(name, value, 1) : unsetenv(name);
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
