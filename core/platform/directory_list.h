// DirectoryList: the entries of one directory (optionally filtered by a pattern) and depth-first
// walks of whole trees with a callback per directory and file, one list per level on the stack.
// Walks enter each subdirectory from the descriptor of the directory that listed it, so a walk
// never leaves its root through an entry replaced while it runs.
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
    // The root itself must not be a symbolic link: one is not walked (the walk answers 0, ELOOP).
    DIRECTORY_LIST_WALK_NO_ROOT_LINK = 0x10,
    // The walk stays on the root's mount: a subdirectory on another one (a file system mounted
    // inside the tree, or a bind mount) is neither reported nor entered. Each subdirectory's mount
    // is asked by name in the directory that listed it, and again on the directory once opened.
    // The first one met stops the walk, which answers 0 with errno EBUSY (what the system says
    // of removing a mount point); DirectoryList_GetDirectory of the walking list then answers its
    // path (ending in '/'), else it is empty. What was reported before stays reported.
    DIRECTORY_LIST_WALK_ONE_DEVICE = 0x20,
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
    // Levels a walk (or a chain of DirectoryList_StartEntry) goes below a listing started by
    // path: each level holds one open descriptor while those below it are listed.
    DIRECTORY_LIST_MAX_LEVELS = 256,
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
// Lists the directory that the parent's current entry names, with the platform's functions: it
// is opened from the parent's own descriptor without following a link, and only while it is
// still the directory the parent listed (Platform_FindFirstFileBelow). 0 (errno set) when it is
// gone, replaced, deeper than DIRECTORY_LIST_MAX_LEVELS (ENAMETOOLONG), or when the parent's
// listing is not the platform's own (EINVAL). The directory field gets the joined path text.
int64_t DirectoryList_StartEntry(DirectoryList* list, DirectoryList* parent);
// The descriptor of the directory being listed, to act on the current entry by its name in it
// rather than by a path that may lead elsewhere by then. 0 (and -1) when the listing is not the
// platform's own, as with replaced find functions. It belongs to the listing.
int64_t DirectoryList_GetDescriptor(DirectoryList* list, int32_t* descriptor);

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
// null) filters files only. Every level is listed with the platform's functions, and callbacks
// get the level's list, whose descriptor (DirectoryList_GetDescriptor) reaches the entry by name.
// A subdirectory that vanished or may not be read contributes nothing; one replaced since it was
// listed (by a link, another kind of entry or another directory) is not entered and fails the
// walk. Answers 0 when a file callback answered 0, a subdirectory walk failed, an entry's path
// did not fit, the tree is deeper than DIRECTORY_LIST_MAX_LEVELS, or the root is empty or too
// long; errno then tells a replaced entry (ELOOP, ENOTDIR, ESTALE) from a limit (ENAMETOOLONG).
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
