// Keeps what the debug log prints so that tests can check the exact lines: for a whole test
// program (LogCaptureEnvironment), for the span of one object (LogCapture), or line by line for
// the tests of a fixture (LogLinesTest).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "tests/support/temp_dir.h"

// The text printed since it was last taken; workers may print while a test reads it.
inline std::mutex& CapturedLogLock() {
    static std::mutex lock;
    return lock;
}
inline std::string& CapturedLog() {
    static std::string text;
    return text;
}

inline int64_t CaptureLog(const char* text) {
    std::lock_guard<std::mutex> guard(CapturedLogLock());
    CapturedLog() += text;
    return 1;
}

// Everything captured so far, leaving the capture empty.
inline std::string TakeLog() {
    std::lock_guard<std::mutex> guard(CapturedLogLock());
    std::string text;
    text.swap(CapturedLog());
    return text;
}

// The debug layer started for the whole program without a log file, every line it prints kept.
// Register it once per test program:
//   const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
class LogCaptureEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(CaptureLog);
    }
    void TearDown() override {
        Debug_PrintOverride(nullptr);
        Debug_Remove();
    }
};

// While it lives: the log started on the console, and what it prints kept instead of shown.
class LogCapture {
  public:
    LogCapture() {
        TakeLog();
        if (!Log_IsStarted()) Log_Init(nullptr);
        Debug_FlagsOverride(ConsoleFlags);
        Debug_PrintOverride(CaptureLog);
    }
    ~LogCapture() {
        Debug_PrintOverride(nullptr);
        Debug_FlagsOverride(nullptr);
        Log_Remove();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const {
        std::lock_guard<std::mutex> guard(CapturedLogLock());
        return CapturedLog();
    }
    void Clear() { TakeLog(); }

  private:
    static uint32_t ConsoleFlags() { return DEBUG_FLAG_CONSOLE; }
};

// A fixture base: each test starts the debug layer on a log file of its own, and every text the
// log prints is kept, one entry per print, in `printed`.
class LogLinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Debug_Init(dir.file("test.log").c_str(), nullptr, DEBUG_FLAG_FILE), 1);
        Debug_PrintCallback(Capture);
        printed.clear();
    }
    void TearDown() override {
        Debug_PrintCallback(nullptr);
        Debug_Remove();
    }

    static inline std::vector<std::string> printed;
    TempDir dir;

  private:
    static void Capture(const char* text) { printed.push_back(text); }
};
