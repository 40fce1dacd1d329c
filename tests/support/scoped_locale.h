// The process locale set for a scope, as the toolkit's start-up sets it from the user's
// environment, and put back at its end. A test skips when the machine lacks the locale.
#pragma once

#include <clocale>
#include <string>

#include <gtest/gtest.h>

class ScopedLocale {
  public:
    explicit ScopedLocale(const char* name) {
        const char* current = setlocale(LC_ALL, nullptr);
        saved_ = current ? current : "C";
        ok_ = setlocale(LC_ALL, name) != nullptr;
    }
    ~ScopedLocale() { setlocale(LC_ALL, saved_.c_str()); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool Ok() const { return ok_; }

  private:
    std::string saved_;
    bool ok_ = false;
};

// Sets the locale for the rest of the test's scope, or skips the test naming the locale missing.
#define USE_LOCALE_OR_SKIP(guard, name)                                                            \
    ScopedLocale guard(name);                                                                      \
    if (!guard.Ok()) GTEST_SKIP() << "locale " << (name) << " is not installed on this machine"
