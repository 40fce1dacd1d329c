// DirectoryList: the entries of one directory (optionally filtered by a pattern) and depth-first
// walks of whole trees with a callback per directory and file, one list per level on the stack.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/linux/platform_file.h"
#include "core/runtime/class.h"
#include "core/runtime/time.h"

enum : uint32_t { DIRECTORY_LIST_CLASS_ID = 0x146F58AE };

// Walk flags and orders.
enum : uint32_t {
    DIRECTORY_LIST_WALK_FILES = 1,
    DIRECTORY_LIST_WALK_DIRECTORIES = 2,
    DIRECTORY_LIST_WALK_DEFAULT = 15,
    DIRECTORY_LIST_ORDER_PRE = 1,
    DIRECTORY_LIST_ORDER_POST = 2,
};

enum : int32_t {
    // Directory and full-path texts of listings and walks, terminator included.
    DIRECTORY_LIST_PATH_SIZE = 1024,
    // Caller memory given to DirectoryList_Stack: this many bytes (at least DirectoryList_SizeOf())
    // aligned to DIRECTORY_LIST_ALIGN.
    DIRECTORY_LIST_STACK_SIZE = 4096,
    DIRECTORY_LIST_ALIGN = 16,
};

struct DirectoryList;

// (list positioned on the entry, user, depth from 0 at the root's entries, full path): non-zero
// goes on. Directories' full paths end in '/', files' do not.
typedef uint32_t (*DirectoryListWalkCallback)(DirectoryList* list, void* user, uint32_t depth,
                                              const char* path);
typedef int64_t (*DirectoryListFindFirstFunc)(const char* pattern, PlatformFindData* findData, void** search);
typedef int64_t (*DirectoryListFindNextFunc)(void* search, PlatformFindData* findData);
typedef int64_t (*DirectoryListFindCloseFunc)(void** search);

int64_t DirectoryList_Create(DirectoryList** handle);
int64_t DirectoryList_Delete(DirectoryList** handle);
int64_t DirectoryList_AddRef(DirectoryList* list);
int64_t DirectoryList_Release(DirectoryList** handle);
int64_t DirectoryList_GetInstanceId(DirectoryList* list, char* buffer, int32_t size);

// A list inside caller memory of DirectoryList_SizeOf() bytes, aligned to DIRECTORY_LIST_ALIGN.
int32_t DirectoryList_SizeOf();
DirectoryList* DirectoryList_Stack(void* memory);
int64_t DirectoryList_Unstack(DirectoryList* list);

// Mode 0: every entry of the directory path (which ends in a separator); other modes: the path's
// last component is a pattern (*.txt). Positions on the first entry; an open listing is
// stopped first.
int64_t DirectoryList_Start(DirectoryList* list, int32_t mode, const char* path);
int64_t DirectoryList_GetNext(DirectoryList* list);
int64_t DirectoryList_Stop(DirectoryList* list);

// The current entry.
int64_t DirectoryList_GetName(DirectoryList* list, char* buffer, int32_t size);
int64_t DirectoryList_GetSize(DirectoryList* list, uint64_t* size);
int64_t DirectoryList_GetAllocatedSize(DirectoryList* list, uint64_t* size);
int64_t DirectoryList_GetCreationTime(DirectoryList* list, EncodedTime* time);
int64_t DirectoryList_GetModifiedTime(DirectoryList* list, EncodedTime* time);
int64_t DirectoryList_IsDirectory(DirectoryList* list);
int64_t DirectoryList_IsSymLink(DirectoryList* list);
int64_t DirectoryList_IsSystem(DirectoryList* list);
int64_t DirectoryList_IsReadOnly(DirectoryList* list);
int64_t DirectoryList_IsHidden(DirectoryList* list);
int64_t DirectoryList_IsDots(DirectoryList* list);

int64_t DirectoryList_SetDirectory(DirectoryList* list, const char* path);
int64_t DirectoryList_GetDirectory(DirectoryList* list, char* buffer, int32_t size);

// Depth-first walk: within each directory, all subdirectories (with their subtrees) come before
// its files; symbolic links are reported as files and never entered. The wildcard list (may be
// null) filters files only. Answers 0 when a file callback answered 0, a subdirectory walk failed,
// an entry's path did not fit, or the root is empty or too long.
int64_t DirectoryList_Walk(DirectoryList* list, const char* root, const char* wildcards);
int64_t DirectoryList_SetWalkCallback(DirectoryList* list, void* user, DirectoryListWalkCallback function);
int64_t DirectoryList_SetMaxDepth(DirectoryList* list, int32_t depth);
int64_t DirectoryList_SetWalkFlags(DirectoryList* list, uint32_t flags);
int64_t DirectoryList_SetWalkOrder(DirectoryList* list, uint32_t order);

int64_t DirectoryList_SetFindFirstFileCallback(DirectoryList* list, void* user,
                                               DirectoryListFindFirstFunc function);
int64_t DirectoryList_SetFindNextFileCallback(DirectoryList* list, void* user,
                                              DirectoryListFindNextFunc function);
int64_t DirectoryList_SetFindCloseCallback(DirectoryList* list, void* user,
                                           DirectoryListFindCloseFunc function);

int64_t DirectoryList_Print(DirectoryList* list, const char* format, ...);
int64_t DirectoryList_PrintTabbed(DirectoryList* list, int32_t indent, const char* format, ...);
int64_t DirectoryList_VPrint(DirectoryList* list, int32_t indent, const char* format, va_list args);
int64_t DirectoryList_VerboseLog(DirectoryList* list, int32_t level, const char* format, ...);
int64_t DirectoryList_IsVerboseLevel(DirectoryList* list, int32_t level);
int64_t DirectoryList_SetPrintCallback(DirectoryList* list, void* user, ClassPrintCallback callback);
int64_t DirectoryList_GetPrintCallback(DirectoryList* list, void** user, ClassPrintCallback* callback);
int64_t DirectoryList_SetPrintIdentifier(DirectoryList* list, const char* text);
int64_t DirectoryList_SetVerbose(DirectoryList* list, uint32_t verbose);
int64_t DirectoryList_GetVerbose(DirectoryList* list, uint32_t* verbose);
