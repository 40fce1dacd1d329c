// Modal dialogs of a skin window and the notifications that carry their answers.
#include "skin/skin_window_dialog.h"

#include <cstring>

#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "skin/skin_window.h"

namespace {

const SkinWindowDialogNativeInterface* g_native = nullptr;

enum : uint32_t { KIND_FOLDER = 1, KIND_FILE = 2, KIND_MESSAGE_BOX = 3 };

constexpr int32_t kPathSize = 1024;

struct DialogRequest {
    uint32_t Kind;
    char Text[512];
    char Caption[512];
    char StartPath[kPathSize];
    char StartFile[kPathSize];
    char FileTypeDesc[320];
    char FileTypeExt[320];
    uint32_t Type;
    DialogRequest* Next;
};

} // namespace

struct SkinWindowDialog {
    Class Header;
    SkinWindow* Window;
    uint32_t UseThread;
    uint32_t UseNativeHandle;
    Thread* DialogThread;
    CriticalSection* Lock;
    DialogRequest* Head;
    DialogRequest* Tail;
    int32_t Count;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return SkinWindowDialog_Delete(reinterpret_cast<SkinWindowDialog**>(handle));
}

DialogRequest* NewRequest(uint32_t kind, const char* text) {
    ASSERT_POINTER(text);
    DialogRequest* request = static_cast<DialogRequest*>(Memory_AllocZero(sizeof(DialogRequest)));
    request->Kind = kind;
    String_CopyLength(request->Text, text, (int32_t)sizeof(request->Text));
    return request;
}

void FreeRequest(DialogRequest* request) { Memory_Free(request, sizeof(DialogRequest)); }

// A start path or file that does not fit is left out rather than cut: cut, it would name another
// place, and the folder chooser creates a missing start folder.
void CopyWhole(char (&out)[kPathSize], const char* text) {
    if (strlen(text) < sizeof out) String_CopyLength(out, text, (int32_t)sizeof out);
}

// The answer goes to the owning window's page; without a window it goes nowhere.
void Answer(SkinWindowDialog* dialog, const char* name, uint32_t successful, const char* path, int32_t result,
            bool atOnce) {
    if (dialog->Window == nullptr) return;
    char id[64];
    SkinWindow_GetInstanceId(dialog->Window, id, (int32_t)sizeof(id));
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetBooleanByKey(info, "successful", successful);
    if (path != nullptr)
        Dictionary_SetStringByKey(info, "path", path);
    else
        Dictionary_SetInt32ByKey(info, "result", result);
    if (atOnce)
        NotificationCenter_Fire("SkinWindow", name, id, info);
    else
        NotificationCenter_FireAfterDelay("SkinWindow", name, id, 0, info);
    Dictionary_Release(&info);
}

void Run(SkinWindowDialog* dialog, DialogRequest* request) {
    void* parent = nullptr;
    if (dialog->UseNativeHandle == 1 && dialog->Window != nullptr) parent = SkinWindow_GetNativeHandle(dialog->Window);
    switch (request->Kind) {
    case KIND_MESSAGE_BOX: {
        const uint32_t type = SkinWindowDialog_TranslateType(request->Type);
        const int64_t button = g_native ? g_native->MessageBox(parent, request->Text, request->Caption, type) : 0;
        Answer(dialog, "MessageBoxResponse", 1, nullptr, (int32_t)SkinWindowDialog_TranslateButton(button), false);
        break;
    }
    case KIND_FOLDER: {
        char path[kPathSize] = "";
        int64_t chosen = 0;
        if (g_native) chosen = g_native->GetNewDirectory(parent, request->Text, path, kPathSize, request->StartPath);
        if (chosen != 1) path[0] = 0;
        Answer(dialog, "BrowseForFolderResponse", path[0] != 0 ? 1 : 0, path, 0, false);
        break;
    }
    case KIND_FILE: {
        char directory[kPathSize];
        char file[kPathSize];
        char path[kPathSize] = "";
        String_CopyLength(directory, request->StartPath, kPathSize);
        String_CopyLength(file, request->StartFile, kPathSize);
        int64_t chosen = 0;
        if (g_native) chosen = g_native->GetLoadFilename(parent, request->Text, directory, kPathSize, file, kPathSize);
        // A choice whose whole path does not fit is answered as not chosen: cut, it would name
        // another file.
        if (chosen == 1 && strlen(directory) + strlen(file) < (size_t)kPathSize) {
            String_CopyLength(path, directory, kPathSize);
            String_CatLength(path, file, kPathSize);
        }
        Answer(dialog, "BrowseForFileResponse", path[0] != 0 ? 1 : 0, path, 0, true);
        break;
    }
    default:
        break;
    }
}

DialogRequest* Take(SkinWindowDialog* dialog) {
    CriticalSectionGuard guard(dialog->Lock);
    DialogRequest* request = dialog->Head;
    if (request == nullptr) return nullptr;
    dialog->Head = request->Next;
    if (dialog->Head == nullptr) dialog->Tail = nullptr;
    dialog->Count--;
    return request;
}

uint32_t DialogThread(void* parameter) {
    SkinWindowDialog* dialog = static_cast<SkinWindowDialog*>(parameter);
    while (Thread_WaitForExit(1) != 1) {
        Thread_Tick();
        DialogRequest* request = Take(dialog);
        if (request == nullptr) continue;
        Run(dialog, request);
        FreeRequest(request);
    }
    return 0;
}

int64_t Submit(SkinWindowDialog* dialog, DialogRequest* request) {
    if (dialog->UseThread != 1) {
        Run(dialog, request);
        FreeRequest(request);
        return 1;
    }
    CriticalSectionGuard guard(dialog->Lock);
    if (dialog->Tail)
        dialog->Tail->Next = request;
    else
        dialog->Head = request;
    dialog->Tail = request;
    dialog->Count++;
    if (dialog->DialogThread == nullptr) Thread_Begin(&dialog->DialogThread, dialog, DialogThread);
    return 1;
}

} // namespace

CLASS_BASICS(SkinWindowDialog, SkinWindowDialog, SKINWINDOWDIALOG_CLASS_ID)

int64_t SkinWindowDialog_SetNativeInterface(const SkinWindowDialogNativeInterface* table) {
    g_native = table;
    return 1;
}

int64_t SkinWindowDialog_Create(SkinWindowDialog** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    SkinWindowDialog* dialog = static_cast<SkinWindowDialog*>(Memory_AllocZero(sizeof(SkinWindowDialog)));
    dialog->Header.ClassId = SKINWINDOWDIALOG_CLASS_ID;
    dialog->Header.RefCount = 1;
    dialog->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(dialog);
    dialog->UseNativeHandle = 1;
    CriticalSection_Create(&dialog->Lock);
    *handle = dialog;
    return 1;
}

int64_t SkinWindowDialog_Delete(SkinWindowDialog** handle) {
    ASSERT_POINTER(handle);
    SkinWindowDialog* dialog = *handle;
    CLASS_CHECK(dialog, SKINWINDOWDIALOG_CLASS_ID);
    if (dialog->DialogThread) {
        Thread_SignalExit(Thread_GetId(dialog->DialogThread));
        Thread_Join(-1, &dialog->DialogThread);
    }
    while (DialogRequest* request = Take(dialog)) FreeRequest(request);
    CriticalSection_Delete(&dialog->Lock);
    dialog->Header.ClassId = 0;
    Memory_Free(dialog, sizeof(SkinWindowDialog));
    *handle = nullptr;
    return 1;
}

int64_t SkinWindowDialog_SetUseThread(SkinWindowDialog* dialog, uint32_t flag) {
    CLASS_CHECK(dialog, SKINWINDOWDIALOG_CLASS_ID);
    dialog->UseThread = flag;
    return 1;
}

int64_t SkinWindowDialog_SetUseNativeHandle(SkinWindowDialog* dialog, uint32_t flag) {
    CLASS_CHECK(dialog, SKINWINDOWDIALOG_CLASS_ID);
    dialog->UseNativeHandle = flag;
    return 1;
}

int64_t SkinWindowDialog_SetSkinWindowHandle(SkinWindowDialog* dialog, SkinWindow* window) {
    CLASS_CHECK(dialog, SKINWINDOWDIALOG_CLASS_ID);
    dialog->Window = window;
    return 1;
}

int64_t SkinWindowDialog_MessageBox(SkinWindowDialog* dialog, const char* text, const char* caption, uint32_t type) {
    CLASS_CHECK(dialog, SKINWINDOWDIALOG_CLASS_ID);
    ASSERT_POINTER(caption);
    DialogRequest* request = NewRequest(KIND_MESSAGE_BOX, text);
    String_CopyLength(request->Caption, caption, (int32_t)sizeof(request->Caption));
    request->Type = type;
    return Submit(dialog, request);
}

int64_t SkinWindowDialog_BrowseForFile(SkinWindowDialog* dialog, const char* text, const char* fileTypeDesc,
                                       const char* fileTypeExt, const char* startPath, const char* startFile) {
    CLASS_CHECK(dialog, SKINWINDOWDIALOG_CLASS_ID);
    ASSERT_POINTER(fileTypeDesc);
    ASSERT_POINTER(fileTypeExt);
    ASSERT_POINTER(startPath);
    ASSERT_POINTER(startFile);
    DialogRequest* request = NewRequest(KIND_FILE, text);
    String_CopyLength(request->FileTypeDesc, fileTypeDesc, (int32_t)sizeof(request->FileTypeDesc));
    String_CopyLength(request->FileTypeExt, fileTypeExt, (int32_t)sizeof(request->FileTypeExt));
    CopyWhole(request->StartPath, startPath);
    CopyWhole(request->StartFile, startFile);
    return Submit(dialog, request);
}

int64_t SkinWindowDialog_BrowseForFolder(SkinWindowDialog* dialog, const char* text, const char* startPath) {
    CLASS_CHECK(dialog, SKINWINDOWDIALOG_CLASS_ID);
    ASSERT_POINTER(startPath);
    DialogRequest* request = NewRequest(KIND_FOLDER, text);
    CopyWhole(request->StartPath, startPath);
    return Submit(dialog, request);
}

uint32_t SkinWindowDialog_TranslateType(uint32_t type) {
    const bool ok = type & SKINWINDOWDIALOG_BUTTON_OK, cancel = type & SKINWINDOWDIALOG_BUTTON_CANCEL;
    const bool yes = type & SKINWINDOWDIALOG_BUTTON_YES, no = type & SKINWINDOWDIALOG_BUTTON_NO;
    uint32_t result = 0;
    if (ok && cancel)
        result = 1;
    else if (!ok && cancel && yes && no)
        result = 3;
    else if (!ok && yes && no)
        result = 4;
    if (type & SKINWINDOWDIALOG_ICON_QUESTION)
        result |= 32;
    else if (type & SKINWINDOWDIALOG_ICON_WARNING)
        result |= 48;
    else if (type & SKINWINDOWDIALOG_ICON_ERROR)
        result |= 16;
    return result;
}

uint32_t SkinWindowDialog_TranslateButton(int64_t button) {
    switch (button) {
    case 1: return SKINWINDOWDIALOG_BUTTON_OK;
    case 2: return SKINWINDOWDIALOG_BUTTON_CANCEL;
    case 6: return SKINWINDOWDIALOG_BUTTON_YES;
    case 7: return SKINWINDOWDIALOG_BUTTON_NO;
    default: return 0;
    }
}
