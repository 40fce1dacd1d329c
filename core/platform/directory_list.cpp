// DirectoryList: one directory's entries through replaceable find functions, and depth-first
// tree walks that keep one list per level in local memory and enter each subdirectory from the
// descriptor of the level that listed it, so that no symbolic link is ever entered, not even one
// put in a directory's place while the walk runs.
#include "core/platform/directory_list.h"

#include "core/runtime/class_family.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "core/linux/platform_tree.h"
#include "core/platform/path.h"
#include "core/runtime/callback.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct DirectoryList {
    Class Header;
    ClassPrint Print;
    void* FindHandle;
    PlatformFindData FindData;
    char Directory[DIRECTORY_LIST_PATH_SIZE];
    uint32_t WalkFlags;
    uint32_t WalkOrder;
    int32_t MaxDepth;
    CallbackBase WalkCallback;
    CallbackBase FindFirst;
    CallbackBase FindNext;
    CallbackBase FindClose;
    // The open listing is the platform's own search (its descriptor may be asked for); a direct
    // one was opened by descriptor and is read and closed with the platform's functions too.
    bool PlatformSearch;
    bool DirectSearch;
    // Levels below the listing started by path that this listing is (each holds a descriptor).
    uint32_t Level;
    // Why the last walk failed, when the walk itself saw it (an errno value).
    int32_t WalkError;
    // The root's mount, for walks that stay on it, and whether the last walk stopped at another.
    PlatformTreeMount RootMount;
    bool MountStop;
};

static_assert(sizeof(DirectoryList) <= DIRECTORY_LIST_STACK_SIZE, "callers keep lists in that many bytes");

namespace {

// Verbose level of the walk's own lines.
constexpr int32_t kWalkVerboseLevel = 0;

void Initialise(DirectoryList* list) {
    memset(static_cast<void*>(list), 0, sizeof(DirectoryList));
    list->Header.ClassId = DIRECTORY_LIST_CLASS_ID;
    list->Header.RefCount = 1;
    list->WalkFlags = DIRECTORY_LIST_WALK_DEFAULT;
    list->WalkOrder = DIRECTORY_LIST_ORDER_PRE;
    list->MaxDepth = -1;
    CallbackBase_Set(&list->FindFirst, 0, nullptr, &Platform_FindFirstFile);
    CallbackBase_Set(&list->FindNext, 0, nullptr, &Platform_FindNextFile);
    CallbackBase_Set(&list->FindClose, 0, nullptr, &Platform_FindClose);
}

void PreparePrint(DirectoryList* list) {
    ClassPrint_Prepare(&list->Print, list, "DirectoryList", nullptr);
}

int64_t DeleteHandle(void** handle) {
    return DirectoryList_Delete(reinterpret_cast<DirectoryList**>(handle));
}

// Joins a directory that ends in a separator and an entry name, with a trailing separator for a
// directory; false when the result does not fit or the name cannot be part of a path text: a
// '\\' in a name would be read back as a separator, naming another file, possibly outside the tree.
bool JoinEntry(const char* directory, const char* name, bool trailing, char* out) {
    if (strchr(name, '\\')) return false;
    const size_t directoryLength = strlen(directory);
    const size_t nameLength = strlen(name);
    if (directoryLength + nameLength + (trailing ? 2 : 1) > (size_t)DIRECTORY_LIST_PATH_SIZE) return false;
    memcpy(out, directory, directoryLength);
    memcpy(out + directoryLength, name, nameLength);
    size_t length = directoryLength + nameLength;
    if (trailing) out[length++] = '/';
    out[length] = 0;
    return true;
}

bool IsDots(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// A listing opened by descriptor: read and closed with the platform's functions.
void TakeDirectSearch(DirectoryList* list, uint32_t level) {
    list->PlatformSearch = true;
    list->DirectSearch = true;
    list->Level = level;
}

// Opens the walk's root. Only a root that must not be a link is opened by descriptor here; any
// other is listed by its path, as a caller's path always is.
bool StartRoot(DirectoryList* walk, DirectoryList* level, const char* directory) {
    if (!(walk->WalkFlags & DIRECTORY_LIST_WALK_NO_ROOT_LINK))
        return DirectoryList_Start(level, 0, directory) != 0;
    memcpy(level->Directory, directory, strlen(directory) + 1);
    if (!Platform_FindFirstFileAt(PLATFORM_TREE_CWD, directory, 0, &level->FindData, &level->FindHandle)) {
        level->FindHandle = nullptr;
        return false;
    }
    TakeDirectSearch(level, 0);
    return true;
}

// What a level that could not be listed makes of the walk. A directory that vanished or may not
// be read contributes nothing, as it would have a moment earlier or later. One replaced since it
// was listed (by a link, another kind of entry or another directory) is not entered and fails
// the walk: callbacks act on what the walk reports, and what stands there now is not what was
// listed. A tree deeper than the descriptors a walk may hold fails it too, as a path too long
// does. A root is any directory its caller named; only a link refused there fails the walk.
bool FailsWalk(bool root, int error) {
    if (root) return error == ELOOP;
    return error == ELOOP || error == ENOTDIR || error == ESTALE || error == ENAMETOOLONG;
}

// Whether the directory `name` in the open directory `at` ("" names `at` itself) lies on the
// walk's root mount. One that cannot be asked about is left to the entering, which finds it gone
// or asks again on what it opened.
bool OnRootMount(DirectoryList* walk, int32_t at, const char* name) {
    PlatformTreeMount mount;
    return !Platform_TreeMountOf(at, name, &mount) || Platform_TreeSameMount(&mount, &walk->RootMount);
}

// Stops a walk that stays on its root's mount at a directory on another: its path is kept for
// the caller.
int64_t StopAtMount(DirectoryList* walk, const char* directory) {
    DirectoryList_VerboseLog(walk, kWalkVerboseLevel, "Mount point - %s", directory);
    String_CopyLength(walk->Directory, directory, DIRECTORY_LIST_PATH_SIZE);
    walk->WalkError = EBUSY;
    walk->MountStop = true;
    return 0;
}

// The files of one level, kept while its subdirectories are walked so that the directory is read
// and each entry examined once: the files come after the subdirectories, and reading the
// directory again would ask about every entry a second time. Names live in one text block.
struct LevelFile {
    PlatformFileAttributes Attributes;
    struct tm CreationTime;
    struct tm AccessTime;
    struct tm ModifiedTime;
    uint64_t Size;
    uint64_t AllocatedSize;
    uint32_t NameOffset;
};

class LevelFiles {
  public:
    LevelFiles() = default;
    LevelFiles(const LevelFiles&) = delete;
    LevelFiles& operator=(const LevelFiles&) = delete;
    ~LevelFiles() { Clear(); }

    // False once the level holds more than a walk should keep in memory; the caller then lists
    // the directory again instead.
    bool Add(const PlatformFindData& entry) {
        const size_t nameLength = strnlen(entry.Name, sizeof(entry.Name)) + 1;
        if (count_ == capacity_ && !Grow(reinterpret_cast<void**>(&items_), &capacity_, sizeof(LevelFile)))
            return false;
        while (textUsed_ + nameLength > textCapacity_)
            if (!Grow(reinterpret_cast<void**>(&text_), &textCapacity_, 1)) return false;
        LevelFile& item = items_[count_++];
        item.Attributes = entry.Attributes;
        item.CreationTime = entry.CreationTime;
        item.AccessTime = entry.AccessTime;
        item.ModifiedTime = entry.ModifiedTime;
        item.Size = entry.Size;
        item.AllocatedSize = entry.AllocatedSize;
        item.NameOffset = (uint32_t)textUsed_;
        memcpy(text_ + textUsed_, entry.Name, nameLength - 1);
        text_[textUsed_ + nameLength - 1] = 0;
        textUsed_ += nameLength;
        return true;
    }

    size_t Count() const { return count_; }

    // Puts the kept file into the find data, whose pattern stays the level's.
    void Restore(size_t index, PlatformFindData* entry) const {
        const LevelFile& item = items_[index];
        entry->Attributes = item.Attributes;
        entry->CreationTime = item.CreationTime;
        entry->AccessTime = item.AccessTime;
        entry->ModifiedTime = item.ModifiedTime;
        entry->Size = item.Size;
        entry->AllocatedSize = item.AllocatedSize;
        const char* name = text_ + item.NameOffset;
        memcpy(entry->Name, name, strlen(name) + 1);
    }

    void Clear() {
        if (items_) Memory_Free(items_, capacity_ * sizeof(LevelFile));
        if (text_) Memory_Free(text_, textCapacity_);
        items_ = nullptr;
        text_ = nullptr;
        count_ = capacity_ = textUsed_ = textCapacity_ = 0;
    }

  private:
    // Bytes one level may keep; a directory beyond it is listed twice rather than held whole.
    static constexpr size_t kLimit = 64u << 20;

    static bool Grow(void** block, size_t* capacity, size_t unit) {
        const size_t next = *capacity ? *capacity * 2 : (unit == 1 ? 4096 : 64);
        if (next * unit > kLimit) return false;
        void* grown = Memory_Alloc(next * unit);
        if (*block) {
            memcpy(grown, *block, *capacity * unit);
            Memory_Free(*block, *capacity * unit);
        }
        *block = grown;
        *capacity = next;
        return true;
    }

    LevelFile* items_ = nullptr;
    char* text_ = nullptr;
    size_t count_ = 0, capacity_ = 0, textUsed_ = 0, textCapacity_ = 0;
};

// Hands one file of the level to the walk's callback; false when the walk is to fail.
bool WalkFile(DirectoryList* list, DirectoryList* level, const char* directory, uint32_t depth,
              const char* wildcards, DirectoryListWalkCallback callback, void* user) {
    const PlatformFindData& entry = level->FindData;
    char full[DIRECTORY_LIST_PATH_SIZE];
    if (!JoinEntry(directory, entry.Name, false, full)) {
        DirectoryList_VerboseLog(list, kWalkVerboseLevel, "Unusable path - %s%s", directory, entry.Name);
        list->WalkError = ENAMETOOLONG;
        return false;
    }
    DirectoryList_VerboseLog(list, kWalkVerboseLevel, "File - %s", full);
    if (wildcards && !String_CompareWildcardListWithoutCase(entry.Name, wildcards)) return true;
    return !callback || callback(level, user, depth, full);
}

// The recursive walk of one directory (ending in a separator) at the given depth: the root when
// parent is null, else the entry the parent level is positioned on.
int64_t WalkLevel(DirectoryList* list, DirectoryList* parent, const char* directory, uint32_t depth,
                  const char* wildcards) {
    if (list->MaxDepth != -1 && (int64_t)depth > (int64_t)list->MaxDepth) return 1;
    void* user = nullptr;
    DirectoryListWalkCallback callback = nullptr;
    CallbackBase_Get(&list->WalkCallback, &user, &callback);

    // Every level lists with the platform's find functions in its own list.
    DirectoryList level;
    Initialise(&level);
    memcpy(level.Directory, list->Directory, sizeof(level.Directory));
    char full[DIRECTORY_LIST_PATH_SIZE];
    int64_t result = 1;

    if (!(parent ? DirectoryList_StartEntry(&level, parent) != 0 : StartRoot(list, &level, directory))) {
        const int error = errno;
        DirectoryList_Stop(&level);
        if (!FailsWalk(parent == nullptr, error)) return 1;
        DirectoryList_VerboseLog(list, kWalkVerboseLevel, "Unusable path - %s", directory);
        list->WalkError = error;
        return 0;
    }
    // A walk that stays on one mount knows the root's from the root it opened, and checks each
    // level again on the directory it opened, whatever was mounted since its name was asked about.
    const bool oneMount = (list->WalkFlags & DIRECTORY_LIST_WALK_ONE_DEVICE) != 0;
    int32_t descriptor = -1;
    if (oneMount) {
        PlatformTreeMount mount;
        if (!DirectoryList_GetDescriptor(&level, &descriptor) ||
            !Platform_TreeMountOf(descriptor, "", &mount)) {
            const int error = errno ? errno : EINVAL;
            DirectoryList_Stop(&level);
            list->WalkError = error;
            return 0;
        }
        if (!parent) {
            list->RootMount = mount;
        } else if (!Platform_TreeSameMount(&mount, &list->RootMount)) {
            DirectoryList_Stop(&level);
            return StopAtMount(list, directory);
        }
    }
    const bool wantFiles = (list->WalkFlags & DIRECTORY_LIST_WALK_FILES) != 0;
    LevelFiles files;
    bool listAgain = false; // the level held too many files to keep: they are listed again
    do {
        const PlatformFindData& entry = level.FindData;
        if (IsDots(entry.Name)) continue;
        if (!(entry.Attributes & PLATFORM_FILE_ATTRIBUTE_DIRECTORY) ||
            (entry.Attributes & PLATFORM_FILE_ATTRIBUTE_SYMLINK)) {
            if (wantFiles && !listAgain && !(entry.Attributes & PLATFORM_FILE_ATTRIBUTE_DIRECTORY) &&
                !files.Add(entry)) {
                files.Clear();
                listAgain = true;
            }
            continue;
        }
        if (!JoinEntry(directory, entry.Name, true, full)) {
            DirectoryList_VerboseLog(list, kWalkVerboseLevel, "Unusable path - %s%s", directory, entry.Name);
            result = 0; // an entry that cannot be named is not silently passed over
            list->WalkError = ENAMETOOLONG;
            continue;
        }
        if (oneMount && !OnRootMount(list, descriptor, entry.Name)) {
            DirectoryList_Stop(&level);
            return StopAtMount(list, full);
        }
        int64_t walked = 1;
        if (list->WalkOrder == DIRECTORY_LIST_ORDER_POST)
            walked = WalkLevel(list, &level, full, depth + 1, wildcards);
        // Stopped at a mount below: not even the directories above it are reported any more.
        if (list->MountStop) {
            DirectoryList_Stop(&level);
            return 0;
        }
        if (list->WalkFlags & DIRECTORY_LIST_WALK_DIRECTORIES) {
            DirectoryList_VerboseLog(list, kWalkVerboseLevel, "Directory - %s", full);
            if (callback && !callback(&level, user, depth, full)) continue;
        }
        if (list->WalkOrder != DIRECTORY_LIST_ORDER_POST)
            walked = WalkLevel(list, &level, full, depth + 1, wildcards);
        if (!walked) {
            DirectoryList_Stop(&level);
            return 0;
        }
    } while (DirectoryList_GetNext(&level));

    // The files come from the same open directory: whatever its path names by now, they are this
    // directory's.
    if (wantFiles && !listAgain) {
        for (size_t i = 0; i < files.Count(); i++) {
            files.Restore(i, &level.FindData);
            if (!WalkFile(list, &level, directory, depth, wildcards, callback, user)) result = 0;
        }
    } else if (wantFiles && level.FindHandle && Platform_FindRewind(level.FindHandle, &level.FindData)) {
        do {
            if (IsDots(level.FindData.Name) || (level.FindData.Attributes & PLATFORM_FILE_ATTRIBUTE_DIRECTORY))
                continue;
            if (!WalkFile(list, &level, directory, depth, wildcards, callback, user)) result = 0;
        } while (DirectoryList_GetNext(&level));
    }
    DirectoryList_Stop(&level);
    return result;
}

} // namespace

int64_t DirectoryList_Create(DirectoryList** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    DirectoryList* list = static_cast<DirectoryList*>(Memory_AllocZero(sizeof(DirectoryList)));
    Initialise(list);
    list->Header.Delete = DeleteHandle;
    *handle = list;
    return 1;
}

int64_t DirectoryList_Delete(DirectoryList** handle) {
    ASSERT_POINTER(handle);
    DirectoryList* list = *handle;
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    DirectoryList_Stop(list);
    list->Header.ClassId = 0;
    Memory_Free(list, sizeof(DirectoryList));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(DirectoryList, DirectoryList, DIRECTORY_LIST_CLASS_ID)

int32_t DirectoryList_SizeOf() {
    return (int32_t)sizeof(DirectoryList);
}

DirectoryList* DirectoryList_Stack(void* memory) {
    ASSERT_POINTER(memory);
    ASSERT_MSG(((uintptr_t)memory % DIRECTORY_LIST_ALIGN) == 0,
               "DirectoryList memory must be 16-byte aligned");
    DirectoryList* list = static_cast<DirectoryList*>(memory);
    Initialise(list);
    return list;
}

int64_t DirectoryList_Unstack(DirectoryList* list) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    DirectoryList_Stop(list);
    return 1;
}

int64_t DirectoryList_Start(DirectoryList* list, int32_t mode, const char* path) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (list->FindHandle) DirectoryList_Stop(list);
    list->PlatformSearch = false;
    list->DirectSearch = false;
    list->Level = 0;
    list->FindData.Name[0] = 0;
    list->FindData.Attributes = 0;
    if (!Path_Resolve(path, list->Directory, DIRECTORY_LIST_PATH_SIZE)) return 0;
    char pattern[DIRECTORY_LIST_PATH_SIZE];
    memcpy(pattern, list->Directory, sizeof(pattern));
    if (mode != 0) {
        Path_RemoveFilename(list->Directory);
    } else {
        Path_RemoveFilename(pattern);
        const size_t length = strlen(pattern);
        if (length + 2 > sizeof(pattern)) return 0;
        pattern[length] = '*';
        pattern[length + 1] = 0;
    }
    DirectoryListFindFirstFunc findFirst = nullptr;
    CallbackBase_Get(&list->FindFirst, nullptr, &findFirst);
    if (!findFirst || !findFirst(pattern, &list->FindData, &list->FindHandle)) {
        list->FindHandle = nullptr;
        return 0;
    }
    list->PlatformSearch = findFirst == &Platform_FindFirstFile;
    return 1;
}

int64_t DirectoryList_StartEntry(DirectoryList* list, DirectoryList* parent) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    CLASS_CHECK(parent, DIRECTORY_LIST_CLASS_ID);
    if (list->FindHandle) DirectoryList_Stop(list);
    list->FindData.Name[0] = 0;
    list->FindData.Attributes = 0;
    if (!parent->FindHandle || !parent->PlatformSearch) {
        errno = EINVAL;
        return 0;
    }
    if (parent->Level >= (uint32_t)DIRECTORY_LIST_MAX_LEVELS) {
        errno = ENAMETOOLONG;
        return 0;
    }
    // Only shown: the listing itself never goes by this text.
    if (!JoinEntry(parent->Directory, parent->FindData.Name, true, list->Directory)) list->Directory[0] = 0;
    if (!Platform_FindFirstFileBelow(parent->FindHandle, &list->FindData, &list->FindHandle)) {
        list->FindHandle = nullptr;
        return 0;
    }
    TakeDirectSearch(list, parent->Level + 1);
    return 1;
}

int64_t DirectoryList_GetNext(DirectoryList* list) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    if (!list->FindHandle) return 0;
    if (list->DirectSearch) return Platform_FindNextFile(list->FindHandle, &list->FindData) ? 1 : 0;
    DirectoryListFindNextFunc findNext = nullptr;
    CallbackBase_Get(&list->FindNext, nullptr, &findNext);
    return findNext && findNext(list->FindHandle, &list->FindData) ? 1 : 0;
}

int64_t DirectoryList_Stop(DirectoryList* list) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    list->Directory[0] = 0;
    const bool direct = list->DirectSearch;
    list->PlatformSearch = false;
    list->DirectSearch = false;
    list->Level = 0;
    if (!list->FindHandle) return 1;
    DirectoryListFindCloseFunc findClose = nullptr;
    if (direct)
        findClose = &Platform_FindClose;
    else
        CallbackBase_Get(&list->FindClose, nullptr, &findClose);
    const int64_t result = findClose ? findClose(&list->FindHandle) : 0;
    list->FindHandle = nullptr;
    return result ? 1 : 0;
}

int64_t DirectoryList_GetDescriptor(DirectoryList* list, int32_t* descriptor) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(descriptor);
    *descriptor = -1;
    if (!list->FindHandle || !list->PlatformSearch) return 0;
    *descriptor = Platform_FindGetDescriptor(list->FindHandle);
    return *descriptor >= 0 ? 1 : 0;
}

int64_t DirectoryList_GetName(DirectoryList* list, char* buffer, int32_t size) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(buffer);
    const int32_t length = (int32_t)strnlen(list->FindData.Name, sizeof(list->FindData.Name));
    String_CopyLengthSafe(buffer, size, list->FindData.Name, length);
    return length < size ? 1 : 0; // 0 when the name had to be cut
}

int64_t DirectoryList_GetSize(DirectoryList* list, uint64_t* size) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(size);
    *size = list->FindData.Size;
    return 1;
}

int64_t DirectoryList_GetAllocatedSize(DirectoryList* list, uint64_t* size) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(size);
    *size = list->FindData.AllocatedSize;
    return 1;
}

int64_t DirectoryList_GetCreationTime(DirectoryList* list, EncodedTime* time) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(time);
    *time = 0;
    return Time_ConvertTmToEncoded(&list->FindData.CreationTime, time);
}

int64_t DirectoryList_GetModifiedTime(DirectoryList* list, EncodedTime* time) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(time);
    *time = 0;
    return Time_ConvertTmToEncoded(&list->FindData.ModifiedTime, time);
}

namespace {
int64_t HasAttribute(DirectoryList* list, uint32_t bit) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    return (list->FindData.Attributes & bit) ? 1 : 0;
}
} // namespace

int64_t DirectoryList_IsDirectory(DirectoryList* list) {
    return HasAttribute(list, PLATFORM_FILE_ATTRIBUTE_DIRECTORY);
}
int64_t DirectoryList_IsSymLink(DirectoryList* list) {
    return HasAttribute(list, PLATFORM_FILE_ATTRIBUTE_SYMLINK);
}
int64_t DirectoryList_IsSystem(DirectoryList* list) {
    return HasAttribute(list, PLATFORM_FILE_ATTRIBUTE_SYSTEM);
}
int64_t DirectoryList_IsReadOnly(DirectoryList* list) {
    return HasAttribute(list, PLATFORM_FILE_ATTRIBUTE_READONLY);
}
int64_t DirectoryList_IsHidden(DirectoryList* list) {
    return HasAttribute(list, PLATFORM_FILE_ATTRIBUTE_HIDDEN);
}

int64_t DirectoryList_IsDots(DirectoryList* list) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    return IsDots(list->FindData.Name) ? 1 : 0;
}

int64_t DirectoryList_SetDirectory(DirectoryList* list, const char* path) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(path);
    return String_CopyLength(list->Directory, path, DIRECTORY_LIST_PATH_SIZE) < DIRECTORY_LIST_PATH_SIZE ? 1
                                                                                                         : 0;
}

int64_t DirectoryList_GetDirectory(DirectoryList* list, char* buffer, int32_t size) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(buffer);
    return String_CopyLength(buffer, list->Directory, size) < size ? 1 : 0;
}

int64_t DirectoryList_Walk(DirectoryList* list, const char* root, const char* wildcards) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    ASSERT_POINTER(root);
    char directory[DIRECTORY_LIST_PATH_SIZE];
    if (!Path_Resolve(root, directory, PATH_SIZE)) return 0;
    // A root that cancelled out ("a/..") is no directory: it must not become "/".
    if (directory[0] == 0) return 0;
    Path_Fix(directory, PATH_SIZE, PATH_FIX_TRAILING);
    if (directory[strlen(directory) - 1] != '/') return 0;
    DirectoryList_VerboseLog(list, kWalkVerboseLevel, "Root - %s", directory);
    list->WalkError = 0;
    list->MountStop = false;
    if (list->WalkFlags & DIRECTORY_LIST_WALK_ONE_DEVICE) list->Directory[0] = 0;
    if (WalkLevel(list, nullptr, directory, 0, wildcards)) return 1;
    if (list->WalkError) errno = list->WalkError;
    return 0;
}

int64_t DirectoryList_SetWalkCallback(DirectoryList* list, void* user, DirectoryListWalkCallback function) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    return CallbackBase_Set(&list->WalkCallback, 0, user, function);
}

int64_t DirectoryList_SetMaxDepth(DirectoryList* list, int32_t depth) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    list->MaxDepth = depth;
    return 1;
}

int64_t DirectoryList_SetWalkFlags(DirectoryList* list, uint32_t flags) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    list->WalkFlags = flags;
    return 1;
}

int64_t DirectoryList_SetWalkOrder(DirectoryList* list, uint32_t order) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    list->WalkOrder = order;
    return 1;
}

int64_t DirectoryList_SetFindFirstFileCallback(DirectoryList* list, void* user,
                                               DirectoryListFindFirstFunc function) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    return CallbackBase_Set(&list->FindFirst, 0, user, function);
}

int64_t DirectoryList_SetFindNextFileCallback(DirectoryList* list, void* user,
                                              DirectoryListFindNextFunc function) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    return CallbackBase_Set(&list->FindNext, 0, user, function);
}

int64_t DirectoryList_SetFindCloseCallback(DirectoryList* list, void* user,
                                           DirectoryListFindCloseFunc function) {
    CLASS_CHECK(list, DIRECTORY_LIST_CLASS_ID);
    return CallbackBase_Set(&list->FindClose, 0, user, function);
}

CLASS_PRINT_FAMILY(DirectoryList, DirectoryList, DIRECTORY_LIST_CLASS_ID, PreparePrint)
