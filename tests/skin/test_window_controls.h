// Headless stand-ins for the window controls and the dialogs a page asks for: the controls keep
// their state in memory, the dialogs answer as the test's user would.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "skin/skin_window_dialog.h"
#include "skin/skin_window_interop.h"

struct TestControlsState {
    int32_t Minimized = 0, Maximized = 0;
    double MouseX = 0, MouseY = 0;  // where the mouse is on screen
    std::vector<std::string> Calls; // "Name arg ..." of the drag, progress, notify and picture calls
    int64_t MessageBoxAnswer = 1;   // the platform button the user presses
    int64_t ChooserAnswer = 1;      // 1 chosen, 0 cancelled
    std::string ChosenDirectory = "/home/u/", ChosenFile = "notes.txt";
    std::vector<std::string> Dialogs; // "kind|text|...|type" as the platform got them
};

inline TestControlsState& TestControls() {
    static TestControlsState state;
    return state;
}

inline const SkinWindowControlsInterface* TestControls_GetInterface() {
    static const SkinWindowControlsInterface table = {
        [](NativeSkinWindow*) -> int64_t { return (TestControls().Maximized = 1), 1; },
        [](NativeSkinWindow*) -> int64_t { return (TestControls().Minimized = 1), 1; },
        [](NativeSkinWindow*) -> int64_t { return (TestControls().Minimized = TestControls().Maximized = 0), 1; },
        [](NativeSkinWindow*) -> int64_t { return TestControls().Minimized; },
        [](NativeSkinWindow*) -> int64_t { return TestControls().Maximized; },
        [](NativeSkinWindow*, int32_t resize, double* x, double* y) -> int64_t {
            *x = TestControls().MouseX;
            *y = TestControls().MouseY;
            TestControls().Calls.push_back("BeginDrag " + std::to_string(resize));
            return 1;
        },
        [](NativeSkinWindow*, int32_t resize) -> int64_t {
            TestControls().Calls.push_back("ContinueDrag " + std::to_string(resize));
            return 1;
        },
        [](NativeSkinWindow*) -> int64_t { return TestControls().Calls.push_back("EndLiveResize"), 1; },
        [](int32_t value) -> int64_t { return TestControls().Calls.push_back("Progress " + std::to_string(value)), 1; },
        [](NativeSkinWindow*, int32_t type, const char* caption, const char* message) -> int64_t {
            TestControls().Calls.push_back("Notify " + std::to_string(type) + " " + caption + " " + message);
            return 1;
        },
        [](NativeSkinWindow*, const char* path) -> int64_t {
            TestControls().Calls.push_back(std::string("SaveImage ") + path);
            return 1;
        },
    };
    return &table;
}

inline const SkinWindowDialogNativeInterface* TestDialogs_GetInterface() {
    static const SkinWindowDialogNativeInterface table = {
        [](void*, const char* text, const char* caption, uint32_t type) -> int64_t {
            TestControls().Dialogs.push_back(std::string("box|") + text + "|" + caption + "|" + std::to_string(type));
            return TestControls().MessageBoxAnswer;
        },
        [](void*, const char* text, char* path, int32_t capacity, const char* start) -> int64_t {
            TestControls().Dialogs.push_back(std::string("folder|") + text + "|" + start);
            snprintf(path, (size_t)capacity, "%s", TestControls().ChosenDirectory.c_str());
            return TestControls().ChooserAnswer;
        },
        [](void*, const char* text, char* directory, int32_t directoryCapacity, char* file, int32_t fileCapacity) -> int64_t {
            TestControls().Dialogs.push_back(std::string("file|") + text + "|" + directory);
            snprintf(directory, (size_t)directoryCapacity, "%s", TestControls().ChosenDirectory.c_str());
            snprintf(file, (size_t)fileCapacity, "%s", TestControls().ChosenFile.c_str());
            return TestControls().ChooserAnswer;
        },
    };
    return &table;
}
