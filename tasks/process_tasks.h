// Task types that face other programs: opening documents, testing for, ending and listing
// running processes, disk images and installer packages, and the shortcut types (which this
// platform answers with failure).
#pragma once
#include <cstdint>
#include <string>

#include "workflow/task.h"

enum : uint32_t {
    PROCESSOPENTASK_CLASS_ID = 0x33e61d52,
    PROCESSISOPENTASK_CLASS_ID = 0x383c1dc4,
    PROCESSCLOSETASK_CLASS_ID = 0xb3b657ff,
    PROCESSLISTTASK_CLASS_ID = 0x58be7858,
    SHORTCUTCREATETASK_CLASS_ID = 0x9acb280d,
    SHORTCUTDELETETASK_CLASS_ID = 0xc8676a0c,
    DISKIMAGETASK_CLASS_ID = 0x5abfa9db,
    PKGTASK_CLASS_ID = 0x6dfcb32f,
};

int64_t ProcessOpen_Create(void** instance, Task* task);
int64_t ProcessIsOpen_Create(void** instance, Task* task);
int64_t ProcessClose_Create(void** instance, Task* task);
int64_t ProcessList_Create(void** instance, Task* task);
int64_t ShortcutCreate_Create(void** instance, Task* task);
int64_t ShortcutDelete_Create(void** instance, Task* task);
// The disk-image and package types' reference operations are the skeleton's, under their own names.
int64_t DMGMount_Create(void** instance, Task* task);
int64_t DMGMount_AddRef(void* instance);
int64_t DMGMount_Release(void** instance);
int64_t DMGMount_Delete(void** instance);
int64_t DMGUnmount_Create(void** instance, Task* task);
int64_t DMGUnmount_AddRef(void* instance);
int64_t DMGUnmount_Release(void** instance);
int64_t DMGUnmount_Delete(void** instance);
int64_t PKG_Create(void** instance, Task* task);
int64_t PKG_AddRef(void* instance);
int64_t PKG_Release(void** instance);
int64_t PKG_Delete(void** instance);

// One line of the installer's output: its phase ("installer:PHASE:" without case, then the name)
// or its progress ("installer:%" and a percentage, as a fraction).
enum : int32_t { PKG_LINE_OTHER = 0, PKG_LINE_PHASE = 1, PKG_LINE_PROGRESS = 2 };
int32_t PKG_ReadOutputLine(const char* line, std::string* phase, double* progress);

// Puts the process and shortcut types in the engine's table of built-in types. Returns 1.
int64_t ProcessTasks_Register();
