// The modal dialogs a page asks of its window (a message box, a file chooser, a folder chooser),
// answered with "SkinWindow" notifications for the owning window. The dialogs run on the
// caller's thread or, one after another, on a dialog thread of their own.
#pragma once

#include <cstdint>

struct SkinWindow;
struct SkinWindowDialog;

enum : uint32_t {
    SKINWINDOWDIALOG_CLASS_ID = 0x9bd062b2,
};

// The page's message-box type word.
enum : uint32_t {
    SKINWINDOWDIALOG_BUTTON_OK = 1,
    SKINWINDOWDIALOG_BUTTON_CANCEL = 2,
    SKINWINDOWDIALOG_BUTTON_YES = 4,
    SKINWINDOWDIALOG_BUTTON_NO = 8,
    SKINWINDOWDIALOG_ICON_QUESTION = 16,
    SKINWINDOWDIALOG_ICON_WARNING = 32,
    SKINWINDOWDIALOG_ICON_ERROR = 64,
};

// The platform's dialogs, installed by the platform layer. The message box takes the platform
// type (buttons 0 OK, 1 OK/Cancel, 3 Yes/No/Cancel, 4 Yes/No; icons 16 stop, 32 question,
// 48 warning) and answers the button pressed (1 OK, 2 Cancel, 6 Yes, 7 No). The choosers answer
// 1 when the user chose, 0 when cancelled; the file chooser leaves the folder in the directory
// buffer and the name in the file buffer.
struct SkinWindowDialogNativeInterface {
    int64_t (*MessageBox)(void* parent, const char* text, const char* caption, uint32_t type);
    int64_t (*GetNewDirectory)(void* parent, const char* text, char* path, int32_t capacity, const char* startPath);
    int64_t (*GetLoadFilename)(void* parent, const char* text, char* directory, int32_t directoryCapacity,
                               char* file, int32_t fileCapacity);
};
// Null uninstalls: message boxes then answer no button and the choosers are cancelled.
int64_t SkinWindowDialog_SetNativeInterface(const SkinWindowDialogNativeInterface* table);

int64_t SkinWindowDialog_Create(SkinWindowDialog** dialog);
int64_t SkinWindowDialog_AddRef(SkinWindowDialog* dialog);
int64_t SkinWindowDialog_Release(SkinWindowDialog** dialog);
// Stops the dialog thread and frees every request still waiting, unanswered.
int64_t SkinWindowDialog_Delete(SkinWindowDialog** dialog);
int64_t SkinWindowDialog_GetInstanceId(SkinWindowDialog* dialog, char* buffer, int32_t size);

int64_t SkinWindowDialog_SetUseThread(SkinWindowDialog* dialog, uint32_t flag);
// 1 (the default) attaches the dialogs to the owning window's content view.
int64_t SkinWindowDialog_SetUseNativeHandle(SkinWindowDialog* dialog, uint32_t flag);
// The owning window, not reference-held.
int64_t SkinWindowDialog_SetSkinWindowHandle(SkinWindowDialog* dialog, SkinWindow* window);

// Each submits one request; 1. Answers: "MessageBoxResponse" {successful, result},
// "BrowseForFileResponse" and "BrowseForFolderResponse" {successful, path}.
int64_t SkinWindowDialog_MessageBox(SkinWindowDialog* dialog, const char* text, const char* caption, uint32_t type);
int64_t SkinWindowDialog_BrowseForFile(SkinWindowDialog* dialog, const char* text, const char* fileTypeDesc,
                                       const char* fileTypeExt, const char* startPath, const char* startFile);
int64_t SkinWindowDialog_BrowseForFolder(SkinWindowDialog* dialog, const char* text, const char* startPath);

// The platform message-box type for the page's type word, and the page's bit for a pressed button.
uint32_t SkinWindowDialog_TranslateType(uint32_t type);
uint32_t SkinWindowDialog_TranslateButton(int64_t button);
