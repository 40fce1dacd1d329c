// Shared set-up of the Task suites: the runtime services a task needs, tasks loaded from JSON
// definitions, their printed lines and the notifications they fire.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/printed_lines.h"
#include "workflow/task.h"

class TaskEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Debug_Init("task.log", nullptr, DEBUG_FLAG_EXTERNAL_PRINT), 1);
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(Authenticate_Init(), 1);
    }
    void TearDown() override {
        Authenticate_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
        Debug_Remove();
    }
};

inline Dictionary* ParseJson(const char* text) {
    Dictionary* dict = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&dict);
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, dict);
    EXPECT_EQ(JSON_LoadBuffer(json, text, (uint32_t)strlen(text)), 1) << text;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    return dict;
}

// The document's root object (the JSON reader keeps an unnamed root item).
inline Dictionary* Root(Dictionary* document) {
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    return root;
}

class TaskTest : public ::testing::Test {
  protected:
    std::vector<std::string> lines;
    std::vector<std::string> fired; // "Name:information as JSON"
    std::vector<Dictionary*> documents;
    std::vector<Task*> tasks;

    static int64_t CaptureLine(void* user, const char* format, ...) {
        char text[4096];
        va_list args;
        va_start(args, format);
        String_VPrint(text, sizeof(text), format, args);
        va_end(args);
        std::lock_guard<std::mutex> hold(PrintedLinesLock()); // workers print from their own threads
        static_cast<TaskTest*>(user)->lines.push_back(text);
        return 1;
    }
    static int64_t CaptureFire(void* user, const char*, const char* name, const char*, Dictionary* info) {
        static_cast<TaskTest*>(user)->fired.push_back(std::string(name) + ":" + (info ? "{" + DictionaryAsJson(info) + "}" : ""));
        return 1;
    }

    void SetUp() override {
        ASSERT_EQ(NotificationCenter_Init(), 1);
        Authenticate_SetEnabled(1);
    }
    void TearDown() override {
        for (Task* task : tasks) Task_Release(&task);
        for (Dictionary* dict : documents) Dictionary_Release(&dict);
        Pump();
        NotificationCenter_Remove();
        EventQueue_Flush(nullptr);
        Interop_Process();
    }

    void Pump(int passes = 20) {
        for (int i = 0; i < passes; i++) NotificationCenter_Process();
    }

    // A task loaded from `name` of a JSON document of definitions, printing into `lines` and
    // watched for the given "Task" notifications.
    Task* Load(const char* document, const char* name, std::initializer_list<const char*> watch = {}) {
        Dictionary* dict = ParseJson(document);
        documents.push_back(dict);
        Task* task = nullptr;
        Task_Create(&task);
        tasks.push_back(task);
        Task_SetPrintCallback(task, this, CaptureLine);
        EXPECT_EQ(Task_LoadFromDictionary(task, Root(dict), name), 1) << name;
        for (const char* what : watch)
            NotificationCenter_AddInstanceObserver("Task", what, reinterpret_cast<const char*>(task), this,
                                                   CaptureFire);
        return task;
    }

    bool Printed(const std::string& text) const {
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    // The error list joined by ",".
    static std::string Errors(Task* task) {
        std::string out;
        char text[1100];
        for (int32_t i = 0; Task_GetError(task, i, text, sizeof(text)); i++) out += (i ? "," : "") + std::string(text);
        return out;
    }
};
