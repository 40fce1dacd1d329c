// Shared set-up of the file and directory task suites: the engine fixture with a scratch
// directory, shell commands as oracles, and a count of the worker threads that started.
#pragma once
#include <atomic>
#include <string>

#include "core/runtime/thread.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_library_fixture.h"
#include "workflow/worker_task.h"

// Runs a shell command; its standard output, or "<failed>".
inline std::string Sh(const std::string& command) {
    auto out = RunOracle(command, "", 120);
    return out ? *out : "<failed>";
}

class FileTaskTest : public TaskLibraryTest {
  protected:
    TempDir dir;
    static inline std::atomic<int> threads{0};

    static int64_t CountingBegin(Thread** handle, void* parameter, ThreadFunc function) {
        threads++;
        return Thread_Begin(handle, parameter, function);
    }

    void SetUp() override {
        TaskLibraryTest::SetUp();
        threads = 0;
        WorkerTask_SetThreadBeginOverride(CountingBegin);
    }
    void TearDown() override {
        TaskLibraryTest::TearDown();
        WorkerTask_SetThreadBeginOverride(nullptr);
    }

    std::string P(const std::string& name) const { return dir.file(name); }

    // The name of the task One() ran last.
    std::string last;
    int defined = 0;

    // Defines a task of the type with the arguments (JSON members), under a name of its own,
    // beside two marker tasks, "yes" and "no", for outcome words to name, and runs it.
    Run One(const std::string& type, const std::string& arguments, double seconds = 30) {
        last = "t" + std::to_string(++defined);
        Define("{\"" + last + "\": {\"type\": \"" + type + "\"" + (arguments.empty() ? "" : ", ") + arguments +
               "}, \"yes\": {\"type\": \"DirectoryExists\", \"path\": \"/\"}"
               ", \"no\": {\"type\": \"DirectoryExists\", \"path\": \"/\"}}");
        return RunTask(last.c_str(), seconds);
    }
    std::string Last(const char* key) { return Status(last, key); }
    // A number of the last task's status; -2 when absent.
    double LastNumber(const char* key) {
        double value = -2;
        auto it = statuses.find(last);
        if (it == statuses.end() || !Dictionary_GetFloat64ByKey(it->second, key, &value)) return -2;
        return value;
    }
    // The outcome marker that ran: "yes", "no", "both" or "none".
    std::string Marker() const {
        const bool yes = Started("yes"), no = Started("no");
        return yes && no ? "both" : yes ? "yes" : no ? "no" : "none";
    }
    // JSON string literal of a path.
    static std::string Q(const std::string& text) { return "\"" + text + "\""; }
};
