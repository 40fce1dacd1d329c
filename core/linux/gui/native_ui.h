// The native user-interface module: its start and end, the modal message box with its
// replaceable override, the hook that shows a fatal error to the user, and the file choosers.
// Main thread only; the boxes and choosers block until the user answers.
#pragma once

#include <cstdint>

// Message box types: the low 4 bits choose the buttons, bits 0xF0 the style.
enum : uint32_t {
    NATIVEMESSAGEBOX_OK = 0,
    NATIVEMESSAGEBOX_OK_CANCEL = 1,
    NATIVEMESSAGEBOX_YES_NO_CANCEL = 3,
    NATIVEMESSAGEBOX_YES_NO = 4,
    NATIVEMESSAGEBOX_CRITICAL = 0x10,
    NATIVEMESSAGEBOX_WARNING = 0x30,
};
// Message box results.
enum : int64_t {
    NATIVEMESSAGEBOX_RESULT_OK = 1,
    NATIVEMESSAGEBOX_RESULT_CANCEL = 2,
    NATIVEMESSAGEBOX_RESULT_YES = 6,
    NATIVEMESSAGEBOX_RESULT_NO = 7,
};

typedef int64_t (*NativeMessageBoxOverrideFunc)(void* window, const char* text, const char* caption, uint32_t type);

// Starts GTK when a display can be had, installs the abort hook and starts the notifications; 1.
int64_t NativeUI_Init();
int64_t NativeUI_Remove();
// 1 while a display is open for the native windows and boxes.
int64_t NativeUI_HasDisplay();
// Null removes the override.
int64_t NativeUI_MessageBoxOverride(NativeMessageBoxOverrideFunc function);
// The abort hook: shows the message in a box titled "Internal error..." before the process stops,
// except in command-line mode or without a display.
void NativeUI_AbortOverride(const char* file, int32_t line, const char* message);

// Runs a modal GTK dialog (a GtkDialog) until it is answered and gives its response. Once the
// dialogs are dismissed, it closes the dialog as a person closing it would and answers
// GTK_RESPONSE_DELETE_EVENT (at once for a dialog run later).
int32_t NativeUI_RunDialog(void* dialog);
// Asks every dialog to close, now and from then on: for a process asked to end (a signal), which
// must not wait for an answer nobody gives. Async-signal-safe.
void NativeUI_DismissDialogs();
int64_t NativeUI_IsDismissing();

// Through the override when one is installed, else the default box.
int64_t NativeWindow_MessageBox(void* window, const char* text, const char* caption, uint32_t type);
// A modal GTK message dialog: the caption is its primary text, the text below it. Answers
// 1 Ok, 2 Cancel, 6 Yes, 7 No; closing the box counts as Cancel (No for Yes/No; Ok for a box
// with only Ok). Without a display, or once the dialogs are dismissed, nothing can be asked: the
// caption and text go to standard error and the box is answered as closed.
int64_t NativeWindow_MessageBoxDefault(void* window, const char* text, const char* caption, uint32_t type);
